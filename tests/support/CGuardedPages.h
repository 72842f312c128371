// Pages of this process with holes in them, for the tests of reads that must
// not fault. Owns a mapping of `count` pages, zeroed, readable and writable
// until a page is blocked or released, and gives it back whole.
#pragma once

#include "platform/winapi.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

class CGuardedPages {
public:
    explicit CGuardedPages(SIZE_T count) : m_nCount(count)
    {
#if defined(_WIN32)
        m_pBase = static_cast<LPBYTE>(VirtualAlloc(NULL, count * PageSize(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
#else
        void *base = mmap(NULL, count * PageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_pBase = base != MAP_FAILED ? static_cast<LPBYTE>(base) : NULL;
#endif
    }
    ~CGuardedPages()
    {
        if (m_pBase == NULL)
            return;
#if defined(_WIN32)
        VirtualFree(m_pBase, 0, MEM_RELEASE);
#else
        munmap(m_pBase, m_nCount * PageSize());  // also over released pages
#endif
    }
    CGuardedPages(const CGuardedPages &) = delete;
    CGuardedPages &operator=(const CGuardedPages &) = delete;

    static SIZE_T PageSize()
    {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#else
        return static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
#endif
    }

    // NULL when the pages could not be had.
    LPBYTE Page(SIZE_T index) const { return m_pBase != NULL ? m_pBase + index * PageSize() : NULL; }

    // Every access to the page is refused from now on.
    bool Block(SIZE_T index)
    {
#if defined(_WIN32)
        DWORD old;
        return m_pBase != NULL && VirtualProtect(Page(index), PageSize(), PAGE_NOACCESS, &old) != FALSE;
#else
        return m_pBase != NULL && mprotect(Page(index), PageSize(), PROT_NONE) == 0;
#endif
    }

    // Nothing is mapped at the page any more. On Windows it stays reserved;
    // elsewhere the tests look at it at once, mapping nothing meanwhile.
    bool Release(SIZE_T index)
    {
#if defined(_WIN32)
        return m_pBase != NULL && VirtualFree(Page(index), PageSize(), MEM_DECOMMIT) != FALSE;
#else
        return m_pBase != NULL && munmap(Page(index), PageSize()) == 0;
#endif
    }

private:
    LPBYTE m_pBase;
    SIZE_T m_nCount;
};
