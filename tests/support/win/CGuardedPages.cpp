#include "support/CGuardedPages.h"

CGuardedPages::CGuardedPages(SIZE_T count) : m_pBase(NULL), m_nCount(count)
{
    m_pBase = static_cast<LPBYTE>(VirtualAlloc(NULL, count * PageSize(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

CGuardedPages::~CGuardedPages()
{
    if (m_pBase != NULL)
        VirtualFree(m_pBase, 0, MEM_RELEASE);
}

SIZE_T CGuardedPages::PageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

LPBYTE CGuardedPages::Page(SIZE_T index) const
{
    return m_pBase != NULL ? m_pBase + index * PageSize() : NULL;
}

bool CGuardedPages::Block(SIZE_T index)
{
    DWORD old;
    return m_pBase != NULL && VirtualProtect(Page(index), PageSize(), PAGE_NOACCESS, &old) != FALSE;
}

// Decommitted, the page stays reserved for us: nothing else can be mapped
// there while the test looks.
bool CGuardedPages::Release(SIZE_T index)
{
    return m_pBase != NULL && VirtualFree(Page(index), PageSize(), MEM_DECOMMIT) != FALSE;
}
