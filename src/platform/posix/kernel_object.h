// The objects behind kernel handles (mutexes, events and threads), the table of live
// handles, and the monotonic condition both kinds of object wait on.
#pragma once

#include <pthread.h>
#include <time.h>

#include <memory>

#include "wintypes.h"

// A lock with one condition whose timed waits run on CLOCK_MONOTONIC, so that
// a change of the wall clock neither shortens nor stretches a time-out.
class CKernelCondition {
public:
    CKernelCondition();
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

private:
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
class CKernelObject {
public:
    enum EKind { KIND_MUTEX, KIND_EVENT, KIND_THREAD };

    explicit CKernelObject(EKind kind) : m_eKind(kind) {}

    const EKind m_eKind;
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
};
