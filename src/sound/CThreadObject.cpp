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
    if (m_hThread != NULL) {
        Terminate();
        CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    m_hThread = CreateThread(NULL, 0, proc, param, CREATE_SUSPENDED, &m_dwThreadId);
    if (m_hThread == NULL) {
        m_dwThreadId = 0;
        return FALSE;
    }
    return TRUE;
}

DWORD CThreadObject::Resume()
{
    if (m_hThread == NULL || m_dwThreadId == 0)
        return (DWORD)-1;
    return ResumeThread(m_hThread);
}

void CThreadObject::Terminate()
{
    if (m_hThread == NULL || m_dwThreadId == 0)
        return;
    EnterCriticalSection(&m_csThread);
    // Checked again inside: of two callers, only the first ends the thread.
    if (m_dwThreadId != 0) {
        TerminateThread(m_hThread, 0);
        m_dwThreadId = 0;
    }
    LeaveCriticalSection(&m_csThread);
}

BOOL CThreadObject::IsRunning()
{
    if (m_hThread == NULL)
        return FALSE;
    DWORD code = 0;
    if (!GetExitCodeThread(m_hThread, &code))
        return FALSE;
    return code == STILL_ACTIVE ? TRUE : FALSE;
}

void CThreadObject::CloseThread()
{
    Terminate();
    if (m_hThread != NULL)
        CloseHandle(m_hThread);
    m_hThread = NULL;
}
