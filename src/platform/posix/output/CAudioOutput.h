// One place the mixer's audio goes: a sound server, a sound card, or nowhere
// in real time. The mixer thread is the only caller of Write, and the pace
// at which Write returns is the mixer's clock. Open, Write and Close come
// from one thread at a time; GetLatencyFrames may come from any thread
// while the output is open.
#pragma once

#include "platform/winapi.h"

class CAudioOutput {
public:
    // The outputs a device can ask for: by default PulseAudio, then ALSA,
    // then the null output; or one of them alone.
    enum EKind { OUTPUT_DEFAULT, OUTPUT_PULSE, OUTPUT_ALSA, OUTPUT_NULL };

    CAudioOutput() : m_eWanted(OUTPUT_NULL) {}
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

    // From another thread, when the mixer stops for good: a Write or
    // GetLatencyFrames under way returns without waiting any longer, and so
    // do later ones (what they could not hand on is dropped). Outputs whose
    // waits are short anyway need not do anything.
    virtual void Interrupt() {}

    virtual void Close() = 0;

    // Which output it is.
    virtual EKind GetKind() const = 0;
    // What the device asked for: the null output standing in for another
    // kind tries that kind again in the background (see CMixerThread).
    EKind GetWanted() const { return m_eWanted; }
    void SetWanted(EKind wanted) { m_eWanted = wanted; }
    bool IsStandIn() const { return GetKind() == OUTPUT_NULL && m_eWanted != OUTPUT_NULL; }

    // The output for a DirectSoundCreate device GUID, open: the null output
    // for the null-output GUID; for null and the default-device GUIDs the
    // one DUDIDADU_OUTPUT names ("pulse", "alsa" or "null"), else PulseAudio
    // when a server answers within a short wait, else ALSA's default device
    // when it opens, else the null output standing in for them. Null for
    // any other GUID, or when the output asked for cannot be had. The choice
    // and its reason go to the diagnostic log.
    static CAudioOutput *Create(const GUID *device, DWORD rate, WORD channels, DWORD periodFrames);

    // The first of the outputs `wanted` allows (not the null output) that
    // opens, giving a sound server `patienceMs` to answer; null, with the
    // reason in `why` (a static text), when none does.
    static CAudioOutput *OpenPreferred(EKind wanted, DWORD rate, WORD channels, DWORD periodFrames,
                                       DWORD patienceMs, const char **why);
    // Its name in the diagnostic log.
    static const char *NameOf(EKind kind);

    // How long a new device waits for a sound server: a local one answers
    // in milliseconds, and one that answers later is moved to (CMixerThread).
    static constexpr DWORD kFirstPatienceMs = 500;

private:
    EKind m_eWanted;
};
