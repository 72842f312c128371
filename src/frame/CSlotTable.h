// A fixed table of 32 owning object pointers with an iteration cursor of its
// own. New objects take the lowest empty slot and keep it until removed; the
// table never grows, shrinks or compacts. A handle is an object's address, so
// lookups compare pointers and never dereference what they are given.
//
// Owns: every object in a slot. Removing one runs its Destroy() and frees it;
// detaching one hands it back to the caller instead.
// The cursor is shared by everybody scanning the table; the owner must not
// let two scans overlap.
#pragma once

#include "platform/winapi.h"

#include <new>

enum { SLOT_TABLE_CAPACITY = 32 };

template <class T>
class CSlotTable {
public:
    CSlotTable()
        : m_nCapacity(SLOT_TABLE_CAPACITY), m_nCursor(0),
          m_ppEntries(new (std::nothrow) T *[SLOT_TABLE_CAPACITY + 1]())
    {
        // Without entry storage the table behaves as full and empty at once:
        // nothing is found and nothing can be added.
    }

    ~CSlotTable()
    {
        if (m_ppEntries) {
            RemoveAll();
            delete[] m_ppEntries;
            m_ppEntries = nullptr;
        }
    }

    // Rewinds the cursor and returns the first held object, or null.
    T *First()
    {
        m_nCursor = 0;
        return Next();
    }

    // The next held object at or after the cursor, or null at the end.
    T *Next()
    {
        if (!m_ppEntries)
            return nullptr;
        while (m_nCursor < m_nCapacity) {
            T *entry = m_ppEntries[m_nCursor];
            ++m_nCursor;
            if (entry)
                return entry;
        }
        return nullptr;
    }

    // Index of the lowest empty slot, or -1 when every slot is taken.
    int FindFreeSlot() const
    {
        if (!m_ppEntries)
            return -1;
        for (int i = 0; i < m_nCapacity; ++i)
            if (!m_ppEntries[i])
                return i;
        return -1;
    }

    // Stores p in the slot that FindFreeSlot() named and reads it back.
    T *Put(int index, T *p)
    {
        if (!m_ppEntries || index < 0 || index >= m_nCapacity)
            return nullptr;
        m_ppEntries[index] = p;
        return m_ppEntries[index];
    }

    // The object in a slot, or null.
    T *At(int index) const
    {
        if (!m_ppEntries || index < 0 || index >= m_nCapacity)
            return nullptr;
        return m_ppEntries[index];
    }

    // Whether p is held; compared by identity, never dereferenced.
    BOOL Contains(const void *p) const { return IndexOf(p) >= 0; }

    // The slot holding p, or -1 (also for null).
    int IndexOf(const void *p) const
    {
        if (!p || !m_ppEntries)
            return -1;
        for (int i = 0; i < m_nCapacity; ++i)
            if (m_ppEntries[i] == p)
                return i;
        return -1;
    }

    // Destroys and frees the object held as p and empties its slot; a pointer
    // that no slot holds is ignored.
    void Remove(const void *p)
    {
        const int index = IndexOf(p);
        if (index >= 0)
            DestroyAt(index);
    }

    // Empties the slot that holds p and hands the object back undestroyed,
    // for owners whose objects may outlive their slot; null when no slot
    // holds p.
    T *Detach(const void *p)
    {
        const int index = IndexOf(p);
        if (index < 0)
            return nullptr;
        T *entry = m_ppEntries[index];
        m_ppEntries[index] = nullptr;
        return entry;
    }

    // Destroys every held object, lowest slot first.
    void RemoveAll()
    {
        if (!m_ppEntries)
            return;
        for (int i = 0; i < m_nCapacity; ++i)
            if (m_ppEntries[i])
                DestroyAt(i);
    }

    int GetCapacity() const { return m_nCapacity; }
    int GetCursor() const { return m_nCursor; }

private:
    void DestroyAt(int index)
    {
        T *entry = m_ppEntries[index];
        // The slot is emptied first, so that a Destroy() that throws leaves
        // no pointer to a half-destroyed object behind.
        m_ppEntries[index] = nullptr;
        entry->Destroy();
        delete entry;
    }

    CSlotTable(const CSlotTable &) = delete;
    CSlotTable &operator=(const CSlotTable &) = delete;

    int m_nCapacity;   // usable slots, always SLOT_TABLE_CAPACITY
    int m_nCursor;     // next slot Next() examines
    T **m_ppEntries;   // capacity + 1 pointers; only 0..capacity-1 are used
};
