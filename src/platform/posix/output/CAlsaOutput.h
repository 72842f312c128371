// Output to an ALSA device (the "default" PCM of the ALSA configuration),
// for systems without a sound server: interleaved float frames, about 25 ms
// of buffer. Underruns are recovered in place, so the mixer never stops for
// them. A device that takes frames faster than real time (a null or file
// PCM) is held to real time, so the mixer's clock stays right.
#pragma once

#include "platform/posix/output/CAlsaLibrary.h"
#include "platform/posix/output/CAudioOutput.h"
#include "platform/posix/output/CFrameClock.h"

class CAlsaOutput : public CAudioOutput {
public:
    CAlsaOutput();
    ~CAlsaOutput() override;

    // Rate 0: 48000.
    bool Open(DWORD rate, WORD channels, DWORD periodFrames) override;
    EKind GetKind() const override { return OUTPUT_ALSA; }
    DWORD GetRate() const override { return m_rate; }
    // Blocks until the device takes the frames; false once it has failed
    // for good (unplugged, or an error recovery cannot mend).
    bool Write(const float *samples, DWORD frames) override;
    DWORD GetLatencyFrames() override;
    // Stopped and emptied; the next Write starts it again.
    void Pause() override;
    void Close() override;

    // The buffer the device granted, in frames; 0 while not open.
    DWORD GetBufferFrames() const { return m_buffer; }
    // Why the last Open failed, for diagnostics.
    const char *GetFailure() const { return m_pszFailure; }
    // Underruns recovered since Open.
    DWORD GetRecoveries() const { return m_recoveries; }

    // What the device is asked to hold.
    static constexpr DWORD kLatencyMs = 25;

private:
    const CAlsaLibrary *m_alsa;
    snd_pcm_t *m_pcm;
    DWORD m_rate;
    WORD m_channels;
    DWORD m_buffer;
    bool m_paused;
    DWORD m_recoveries;
    CFrameClock m_pace;
    const char *m_pszFailure;  // a static text, or libasound's
};
