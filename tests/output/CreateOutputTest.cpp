// Which output a device GUID gives, and that a missing or mute server never
// leaves the caller without one.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "PulseTestEnv.h"
#include "platform/posix/output/CNullOutput.h"
#include "platform/posix/output/CPulseOutput.h"

namespace {

const GUID kNullGuid = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6c}};
// Any other device: one byte off the null output's.
const GUID kOtherGuid = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6d}};

// A socket path of this test's own, removed afterwards.
struct SocketPath {
    std::string m_path = "/tmp/dudidadu-output-" + std::to_string(getpid());
    ~SocketPath() { unlink(m_path.c_str()); }
};

bool ServerAnswers()
{
    CPulseOutput probe;
    return probe.Connect();
}

// The output works: it opens and takes 50 ms of stereo frames.
void ExpectWorks(CAudioOutput *output)
{
    ASSERT_NE(nullptr, output);
    ASSERT_TRUE(output->Open(48000, 2, 480));
    std::vector<float> block(480 * 2, 0.0f);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(output->Write(block.data(), 480));
    output->Close();
}

}  // namespace

TEST(CreateOutput, WithoutAServerEveryGuidGivesTheNullOutput)
{
    SocketPath nothing;
    ScopedPulseServer server("unix:" + nothing.m_path);
    for (const GUID *guid : {(const GUID *)nullptr, &kOtherGuid, &kNullGuid}) {
        std::unique_ptr<CAudioOutput> output(CAudioOutput::Create(guid));
        EXPECT_NE(nullptr, dynamic_cast<CNullOutput *>(output.get()));
        ExpectWorks(output.get());
    }
}

TEST(CreateOutput, AServerThatNeverAnswersIsGivenUpOn)
{
    // A socket that takes connections into its backlog and never says a word:
    // libpulse alone would wait for its protocol timeout.
    SocketPath mute;
    const std::string &path = mute.m_path;
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(0, bind(listener, (const sockaddr *)&address, sizeof(address)));
    ASSERT_EQ(0, listen(listener, 8));

    ScopedPulseServer server("unix:" + path);
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<CAudioOutput> output(CAudioOutput::Create(nullptr));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(listener);
    printf("gave up on a mute server after %.2f s\n", seconds);
    EXPECT_NE(nullptr, dynamic_cast<CNullOutput *>(output.get()));
    // Well short of libpulse's own 30 s protocol timeout.
    EXPECT_LT(seconds, 20.0);
    ExpectWorks(output.get());
}

TEST(CreateOutput, WithAServerNullAndOtherGuidsGivePulseAudio)
{
    if (!ServerAnswers())
        GTEST_SKIP() << "no PulseAudio server answers";
    for (const GUID *guid : {(const GUID *)nullptr, &kOtherGuid}) {
        std::unique_ptr<CAudioOutput> output(CAudioOutput::Create(guid));
        EXPECT_NE(nullptr, dynamic_cast<CPulseOutput *>(output.get()));
        ExpectWorks(output.get());
    }
    // The null output's GUID still gives the null output.
    std::unique_ptr<CAudioOutput> output(CAudioOutput::Create(&kNullGuid));
    EXPECT_NE(nullptr, dynamic_cast<CNullOutput *>(output.get()));
}
