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

#include "AlsaTestEnv.h"
#include "PulseTestEnv.h"
#include "platform/CLog.h"
#include "platform/posix/output/CAlsaOutput.h"
#include "platform/posix/output/CNullOutput.h"
#include "platform/posix/output/CPulseOutput.h"

namespace {

const GUID kNullGuid = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6c}};
// Any other device: one byte off the null output's.
const GUID kOtherGuid = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6d}};
// DirectSound's default playback device.
const GUID kDefaultPlayback = {
    0xdef00000u, 0x9c6du, 0x47edu, {0xaa, 0xf1, 0x4d, 0xda, 0x8f, 0x2b, 0x5c, 0x03}};

// A socket path of this test's own, removed afterwards.
struct SocketPath {
    std::string m_path = "/tmp/dudidadu-output-" + std::to_string(getpid());
    ~SocketPath() { unlink(m_path.c_str()); }
};

// DUDIDADU_OUTPUT for the length of a test (null: unset).
class ScopedOutputChoice {
public:
    explicit ScopedOutputChoice(const char *value)
    {
        if (value)
            setenv("DUDIDADU_OUTPUT", value, 1);
        else
            unsetenv("DUDIDADU_OUTPUT");
    }
    ~ScopedOutputChoice() { unsetenv("DUDIDADU_OUTPUT"); }
};

bool ServerAnswers()
{
    CPulseOutput probe;
    return probe.Connect();
}

CAudioOutput *Create(const GUID *guid)
{
    return CAudioOutput::Create(guid, 48000, 2, 480);
}

// The output works: it takes 50 ms of stereo frames.
void ExpectWorks(CAudioOutput *output)
{
    ASSERT_NE(nullptr, output);
    std::vector<float> block(480 * 2, 0.0f);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(output->Write(block.data(), 480));
    output->Close();
}

enum EGot { GOT_NONE, GOT_NULL, GOT_PULSE, GOT_ALSA };

EGot Got(const CAudioOutput *output)
{
    if (!output)
        return GOT_NONE;
    if (dynamic_cast<const CPulseOutput *>(output))
        return GOT_PULSE;
    return dynamic_cast<const CAlsaOutput *>(output) ? GOT_ALSA : GOT_NULL;
}

// What a GUID and DUDIDADU_OUTPUT give when nothing answers, when only an
// ALSA device does and when a server does too; the diagnostic line
// (DUDIDADU_LOG) that says so when nothing answers; and whether what is
// given then (the null output; ALSA) stands in for what was asked for, to
// be looked for from then on.
struct Choice {
    const char *what;
    const GUID *guid;
    const char *variable;
    EGot nothing;
    EGot alsaOnly;
    EGot server;
    const char *line;
    bool standIn;
    bool alsaStandsIn;
};

const Choice kChoices[] = {
    {"default", nullptr, nullptr, GOT_NULL, GOT_ALSA, GOT_PULSE,
     "device output: null, nothing is heard (no PulseAudio server answered); PulseAudio and ALSA are looked for", true, true},
    {"default device", &kDefaultPlayback, nullptr, GOT_NULL, GOT_ALSA, GOT_PULSE, "device output: null", true, true},
    {"null-output GUID", &kNullGuid, nullptr, GOT_NULL, GOT_NULL, GOT_NULL, "(the null-output GUID asked for it)\n", false, false},
    {"null-output GUID beats the variable", &kNullGuid, "pulse", GOT_NULL, GOT_NULL, GOT_NULL, "device output: null", false, false},
    {"unknown GUID", &kOtherGuid, nullptr, GOT_NONE, GOT_NONE, GOT_NONE, "no output has the GUID {6e756c6c-6475-6469-6461-64756e756c6d}", false, false},
    {"null asked for", nullptr, "null", GOT_NULL, GOT_NULL, GOT_NULL, "(DUDIDADU_OUTPUT=null)\n", false, false},
    {"pulse asked for", nullptr, "pulse", GOT_NONE, GOT_NONE, GOT_PULSE, "no device: DUDIDADU_OUTPUT=pulse, but no PulseAudio server answered", false, false},
    {"alsa asked for", nullptr, "alsa", GOT_NONE, GOT_ALSA, GOT_ALSA, "no device: DUDIDADU_OUTPUT=alsa, but", false, false},
    {"no such output", nullptr, "loud", GOT_NULL, GOT_ALSA, GOT_PULSE, "DUDIDADU_OUTPUT=loud names no output (pulse, alsa, null)", true, true},
};

// A device of the test's own for ALSA, writing to a file that is removed.
struct AlsaDevice {
    std::string m_recording = "/tmp/dudidadu-create-" + std::to_string(getpid()) + ".raw";
    ScopedAlsaConfig m_config{m_recording};
    ~AlsaDevice() { unlink(m_recording.c_str()); }
};

}  // namespace

TEST(CreateOutput, WithoutAServerEachChoiceGivesItsOutputAndSaysWhy)
{
    SocketPath nothing;
    ScopedPulseServer server("unix:" + nothing.m_path);
    CLog::SetLevel(CLog::LOG_EVENTS);
    for (const Choice &choice : kChoices) {
        SCOPED_TRACE(choice.what);
        ScopedAlsaConfig noDevice("");
        ScopedOutputChoice variable(choice.variable);
        testing::internal::CaptureStderr();
        std::unique_ptr<CAudioOutput> output(Create(choice.guid));
        const std::string lines = testing::internal::GetCapturedStderr();
        EXPECT_EQ(choice.nothing, Got(output.get()));
        EXPECT_NE(std::string::npos, lines.find(choice.line)) << lines;
        // libasound's complaints about the missing device come at level 2 only.
        EXPECT_EQ(std::string::npos, lines.find("ALSA lib")) << lines;
        if (output) {
            EXPECT_EQ(choice.standIn, output->IsStandIn());
            ExpectWorks(output.get());
        }
    }
    // At level 2 they are diagnostic lines, like ours.
    CLog::SetLevel(CLog::LOG_CALLS);
    ScopedAlsaConfig noDevice("");
    ScopedOutputChoice variable("alsa");
    testing::internal::CaptureStderr();
    std::unique_ptr<CAudioOutput> output(Create(nullptr));
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, lines.find("dudidadu: ALSA lib ")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("\nALSA lib")) << lines;
    EXPECT_NE(0u, lines.find("ALSA lib")) << lines;
    CLog::SetLevel(-1);
}

namespace {

// With an ALSA device of the test's own: each choice gets the output the
// column `expected` of the table names, a real one and working.
void ExpectEachChoiceWithAnAlsaDevice(EGot Choice::*expected)
{
    for (const Choice &choice : kChoices) {
        SCOPED_TRACE(choice.what);
        AlsaDevice device;
        ScopedOutputChoice variable(choice.variable);
        std::unique_ptr<CAudioOutput> output(Create(choice.guid));
        EXPECT_EQ(choice.*expected, Got(output.get()));
        if (output) {
            EXPECT_EQ(Got(output.get()) == GOT_ALSA && choice.alsaStandsIn, output->IsStandIn());
            ExpectWorks(output.get());
        }
    }
}

}  // namespace

TEST(CreateOutput, WithOnlyAnAlsaDeviceEachChoiceGivesItsOutput)
{
    SocketPath nothing;
    ScopedPulseServer server("unix:" + nothing.m_path);
    ExpectEachChoiceWithAnAlsaDevice(&Choice::alsaOnly);
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
    std::unique_ptr<CAudioOutput> output(Create(nullptr));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(listener);
    printf("gave up on a mute server after %.2f s\n", seconds);
    // Not ALSA either: the system's default device may go to that server.
    EXPECT_NE(nullptr, dynamic_cast<CNullOutput *>(output.get()));
    // Well short of libpulse's own 30 s protocol timeout.
    EXPECT_LT(seconds, 20.0);
    ExpectWorks(output.get());
}

TEST(CreateOutput, WithAServerEachChoiceGivesItsOutput)
{
    if (!ServerAnswers())
        GTEST_SKIP() << "no PulseAudio server answers";
    ExpectEachChoiceWithAnAlsaDevice(&Choice::server);
}
