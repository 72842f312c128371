#include "support/CGuardedPages.h"

#include <sys/mman.h>
#include <unistd.h>

CGuardedPages::CGuardedPages(SIZE_T count) : m_pBase(NULL), m_nCount(count)
{
    void *base = mmap(NULL, count * PageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED)
        m_pBase = static_cast<LPBYTE>(base);
}

CGuardedPages::~CGuardedPages()
{
    // Unmapping over a released page is fine.
    if (m_pBase != NULL)
        munmap(m_pBase, m_nCount * PageSize());
}

SIZE_T CGuardedPages::PageSize()
{
    return static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
}

LPBYTE CGuardedPages::Page(SIZE_T index) const
{
    return m_pBase != NULL ? m_pBase + index * PageSize() : NULL;
}

bool CGuardedPages::Block(SIZE_T index)
{
    return m_pBase != NULL && mprotect(Page(index), PageSize(), PROT_NONE) == 0;
}

// The hole is free for the next mapping of the process; the tests look at it
// right away, with no other thread of theirs mapping memory.
bool CGuardedPages::Release(SIZE_T index)
{
    return m_pBase != NULL && munmap(Page(index), PageSize()) == 0;
}
