// Mutexes.
#include "platform/posix/kernel/CKernelMutex.h"

#include <new>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelCurrentThread.h"

DWORD CKernelMutex::wait(const std::shared_ptr<CKernelMutex> &mutex, DWORD milliseconds)
{
    const DWORD self = CKernelCurrentThread::id();
    const struct timespec deadline = CKernelCondition::deadline(milliseconds);
    CKernelLock hold(mutex->m_condition);
    for (;;) {
        if (mutex->m_dwOwner == self) {
            if (mutex->m_dwCount >= 0x7FFFFFFFu)
                return WAIT_FAILED;
            mutex->m_dwCount += 1;
            return WAIT_OBJECT_0;
        }
        if (mutex->m_dwOwner == 0) {
            mutex->m_dwOwner = self;
            mutex->m_dwCount = 1;
            const bool abandoned = mutex->m_bAbandoned;
            mutex->m_bAbandoned = false;
            CKernelCurrentThread::owns(mutex);
            return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
        }
        // A wake-up that comes with the deadline is checked once more above,
        // so a release racing the time-out is not lost.
        if (!mutex->m_condition.wait_until(milliseconds, deadline) && mutex->m_dwOwner != 0)
            return WAIT_TIMEOUT;
    }
}

BOOL CKernelMutex::release()
{
    const DWORD self = CKernelCurrentThread::id();
    {
        CKernelLock hold(m_condition);
        if (m_dwOwner != self || m_dwCount == 0)
            return FALSE;
        if (--m_dwCount > 0)
            return TRUE;
        m_dwOwner = 0;
        m_condition.broadcast();
    }
    CKernelCurrentThread::disowns(this);
    return TRUE;
}

void CKernelMutex::abandon(DWORD owner)
{
    CKernelLock hold(m_condition);
    if (m_dwOwner != owner)
        return;
    m_dwOwner = 0;
    m_dwCount = 0;
    m_bAbandoned = true;
    m_condition.broadcast();
}

void CKernelMutex::survive_fork(DWORD forker)
{
    if (m_dwOwner != 0 && m_dwOwner != forker) {
        m_dwOwner = 0;
        m_dwCount = 0;
    }
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR)
{
    std::shared_ptr<CKernelMutex> mutex;
    try {
        mutex = std::make_shared<CKernelMutex>();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (initialOwner)
        CKernelMutex::wait(mutex, 0);
    return CKernelHandleTable::insert(mutex);
}

BOOL WINAPI ReleaseMutex(HANDLE handle)
{
    std::shared_ptr<CKernelObject> object = CKernelHandleTable::find(handle, CKernelObject::KIND_MUTEX);
    if (!object)
        return FALSE;
    return static_cast<CKernelMutex *>(object.get())->release();
}
