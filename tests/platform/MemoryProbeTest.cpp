// The probe of the application's memory, against the real address space:
// natively through system calls that answer EFAULT rather than fault, under
// Wine through VirtualQuery.
#include "platform/CMemoryProbe.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include "MemoryProbeTable.h"
#include "support/CGuardedPages.h"

void expect_probe_answers()
{
    // a...a | b...b with a zero at 10 | blocked | released
    CGuardedPages pages(4);
    const SIZE_T P = CGuardedPages::PageSize();
    ASSERT_NE(pages.Page(0), nullptr);
    memset(pages.Page(0), 'a', P);
    memset(pages.Page(1), 'b', P);
    pages.Page(1)[10] = '\0';
    ASSERT_TRUE(pages.Block(2));
    ASSERT_TRUE(pages.Release(3));

    static const char kText[] = "sounds/a tone.wav";
    struct {
        const char *what;
        const void *address;
        SIZE_T bytes;
        BOOL readable;        // the range
        BOOL stringReadable;  // a string from the same address
    } const rows[] = {
        {"null", nullptr, 1, FALSE, FALSE},
        {"address 16", reinterpret_cast<const void *>(16), 16, FALSE, FALSE},
        {"a blocked page", pages.Page(2), 1, FALSE, FALSE},
        {"a released page", pages.Page(3), 1, FALSE, FALSE},
        {"text in the program", kText, sizeof(kText), TRUE, TRUE},
        {"two readable pages", pages.Page(0), 2 * P, TRUE, TRUE},
        {"one byte into the blocked page", pages.Page(0), 2 * P + 1, FALSE, TRUE},
        {"a string across a page to its zero", pages.Page(0) + P - 5, 16, TRUE, TRUE},
        {"a guid that ends with its page", pages.Page(1) + P - 16, 16, TRUE, FALSE},
        {"a guid that runs into the blocked page", pages.Page(1) + P - 15, 16, FALSE, FALSE},
        {"no bytes at 16", reinterpret_cast<const void *>(16), 0, TRUE, FALSE},
        {"a range that wraps", pages.Page(0), SIZE_MAX, FALSE, TRUE},
        {"the last byte of the address space", reinterpret_cast<const void *>(UINTPTR_MAX), 1, FALSE, FALSE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(CMemoryProbe::CanRead(row.address, row.bytes), row.readable);
        EXPECT_EQ(CMemoryProbe::CanReadString(static_cast<const char *>(row.address)), row.stringReadable);
    }

    // Many pages in one question, as a large image is asked about, with a
    // hole far beyond the first thousand pages.
    const SIZE_T kPages = 2100, kHole = 2050;
    CGuardedPages large(kPages);
    ASSERT_NE(large.Page(0), nullptr);
    ASSERT_TRUE(large.Block(kHole));
    EXPECT_TRUE(CMemoryProbe::CanRead(large.Page(0), kHole * P));
    EXPECT_FALSE(CMemoryProbe::CanRead(large.Page(1) + 7, kPages * P - P - 7));
}

TEST(MemoryProbe, JudgesEachAddressOfTheTable)
{
    expect_probe_answers();
}
