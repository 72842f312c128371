// What one thread's call may make another wait for, with a platform call of
// the fake DirectSound held at its gate: calls on other sounds and devices
// never wait; the making and releasing of DirectSound contexts never
// overlap; closing or terminating what a call is inside waits for nothing;
// and a call ended by its thread's cancellation leaves everything usable.
#include "dudidadu.h"

#include "frame/CDSoundManager.h"

#include "fake_dsound.h"
#include "support/Diagnostics.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#if defined(__has_feature)
#define DUDIDADU_TEST_HAS(feature) __has_feature(feature)
#else
#define DUDIDADU_TEST_HAS(feature) 0
#endif
// Windows threads end without unwinding; AddressSanitizer fails a check of
// its own on a cancelled thread's unwind, now and then.
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || DUDIDADU_TEST_HAS(address_sanitizer)
#define DUDIDADU_TEST_CANCELS 0
#else
#define DUDIDADU_TEST_CANCELS 1
#include <pthread.h>
#include <time.h>
#endif

namespace {

using namespace std::chrono_literals;

HWND Window(int n)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x50000 + 16 * n));
}

// A short stereo tone, opened on `device`.
LPVOID OpenTone(LPVOID device)
{
    static const riff::Bytes image = riff::ToneImage(440, 22050, 2, 16, 0.02, 0.5);
    return DSoundOpenMem(device, const_cast<uint8_t *>(image.data()), static_cast<DWORD>(image.size()));
}

// Runs `calls` on a thread of its own while one platform call of another
// thread stands at the fake's gate: true when they return within 30 s.
class WhileHeld {
public:
    explicit WhileHeld(std::function<void()> calls)
        : m_caller([this, calls] {
              calls();
              std::lock_guard<std::mutex> hold(m_lock);
              m_done = true;
              m_changed.notify_all();
          })
    {
    }
    ~WhileHeld() { m_caller.join(); }
    bool Completes()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, 30s, [this] { return m_done; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_caller;
};

bool CompletesWhileHeld(const std::function<void()> &calls)
{
    WhileHeld caller(calls);
    const bool completed = caller.Completes();
    fakeds::ReleaseHold();
    return completed;
}

// One thread's slow platform call (a device being made, a sound being
// loaded, a buffer being filled or set, a device being torn down) holds up
// no call on a sound elsewhere, nor a DSoundInitialize for a window that has
// its device. A device made or torn down elsewhere does wait for a context
// being made or released, and only for that: no two contexts are made or
// released at the same time.
TEST(ExportsWaitForNoOne, SlowCallsElsewhereHoldUpNoCallOnASound)
{
    fakeds::Reset();
    LPVOID mine = DSoundInitialize(Window(10), nullptr);
    LPVOID other = DSoundInitialize(Window(11), nullptr);
    LPVOID sound = OpenTone(mine);
    LPVOID otherSound = OpenTone(other);
    ASSERT_NE(sound, nullptr);
    ASSERT_NE(otherSound, nullptr);
    const struct {
        const char *held;
        bool context;  // the held call makes or releases a DirectSound context
        std::function<void()> slow;
    } cases[] = {
        {"DirectSoundCreate", true, [] {
             // Two callers for a new window: one makes its device, which
             // the other waits for (up to the bound of any busy object).
             LPVOID second = nullptr;
             std::thread joiner([&] { second = DSoundInitialize(Window(12), nullptr); });
             LPVOID first = DSoundInitialize(Window(12), nullptr);
             joiner.join();
             EXPECT_TRUE(first == second || !first || !second);
             DSoundTerminate(first ? first : second);
         }},
        {"CreateSoundBuffer", false, [&] { DSoundClose(OpenTone(other)); }},
        {"secondary.Lock", false, [&] { DSoundPlay(otherSound, FALSE); }},
        {"secondary.SetVolume", false, [&] { DSoundSetVolume(otherSound, -100); }},
        {"primary.Release", true, [] { DSoundTerminate(DSoundInitialize(Window(13), nullptr)); }},
        {"DirectSound.Release", true, [] {
             LPVOID doomed = DSoundInitialize(Window(13), nullptr);
             DSoundPlay(OpenTone(doomed), TRUE);
             DSoundTerminate(doomed);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.held);
        LPVOID ending = DSoundInitialize(Window(15), nullptr);
        ASSERT_NE(ending, nullptr);
        ASSERT_EQ(DSoundPlay(sound, TRUE), 1);  // again, after the last case's fade
        fakeds::HoldNext(c.held);
        std::thread slow(c.slow);
        ASSERT_TRUE(fakeds::WaitHeld(30s));
        const int made = fakeds::Count("DirectSoundCreate");
        const int released = fakeds::Count("primary.Release") + fakeds::Count("DirectSound.Release");
        WhileHeld calls([&] {
            EXPECT_EQ(DSoundSetVolume(sound, -300), 1);
            EXPECT_EQ(DSoundIsPlaying(sound), 1);
            EXPECT_EQ(DSoundInitialize(Window(10), nullptr), mine);
            EXPECT_EQ(DSoundPlay(sound, TRUE), 1);
            DSoundStop(sound, 100);
            LPVOID elsewhere = DSoundInitialize(Window(14), nullptr);
            EXPECT_NE(elsewhere, nullptr);
            DSoundTerminate(elsewhere);
            DSoundTerminate(ending);
        });
        if (c.context) {
            // The device elsewhere is not made, nor the other one released,
            // while the context stays held.
            EXPECT_FALSE(fakeds::WaitFor("DirectSoundCreate", 200ms, made + 1));
            EXPECT_EQ(fakeds::Count("primary.Release") + fakeds::Count("DirectSound.Release"), released);
            fakeds::ReleaseHold();
        }
        EXPECT_TRUE(calls.Completes());
        fakeds::ReleaseHold();
        slow.join();
    }
    DSoundTerminate(mine);
    DSoundTerminate(other);
    EXPECT_EQ(fakeds::LiveObjects(), 0);
    EXPECT_TRUE(fakeds::Faults().empty());
}

// A second caller for a window whose device is being made waits for it as
// for any busy object: then a time-out; once the device is made, it is the
// window's device for every caller.
TEST(ExportsWaitForNoOne, ASecondCallerForAWindowBeingSetUpTimesOut)
{
    fakeds::Reset();
    fakeds::HoldNext("DirectSoundCreate");
    LPVOID first = nullptr;
    std::thread creator([&] { first = DSoundInitialize(Window(30), nullptr); });
    ASSERT_TRUE(fakeds::WaitHeld(30s));
    SetLastError(0);
    EXPECT_EQ(DSoundInitialize(Window(30), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), diag::ReadBack(ERROR_TIMEOUT));
    fakeds::ReleaseHold();
    creator.join();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(DSoundInitialize(Window(30), nullptr), first);
    DSoundTerminate(first);
    EXPECT_EQ(fakeds::LiveObjects(), 0);
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

#if DUDIDADU_TEST_CANCELS
void *RunCall(void *call)
{
    (*static_cast<std::function<void()> *>(call))();
    // A call that held cancellation off to finish a teardown is cancelled
    // here, after it.
    for (;;) {
        pthread_testcancel();
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return nullptr;
}
#endif

// A thread cancelled (pthread_cancel) while its call waits in a platform
// call unwinds out of the library without taking the process down, and
// leaves what it was in usable: the sound, the device, the window's slot.
// A teardown runs to its end first.
TEST(ExportsWaitForNoOne, ACallWhoseThreadIsCancelledLeavesEverythingUsable)
{
#if !DUDIDADU_TEST_CANCELS
    GTEST_SKIP() << "no thread cancellation to test here";
#else
    fakeds::Reset();
    LPVOID device = DSoundInitialize(Window(20), nullptr);
    LPVOID sound = OpenTone(device);
    LPVOID doomed = DSoundInitialize(Window(21), nullptr);
    ASSERT_TRUE(device && sound && doomed);
    ASSERT_EQ(DSoundPlay(sound, TRUE), 1);
    ASSERT_EQ(DSoundPlay(OpenTone(doomed), TRUE), 1);
    // The sound's lock goes with the cancelled thread: one call may find it
    // abandoned and fail, the next one goes through.
    auto setsVolume = [&] { return DSoundSetVolume(sound, -200) == 1 || DSoundSetVolume(sound, -200) == 1; };
    const struct {
        const char *held;
        std::function<void()> call;
        std::function<void()> check;
    } rows[] = {
        {"secondary.SetFrequency", [&] { DSoundSetFrequency(sound, 11025); },
         [&] {
             EXPECT_TRUE(setsVolume());
             EXPECT_EQ(DSoundIsPlaying(sound), 1);
         }},
        {"secondary.Lock", [&] { DSoundPlay(sound, FALSE); }, [&] { EXPECT_TRUE(setsVolume()); }},
        {"CreateSoundBuffer", [&] { OpenTone(device); },
         [&] {
             // The slot taken for the sound is free again.
             LPVOID next = OpenTone(device);
             EXPECT_NE(next, nullptr);
             DSoundClose(next);
         }},
        {"DirectSoundCreate", [] { DSoundInitialize(Window(22), nullptr); },
         [] {
             // The window's claim went with the cancelled creation.
             LPVOID again = DSoundInitialize(Window(22), nullptr);
             EXPECT_NE(again, nullptr);
             DSoundTerminate(again);
         }},
        {"DirectSound.Release", [&] { DSoundTerminate(doomed); },
         [&] {
             EXPECT_EQ(OpenTone(doomed), nullptr);
             EXPECT_EQ(g_DSoundManager.FindDevice(Window(21)), nullptr);
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.held);
        fakeds::HoldNext(row.held);
        std::function<void()> call = row.call;
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, RunCall, &call), 0);
        ASSERT_TRUE(fakeds::WaitHeld(30s));
        pthread_cancel(thread);
        fakeds::ReleaseHold();
        void *result = nullptr;
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 30;
        ASSERT_EQ(pthread_timedjoin_np(thread, &result, &deadline), 0);
        EXPECT_EQ(result, PTHREAD_CANCELED);
        row.check();
    }
    EXPECT_EQ(DSoundInitialize(Window(20), nullptr), device);
    DSoundTerminate(device);
    EXPECT_EQ(fakeds::LiveObjects(), 0);
    EXPECT_TRUE(fakeds::Faults().empty());
#endif
}

}  // namespace
