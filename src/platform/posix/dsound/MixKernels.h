// The inner loops of the mixer. A voice's frames are first decoded, a block
// at a time, into planar float (one decoder per sample encoding and channel
// layout, chosen once per block, so that the per-frame work has no call,
// no division and no format switch); the resampler then reads them through
// a windowed-sinc kernel and adds them to the output. A voice at a ratio
// with a table of its own (CRatioTable) takes its weights from there,
// sixteen output frames at a time; any other reads them from CSincTable, a
// frame at a time. A voice at the output's own rate is copied.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/posix/dsound/CRatioTable.h"
#include "platform/posix/dsound/CSampleFormat.h"
#include "platform/posix/dsound/CSincTable.h"

// What the mixer reads: a buffer's samples and how to step through them.
struct MixSource {
    const BYTE *pData;
    uint64_t qwFrames;      // whole frames in the buffer, at least 1
    DWORD dwBlockAlign;
    DWORD dwSampleBytes;
    DWORD dwChannels;       // channels weighed in, LAYOUT_DOWNMIX only
    const float *pLeft;     // downmix weights, LAYOUT_DOWNMIX only
    const float *pRight;
    CSampleFormat::Encoding eEncoding;
    CSampleFormat::Layout eLayout;
    bool bStereo;           // heard in stereo: both planes are filled
    uint64_t qwStep;        // source frames per output frame, 32.32 fixed point
    const CSincTable *pTable;  // the kernel for that step; null: none to be had
    const CRatioTable *pRatio;  // its weights in order, for a ratio that has them
    bool bLoop;
    // A looping source that has come round: what lies before its first
    // frame is its end, not silence.
    bool bWrapped;
};

// Gains applied to the left and right output, and their change per frame.
struct MixGains {
    float fLeft;
    float fRight;
    float fStepLeft;
    float fStepRight;
};

// Room the mixer gives a voice to work in: kMixScratchFrames frames of each
// of four planes (the source's two, the output's two).
const DWORD kMixScratchFrames = 2048;

// Adds up to `frames` frames of the source, starting at `pos` (32.32 fixed
// point source frames), to the interleaved stereo `out`. A source at
// exactly the output's rate and on a whole frame is copied as it is; any
// other goes through the kernel. A looping source wraps; a one-shot source
// ends after its last frame. Returns the frames produced: fewer than asked
// only when a one-shot source has ended. `pos` and the gains are advanced
// past what was produced. `scratch` holds 4 * scratchFrames floats;
// scratchFrames is at least 256.
DWORD MixFrames(MixSource &src, uint64_t &pos, MixGains &gains, float *out, DWORD frames,
                float *scratch, DWORD scratchFrames);

// The finished mix into [-1, 1]: `count` floats; NaN becomes silence.
void ClampMix(float *out, size_t count);
