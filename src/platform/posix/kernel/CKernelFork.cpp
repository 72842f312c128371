#include "platform/posix/kernel/CKernelFork.h"

#include <pthread.h>

#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelGlobalMemory.h"
#include "platform/posix/kernel/CKernelObject.h"
#include "platform/posix/kernel/CKernelSection.h"
#include "platform/posix/kernel/CKernelCurrentThread.h"
#include "platform/posix/kernel/CKernelWorker.h"

namespace {

pthread_once_t s_watchOnce = PTHREAD_ONCE_INIT;

// The kernel id of the thread that forks (0 when it never needed one, and
// so owns nothing), taken in the parent without making a record.
DWORD s_dwForker = 0;

// The locks are taken in an order no other code nests them in: every one of
// them is a leaf, except that a kernel object's condition may be held while
// the thread's record is made.
void before_fork()
{
    s_dwForker = CKernelCurrentThread::existing_id();
    CKernelObject::before_fork();
    CKernelHandleTable::before_fork();
    CKernelGlobalMemory::before_fork();
    CKernelSection::before_fork();
    CKernelCurrentThread::before_fork();
    CKernelWorker::before_fork();
}

void after_fork_in_parent()
{
    CKernelWorker::after_fork_in_parent();
    CKernelCurrentThread::after_fork_in_parent();
    CKernelSection::after_fork_in_parent();
    CKernelGlobalMemory::after_fork_in_parent();
    CKernelHandleTable::after_fork_in_parent();
    CKernelObject::after_fork_in_parent();
}

void after_fork_in_child()
{
    CKernelWorker::after_fork_in_child();
    CKernelCurrentThread::after_fork_in_child();
    CKernelSection::after_fork_in_child(s_dwForker);
    CKernelGlobalMemory::after_fork_in_child();
    CKernelHandleTable::after_fork_in_child();
    CKernelObject::after_fork_in_child(s_dwForker);
}

void register_handlers()
{
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace

void CKernelFork::watch()
{
    pthread_once(&s_watchOnce, register_handlers);
}
