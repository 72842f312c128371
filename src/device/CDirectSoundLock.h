// The one process-wide lock around the making and the releasing of a
// device's DirectSound context (its IDirectSound and primary buffer), held
// for as long as the object lives. DirectSound implementations keep state
// shared by every IDirectSound on one output (Wine: one device object, with
// one primary buffer, for all of them, counted without a lock against its
// own look-up), so that contexts made and released at the same time by two
// threads corrupt it. Nothing else takes this lock, and its holder waits
// for nothing but the DirectSound calls inside it.
#pragma once

#include "platform/winapi.h"

class CDirectSoundLock {
public:
    CDirectSoundLock();
    ~CDirectSoundLock();

private:
    CDirectSoundLock(const CDirectSoundLock &) = delete;
    CDirectSoundLock &operator=(const CDirectSoundLock &) = delete;

    static LPCRITICAL_SECTION _section();
};
