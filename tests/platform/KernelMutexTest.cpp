// Mutexes: ownership, recursion, bounded waits, abandonment.
#include <gtest/gtest.h>

#include <atomic>

#include "TestThread.h"

namespace {

// What another thread gets from a mutex: a try, and a release it does not own.
struct CForeignAttempt {
    DWORD m_dwWait = 0xDEAD;
    BOOL m_bRelease = -1;
};

CForeignAttempt attempt_from_other_thread(HANDLE mutex, DWORD milliseconds)
{
    CForeignAttempt attempt;
    std::function<DWORD()> body = [&] {
        attempt.m_bRelease = ReleaseMutex(mutex);
        attempt.m_dwWait = WaitForSingleObject(mutex, milliseconds);
        if (attempt.m_dwWait == WAIT_OBJECT_0 || attempt.m_dwWait == WAIT_ABANDONED)
            ReleaseMutex(mutex);
        return 0u;
    };
    HANDLE thread = start_thread(body);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    CloseHandle(thread);
    return attempt;
}

}  // namespace

TEST(KernelMutex, IsRecursiveAndReleasedOnlyByItsOwner)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_FALSE(ReleaseMutex(mutex));  // nobody owns it yet

    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);

    CForeignAttempt held = attempt_from_other_thread(mutex, 0);
    EXPECT_FALSE(held.m_bRelease);
    EXPECT_EQ(held.m_dwWait, WAIT_TIMEOUT);

    EXPECT_TRUE(ReleaseMutex(mutex));
    // Still held once: the other thread cannot have it yet.
    EXPECT_EQ(attempt_from_other_thread(mutex, 0).m_dwWait, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));

    CForeignAttempt freed = attempt_from_other_thread(mutex, 0);
    EXPECT_FALSE(freed.m_bRelease);
    EXPECT_EQ(freed.m_dwWait, WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST(KernelMutex, InitialOwnerHoldsItAndWaitersGetItOnceReleased)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(attempt_from_other_thread(mutex, 0).m_dwWait, WAIT_TIMEOUT);
    EXPECT_EQ(attempt_from_other_thread(mutex, 50).m_dwWait, WAIT_TIMEOUT);

    // A waiter with a long time-out gets the mutex when the owner lets go.
    std::atomic<bool> waiting(false);
    DWORD result = 0xDEAD;
    std::function<DWORD()> body = [&] {
        waiting = true;
        result = WaitForSingleObject(mutex, GENEROUS_MS);
        if (result == WAIT_OBJECT_0)
            ReleaseMutex(mutex);
        return 0u;
    };
    HANDLE thread = start_thread(body);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(eventually([&] { return waiting.load(); }));
    EXPECT_TRUE(ReleaseMutex(mutex));
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(mutex));
    CloseHandle(thread);
    CloseHandle(mutex);
}

TEST(KernelMutex, OwnerThatEndsAbandonsItToTheNextWaiter)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);

    // Held twice, then the thread returns without releasing.
    std::function<DWORD()> returns = [&] {
        WaitForSingleObject(mutex, 0);
        WaitForSingleObject(mutex, 0);
        return 0u;
    };
    HANDLE thread = start_thread(returns);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    // Abandonment is reported once; the next owner gets it plainly.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));

    // The owner leaves through ExitThread while this thread is waiting.
    std::atomic<bool> held(false);
    std::atomic<bool> leave(false);
    std::function<DWORD()> exits = [&]() -> DWORD {
        WaitForSingleObject(mutex, 0);
        held = true;
        eventually([&] { return leave.load(); });
        ExitThread(3);
    };
    thread = start_thread(exits);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(eventually([&] { return held.load(); }));
    leave = true;
    EXPECT_EQ(WaitForSingleObject(mutex, GENEROUS_MS), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(mutex);
}

TEST(KernelMutex, ExcludesConcurrentOwners)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    const int THREADS = 4;
    const int ROUNDS = 2000;
    int counter = 0;  // guarded by the mutex alone
    int inside = 0;
    std::atomic<int> overlaps(0);
    std::atomic<int> failures(0);
    std::function<DWORD()> body = [&] {
        for (int i = 0; i < ROUNDS; ++i) {
            if (WaitForSingleObject(mutex, GENEROUS_MS) != WAIT_OBJECT_0) {
                ++failures;
                continue;
            }
            if (++inside != 1)
                ++overlaps;
            ++counter;
            --inside;
            ReleaseMutex(mutex);
        }
        return 0u;
    };
    HANDLE threads[THREADS];
    for (HANDLE &thread : threads)
        ASSERT_NE(thread = start_thread(body), nullptr);
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, THREADS * ROUNDS);
    CloseHandle(mutex);
}
