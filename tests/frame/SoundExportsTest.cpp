// The twelve sound exports: each refuses a handle that no registered device
// holds before touching anything, and passes its values on unchanged.
#include "dudidadu.h"

#include "frame/CDSoundManager.h"

#include "fake_dsound.h"
#include "support/Diagnostics.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <functional>
#include <vector>

namespace {

using namespace std::chrono_literals;

HWND Window(int n)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x30000 + 16 * n));
}

class SoundExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        image = riff::ToneImage(440, 22050, 2, 16, 0.05, 0.5);
        device = DSoundInitialize(Window(0), nullptr);
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override
    {
        for (int i = 0; i < 32; ++i)
            DSoundTerminate(g_DSoundManager.GetDeviceAt(i));
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        EXPECT_TRUE(fakeds::Faults().empty());
    }
    LPVOID Open(LPVOID on)
    {
        return DSoundOpenMem(on, image.data(), static_cast<DWORD>(image.size()));
    }

    // Calls every sound export with the handle; true when all of them gave
    // their failure result and the reason of a bad handle.
    static bool AllRefuse(LPVOID sound)
    {
        const DWORD badHandle = diag::ReadBack(ERROR_INVALID_HANDLE);
        bool refused = true;
        auto check = [&](bool failed) {
            refused &= failed && GetLastError() == badHandle;
            SetLastError(0);
        };
        check(DSoundPlay(sound, TRUE) == 0);
        DSoundStop(sound, 100);
        check(true);
        check(DSoundIsPlaying(sound) == 0);
        check(DSoundSetVolume(sound, -100) == 0);
        check(DSoundSetPan(sound, 100) == 0);
        check(DSoundSetFrequency(sound, 11025) == 0);
        check(DSoundGetVolume(sound) == 0);
        check(DSoundGetPan(sound) == 0);
        check(DSoundGetFrequency(sound) == 0);
        DSoundClose(sound);
        check(true);
        return refused;
    }

    riff::Bytes image;
    LPVOID device = nullptr;
};

TEST_F(SoundExports, NullInventedAndDeviceHandlesAreRefusedUntouched)
{
    fakeds::ClearLog();
    int invented[16] = {};
    EXPECT_TRUE(AllRefuse(nullptr));
    EXPECT_TRUE(AllRefuse(invented));
    EXPECT_TRUE(AllRefuse(reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0xDEADBEE0))));
    // A device handle is no sound handle.
    EXPECT_TRUE(AllRefuse(device));
    EXPECT_TRUE(fakeds::Log().empty());
    EXPECT_EQ(DSoundInitialize(Window(0), nullptr), device);
}

TEST_F(SoundExports, OpenOnAnInvalidDeviceCreatesNothing)
{
    int invented[16] = {};
    fakeds::ClearLog();
    EXPECT_EQ(Open(nullptr), nullptr);
    EXPECT_EQ(Open(invented), nullptr);
    EXPECT_EQ(DSoundOpen(invented, "whatever.wav"), nullptr);
    EXPECT_EQ(DSoundOpen(nullptr, nullptr), nullptr);
    LPVOID sound = Open(device);
    ASSERT_NE(sound, nullptr);
    // A sound handle is no device handle.
    EXPECT_EQ(Open(sound), nullptr);
    EXPECT_EQ(fakeds::Count("CreateSoundBuffer"), 1);

    LPVOID other = DSoundInitialize(Window(1), nullptr);
    DSoundTerminate(other);
    EXPECT_EQ(Open(other), nullptr);
    EXPECT_EQ(fakeds::Count("CreateSoundBuffer"), 2);  // the other device's primary
}

TEST_F(SoundExports, ValuesPassUnchangedAndResultsComeBack)
{
    LPVOID sound = Open(device);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(DSoundSetVolume(sound, -1234), 1);
    EXPECT_EQ(DSoundSetPan(sound, 2345), 1);
    EXPECT_EQ(DSoundSetFrequency(sound, 44100), 1);
    EXPECT_EQ(DSoundGetVolume(sound), -1234);
    EXPECT_EQ(DSoundGetPan(sound), 2345);
    EXPECT_EQ(DSoundGetFrequency(sound), 44100u);
    EXPECT_EQ(fakeds::Calls("SetVolume").back().args, std::vector<long long>({-1234}));
    EXPECT_EQ(fakeds::Calls("SetPan").back().args, std::vector<long long>({2345}));
    EXPECT_EQ(fakeds::Calls("SetFrequency").back().args, std::vector<long long>({44100}));

    // What DirectSound refuses is refused, unclamped, as a bad parameter.
    const DWORD badValue = diag::ReadBack(ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(DSoundSetVolume(sound, 1), 0);
    EXPECT_EQ(GetLastError(), badValue);
    SetLastError(0);
    EXPECT_EQ(DSoundSetPan(sound, -10001), 0);
    EXPECT_EQ(GetLastError(), badValue);
    SetLastError(0);
    EXPECT_EQ(DSoundSetFrequency(sound, 99), 0);
    EXPECT_EQ(GetLastError(), badValue);
    EXPECT_EQ(fakeds::Calls("SetVolume").back().args, std::vector<long long>({1}));
    // A call that succeeds leaves the application's last error as it was.
    const DWORD mine = diag::ReadBack(ERROR_BUSY);
    EXPECT_EQ(DSoundGetVolume(sound), -1234);
    EXPECT_EQ(DSoundSetPan(sound, 0), 1);
    EXPECT_EQ(DSoundIsPlaying(sound), 0);
    EXPECT_EQ(GetLastError(), mine);
}

TEST_F(SoundExports, LoopFlagTwoLoopsLikeOne)
{
    LPVOID sound = Open(device);
    ASSERT_NE(sound, nullptr);
    ASSERT_EQ(DSoundPlay(sound, 2), 1);
    EXPECT_EQ(DSoundIsPlaying(sound), 1);
    const auto plays = fakeds::Calls("secondary.Play");
    ASSERT_EQ(plays.size(), 1u);
    EXPECT_EQ(plays[0].args, std::vector<long long>({0, 0, DSBPLAY_LOOPING}));
    DSoundStop(sound, 0);
    EXPECT_TRUE(fakeds::WaitFor("secondary.Stop", 10s));
    DSoundClose(sound);
}

TEST_F(SoundExports, ClosedAndTerminatedSoundsAreRefused)
{
    LPVOID closed = Open(device);
    LPVOID kept = Open(device);
    ASSERT_TRUE(closed && kept);
    DSoundClose(closed);
    const int releases = fakeds::Count("Release");
    EXPECT_TRUE(AllRefuse(closed));  // includes a second close
    EXPECT_EQ(fakeds::Count("Release"), releases);
    EXPECT_EQ(DSoundSetVolume(kept, -10), 1);

    LPVOID other = DSoundInitialize(Window(1), nullptr);
    LPVOID orphan = Open(other);
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(DSoundPlay(orphan, TRUE), 1);
    DSoundTerminate(other);
    EXPECT_TRUE(AllRefuse(orphan));
    EXPECT_EQ(DSoundGetVolume(kept), -10);
}

TEST_F(SoundExports, OpenFromAFileAndFailedOpens)
{
    const std::string path = "dudidadu-sound-exports-test.wav";
    ASSERT_TRUE(riff::SaveFile(path, image));
    LPVOID sound = DSoundOpen(device, path.c_str());
    std::remove(path.c_str());
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(DSoundGetFrequency(sound), 22050u);

    // Each refusal with its reason; pointers the application cannot read
    // itself fail, they do not fault.
    riff::Bytes nine = riff::RiffWriter().Fmt(riff::PcmFormat(22050, 9, 16)).Data(riff::Bytes(72, 0)).Build();
    riff::WaveFormat gsm = riff::PcmFormat(8000, 1, 0);
    gsm.tag = 0x31;
    riff::Bytes gsmImage = riff::RiffWriter().Fmt(gsm).Data(riff::Bytes(65, 0)).Build();
    riff::WaveFormat ima = riff::ImaAdpcmFormat(22050, 1, 256);
    ima.extra = {0, 0};  // no samples per block
    riff::Bytes imaImage = riff::RiffWriter().Fmt(ima).Data(riff::Bytes(256, 0)).Build();
    const struct {
        const char *what;
        std::function<LPVOID()> open;
        HRESULT bufferRefused;  // what DirectSound answers the buffer, if asked
        DWORD reason;
        const char *line;
    } refusals[] = {
        {"file gone", [&] { return DSoundOpen(device, path.c_str()); }, DS_OK, ERROR_FILE_NOT_FOUND, "no such file"},
        {"no path", [&] { return DSoundOpen(device, nullptr); }, DS_OK, ERROR_INVALID_PARAMETER, ""},
        {"no image", [&] { return DSoundOpenMem(device, nullptr, 100); }, DS_OK, ERROR_INVALID_PARAMETER, ""},
        {"cut image", [&] { return DSoundOpenMem(device, image.data(), 12); }, DS_OK, ERROR_BAD_FORMAT,
         "no fmt chunk"},
        {"unreadable path", [&] { return DSoundOpen(device, reinterpret_cast<LPCSTR>(16)); }, DS_OK,
         ERROR_NOACCESS, ""},
        {"unreadable image", [&] { return DSoundOpenMem(device, reinterpret_cast<LPVOID>(16), 64); }, DS_OK,
         ERROR_NOACCESS, ""},
        {"GSM", [&] { return DSoundOpenMem(device, gsmImage.data(), (DWORD)gsmImage.size()); }, DS_OK,
         ERROR_BAD_FORMAT, "format tag 0x0031 not supported"},
        {"IMA ADPCM without samples per block", [&] { return DSoundOpenMem(device, imaImage.data(), (DWORD)imaImage.size()); },
         DS_OK, ERROR_BAD_FORMAT, "IMA ADPCM with zero samples per block"},
        {"9 plain channels", [&] { return DSoundOpenMem(device, nine.data(), (DWORD)nine.size()); }, DS_OK,
         ERROR_BAD_FORMAT, "9 channels (1 to 8 are played)"},
        {"no memory for the buffer", [&] { return DSoundOpenMem(device, image.data(), (DWORD)image.size()); },
         DSERR_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY, "out of memory for a buffer of"},
        {"not a device", [&] { return DSoundOpenMem(image.data(), image.data(), 12); }, DS_OK,
         ERROR_INVALID_HANDLE, ""},
    };
    // The refusal's line; at the level of failed calls, one line that names
    // the reason as the platform does and says the same words.
    for (int level : {CLog::LOG_EVENTS, CLog::LOG_CALLS}) {
        diag::CapturedLog log(level);
        for (const auto &refusal : refusals) {
            SCOPED_TRACE(std::string(refusal.what) + " at level " + std::to_string(level));
            if (refusal.bufferRefused != DS_OK)
                fakeds::FailNext("CreateSoundBuffer", refusal.bufferRefused);
            SetLastError(0);
            EXPECT_EQ(refusal.open(), nullptr);
            EXPECT_EQ(GetLastError(), diag::ReadBack(refusal.reason));
            const std::string lines = log.Take();
            EXPECT_NE(lines.find(refusal.line), std::string::npos) << lines;
            if (level == CLog::LOG_CALLS) {
                EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
                EXPECT_NE(lines.find(" failed: " + diag::PlatformName(refusal.reason) + ", "), std::string::npos)
                    << lines;
            }
        }
    }
}

// A failed call's line names its reason as the platform does, with the
// failure site's words or else the code's own; codes the library does not
// know by name keep their number.
TEST(FailureLines, NameEveryReasonThePlatformsWay)
{
    diag::CapturedLog log(CLog::LOG_CALLS);
    for (const diag::CodeName &name : diag::kCodeNames) {
        CLog::Failed("DSoundPlay", name.code, "");
        const std::string line = log.Take();
        const std::string start = "dudidadu: DSoundPlay failed: " + diag::PlatformName(name.code) + ", ";
        EXPECT_EQ(line.compare(0, start.size(), start), 0) << line;
        EXPECT_GT(line.size(), start.size() + 4) << line;  // and some words
    }
    CLog::Failed("DSoundOpen", ERROR_BAD_FORMAT, "not a RIFF/WAVE file");
    EXPECT_EQ(log.Take(), "dudidadu: DSoundOpen failed: " + diag::PlatformName(ERROR_BAD_FORMAT) +
                              ", not a RIFF/WAVE file\n");
#if defined(_WIN32)
    CLog::Failed("DSoundOpen", 12345, "");
    EXPECT_EQ(log.Take(), "dudidadu: DSoundOpen failed: error 12345\n");
#else
    // A system call's errno without a Windows code goes through unchanged.
    errno = ELOOP;
    CLog::Failed("DSoundOpen", GetLastError(), "");
    EXPECT_EQ(log.Take(), "dudidadu: DSoundOpen failed: ELOOP\n");
    errno = EDOM;
    CLog::Failed("DSoundOpen", GetLastError(), "");
    EXPECT_EQ(log.Take(), "dudidadu: DSoundOpen failed: errno " + std::to_string(EDOM) + "\n");
#endif
    // Below the level nothing is written.
    CLog::SetLevel(CLog::LOG_EVENTS);
    CLog::Failed("DSoundPlay", ERROR_INVALID_HANDLE, "");
    EXPECT_EQ(log.Take(), "");
}

TEST_F(SoundExports, FullRegistryStillFindsTheSoundsOfTheLastSlot)
{
    std::vector<LPVOID> devices = {device};
    for (int i = 1; i < 32; ++i) {
        devices.push_back(DSoundInitialize(Window(i), nullptr));
        ASSERT_NE(devices.back(), nullptr);
    }
    ASSERT_EQ(g_DSoundManager.GetDeviceAt(31), devices[31]);
    LPVOID sound = Open(devices[31]);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(DSoundSetVolume(sound, -300), 1);
    EXPECT_EQ(DSoundGetPan(sound), 0);
    EXPECT_EQ(DSoundGetFrequency(sound), 22050u);
    EXPECT_EQ(DSoundPlay(sound, FALSE), 1);
    EXPECT_EQ(DSoundIsPlaying(sound), 1);
    DSoundStop(sound, 0);
    EXPECT_TRUE(fakeds::WaitFor("secondary.Stop", 10s));
    int invented[16] = {};
    EXPECT_TRUE(AllRefuse(invented));
    DSoundClose(sound);
    EXPECT_EQ(DSoundGetVolume(sound), 0);
    EXPECT_EQ(fakeds::Count("secondary.Release"), 1);
}

}  // namespace
