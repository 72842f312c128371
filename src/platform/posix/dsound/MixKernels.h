// The inner loops of the mixer: one per sample encoding and channel layout,
// chosen once per buffer, so that the per-frame work has no virtual call, no
// division and no format switch.
#pragma once

#include <stdint.h>

#include "platform/posix/dsound/CSampleFormat.h"

// What a kernel reads: a buffer's samples and how to step through them.
struct MixSource {
    const BYTE *pData;
    uint64_t qwFrames;      // whole frames in the buffer, at least 1
    DWORD dwBlockAlign;
    DWORD dwSampleBytes;
    DWORD dwChannels;       // channels weighed in, LAYOUT_DOWNMIX only
    const float *pLeft;     // downmix weights, LAYOUT_DOWNMIX only
    const float *pRight;
    uint64_t qwStep;        // source frames per output frame, 32.32 fixed point
    bool bLoop;
};

// Adds up to `frames` frames of the source, starting at `pos` (32.32 fixed
// point source frames), to the interleaved stereo `out`, with gains that
// change by `stepLeft`/`stepRight` per frame. Linear interpolation between
// neighbouring frames; a looping source wraps, a one-shot source holds its
// last frame for the fraction after it and ends there. Returns the frames
// produced: fewer than asked only when a one-shot source has ended. `pos`
// and the gains are advanced past what was produced.
typedef DWORD (*MixKernel)(const MixSource &src, uint64_t &pos, float &gainLeft, float &gainRight,
                           float stepLeft, float stepRight, float *out, DWORD frames);

MixKernel SelectMixKernel(CSampleFormat::Encoding encoding, CSampleFormat::Layout layout);
