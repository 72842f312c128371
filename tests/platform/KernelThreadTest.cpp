// Threads: suspended creation, resume counts, termination before the start
// and after the end, exit codes, waits, ids, and the handle rules.
#include <gtest/gtest.h>

#include <atomic>

#include "TestThread.h"

namespace {

DWORD exit_code_of(HANDLE thread)
{
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

}  // namespace

TEST(KernelThread, SuspendedThreadRunsOnlyAfterResume)
{
    std::atomic<int> runs(0);
    std::function<DWORD()> body = [&] {
        ++runs;
        return 11u;
    };
    DWORD id = 0;
    HANDLE thread = start_thread(body, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());

    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(exit_code_of(thread), STILL_ACTIVE);

    EXPECT_EQ(ResumeThread(thread), 1u);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(exit_code_of(thread), 11u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(KernelThread, ResumeReturnsThePreviousSuspendCount)
{
    std::atomic<bool> release(false);
    std::function<DWORD()> body = [&] {
        eventually([&] { return release.load(); });
        return 0u;
    };
    HANDLE running = start_thread(body);
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(ResumeThread(running), 0u);
    EXPECT_EQ(exit_code_of(running), STILL_ACTIVE);
    release = true;
    ASSERT_EQ(WaitForSingleObject(running, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(ResumeThread(running), 0u);  // an ended thread is not suspended
    CloseHandle(running);

    HANDLE suspended = start_thread(body, CREATE_SUSPENDED);
    ASSERT_NE(suspended, nullptr);
    EXPECT_EQ(ResumeThread(suspended), 1u);
    EXPECT_EQ(ResumeThread(suspended), 0u);
    ASSERT_EQ(WaitForSingleObject(suspended, GENEROUS_MS), WAIT_OBJECT_0);
    CloseHandle(suspended);
}

TEST(KernelThread, TerminatedWhileSuspendedNeverRuns)
{
    std::atomic<int> runs(0);
    std::function<DWORD()> body = [&] {
        ++runs;
        return 1u;
    };
    HANDLE thread = start_thread(body, CREATE_SUSPENDED);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(TerminateThread(thread, 77));
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(thread), 77u);
    EXPECT_EQ(runs.load(), 0);
    CloseHandle(thread);
}

TEST(KernelThread, TerminatingAnEndedThreadSucceedsAndLeavesItEnded)
{
    std::function<DWORD()> body = [] { return 5u; };
    HANDLE thread = start_thread(body);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateThread(thread, 9));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ResumeThread(thread), 0u);
    CloseHandle(thread);
}

TEST(KernelThread, ExitCodeIsStillActiveUntilTheEndThenTheCodeGiven)
{
    std::atomic<bool> release(false);
    std::function<DWORD()> exits = [&]() -> DWORD {
        eventually([&] { return release.load(); });
        ExitThread(static_cast<DWORD>(-124));
    };
    HANDLE thread = start_thread(exits);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(exit_code_of(thread), STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    release = true;
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(thread), static_cast<DWORD>(-124));
    CloseHandle(thread);

    std::function<DWORD()> returns = [] { return 0x12345678u; };
    thread = start_thread(returns);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(thread), 0x12345678u);
    CloseHandle(thread);
}

TEST(KernelThread, KnowsItsOwnId)
{
    DWORD inside = 0;
    std::function<DWORD()> body = [&] {
        inside = GetCurrentThreadId();
        return 0u;
    };
    DWORD id = 0;
    HANDLE thread = start_thread(body, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_NE(inside, 0u);
    EXPECT_EQ(inside, id);
    EXPECT_NE(inside, GetCurrentThreadId());
    CloseHandle(thread);
}

TEST(KernelThread, HandleMayBeClosedWhileTheThreadRuns)
{
    // Static, because the thread may still be on its way out after the test.
    static std::atomic<bool> release(false);
    static std::atomic<bool> finished(false);
    static std::function<DWORD()> body = [] {
        eventually([] { return release.load(); });
        finished = true;
        return 0u;
    };
    HANDLE thread = start_thread(body);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    release = true;
    EXPECT_TRUE(eventually([] { return finished.load(); }));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
}

TEST(KernelHandles, ClosedNullAndInventedHandlesAreRefused)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    std::function<DWORD()> body = [] { return 0u; };
    HANDLE thread = start_thread(body, CREATE_SUSPENDED);
    ASSERT_NE(thread, nullptr);

    // Each kind of handle is refused where the other kind is expected.
    EXPECT_FALSE(ReleaseMutex(thread));
    EXPECT_EQ(ResumeThread(mutex), static_cast<DWORD>(-1));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(mutex, &code));
    EXPECT_FALSE(TerminateThread(mutex, 0));

    EXPECT_TRUE(TerminateThread(thread, 0));
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(CloseHandle(mutex));

    HANDLE invented = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678));
    for (HANDLE bad : {mutex, thread, static_cast<HANDLE>(nullptr), invented}) {
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_FALSE(ReleaseMutex(bad));
        EXPECT_EQ(ResumeThread(bad), static_cast<DWORD>(-1));
        EXPECT_FALSE(TerminateThread(bad, 0));
        EXPECT_FALSE(GetExitCodeThread(bad, &code));
        EXPECT_FALSE(CloseHandle(bad));
    }
}
