// One place the mixer's audio goes: a sound server, a sound card, or nowhere
// in real time. The mixer thread is the only caller of Write, and the pace
// at which Write returns is the mixer's clock. Every call but Interrupt
// comes from one thread at a time (the one that opens it, then the mixer
// thread). No call waits on a server or a device without a limit.
#pragma once

#include <stdint.h>

#include "platform/winapi.h"

class CAudioOutput {
public:
    // The outputs a device can ask for: by default PulseAudio, then ALSA,
    // then the null output; or one of them alone.
    enum EKind { OUTPUT_DEFAULT, OUTPUT_PULSE, OUTPUT_ALSA, OUTPUT_NULL };

    CAudioOutput() : m_eWanted(OUTPUT_NULL), m_qwOpenDeadlineNs(0) {}
    virtual ~CAudioOutput() = default;

    // Opens the output for interleaved float frames of `channels` channels at
    // `rate` frames per second, or its own rate for 0; false when it cannot.
    // `periodFrames` is the block size the mixer should write, or 0 for the
    // output's own choice (GetPeriodFrames).
    virtual bool Open(DWORD rate, WORD channels, DWORD periodFrames) = 0;
    // The rate it was opened for.
    virtual DWORD GetRate() const = 0;
    // The frames the mixer writes at a time: fewer wake-ups where latency
    // allows longer periods.
    virtual DWORD GetPeriodFrames() const { return GetRate() / 100; }
    // The moment (CFrameClock::NowNs) by which the next Open gives up on a
    // server or device that does not answer; 0: the output's own patience.
    void SetOpenDeadline(uint64_t deadlineNs) { m_qwOpenDeadlineNs = deadlineNs; }

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
    // What the device asked for. An output that is not the one preferred
    // for it (the null output for anything else, ALSA for a default device,
    // which prefers a sound server) stands in for it, and the device looks
    // for the preferred one in the background (see COutputSearch).
    EKind GetWanted() const { return m_eWanted; }
    void SetWanted(EKind wanted) { m_eWanted = wanted; }
    bool IsStandIn() const { return GetKind() != Preferred(m_eWanted); }
    // What a stand-in may be replaced with: OUTPUT_DEFAULT for either a
    // server or ALSA, else that kind alone.
    EKind GetSought() const { return GetKind() == OUTPUT_NULL ? m_eWanted : Preferred(m_eWanted); }
    static EKind Preferred(EKind wanted) { return wanted == OUTPUT_DEFAULT ? OUTPUT_PULSE : wanted; }

    // The output for a DirectSoundCreate device GUID, open: the null output
    // for the null-output GUID; for null and the default-device GUIDs the
    // one DUDIDADU_OUTPUT names ("pulse", "alsa" or "null"), else PulseAudio
    // when a server answers within a short wait, else ALSA's default device
    // when it opens, else the null output standing in for them. Null for
    // any other GUID, or when the output asked for cannot be had. The choice
    // and its reason go to the diagnostic log.
    static CAudioOutput *Create(const GUID *device, DWORD rate, WORD channels, DWORD periodFrames);

    // The first of the outputs `wanted` allows (not the null output) that
    // opens, giving them `patienceMs` in all to answer; null, with the
    // reason in `why` (a static text), when none does. `timedOut` (when
    // given) says whether a server or device was given up on for not
    // answering rather than found missing.
    static CAudioOutput *OpenPreferred(EKind wanted, DWORD rate, WORD channels, DWORD periodFrames,
                                       DWORD patienceMs, const char **why, bool *timedOut = nullptr);
    // Its name in the diagnostic log.
    static const char *NameOf(EKind kind);

    // How long a new device waits for a sound server or ALSA: a local one
    // answers in milliseconds, and one that answers later is moved to
    // (COutputSearch).
    static constexpr DWORD kFirstPatienceMs = 500;

protected:
    // For Open: the deadline SetOpenDeadline gave (for this Open alone), or
    // `patienceMs` from now.
    uint64_t TakeOpenDeadline(DWORD patienceMs);

private:
    EKind m_eWanted;
    uint64_t m_qwOpenDeadlineNs;
};
