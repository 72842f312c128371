// What a child made by fork() finds of the kernel: it has only a copy of the
// thread that forked, so every other thread made by CreateThread counts as
// ended, and what those threads held is free; what the forking thread held
// stays its own, events keep their state, and the child can go on using
// the kernel and end with exit().
#include <gtest/gtest.h>

#include <atomic>

#include "TestThread.h"
#include "support/ForkedChild.h"

namespace {

// What goes on in the parent at the fork, apart from what the forking
// thread itself holds.
struct CScene {
    HANDLE stop = nullptr;       // manual reset: the threads below end
    HANDLE holding = nullptr;    // manual reset: `running` holds its locks
    HANDLE running = nullptr;    // holds `held` and `section` until `stop`
    HANDLE suspended = nullptr;  // never resumed before the fork
    HANDLE busy = nullptr;       // in and out of the kernel until `stop`
    HANDLE held = nullptr;       // a mutex `running` owns
    CRITICAL_SECTION section;    // entered by `running`
    std::atomic<int> turns{0};   // of `busy`
    HANDLE busyMutex = nullptr;  // what `busy` uses
    HANDLE busyEvent = nullptr;
    CRITICAL_SECTION busySection;
    HANDLE signalled = nullptr;  // events in both states
    HANDLE unsignalled = nullptr;
    HANDLE mine = nullptr;       // a mutex the forking thread owns
    CRITICAL_SECTION ownSection; // entered twice by the forking thread
    HANDLE forkingThread = nullptr;  // when a CreateThread thread forks
    ThreadMemory mainThread;         // the test's, absent from such a child
};

DWORD WINAPI hold_until_stopped(LPVOID parameter)
{
    CScene &scene = *static_cast<CScene *>(parameter);
    if (WaitForSingleObject(scene.held, GENEROUS_MS) != WAIT_OBJECT_0)
        return 1;
    EnterCriticalSection(&scene.section);
    SetEvent(scene.holding);
    WaitForSingleObject(scene.stop, INFINITE);
    LeaveCriticalSection(&scene.section);
    ReleaseMutex(scene.held);
    return 5;
}

DWORD WINAPI return_six(LPVOID)
{
    return 6;
}

// Every table and object lock of the kernel, taken and given back over and
// over, so that the fork finds some of them held.
DWORD WINAPI use_the_kernel(LPVOID parameter)
{
    CScene &scene = *static_cast<CScene *>(parameter);
    int local = 0;
    while (WaitForSingleObject(scene.stop, 0) == WAIT_TIMEOUT) {
        SetEvent(scene.busyEvent);
        ResetEvent(scene.busyEvent);
        if (WaitForSingleObject(scene.busyMutex, 0) == WAIT_OBJECT_0)
            ReleaseMutex(scene.busyMutex);
        // A free the table refuses takes its lock all the same.
        GlobalFree(&local);
        EnterCriticalSection(&scene.busySection);
        LeaveCriticalSection(&scene.busySection);
        ++scene.turns;
#if !defined(DUDIDADU_TEST_ASAN)
        // Under LeakSanitizer, what this thread allocates at the very moment
        // of the fork is lost with it in the child, and reported.
        HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        GlobalFree(GlobalAlloc(GPTR, 64));
#endif
    }
    return 7;
}

// The result of WaitForSingleObject(`handle`, 0) on a new thread of the
// child (then released, if it was a mutex it took).
DWORD WINAPI probe_mutex(LPVOID parameter)
{
    HANDLE mutex = *static_cast<HANDLE *>(parameter);
    const DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0)
        ReleaseMutex(mutex);
    return result;
}

DWORD WINAPI enter_and_leave(LPVOID parameter)
{
    LPCRITICAL_SECTION section = static_cast<LPCRITICAL_SECTION>(parameter);
    EnterCriticalSection(section);
    LeaveCriticalSection(section);
    return 8;
}

DWORD run_to_end(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    HANDLE thread = CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
    if (!thread)
        return 0xDEAD;
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(thread, GENEROUS_MS) == WAIT_OBJECT_0)
        GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

int check_child(CScene &scene)
{
    scene.mainThread.KeepScanned();
    // The parent's threads: ended, at once, with ERROR_PROCESS_ABORTED.
    for (HANDLE thread : {scene.running, scene.suspended, scene.busy}) {
        CHILD_CHECK(WaitForSingleObject(thread, 0) == WAIT_OBJECT_0);
        CHILD_CHECK(WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0);
        DWORD code = 0;
        CHILD_CHECK(GetExitCodeThread(thread, &code) && code == ERROR_PROCESS_ABORTED);
    }
    // Resuming or terminating one changes nothing.
    ResumeThread(scene.suspended);
    CHILD_CHECK(TerminateThread(scene.suspended, 9));
    DWORD code = 0;
    CHILD_CHECK(GetExitCodeThread(scene.suspended, &code) && code == ERROR_PROCESS_ABORTED);
    // The thread that forked goes on here.
    if (scene.forkingThread) {
        CHILD_CHECK(GetExitCodeThread(scene.forkingThread, &code) && code == STILL_ACTIVE);
        CHILD_CHECK(WaitForSingleObject(scene.forkingThread, 0) == WAIT_TIMEOUT);
    }

    // What the vanished thread held is free, not abandoned.
    CHILD_CHECK(run_to_end(probe_mutex, &scene.held) == WAIT_OBJECT_0);
    CHILD_CHECK(WaitForSingleObject(scene.held, 0) == WAIT_OBJECT_0);
    CHILD_CHECK(ReleaseMutex(scene.held));
    EnterCriticalSection(&scene.section);
    LeaveCriticalSection(&scene.section);
    CHILD_CHECK(run_to_end(enter_and_leave, &scene.section) == 8);
    CHILD_CHECK(run_to_end(enter_and_leave, &scene.busySection) == 8);
    CHILD_CHECK(run_to_end(probe_mutex, &scene.busyMutex) == WAIT_OBJECT_0);

    // What the forking thread held is still its own, with its counts.
    CHILD_CHECK(run_to_end(probe_mutex, &scene.mine) == WAIT_TIMEOUT);
    CHILD_CHECK(ReleaseMutex(scene.mine));
    CHILD_CHECK(!ReleaseMutex(scene.mine));
    CHILD_CHECK(run_to_end(probe_mutex, &scene.mine) == WAIT_OBJECT_0);
    HANDLE waiter = CreateThread(nullptr, 0, enter_and_leave, &scene.ownSection, 0, nullptr);
    CHILD_CHECK(waiter != nullptr);
    CHILD_CHECK(WaitForSingleObject(waiter, 100) == WAIT_TIMEOUT);
    LeaveCriticalSection(&scene.ownSection);
    CHILD_CHECK(WaitForSingleObject(waiter, 100) == WAIT_TIMEOUT);
    LeaveCriticalSection(&scene.ownSection);
    CHILD_CHECK(WaitForSingleObject(waiter, GENEROUS_MS) == WAIT_OBJECT_0);
    CloseHandle(waiter);

    // Events as they were.
    CHILD_CHECK(WaitForSingleObject(scene.signalled, 0) == WAIT_OBJECT_0);
    CHILD_CHECK(WaitForSingleObject(scene.unsignalled, 0) == WAIT_TIMEOUT);

    // The kernel goes on working, and the handles close.
    CHILD_CHECK(run_to_end(return_six, nullptr) == 6);
    void *block = GlobalAlloc(GPTR, 32);
    CHILD_CHECK(block != nullptr && GlobalFree(block) == nullptr);
    for (HANDLE handle : {scene.running, scene.suspended, scene.busy, scene.held, scene.mine})
        CHILD_CHECK(CloseHandle(handle));
    return 0;
}

// Takes what the forking thread holds at the fork, forks, and gives it back.
std::string fork_holding(CScene &scene)
{
    if (WaitForSingleObject(scene.mine, 0) != WAIT_OBJECT_0)
        return "mutex not taken";
    EnterCriticalSection(&scene.ownSection);
    EnterCriticalSection(&scene.ownSection);
    const std::string outcome = run_in_forked_child([&] { return check_child(scene); });
    LeaveCriticalSection(&scene.ownSection);
    LeaveCriticalSection(&scene.ownSection);
    ReleaseMutex(scene.mine);
    return outcome;
}

struct CForkOnThread {
    CScene *scene;
    std::string outcome;
};

DWORD WINAPI fork_on_thread(LPVOID parameter)
{
    CForkOnThread &fork = *static_cast<CForkOnThread *>(parameter);
    fork.outcome = fork_holding(*fork.scene);
    return 0;
}

}  // namespace

TEST(KernelFork, ChildSeesOnlyTheForkingThread)
{
    SKIP_FORK_TESTS_UNDER_TSAN();
    const struct {
        const char *name;
        bool onKernelThread;
    } cases[] = {{"the main thread forks", false}, {"a thread of CreateThread forks", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CScene scene;
        scene.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        scene.holding = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        scene.held = CreateMutexA(nullptr, FALSE, nullptr);
        scene.mine = CreateMutexA(nullptr, FALSE, nullptr);
        scene.signalled = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        scene.unsignalled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        scene.busyMutex = CreateMutexA(nullptr, FALSE, nullptr);
        scene.busyEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        InitializeCriticalSection(&scene.section);
        InitializeCriticalSection(&scene.busySection);
        InitializeCriticalSection(&scene.ownSection);
        // The threads of earlier cases gone, and these three past their
        // start (the suspended one first, so that it is by the time the
        // others are seen at work).
        settle_threads(1);
        scene.suspended = CreateThread(nullptr, 0, return_six, nullptr, CREATE_SUSPENDED, nullptr);
        scene.running = CreateThread(nullptr, 0, hold_until_stopped, &scene, 0, nullptr);
        scene.busy = CreateThread(nullptr, 0, use_the_kernel, &scene, 0, nullptr);
        ASSERT_NE(scene.running, nullptr);
        ASSERT_NE(scene.suspended, nullptr);
        ASSERT_NE(scene.busy, nullptr);
        ASSERT_EQ(WaitForSingleObject(scene.holding, GENEROUS_MS), WAIT_OBJECT_0);
        ASSERT_TRUE(eventually([&] { return scene.turns.load() > 10; }));

        std::string outcome;
        if (c.onKernelThread) {
            CForkOnThread fork = {&scene, std::string()};
            scene.forkingThread = CreateThread(nullptr, 0, fork_on_thread, &fork, CREATE_SUSPENDED, nullptr);
            ASSERT_NE(scene.forkingThread, nullptr);
            ResumeThread(scene.forkingThread);
            ASSERT_EQ(WaitForSingleObject(scene.forkingThread, 3 * GENEROUS_MS), WAIT_OBJECT_0);
            CloseHandle(scene.forkingThread);
            outcome = fork.outcome;
        } else {
            outcome = fork_holding(scene);
        }
        EXPECT_EQ(outcome, "exit 0");

        // The parent's threads and locks carry on as if nothing happened.
        EXPECT_EQ(run_to_end(probe_mutex, &scene.mine), WAIT_OBJECT_0);
        EXPECT_EQ(run_to_end(probe_mutex, &scene.held), WAIT_TIMEOUT);
        SetEvent(scene.stop);
        EXPECT_EQ(ResumeThread(scene.suspended), 1u);
        DWORD code = 0;
        for (const auto &t : {std::make_pair(scene.running, 5u), std::make_pair(scene.suspended, 6u),
                              std::make_pair(scene.busy, 7u)}) {
            ASSERT_EQ(WaitForSingleObject(t.first, GENEROUS_MS), WAIT_OBJECT_0);
            EXPECT_TRUE(GetExitCodeThread(t.first, &code));
            EXPECT_EQ(code, t.second);
            CloseHandle(t.first);
        }
        EXPECT_EQ(WaitForSingleObject(scene.held, 0), WAIT_OBJECT_0);
        ReleaseMutex(scene.held);
        for (HANDLE handle : {scene.stop, scene.holding, scene.held, scene.mine, scene.signalled,
                              scene.unsignalled, scene.busyMutex, scene.busyEvent})
            CloseHandle(handle);
        DeleteCriticalSection(&scene.section);
        DeleteCriticalSection(&scene.busySection);
        DeleteCriticalSection(&scene.ownSection);
    }
}

namespace {

struct CHolder {
    LPCRITICAL_SECTION section;
    HANDLE holding;
    HANDLE stop;
};

DWORD WINAPI hold_section(LPVOID parameter)
{
    CHolder &holder = *static_cast<CHolder *>(parameter);
    EnterCriticalSection(holder.section);
    SetEvent(holder.holding);
    WaitForSingleObject(holder.stop, INFINITE);
    LeaveCriticalSection(holder.section);
    return 0;
}

}  // namespace

// A child starts a list of sections of its own; one it inherited joins it
// when entered, so that a fork of the child still finds it.
TEST(KernelFork, SectionInheritedAndHeldInAChildIsFreeInItsChild)
{
    SKIP_FORK_TESTS_UNDER_TSAN();
    static CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    settle_threads(1);
    const std::string outcome = run_in_forked_child([] {
        CHolder holder = {&section, CreateEventA(nullptr, TRUE, FALSE, nullptr),
                          CreateEventA(nullptr, TRUE, FALSE, nullptr)};
        HANDLE thread = CreateThread(nullptr, 0, hold_section, &holder, 0, nullptr);
        CHILD_CHECK(thread != nullptr);
        CHILD_CHECK(WaitForSingleObject(holder.holding, GENEROUS_MS) == WAIT_OBJECT_0);
        const std::string grandchild = run_in_forked_child([] {
            EnterCriticalSection(&section);
            LeaveCriticalSection(&section);
            return 0;
        }, 10);
        CHILD_CHECK(grandchild == "exit 0");
        SetEvent(holder.stop);
        CHILD_CHECK(WaitForSingleObject(thread, GENEROUS_MS) == WAIT_OBJECT_0);
        for (HANDLE handle : {thread, holder.holding, holder.stop})
            CloseHandle(handle);
        return 0;
    });
    EXPECT_EQ(outcome, "exit 0");
    DeleteCriticalSection(&section);
}
