// A scriptable DirectSound for the unit tests. Linking dudidadu_fake_dsound in
// place of the real DirectSound makes DirectSoundCreate return fake objects
// that log every call with its arguments and answer as the script says.
//
// Objects, as they appear in the log ("object" field, with an "id"):
//   "DirectSound"  made by DirectSoundCreate; ids 1, 2, ... in creation order
//   "primary"      the primary buffer of a DirectSound; same id as its owner
//   "secondary"    a secondary buffer; ids 1, 2, ... in creation order
// DirectSoundCreate itself is logged with object "" and id 0.
//
// Keys name a method for scripting, counting and waiting: "Play" matches the
// method on every object, "primary.Play" or "secondary.Play" only on that kind.
// A scripted rule for the kind-specific key is consulted first.
//
// Defaults behave like a software device: capabilities 0xF5F, secondary rates
// 100..200000; SetVolume -10000..0, SetPan -10000..10000, SetFrequency 0 or
// 100..200000 (outside: DSERR_INVALIDPARAM); CreateSoundBuffer refuses a
// dwSize other than sizeof(DSBUFFERDESC1) or sizeof(DSBUFFERDESC); the primary
// refuses SetFormat below DSSCL_PRIORITY (DSERR_PRIOLEVELNEEDED) and Play
// without DSBPLAY_LOOPING. A one-shot secondary plays until stopped unless
// SetOneShotQueries says otherwise, or SetOneShotsInRealTime; a looping one
// always does. GetCurrentPosition answers only for one-shots in real time.
//
// Logged arguments ("args", in this order):
//   DirectSoundCreate  guid pointer (as an integer), outer != null
//   GetCaps            dwSize (0 for a null record)
//   SetCooperativeLevel  window (as an integer), level
//   CreateSoundBuffer  dwSize, dwFlags, dwBufferBytes, dwReserved, format != null,
//                      then, with a format: wFormatTag, nChannels, nSamplesPerSec,
//                      nAvgBytesPerSec, nBlockAlign, wBitsPerSample, cbSize;
//                      "data" holds the format block as passed: 18 bytes,
//                      plus cbSize extra bytes when the tag is not PCM
//   SetFormat          the same seven format fields (none for a null format)
//   Play               reserved1, priority, flags
//   Lock               offset, bytes, flags
//   Unlock             offset of the first region (-1 for null), bytes1,
//                      offset of the second region (-1 for null), bytes2;
//                      "data" holds the whole buffer after the unlock
//   SetCurrentPosition position
//   SetVolume, SetPan, SetFrequency  the value
//   GetVolume, GetPan, GetFrequency, GetStatus  the value returned (0 on failure)
//   GetCurrentPosition  the play position returned (0 on failure)
//   Stop, Restore      none
//   AddRef, Release    references left after the call
//
// Misuse that real DirectSound punishes (a call on a buffer after its
// DirectSound object was released, a Release without a reference) is not
// crashed on but listed in Faults().
//
// Everything here is thread-safe: application threads and the sounds' monitor
// threads call the fake at the same time.
#pragma once

#include "platform/winapi.h"

#include <chrono>
#include <string>
#include <vector>

namespace fakeds {

struct Call {
    std::string object;  // "", "DirectSound", "primary" or "secondary"
    int id = 0;
    std::string method;
    std::vector<long long> args;
    HRESULT result = DS_OK;           // E_FAIL for a call that raised the scripted exception
    std::vector<unsigned char> data;  // Unlock: the buffer's bytes; CreateSoundBuffer: the format
    std::chrono::steady_clock::time_point at;  // when the call was answered
};

// Forgets the script and the log and restarts the ids. Objects still alive
// stay usable and counted.
void Reset();

// Capabilities that GetCaps reports.
void SetCaps(DWORD flags, DWORD minSecondaryRate, DWORD maxSecondaryRate);

// The next `times` calls matching key return hr (times < 0: every call until
// Reset). A failing DirectSoundCreate or CreateSoundBuffer stores null.
void FailNext(const std::string &key, HRESULT hr, int times = 1);

// The next call matching key throws a std::runtime_error (after logging).
void ThrowNext(const std::string &key);

// The next call matching key stops before it is answered (other calls go on)
// until ReleaseHold: the slow platform call of a test. WaitHeld waits until
// a call stands there; true when one does.
void HoldNext(const std::string &key);
bool WaitHeld(std::chrono::milliseconds within);
void ReleaseHold();

// A setter (SetVolume, SetPan, SetFrequency) answers hr for exactly this value.
void Refuse(const std::string &key, long long value, HRESULT hr = DSERR_INVALIDPARAM);

// One-shot buffers started from now on report DSBSTATUS_PLAYING for this many
// GetStatus queries, then stop and rewind (queries < 0: until stopped).
void SetOneShotQueries(int queries);

// One-shot buffers started from now on play in real time (the fake's clock
// is the steady clock): their position moves on at their frequency, which
// SetFrequency changes from then on, and they stop and rewind at the end.
// OneShotEnd is when the one-shot started last reaches its end as it now
// plays (or reached it).
void SetOneShotsInRealTime(bool on);
std::chrono::steady_clock::time_point OneShotEnd();

// Whether calls are logged (on after Reset). Off, the script still applies
// and waits see nothing new; for benchmarks, whose log would grow unbounded.
void SetLogging(bool on);

// Log access. A snapshot is a copy; the fake goes on logging.
std::vector<Call> Log();
std::vector<Call> Calls(const std::string &key);
int Count(const std::string &key);
void ClearLog();

// Waits until `count` calls match key, or the deadline passes. True when met.
bool WaitFor(const std::string &key, std::chrono::steady_clock::time_point deadline,
             int count = 1);
bool WaitFor(const std::string &key, std::chrono::milliseconds within, int count = 1);

// Objects alive (DirectSound objects and buffers with references left).
int LiveObjects();
// Misuse seen since the last Reset, one line each.
std::vector<std::string> Faults();

}  // namespace fakeds
