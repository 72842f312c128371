// One loaded sound: the whole data chunk of a WAVE in memory, its format
// record, one secondary buffer of exactly the data's size and the sound's own
// lock. Each play runs a monitor thread (held by the base) that carries out
// fades and stops and notices the end of a one-shot sound; the sound counts as
// playing exactly as long as that thread lives.
//
// Owns: the sample memory (GlobalAlloc), the format record (heap), the buffer
// (one reference), the mutex and, through the base, the thread handle.
// Borrows: the device's IDirectSound, which outlives the sound.
#pragma once

#include "platform/winapi.h"
#include "sound/CThreadObject.h"

#include <atomic>

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

    // The last status code (SOUND_OK or a negative SOUND_ERR_ code).
    LONG GetStatus() const { return m_nStatus; }

private:
    BOOL LoadFile(LPCSTR path);
    BOOL LoadMem(LPVOID image, DWORD size);
    LPDIRECTSOUNDBUFFER CreateBuffer(LPDIRECTSOUND ds, LPWAVEFORMATEX format, DWORD size);
    BOOL _write_sound_buffer(const BYTE *data, DWORD size);
    static DWORD WINAPI _dsound_oneshot_play_thread(LPVOID param);

    BOOL _open(LPDIRECTSOUND ds, LPCSTR path, LPVOID image, DWORD size, BOOL file);
    BOOL _load(CWaveFile &wave, DWORD limit);
    void _free_wave();
    void _stop_buffer();
    BOOL _wait_lock(DWORD milliseconds);
    template <class T, class Call>
    T _locked_call(Call call);

    CDSoundObject(const CDSoundObject &) = delete;
    CDSoundObject &operator=(const CDSoundObject &) = delete;

    LPBYTE m_pWaveData;                 // the data chunk; null when nothing is loaded
    DWORD m_dwWaveSize;                 // its length, also the buffer's size
    LPWAVEFORMATEX m_pFormat;           // 18 + cbSize bytes
    LPDIRECTSOUND m_pDirectSound;       // borrowed from the device
    LPDIRECTSOUNDBUFFER m_pBuffer;      // null exactly when nothing is loaded
    std::atomic<LONG> m_nStatus;        // last status; the monitor thread's exit code
    LONG m_lVolume;                     // last volume SetVolume applied
    std::atomic<LONG> m_nFadeLeft;      // ms of the requested fade still to run
    std::atomic<LONG> m_nFadeTime;      // -1 none, 0 stop, 1..65535 fade length
    BOOL m_bLoop;                       // loop argument of the last good Play
    HANDLE m_hMutex;                    // the sound's lock

    friend struct CDSoundObjectProbe;
};
