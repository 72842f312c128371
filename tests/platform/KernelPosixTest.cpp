// What only our POSIX stand-in promises: debugger output as raw bytes on
// standard error, and the stack sizes of its threads.
#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "TestThread.h"

namespace {

// Runs `action` with standard error redirected into a pipe; what it wrote.
std::string captured_stderr(void (*action)())
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return "pipe failed";
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(pipeEnds[1], STDERR_FILENO);
    close(pipeEnds[1]);
    action();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    char chunk[256];
    ssize_t got;
    while ((got = read(pipeEnds[0], chunk, sizeof(chunk))) > 0)
        text.append(chunk, static_cast<size_t>(got));
    close(pipeEnds[0]);
    return text;
}

size_t stack_size_of_current_thread()
{
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    return size;
}

DWORD WINAPI record_stack_size(LPVOID parameter)
{
    *static_cast<size_t *>(parameter) = stack_size_of_current_thread();
    return 0;
}

size_t stack_size_for(SIZE_T requested)
{
    size_t size = 0;
    HANDLE thread = CreateThread(nullptr, requested, record_stack_size, &size, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    CloseHandle(thread);
    return size;
}

// The C library's heap arenas, as malloc_info lists them.
int heap_arenas()
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    if (!stream)
        return -1;
    malloc_info(0, stream);
    fclose(stream);
    int count = 0;
    for (const char *p = text; (p = strstr(p, "<heap nr=")) != nullptr; ++p)
        ++count;
    free(text);
    return count;
}

}  // namespace

TEST(KernelPosix, DebugOutputIsTheBytesUnchanged)
{
    const std::string text = captured_stderr([] {
        OutputDebugStringA("\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46" "catch (...)\n  in x.\n");
        OutputDebugStringA("");
        OutputDebugStringA(nullptr);
        OutputDebugStringA("no newline");
    });
    EXPECT_EQ(text, std::string("\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46" "catch (...)\n  in x.\nno newline"));
}

TEST(KernelPosix, ThreadStacksAreSmallByDefaultAndAsLargeAsAsked)
{
    const size_t byDefault = stack_size_for(0);
    EXPECT_GE(byDefault, static_cast<size_t>(64 * 1024));
    EXPECT_LE(byDefault, static_cast<size_t>(4 * 1024 * 1024));
    EXPECT_GE(stack_size_for(2 * 1024 * 1024), static_cast<size_t>(2 * 1024 * 1024));
    EXPECT_GE(stack_size_for(1), static_cast<size_t>(PTHREAD_STACK_MIN));
}

TEST(KernelPosix, GlobalFreeRefusesWhatGlobalAllocDidNotGive)
{
    int local = 0;
    EXPECT_EQ(GlobalFree(&local), &local);
    void *block = GlobalAlloc(GMEM_FIXED, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalFree(block), nullptr);
    EXPECT_EQ(GlobalFree(block), block);  // a second free is refused, not a double free
    EXPECT_EQ(GlobalAlloc(0x0002 /* GMEM_MOVEABLE */, 16), nullptr);
}

TEST(KernelPosix, OnlyThreadsThatAreNotRunningAreTerminated)
{
    // A running thread cannot be ended safely here: refused, it goes on.
    std::atomic<bool> release(false);
    std::function<DWORD()> body = [&] {
        eventually([&] { return release.load(); });
        return 6u;
    };
    HANDLE thread = start_thread(body);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(TerminateThread(thread, 9));
    release = true;
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    // Ended, it may be terminated, and keeps its code as Windows does
    // (Wine overwrites it, so this holds for the stand-in only).
    EXPECT_TRUE(TerminateThread(thread, 9));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 6u);
    CloseHandle(thread);
}

// Threads run on parked pthreads: one made once others have ended runs on
// one of theirs (once it has parked), with no pthread of its own; one that
// ends with ExitThread takes its pthread with it.
TEST(KernelPosix, ThreadsRunOnParkedPthreads)
{
    std::atomic<long> pthread(0);
    bool exits = false;
    std::function<DWORD()> body = [&]() -> DWORD {
        pthread = syscall(SYS_gettid);
        if (exits)
            ExitThread(3);
        return 0u;
    };
    // The pthread that ran the routine, once the thread has ended.
    auto run_one = [&]() -> long {
        pthread = 0;
        HANDLE thread = start_thread(body);
        EXPECT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
        CloseHandle(thread);
        return pthread.load();
    };
    std::set<long> seen = {run_one()};
    EXPECT_TRUE(eventually([&] { return !seen.insert(run_one()).second; }))
        << "every thread had a pthread of its own";

    exits = true;
    const long exited = run_one();
    exits = false;
    // Its pthread is gone: no later thread runs on it.
    for (int i = 0; i < 20; ++i)
        EXPECT_NE(run_one(), exited);
}

// A thread that waits and takes mutexes allocates nothing, so the C library
// sets up no heap arena for it (64 MiB of address space each, per thread
// that allocates while others do).
TEST(KernelPosix, ThreadsThatWaitAndLockGetNoHeapArena)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocator has no arenas to count";
#endif
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr), go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> waiting(0);
    std::function<DWORD()> body = [&] {
        WaitForSingleObject(mutex, GENEROUS_MS);
        ++waiting;
        ReleaseMutex(mutex);
        return WaitForSingleObject(go, GENEROUS_MS);
    };
    const int before = heap_arenas();
    std::vector<HANDLE> threads;
    for (int i = 0; i < 12; ++i)
        threads.push_back(start_thread(body));
    ASSERT_TRUE(eventually([&] { return waiting.load() == 12; }));
    EXPECT_EQ(heap_arenas(), before) << "threads that only wait and lock set up heap arenas";
    SetEvent(go);
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    CloseHandle(go);
    CloseHandle(mutex);
}
