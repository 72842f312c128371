// The holder of one worker thread. The thread is created suspended, so that
// its owner can prepare everything the thread reads before it lets it run,
// and it counts as running until it has ended. The fields change only under
// m_csThread, so that one thread may ask whether the thread runs while
// another replaces it.
#pragma once

#include "platform/winapi.h"

class CThreadObject {
public:
    CThreadObject();
    ~CThreadObject();

    // Creates the thread suspended; ends and closes an earlier thread first.
    BOOL Create(LPTHREAD_START_ROUTINE proc, LPVOID param);
    // Lets the thread run: the previous suspend count, or (DWORD)-1.
    DWORD Resume();
    // Ends a thread that still has an id. Only ever applied to a thread that
    // is still suspended or has already ended.
    void Terminate();
    // 1 while the thread exists and has not ended (also while suspended).
    BOOL IsRunning();
    // Waits for the thread's end: WAIT_OBJECT_0 at once when there is none.
    // Only the owner waits, and only after telling the thread to stop.
    DWORD Wait(DWORD milliseconds);

protected:
    // The holder's clean-up: ends a thread that still has an id and closes
    // the handle. The critical section lives until destruction.
    void CloseThread();

    HANDLE m_hThread;            // the worker thread; null when there is none
    CRITICAL_SECTION m_csThread; // guards both fields; serialises forced termination
    DWORD m_dwThreadId;          // 0 when there is no thread or it was terminated

private:
    CThreadObject(const CThreadObject &) = delete;
    CThreadObject &operator=(const CThreadObject &) = delete;

    friend struct CThreadObjectProbe;
};
