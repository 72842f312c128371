#include "platform/posix/CPageCommit.h"

#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Smaller blocks come from pages the allocator has in use.
const size_t kLeastPages = 16;

}  // namespace

void CPageCommit::Commit(void *block, size_t bytes)
{
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (start + page - 1) & ~(page - 1);
    const uintptr_t end = (start + bytes) & ~(page - 1);
    if (end <= first || (end - first) / page < kLeastPages)
        return;
    // A block the allocator had used before has its pages: both ends tell.
    unsigned char head = 0, tail = 0;
    if (mincore(reinterpret_cast<void *>(first), page, &head) == 0 &&
        mincore(reinterpret_cast<void *>(end - page), page, &tail) == 0 && (head & tail & 1) != 0)
        return;
    // One call faults them all in, without a trap for each.
    if (madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE) == 0)
        return;
    // A kernel without that advice: a write to each page, of what it holds.
    for (uintptr_t at = first; at < end; at += page) {
        volatile unsigned char *byte = reinterpret_cast<volatile unsigned char *>(at);
        *byte = *byte;
    }
}
