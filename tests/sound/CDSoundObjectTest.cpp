// The sound object against the fake DirectSound: loading, the fill-and-start
// section of Play, the monitor thread's fades, stops and failures, and Close.
#include "sound/CDSoundObject.h"
#include "sound/CMonitorSchedule.h"

#include "fake_dsound.h"
#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "support/Diagnostics.h"
#include "support/LockHolder.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

struct CDSoundObjectProbe {
    static LONG Status(const CDSoundObject &s) { return s.m_nStatus; }
    static LONG Volume(const CDSoundObject &s) { return s.m_lVolume; }
    static LONG FadeTime(const CDSoundObject &s) { return s.m_nFadeTime; }
    static LONG FadeLeft(const CDSoundObject &s) { return s.m_nFadeLeft; }
    static BOOL Loop(const CDSoundObject &s) { return s.m_bLoop; }
    static HANDLE Mutex(const CDSoundObject &s) { return s.m_hMutex; }
    static HANDLE Thread(const CDSoundObject &s) { return s.m_hThread; }
    static DWORD ThreadId(const CDSoundObject &s) { return s.m_dwThreadId; }
    static LPDIRECTSOUNDBUFFER Buffer(const CDSoundObject &s) { return s.m_pBuffer; }
    static LPDIRECTSOUND DirectSound(const CDSoundObject &s) { return s.m_pDirectSound; }
    static const BYTE *Format(const CDSoundObject &s)
    {
        return reinterpret_cast<const BYTE *>(s.m_pFormat);
    }
    static const BYTE *Data(const CDSoundObject &s) { return s.m_pWaveData; }
    static DWORD Size(const CDSoundObject &s) { return s.m_dwWaveSize; }
};

namespace {

using Probe = CDSoundObjectProbe;
using Bytes = riff::Bytes;
using Trace = std::vector<std::string>;

using Clock = std::chrono::steady_clock;

const std::chrono::seconds kDeadline(10);
// The whole buffer, locked to be overwritten.
const std::string kLock = "Lock 0 4410 " + std::to_string(DSBLOCK_OVERWRITE);
// What a wait may come short of its time-out by, on any platform.
const std::chrono::milliseconds kTimerSlop(5);

bool Eventually(const std::function<bool()> &condition)
{
    const Clock::time_point deadline = Clock::now() + kDeadline;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

// ---------------------------------------------------------------- WAVE images

// A RIFF/WAVE image; the data chunk may announce another size than it holds.
Bytes WaveImage(const riff::WaveFormat &format, const Bytes &data, DWORD announced)
{
    return riff::RiffWriter().Fmt(format).ChunkAs("data", announced, data).Build();
}

Bytes Samples(size_t n)
{
    Bytes s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<BYTE>(i * 7 + 3);
    return s;
}

// ---------------------------------------------------------------- the log

std::string Describe(const fakeds::Call &call)
{
    std::string text = call.method;
    for (long long a : call.args)
        text += " " + std::to_string(a);
    if (call.result != DS_OK)
        text += " !";
    return text;
}

// The calls on secondary buffers, as "Method args", for the methods named.
Trace SecondaryTrace(const std::vector<std::string> &methods)
{
    Trace trace;
    for (const fakeds::Call &call : fakeds::Log()) {
        if (call.object != "secondary")
            continue;
        for (const std::string &m : methods) {
            if (call.method == m)
                trace.push_back(Describe(call));
        }
    }
    return trace;
}

// The fade's volumes from `volume` over `fade` ms, as the thread sets them.
Trace FadeSteps(LONG volume, LONG fade, int steps)
{
    Trace trace;
    for (LONG left = fade - 50; left >= 0 && steps-- > 0; left -= 50)
        trace.push_back("SetVolume " +
                        std::to_string((LONG)((long long)(volume + 10000) * left / fade - 10000)));
    return trace;
}

// ---------------------------------------------------------------- fixture

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        m_live = fakeds::LiveObjects();
        ASSERT_EQ(DS_OK, DirectSoundCreate(nullptr, &m_ds, nullptr));
        m_samples = Samples(4410);
        m_image = WaveImage(riff::PcmFormat(22050, 1, 16), m_samples, 4410);
    }

    void TearDown() override
    {
        m_sound.Destroy();
        if (m_ds)
            m_ds->Release();
        EXPECT_EQ(m_live, fakeds::LiveObjects()) << "a buffer was not released";
        EXPECT_TRUE(fakeds::Faults().empty());
    }

    BOOL Load() { return m_sound.OpenMem(m_ds, m_image.data(), (DWORD)m_image.size()); }

    // A one-shot of `ms` milliseconds (22050 Hz mono), started on the fake's
    // clock, with the log cleared.
    BOOL PlayInRealTime(DWORD ms)
    {
        const DWORD bytes = 22050 * 2 * ms / 1000;
        m_image = WaveImage(riff::PcmFormat(22050, 1, 16), Samples(bytes), bytes);
        if (!Load())
            return FALSE;
        fakeds::SetOneShotsInRealTime(true);
        fakeds::ClearLog();
        return m_sound.Play(FALSE);
    }

    void Ticking(int count = 1)
    {
        ASSERT_TRUE(fakeds::WaitFor("secondary.GetStatus", kDeadline, count)) << "no monitor tick";
    }

    // The monitor thread's end and its exit code.
    DWORD ThreadEnd()
    {
        HANDLE thread = Probe::Thread(m_sound);
        EXPECT_NE(nullptr, thread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000)) << "the thread did not end";
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        return code;
    }

    // Posts a stop while holding the sound's lock, so that it cannot land in
    // the middle of a pass and every pass sees the whole request; the log then
    // begins with the first pass that sees it.
    void PostStop(LONG fade)
    {
        HANDLE mutex = Probe::Mutex(m_sound);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 10000));
        fakeds::ClearLog();
        m_sound.Stop(fade);
        ReleaseMutex(mutex);
    }

    LPDIRECTSOUND m_ds = nullptr;
    int m_live = 0;
    Bytes m_samples;
    Bytes m_image;
    CDSoundObject m_sound;
};

// ---------------------------------------------------------------- loading

TEST_F(SoundTest, OpenMemCopiesTheSamplesAndMakesAControllableBufferOfTheirSize)
{
    ASSERT_TRUE(Load());
    EXPECT_EQ(SOUND_OK, Probe::Status(m_sound));
    EXPECT_EQ(m_ds, Probe::DirectSound(m_sound));
    EXPECT_NE(nullptr, Probe::Mutex(m_sound));
    ASSERT_EQ(4410u, Probe::Size(m_sound));
    EXPECT_NE(m_image.data() + 44, Probe::Data(m_sound));  // its own copy
    EXPECT_EQ(0, memcmp(m_samples.data(), Probe::Data(m_sound), 4410));

    const std::vector<fakeds::Call> created = fakeds::Calls("CreateSoundBuffer");
    ASSERT_EQ(1u, created.size());
    const std::vector<long long> expected = {sizeof(DSBUFFERDESC1), 0xE0, 4410, 0, 1,
                                             WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    EXPECT_EQ(expected, created[0].args);
}

TEST_F(SoundTest, OpenReadsAFile)
{
    const char *path = "sound_object_test_open.wav";
    FILE *file = fopen(path, "wb");
    ASSERT_NE(nullptr, file);
    fwrite(m_image.data(), 1, m_image.size(), file);
    fclose(file);
    const BOOL opened = m_sound.Open(m_ds, path);
    remove(path);
    ASSERT_TRUE(opened);
    EXPECT_EQ(4410u, Probe::Size(m_sound));
    EXPECT_EQ(0, memcmp(m_samples.data(), Probe::Data(m_sound), 4410));
}

TEST_F(SoundTest, DataChunkNoBufferCouldHoldIsRefusedBeforeItIsRead)
{
    // Files that really hold such a data chunk (sparse, so they cost no
    // disk): refused before the data is read, so no buffer is ever asked
    // for. Decoded sizes count: A-law doubles, IMA ADPCM nearly quadruples.
    const struct {
        const char *what;
        riff::WaveFormat format;
        DWORD size;
    } cases[] = {
        {"PCM", riff::PcmFormat(22050, 1, 16), DSBSIZE_MAX + 1u},
        {"A-law", riff::G711Format(6, 22050, 1), DSBSIZE_MAX / 2 + 1u},
        {"IMA ADPCM", riff::ImaAdpcmFormat(22050, 1, 512), DSBSIZE_MAX / 3},
    };
    const char *path = "sound_object_test_huge.wav";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes header = WaveImage(c.format, Bytes(), c.size);
        FILE *file = fopen(path, "wb");
        ASSERT_NE(nullptr, file);
        fwrite(header.data(), 1, header.size(), file);
        ASSERT_EQ(0, fseek(file, (long)(c.size - 1), SEEK_CUR));
        fputc(0, file);
        fclose(file);
        fakeds::ClearLog();
        CDSoundObject sound;
        CFailureReason call;
        const BOOL opened = sound.Open(m_ds, path);
        remove(path);
        EXPECT_FALSE(opened);
        EXPECT_EQ((DWORD)ERROR_FILE_TOO_LARGE, CFailureReason::Noted());
        EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(sound));
        EXPECT_EQ(0, fakeds::Count("CreateSoundBuffer"));
    }
}

TEST_F(SoundTest, ExtensibleFormatReachesTheBufferWhole)
{
    const Bytes format = riff::ExtensibleFormat(48000, 2, 24, 0x3).Full();
    ASSERT_EQ(40u, format.size());
    m_image = WaveImage(riff::ExtensibleFormat(48000, 2, 24, 0x3), Samples(600), 600);
    ASSERT_TRUE(Load());
    EXPECT_EQ(0, memcmp(format.data(), Probe::Format(m_sound), format.size()));

    const std::vector<fakeds::Call> created = fakeds::Calls("CreateSoundBuffer");
    ASSERT_EQ(1u, created.size());
    const std::vector<long long> expected = {sizeof(DSBUFFERDESC1), 0xE0, 600, 0, 1,
                                             WAVE_FORMAT_EXTENSIBLE, 2, 48000, 288000, 6, 24, 22};
    EXPECT_EQ(expected, created[0].args);
    EXPECT_EQ(Bytes(format.begin(), format.end()),
              Bytes(created[0].data.begin(), created[0].data.end()));
}

// What DirectSound cannot take reaches it decoded, or relabelled: the record
// CreateSoundBuffer gets and the samples the sound holds. (The decodings
// themselves are checked against sox's in tests/wave.)
TEST_F(SoundTest, FormatsDirectSoundCannotTakeAreDecodedOrRelabelledAtLoad)
{
    riff::WaveFormat float64 = riff::PcmFormat(48000, 2, 64);
    float64.tag = 3;
    riff::WaveFormat float8 = riff::PcmFormat(48000, 8, 32);
    float8.tag = 3;
    const Bytes six = Samples(6 * 2 * 10), eight = Samples(8 * 4 * 10);
    const Bytes ima = riff::ImaAdpcmEncode(riff::PcmTone(440, 22050, 2, 16, 0.05, 0.5), 2, 256);
    const struct {
        const char *what;
        riff::WaveFormat format;
        Bytes data;
        std::vector<long long> record;  // size, then tag, channels, rate, bytes a second, block, bits, cbSize
        long long mask;                 // an extensible record's channel mask
        Bytes samples;                  // what the sound holds, when checked
    } cases[] = {
        {"plain PCM, 5.1", riff::PcmFormat(44100, 6, 16), six,
         {120, WAVE_FORMAT_EXTENSIBLE, 6, 44100, 529200, 12, 16, 22}, 0x3F, six},
        {"plain float, 7.1", float8, eight, {320, WAVE_FORMAT_EXTENSIBLE, 8, 48000, 1536000, 32, 32, 22}, 0x63F,
         eight},
        {"A-law", riff::G711Format(6, 8000, 1), {0xD5, 0x55, 0xAA, 0x2A}, {8, WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0},
         0, {8, 0, 0xF8, 0xFF, 0x00, 0x7E, 0x00, 0x82}},  // 8, -8, 32256, -32256
        {"IMA ADPCM, 5 blocks of 249 frames", riff::ImaAdpcmFormat(22050, 2, 256), ima,
         {5 * 249 * 4, WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0}, 0, {}},
        {"64-bit float", float64, Bytes(64, 0), {32, WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0}, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fakeds::ClearLog();
        m_image = WaveImage(c.format, c.data, (DWORD)c.data.size());
        CDSoundObject sound;
        ASSERT_TRUE(sound.OpenMem(m_ds, m_image.data(), (DWORD)m_image.size()));
        const DWORD size = (DWORD)c.record[0];
        ASSERT_EQ(size, Probe::Size(sound));
        if (!c.samples.empty()) {
            EXPECT_EQ(c.samples, Bytes(Probe::Data(sound), Probe::Data(sound) + size));
        }
        const std::vector<fakeds::Call> created = fakeds::Calls("CreateSoundBuffer");
        ASSERT_EQ(1u, created.size());
        std::vector<long long> expected = {sizeof(DSBUFFERDESC1), 0xE0, size, 0, 1};
        expected.insert(expected.end(), c.record.begin() + 1, c.record.end());
        EXPECT_EQ(expected, created[0].args);
        if (c.mask != 0) {
            ASSERT_EQ(40u, created[0].data.size());
            EXPECT_EQ(c.mask, riff::GetU32(created[0].data, 20));
            EXPECT_EQ(c.format.tag, riff::GetU16(created[0].data, 24));  // the sub-format
        }
        sound.Destroy();
    }
}

TEST_F(SoundTest, FailedLoadsLeaveTheSoundEmptyWithoutALock)
{
    struct Case {
        const char *what;
        Bytes image;
        bool refusedBuffer;
        DWORD reason;
        const char *line;
    };
    const riff::WaveFormat pcm = riff::PcmFormat(22050, 1, 16);
    riff::WaveFormat mp3 = riff::PcmFormat(44100, 2, 0);
    mp3.tag = 0x55;
    riff::WaveFormat noSamples = riff::ImaAdpcmFormat(22050, 1, 256);
    noSamples.extra = {0, 0};
    riff::WaveFormat imaTooBig = riff::ImaAdpcmFormat(22050, 2, 256);
    imaTooBig.extra = {0xF9, 0x01};  // 505 samples need 512 bytes
    const Bytes blocks = Samples(1024);
    const Case cases[] = {
        {"data chunk announces more than it holds", WaveImage(pcm, Samples(400), 500), false, ERROR_BAD_FORMAT,
         "the data chunk announces 500 bytes"},
        {"data chunk announces nearly 4 GiB", WaveImage(pcm, Samples(400), 0xFFFFFFF0u), false,
         ERROR_BAD_FORMAT, ""},
        {"empty data chunk", WaveImage(pcm, Bytes(), 0), false, ERROR_BAD_FORMAT, ""},
        {"not a WAVE image", Samples(64), false, ERROR_BAD_FORMAT, ""},
        {"DirectSound refuses the buffer", m_image, true, ERROR_BAD_FORMAT, ""},
        {"MP3", WaveImage(mp3, blocks, 1024), false, ERROR_BAD_FORMAT, "format tag 0x0055 not supported"},
        {"IMA ADPCM with zero samples per block", WaveImage(noSamples, blocks, 1024), false, ERROR_BAD_FORMAT,
         "IMA ADPCM with zero samples per block"},
        {"IMA ADPCM block too small", WaveImage(imaTooBig, blocks, 1024), false, ERROR_BAD_FORMAT,
         "IMA ADPCM block align 256 does not fit 505 samples per block of 2 channels"},
        {"Microsoft ADPCM coefficients cut short", WaveImage(riff::MsAdpcmFormat(22050, 1, 256, 5), blocks, 1024),
         false, ERROR_BAD_FORMAT, "coefficient table too short: 7 pairs announced, 5 held"},
        {"IMA ADPCM shorter than a block header", WaveImage(riff::ImaAdpcmFormat(22050, 2, 256), Samples(6), 6),
         false, ERROR_BAD_FORMAT, "the data chunk holds no whole block"},
        {"IMA ADPCM data announces more than it holds",
         WaveImage(riff::ImaAdpcmFormat(22050, 2, 256), blocks, 2048), false, ERROR_BAD_FORMAT,
         "the data chunk announces 2048 bytes"},
    };
    diag::CapturedLog log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fakeds::ClearLog();
        log.Clear();
        if (c.refusedBuffer)
            fakeds::FailNext("CreateSoundBuffer", DSERR_BADFORMAT);
        CDSoundObject sound;
        CFailureReason call;
        EXPECT_FALSE(sound.OpenMem(m_ds, const_cast<BYTE *>(c.image.data()), (DWORD)c.image.size()));
        EXPECT_EQ(c.reason, CFailureReason::Noted());
        EXPECT_NE(std::string::npos, log.Take().find(c.line));
        EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(sound));
        EXPECT_EQ(nullptr, Probe::Buffer(sound));
        EXPECT_EQ(nullptr, Probe::Format(sound));
        EXPECT_EQ(nullptr, Probe::Data(sound));
        EXPECT_EQ(0u, Probe::Size(sound));
        EXPECT_EQ(nullptr, Probe::Mutex(sound));
        EXPECT_EQ(nullptr, Probe::DirectSound(sound));
        EXPECT_EQ(c.refusedBuffer ? 1 : 0, fakeds::Count("CreateSoundBuffer"));
        EXPECT_FALSE(sound.Play(FALSE));
        EXPECT_EQ(SOUND_ERR_STATE, Probe::Status(sound));
    }
    EXPECT_FALSE(m_sound.Open(m_ds, "no such file.wav"));
    EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
    EXPECT_EQ(nullptr, Probe::Mutex(m_sound));
}

TEST_F(SoundTest, OpenOnALoadedSoundIsRefusedAndKeepsItsContent)
{
    ASSERT_TRUE(Load());
    LPDIRECTSOUNDBUFFER buffer = Probe::Buffer(m_sound);
    const BYTE *data = Probe::Data(m_sound);
    const Bytes other = WaveImage(riff::PcmFormat(44100, 2, 16), Samples(800), 800);
    EXPECT_FALSE(m_sound.OpenMem(m_ds, const_cast<BYTE *>(other.data()), (DWORD)other.size()));
    EXPECT_EQ(SOUND_ERR_STATE, Probe::Status(m_sound));
    EXPECT_EQ(buffer, Probe::Buffer(m_sound));
    EXPECT_EQ(data, Probe::Data(m_sound));
    EXPECT_EQ(4410u, Probe::Size(m_sound));
    EXPECT_EQ(1, fakeds::Count("CreateSoundBuffer"));
    EXPECT_TRUE(m_sound.Play(FALSE));
}

// ---------------------------------------------------------------- playing

TEST_F(SoundTest, PlayFillsRewindsStartsThenAppliesTheVolume)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.SetVolume(-700));
    fakeds::ClearLog();
    ASSERT_TRUE(m_sound.Play(FALSE));
    EXPECT_TRUE(m_sound.IsPlaying());
    EXPECT_EQ(-1, Probe::FadeTime(m_sound));
    EXPECT_EQ(-1, Probe::FadeLeft(m_sound));

    const Trace expected = {kLock, "Unlock 0 4410 -1 0", "SetCurrentPosition 0",
                            "Play 0 0 0", "SetVolume -700"};
    EXPECT_EQ(expected, SecondaryTrace({"Lock", "Unlock", "SetCurrentPosition", "Play",
                                        "SetVolume", "Restore", "Stop"}));
    const std::vector<fakeds::Call> unlocked = fakeds::Calls("secondary.Unlock");
    ASSERT_EQ(1u, unlocked.size());
    EXPECT_EQ(m_samples, Bytes(unlocked[0].data.begin(), unlocked[0].data.end()));
}

TEST_F(SoundTest, AnyNonZeroLoopArgumentLoopsAndIsKeptAsPassed)
{
    ASSERT_TRUE(Load());
    for (BOOL loop : {2, -1}) {
        fakeds::ClearLog();
        ASSERT_TRUE(m_sound.Play(loop));
        EXPECT_EQ(loop, Probe::Loop(m_sound));
        EXPECT_EQ(Trace{"Play 0 0 1"}, SecondaryTrace({"Play"}));
    }
}

TEST_F(SoundTest, OneShotEndsItsThreadWhenTheBufferStops)
{
    ASSERT_TRUE(Load());
    fakeds::SetOneShotQueries(2);
    fakeds::ClearLog();
    ASSERT_TRUE(m_sound.Play(FALSE));
    EXPECT_EQ(0u, ThreadEnd());
    EXPECT_FALSE(m_sound.IsPlaying());
    const Trace expected = {"SetVolume 0", "GetStatus 1", "GetStatus 1", "GetStatus 0", "Stop"};
    EXPECT_EQ(expected, SecondaryTrace({"GetStatus", "SetVolume", "Stop"}));

    // Played again from the start, under a new thread.
    fakeds::ClearLog();
    ASSERT_TRUE(m_sound.Play(FALSE));
    EXPECT_EQ(0u, ThreadEnd());
    EXPECT_EQ(1, fakeds::Count("secondary.SetCurrentPosition"));
}

// The buffer's position and frequency foretell a one-shot's end: the thread
// sleeps until then and ends at the first look after it, instead of looking
// every tick.
TEST_F(SoundTest, OneShotEndsAtItsLastSampleNotAtATick)
{
    ASSERT_TRUE(PlayInRealTime(300));
    EXPECT_EQ(0u, ThreadEnd());
    const Clock::time_point end = fakeds::OneShotEnd();
    const std::vector<fakeds::Call> looks = fakeds::Calls("secondary.GetStatus");
    ASSERT_GE(looks.size(), 2u);
    // One look as it starts, one at the end, perhaps one more if the buffer
    // was not quite done; a thread that ticked would look six times.
    EXPECT_LE(looks.size(), 4u);
    EXPECT_GE(looks[1].at, end - kTimerSlop) << "looked before the end was due";
    EXPECT_EQ(0, looks.back().args[0]);
    EXPECT_EQ("Stop", SecondaryTrace({"GetStatus", "Stop"}).back());
}

// A new frequency wakes the thread, which foretells the end anew: twice the
// speed, half the time left.
TEST_F(SoundTest, FrequencyChangeMidPlayMovesTheEnd)
{
    ASSERT_TRUE(PlayInRealTime(1000));
    Ticking();
    const Clock::time_point oldEnd = fakeds::OneShotEnd();
    ASSERT_TRUE(m_sound.SetFrequency(44100));
    EXPECT_EQ(0u, ThreadEnd());
    const Clock::time_point end = fakeds::OneShotEnd();
    EXPECT_LT(end, oldEnd - std::chrono::milliseconds(300));

    // The looks after the change: one when woken, then none before the new end.
    std::vector<fakeds::Call> looks;
    bool changed = false;
    for (const fakeds::Call &call : fakeds::Log()) {
        changed = changed || call.method == "SetFrequency";
        if (changed && call.object == "secondary" && call.method == "GetStatus")
            looks.push_back(call);
    }
    ASSERT_GE(looks.size(), 2u);
    EXPECT_EQ(1, looks[0].args[0]);
    for (size_t i = 1; i < looks.size(); ++i)
        EXPECT_GE(looks[i].at, end - kTimerSlop) << "look " << i << " came before the end was due";
    EXPECT_LT(looks.back().at, oldEnd) << "the thread waited for the end the old frequency foretold";
}

TEST_F(SoundTest, PlayWhilePlayingStopsTheEarlierRunAndRestartsAtTheRememberedVolume)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.SetVolume(-700));
    ASSERT_TRUE(m_sound.Play(TRUE));
    Ticking();
    PostStop(1000);
    ASSERT_TRUE(fakeds::WaitFor("secondary.SetVolume", kDeadline, 1));  // one fade step
    fakeds::ClearLog();

    ASSERT_TRUE(m_sound.Play(FALSE));
    EXPECT_TRUE(m_sound.IsPlaying());
    EXPECT_EQ(-1, Probe::FadeTime(m_sound));

    Trace trace = SecondaryTrace({"Lock", "Unlock", "SetCurrentPosition", "Play", "SetVolume",
                                  "Stop"});
    // Fade steps of the earlier run may come first; then its stop, then the refill.
    size_t stop = 0;
    while (stop < trace.size() && trace[stop] != "Stop")
        ++stop;
    ASSERT_LT(stop, trace.size()) << "the earlier run did not stop the buffer";
    for (size_t i = 0; i < stop; ++i)
        EXPECT_EQ(0u, trace[i].rfind("SetVolume -", 0)) << trace[i];
    const Trace expected = {"Stop", kLock, "Unlock 0 4410 -1 0", "SetCurrentPosition 0",
                            "Play 0 0 0", "SetVolume -700"};
    EXPECT_EQ(expected, Trace(trace.begin() + stop, trace.end()));
}

TEST_F(SoundTest, LostBufferIsRestoredOnceAndRefilled)
{
    ASSERT_TRUE(Load());
    fakeds::FailNext("secondary.Lock", DSERR_BUFFERLOST, 1);
    fakeds::ClearLog();
    ASSERT_TRUE(m_sound.Play(TRUE));
    EXPECT_TRUE(m_sound.IsPlaying());
    const Trace expected = {kLock + " !", "Restore", kLock, "Unlock 0 4410 -1 0",
                            "SetCurrentPosition 0", "Play 0 0 1", "SetVolume 0"};
    EXPECT_EQ(expected, SecondaryTrace({"Lock", "Restore", "Unlock", "SetCurrentPosition", "Play",
                                        "SetVolume"}));
    EXPECT_EQ(m_samples, fakeds::Calls("secondary.Unlock")[0].data);
}

// A failure in the fill-and-start section fails the Play, ends its thread
// (which never ran) and leaves no buffer sounding; a later Play works.
TEST_F(SoundTest, FailuresWhileStartingFailThePlay)
{
    struct Fault {
        const char *key;
        HRESULT hr;
        int times;
    };
    struct Case {
        const char *what;
        std::vector<Fault> faults;
        Trace trace;
    };
    const Case cases[] = {
        {"buffer lost twice",
         {{"secondary.Lock", DSERR_BUFFERLOST, 2}},
         {kLock + " !", "Restore", kLock + " !"}},
        {"restore fails",
         {{"secondary.Lock", DSERR_BUFFERLOST, 1}, {"secondary.Restore", DSERR_GENERIC, 1}},
         {kLock + " !", "Restore !"}},
        {"volume refused at play",
         {{"secondary.SetVolume", DSERR_GENERIC, 1}},
         {kLock, "Unlock 0 4410 -1 0", "SetCurrentPosition 0", "Play 0 0 1",
          "SetVolume 0 !", "Stop"}},
    };
    ASSERT_TRUE(Load());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const Fault &f : c.faults)
            fakeds::FailNext(f.key, f.hr, f.times);
        fakeds::ClearLog();
        EXPECT_FALSE(m_sound.Play(TRUE));
        EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
        EXPECT_EQ(0u, Probe::ThreadId(m_sound));
        EXPECT_FALSE(m_sound.IsPlaying());
        EXPECT_EQ(0u, ThreadEnd());
        EXPECT_EQ(c.trace, SecondaryTrace({"Lock", "Restore", "Unlock", "SetCurrentPosition",
                                           "Play", "SetVolume", "Stop", "GetStatus"}));
        ASSERT_TRUE(m_sound.Play(TRUE));
        Ticking();
        m_sound.Stop(0);
        EXPECT_EQ(0u, ThreadEnd());
    }
}

TEST_F(SoundTest, PlayAndControlsFailWhenTheLockIsHeldElsewhere)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.SetVolume(-300));
    {
        LockHolder holder(Probe::Mutex(m_sound));
        EXPECT_FALSE(m_sound.Play(TRUE));
        EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
        EXPECT_FALSE(m_sound.IsPlaying());
        EXPECT_FALSE(m_sound.SetVolume(-600));
        EXPECT_EQ(-300, Probe::Volume(m_sound));
        EXPECT_EQ(0, m_sound.GetVolume());
        EXPECT_FALSE(m_sound.SetPan(100));
        EXPECT_EQ(0u, m_sound.GetFrequency());
    }
    EXPECT_EQ(0, fakeds::Count("secondary.Play"));
    EXPECT_TRUE(m_sound.Play(TRUE));
}

// Whatever holds a Play up (the sound's lock, another Play of the same
// sound still copying its samples), it gives up after the lock's time-out
// with ERROR_TIMEOUT and starts nothing.
TEST_F(SoundTest, PlayHeldUpGivesUpAfterTheLockTimeout)
{
    enum { SOUND_LOCK, OTHER_PLAY };
    const struct {
        int holder;
        const char *what;
    } cases[] = {
        {SOUND_LOCK, "the sound's lock held"},
        {OTHER_PLAY, "another play of the sound in its copy"},
    };
    ASSERT_TRUE(Load());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<LockHolder> holder;
        std::thread other;
        if (c.holder == OTHER_PLAY) {
            fakeds::HoldNext("secondary.Lock");
            other = std::thread([this] { m_sound.Play(TRUE); });
            ASSERT_TRUE(fakeds::WaitHeld(kDeadline));
        } else {
            holder.reset(new LockHolder(Probe::Mutex(m_sound)));
            ASSERT_TRUE(holder->Held());
        }
        fakeds::ClearLog();
        CFailureReason call;
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(m_sound.Play(FALSE));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(LOCK_TIMEOUT_MS) - kTimerSlop);
        EXPECT_EQ((DWORD)ERROR_TIMEOUT, CFailureReason::Noted());
        EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
        EXPECT_EQ(0, fakeds::Count("secondary.Play"));

        holder.reset();
        fakeds::ReleaseHold();
        if (other.joinable())
            other.join();
        m_sound.Stop(0);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Probe::Thread(m_sound), 10000));
    }
}

// ---------------------------------------------------------------- stopping

struct FadeCase {
    LONG volume;
    LONG fade;
    Trace trace;  // volumes set, then the stop; a status query after each
};

void PrintTo(const FadeCase &c, std::ostream *os)
{
    *os << "Stop(" << c.fade << ") at volume " << c.volume;
}

class FadeTest : public SoundTest, public ::testing::WithParamInterface<FadeCase> {};

TEST_P(FadeTest, VolumesFallAlongAStraightLineThenTheBufferStops)
{
    const FadeCase &c = GetParam();
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.SetVolume(c.volume));
    ASSERT_TRUE(m_sound.Play(TRUE));
    Ticking();
    diag::CapturedLog log;
    const Clock::time_point posted = Clock::now();
    PostStop(c.fade);
    EXPECT_EQ(0u, ThreadEnd());

    // A length outside 0 to 65535 stops at once, and says so.
    const bool outside = c.fade < 0 || c.fade > 65535;
    EXPECT_EQ(outside, log.Take().find("DSoundStop: a fade of " + std::to_string(c.fade) +
                                       " ms is outside 0 to 65535") != std::string::npos);

    // A fade's steps and its stop come a tick apart, the first a tick after
    // the request, never sooner.
    Clock::time_point last = posted;
    for (const fakeds::Call &call : fakeds::Log()) {
        if (c.fade <= 0 || outside || call.object != "secondary" ||
            (call.method != "SetVolume" && call.method != "Stop"))
            continue;
        EXPECT_GE(call.at - last, std::chrono::milliseconds(MONITOR_TICK_MS) - kTimerSlop) << Describe(call);
        last = call.at;
    }

    // Every pass with a volume step still asks the status; the pass that ends
    // the fade (or carries out a stop) does not.
    Trace expected;
    for (const std::string &step : c.trace) {
        expected.push_back(step);
        if (step != "Stop")
            expected.push_back("GetStatus 5");  // playing, looping
    }
    EXPECT_EQ(expected, SecondaryTrace({"SetVolume", "Stop", "GetStatus"}));
    EXPECT_FALSE(m_sound.IsPlaying());
    EXPECT_EQ(c.volume, Probe::Volume(m_sound));  // the fade leaves it alone
    EXPECT_EQ(0, Probe::FadeTime(m_sound));
    EXPECT_EQ(SOUND_OK, Probe::Status(m_sound));
}

INSTANTIATE_TEST_SUITE_P(
    Fades, FadeTest,
    ::testing::Values(
        FadeCase{-1, 150, {"SetVolume -3334", "SetVolume -6667", "SetVolume -10000", "Stop"}},
        FadeCase{-500, 120, {"SetVolume -4459", "SetVolume -8417", "Stop"}},
        FadeCase{0, 100, {"SetVolume -5000", "SetVolume -10000", "Stop"}},
        FadeCase{-2000, 100, {"SetVolume -6000", "SetVolume -10000", "Stop"}},
        FadeCase{0, 50, {"SetVolume -10000", "Stop"}},
        FadeCase{-300, 30, {"Stop"}},
        FadeCase{-300, 0, {"Stop"}},
        FadeCase{-300, -1, {"Stop"}},
        FadeCase{-300, 65536, {"Stop"}}));

TEST_F(SoundTest, LongestFadeStartsOneStepBelowTheVolume)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.Play(TRUE));
    Ticking();
    PostStop(65535);
    ASSERT_TRUE(fakeds::WaitFor("secondary.SetVolume", kDeadline, 2));
    const Trace trace = SecondaryTrace({"SetVolume"});
    EXPECT_EQ(FadeSteps(0, 65535, 2), Trace(trace.begin(), trace.begin() + 2));
    EXPECT_EQ("SetVolume -8", trace[0]);
}

TEST_F(SoundTest, SecondStopRestartsTheFadeFromTheRememberedVolume)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.SetVolume(-1000));
    ASSERT_TRUE(m_sound.Play(TRUE));
    Ticking();
    PostStop(500);
    ASSERT_TRUE(fakeds::WaitFor("secondary.SetVolume", kDeadline, 2));
    const Trace first = SecondaryTrace({"SetVolume"});
    EXPECT_EQ(FadeSteps(-1000, 500, 2), Trace(first.begin(), first.begin() + 2));

    PostStop(100);
    EXPECT_EQ(0u, ThreadEnd());
    EXPECT_EQ((Trace{"SetVolume -5500", "SetVolume -10000", "Stop"}),
              SecondaryTrace({"SetVolume", "Stop"}));
}

TEST_F(SoundTest, OneShotReachingItsEndDuringAFadeEndsThere)
{
    ASSERT_TRUE(Load());
    fakeds::SetOneShotQueries(3);
    ASSERT_TRUE(m_sound.Play(FALSE));
    PostStop(1000);
    EXPECT_EQ(0u, ThreadEnd());
    const Trace trace = SecondaryTrace({"SetVolume", "Stop"});
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ("Stop", trace.back());
    // At most four fade steps of the twenty there would have been.
    ASSERT_LE(trace.size(), 5u);
    EXPECT_EQ(FadeSteps(0, 1000, (int)trace.size() - 1), Trace(trace.begin(), trace.end() - 1));
}

// ... and a loop with no request has nothing to look at after its first
// pass: its thread sleeps until woken.
TEST_F(SoundTest, StopWithoutAThreadChangesNothingAndPlayReplacesIt)
{
    ASSERT_TRUE(Load());
    m_sound.Stop(500);
    fakeds::ClearLog();
    ASSERT_TRUE(m_sound.Play(TRUE));
    EXPECT_EQ(-1, Probe::FadeTime(m_sound));
    Ticking();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(Probe::Thread(m_sound), 300));
    EXPECT_TRUE(m_sound.IsPlaying());
    EXPECT_EQ(Trace{"SetVolume 0"}, SecondaryTrace({"SetVolume", "Stop"}));
    EXPECT_EQ(1, fakeds::Count("secondary.GetStatus"));
}

// What the monitor thread waits for next, in milliseconds from now.
TEST(MonitorSchedule, WaitsUntilWhatIsDueNext)
{
    const LONGLONG t = 5000000;  // any moment, in microseconds
    CMonitorSchedule schedule;
    EXPECT_EQ(0u, schedule.Timeout(t)) << "the first pass comes at once";
    schedule.Passed();
    EXPECT_EQ(INFINITE, schedule.Timeout(t)) << "a loop with nothing asked";

    schedule.EndIn(t, 300);
    EXPECT_EQ(301u, schedule.Timeout(t));
    schedule.StartFade(t);
    EXPECT_EQ(50u, schedule.Timeout(t)) << "the sooner of a fade's step and the end";
    EXPECT_EQ(1u, schedule.Timeout(t + 49001)) << "rounded up, never short";
    EXPECT_TRUE(schedule.IsFadeDue(t + 50000));
    schedule.FadeStepped(t + 50500);
    EXPECT_EQ(50u, schedule.Timeout(t + 50500));
    schedule.NoFade();

    // An end that has come with the buffer still playing is looked at again
    // after growing pauses, at most a tick; a later foretelling starts over.
    LONGLONG now = t + 301000;
    for (DWORD pause : {1u, 2u, 4u, 8u, 16u, 32u, 50u, 50u}) {
        schedule.EndIn(now, 0);
        EXPECT_EQ(pause, schedule.Timeout(now));
        now += pause * 1000;
    }
    schedule.EndIn(now - 1000, 20);
    EXPECT_EQ(20u, schedule.Timeout(now));

    // A busy lock is tried again after growing pauses, before anything else.
    for (DWORD pause : {1u, 2u, 4u}) {
        schedule.Retry(now);
        EXPECT_EQ(pause, schedule.Timeout(now));
    }
    schedule.Passed();
    EXPECT_EQ(20u, schedule.Timeout(now));
}

// ---------------------------------------------------------------- the monitor's failures

#if defined(_WIN32)
const bool kStderrDiagnostics = false;  // the debugger output is not ours to read
#else
const bool kStderrDiagnostics = true;
#endif

TEST_F(SoundTest, FailedStatusQueryEndsTheThreadWithAFailureAndOneLine)
{
    ASSERT_TRUE(Load());
    fakeds::FailNext("secondary.GetStatus", DSERR_GENERIC, 1);
    fakeds::ClearLog();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(m_sound.Play(TRUE));
    const DWORD code = ThreadEnd();
    const std::string line = testing::internal::GetCapturedStderr();

    EXPECT_EQ(0xFFFFFF84u, code);  // -124
    EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
    EXPECT_FALSE(m_sound.IsPlaying());
    EXPECT_EQ((Trace{"GetStatus 0 !", "Stop"}), SecondaryTrace({"GetStatus", "Stop"}));
    if (kStderrDiagnostics) {
        const char expected[] = "\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46"
                                "catch (LPCTSTR DirectSoundBuffer::GetStatus() failed.)\n"
                                "  in CDSoundObject::_dsound_oneshot_play_thread().\n";
        static_assert(sizeof(expected) == 117, "the longest line is 117 bytes with its zero");
        EXPECT_EQ(std::string(expected, sizeof(expected) - 1), line);
    }

    // A later play works again, and its first complete pass resets the status.
    ASSERT_TRUE(m_sound.Play(TRUE));
    EXPECT_TRUE(Eventually([&] { return Probe::Status(m_sound) == SOUND_OK; }));
    EXPECT_TRUE(m_sound.IsPlaying());
}

TEST_F(SoundTest, OtherExceptionInAPassWritesTheCatchAllLineAndKeepsTheStatus)
{
    ASSERT_TRUE(Load());
    fakeds::ThrowNext("secondary.GetStatus");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(m_sound.Play(TRUE));
    const DWORD code = ThreadEnd();
    const std::string line = testing::internal::GetCapturedStderr();

    EXPECT_EQ(0u, code);
    EXPECT_FALSE(m_sound.IsPlaying());
    EXPECT_EQ("Stop", SecondaryTrace({"GetStatus", "Stop"}).back());
    if (kStderrDiagnostics) {
        const char expected[] = "\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46"
                                "catch (...)\n"
                                "  in CDSoundObject::_dsound_oneshot_play_thread().\n";
        static_assert(sizeof(expected) == 74, "the catch-all line is 74 bytes with its zero");
        EXPECT_EQ(std::string(expected, sizeof(expected) - 1), line);
    }
}

TEST_F(SoundTest, BusyLockDoesNotEndALoopingSoundAndItsFadeWaitsForIt)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.Play(TRUE));
    Ticking();
    HANDLE thread = Probe::Thread(m_sound);
    {
        LockHolder holder(Probe::Mutex(m_sound));
        fakeds::ClearLog();
        m_sound.Stop(100);
        // The fade's passes find the lock taken; none of them may end the
        // thread, nor step the fade.
        EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread, 400));
        EXPECT_TRUE(fakeds::Log().empty());
        EXPECT_TRUE(m_sound.IsPlaying());
    }
    EXPECT_EQ(0u, ThreadEnd());
    EXPECT_EQ((Trace{"SetVolume -5000", "SetVolume -10000", "Stop"}), SecondaryTrace({"SetVolume", "Stop"}));
}

// ---------------------------------------------------------------- controls

TEST_F(SoundTest, RefusedVolumeKeepsTheRememberedOneForTheNextPlay)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.SetVolume(-1000));
    fakeds::Refuse("secondary.SetVolume", -2000);
    EXPECT_FALSE(m_sound.SetVolume(-2000));
    EXPECT_FALSE(m_sound.SetVolume(1));  // above 0: DirectSound refuses it
    EXPECT_EQ(-1000, Probe::Volume(m_sound));
    EXPECT_EQ(SOUND_OK, Probe::Status(m_sound));

    fakeds::ClearLog();
    ASSERT_TRUE(m_sound.Play(FALSE));
    EXPECT_EQ(Trace{"SetVolume -1000"}, SecondaryTrace({"SetVolume"}));
    EXPECT_EQ(-1000, m_sound.GetVolume());
}

TEST_F(SoundTest, SettersAndGettersGoToTheBuffer)
{
    ASSERT_TRUE(Load());
    EXPECT_TRUE(m_sound.SetPan(-2500));
    EXPECT_EQ(-2500, m_sound.GetPan());
    EXPECT_TRUE(m_sound.SetFrequency(11025));
    EXPECT_EQ(11025u, m_sound.GetFrequency());
    EXPECT_FALSE(m_sound.SetPan(10001));
    EXPECT_FALSE(m_sound.SetFrequency(99));
    EXPECT_EQ(-2500, m_sound.GetPan());
    EXPECT_EQ(11025u, m_sound.GetFrequency());

    // A failing DirectSound gives 0 and leaves the status alone.
    fakeds::FailNext("secondary.GetPan", DSERR_GENERIC, 1);
    fakeds::FailNext("secondary.GetFrequency", DSERR_GENERIC, 1);
    fakeds::FailNext("secondary.GetVolume", DSERR_GENERIC, 1);
    EXPECT_EQ(0, m_sound.GetPan());
    EXPECT_EQ(0u, m_sound.GetFrequency());
    EXPECT_EQ(0, m_sound.GetVolume());
    EXPECT_EQ(SOUND_OK, Probe::Status(m_sound));
}

TEST_F(SoundTest, ControlsOnAnEmptySoundFail)
{
    EXPECT_FALSE(m_sound.SetVolume(-100));
    EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
    EXPECT_EQ(0, m_sound.GetPan());
    EXPECT_FALSE(m_sound.Play(TRUE));
    EXPECT_EQ(SOUND_ERR_STATE, Probe::Status(m_sound));
    EXPECT_FALSE(m_sound.IsPlaying());
}

// ---------------------------------------------------------------- closing

TEST_F(SoundTest, CloseOfAPlayingSoundWaitsForTheThreadAndReleasesEverything)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.Play(TRUE));
    Ticking();
    const int live = fakeds::LiveObjects();
    fakeds::ClearLog();

    m_sound.Close();
    HANDLE thread = Probe::Thread(m_sound);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_FALSE(m_sound.IsPlaying());
    EXPECT_EQ((Trace{"Stop", "Release 0"}), SecondaryTrace({"Stop", "Release", "SetVolume"}));
    EXPECT_EQ(live - 1, fakeds::LiveObjects());
    EXPECT_EQ(nullptr, Probe::Buffer(m_sound));
    EXPECT_EQ(nullptr, Probe::Format(m_sound));
    EXPECT_EQ(nullptr, Probe::Data(m_sound));
    EXPECT_EQ(0u, Probe::Size(m_sound));
    EXPECT_EQ(nullptr, Probe::Mutex(m_sound));
    EXPECT_EQ(nullptr, Probe::DirectSound(m_sound));
    EXPECT_EQ(SOUND_OK, Probe::Status(m_sound));

    // A second Close finds no lock.
    m_sound.Close();
    EXPECT_EQ(SOUND_ERR_FAILED, Probe::Status(m_sound));
    EXPECT_FALSE(m_sound.Play(TRUE));
    EXPECT_EQ(SOUND_ERR_STATE, Probe::Status(m_sound));
}

TEST_F(SoundTest, DestroyOfAFadingSoundEndsEverything)
{
    ASSERT_TRUE(Load());
    ASSERT_TRUE(m_sound.Play(TRUE));
    m_sound.Stop(60000);
    ASSERT_TRUE(fakeds::WaitFor("secondary.SetVolume", kDeadline, 2));
    m_sound.Destroy();
    EXPECT_EQ(nullptr, Probe::Thread(m_sound));
    EXPECT_EQ(nullptr, Probe::Buffer(m_sound));
    EXPECT_EQ(1, fakeds::Count("secondary.Release"));
}

}  // namespace
