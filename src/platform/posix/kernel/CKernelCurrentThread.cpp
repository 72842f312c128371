// The calling thread's record, whoever made the thread: its id, its exit
// code and the mutexes it owns, which it abandons as it ends.
#include "platform/posix/kernel/CKernelCurrentThread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelList.h"
#include "platform/posix/kernel/CKernelMutex.h"
#include "platform/posix/kernel/CKernelObject.h"

// The record lives on the heap behind a pthread key, not a thread_local: the
// library then has no thread-local storage of its own, which a library
// loaded by dlopen gets only in blocks the C library (and sanitizers) track
// per thread. A thread that ends abandons what it holds and its record is
// freed by the key's destructor; a thread_local object's destructor would be
// registered on the heap, where a fork leaves it referenced only by threads
// the child does not have. The main thread's
// record stays until the process ends: key destructors do not run at
// exit(), and static destructors still wait on mutexes then.
class CKernelCurrentThread::CThreadEnd {
public:
    static void at_thread_end(void *record);
    static void make_key();
};

namespace {

pthread_once_t s_keyOnce = PTHREAD_ONCE_INIT;
pthread_key_t s_key;

// Every record, newest first. Constant-initialised and never destroyed:
// threads end while the process exits.
CKernelLeafLock s_recordsLock;
CKernelCurrentThread *s_pRecords = nullptr;

}  // namespace

void CKernelCurrentThread::CThreadEnd::make_key()
{
    pthread_key_create(&s_key, at_thread_end);
}

CKernelCurrentThread *CKernelCurrentThread::_existing()
{
    pthread_once(&s_keyOnce, CThreadEnd::make_key);
    return static_cast<CKernelCurrentThread *>(pthread_getspecific(s_key));
}

void CKernelCurrentThread::CThreadEnd::at_thread_end(void *record)
{
    CKernelCurrentThread *current = static_cast<CKernelCurrentThread *>(record);
    // The C library has cleared the key before calling here; the record is
    // the thread's own again while it abandons its mutexes.
    pthread_setspecific(s_key, current);
    CKernelCurrentThread::abandon_mutexes();
    if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid())
        return;
    current->_withdraw(true);
}

// No longer the calling thread's record: off the list, its mutexes let go.
void CKernelCurrentThread::_withdraw(bool free)
{
    pthread_setspecific(s_key, nullptr);
    // The last reference to a mutex may go with the list, outside the lock.
    std::shared_ptr<CKernelMutex> first[kOwnedInPlace];
    std::vector<std::shared_ptr<CKernelMutex>> more;
    _take_owned(first, more);
    // Off the list and freed in one hold of its lock, so that a fork never
    // finds the record unlisted but not yet freed.
    std::lock_guard<CKernelLeafLock> hold(s_recordsLock);
    _unlist();
    if (free)
        delete this;
}

// With s_recordsLock held.
void CKernelCurrentThread::_list()
{
    CKernelList::push(s_pRecords, this);
}

void CKernelCurrentThread::_unlist()
{
    CKernelList::unlink(s_pRecords, this);
}

void CKernelCurrentThread::_take_owned(std::shared_ptr<CKernelMutex> (&first)[kOwnedInPlace],
                                       std::vector<std::shared_ptr<CKernelMutex>> &more)
{
    for (DWORD i = 0; i < kOwnedInPlace; ++i)
        first[i] = std::move(m_owned[i]);
    more.swap(m_moreOwned);
}

void CKernelCurrentThread::adopt(CKernelCurrentThread &record)
{
    pthread_once(&s_keyOnce, CThreadEnd::make_key);
    CKernelFork::watch();
    {
        std::lock_guard<CKernelLeafLock> hold(s_recordsLock);
        record._list();
    }
    pthread_setspecific(s_key, &record);
}

void CKernelCurrentThread::leave()
{
    CKernelCurrentThread *current = _existing();
    if (!current)
        return;
    abandon_mutexes();
    // The record belongs to the thread's object, which frees it.
    current->_withdraw(false);
}

CKernelCurrentThread &CKernelCurrentThread::_get()
{
    CKernelCurrentThread *current = _existing();
    if (!current) {
        CKernelFork::watch();
        {
            // Made and listed in one hold of the lock, so that a fork never
            // finds it made but not listed.
            std::lock_guard<CKernelLeafLock> hold(s_recordsLock);
            current = new CKernelCurrentThread;
            current->_list();
        }
        pthread_setspecific(s_key, current);
    }
    return *current;
}

DWORD CKernelCurrentThread::existing_id()
{
    CKernelCurrentThread *current = _existing();
    return current ? current->m_dwId : 0;
}

void CKernelCurrentThread::before_fork()
{
    s_recordsLock.lock();
}

void CKernelCurrentThread::after_fork_in_parent()
{
    s_recordsLock.unlock();
}

// The records of the threads that vanished stay on the list for good, with
// the mutexes they list as owned (freed by their own fork handling).
void CKernelCurrentThread::after_fork_in_child()
{
    s_recordsLock.renew();
}

DWORD CKernelCurrentThread::next_id()
{
    static std::atomic<DWORD> next(0);
    DWORD id;
    do
        id = ++next;
    while (id == 0);
    return id;
}

DWORD CKernelCurrentThread::id()
{
    CKernelCurrentThread &current = _get();
    if (current.m_dwId == 0)
        current.m_dwId = next_id();
    return current.m_dwId;
}

void CKernelCurrentThread::set_id(DWORD id)
{
    _get().m_dwId = id;
}

DWORD CKernelCurrentThread::exit_code()
{
    return _get().m_dwExitCode;
}

void CKernelCurrentThread::set_exit_code(DWORD exitCode)
{
    _get().m_dwExitCode = exitCode;
}

void CKernelCurrentThread::owns(const std::shared_ptr<CKernelMutex> &mutex)
{
    CKernelCurrentThread &current = _get();
    for (std::shared_ptr<CKernelMutex> &slot : current.m_owned) {
        if (!slot) {
            slot = mutex;
            return;
        }
    }
    current.m_moreOwned.push_back(mutex);
}

void CKernelCurrentThread::disowns(const CKernelMutex *mutex)
{
    CKernelCurrentThread &current = _get();
    for (std::shared_ptr<CKernelMutex> &slot : current.m_owned) {
        if (slot.get() == mutex) {
            slot.reset();
            return;
        }
    }
    std::vector<std::shared_ptr<CKernelMutex>> &more = current.m_moreOwned;
    for (auto entry = more.begin(); entry != more.end(); ++entry) {
        if (entry->get() == mutex) {
            more.erase(entry);
            return;
        }
    }
}

void CKernelCurrentThread::abandon_mutexes()
{
    CKernelCurrentThread &current = _get();
    std::shared_ptr<CKernelMutex> first[kOwnedInPlace];
    std::vector<std::shared_ptr<CKernelMutex>> more;
    current._take_owned(first, more);
    for (const std::shared_ptr<CKernelMutex> &mutex : first) {
        if (mutex)
            mutex->abandon(current.m_dwId);
    }
    for (const std::shared_ptr<CKernelMutex> &mutex : more)
        mutex->abandon(current.m_dwId);
}

void WINAPI ExitThread(DWORD exitCode)
{
    CKernelCurrentThread::set_exit_code(exitCode);
    // Unwinds the stack, so the thread's end guard records the code.
    pthread_exit(nullptr);
}

DWORD WINAPI GetCurrentThreadId(void)
{
    return CKernelCurrentThread::id();
}
