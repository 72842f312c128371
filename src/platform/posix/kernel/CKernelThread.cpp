// Threads with Win32 semantics over detached pthreads: created suspended or
// running, resumed, terminated only before they ran or after they ended,
// and an exit code that reads STILL_ACTIVE until the very end.
#include <errno.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <dlfcn.h>
#endif
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelList.h"
#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelMutex.h"
#include "platform/posix/kernel/CKernelThread.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KERNEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KERNEL_SANITIZED 1
#endif
#endif

namespace {

// Our threads do little (a poll loop), so a small stack is plenty; the
// sanitizers' instrumentation needs far more.
#if defined(KERNEL_SANITIZED)
const size_t DEFAULT_STACK = 1024 * 1024;
const size_t LEAST_STACK = 1024 * 1024;
#else
const size_t DEFAULT_STACK = 64 * 1024;
const size_t LEAST_STACK = 0;
#endif

// glibc carves the static TLS of every loaded module out of a thread's
// stack; in a host program with much TLS that would eat a small stack, or
// make pthread_create refuse it. The C library tells what it takes.
size_t stack_taken_by_the_c_library(const pthread_attr_t *attributes)
{
#if defined(__GLIBC__)
    typedef size_t (*MinimumStack)(const pthread_attr_t *);
    static const MinimumStack minimum =
        reinterpret_cast<MinimumStack>(dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
    if (minimum) {
        const size_t taken = minimum(attributes);
        return taken > static_cast<size_t>(PTHREAD_STACK_MIN) ? taken - PTHREAD_STACK_MIN : 0;
    }
#endif
    (void)attributes;
    return 0;
}

size_t stack_size_for(SIZE_T requested, const pthread_attr_t *attributes)
{
    size_t size = requested == 0 ? DEFAULT_STACK : requested;
    size = std::max(size, LEAST_STACK);
    long least = PTHREAD_STACK_MIN;
#if defined(_SC_THREAD_STACK_MIN)
    least = std::max(least, sysconf(_SC_THREAD_STACK_MIN));
#endif
    size = std::max(size, static_cast<size_t>(least));
    const size_t taken = stack_taken_by_the_c_library(attributes);
    if (size > SIZE_MAX - taken)
        return 0;
    size += taken;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) {
        const size_t p = static_cast<size_t>(page);
        if (size > SIZE_MAX - p)
            return 0;
        size = (size + p - 1) / p * p;
    }
    return size;
}

}  // namespace

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
      m_dwSuspendCount(suspended ? 1 : 0),
      m_bEnded(false),
      m_dwExitCode(STILL_ACTIVE)
{
}

bool CKernelThread::launch(const std::shared_ptr<CKernelThread> &thread, SIZE_T stackSize)
{
    thread->m_self = thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const size_t size = stack_size_for(stackSize, &attributes);
    int result = size == 0 ? EINVAL : pthread_attr_setstacksize(&attributes, size);
    pthread_t id;
    if (result == 0)
        result = pthread_create(&id, &attributes, _thread_main, thread.get());
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        thread->m_self.reset();
        return false;
    }
    return true;
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

void *CKernelThread::_thread_main(void *argument)
{
    std::shared_ptr<CKernelThread> self = std::move(static_cast<CKernelThread *>(argument)->m_self);
    CRecordGuard record(self->m_record);
#if defined(__linux__)
    // Windows times waits on a 15.6 ms tick; a few milliseconds of slack let
    // the kernel wake many such threads with one timer interrupt instead of
    // one each (a sound's monitor thread wakes 20 times a second).
    prctl(PR_SET_TIMERSLACK, 4000000UL, 0, 0, 0);
#endif
    CKernelCurrentThread::set_id(self->m_dwId);
    if (!self->_wait_for_start())
        return nullptr;
    CEndGuard guard(*self);
    guard.m_dwCode = self->m_pStart(self->m_pParameter);
    guard.m_bReturned = true;
    return nullptr;
}

bool CKernelThread::_wait_for_start()
{
    const struct timespec none = CKernelCondition::deadline(INFINITE);
    CKernelLock hold(m_condition);
    while (m_dwSuspendCount > 0 && !m_bEnded)
        m_condition.wait_until(INFINITE, none);
    return !m_bEnded;
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
    CKernelLock hold(m_condition);
    const DWORD previous = m_dwSuspendCount;
    if (m_dwSuspendCount > 0 && --m_dwSuspendCount == 0)
        m_condition.broadcast();
    return previous;
}

BOOL CKernelThread::terminate(DWORD exitCode)
{
    CKernelLock hold(m_condition);
    if (m_bEnded)
        return TRUE;
    // Ending a running thread from outside cannot be done safely here; the
    // only callers end threads that never ran or have already ended.
    if (m_dwSuspendCount == 0)
        return FALSE;
    m_dwSuspendCount = 0;
    m_dwExitCode = exitCode;
    m_bEnded = true;
    m_condition.broadcast();  // the pthread wakes and leaves without running the routine
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
