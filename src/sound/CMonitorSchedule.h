// When a sound's monitor thread has something to do next, so that it sleeps
// until then rather than waking at every tick: the next 50 ms step of a
// fade, the end of a one-shot sound as its buffer's position and frequency
// foretell it, or another try at a lock that was busy. Nothing due (a loop
// with no request) means sleeping until woken.
//
// Times are microseconds on the monotonic clock of Now(); the thread's
// waits are whole milliseconds, rounded up, so that nothing is looked at
// before it is due.
#pragma once

#include "platform/winapi.h"

class CMonitorSchedule {
public:
    CMonitorSchedule();

    static LONGLONG Now();

    // Milliseconds from `now` until the first thing due (0 when one is,
    // INFINITE when nothing is).
    DWORD Timeout(LONGLONG now) const;

    // A fade was requested at `now`: its first step is due a tick later.
    void StartFade(LONGLONG now);
    BOOL IsFading() const { return m_llFadeDue >= 0; }
    BOOL IsFadeDue(LONGLONG now) const { return m_llFadeDue >= 0 && now >= m_llFadeDue; }
    // A step was made at `now`: the next one is due a tick later.
    void FadeStepped(LONGLONG now);
    void NoFade() { m_llFadeDue = -1; }

    // The buffer of a one-shot sound still plays at `now`, with `left`
    // milliseconds to go by its position. An end foretold earlier that has
    // come and gone is looked at again after a growing pause, in case the
    // buffer does not advance.
    void EndIn(LONGLONG now, DWORD left);
    BOOL IsEndDue(LONGLONG now) const { return m_llEndDue >= 0 && now >= m_llEndDue; }
    void NoEnd();

    // The pass could not take the lock at `now`: it is tried again soon,
    // each time a little later, at most a tick.
    void Retry(LONGLONG now);
    void Passed() { m_llRetryDue = -1; m_dwRetry = 0; }

private:
    LONGLONG m_llFadeDue;   // -1: no fade
    LONGLONG m_llEndDue;    // -1: no end foretold
    LONGLONG m_llRetryDue;  // -1: the last pass took the lock
    DWORD m_dwConfirm;      // ms: the pause after an end that has passed
    DWORD m_dwRetry;        // ms: the pause before the next try at the lock
};
