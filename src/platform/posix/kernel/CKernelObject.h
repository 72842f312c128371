// The objects behind kernel handles (mutexes, events and threads), the list
// of every such object, the table of live handles, and the locks they use.
#pragma once

#include <pthread.h>
#include <time.h>

#include <memory>

#include "platform/posix/wintypes.h"

// A short lock around a table of the kernel: never held while waiting for
// anything else. Constant-initialised and never destroyed, so that it may
// live in a static that threads still use while the process exits.
class CKernelLeafLock {
public:
    constexpr CKernelLeafLock() : m_mutex(PTHREAD_MUTEX_INITIALIZER) {}
    CKernelLeafLock(const CKernelLeafLock &) = delete;
    CKernelLeafLock &operator=(const CKernelLeafLock &) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    // In the child of a fork: free again, whoever held it in the parent.
    void renew() { pthread_mutex_init(&m_mutex, nullptr); }

private:
    pthread_mutex_t m_mutex;
};

// The one T of the kernel that threads use until the process ends: made on
// first use and never destroyed. pthread_once rather than a function's
// static, as a fork in the middle of making it does not leave it stuck in
// the child.
template <class T>
class CKernelOnce {
public:
    static T &get()
    {
        pthread_once(&s_once, _make);
        return *s_pObject;
    }

private:
    static void _make() { s_pObject = new T; }

    static pthread_once_t s_once;
    static T *s_pObject;
};

template <class T>
pthread_once_t CKernelOnce<T>::s_once = PTHREAD_ONCE_INIT;
template <class T>
T *CKernelOnce<T>::s_pObject = nullptr;

// A lock with one condition whose timed waits run on CLOCK_MONOTONIC, so that
// a change of the wall clock neither shortens nor stretches a time-out.
class CKernelCondition {
public:
    CKernelCondition() { _init(); }
    ~CKernelCondition();
    CKernelCondition(const CKernelCondition &) = delete;
    CKernelCondition &operator=(const CKernelCondition &) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    void broadcast() { pthread_cond_broadcast(&m_cond); }

    // The moment `milliseconds` from now; INFINITE has no deadline.
    static struct timespec deadline(DWORD milliseconds);
    // Waits with the lock held until woken or the deadline has passed;
    // false once the deadline has passed.
    bool wait_until(DWORD milliseconds, const struct timespec &deadline);

    // In the child of a fork: a free lock and a condition without waiters.
    // The old ones may count threads the child does not have; they are
    // dropped without being destroyed, which could wait for those threads.
    void renew() { _init(); }

private:
    void _init();

    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
};

// Scoped hold of a CKernelCondition's lock.
class CKernelLock {
public:
    explicit CKernelLock(CKernelCondition &condition) : m_condition(condition) { m_condition.lock(); }
    ~CKernelLock() { m_condition.unlock(); }
    CKernelLock(const CKernelLock &) = delete;
    CKernelLock &operator=(const CKernelLock &) = delete;

private:
    CKernelCondition &m_condition;
};

// What a handle refers to. The objects are owned by shared pointers: one held
// by the handle table per open handle, one by each caller inside a call, and
// one by a thread for its own object while it lives, so that closing a handle
// in the middle of another thread's wait frees nothing under its feet.
//
// Every object is also on one process-wide list (not a reference), so that
// fork() can find them all: each object's state is guarded by its one
// condition, which the fork takes while it copies the process.
class CKernelObject {
public:
    enum EKind { KIND_MUTEX, KIND_EVENT, KIND_THREAD };

    explicit CKernelObject(EKind kind);
    ~CKernelObject();
    CKernelObject(const CKernelObject &) = delete;
    CKernelObject &operator=(const CKernelObject &) = delete;

    const EKind m_eKind;

    // fork(): hold every object's condition, give them back in the parent,
    // and in the child renew them and put each object right for a process
    // whose only thread is `forker`.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child(DWORD forker);

protected:
    CKernelCondition m_condition;

private:
    friend class CKernelList;  // links the list below
    CKernelObject *m_pPrevious;
    CKernelObject *m_pNext;
};

// The live handles. Handle values are never reused, so a closed handle stays
// refused for good instead of reaching a later object.
class CKernelHandleTable {
public:
    static HANDLE insert(std::shared_ptr<CKernelObject> object);
    // Null for a closed, null or invented handle.
    static std::shared_ptr<CKernelObject> find(HANDLE handle);
    static std::shared_ptr<CKernelObject> find(HANDLE handle, CKernelObject::EKind kind);
    static bool remove(HANDLE handle);

    // fork(): the table is whole in the child, and its handles stay open.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child();
};
