// Why the current export failed, as a Windows error code that the
// application reads with GetLastError; on Linux the kernel stand-in turns it
// into the errno value of the same meaning. Failure sites note a reason; the
// first one a call notes is what the application gets, as what fails after
// it fails because of it. The reason lives in a thread-local slot, so
// threads never see each other's.
//
// One object per export call: it keeps the caller's own last error, which a
// call that succeeds gives back unchanged, whatever the library's platform
// calls did to it on the way.
#pragma once

#include "platform/winapi.h"

class CFailureReason {
public:
    CFailureReason();
    // Gives the application the reason (failed, or a reason was noted) or
    // its own last error (the call succeeded).
    void End(BOOL failed);

    // Notes why the current call fails, unless a reason is noted already.
    static void Note(DWORD error);
    // The reason noted so far on this thread, 0 for none.
    static DWORD Noted();
    // The reason a DirectSound result stands for.
    static DWORD FromDirectSound(HRESULT hr);
    // TRUE, with its reason noted, when a DirectSound call failed.
    static BOOL Failed(HRESULT hr);

private:
    CFailureReason(const CFailureReason &) = delete;
    CFailureReason &operator=(const CFailureReason &) = delete;

    static DWORD _slot();

    DWORD m_dwCallerError;
};
