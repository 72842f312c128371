// A thread made by CreateThread, run by one of the kernel's workers.
#pragma once

#include <memory>

#include "platform/posix/kernel.h"
#include "platform/posix/kernel/CKernelCurrentThread.h"
#include "platform/posix/kernel/CKernelObject.h"

class CKernelWorker;

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
