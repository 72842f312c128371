#include "platform/posix/kernel/CKernelWorker.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

#include <algorithm>
#include <new>

#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelList.h"
#include "platform/posix/kernel/CKernelThread.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KERNEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KERNEL_SANITIZED 1
#endif
#endif

namespace {

// Our threads do little (a monitor loop), so a small stack is plenty; the
// sanitizers' instrumentation needs far more.
#if defined(KERNEL_SANITIZED)
const size_t DEFAULT_STACK = 1024 * 1024;
const size_t LEAST_STACK = 1024 * 1024;
#else
const size_t DEFAULT_STACK = 64 * 1024;
const size_t LEAST_STACK = 0;
#endif

// How long a worker stays parked before it ends: long enough for a program
// that plays a sound every few seconds to reuse its workers.
const time_t PARKED_SECONDS = 10;

// glibc carves the static TLS of every loaded module out of a thread's
// stack; in a host program with much TLS that would eat a small stack, or
// make pthread_create refuse it. The C library tells what it takes. Looked
// up once, under pthread_once, which a fork in the middle does not leave
// stuck in the child.
typedef size_t (*MinimumStack)(const pthread_attr_t *);
pthread_once_t s_minimumOnce = PTHREAD_ONCE_INIT;
MinimumStack s_minimum = nullptr;

void find_minimum()
{
#if defined(__GLIBC__)
    s_minimum = reinterpret_cast<MinimumStack>(dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
#endif
}

size_t stack_taken_by_the_c_library(const pthread_attr_t *attributes)
{
    pthread_once(&s_minimumOnce, find_minimum);
    if (s_minimum) {
        const size_t taken = s_minimum(attributes);
        return taken > static_cast<size_t>(PTHREAD_STACK_MIN) ? taken - PTHREAD_STACK_MIN : 0;
    }
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

// The workers' lock, over every worker's binding and the two lists below.
// A leaf: nothing else is taken while it is held. Constant-initialised and
// never destroyed: workers end while the process exits.
pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
// Every worker, so that after a fork those of vanished threads stay
// reachable; and the parked ones, the most recently parked first.
CKernelWorker *s_pWorkers = nullptr;
CKernelWorker *s_pParked = nullptr;

class CWorkersLock {
public:
    CWorkersLock() { pthread_mutex_lock(&s_lock); }
    ~CWorkersLock() { pthread_mutex_unlock(&s_lock); }
    CWorkersLock(const CWorkersLock &) = delete;
    CWorkersLock &operator=(const CWorkersLock &) = delete;
};

}  // namespace

// However the worker's pthread ends (its loop returns, or ExitThread unwinds
// it), the worker leaves the list and is freed.
class CKernelWorker::CWorkerEnd {
public:
    explicit CWorkerEnd(CKernelWorker *worker) : m_pWorker(worker) {}
    ~CWorkerEnd()
    {
        {
            CWorkersLock hold;
            CKernelList::unlink(s_pWorkers, m_pWorker);
        }
        while (m_pWorker->m_nSignalling.load(std::memory_order_acquire) != 0)
            sched_yield();
        pthread_cond_destroy(&m_pWorker->m_cond);
        delete m_pWorker;
    }
    CWorkerEnd(const CWorkerEnd &) = delete;
    CWorkerEnd &operator=(const CWorkerEnd &) = delete;

private:
    CKernelWorker *m_pWorker;
};

CKernelWorker::CKernelWorker(bool pooled, const std::shared_ptr<CKernelThread> &thread, bool go)
    : m_bPooled(pooled),
      m_thread(),
      m_job(thread),
      m_bGo(go),
      m_bParked(false),
      m_nSignalling(0),
      m_pNextParked(nullptr),
      m_pPrevious(nullptr),
      m_pNext(nullptr)
{
    _renew_condition();
}

void CKernelWorker::_renew_condition()
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &attributes);
    pthread_condattr_destroy(&attributes);
}

CKernelWorker *CKernelWorker::bind(const std::shared_ptr<CKernelThread> &thread, SIZE_T stackSize, bool go)
{
    CKernelFork::watch();
    CKernelWorker *worker = nullptr;
    if (stackSize == 0) {
        CWorkersLock hold;
        if ((worker = s_pParked) != nullptr) {
            s_pParked = worker->m_pNextParked;
            worker->m_pNextParked = nullptr;
            worker->m_bParked = false;
            worker->m_job = thread;
        }
    }
    if (worker) {
        if (go)
            worker->go();
        return worker;
    }
    worker = new (std::nothrow) CKernelWorker(stackSize == 0, thread, go);
    if (!worker)
        return nullptr;
    {
        CWorkersLock hold;
        CKernelList::push(s_pWorkers, worker);
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const size_t size = stack_size_for(stackSize, &attributes);
    int result = size == 0 ? EINVAL : pthread_attr_setstacksize(&attributes, size);
    pthread_t id;
    if (result == 0)
        result = pthread_create(&id, &attributes, _main, worker);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        {
            CWorkersLock hold;
            CKernelList::unlink(s_pWorkers, worker);
        }
        pthread_cond_destroy(&worker->m_cond);
        delete worker;
        return nullptr;
    }
    return worker;
}

void CKernelWorker::go()
{
    {
        CWorkersLock hold;
        m_bGo = true;
        m_nSignalling.fetch_add(1, std::memory_order_relaxed);
    }
    // Outside the lock, so that the worker does not wake only to wait for
    // it. The worker may then run its thread and end before the signal has
    // returned, so it waits for that before it frees the condition.
    pthread_cond_signal(&m_cond);
    m_nSignalling.fetch_sub(1, std::memory_order_release);
}

void *CKernelWorker::_main(void *argument)
{
    CKernelWorker *self = static_cast<CKernelWorker *>(argument);
    {
        // Known before its routine could fork.
        CWorkersLock hold;
        self->m_thread = pthread_self();
    }
    CWorkerEnd end(self);
    for (bool first = true;; first = false) {
        std::shared_ptr<CKernelThread> job = self->_next(first);
        if (!job)
            return nullptr;
        job->run();
        // Let go of the thread object here rather than while parked: its
        // handle may be closed already, and then this was the last holder.
        job.reset();
        if (!self->m_bPooled)
            return nullptr;
    }
}

std::shared_ptr<CKernelThread> CKernelWorker::_next(bool first)
{
    CWorkersLock hold;
    if (!first) {
        m_bParked = true;
        m_pNextParked = s_pParked;
        s_pParked = this;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += PARKED_SECONDS;
    while (!m_bGo) {
        if (!m_bParked) {
            // Bound, not yet resumed: no deadline.
            pthread_cond_wait(&m_cond, &s_lock);
        } else if (pthread_cond_timedwait(&m_cond, &s_lock, &deadline) == ETIMEDOUT && m_bParked) {
            CKernelWorker **link = &s_pParked;
            while (*link != this)
                link = &(*link)->m_pNextParked;
            *link = m_pNextParked;
            m_bParked = false;
            return nullptr;
        }
    }
    m_bGo = false;
    return std::move(m_job);
}

void CKernelWorker::before_fork()
{
    pthread_mutex_lock(&s_lock);
}

void CKernelWorker::after_fork_in_parent()
{
    pthread_mutex_unlock(&s_lock);
}

// The parked workers are gone with the parent's other threads; the forking
// thread may be a worker running its routine, which parks in the child when
// that returns. The others stay on the list for good, with the thread
// objects they were given (ended in the child by their own fork handling).
void CKernelWorker::after_fork_in_child()
{
    s_pParked = nullptr;
    const pthread_t self = pthread_self();
    for (CKernelWorker *worker = s_pWorkers; worker; worker = worker->m_pNext) {
        worker->m_bParked = false;
        worker->m_pNextParked = nullptr;
        if (pthread_equal(worker->m_thread, self)) {
            worker->m_nSignalling.store(0, std::memory_order_relaxed);
            worker->_renew_condition();
        }
    }
    pthread_mutex_init(&s_lock, nullptr);
}
