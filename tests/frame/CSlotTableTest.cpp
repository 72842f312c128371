// The slot table: lowest-free-slot placement, scans by the shared cursor,
// identity lookups that never dereference, and destruction in slot order.
#include "frame/CSlotTable.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    explicit Item(int tag, std::vector<int> *destroyed) : m_tag(tag), m_destroyed(destroyed) {}
    void Destroy() { m_destroyed->push_back(m_tag); }
    int m_tag;
    std::vector<int> *m_destroyed;
};

class SlotTable : public ::testing::Test {
protected:
    // Adds an item the way the owners do: lowest free slot, read back.
    Item *Add(int tag)
    {
        const int slot = table.FindFreeSlot();
        if (slot < 0)
            return nullptr;
        return table.Put(slot, new Item(tag, &destroyed));
    }
    std::vector<int> Scan()
    {
        std::vector<int> tags;
        for (Item *item = table.First(); item; item = table.Next())
            tags.push_back(item->m_tag);
        return tags;
    }

    std::vector<int> destroyed;
    CSlotTable<Item> table;
};

TEST_F(SlotTable, ScansByTheSharedCursorFindTheLastSlotOnceAndStayEnded)
{
    EXPECT_EQ(table.GetCapacity(), 32);
    EXPECT_EQ(table.First(), nullptr);
    EXPECT_EQ(table.GetCursor(), 32);
    EXPECT_EQ(table.Next(), nullptr);

    Item *last = new Item(31, &destroyed);
    ASSERT_EQ(table.Put(31, last), last);
    EXPECT_EQ(table.First(), last);
    EXPECT_EQ(table.GetCursor(), 32);
    EXPECT_EQ(table.Next(), nullptr);
    EXPECT_EQ(table.Next(), nullptr);
    EXPECT_EQ(table.IndexOf(last), 31);
    // Outside the 32 slots nothing is stored.
    EXPECT_EQ(table.Put(32, last), nullptr);
    EXPECT_EQ(table.Put(-1, last), nullptr);

    // First rewinds a scan in progress.
    Add(0);
    ASSERT_EQ(table.First()->m_tag, 0);
    EXPECT_EQ(table.First()->m_tag, 0);
    EXPECT_EQ(table.Next(), last);
    EXPECT_EQ(table.Next(), nullptr);
}

TEST_F(SlotTable, FreedSlotIsReusedFirstAndScansRunInSlotOrder)
{
    Item *a = Add(0);
    Item *b = Add(1);
    Item *c = Add(2);
    ASSERT_TRUE(a && b && c);
    table.Remove(b);
    EXPECT_EQ(destroyed, std::vector<int>({1}));
    EXPECT_FALSE(table.Contains(b));
    EXPECT_EQ(table.FindFreeSlot(), 1);
    Item *d = Add(10);
    EXPECT_EQ(table.IndexOf(d), 1);
    EXPECT_EQ(Scan(), std::vector<int>({0, 10, 2}));
}

TEST_F(SlotTable, LookupsCompareIdentityAndIgnoreNullAndForeignPointers)
{
    Add(0);
    Item *b = Add(1);
    Item outsider(7, &destroyed);
    int invented = 0;
    EXPECT_FALSE(table.Contains(nullptr));
    EXPECT_FALSE(table.Contains(&outsider));
    EXPECT_FALSE(table.Contains(&invented));
    EXPECT_TRUE(table.Contains(b));

    // Removing what the table does not hold destroys nothing.
    table.Remove(nullptr);
    table.Remove(&outsider);
    table.Remove(&invented);
    EXPECT_TRUE(destroyed.empty());
    EXPECT_EQ(Scan(), std::vector<int>({0, 1}));

    // Nor does removing the same object twice.
    table.Remove(b);
    table.Remove(b);
    EXPECT_EQ(destroyed, std::vector<int>({1}));
}

TEST_F(SlotTable, RemoveAllDestroysLowestSlotFirstAndEmptiesEverySlot)
{
    table.Put(5, new Item(5, &destroyed));
    table.Put(0, new Item(0, &destroyed));
    table.Put(31, new Item(31, &destroyed));
    table.Put(2, new Item(2, &destroyed));
    table.RemoveAll();
    EXPECT_EQ(destroyed, std::vector<int>({0, 2, 5, 31}));
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(table.At(i), nullptr);
    EXPECT_EQ(table.First(), nullptr);
}

TEST(SlotTableLifetime, DestructionDestroysWhatIsStillHeld)
{
    std::vector<int> destroyed;
    {
        CSlotTable<Item> table;
        table.Put(3, new Item(3, &destroyed));
        table.Put(1, new Item(1, &destroyed));
    }
    EXPECT_EQ(destroyed, std::vector<int>({1, 3}));
}

}  // namespace
