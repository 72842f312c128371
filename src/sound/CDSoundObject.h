// One loaded sound: the samples of a WAVE's data chunk in memory (decoded at
// load when DirectSound cannot take them as they are), the format record
// that describes them, one secondary buffer of exactly their size and the
// sound's own lock. Each play runs a monitor thread (held by the base) that carries out
// fades and stops and notices the end of a one-shot sound; the sound counts as
// playing exactly as long as that thread lives.
//
// Owns: the sample memory (GlobalAlloc), the format record (heap), the buffer
// (one reference), the mutex, the wake event and, through the base, the
// thread handle.
// Borrows: the device's IDirectSound, which outlives the sound.
//
// Lifetime: counted. The device's table holds one reference, and so does
// every call that is inside the sound; the last Release destroys and frees
// it, so a sound closed by one thread is never freed under another thread's
// call. Whoever holds a reference to a sound also holds one to its device.
#pragma once

#include "platform/winapi.h"
#include "sound/CThreadObject.h"

#include <atomic>

class CWaveDecoder;
class CWaveFile;

class CDSoundObject : public CThreadObject {
public:
    CDSoundObject();
    ~CDSoundObject();

    BOOL Open(LPDIRECTSOUND ds, LPCSTR path);
    BOOL OpenMem(LPDIRECTSOUND ds, LPVOID image, DWORD size);

    BOOL Play(BOOL loop);
    void Stop(LONG fade_ms);
    BOOL IsPlaying();

    BOOL SetVolume(LONG volume);
    BOOL SetPan(LONG pan);
    BOOL SetFrequency(DWORD frequency);
    LONG GetVolume();
    LONG GetPan();
    DWORD GetFrequency();

    void Close();
    void Destroy();

    // One more holder; the sound lives until every holder has released it.
    void AddRef();
    // The last Release destroys the sound and frees it.
    void Release();
    // The sound has left its table: it stops at once and never plays again.
    void Retire();

    // The last status code (SOUND_OK or a negative SOUND_ERR_ code).
    LONG GetStatus() const { return m_nStatus; }

private:
    BOOL LoadFile(LPCSTR path);
    BOOL LoadMem(LPVOID image, DWORD size);
    LPDIRECTSOUNDBUFFER CreateBuffer(LPDIRECTSOUND ds, LPWAVEFORMATEX format, DWORD size);
    BOOL _write_sound_buffer(const BYTE *data, DWORD size);
    static DWORD WINAPI _dsound_oneshot_play_thread(LPVOID param);
    // Milliseconds until the last sample of the playing buffer, by its
    // position and frequency; a tick when the buffer cannot tell.
    DWORD _time_left(LPDIRECTSOUNDBUFFER buffer);

    BOOL _open(LPDIRECTSOUND ds, LPCSTR path, LPVOID image, DWORD size, BOOL file);
    BOOL _play(BOOL loop);
    BOOL _load(CWaveFile &wave, DWORD limit, LPCSTR path);
    LONG _read_decoded(CWaveFile &wave, const CWaveDecoder &decoder, DWORD dataSize, LPCSTR path);
    void _refuse_format(LPCSTR path);
    void _free_wave();
    void _stop_buffer();
    // A stop or fade request in the two fields, without waking the thread.
    void _request_stop(LONG fade_ms);
    BOOL _wait_lock(DWORD milliseconds);
    // The play lock, waited for as long as any lock; FALSE when not had.
    BOOL _enter_play();
    template <class T, class Call>
    T _locked_call(Call call);

    CDSoundObject(const CDSoundObject &) = delete;
    CDSoundObject &operator=(const CDSoundObject &) = delete;

    LPBYTE m_pWaveData;                 // the samples, decoded; null when nothing is loaded
    DWORD m_dwWaveSize;                 // their length, also the buffer's size
    LPWAVEFORMATEX m_pFormat;           // 18 + cbSize bytes, describing m_pWaveData
    LPDIRECTSOUND m_pDirectSound;       // borrowed from the device
    LPDIRECTSOUNDBUFFER m_pBuffer;      // null exactly when nothing is loaded
    std::atomic<LONG> m_nStatus;        // last status; the monitor thread's exit code
    LONG m_lVolume;                     // last volume SetVolume applied
    std::atomic<LONG> m_nFadeLeft;      // ms of the requested fade still to run
    std::atomic<LONG> m_nFadeTime;      // -1 none, 0 stop, 1..65535 fade length
    std::atomic<BOOL> m_bLoop;          // loop argument of the last good Play
    HANDLE m_hMutex;                    // the sound's lock
    HANDLE m_hWake;                     // auto-reset event: wakes the monitor thread for a request
    CRITICAL_SECTION m_csPlay;          // one Play at a time replaces the monitor thread
    std::atomic<LONG> m_nRequests;      // stop requests so far: a new one restarts a fade's steps
    std::atomic<LONG> m_nRefs;          // holders; the table's and those of calls inside
    std::atomic<BOOL> m_bRetired;       // out of its table: plays no more

    friend struct CDSoundObjectProbe;
};
