// Many threads on the exports at once: owners open, play, set, query, stop and
// close their own sounds on a shared device from one shared memory image;
// a meddler calls every sound export on handles that may have just been
// closed; another thread registers and terminates devices for other windows,
// some with sounds still playing. Nothing may crash or leak, every thread
// must finish, and the shared device must still work afterwards.
#include "dudidadu.h"

#include "frame/CDSoundManager.h"

#include "fake_dsound.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

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

TEST(ExportsStress, ConcurrentUseClosingAndTerminatingIsSafe)
{
    fakeds::Reset();
    // One-shot sounds end after a few monitor passes by themselves.
    fakeds::SetOneShotQueries(3);
    const riff::Bytes image = riff::ToneImage(440, 22050, 2, 16, 0.02, 0.5);
    LPVOID const imageData = const_cast<uint8_t *>(image.data());
    const DWORD imageSize = static_cast<DWORD>(image.size());
    LPVOID shared = DSoundInitialize(Window(0), nullptr);
    ASSERT_NE(shared, nullptr);

    const int kOwners = 3;
    const int kRounds = 25;
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
            for (int r = 0; r < kRounds; ++r) {
                LPVOID sound = DSoundOpenMem(shared, imageData, imageSize);
                if (!sound) {
                    ++refusedOpens;
                    continue;
                }
                ++opened;
                recent.Add(sound);
                DSoundSetVolume(sound, -100 * (r % 10));
                DSoundSetPan(sound, 1000 * (t - 1));
                DSoundSetFrequency(sound, 11025 + 1000 * r);
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
            }
            finish.Done();
        });
    }

    // The meddler: every sound export on whatever handles were seen lately.
    threads.emplace_back([&] {
        unsigned n = 0;
        while (!stop.load()) {
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

    // Devices for other windows come and go, some with a sound playing.
    threads.emplace_back([&] {
        for (int r = 0; !stop.load(); ++r) {
            LPVOID device = DSoundInitialize(Window(1 + r % 4), nullptr);
            if (device) {
                recent.Add(device);
                LPVOID sound = DSoundOpenMem(device, imageData, imageSize);
                if (sound) {
                    recent.Add(sound);
                    DSoundPlay(sound, TRUE);
                }
                if (r % 2)
                    DSoundTerminate(device);
            }
            ++deviceRounds;
        }
        for (int i = 1; i <= 4; ++i)
            DSoundTerminate(g_DSoundManager.FindDevice(Window(i)));
        finish.Done();
    });

    // The owners end by themselves; then the others are told to.
    if (!finish.WaitAll(kOwners, 120s)) {
        std::fprintf(stderr, "owners did not finish in time\n");
        std::abort();
    }
    stop = true;
    if (!finish.WaitAll(kOwners + 2, 60s)) {
        std::fprintf(stderr, "meddler or device thread did not finish in time\n");
        std::abort();
    }
    for (auto &thread : threads)
        thread.join();

    EXPECT_GT(opened.load(), kOwners * kRounds / 2);
    EXPECT_GT(meddles.load(), 0);
    EXPECT_GT(deviceRounds.load(), 0);
    std::printf("opened %d (refused %d), meddling calls %d, device rounds %d\n", opened.load(),
                refusedOpens.load(), meddles.load(), deviceRounds.load());

    // Only the shared device is left, with no sound, and it still works.
    for (int i = 1; i < 32; ++i)
        EXPECT_EQ(g_DSoundManager.GetDeviceAt(i), nullptr) << i;
    EXPECT_EQ(fakeds::LiveObjects(), 2);
    LPVOID sound = DSoundOpenMem(shared, imageData, imageSize);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(DSoundSetVolume(sound, -500), 1);
    EXPECT_EQ(DSoundGetVolume(sound), -500);
    EXPECT_EQ(DSoundPlay(sound, TRUE), 1);
    EXPECT_EQ(DSoundIsPlaying(sound), 1);
    fakeds::ClearLog();
    DSoundStop(sound, 0);
    EXPECT_TRUE(fakeds::WaitFor("secondary.Stop", 10s));
    DSoundClose(sound);
    DSoundTerminate(shared);
    EXPECT_EQ(g_DSoundManager.GetDeviceAt(0), nullptr);
    EXPECT_EQ(fakeds::LiveObjects(), 0);
    EXPECT_TRUE(fakeds::Faults().empty());
}

// A short stereo tone, opened on `device`.
LPVOID OpenTone(LPVOID device)
{
    static const riff::Bytes image = riff::ToneImage(440, 22050, 2, 16, 0.02, 0.5);
    return DSoundOpenMem(device, const_cast<uint8_t *>(image.data()), static_cast<DWORD>(image.size()));
}

// Runs `calls` on a thread of its own while one platform call of another
// thread stands at the fake's gate: true when they return before the gate
// opens, which it does in any case.
bool CompletesWhileHeld(const std::function<void()> &calls)
{
    Finish finish;
    std::thread caller([&] {
        calls();
        finish.Done();
    });
    const bool completed = finish.WaitAll(1, 30s);
    fakeds::ReleaseHold();
    caller.join();
    return completed;
}

// One thread's slow platform call (a device being made, a sound being
// loaded, a buffer being filled or set, a device being torn down) holds up
// no call on a sound elsewhere, nor a DSoundInitialize for a window that has
// its device or for another one.
TEST(ExportsWaitForNoOne, SlowCallsElsewhereHoldUpNoCallOnASound)
{
    fakeds::Reset();
    LPVOID mine = DSoundInitialize(Window(10), nullptr);
    LPVOID other = DSoundInitialize(Window(11), nullptr);
    LPVOID sound = OpenTone(mine);
    LPVOID otherSound = OpenTone(other);
    ASSERT_NE(sound, nullptr);
    ASSERT_NE(otherSound, nullptr);
    ASSERT_EQ(DSoundPlay(sound, TRUE), 1);
    const struct {
        const char *held;
        std::function<void()> slow;
    } cases[] = {
        {"DirectSoundCreate", [] {
             // Two callers for a new window: one makes its device, which
             // the other waits for and gets as well.
             LPVOID second = nullptr;
             std::thread joiner([&] { second = DSoundInitialize(Window(12), nullptr); });
             LPVOID first = DSoundInitialize(Window(12), nullptr);
             joiner.join();
             EXPECT_EQ(first, second);
             DSoundTerminate(first);
         }},
        {"CreateSoundBuffer", [&] { DSoundClose(OpenTone(other)); }},
        {"secondary.Lock", [&] { DSoundPlay(otherSound, FALSE); }},
        {"secondary.SetVolume", [&] { DSoundSetVolume(otherSound, -100); }},
        {"DirectSound.Release", [] {
             LPVOID doomed = DSoundInitialize(Window(13), nullptr);
             DSoundPlay(OpenTone(doomed), TRUE);
             DSoundTerminate(doomed);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.held);
        fakeds::HoldNext(c.held);
        std::thread slow(c.slow);
        ASSERT_TRUE(fakeds::WaitHeld(30s));
        EXPECT_TRUE(CompletesWhileHeld([&] {
            EXPECT_EQ(DSoundSetVolume(sound, -300), 1);
            EXPECT_EQ(DSoundIsPlaying(sound), 1);
            EXPECT_EQ(DSoundInitialize(Window(10), nullptr), mine);
            EXPECT_EQ(DSoundPlay(sound, TRUE), 1);
            DSoundStop(sound, 100);
            LPVOID elsewhere = DSoundInitialize(Window(14), nullptr);
            EXPECT_NE(elsewhere, nullptr);
            DSoundTerminate(elsewhere);
        }));
        slow.join();
    }
    DSoundTerminate(mine);
    DSoundTerminate(other);
    EXPECT_EQ(fakeds::LiveObjects(), 0);
    EXPECT_TRUE(fakeds::Faults().empty());
}

// Closing a sound, or terminating its device, while another thread's call is
// inside the sound returns at once; the sound is released only when that
// call has left it, never under it.
TEST(ExportsWaitForNoOne, CloseAndTerminateDuringACallInsideTheSound)
{
    for (const bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "terminate" : "close");
        fakeds::Reset();
        LPVOID device = DSoundInitialize(Window(15), nullptr);
        LPVOID sound = OpenTone(device);
        ASSERT_EQ(DSoundPlay(sound, TRUE), 1);
        fakeds::HoldNext("secondary.SetFrequency");
        std::thread inside([&] { DSoundSetFrequency(sound, 11025); });
        ASSERT_TRUE(fakeds::WaitHeld(30s));
        int releasedWhileInside = -1;
        EXPECT_TRUE(CompletesWhileHeld([&] {
            terminate ? DSoundTerminate(device) : DSoundClose(sound);
            // The handle is refused at once, though the sound still exists.
            EXPECT_EQ(DSoundIsPlaying(sound), 0);
            releasedWhileInside = fakeds::Count("secondary.Release");
        }));
        inside.join();
        EXPECT_EQ(releasedWhileInside, 0);
        EXPECT_TRUE(fakeds::WaitFor("secondary.Release", 10s));
        if (!terminate)
            DSoundTerminate(device);
        EXPECT_TRUE(fakeds::WaitFor("DirectSound.Release", 10s));
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        EXPECT_TRUE(fakeds::Faults().empty());
    }
}

}  // namespace
