// A thread made by CreateThread, and the per-thread record that every thread
// of the process gets (its id, the mutexes it owns, its ExitThread code).
#pragma once

#include <memory>
#include <vector>

#include "kernel.h"
#include "kernel_object.h"

class CKernelMutex;

class CKernelThread : public CKernelObject {
public:
    CKernelThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id, bool suspended);

    // Starts the pthread (detached); false if the system refused it.
    static bool launch(const std::shared_ptr<CKernelThread> &thread, SIZE_T stackSize);

    DWORD resume();
    BOOL terminate(DWORD exitCode);
    DWORD exit_code();
    DWORD wait(DWORD milliseconds);

    DWORD id() const { return m_dwId; }

private:
    static void *_thread_main(void *argument);
    // Blocks the new thread while it is suspended; false if it was
    // terminated before it ever ran.
    bool _wait_for_start();
    void _finish(DWORD exitCode);

    class CEndGuard;

    CKernelCondition m_condition;
    const LPTHREAD_START_ROUTINE m_pStart;
    const LPVOID m_pParameter;
    const DWORD m_dwId;
    DWORD m_dwSuspendCount;
    bool m_bEnded;
    DWORD m_dwExitCode;
};

// Everything the kernel keeps about the calling thread, whoever made it.
class CKernelCurrentThread {
public:
    static DWORD id();
    static void set_id(DWORD id);
    static DWORD exit_code();
    static void set_exit_code(DWORD exitCode);
    static void owns(const std::shared_ptr<CKernelMutex> &mutex);
    static void disowns(const CKernelMutex *mutex);
    // Abandons every mutex the thread still holds; done as the thread ends.
    static void abandon_mutexes();

    // A fresh id for a thread, never 0.
    static DWORD next_id();

private:
    class CThreadEnd;
    static CKernelCurrentThread &_get();

    DWORD m_dwId = 0;
    DWORD m_dwExitCode = 0;
    std::vector<std::shared_ptr<CKernelMutex>> m_owned;
};
