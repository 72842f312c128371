// Why the current export failed, as a Windows error code that the
// application reads with GetLastError; on Linux the kernel stand-in turns it
// into the errno value of the same meaning. Failure sites note a reason; the
// first one a call notes is what the application gets, as what fails after
// it fails because of it. A site that can say more (why a file was refused)
// explains the reason it has just noted in words, for the diagnostic line of
// the failed call.
//
// One object per export call, on the caller's stack: a thread-local slot
// points at it while the call runs, so threads never see each other's
// reasons. It keeps the caller's own last error, which a call that succeeds
// gives back unchanged, whatever the library's platform calls did to it on
// the way.
#pragma once

#include "platform/winapi.h"

class CFailureReason {
public:
    CFailureReason();
    ~CFailureReason();
    // Gives the application the reason (failed, or a reason was noted) or
    // its own last error (the call succeeded). The call's reason and its
    // words stay readable from this object.
    void End(BOOL failed);
    // The words that explain the reason, empty when no site gave any.
    LPCSTR GetWhy() const { return m_szWhy; }

    // Notes why the current call fails, unless a reason is noted already.
    static void Note(DWORD error);
    // Words for the reason the last Note of this call noted (not for one it
    // found noted already): `why`, and the file it concerns when `path` is
    // not null. TRUE when they were taken, so that the call's diagnostic
    // line will say them. The path must be readable.
    static BOOL Explain(LPCSTR path, LPCSTR why);
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
    static CFailureReason *_current();
    void _leave();

    DWORD m_dwCallerError;
    DWORD m_dwReason;
    BOOL m_bLastNoteTaken;  // the last Note set m_dwReason
    BOOL m_bInSlot;
    // A path of up to MAX_PATH bytes and a reason's words.
    char m_szWhy[512];
};
