// One place the mixer's audio goes: a sound server, or nowhere in real time.
// The mixer thread is the only caller of Write, and the pace at which Write
// returns is the mixer's clock. Open, Write and Close come from one thread at
// a time; GetLatencyFrames may come from any thread while the output is open.
#pragma once

#include "platform/winapi.h"

class CAudioOutput {
public:
    virtual ~CAudioOutput() = default;

    // Opens the output for interleaved float frames of `channels` channels at
    // `rate` frames per second, or its own rate for 0; false when it cannot.
    // `periodFrames` is the mixer's block size (0: 5 ms), which the output
    // may use to size its buffering.
    virtual bool Open(DWORD rate, WORD channels, DWORD periodFrames) = 0;
    // The rate it was opened for.
    virtual DWORD GetRate() const = 0;

    // Blocks until the output can take `frames` more frames, then takes them.
    // False when the output has failed; the mixer then stops using it.
    virtual bool Write(const float *samples, DWORD frames) = 0;

    // Frames written but not yet heard, for latency reports.
    virtual DWORD GetLatencyFrames() = 0;

    // Nothing will be written for a while: an output that would otherwise
    // wake the machine to play silence stops. Whatever was written has been
    // heard by then (the mixer writes silence first). Resume comes before
    // the next Write.
    virtual void Pause() {}
    virtual void Resume() {}

    virtual void Close() = 0;

    // The output for a DirectSoundCreate device GUID, open: the null output
    // for the null-output GUID; for null and the default-device GUIDs the
    // one DUDIDADU_OUTPUT names ("pulse" or "null"), else PulseAudio when a
    // server answers and the null output when none does. Null for any other
    // GUID, or when the output asked for cannot be had. The choice and its
    // reason go to the diagnostic log.
    static CAudioOutput *Create(const GUID *device, DWORD rate, WORD channels, DWORD periodFrames);
};
