// Real-time pacing of audio frames on CLOCK_MONOTONIC: each Wait blocks until
// the frames handed over so far are due. Deadlines are absolute from one
// epoch, so rounding and late wake-ups never accumulate into drift.
#pragma once

#include <stdint.h>

#include "platform/winapi.h"

class CFrameClock {
public:
    CFrameClock();

    // The timeline begins now, at `rate` frames per second (not 0).
    void Start(DWORD rate);

    // Blocks until `frames` more frames have been consumed in real time. A
    // caller that fell more than a short margin behind (a stall) starts a new
    // timeline at the present instead of rushing through the backlog.
    void Wait(DWORD frames);

    // Counts `frames` more handed over, and blocks only while more than
    // `ahead` frames of what was handed over are not yet due.
    void WaitAhead(DWORD frames, DWORD ahead);

    // Counts `frames` more handed over and gives the moment (NowNs) when
    // all of them are due, for a caller that waits for other things too.
    uint64_t Due(DWORD frames) { return _count(frames, NowNs()); }

    DWORD GetRate() const { return m_rate; }

    static uint64_t NowNs();

private:
    uint64_t FramesToNs(uint64_t frames) const;
    // The deadline of everything counted once `frames` more are.
    uint64_t _count(DWORD frames, uint64_t now);

    DWORD m_rate;
    uint64_t m_epochNs;
    uint64_t m_frames;
};
