// Eight threads on the exports at once: five owners open, play, set, query,
// stop and close their own sounds on a shared device from one shared memory
// image, and one of them now and then terminates that device, which the
// next caller makes again; a meddler calls every sound export on handles
// that may have just been closed; two more threads make and terminate
// devices for windows of their own, some with sounds still playing, so that
// at times no device exists while one is being made. Nothing may crash or
// leak, every thread must finish, and the shared device must still work
// afterwards. It runs on the fake DirectSound and on the platform's own
// (StressTarget.h). DUDIDADU_STRESS_SECONDS=N keeps the owners going for N
// seconds instead of a short run.
#include "dudidadu.h"

#include "frame/CDSoundManager.h"

#include "StressTarget.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
typedef std::chrono::steady_clock Clock;

HWND Window(int n)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x40000 + 16 * n));
}

// Handles recently seen by any thread, for the meddler to try.
class RecentHandles {
public:
    void Add(LPVOID handle) { m_slots[m_next++ % m_slots.size()].store(handle); }
    LPVOID Pick(unsigned n) const { return m_slots[n % m_slots.size()].load(); }

private:
    std::array<std::atomic<LPVOID>, 16> m_slots{};
    std::atomic<unsigned> m_next{0};
};

// Counts finished threads; the test gives up, loudly, when they hang.
class Finish {
public:
    void Done()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_done;
        m_changed.notify_all();
    }
    bool WaitAll(int count, std::chrono::seconds within)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, within, [&] { return m_done >= count; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_done = 0;
};

// How long the owners go on: DUDIDADU_STRESS_SECONDS, or 0 for a short run.
int StressSeconds()
{
    const char *value = std::getenv("DUDIDADU_STRESS_SECONDS");
    return value ? std::atoi(value) : 0;
}

// Until the sound no longer plays, or a generous deadline passes.
bool StopsPlaying(LPVOID sound)
{
    const Clock::time_point deadline = Clock::now() + 10s;
    while (DSoundIsPlaying(sound)) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(ExportsStress, ConcurrentUseClosingAndTerminatingIsSafe)
{
    stress::Prepare();
    const riff::Bytes image = riff::ToneImage(440, 22050, 2, 16, 0.02, 0.5);
    LPVOID const imageData = const_cast<uint8_t *>(image.data());
    const DWORD imageSize = static_cast<DWORD>(image.size());
    ASSERT_NE(DSoundInitialize(Window(0), nullptr), nullptr);

    const int kOwners = 5;
    const int kDeviceThreads = 2;
    const int kRounds = 25;
    const int seconds = StressSeconds();
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    RecentHandles recent;
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::atomic<int> refusedOpens{0};
    std::atomic<int> meddles{0};
    std::atomic<int> deviceRounds{0};
    Finish finish;
    std::vector<std::thread> threads;

    for (int t = 0; t < kOwners; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds || Clock::now() < end; ++r) {
                LPVOID shared = DSoundInitialize(Window(0), nullptr);
                LPVOID sound = DSoundOpenMem(shared, imageData, imageSize);
                if (!sound) {
                    ++refusedOpens;
                    continue;
                }
                ++opened;
                recent.Add(sound);
                DSoundSetVolume(sound, -100 * (r % 10));
                DSoundSetPan(sound, 1000 * (t - 2));
                DSoundSetFrequency(sound, 11025 + 1000 * (r % 25));
                DSoundPlay(sound, (r + t) % 2);
                DSoundGetVolume(sound);
                DSoundGetPan(sound);
                DSoundGetFrequency(sound);
                DSoundIsPlaying(sound);
                if (r % 3 == 0)
                    DSoundPlay(sound, TRUE);  // a restart while playing
                DSoundStop(sound, (r % 4) * 60);
                if (r % 5 == 0)
                    std::this_thread::sleep_for(20ms);  // let a fade run a step
                DSoundClose(sound);
                DSoundClose(sound);
                if (t == 0 && r % 8 == 7)
                    DSoundTerminate(shared);
            }
            finish.Done();
        });
    }

    // The meddler: every sound export on whatever handles were seen lately.
    threads.emplace_back([&] {
        unsigned n = 0;
        // At least one pass each, however late a busy machine starts them.
        while (n == 0 || !stop.load()) {
            LPVOID sound = recent.Pick(n++);
            switch (n % 12) {
            case 0: DSoundPlay(sound, n % 2); break;
            case 1: DSoundStop(sound, static_cast<LONG>(n % 200)); break;
            case 2: DSoundIsPlaying(sound); break;
            case 3: DSoundSetVolume(sound, -static_cast<LONG>(n % 3000)); break;
            case 4: DSoundSetPan(sound, static_cast<LONG>(n % 2000) - 1000); break;
            case 5: DSoundSetFrequency(sound, 8000 + n % 30000); break;
            case 6: DSoundGetVolume(sound); break;
            case 7: DSoundGetPan(sound); break;
            case 8: DSoundGetFrequency(sound); break;
            case 9: DSoundOpenMem(sound, imageData, imageSize); break;  // a sound is no device
            case 10: DSoundStop(sound, 0); break;
            case 11:
                // Now and then a close of somebody's sound.
                if (n % 48 == 11)
                    DSoundClose(sound);
                break;
            }
            ++meddles;
        }
        finish.Done();
    });

    // Devices for other windows come and go, some with a sound playing: two
    // threads, so that DirectSound contexts are made and released at once.
    for (int t = 0; t < kDeviceThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r == 0 || !stop.load(); ++r) {
                LPVOID device = DSoundInitialize(Window(1 + 4 * t + r % 4), nullptr);
                if (device) {
                    recent.Add(device);
                    LPVOID sound = DSoundOpenMem(device, imageData, imageSize);
                    if (sound && r % 2) {
                        recent.Add(sound);
                        DSoundPlay(sound, TRUE);
                    }
                    DSoundTerminate(device);
                }
                ++deviceRounds;
            }
            finish.Done();
        });
    }

    // The owners end by themselves; then the others are told to.
    if (!finish.WaitAll(kOwners, std::chrono::seconds(120 + seconds))) {
        std::fprintf(stderr, "owners did not finish in time\n");
        std::abort();
    }
    stop = true;
    if (!finish.WaitAll(kOwners + 1 + kDeviceThreads, 60s)) {
        std::fprintf(stderr, "meddler or device threads did not finish in time\n");
        std::abort();
    }
    for (auto &thread : threads)
        thread.join();

    EXPECT_GT(opened.load(), kOwners * kRounds / 2);
    EXPECT_GT(meddles.load(), 0);
    EXPECT_GT(deviceRounds.load(), 0);
    std::printf("opened %d (refused %d), meddling calls %d, device rounds %d\n", opened.load(),
                refusedOpens.load(), meddles.load(), deviceRounds.load());

    // Only the shared device is left, if any, with no sound, and it still
    // works.
    LPVOID shared = DSoundInitialize(Window(0), nullptr);
    ASSERT_NE(shared, nullptr);
    for (int i = 0; i < 32; ++i) {
        LPVOID device = g_DSoundManager.GetDeviceAt(i);
        EXPECT_TRUE(device == nullptr || device == shared) << i;
    }
    if (stress::LiveObjects() >= 0) {
        EXPECT_EQ(stress::LiveObjects(), 2);
    }
    LPVOID sound = DSoundOpenMem(shared, imageData, imageSize);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(DSoundSetVolume(sound, -500), 1);
    EXPECT_EQ(DSoundGetVolume(sound), -500);
    EXPECT_EQ(DSoundPlay(sound, TRUE), 1);
    EXPECT_EQ(DSoundIsPlaying(sound), 1);
    DSoundStop(sound, 0);
    EXPECT_TRUE(StopsPlaying(sound));
    DSoundClose(sound);
    DSoundTerminate(shared);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(g_DSoundManager.GetDeviceAt(i), nullptr) << i;
    if (stress::LiveObjects() >= 0) {
        EXPECT_EQ(stress::LiveObjects(), 0);
    }
    EXPECT_TRUE(stress::Faults().empty());
}

}  // namespace
