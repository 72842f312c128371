// Pages of this process with holes in them, for the tests of reads that must
// not fault. Owns a mapping of `count` pages, zeroed, readable and writable
// until a page is blocked or released, and gives it back whole.
#pragma once

#include "platform/winapi.h"

class CGuardedPages {
public:
    explicit CGuardedPages(SIZE_T count);
    ~CGuardedPages();
    CGuardedPages(const CGuardedPages &) = delete;
    CGuardedPages &operator=(const CGuardedPages &) = delete;

    static SIZE_T PageSize();

    // NULL when the pages could not be had.
    LPBYTE Page(SIZE_T index) const;
    // Every access to the page is refused from now on.
    bool Block(SIZE_T index);
    // The page is given back: nothing is mapped at its address any more.
    bool Release(SIZE_T index);

private:
    LPBYTE m_pBase;
    SIZE_T m_nCount;
};
