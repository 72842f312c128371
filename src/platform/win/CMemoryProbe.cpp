#include "platform/CMemoryProbe.h"

#include <stdint.h>
#include <string.h>

// The address space is asked region by region with VirtualQuery, which
// touches nothing: no structured exceptions, and no IsBadReadPtr, which
// would take the guard page off a stack it probes.

namespace {

const DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                        PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// The end of the readable region that holds `at`, or 0 when `at` cannot be
// read (also beyond the application's part of the address space).
uintptr_t readable_region_end(uintptr_t at)
{
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<LPCVOID>(at), &info, sizeof(info)) != sizeof(info))
        return 0;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
        (info.Protect & kReadable) == 0)
        return 0;
    return reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
}

}  // namespace

BOOL CMemoryProbe::CanRead(LPCVOID address, SIZE_T bytes)
{
    if (bytes == 0)
        return TRUE;
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t last = at + (bytes - 1);
    if (last < at)
        return FALSE;
    for (;;) {
        const uintptr_t end = readable_region_end(at);
        if (end == 0)
            return FALSE;
        if (end - 1 >= last)
            return TRUE;
        at = end;
    }
}

BOOL CMemoryProbe::CanReadString(LPCSTR text)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(text);
    for (;;) {
        const uintptr_t end = readable_region_end(at);
        if (end == 0)
            return FALSE;
        if (memchr(reinterpret_cast<LPCVOID>(at), 0, end - at) != NULL)
            return TRUE;
        at = end;
    }
}
