// Threads with Win32 semantics over the kernel's workers: created suspended
// or running, resumed, terminated only before they ran or after they ended,
// and an exit code that reads STILL_ACTIVE until the very end.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelList.h"
#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelMutex.h"
#include "platform/posix/kernel/CKernelThread.h"
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
