// Runs checks in a child made by fork(), for the tests of what the library
// leaves a forked child. The child ends through exit(), so that its static
// destructors, atexit handlers and LeakSanitizer's check run as they would
// in an application; the parent waits for it with a deadline and kills it
// after, so that a child that hangs fails the test instead of the run.
// POSIX only.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

// ThreadSanitizer refuses to start threads in the child of a process that
// had several: fork tests are skipped under it.
#if defined(__SANITIZE_THREAD__)
#define DUDIDADU_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DUDIDADU_TEST_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define DUDIDADU_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DUDIDADU_TEST_ASAN 1
#endif
#endif
#if defined(DUDIDADU_TEST_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

#if defined(DUDIDADU_TEST_TSAN)
#define SKIP_FORK_TESTS_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer does not support threads after fork"
#else
#define SKIP_FORK_TESTS_UNDER_TSAN() (void)0
#endif

// In a child: returns 1 from the check function, naming what failed on
// standard error (which the child shares with the test).
#define CHILD_CHECK(condition)                                                       \
    do {                                                                             \
        if (!(condition)) {                                                          \
            fprintf(stderr, "%s:%d: in the child: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                \
        }                                                                            \
    } while (0)

// Waits (up to ten seconds) until the process has at most `count` threads,
// so that none is still on its way out when the test forks. The sanitizers'
// own bookkeeping of a thread that starts or ends takes locks that a fork
// would leave held in the child for good.
inline bool settle_threads(size_t count)
{
    for (int i = 0; i < 10000; ++i) {
        size_t threads = 0;
        if (DIR *tasks = opendir("/proc/self/task")) {
            while (struct dirent *entry = readdir(tasks))
                threads += entry->d_name[0] != '.';
            closedir(tasks);
        }
        if (threads <= count)
            return true;
        const struct timespec pause = {0, 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// Forks; the child runs `checks` and exits with what it returned. "exit N"
// with the child's status, "signal N", or "no end after S s" once the child
// was killed for hanging (it also ends itself by SIGALRM then).
inline std::string run_in_forked_child(const std::function<int()> &checks, int seconds = 20)
{
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        // Its own watchdog as well, for a child whose parent is gone.
        alarm(static_cast<unsigned>(seconds));
        int code = 99;
        try {
            code = checks();
        } catch (...) {
        }
        exit(code);
    }
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0)
            return "waitpid failed";
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= seconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "no end after " + std::to_string(seconds) + " s";
        }
        const struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The memory of the thread that makes it: its stack, and its descriptor,
// where the C library keeps the thread-specific data (gtest keeps its
// per-thread state there). A child that lacks the thread still has this
// memory, but LeakSanitizer scans only that of threads that exist: what the
// test keeps there (on the main thread, the test object itself) would count
// as leaked in a child forked by another thread.
class ThreadMemory {
public:
    ThreadMemory() : m_pDescriptor(reinterpret_cast<void *>(pthread_self()))
    {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstack(&attributes, &m_pStack, &m_stackSize);
            pthread_attr_destroy(&attributes);
        }
    }
    // In the child: scanned for references like a live thread's. The
    // descriptor's size is glibc's affair; a page covers it, and the
    // scan skips whatever is not mapped.
    void KeepScanned() const
    {
#if defined(DUDIDADU_TEST_ASAN)
        if (m_pStack != nullptr)
            __lsan_register_root_region(m_pStack, m_stackSize);
        __lsan_register_root_region(m_pDescriptor, 4096);
#endif
    }

private:
    void *m_pDescriptor;
    void *m_pStack = nullptr;
    size_t m_stackSize = 0;
};
