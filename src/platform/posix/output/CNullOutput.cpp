#include "platform/posix/output/CNullOutput.h"

namespace {

// 40 wake-ups a second, fewer than a game mixer's usual 1024-frame period
// makes; a one-shot's end is still noticed within a few milliseconds (the
// monitor foretells it from the position, not from the period).
const DWORD kPeriodMs = 25;

}  // namespace

CNullOutput::CNullOutput() : m_open(false), m_period(0) {}

bool CNullOutput::Open(DWORD rate, WORD channels, DWORD periodFrames)
{
    if (channels == 0)
        return false;
    if (rate == 0)
        rate = 48000;
    m_period = periodFrames ? periodFrames : rate * kPeriodMs / 1000;
    m_clock.Start(rate);
    m_open = true;
    return true;
}

bool CNullOutput::Write(const float * /*samples*/, DWORD frames)
{
    if (!m_open)
        return false;
    if (frames != 0)
        m_clock.Wait(frames);
    return true;
}

DWORD CNullOutput::GetLatencyFrames()
{
    // Write returns only once its frames are due: nothing is ever pending.
    return 0;
}

void CNullOutput::Resume()
{
    if (m_open)
        m_clock.Start(m_clock.GetRate());
}

void CNullOutput::Close()
{
    m_open = false;
}
