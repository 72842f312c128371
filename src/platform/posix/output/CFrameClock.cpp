#include "platform/posix/output/CFrameClock.h"

#include <errno.h>
#include <time.h>

namespace {

const uint64_t kNsPerSecond = 1000000000u;
// Further behind than this and the timeline restarts: a mixer that was held
// up (debugger, overloaded machine) should not then run flat out to catch up.
const uint64_t kResyncNs = 100u * 1000000u;

}  // namespace

CFrameClock::CFrameClock() : m_rate(0), m_epochNs(0), m_frames(0) {}

uint64_t CFrameClock::NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * kNsPerSecond + (uint64_t)ts.tv_nsec;
}

void CFrameClock::Start(DWORD rate)
{
    m_rate = rate ? rate : 1;
    m_epochNs = NowNs();
    m_frames = 0;
}

uint64_t CFrameClock::FramesToNs(uint64_t frames) const
{
    // Whole seconds and the remainder apart, so the product cannot overflow.
    return frames / m_rate * kNsPerSecond + frames % m_rate * kNsPerSecond / m_rate;
}

void CFrameClock::Wait(DWORD frames)
{
    WaitAhead(frames, 0);
}

uint64_t CFrameClock::_count(DWORD frames, uint64_t now)
{
    if (m_rate == 0)
        Start(1);
    if (now > m_epochNs + FramesToNs(m_frames) + kResyncNs) {
        m_epochNs = now;
        m_frames = 0;
    }
    m_frames += frames;
    return m_epochNs + FramesToNs(m_frames);
}

void CFrameClock::WaitAhead(DWORD frames, DWORD ahead)
{
    const uint64_t now = NowNs();
    _count(frames, now);
    if (m_frames <= ahead)
        return;
    const uint64_t deadline = m_epochNs + FramesToNs(m_frames - ahead);
    if (ahead != 0 && deadline <= now)
        return;
    timespec ts;
    ts.tv_sec = (time_t)(deadline / kNsPerSecond);
    ts.tv_nsec = (long)(deadline % kNsPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}
