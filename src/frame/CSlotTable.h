// A fixed table of 32 slots, each holding one object for its owner, and the
// place where a handle (CHandle) is checked. New objects take the lowest
// empty slot and keep it until they leave; the table never grows, shrinks
// or compacts.
//
// A slot's life: empty; set up (Put: occupied, held by whoever put the
// object there, not found by any handle yet); live (Publish: found by its
// handle); retired (Detach or Discard: found no more); empty again once the
// last hold on it has been let go, and whoever let go last gets the object
// back, to release it.
//
// Each slot has a generation, which every new occupant increases and its
// handle carries, and a count of holds. Look-ups by handle (Pin, Unpin,
// IsLive) take no lock: each is one atomic operation on the slot's own state
// word, which has a cache line to itself, so that threads on different
// objects never write to the same memory. Everything else belongs to the
// owner of the table, under the owner's lock; it may rely on a slot that is
// set up or live staying so while it holds that lock.
//
// Owns: nothing by itself; what a slot holds is its owner's to release.
// The cursor of First/Next is shared by everybody scanning the table; the
// owner must not let two scans overlap.
#pragma once

#include "frame/CHandle.h"
#include "platform/winapi.h"

#include <atomic>
#include <stdint.h>

enum { SLOT_TABLE_CAPACITY = 32 };

template <class T>
class CSlotTable {
public:
    CSlotTable() : m_nCapacity(SLOT_TABLE_CAPACITY), m_nCursor(0) {}

    // ---------------------------------------------- the owner's, under its lock

    // Rewinds the cursor and returns the first held object (set up or
    // live), or null.
    T *First()
    {
        m_nCursor = 0;
        return Next();
    }

    // The next held object at or after the cursor, or null at the end.
    T *Next()
    {
        while (m_nCursor < m_nCapacity) {
            T *entry = At(m_nCursor);
            ++m_nCursor;
            if (entry)
                return entry;
        }
        return nullptr;
    }

    // Index of the lowest empty slot, or -1 when every slot is taken (also
    // by an object that left but is still held).
    int FindFreeSlot() const
    {
        for (int i = 0; i < m_nCapacity; ++i)
            if (!(_state(i) & TAKEN))
                return i;
        return -1;
    }

    // Puts p, made by `owner`, into an empty slot, set up and held once by
    // the caller: the generation its handle carries, or 0 (the slot is not
    // empty, or there is no such slot).
    DWORD Put(int index, T *p, LPVOID owner)
    {
        if (!_valid(index) || !p)
            return 0;
        CEntry &entry = m_aEntries[index];
        const uint64_t state = entry.m_qwState.load(std::memory_order_acquire);
        if (state & TAKEN)
            return 0;
        DWORD generation = static_cast<DWORD>(state >> 32) + 1;
        if ((generation & CHandle::GENERATION_MASK) == 0)
            ++generation;
        entry.m_pObject = p;
        entry.m_pOwner = owner;
        entry.m_qwState.store(static_cast<uint64_t>(generation) << 32 | TAKEN | 1, std::memory_order_release);
        return generation & CHandle::GENERATION_MASK;
    }

    // A set-up slot goes live: its handle finds it from now on. FALSE when
    // it was discarded meanwhile.
    BOOL Publish(int index)
    {
        if (!_valid(index))
            return FALSE;
        std::atomic<uint64_t> &word = m_aEntries[index].m_qwState;
        uint64_t state = word.load(std::memory_order_relaxed);
        do {
            if (!(state & TAKEN) || (state & (LIVE | RETIRED)))
                return FALSE;
        } while (!word.compare_exchange_weak(state, state | LIVE, std::memory_order_release,
                                             std::memory_order_relaxed));
        return TRUE;
    }

    // A live object of `owner` (of that generation, unless it is 0) leaves:
    // its handle is refused from now on. The object, held once more for the
    // caller, who lets go with Unpin; null when there is no such object.
    T *Detach(int index, LPVOID owner, DWORD generation = 0)
    {
        if (!_valid(index))
            return nullptr;
        CEntry &entry = m_aEntries[index];
        uint64_t state = entry.m_qwState.load(std::memory_order_acquire);
        do {
            if (!(state & LIVE) || (generation != 0 && _generation(state) != generation) ||
                entry.m_pOwner != owner || (state & PINS) == PINS)
                return nullptr;
        } while (!entry.m_qwState.compare_exchange_weak(state, ((state & ~LIVE) | RETIRED) + 1,
                                                        std::memory_order_acq_rel,
                                                        std::memory_order_acquire));
        return entry.m_pObject;
    }

    // A slot of `owner` still being set up is given up: it never goes live,
    // and empties when whoever set it up lets go. TRUE when there was one.
    BOOL Discard(int index, LPVOID owner)
    {
        if (!_valid(index))
            return FALSE;
        CEntry &entry = m_aEntries[index];
        uint64_t state = entry.m_qwState.load(std::memory_order_acquire);
        do {
            if (!(state & TAKEN) || (state & (LIVE | RETIRED)) || entry.m_pOwner != owner)
                return FALSE;
        } while (!entry.m_qwState.compare_exchange_weak(state, state | RETIRED, std::memory_order_acq_rel,
                                                        std::memory_order_acquire));
        return TRUE;
    }

    // The held object (set up or live) in a slot, or null.
    T *At(int index) const
    {
        if (!_valid(index))
            return nullptr;
        const uint64_t state = _state(index);
        return (state & TAKEN) && !(state & RETIRED) ? m_aEntries[index].m_pObject : nullptr;
    }

    // Who put the object of a held or pinned slot there.
    LPVOID OwnerAt(int index) const { return _valid(index) ? m_aEntries[index].m_pOwner : nullptr; }

    int GetCapacity() const { return m_nCapacity; }
    int GetCursor() const { return m_nCursor; }

    // ---------------------------------------------- anybody's, without a lock

    // The live object of that generation, held for the caller until Unpin;
    // null for anything else.
    T *Pin(int index, DWORD generation)
    {
        if (!_valid(index))
            return nullptr;
        CEntry &entry = m_aEntries[index];
        uint64_t state = entry.m_qwState.load(std::memory_order_relaxed);
        do {
            if (!(state & LIVE) || _generation(state) != generation || (state & PINS) == PINS)
                return nullptr;
        } while (!entry.m_qwState.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                        std::memory_order_relaxed));
        return entry.m_pObject;
    }

    // Lets go of one hold. When it was the last one on an object that has
    // left, the slot is empty again and the object comes back, with its
    // owner, for the caller to release; otherwise null.
    T *Unpin(int index, LPVOID *owner)
    {
        CEntry &entry = m_aEntries[index];
        const uint64_t state = entry.m_qwState.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if ((state & PINS) != 0 || !(state & RETIRED))
            return nullptr;
        // Nobody else can reach the slot now: it is neither live nor empty.
        T *object = entry.m_pObject;
        *owner = entry.m_pOwner;
        entry.m_pObject = nullptr;
        entry.m_pOwner = nullptr;
        entry.m_qwState.store(state & ~static_cast<uint64_t>(TAKEN | RETIRED), std::memory_order_release);
        return object;
    }

    // Whether a live object of that generation is there; it may leave at
    // any moment after.
    BOOL IsLive(int index, DWORD generation) const
    {
        if (!_valid(index))
            return FALSE;
        const uint64_t state = _state(index);
        return (state & LIVE) && _generation(state) == generation;
    }

private:
    CSlotTable(const CSlotTable &) = delete;
    CSlotTable &operator=(const CSlotTable &) = delete;

    // The state word: the generation in the upper half; below it the
    // slot's condition and the number of holds.
    static constexpr uint64_t PINS = 0x0FFFFFFF;
    static constexpr uint64_t TAKEN = 0x10000000;    // an object is there, or still held
    static constexpr uint64_t LIVE = 0x20000000;     // its handle finds it
    static constexpr uint64_t RETIRED = 0x40000000;  // it has left; empty at the last Unpin

    // One slot, alone on its cache line.
    struct alignas(64) CEntry {
        std::atomic<uint64_t> m_qwState{0};
        T *m_pObject = nullptr;   // set while taken
        LPVOID m_pOwner = nullptr;
    };

    BOOL _valid(int index) const { return index >= 0 && index < SLOT_TABLE_CAPACITY; }
    uint64_t _state(int index) const { return m_aEntries[index].m_qwState.load(std::memory_order_acquire); }
    static DWORD _generation(uint64_t state) { return static_cast<DWORD>(state >> 32) & CHandle::GENERATION_MASK; }

    CEntry m_aEntries[SLOT_TABLE_CAPACITY];
    int m_nCapacity;  // usable slots, always SLOT_TABLE_CAPACITY
    int m_nCursor;    // next slot Next() examines
};
