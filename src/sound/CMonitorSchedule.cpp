#include "sound/CMonitorSchedule.h"

#include "frame/status.h"

namespace {

const LONGLONG kMicroseconds = 1000000;
const LONGLONG kTick = (LONGLONG)MONITOR_TICK_MS * 1000;

// A pause that grows while the same thing goes on: 1 ms, then twice the
// last, at most a tick.
DWORD Longer(DWORD pause)
{
    const DWORD tick = MONITOR_TICK_MS;
    return pause == 0 ? 1 : pause * 2 < tick ? pause * 2 : tick;
}

LONGLONG Earliest(LONGLONG a, LONGLONG b)
{
    if (a < 0)
        return b;
    return b < 0 || a < b ? a : b;
}

}  // namespace

// The first pass is due at once: it looks at the buffer the play started.
CMonitorSchedule::CMonitorSchedule()
    : m_llFadeDue(-1), m_llEndDue(-1), m_llRetryDue(0), m_dwConfirm(0), m_dwRetry(0)
{
}

LONGLONG CMonitorSchedule::Now()
{
    LARGE_INTEGER count, frequency;
    if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return 0;
    // In two parts, so that a counter of nanoseconds cannot overflow.
    const LONGLONG f = frequency.QuadPart;
    return count.QuadPart / f * kMicroseconds + count.QuadPart % f * kMicroseconds / f;
}

DWORD CMonitorSchedule::Timeout(LONGLONG now) const
{
    // While the lock is tried again, nothing else can be done before.
    const LONGLONG due = m_llRetryDue >= 0 ? m_llRetryDue : Earliest(m_llFadeDue, m_llEndDue);
    if (due < 0)
        return INFINITE;
    if (due <= now)
        return 0;
    const LONGLONG ms = (due - now + 999) / 1000;
    return ms >= (LONGLONG)INFINITE ? INFINITE - 1 : (DWORD)ms;
}

void CMonitorSchedule::StartFade(LONGLONG now)
{
    m_llFadeDue = now + kTick;
}

void CMonitorSchedule::FadeStepped(LONGLONG now)
{
    m_llFadeDue = now + kTick;
}

void CMonitorSchedule::EndIn(LONGLONG now, DWORD left)
{
    if (IsEndDue(now))
        m_dwConfirm = Longer(m_dwConfirm);
    else
        m_dwConfirm = 0;
    // A millisecond past the last sample, by the estimate: the position
    // moves in the mixer's blocks, and the last one may come a little late.
    LONGLONG wait = (LONGLONG)left + 1;
    if (wait < (LONGLONG)m_dwConfirm)
        wait = m_dwConfirm;
    m_llEndDue = now + wait * 1000;
}

void CMonitorSchedule::NoEnd()
{
    m_llEndDue = -1;
    m_dwConfirm = 0;
}

void CMonitorSchedule::Retry(LONGLONG now)
{
    m_dwRetry = Longer(m_dwRetry);
    m_llRetryDue = now + (LONGLONG)m_dwRetry * 1000;
}
