// Our DirectSound with its mixer thread running, called from several
// threads at once the way the library does: application threads, monitor
// threads polling status, buffers released while they play. Run under
// ThreadSanitizer to find races; here it checks that every call keeps
// answering correctly.
#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/winapi.h"
#include "platform/posix/dsound/CDirectSound.h"
#include "platform/posix/output/CFrameClock.h"
#include "platform/posix/output/CNullOutput.h"

#include "dudidadu.h"

namespace {

const DWORD kControls = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;

WAVEFORMATEX Pcm16(WORD channels, DWORD rate)
{
    WAVEFORMATEX f;
    memset(&f, 0, sizeof(f));
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

IDirectSoundBuffer *Create(IDirectSound *ds, WAVEFORMATEX format, DWORD bytes)
{
    DSBUFFERDESC d;
    memset(&d, 0, sizeof(d));
    d.dwSize = sizeof(DSBUFFERDESC1);
    d.dwFlags = kControls;
    d.dwBufferBytes = bytes;
    d.lpwfxFormat = &format;
    IDirectSoundBuffer *b = nullptr;
    EXPECT_EQ(DS_OK, ds->CreateSoundBuffer(&d, &b, nullptr));
    return b;
}

// What the library does to start a sound: write it whole, rewind, play.
void Fill(IDirectSoundBuffer *b, int16_t value)
{
    LPVOID p1, p2;
    DWORD n1, n2;
    ASSERT_EQ(DS_OK, b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER));
    for (DWORD i = 0; i < n1 / 2; ++i)
        static_cast<int16_t *>(p1)[i] = static_cast<int16_t>(i % 2 ? value : -value);
    ASSERT_EQ(DS_OK, b->Unlock(p1, n1, p2, n2));
}

bool WaitStopped(IDirectSoundBuffer *b)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        DWORD status = 0;
        if (b->GetStatus(&status) != DS_OK)
            return false;
        if (!(status & DSBSTATUS_PLAYING))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(DS_OK, DirectSoundCreate(&DUDIDADU_NULL_OUTPUT, &m_ds, nullptr)); }
    void TearDown() override
    {
        if (m_ds != nullptr)
            m_ds->Release();
    }
    IDirectSound *m_ds = nullptr;
};

TEST_F(ThreadsTest, OneShotEndsWhileAnotherThreadWatches)
{
    IDirectSoundBuffer *b = Create(m_ds, Pcm16(1, 48000), 48000 * 2 / 50);  // 20 ms
    ASSERT_NE(nullptr, b);
    Fill(b, 1000);
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(DS_OK, b->SetCurrentPosition(0));
        ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
        bool ended = false;
        std::thread([&] { ended = WaitStopped(b); }).join();
        EXPECT_TRUE(ended) << run;
    }
    b->Release();
}

TEST_F(ThreadsTest, SoundsStartedStoppedAndSetFromManyThreads)
{
    DSBUFFERDESC primaryDesc;
    memset(&primaryDesc, 0, sizeof(primaryDesc));
    primaryDesc.dwSize = sizeof(DSBUFFERDESC1);
    primaryDesc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    IDirectSoundBuffer *shared = Create(m_ds, Pcm16(2, 44100), 44100);
    ASSERT_NE(nullptr, shared);
    Fill(shared, 500);
    ASSERT_EQ(DS_OK, shared->Play(0, 0, DSBPLAY_LOOPING));

    std::atomic<int> failures(0);
    auto check = [&](HRESULT hr) {
        if (hr != DS_OK)
            ++failures;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                // Each thread's own sounds, some released while they play.
                IDirectSoundBuffer *own = Create(m_ds, Pcm16(1 + i % 2, 22050 + 1000 * t), 2205 * 4);
                if (own == nullptr) {
                    ++failures;
                    continue;
                }
                Fill(own, static_cast<int16_t>(100 * t));
                check(own->SetCurrentPosition(0));
                check(own->Play(0, 0, i % 3 ? DSBPLAY_LOOPING : 0));
                check(own->SetVolume(-100 * i));
                check(own->SetPan(i % 2 ? 2000 : -2000));
                check(own->SetFrequency(11025 + 100 * i));
                DWORD status, play, write;
                check(own->GetStatus(&status));
                check(own->GetCurrentPosition(&play, &write));
                if (i % 4 == 0)
                    check(own->Stop());
                own->Release();

                // And the one everybody shares, as monitor threads would.
                check(shared->SetVolume(-(t * 1000 + i * 10)));
                check(shared->GetStatus(&status));
                LONG volume;
                check(shared->GetVolume(&volume));
                if (i % 10 == t) {
                    check(shared->Stop());
                    check(shared->Play(0, 0, DSBPLAY_LOOPING));
                }

                // The primary buffer, as every device's start takes it.
                IDirectSoundBuffer *primary = nullptr;
                check(m_ds->CreateSoundBuffer(&primaryDesc, &primary, nullptr));
                if (primary != nullptr) {
                    check(primary->Play(0, 0, DSBPLAY_LOOPING));
                    primary->Release();
                }
                std::this_thread::yield();
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    DWORD status = 0;
    ASSERT_EQ(DS_OK, shared->GetStatus(&status));
    EXPECT_EQ(DWORD(DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), status);
    shared->Release();
}

TEST_F(ThreadsTest, BuffersOutliveTheirDevice)
{
    IDirectSoundBuffer *b = Create(m_ds, Pcm16(2, 44100), 4410);
    ASSERT_NE(nullptr, b);
    ASSERT_EQ(DS_OK, b->Play(0, 0, DSBPLAY_LOOPING));
    EXPECT_EQ(0u, m_ds->Release());
    m_ds = nullptr;
    // Nothing is heard any more, but every call still answers.
    EXPECT_EQ(DS_OK, b->SetVolume(-500));
    EXPECT_EQ(DS_OK, b->Stop());
    DWORD status = 1;
    EXPECT_EQ(DS_OK, b->GetStatus(&status));
    EXPECT_EQ(0u, status);
    EXPECT_EQ(0u, b->Release());
}

// An output that keeps real time like the null output, says it holds
// `latency` frames not yet heard, and counts what the mixer thread does with it.
class CountingOutput : public CAudioOutput {
public:
    explicit CountingOutput(DWORD latency) : m_latency(latency) {}
    bool Open(DWORD rate, WORD, DWORD) override
    {
        m_clock.Start(rate);
        return true;
    }
    DWORD GetRate() const override { return m_clock.GetRate(); }
    EKind GetKind() const override { return OUTPUT_NULL; }
    bool Write(const float *, DWORD frames) override
    {
        ++m_writes;
        m_clock.Wait(frames);
        return true;
    }
    DWORD GetLatencyFrames() override { return m_latency; }
    void Pause() override { ++m_pauses; }
    void Resume() override
    {
        ++m_resumes;
        m_clock.Start(m_clock.GetRate());
    }
    void Close() override {}

    std::atomic<int> m_writes{0}, m_pauses{0}, m_resumes{0};

private:
    const DWORD m_latency;
    CFrameClock m_clock;
};

bool Eventually(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A device with nothing to play writes nothing and wakes for nothing: its
// output is paused until a sound starts, and again once it has been heard,
// that is after the silence that covers what the output still holds (capped
// at half a second), however that falls on the periods.
TEST(MixerThread, AnIdleDeviceSleepsUntilASoundStarts)
{
    const DWORD kRate = 48000, kPeriod = kRate / 100;  // CAudioOutput's own choice
    for (DWORD latency : {DWORD(0), DWORD(1000), DWORD(100000)}) {
        SCOPED_TRACE(latency);
        CountingOutput *output = new CountingOutput(latency);
        output->Open(kRate, 2, 0);
        CDirectSound *ds = new CDirectSound(output);
        ASSERT_TRUE(Eventually([&] { return output->m_pauses.load() == 1; }));
        EXPECT_EQ(0, output->m_writes.load()) << "silence written before any sound";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(0, output->m_writes.load()) << "an idle device woke up to write";

        IDirectSoundBuffer *b = Create(ds, Pcm16(1, 22050), 22050 * 2 / 20);  // 50 ms
        ASSERT_NE(nullptr, b);
        Fill(b, 1000);
        const DWORD owed = std::min<DWORD>(latency + kRate * 20 / 1000, kRate / 2);
        const int periods = static_cast<int>(5 + (owed + kPeriod - 1) / kPeriod);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            ASSERT_EQ(DS_OK, b->Play(0, 0, 0));
            ASSERT_TRUE(Eventually([&] { return output->m_resumes.load() == run; })) << "not woken by Play";
            ASSERT_TRUE(WaitStopped(b));
            ASSERT_TRUE(Eventually([&] { return output->m_pauses.load() == run + 1; })) << "not paused after the sound";
            const int written = output->m_writes.load();
            // The sound (50 ms, 5 periods) and the silence after it.
            EXPECT_GE(written, periods * run);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(written, output->m_writes.load()) << "a device that went idle woke up to write";
        }
        b->Release();
        ds->Release();
    }
}

size_t Threads()
{
    size_t threads = 0;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (struct dirent *entry = readdir(tasks))
            threads += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return threads;
}

// Devices on the null output standing in for a server share one search for
// it: a mixer thread each, and one more thread at most. (They are gone
// before the search's first try.)
TEST(MixerThread, StandInsShareOneSearch)
{
    const size_t before = Threads();
    std::vector<CDirectSound *> devices;
    for (int i = 0; i < 8; ++i) {
        CNullOutput *output = new CNullOutput;
        ASSERT_TRUE(output->Open(48000, 2, 0));
        output->SetWanted(CAudioOutput::OUTPUT_DEFAULT);
        ASSERT_TRUE(output->IsStandIn());
        devices.push_back(new CDirectSound(output));
    }
    EXPECT_LE(Threads(), before + 8 + 1);
    for (CDirectSound *ds : devices)
        ds->Release();
}

}  // namespace
