#include "sound/CThreadObject.h"

CThreadObject::CThreadObject() : m_hThread(NULL), m_dwThreadId(0)
{
    InitializeCriticalSection(&m_csThread);
}

CThreadObject::~CThreadObject()
{
    CloseThread();
    DeleteCriticalSection(&m_csThread);
}

BOOL CThreadObject::Create(LPTHREAD_START_ROUTINE proc, LPVOID param)
{
    EnterCriticalSection(&m_csThread);
    if (m_hThread != NULL) {
        Terminate();
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    m_hThread = CreateThread(NULL, 0, proc, param, CREATE_SUSPENDED, &m_dwThreadId);
    if (m_hThread == NULL)
        m_dwThreadId = 0;
    const BOOL created = m_hThread != NULL;
    LeaveCriticalSection(&m_csThread);
    return created;
}

DWORD CThreadObject::Resume()
{
    EnterCriticalSection(&m_csThread);
    const DWORD previous =
        m_hThread == NULL || m_dwThreadId == 0 ? (DWORD)-1 : ResumeThread(m_hThread);
    LeaveCriticalSection(&m_csThread);
    return previous;
}

void CThreadObject::Terminate()
{
    EnterCriticalSection(&m_csThread);
    // Of two callers, only the first ends the thread.
    if (m_hThread != NULL && m_dwThreadId != 0) {
        TerminateThread(m_hThread, 0);
        m_dwThreadId = 0;
    }
    LeaveCriticalSection(&m_csThread);
}

BOOL CThreadObject::IsRunning()
{
    EnterCriticalSection(&m_csThread);
    DWORD code = 0;
    const BOOL running =
        m_hThread != NULL && GetExitCodeThread(m_hThread, &code) && code == STILL_ACTIVE;
    LeaveCriticalSection(&m_csThread);
    return running;
}

DWORD CThreadObject::Wait(DWORD milliseconds)
{
    EnterCriticalSection(&m_csThread);
    HANDLE thread = m_hThread;
    LeaveCriticalSection(&m_csThread);
    // Outside the section: a wait must not hold up IsRunning() on another
    // thread. The handle stays open, since only the owner's next Create or
    // clean-up closes it, and the owner is the one waiting.
    return thread == NULL ? WAIT_OBJECT_0 : WaitForSingleObject(thread, milliseconds);
}

void CThreadObject::CloseThread()
{
    EnterCriticalSection(&m_csThread);
    Terminate();
    if (m_hThread != NULL)
        CloseHandle(m_hThread);
    m_hThread = NULL;
    LeaveCriticalSection(&m_csThread);
}
