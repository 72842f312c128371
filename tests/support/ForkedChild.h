// Checks run in a child made by fork(), for the tests of what the library
// leaves a forked child. The child ends through exit(), so that its static
// destructors, atexit handlers and LeakSanitizer's check run as in an
// application; the parent kills it at a deadline, so that a hang fails the
// test instead of holding up the run. POSIX only.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#if defined(__has_feature)
#define DUDIDADU_TEST_HAS(feature) __has_feature(feature)
#else
#define DUDIDADU_TEST_HAS(feature) 0
#endif
// ThreadSanitizer refuses to start threads in the child of a process that
// had several: fork tests are skipped under it.
#if defined(__SANITIZE_THREAD__) || DUDIDADU_TEST_HAS(thread_sanitizer)
#define SKIP_FORK_TESTS_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer does not support threads after fork"
#else
#define SKIP_FORK_TESTS_UNDER_TSAN() (void)0
#endif
#if defined(__SANITIZE_ADDRESS__) || DUDIDADU_TEST_HAS(address_sanitizer)
#define DUDIDADU_TEST_ASAN 1
#endif

// In the child's checks: returns 1, naming what failed on standard error.
#define CHILD_CHECK(condition)                                                            \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: in the child: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                     \
        }                                                                                 \
    } while (0)

// Waits (up to ten seconds) until the process has at most `count` threads,
// or its number of threads has held still for 100 ms (the kernel keeps
// parked threads for later ones), so that none is on its way in or out at
// the fork: the sanitizers' own bookkeeping of that takes locks a fork
// would leave held in the child.
inline bool settle_threads(size_t count)
{
    size_t last = 0;
    int still = 0;
    for (int i = 0; i < 10000; ++i) {
        size_t threads = 0;
        if (DIR *tasks = opendir("/proc/self/task")) {
            while (struct dirent *entry = readdir(tasks))
                threads += entry->d_name[0] != '.';
            closedir(tasks);
        }
        if (threads <= count)
            return true;
        still = threads == last ? still + 1 : 0;
        if (still >= 100)
            return true;
        last = threads;
        usleep(1000);
    }
    return false;
}

// Forks; the child runs `checks` and exits with what it returned. Gives
// "exit N", "signal N", or "no end after S s" for a child killed at the
// deadline (a child whose parent is gone ends by SIGALRM then).
inline std::string run_in_forked_child(const std::function<int()> &checks, int seconds = 20)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(static_cast<unsigned>(seconds));
        exit(checks());
    }
    if (pid < 0)
        return "fork failed";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "no end after " + std::to_string(seconds) + " s";
        }
        usleep(5000);
    }
    if (done != pid)
        return "waitpid failed";
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}
