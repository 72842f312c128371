// One DirectSound context bound to one application window: the IDirectSound
// object, the primary buffer it keeps playing in a loop, the cooperative level
// chosen from the hardware's capabilities, the device lock and the table of
// up to 32 sounds opened for the device.
//
// Owns: the sounds in m_pSounds (destroyed before anything else), the primary
// buffer (released before the IDirectSound), the IDirectSound, the mutex, the
// creation event.
// The sounds borrow m_pDirectSound without a reference of their own.
//
// Lifetime: counted, like the sounds'. The registry's table holds one
// reference, every call inside the device one more, and everybody who holds
// a sound holds its device too, so the DirectSound context outlives every
// sound made from it. The last Release destroys and frees the device.
//
// Locks: m_csSounds guards the sounds table, the slots still loading and the
// creation state, briefly; the registry may take it while holding its own
// lock, never the other way round. m_hMutex is the device lock of set-up and
// shutdown.
#pragma once

#include "frame/CSlotTable.h"
#include "platform/winapi.h"

#include <atomic>

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
    // 1 when the table holds sound, loaded; the handle is never dereferenced.
    int HasSound(LPCVOID sound);

    // Sounds enter the table only here: a new sound in the lowest free slot,
    // opened with the device's DirectSound object. Null on failure, with the
    // slot free again. The slot is taken at once; the sound is found by
    // handle only once it has loaded.
    CDSoundObject *OpenSound(LPCSTR path);
    CDSoundObject *OpenSoundMem(LPVOID image, DWORD size);
    // Takes a sound of this device out of its table and releases the
    // table's reference (the sound stops at once); anything else is ignored.
    void CloseSound(LPCVOID sound);

    // The loaded sound behind a handle, with one more reference, or null.
    CDSoundObject *PinSound(LPCVOID sound);
    void AddRef();
    // The last Release destroys the device and frees it.
    void Release();
    // The device leaves the registry: no sound is opened any more, and every
    // sound leaves the table, is stopped, and is released (its last holder
    // destroys it).
    void Retire();

    // The registry's creation protocol. Claim: before the device enters the
    // registry, the window it is made for, so that a second caller for the
    // same window finds it and waits (FALSE when that cannot be arranged).
    // FinishCreation: the outcome, which wakes those callers.
    BOOL Claim(HWND hwnd);
    HWND GetClaim() const { return m_hWndClaim; }
    void FinishCreation(BOOL ready, DWORD failure);
    // Why the creation failed, for the callers who waited for it.
    DWORD GetCreationFailure() const { return m_dwCreationFailure; }
    // Until the creation has finished; TRUE when the device was created.
    BOOL WaitCreation();
    // Created and not yet taken out of the registry.
    BOOL IsReady();

    HWND GetWindow() const { return m_hWnd; }
    LONG GetStatus() const { return m_nStatus; }
    DWORD GetCoopLevel() const { return m_dwCoopLevel; }

private:
    int _create_context(HWND hwnd, LPGUID guid);
    CDSoundObject *_open_sound(LPCSTR path, LPVOID image, DWORD size, BOOL memory);
    // Empties every slot into `sounds` (up to 32); the count.
    int _detach_all(CDSoundObject **sounds);

    CDSoundDevice(const CDSoundDevice &) = delete;
    CDSoundDevice &operator=(const CDSoundDevice &) = delete;

    CSlotTable<CDSoundObject> *m_pSounds;  // null only when it could not be allocated
    std::atomic<LONG> m_nStatus;           // last status; SOUND_OK at construction
    HWND m_hWnd;                           // the window; set only while initialised
    LPDIRECTSOUND m_pDirectSound;          // one reference owned
    LPDIRECTSOUNDBUFFER m_pPrimary;        // one reference owned, playing in a loop
    DWORD m_dwCoopLevel;                   // DSSCL_NORMAL or DSSCL_PRIORITY
    HANDLE m_hMutex;                       // the device lock

    std::atomic<LONG> m_nRefs;             // holders (see Lifetime above)
    CRITICAL_SECTION m_csSounds;           // guards the table and the next three fields
    DWORD m_dwLoading;                     // slots whose sound is still opening, one bit each
    BOOL m_bRetired;                       // out of the registry: no new sounds
    BOOL m_bReady;                         // created: the registry hands the handle out
    HANDLE m_hCreated;                     // manual-reset event: the creation has finished
    HWND m_hWndClaim;                      // the window asked for; set once, before publication
    DWORD m_dwCreationFailure;             // the failed creation's reason; set before m_hCreated

    friend struct CDSoundDeviceProbe;
};
