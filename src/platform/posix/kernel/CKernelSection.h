// A critical section as the stand-in keeps it inside the caller's opaque
// CRITICAL_SECTION, as the real one keeps its state inside the structure: a
// plain lock, the kernel id of its owner and the owner's recursion count,
// and the links of the list of the sections in use. Counting the recursion
// here, rather than in a recursive pthread mutex, tells who owns a section,
// which is what fork() needs to know.
//
// The child of a fork starts a new list: the sections it inherited join it
// when they are next entered. A section that only a vanished thread used
// (one on that thread's stack, which the child's next thread may reuse) is
// then never looked at again.
#pragma once

#include <pthread.h>

#include <atomic>

#include "platform/posix/kernel.h"

class CKernelSection {
public:
    // Placed in `storage` and put on the list.
    static void initialize(LPCRITICAL_SECTION storage);
    // The section an initialised CRITICAL_SECTION holds.
    static CKernelSection *in(LPCRITICAL_SECTION storage);

    void enter();
    // Entered if no other thread holds it.
    bool try_enter();
    // Ignored unless the calling thread owns the section.
    void leave();
    // Off the list; the storage may then be reused.
    void remove();

    // fork(): the list is whole in the child. There a section is free
    // unless the forking thread owns it: one held by a vanished thread
    // would otherwise stay held for good.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child(DWORD forker);

private:
    CKernelSection() = default;
    // Onto the list of this process, for a section inherited through a fork.
    void _adopt();
    // Entered, waiting for it when `wait`; false when it was not.
    bool _take(bool wait);
    void _link();

    pthread_mutex_t m_mutex;
    std::atomic<DWORD> m_dwOwner;  // read by other threads only to learn it is not theirs
    DWORD m_dwCount;               // written by the owner alone
    std::atomic<DWORD> m_dwGeneration;  // the fork generation of the list it is on
    friend class CKernelList;  // links the list below
    CKernelSection *m_pPrevious;
    CKernelSection *m_pNext;
};
