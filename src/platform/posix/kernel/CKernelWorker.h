// The pthreads behind CreateThread. A worker runs the routine of one thread
// object (CKernelThread) at a time; when the routine returns, the worker
// parks and waits for the next, so that making a thread costs a hand-over
// rather than a new pthread, and starting it one wake-up. A worker parked
// for long ends; one whose routine calls ExitThread ends with it.
//
// What the thread objects promise (their ids, handles, exit codes, waits,
// suspension and termination) is kept by CKernelThread; a worker only
// carries one out once its thread may start.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>

#include "platform/posix/kernel.h"

class CKernelThread;

class CKernelWorker {
public:
    // A parked worker, or a new one, now bound to `thread`, which it runs
    // once go() is called (at once when `go`). A stack size other than 0
    // gets a worker of its own, which ends with its routine. Null when no
    // new pthread could be made.
    static CKernelWorker *bind(const std::shared_ptr<CKernelThread> &thread, SIZE_T stackSize, bool go);
    // The bound thread may start (resumed), or has ended before it did
    // (terminated while suspended); called once per binding.
    void go();

    // fork(): the lists are whole in the child, where the workers of the
    // other threads are gone: none is parked, and only the forking thread's
    // own worker, if it is one, goes on.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child();

private:
    CKernelWorker(bool pooled, const std::shared_ptr<CKernelThread> &thread, bool go);
    CKernelWorker(const CKernelWorker &) = delete;
    CKernelWorker &operator=(const CKernelWorker &) = delete;

    class CWorkerEnd;
    static void *_main(void *argument);
    // Parks until a thread is bound and may start; null once parked too long.
    std::shared_ptr<CKernelThread> _next(bool first);
    void _renew_condition();

    const bool m_bPooled;  // default stack: parks between routines
    pthread_t m_thread;
    pthread_cond_t m_cond;                // signalled by go(); with the workers' lock
    std::shared_ptr<CKernelThread> m_job; // bound, not yet taken
    bool m_bGo;
    bool m_bParked;
    std::atomic<int> m_nSignalling;       // go() calls still inside the signal
    CKernelWorker *m_pNextParked;
    friend class CKernelList;  // links the list of every worker
    CKernelWorker *m_pPrevious;
    CKernelWorker *m_pNext;
};
