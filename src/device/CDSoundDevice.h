// One DirectSound context bound to one application window: the IDirectSound
// object, the primary buffer it keeps playing in a loop, the cooperative level
// chosen from the hardware's capabilities, the device lock and the table of
// up to 32 sounds opened for the device.
//
// Owns: the sounds in m_pSounds (destroyed before anything else), the primary
// buffer (released before the IDirectSound), the IDirectSound, the mutex.
// The sounds borrow m_pDirectSound without a reference of their own.
#pragma once

#include "frame/CSlotTable.h"
#include "platform/winapi.h"

class CDSoundObject;

class CDSoundDevice {
public:
    CDSoundDevice();
    ~CDSoundDevice();

    // Creates the DirectSound context for hwnd (guid passed on unchanged,
    // null for the default device). 1 on success; on failure 0, with
    // whatever was acquired released again.
    int Initialize(HWND hwnd, LPGUID guid);
    // Releases the primary buffer and the DirectSound object under the
    // device lock, then closes the lock; the device is uninitialised after.
    void Shutdown();
    // The teardown before the device is freed: every sound, then Shutdown().
    void Destroy();
    // 1 when the table holds sound; the handle is never dereferenced.
    int HasSound(LPCVOID sound) const;

    // Sounds enter the table only here: a new sound in the lowest free slot,
    // opened with the device's DirectSound object. Null on failure, with the
    // slot free again.
    CDSoundObject *OpenSound(LPCSTR path);
    CDSoundObject *OpenSoundMem(LPVOID image, DWORD size);
    // Destroys a sound of this device and frees its slot; anything else is
    // ignored. Waits for the sound's monitor thread to end.
    void CloseSound(LPCVOID sound);

    HWND GetWindow() const { return m_hWnd; }
    LONG GetStatus() const { return m_nStatus; }
    DWORD GetCoopLevel() const { return m_dwCoopLevel; }

private:
    int _create_context(HWND hwnd, LPGUID guid);
    CDSoundObject *_open_sound(LPCSTR path, LPVOID image, DWORD size, BOOL memory);

    CDSoundDevice(const CDSoundDevice &) = delete;
    CDSoundDevice &operator=(const CDSoundDevice &) = delete;

    CSlotTable<CDSoundObject> *m_pSounds;  // null only when it could not be allocated
    LONG m_nStatus;                        // last status; SOUND_OK at construction
    HWND m_hWnd;                           // the window; set only while initialised
    LPDIRECTSOUND m_pDirectSound;          // one reference owned
    LPDIRECTSOUNDBUFFER m_pPrimary;        // one reference owned, playing in a loop
    DWORD m_dwCoopLevel;                   // DSSCL_NORMAL or DSSCL_PRIORITY
    HANDLE m_hMutex;                       // the device lock

    friend struct CDSoundDeviceProbe;
};
