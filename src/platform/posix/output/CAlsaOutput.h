// Output to an ALSA device (the "default" PCM of the ALSA configuration),
// for systems without a sound server: interleaved float frames, about 25 ms
// of buffer. Underruns are recovered in place, so the mixer never stops for
// them. A device that takes frames faster than real time (a null or file
// PCM) is held to real time, so the mixer's clock stays right.
//
// Every libasound call is made on a thread of the output's own, opened
// non-blocking and woken by an interrupt: a device may be a plugin that
// waits for a sound server without a limit, and neither the mixer nor a
// call must wait with it. The mixer hands each block over and waits for the
// thread only so long: a device that takes nothing is followed at the pace
// of real time for a moment, then given up (Write fails, and the device
// looks for it again). A thread still held up by libasound when the output
// is closed or given up closes the device by itself once let go.
#pragma once

#include <memory>

#include "platform/posix/output/CAudioOutput.h"
#include "platform/posix/output/CFrameClock.h"

class CAlsaOutput : public CAudioOutput {
public:
    CAlsaOutput();
    ~CAlsaOutput() override;

    // Rate 0: 48000. Waits for the device until the open deadline (the
    // output's own patience: two seconds).
    bool Open(DWORD rate, WORD channels, DWORD periodFrames) override;
    EKind GetKind() const override { return OUTPUT_ALSA; }
    DWORD GetRate() const override { return m_rate; }
    DWORD GetPeriodFrames() const override { return m_period; }
    // Hands the frames over once the device has room for them; false once
    // it has failed for good (unplugged, an error recovery cannot mend) or
    // has taken nothing for too long.
    bool Write(const float *samples, DWORD frames) override;
    DWORD GetLatencyFrames() override;
    // Stopped and emptied; the next Write starts it again.
    void Pause() override;
    void Interrupt() override;
    void Close() override;

    // The buffer the device granted, in frames; 0 while not open.
    DWORD GetBufferFrames() const { return m_buffer; }
    // Why the last Open failed, for diagnostics.
    const char *GetFailure() const { return m_pszFailure; }
    // The last Open gave up on a device that did not answer in time.
    bool TimedOut() const { return m_timedOut; }
    // Underruns recovered since Open.
    DWORD GetRecoveries() const;

    // What the device is asked to hold.
    static constexpr DWORD kLatencyMs = 25;

    struct SShared;

private:
    std::shared_ptr<SShared> m_pShared;
    DWORD m_rate;
    DWORD m_period;
    DWORD m_buffer;
    bool m_timedOut;
    bool m_lagging;  // the device took nothing for a while
    CFrameClock m_ownClock;
    const char *m_pszFailure;  // a static text, or libasound's
};
