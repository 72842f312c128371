// Makes the pages of a large block now, on the thread that asks: a block
// fresh from the system has none yet, and whoever writes it first (a play,
// a copy) would take a page fault for each of its pages. Owns nothing.
#pragma once

#include <stddef.h>

class CPageCommit {
public:
    // The pages that lie wholly inside the block, when it has at least a few
    // of them and they are not there yet; the contents are kept.
    static void Commit(void *block, size_t bytes);
};
