// A last resort for test programs that may hang: a thread that ends the
// whole process with a given code when a step has not finished by its
// deadline, after naming the step on standard error.
//
//   ExitWatchdog::Arm("FreeLibrary", 10, 90);
//   FreeLibrary(module);
//   ExitWatchdog::Disarm();
//
// It ends the process at once and runs no exit handlers, so that a hang in
// those is caught as well: _exit, or on Windows TerminateProcess, which
// unlike ExitProcess needs no loader lock (a hung unload may hold it). On
// Windows, ExitProcess ends this thread before the libraries are told, so a
// hang there is for the parent's deadline to catch.
// Header-only: the state is a few atomics that are never destroyed, so the
// thread may still read them while the process ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

class ExitWatchdog {
public:
    // Starts the watching thread and waits until it runs. Done by Arm too,
    // but call it first where a step may hold the loader lock: a thread
    // that starts then cannot run until that lock is free.
    static void Start()
    {
        State &state = TheState();
        bool expected = false;
        if (state.started.compare_exchange_strong(expected, true))
            std::thread(Watch).detach();
        while (!state.running)
            std::this_thread::yield();
    }

    // Watches `step` for `seconds`; the process ends with `code` after that.
    static void Arm(const char *step, int seconds, int code)
    {
        Start();
        State &state = TheState();
        state.code = code;
        state.step = step;
        state.deadlineMs = NowMs() + 1000LL * seconds;
    }

    static void Disarm() { TheState().deadlineMs = 0; }

private:
    struct State {
        std::atomic<long long> deadlineMs{0};  // 0: nothing watched
        std::atomic<const char *> step{nullptr};
        std::atomic<int> code{0};
        std::atomic<bool> started{false};
        std::atomic<bool> running{false};
    };

    static State &TheState()
    {
        static State state;
        return state;
    }

    static long long NowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    static void Watch()
    {
        State &state = TheState();
        state.running = true;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const long long deadline = state.deadlineMs;
            if (deadline != 0 && NowMs() >= deadline)
                break;
        }
        std::fprintf(stderr, "watchdog: %s did not finish in time\n", state.step.load());
        std::fflush(stderr);
#if defined(_WIN32)
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(state.code.load()));
#else
        _exit(state.code);
#endif
    }
};
