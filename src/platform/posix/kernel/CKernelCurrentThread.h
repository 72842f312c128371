// The per-thread record that every thread of the process gets: its id, the
// mutexes it owns, its ExitThread code.
#pragma once

#include <memory>
#include <vector>

#include "platform/posix/kernel.h"

class CKernelMutex;

// Everything the kernel keeps about the calling thread, whoever made it.
// Every record is on one list, so that after a fork those of the threads
// the child does not have stay reachable instead of counting as leaks.
// The record of a thread made by CreateThread lives in its CKernelThread,
// made by the creating thread: such a thread allocates nothing for itself
// (and the C library sets up no heap arena for it), unless it owns more
// mutexes at once than the record holds.
class CKernelCurrentThread {
public:
    CKernelCurrentThread() = default;
    CKernelCurrentThread(const CKernelCurrentThread &) = delete;
    CKernelCurrentThread &operator=(const CKernelCurrentThread &) = delete;

    // The calling thread's record from now on is `record`, which it does not
    // own; until leave(), which abandons what the thread still holds.
    static void adopt(CKernelCurrentThread &record);
    static void leave();

    static DWORD id();
    static void set_id(DWORD id);
    static DWORD exit_code();
    static void set_exit_code(DWORD exitCode);
    static void owns(const std::shared_ptr<CKernelMutex> &mutex);
    static void disowns(const CKernelMutex *mutex);
    // Abandons every mutex the thread still holds; done as the thread ends.
    static void abandon_mutexes();

    // A fresh id for a thread, never 0.
    static DWORD next_id();
    // The calling thread's id if it has one yet, else 0; makes no record.
    static DWORD existing_id();

    // fork(): the list of records is whole in the child.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child();

private:
    class CThreadEnd;
    static CKernelCurrentThread &_get();
    // The calling thread's record, or null when it has none yet.
    static CKernelCurrentThread *_existing();
    void _list();
    void _unlist();
    // The mutexes owned: the first few in place, the rest on the heap.
    static constexpr DWORD kOwnedInPlace = 4;
    // Moves the owned mutexes out, so that they are let go outside any lock.
    void _take_owned(std::shared_ptr<CKernelMutex> (&first)[kOwnedInPlace],
                     std::vector<std::shared_ptr<CKernelMutex>> &more);
    // Ends the calling thread's use of the record; `free` deletes it.
    void _withdraw(bool free);

    DWORD m_dwId = 0;
    DWORD m_dwExitCode = 0;
    std::shared_ptr<CKernelMutex> m_owned[kOwnedInPlace];
    std::vector<std::shared_ptr<CKernelMutex>> m_moreOwned;
    friend class CKernelList;  // links the list below
    CKernelCurrentThread *m_pPrevious = nullptr;
    CKernelCurrentThread *m_pNext = nullptr;
};
