// Diagnostic lines on request. DUDIDADU_LOG=1 in the environment (or a
// higher level) writes one line per notable event to the debugger output,
// which on Linux is standard error: the output a device got and why, why an
// open was refused, a server that stalled or went away, a fade length that
// DSoundStop took as 0 (out of range). Level 2 adds one line per failed
// call, with its reason as the platform names it and in words; a refusal
// that line tells is not told twice. Without DUDIDADU_LOG only the monitor
// threads' exception lines go out (they always do).
#pragma once

#include "platform/winapi.h"

class CLog {
public:
    enum { LOG_EVENTS = 1, LOG_CALLS = 2 };

    static BOOL Wants(int level);
    // "dudidadu: " and the text (wsprintfA's conversions) as one line, when
    // the level is wanted. The caller's last error is kept.
    static void Line(int level, LPCSTR format, ...);
    // Why a sound was not opened: the file (path) or a memory image (null
    // path), and the reason, which also explains the reason the call has
    // just noted. The path must be readable.
    static void Refused(LPCSTR path, LPCSTR why);
    // The line of a failed call: "DSoundOpen failed: EINVAL, not a RIFF/WAVE
    // file" (on Windows "error 11 ERROR_BAD_FORMAT" for "EINVAL"), with the
    // words a failure site gave (`why`, may be empty) or else those of the
    // code.
    static void Failed(LPCSTR name, DWORD error, LPCSTR why);
    // For tests: the level from now on, whatever the environment says (-1
    // reads the environment again), and where lines go (null: the debugger
    // output again).
    static void SetLevel(int level);
    typedef void (*Sink)(LPCSTR line);
    static void SetSink(Sink sink);

private:
    static int _level();
};
