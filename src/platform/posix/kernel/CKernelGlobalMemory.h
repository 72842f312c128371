// Fixed global memory: a block's handle is its address. The table of the
// blocks handed out lets GlobalFree refuse anything else instead of
// corrupting the heap.
#pragma once

#include "platform/posix/kernel.h"

class CKernelGlobalMemory {
public:
    static HGLOBAL allocate(UINT flags, SIZE_T bytes);
    // Null once freed; the block itself when it is not ours.
    static HGLOBAL free(HGLOBAL block);

    // fork(): the table is whole in the child, which may free the blocks
    // it inherited.
    static void before_fork();
    static void after_fork_in_parent();
    static void after_fork_in_child();
};
