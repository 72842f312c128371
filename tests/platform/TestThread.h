// Helpers for the kernel tests: threads that run a lambda, and waits for a
// condition with a generous deadline.
#pragma once

#include <functional>

#include "platform/winapi.h"

// Starts CreateThread on `body`, which must outlive the thread.
HANDLE start_thread(std::function<DWORD()> &body, DWORD flags = 0, LPDWORD threadId = nullptr);

// Polls `condition` until it holds or `seconds` have passed; its final answer.
bool eventually(const std::function<bool()> &condition, int seconds = 10);

// Long enough for any thread to end on a busy machine.
const DWORD GENEROUS_MS = 10000;
