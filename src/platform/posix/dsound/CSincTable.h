// The resampler's filters: Kaiser-windowed sinc kernels sampled as polyphase
// tables, one row of weights for each of a few hundred fractions of a source
// frame, with the step to the next row, so that the weights for any fraction
// come from a straight line between two rows. Owns the tables, built on
// first use and kept for the life of the process (mixer threads read them
// while the process exits).
//
// The kernel passes a source's band up to 0.45 of its rate within 0.25 dB
// and takes what folds back (images, aliases) 85 dB down or more from 0.637
// of the rate on. When a voice plays faster than the output rate the kernel
// is stretched, so that it cuts at the output's band instead; stretches
// come in quarter octaves.
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

    // For the fraction `fraction` (32 bits) of a frame: Row gives the row
    // below it, GetTaps() weights followed by GetTaps() steps to the next
    // row, and how far along that step the fraction lies, in [0, 1). For
    // loops, which keep it at hand.
    struct Rows {
        const float *pRows;
        DWORD dwShift;
        uint32_t dwAlongMask;
        float fAlongScale;
        const float *Row(uint32_t fraction, DWORD taps, float &along) const
        {
            along = static_cast<float>(static_cast<int32_t>(fraction & dwAlongMask)) * fAlongScale;
            return pRows + static_cast<size_t>(fraction >> dwShift) * 2 * taps;
        }
    };
    Rows GetRows() const { return Rows{m_pRows, m_dwPhaseShift, m_dwAlongMask, m_fAlongScale}; }
    // The weights for a fraction in [0, 1), as a row and its step give
    // them, into `weights`.
    void GetWeights(double fraction, float *weights) const;

private:
    CSincTable(double stretch, DWORD taps, DWORD phaseBits);
    static void _build(int index);
    template <int Index> static void _build_once();

    const DWORD m_dwTaps;
    const DWORD m_dwPhaseBits;
    const DWORD m_dwPhaseShift;
    const DWORD m_dwAlongMask;
    const float m_fAlongScale;
    std::unique_ptr<float[]> m_storage;
    float *m_pRows;  // m_storage aligned for vector loads
};
