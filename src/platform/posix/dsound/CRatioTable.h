// The kernel's weights for one fixed ratio of rates, in the order a voice at
// that ratio uses them. A voice at M/L source frames per output frame (M and
// L without common factor) meets only L fractions of a frame, in a cycle
// that repeats every L output frames; for those the weights are worked out
// once, exactly, and laid out in blocks of sixteen output frames: row r of
// a block holds what source frame r of the block adds to each of the
// sixteen, so that the mixer adds a row per source frame to sixteen sums at
// once.
//
// Tables are shared by every voice at the ratio and kept for the life of the
// process. They are made for the rates buffers are created with, not for
// every frequency set later (a passing pitch would fill the room the next
// buffer's rate needs); a voice without one is filtered at its fractions as
// they come.
#pragma once

#include <stdint.h>


#include "platform/winapi.h"

class CRatioTable {
public:
    // The table for a voice at `frequency` on an output at `rate`, made if
    // need be; null for equal rates, for a ratio whose cycle is too long to
    // keep, and when there is no room. Find only looks.
    static const CRatioTable *For(DWORD frequency, DWORD rate);
    static const CRatioTable *Find(DWORD frequency, DWORD rate);

    // Source frames (M) per cycle of GetPhases() (L) output frames.
    DWORD GetSourceStep() const { return m_dwM; }
    DWORD GetPhases() const { return m_dwL; }
    // Source frames a block weighs: rows per block, a multiple of 4.
    DWORD GetSpan() const { return m_dwSpan; }

    // The phase p of a 32.32 position's fraction; false when the fraction
    // is not exactly p / L (a voice that came from another ratio).
    bool FindPhase(uint32_t fraction, DWORD &phase) const
    {
        phase = static_cast<DWORD>((static_cast<uint64_t>(fraction) * m_dwL + 0x80000000u) >> 32);
        return phase < m_dwL && GetFraction(phase) == fraction;
    }
    uint32_t GetFraction(DWORD phase) const
    {
        return static_cast<uint32_t>(((static_cast<uint64_t>(phase) << 32) + m_dwL / 2) / m_dwL);
    }
    // Where in the cycle (0 .. L - 1) the output frame of phase p stands.
    DWORD GetSequence(DWORD phase) const
    {
        return static_cast<DWORD>(static_cast<uint64_t>(phase) * m_dwInverse % m_dwL);
    }

    // Output frames per block.
    static const DWORD kBlockFrames = 16;

    // A cycle is GetCycle() output frames (L or a few times L) and moves the
    // source on by GetCycleSource() frames; it is cut into blocks from its
    // start, the last of which may be short. Block b of a cycle starts at
    // source frame GetStarts()[b], counted from the source frame of the
    // cycle's output 0, and has GetSpan() rows of kBlockFrames weights.
    DWORD GetCycle() const { return m_dwCycle; }
    DWORD GetBlocks() const { return m_dwBlocks; }
    DWORD GetCycleSource() const { return m_dwCycleSource; }
    const int32_t *GetStarts() const { return m_pStarts; }
    const float *GetWeights(DWORD block) const
    {
        return m_pWeights + static_cast<size_t>(block) * m_dwSpan * kBlockFrames;
    }
    // The first source frame the block of output `sequence` weighs,
    // counting the sequence on past the cycle.
    int64_t GetSourceStart(uint64_t sequence) const
    {
        return static_cast<int64_t>(sequence / m_dwCycle) * m_dwCycleSource +
               m_pStarts[sequence % m_dwCycle / kBlockFrames];
    }

    ~CRatioTable();

private:
    CRatioTable(DWORD m, DWORD l);
    static const CRatioTable *_find(DWORD frequency, DWORD rate, bool make);
    CRatioTable(const CRatioTable &) = delete;
    CRatioTable &operator=(const CRatioTable &) = delete;
    bool _build(uint64_t step);

    const DWORD m_dwM;
    const DWORD m_dwL;
    DWORD m_dwInverse;      // of M modulo L
    DWORD m_dwCycle;
    DWORD m_dwBlocks;
    DWORD m_dwCycleSource;  // source frames a cycle moves on
    DWORD m_dwSpan;
    size_t m_cbSize;        // what the table holds, in bytes
    int32_t *m_pStarts;
    float *m_pWeights;      // 32-byte aligned
    void *m_pStorage;
};
