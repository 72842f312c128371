// The resampler's filters: Kaiser-windowed sinc kernels sampled as polyphase
// tables, one row of weights for each fraction of a source frame. Owns the
// tables, built on first use and kept for the life of the process (mixer
// threads read them while the process exits).
//
// The kernel passes a source's band up to 0.45 of its rate within 0.1 dB and
// takes what folds back (images, aliases) 60 dB down or more. When a voice
// plays faster than the output rate the kernel is stretched, so that it cuts
// at the output's band instead; stretches come in quarter octaves.
#pragma once

#include <stdint.h>

#include <memory>

#include "platform/winapi.h"

class CSincTable {
public:
    // The table for a voice that steps `step` source frames (32.32 fixed
    // point) per output frame; null only when there is no memory for it.
    static const CSincTable *ForStep(uint64_t step);

    // Weights per row, a multiple of 8. Output at source position k + f
    // weighs source frames k - GetHistory() .. k - GetHistory() + GetTaps() - 1.
    DWORD GetTaps() const { return m_dwTaps; }
    DWORD GetHistory() const { return m_dwTaps / 2 - 1; }
    // The row for the fraction `fraction` (32 bits) of a frame, rounded to
    // the nearest phase; `carry` is 1 when that rounds up to the next frame.
    const float *Row(uint32_t fraction, DWORD &carry) const
    {
        const uint64_t phase = (static_cast<uint64_t>(fraction) + m_qwHalfPhase) >> m_dwPhaseShift;
        carry = static_cast<DWORD>(phase >> m_dwPhaseBits);
        return m_pRows + (phase & m_dwPhaseMask) * m_dwTaps;
    }

private:
    CSincTable(double stretch, DWORD taps, DWORD phaseBits);
    static void _build(int index);
    template <int Index> static void _build_once();

    const DWORD m_dwTaps;
    const DWORD m_dwPhaseBits;
    const DWORD m_dwPhaseShift;
    const DWORD m_dwPhaseMask;
    const uint64_t m_qwHalfPhase;
    std::unique_ptr<float[]> m_storage;
    float *m_pRows;  // m_storage aligned for vector loads
};
