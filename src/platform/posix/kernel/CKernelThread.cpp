// Threads with Win32 semantics over the kernel's workers: created suspended
// or running, resumed, terminated only before they ran or after they ended,
// and an exit code that reads STILL_ACTIVE until the very end.
#include "platform/posix/kernel/CKernelThread.h"

#include <new>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelWorker.h"

// Whatever way the thread's routine ends (a return, or ExitThread unwinding
// the stack), its mutexes are abandoned first and then its end is signalled,
// so that whoever waited for the end finds the mutexes free.
class CKernelThread::CEndGuard {
public:
    explicit CEndGuard(CKernelThread &thread) : m_thread(thread), m_bReturned(false), m_dwCode(0) {}
    ~CEndGuard()
    {
        CKernelCurrentThread::abandon_mutexes();
        m_thread._finish(m_bReturned ? m_dwCode : CKernelCurrentThread::exit_code());
    }
    CEndGuard(const CEndGuard &) = delete;
    CEndGuard &operator=(const CEndGuard &) = delete;

    CKernelThread &m_thread;
    bool m_bReturned;
    DWORD m_dwCode;
};

CKernelThread::CKernelThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id, bool suspended)
    : CKernelObject(KIND_THREAD),
      m_pStart(start),
      m_pParameter(parameter),
      m_dwId(id),
      m_pWorker(nullptr),
      m_dwSuspendCount(suspended ? 1 : 0),
      m_bEnded(false),
      m_dwExitCode(STILL_ACTIVE)
{
}

bool CKernelThread::launch(const std::shared_ptr<CKernelThread> &thread, SIZE_T stackSize)
{
    thread->m_pWorker = CKernelWorker::bind(thread, stackSize, thread->m_dwSuspendCount == 0);
    return thread->m_pWorker != nullptr;
}

// The thread's record is its object's until the thread ends, however it
// ends; after the end guard, which still uses it.
class CKernelThread::CRecordGuard {
public:
    explicit CRecordGuard(CKernelCurrentThread &record) { CKernelCurrentThread::adopt(record); }
    ~CRecordGuard() { CKernelCurrentThread::leave(); }
    CRecordGuard(const CRecordGuard &) = delete;
    CRecordGuard &operator=(const CRecordGuard &) = delete;
};

void CKernelThread::run()
{
    {
        CKernelLock hold(m_condition);
        if (m_bEnded)
            return;  // terminated before it ran
    }
    CRecordGuard record(m_record);
    CKernelCurrentThread::set_id(m_dwId);
    CEndGuard guard(*this);
    guard.m_dwCode = m_pStart(m_pParameter);
    guard.m_bReturned = true;
}

void CKernelThread::_finish(DWORD exitCode)
{
    CKernelLock hold(m_condition);
    m_dwExitCode = exitCode;
    m_bEnded = true;
    m_condition.broadcast();
}

DWORD CKernelThread::resume()
{
    DWORD previous;
    bool start;
    {
        CKernelLock hold(m_condition);
        previous = m_dwSuspendCount;
        start = m_dwSuspendCount > 0 && --m_dwSuspendCount == 0 && !m_bEnded;
    }
    // Its worker waits for nothing else; it cannot leave before this.
    if (start)
        m_pWorker->go();
    return previous;
}

BOOL CKernelThread::terminate(DWORD exitCode)
{
    {
        CKernelLock hold(m_condition);
        if (m_bEnded)
            return TRUE;
        // Ending a running thread from outside cannot be done safely here;
        // the only callers end threads that never ran or have already ended.
        if (m_dwSuspendCount == 0)
            return FALSE;
        m_dwSuspendCount = 0;
        m_dwExitCode = exitCode;
        m_bEnded = true;
        m_condition.broadcast();
    }
    // The worker finds it ended and goes back to its parking place.
    m_pWorker->go();
    return TRUE;
}

DWORD CKernelThread::exit_code()
{
    CKernelLock hold(m_condition);
    return m_bEnded ? m_dwExitCode : STILL_ACTIVE;
}

void CKernelThread::survive_fork(DWORD forker)
{
    if (m_dwId == forker)
        return;
    m_dwSuspendCount = 0;
    if (!m_bEnded) {
        m_bEnded = true;
        m_dwExitCode = ERROR_PROCESS_ABORTED;
    }
}

DWORD CKernelThread::wait(DWORD milliseconds)
{
    const struct timespec deadline = CKernelCondition::deadline(milliseconds);
    CKernelLock hold(m_condition);
    while (!m_bEnded) {
        if (!m_condition.wait_until(milliseconds, deadline))
            return m_bEnded ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    if (!start)
        return nullptr;
    const DWORD id = CKernelCurrentThread::next_id();
    std::shared_ptr<CKernelThread> thread;
    try {
        thread = std::make_shared<CKernelThread>(start, parameter, id, (flags & CREATE_SUSPENDED) != 0);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    // The handle exists before the thread runs, so that a routine that
    // looks up its own handle finds it.
    HANDLE handle = CKernelHandleTable::insert(thread);
    if (!CKernelThread::launch(thread, stackSize)) {
        CKernelHandleTable::remove(handle);
        return nullptr;
    }
    if (threadId)
        *threadId = id;
    return handle;
}

static std::shared_ptr<CKernelThread> find_thread(HANDLE handle)
{
    return std::static_pointer_cast<CKernelThread>(CKernelHandleTable::find(handle, CKernelObject::KIND_THREAD));
}

DWORD WINAPI ResumeThread(HANDLE handle)
{
    std::shared_ptr<CKernelThread> thread = find_thread(handle);
    return thread ? thread->resume() : static_cast<DWORD>(-1);
}

BOOL WINAPI TerminateThread(HANDLE handle, DWORD exitCode)
{
    std::shared_ptr<CKernelThread> thread = find_thread(handle);
    return thread ? thread->terminate(exitCode) : FALSE;
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode)
{
    std::shared_ptr<CKernelThread> thread = find_thread(handle);
    if (!thread || !exitCode)
        return FALSE;
    *exitCode = thread->exit_code();
    return TRUE;
}
