// A Win32 mutex: owned by one thread, recursive, with bounded waits, and
// abandoned when its owner ends while holding it.
#pragma once

#include <memory>

#include "platform/posix/kernel/CKernelObject.h"

class CKernelMutex : public CKernelObject {
public:
    CKernelMutex() : CKernelObject(KIND_MUTEX), m_dwOwner(0), m_dwCount(0), m_bAbandoned(false) {}

    // WAIT_OBJECT_0, WAIT_ABANDONED (taken over from an ended owner),
    // WAIT_TIMEOUT, or WAIT_FAILED when the recursion count is exhausted.
    static DWORD wait(const std::shared_ptr<CKernelMutex> &mutex, DWORD milliseconds);
    // FALSE unless the calling thread owns the mutex.
    BOOL release();
    // Called on the owner's own thread as it ends.
    void abandon(DWORD owner);
    // In the child of a fork: free unless `forker` owns it. Its owner did
    // not end inside a wait, it vanished with the parent's other threads, so
    // the next taker gets a plain WAIT_OBJECT_0, not WAIT_ABANDONED.
    void survive_fork(DWORD forker);

private:
    DWORD m_dwOwner;  // thread id, 0 when free
    DWORD m_dwCount;  // recursion depth of the owner
    bool m_bAbandoned;
};
