// GlobalAlloc and GlobalFree.
#include "platform/posix/kernel/CKernelGlobalMemory.h"

#include <stdlib.h>

#include <mutex>
#include <unordered_set>

#include "platform/posix/CPageCommit.h"
#include "platform/winapi.h"
#include "platform/posix/kernel/CKernelFork.h"
#include "platform/posix/kernel/CKernelObject.h"

namespace {

// The addresses are kept inverted, so that the table does not count as a
// reference and a forgotten block is still reported by leak checkers.
typedef std::unordered_set<uintptr_t> CBlockSet;

// Never destroyed, for frees that come late in the process's exit.
CKernelLeafLock s_blocksLock;

CBlockSet &blocks()
{
    return CKernelOnce<CBlockSet>::get();
}

uintptr_t disguised(void *block)
{
    return ~reinterpret_cast<uintptr_t>(block);
}

}  // namespace

HGLOBAL CKernelGlobalMemory::allocate(UINT flags, SIZE_T bytes)
{
    // Only fixed memory: the handle is the block's address.
    if ((flags & ~GMEM_ZEROINIT) != 0)
        return nullptr;
    CKernelFork::watch();
    const size_t size = bytes == 0 ? 1 : bytes;
    // Zeroed only when asked: a block is mostly filled at once by its caller.
    void *block = (flags & GMEM_ZEROINIT) ? calloc(1, size) : malloc(size);
    if (!block)
        return nullptr;
    // Fixed memory is there when handed out: a large block's pages are made
    // in one go rather than faulted in one by one as the caller fills it.
    CPageCommit::Commit(block, size);
    CBlockSet &table = blocks();
    try {
        std::lock_guard<CKernelLeafLock> hold(s_blocksLock);
        table.insert(disguised(block));
    } catch (...) {
        ::free(block);
        return nullptr;
    }
    return block;
}

HGLOBAL CKernelGlobalMemory::free(HGLOBAL block)
{
    if (!block)
        return nullptr;
    CBlockSet &table = blocks();
    {
        std::lock_guard<CKernelLeafLock> hold(s_blocksLock);
        if (table.erase(disguised(block)) == 0)
            return block;  // not ours: refused, as Windows returns the handle
    }
    ::free(block);
    return nullptr;
}

void CKernelGlobalMemory::before_fork()
{
    s_blocksLock.lock();
}

void CKernelGlobalMemory::after_fork_in_parent()
{
    s_blocksLock.unlock();
}

void CKernelGlobalMemory::after_fork_in_child()
{
    s_blocksLock.renew();
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    return CKernelGlobalMemory::allocate(flags, bytes);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory)
{
    return CKernelGlobalMemory::free(memory);
}
