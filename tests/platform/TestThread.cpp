#include "TestThread.h"

#include <chrono>

static DWORD WINAPI run_body(LPVOID parameter)
{
    return (*static_cast<std::function<DWORD()> *>(parameter))();
}

HANDLE start_thread(std::function<DWORD()> &body, DWORD flags, LPDWORD threadId)
{
    return CreateThread(nullptr, 0, run_body, &body, flags, threadId);
}

bool eventually(const std::function<bool()> &condition, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();
        Sleep(1);
    }
    return true;
}
