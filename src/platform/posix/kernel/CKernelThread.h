// A thread made by CreateThread, and the per-thread record that every thread
// of the process gets (its id, the mutexes it owns, its ExitThread code).
#pragma once

#include <memory>
#include <vector>

#include "platform/posix/kernel.h"
#include "platform/posix/kernel/CKernelObject.h"

class CKernelMutex;
class CKernelWorker;

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

// A thread made by CreateThread: its id, suspension, exit code and end. Its
// routine runs on a worker (CKernelWorker), a pthread that may have run
// other threads' routines before and will run others after.
class CKernelThread : public CKernelObject {
public:
    CKernelThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id, bool suspended);

    // Hands the thread to a worker, which runs it as soon as it is not
    // suspended; false if the system refused a new pthread.
    static bool launch(const std::shared_ptr<CKernelThread> &thread, SIZE_T stackSize);

    DWORD resume();
    BOOL terminate(DWORD exitCode);
    DWORD exit_code();
    DWORD wait(DWORD milliseconds);

    DWORD id() const { return m_dwId; }

    // On the worker, once the thread may start: the routine, unless the
    // thread was terminated first, then the thread's end.
    void run();

    // In the child of a fork: ended, unless it is `forker` itself, which
    // goes on there. Its code is ERROR_PROCESS_ABORTED: not STILL_ACTIVE,
    // and not a code its routine could have returned on success, for the
    // routine never finished; that is Windows' code for work cut off with
    // its process, as this thread's was with the parent.
    void survive_fork(DWORD forker);

private:
    class CRecordGuard;
    class CEndGuard;
    void _finish(DWORD exitCode);

    const LPTHREAD_START_ROUTINE m_pStart;
    const LPVOID m_pParameter;
    const DWORD m_dwId;
    // Told to go once the suspension is over; set before the handle exists.
    CKernelWorker *m_pWorker;
    DWORD m_dwSuspendCount;
    bool m_bEnded;
    DWORD m_dwExitCode;
    // The thread's record, while it runs.
    CKernelCurrentThread m_record;
};
