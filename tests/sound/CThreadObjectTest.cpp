// The thread holder: suspended creation, resume, forced end of a thread that
// never ran, liveness and the replacement of an ended thread.
#include "sound/CThreadObject.h"

#include <gtest/gtest.h>

#include <atomic>

struct CThreadObjectProbe {
    static HANDLE Handle(const CThreadObject &t) { return t.m_hThread; }
    static DWORD Id(const CThreadObject &t) { return t.m_dwThreadId; }
};

namespace {

std::atomic<int> g_runs(0);

DWORD WINAPI CountAndExit(LPVOID param)
{
    ++g_runs;
    ExitThread(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(param)));
}

DWORD WaitAndCode(HANDLE thread)
{
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(CThreadObject, WithoutThreadNothingHappens)
{
    CThreadObject holder;
    EXPECT_EQ((DWORD)-1, holder.Resume());
    holder.Terminate();
    EXPECT_FALSE(holder.IsRunning());
    EXPECT_EQ(nullptr, CThreadObjectProbe::Handle(holder));
    EXPECT_EQ(0u, CThreadObjectProbe::Id(holder));
}

TEST(CThreadObject, SuspendedThreadCountsAsRunningAndEndsUnrunWhenTerminated)
{
    g_runs = 0;
    CThreadObject holder;
    ASSERT_TRUE(holder.Create(CountAndExit, reinterpret_cast<LPVOID>(7)));
    HANDLE thread = CThreadObjectProbe::Handle(holder);
    ASSERT_NE(nullptr, thread);
    EXPECT_NE(0u, CThreadObjectProbe::Id(holder));
    EXPECT_TRUE(holder.IsRunning());

    holder.Terminate();
    EXPECT_EQ(0u, CThreadObjectProbe::Id(holder));
    EXPECT_EQ(thread, CThreadObjectProbe::Handle(holder));  // stays open
    EXPECT_EQ(0u, WaitAndCode(thread));
    EXPECT_FALSE(holder.IsRunning());
    EXPECT_EQ(0, g_runs.load());
    // A terminated thread cannot be resumed.
    EXPECT_EQ((DWORD)-1, holder.Resume());
}

TEST(CThreadObject, ResumedThreadRunsAndEndsWithItsExitCodeThenCreateReplacesIt)
{
    g_runs = 0;
    CThreadObject holder;
    ASSERT_TRUE(holder.Create(CountAndExit, reinterpret_cast<LPVOID>(0xFFFFFF84u)));
    EXPECT_EQ(1u, holder.Resume());
    EXPECT_EQ(0xFFFFFF84u, WaitAndCode(CThreadObjectProbe::Handle(holder)));
    EXPECT_FALSE(holder.IsRunning());
    EXPECT_EQ(1, g_runs.load());

    ASSERT_TRUE(holder.Create(CountAndExit, reinterpret_cast<LPVOID>(2)));
    EXPECT_TRUE(holder.IsRunning());
    EXPECT_EQ(1u, holder.Resume());
    EXPECT_EQ(2u, WaitAndCode(CThreadObjectProbe::Handle(holder)));
    EXPECT_EQ(2, g_runs.load());
    // An ended thread keeps its id until it is terminated, which is harmless
    // (Wine then reads its exit code as 0; the code is not used after that).
    EXPECT_NE(0u, CThreadObjectProbe::Id(holder));
    holder.Terminate();
    EXPECT_EQ(0u, CThreadObjectProbe::Id(holder));
    EXPECT_FALSE(holder.IsRunning());
}

TEST(CThreadObject, DestructionEndsASuspendedThread)
{
    g_runs = 0;
    {
        CThreadObject holder;
        ASSERT_TRUE(holder.Create(CountAndExit, nullptr));
    }
    EXPECT_EQ(0, g_runs.load());
}

}  // namespace
