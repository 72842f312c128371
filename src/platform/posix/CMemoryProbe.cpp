#include "platform/CMemoryProbe.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

// The kernel is asked through system calls that answer an error where a load
// would fault. The first asks for the whole range at once: MADV_POPULATE_READ
// faults the pages in as the read that follows would, without reading them,
// and fails for a hole, a page that may not be read or one past the end of
// a mapped file. Where the kernel does not know that advice, or cannot say
// (mappings of devices), pages are readable whole, so one byte of each
// tells: those bytes are written into a pipe and drained again, or, without
// a descriptor to spare, read with process_vm_readv on the own process. The
// pipe comes before process_vm_readv because it is the cheaper by far: the
// other pins every page it reads. A question none can answer (no descriptor,
// and a sandbox that refuses process_vm_readv) counts as unreadable.
//
// The calls go through syscall() rather than their C wrappers: the
// sanitizers' wrappers would take a probe for a read of the bytes themselves.

namespace {

// Pages per call: the kernel takes at most IOV_MAX pieces at once, and a pipe
// write of at most PIPE_BUF bytes is done whole or not at all.
const SIZE_T kBatch = 1024;
static_assert(kBatch <= IOV_MAX && kBatch <= PIPE_BUF, "one batch per call");

const int kUnreadable = 0;
const int kReadable = 1;
const int kCannotTell = -1;

uintptr_t page_size()
{
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// One byte of each page, from the page-aligned `first` on.
void aim(struct iovec *pieces, uintptr_t first, SIZE_T count)
{
    for (SIZE_T i = 0; i < count; ++i) {
        pieces[i].iov_base = reinterpret_cast<void *>(first + i * page_size());
        pieces[i].iov_len = 1;
    }
}

int readable_by_pipe(uintptr_t first, SIZE_T count)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return kCannotTell;
    char sink[kBatch];
    struct iovec pieces[kBatch];
    int answer = kReadable;
    for (SIZE_T done = 0; answer == kReadable && done < count;) {
        const SIZE_T n = count - done < kBatch ? count - done : kBatch;
        aim(pieces, first + done * page_size(), n);
        long put;
        do
            put = syscall(SYS_writev, ends[1], pieces, static_cast<long>(n));
        while (put < 0 && errno == EINTR);
        // The pipe is empty and the write no longer than PIPE_BUF: it went
        // in whole, or one of the pages faulted.
        if (put != static_cast<long>(n)) {
            answer = put < 0 && errno == EFAULT ? kUnreadable : kCannotTell;
            break;
        }
        SIZE_T drained = 0;
        while (drained < n) {
            const long got = syscall(SYS_read, ends[0], sink, n - drained);
            if (got > 0)
                drained += static_cast<SIZE_T>(got);
            else if (got == 0 || errno != EINTR)
                break;
        }
        if (drained != n)
            answer = kCannotTell;
        done += n;
    }
    close(ends[0]);
    close(ends[1]);
    return answer;
}

int readable_by_vm(uintptr_t first, SIZE_T count)
{
    char sink[kBatch];
    struct iovec pieces[kBatch];
    const long self = static_cast<long>(getpid());
    for (SIZE_T done = 0; done < count;) {
        const SIZE_T n = count - done < kBatch ? count - done : kBatch;
        aim(pieces, first + done * page_size(), n);
        struct iovec local = {sink, n};
        // A fault ends the copy at the piece it hits: fewer bytes, or EFAULT
        // when it is the first.
        const long got = syscall(SYS_process_vm_readv, self, &local, 1UL, pieces,
                                 static_cast<unsigned long>(n), 0UL);
        if (got < 0)
            return errno == EFAULT ? kUnreadable : kCannotTell;
        if (static_cast<SIZE_T>(got) != n)
            return kUnreadable;
        done += n;
    }
    return kReadable;
}

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

int readable_by_advice(uintptr_t first, SIZE_T count)
{
    long result;
    do
        result = syscall(SYS_madvise, first, count * page_size(), MADV_POPULATE_READ);
    while (result != 0 && (errno == EINTR || errno == EAGAIN));
    if (result == 0)
        return kReadable;
    // EINVAL: an advice the kernel does not know, or a mapping it cannot
    // populate (a device's, or one without read access): the pages tell.
    return errno == ENOMEM || errno == EFAULT || errno == EHWPOISON ? kUnreadable : kCannotTell;
}

BOOL pages_readable(uintptr_t first, SIZE_T count)
{
    int answer = readable_by_advice(first, count);
    if (answer == kCannotTell)
        answer = readable_by_pipe(first, count);
    if (answer == kCannotTell)
        answer = readable_by_vm(first, count);
    return answer == kReadable ? TRUE : FALSE;
}

}  // namespace

BOOL CMemoryProbe::CanRead(LPCVOID address, SIZE_T bytes)
{
    if (bytes == 0)
        return TRUE;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    const uintptr_t last = start + (bytes - 1);
    if (last < start)
        return FALSE;
    const uintptr_t first = start & ~(page_size() - 1);
    return pages_readable(first, (last - first) / page_size() + 1);
}

BOOL CMemoryProbe::CanReadString(LPCSTR text)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(text);
    for (;;) {
        const uintptr_t first = at & ~(page_size() - 1);
        if (!pages_readable(first, 1))
            return FALSE;
        // On the last page of the address space `end` is 0, and the span
        // still comes out right.
        const uintptr_t end = first + page_size();
        if (memchr(reinterpret_cast<const void *>(at), 0, end - at) != NULL)
            return TRUE;
        if (end == 0)
            return FALSE;
        at = end;
    }
}
