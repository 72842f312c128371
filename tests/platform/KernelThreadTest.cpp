// Threads: suspended creation, resume counts, termination before the start
// and after the end, exit codes, waits, ids, and the handle rules.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "TestThread.h"

namespace {

DWORD exit_code_of(HANDLE thread)
{
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

}  // namespace

TEST(KernelThread, RunsOnlyAfterResumeWhichCountsSuspensions)
{
    std::atomic<int> runs(0);
    DWORD inside = 0;
    std::atomic<bool> release(false);
    std::function<DWORD()> body = [&] {
        ++runs;
        inside = GetCurrentThreadId();
        eventually([&] { return release.load(); });
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
    EXPECT_EQ(ResumeThread(thread), 0u);  // running: not suspended
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    EXPECT_EQ(exit_code_of(thread), STILL_ACTIVE);
    release = true;
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(inside, id);
    EXPECT_EQ(exit_code_of(thread), 11u);
    EXPECT_EQ(ResumeThread(thread), 0u);  // ended: not suspended either
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(KernelThread, TerminationAndExitCodes)
{
    // Terminated before it ran, it never runs and ends with the code given.
    std::atomic<int> runs(0);
    std::function<DWORD()> counts = [&] {
        ++runs;
        return 1u;
    };
    HANDLE thread = start_thread(counts, CREATE_SUSPENDED);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(TerminateThread(thread, 77));
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(thread), 77u);
    EXPECT_EQ(runs.load(), 0);
    CloseHandle(thread);

    // ExitThread's code, STILL_ACTIVE until then.
    std::atomic<bool> release(false);
    std::function<DWORD()> exits = [&]() -> DWORD {
        eventually([&] { return release.load(); });
        ExitThread(static_cast<DWORD>(-124));
    };
    thread = start_thread(exits);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(exit_code_of(thread), STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    release = true;
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(thread), static_cast<DWORD>(-124));
    CloseHandle(thread);

    // The returned code; terminating the ended thread succeeds and it stays ended.
    std::function<DWORD()> returns = [] { return 0x12345678u; };
    thread = start_thread(returns);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_EQ(exit_code_of(thread), 0x12345678u);
    EXPECT_TRUE(TerminateThread(thread, 9));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// Threads made one after another, as a sound's plays make them (and as the
// stand-in runs them, each on a pthread parked by the one before): every
// one keeps its own id, handle, exit code and suspension.
TEST(KernelThread, ThreadsOneAfterAnotherKeepTheirOwnIdentity)
{
    enum EHow { RETURNS, EXITS, RESUMED, TERMINATED };
    std::set<DWORD> ids;
    for (int i = 0; i < 40; ++i) {
        const EHow how = static_cast<EHow>(i % 4);
        SCOPED_TRACE(i);
        std::atomic<int> runs(0);
        std::atomic<DWORD> inside(0);
        std::function<DWORD()> body = [&]() -> DWORD {
            inside = GetCurrentThreadId();
            ++runs;
            if (how == EXITS)
                ExitThread(1000u + i);
            return 2000u + i;
        };
        DWORD id = 0;
        HANDLE thread = start_thread(body, how >= RESUMED ? CREATE_SUSPENDED : 0, &id);
        ASSERT_NE(thread, nullptr);
        EXPECT_TRUE(ids.insert(id).second) << "an id given twice";
        DWORD code = how == EXITS ? 1000u + i : 2000u + i;
        if (how >= RESUMED) {
            EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
            EXPECT_EQ(exit_code_of(thread), STILL_ACTIVE);
        }
        if (how == RESUMED) {
            EXPECT_EQ(ResumeThread(thread), 1u);
        }
        if (how == TERMINATED) {
            EXPECT_TRUE(TerminateThread(thread, 77));
            code = 77;
        }
        ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
        EXPECT_EQ(exit_code_of(thread), code);
        EXPECT_EQ(runs.load(), how == TERMINATED ? 0 : 1);
        if (how != TERMINATED) {
            EXPECT_EQ(inside.load(), id);
        }
        EXPECT_TRUE(CloseHandle(thread));
    }
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
