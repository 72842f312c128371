// The slot table: lowest-free-slot placement, scans by the shared cursor,
// generations that tell a slot's occupants apart, and holds that keep an
// object that left until the last one is let go, from several threads.
#include "frame/CSlotTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Item {
    explicit Item(int tag) : m_tag(tag) {}
    int m_tag;
    std::atomic<int> m_holds{0};   // pins counted by the stress test
    std::atomic<bool> m_gone{false};
};

class SlotTable : public ::testing::Test {
protected:
    // Adds and publishes an item the way the owners do: lowest free slot.
    Item *Add(int tag, DWORD *generation = nullptr)
    {
        const int slot = table.FindFreeSlot();
        if (slot < 0)
            return nullptr;
        items.emplace_back(new Item(tag));
        const DWORD made = table.Put(slot, items.back().get(), this);
        table.Publish(slot);
        LetGo(slot);
        if (generation)
            *generation = made;
        return made ? items.back().get() : nullptr;
    }
    // Unpin, expecting nothing back.
    void LetGo(int slot)
    {
        LPVOID owner = nullptr;
        EXPECT_EQ(table.Unpin(slot, &owner), nullptr);
    }
    std::vector<int> Scan()
    {
        std::vector<int> tags;
        for (Item *item = table.First(); item; item = table.Next())
            tags.push_back(item->m_tag);
        return tags;
    }

    std::vector<std::unique_ptr<Item>> items;
    CSlotTable<Item> table;
};

TEST_F(SlotTable, ScansByTheSharedCursorFindTheLastSlotOnceAndStayEnded)
{
    EXPECT_EQ(table.GetCapacity(), 32);
    EXPECT_EQ(table.First(), nullptr);
    EXPECT_EQ(table.GetCursor(), 32);
    EXPECT_EQ(table.Next(), nullptr);

    Item last(31);
    ASSERT_NE(table.Put(31, &last, this), 0u);
    // Set up but not live: the owner's scans see it, handles do not.
    EXPECT_EQ(table.First(), &last);
    EXPECT_EQ(table.GetCursor(), 32);
    EXPECT_EQ(table.Next(), nullptr);
    EXPECT_EQ(table.Next(), nullptr);
    // Outside the 32 slots, or on a taken one, nothing is stored.
    Item other(0);
    EXPECT_EQ(table.Put(32, &other, this), 0u);
    EXPECT_EQ(table.Put(-1, &other, this), 0u);
    EXPECT_EQ(table.Put(31, &other, this), 0u);

    // First rewinds a scan in progress.
    Add(0);
    ASSERT_EQ(table.First()->m_tag, 0);
    EXPECT_EQ(table.First()->m_tag, 0);
    EXPECT_EQ(table.Next(), &last);
    EXPECT_EQ(table.Next(), nullptr);
    table.Discard(31, this);
    LPVOID owner = nullptr;
    EXPECT_EQ(table.Unpin(31, &owner), &last);
}

TEST_F(SlotTable, FreedSlotIsReusedFirstAndScansRunInSlotOrder)
{
    Item *a = Add(0);
    Item *b = Add(1);
    Item *c = Add(2);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(table.Detach(1, this), b);
    // Still held by the detacher: not free yet, not scanned any more.
    EXPECT_EQ(table.FindFreeSlot(), 3);
    EXPECT_EQ(Scan(), std::vector<int>({0, 2}));
    LPVOID owner = nullptr;
    EXPECT_EQ(table.Unpin(1, &owner), b);
    EXPECT_EQ(owner, this);
    EXPECT_EQ(table.FindFreeSlot(), 1);
    Add(10);
    EXPECT_EQ(Scan(), std::vector<int>({0, 10, 2}));
    EXPECT_EQ(table.At(1)->m_tag, 10);
}

// Every new occupant of a slot gets the next generation: a handle of an
// earlier one finds nothing, through the wrap of the 20 bits a handle
// carries, which never gives 0.
TEST_F(SlotTable, GenerationsTellASlotsOccupantsApart)
{
    DWORD first = 0, second = 0;
    Item *a = Add(0, &first);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(table.Pin(0, first), a);
    LetGo(0);
    EXPECT_EQ(table.Pin(0, first + 1), nullptr);
    EXPECT_TRUE(table.IsLive(0, first));

    ASSERT_EQ(table.Detach(0, this, first), a);
    EXPECT_EQ(table.Pin(0, first), nullptr);
    EXPECT_FALSE(table.IsLive(0, first));
    LPVOID owner = nullptr;
    EXPECT_EQ(table.Unpin(0, &owner), a);
    Item *b = Add(1, &second);
    EXPECT_NE(second, first);
    EXPECT_EQ(table.Pin(0, first), nullptr);
    EXPECT_EQ(table.Detach(0, this, first), nullptr);
    EXPECT_EQ(table.Pin(0, second), b);
    LetGo(0);

    // Around the wrap: 0 is skipped, and a generation comes back only with
    // the 2^20 - 1st occupant after it.
    Item filler(2);
    DWORD repeatedAfter = 0;
    for (DWORD i = 1; i <= CHandle::GENERATION_MASK && !repeatedAfter; ++i) {
        table.Detach(0, this);
        ASSERT_NE(table.Unpin(0, &owner), nullptr);
        const DWORD generation = table.Put(0, &filler, this);
        ASSERT_NE(generation, 0u);
        table.Publish(0);
        table.Unpin(0, &owner);
        if (generation == second)
            repeatedAfter = i;
    }
    EXPECT_EQ(repeatedAfter, static_cast<DWORD>(CHandle::GENERATION_MASK));
}

// A slot being set up is not found, a discarded one never goes live, and a
// detach needs the owner and the live object's generation.
TEST_F(SlotTable, SetUpDiscardAndDetachFollowTheSlotsLife)
{
    Item a(0);
    const DWORD generation = table.Put(0, &a, this);
    EXPECT_EQ(table.Pin(0, generation), nullptr);
    EXPECT_EQ(table.Detach(0, this), nullptr);
    EXPECT_FALSE(table.Discard(0, &a));  // not its owner
    EXPECT_TRUE(table.Discard(0, this));
    EXPECT_FALSE(table.Publish(0));
    LPVOID owner = nullptr;
    EXPECT_EQ(table.Unpin(0, &owner), &a);
    EXPECT_EQ(table.FindFreeSlot(), 0);

    Item *b = Add(1);
    EXPECT_EQ(table.Detach(0, &a), nullptr);
    EXPECT_FALSE(table.Discard(0, this));  // live: it leaves by Detach
    ASSERT_EQ(table.Detach(0, this), b);
    EXPECT_EQ(table.Detach(0, this), nullptr);
    EXPECT_EQ(table.Unpin(0, &owner), b);
}

// Threads pin and unpin the live objects while the owner replaces them: an
// object is given back exactly once, after its last hold, and a pin never
// gets an object that left.
TEST(SlotTableThreads, PinsNeverReachAnObjectThatLeftAndTheLastHoldGivesItBack)
{
    CSlotTable<Item> table;
    std::atomic<DWORD> generations[4];
    std::vector<std::unique_ptr<Item>> made;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<long> pins{0};
    std::atomic<int> givenBack{0};
    auto giveBack = [&](Item *item) {
        if (!item)
            return;
        if (item->m_holds.load() != 0 || item->m_gone.exchange(true))
            ++bad;
        ++givenBack;
    };
    int owner = 0;
    for (int s = 0; s < 4; ++s) {
        made.emplace_back(new Item(s));
        generations[s] = table.Put(s, made.back().get(), &owner);
        table.Publish(s);
        LPVOID back = nullptr;
        table.Unpin(s, &back);
    }
    std::vector<std::thread> pinners;
    for (int t = 0; t < 2; ++t) {
        pinners.emplace_back([&, t] {
            for (unsigned n = t; !stop.load(); ++n) {
                const int s = static_cast<int>(n % 4);
                if (Item *item = table.Pin(s, generations[s].load())) {
                    ++item->m_holds;
                    if (item->m_gone.load())
                        ++bad;
                    --item->m_holds;
                    ++pins;
                    LPVOID back = nullptr;
                    giveBack(table.Unpin(s, &back));
                }
            }
        });
    }
    // At least 20000 rounds, and on until the pinners have had their turns:
    // on a busy machine they may not run before the rounds are over.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int round = 0; round < 20000 || (pins.load() < 1000 && std::chrono::steady_clock::now() < deadline);
         ++round) {
        const int s = round % 4;
        LPVOID back = nullptr;
        if (table.Detach(s, &owner))
            giveBack(table.Unpin(s, &back));
        // The slot may still be held by a pinner: then another one is taken,
        // or none.
        const int slot = table.FindFreeSlot();
        if (slot < 0 || slot > 3)
            continue;
        made.emplace_back(new Item(round));
        generations[slot] = table.Put(slot, made.back().get(), &owner);
        table.Publish(slot);
        giveBack(table.Unpin(slot, &back));
    }
    stop = true;
    for (auto &pinner : pinners)
        pinner.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(pins.load(), 0);
    int live = 0;
    for (int s = 0; s < 4; ++s)
        live += table.At(s) != nullptr;
    EXPECT_EQ(givenBack.load() + live, static_cast<int>(made.size()));
}

}  // namespace
