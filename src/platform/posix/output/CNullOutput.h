// The output that plays nothing: it takes the frames at the pace they would
// be heard, so the mixer keeps real time with no sound server at all. Nobody
// hears its latency, so its periods are long: fewer wake-ups.
#pragma once

#include "platform/posix/output/CAudioOutput.h"
#include "platform/posix/output/CFrameClock.h"

class CNullOutput : public CAudioOutput {
public:
    CNullOutput();

    // Rate 0: 48000.
    bool Open(DWORD rate, WORD channels, DWORD periodFrames) override;
    EKind GetKind() const override { return OUTPUT_NULL; }
    DWORD GetRate() const override { return m_clock.GetRate(); }
    DWORD GetPeriodFrames() const override { return m_period; }
    // Returns when the last of the frames is due.
    bool Write(const float *samples, DWORD frames) override;
    DWORD GetLatencyFrames() override;
    // The pace starts afresh at the next Write.
    void Resume() override;
    void Close() override;

private:
    bool m_open;
    DWORD m_period;
    CFrameClock m_clock;
};
