// One DirectSound context bound to one application window: the IDirectSound
// object, the primary buffer it keeps playing in a loop, the cooperative level
// chosen from the hardware's capabilities, the device lock and the table of
// up to 32 sounds opened for the device.
//
// Owns: the sounds in its table (each released before anything else), the
// primary buffer (released before the IDirectSound), the IDirectSound, the
// mutex, the creation event. The table itself is the registry's (one per
// registry slot, kept for the life of the process, so that the generations
// in sound handles go on from one device in the slot to the next), or the
// device's own for a device outside the registry.
// The sounds borrow m_pDirectSound without a reference of their own.
//
// Lifetime: counted. The registry's slot holds one reference and every sound
// made for the device one more, until that sound is destroyed: so the
// DirectSound context outlives every sound and buffer made from it. The last
// Release destroys and frees the device.
//
// Locks: m_csSounds is the owner's lock of the sounds table and guards the
// creation state, briefly; the registry may take it while holding its own
// lock, never the other way round. m_hMutex is the device lock of set-up and
// shutdown; CDirectSoundLock is taken inside it, around the DirectSound calls
// that make and release the context.
#pragma once

#include "frame/CSlotTable.h"
#include "platform/winapi.h"

#include <atomic>

class CDSoundObject;

class CDSoundDevice {
public:
    // The device of registry slot `slot`, whose sounds go into `sounds`;
    // without a table, one of its own.
    explicit CDSoundDevice(int slot = 0, CSlotTable<CDSoundObject> *sounds = nullptr);
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
    // 1 when the sound handle names a live sound of this device.
    int HasSound(LPCVOID sound);

    // Sounds enter the table only here: a new sound in the lowest free slot,
    // opened with the device's DirectSound object. Its handle, or null on
    // failure, with the slot free again. The slot is taken at once; the
    // handle finds the sound only once it has loaded.
    LPVOID OpenSound(LPCSTR path);
    LPVOID OpenSoundMem(LPVOID image, DWORD size);
    // Takes a sound of this device out of its table (the sound stops at
    // once, and goes when the last call inside it has left); anything else
    // is ignored.
    void CloseSound(LPCVOID sound);
    // Lets go of one hold on slot `index` of a sounds table; the last one on
    // a sound that has left destroys it and then lets go of its device.
    static void UnpinSound(CSlotTable<CDSoundObject> *sounds, int index);

    void AddRef();
    // The last Release destroys the device and frees it.
    void Release();
    // The device leaves the registry: no sound is opened any more, and every
    // sound leaves the table and is stopped (its last holder destroys it).
    void Retire();

    // The registry's creation protocol. Claim: before the device enters the
    // registry, the window it is made for and the device GUID asked for
    // (null: the default; an unreadable one counts as none other matches),
    // so that a second caller for the same window finds it and waits
    // (FALSE when that cannot be arranged). SetHandle: the handle the
    // registry gives it. FinishCreation: the outcome, which wakes those
    // callers.
    BOOL Claim(HWND hwnd, const GUID *guid, BOOL readable);
    HWND GetClaim() const { return m_hWndClaim; }
    // Whether a caller asking for `guid` (as Claim takes it) asks for what
    // the device was made for.
    BOOL IsMadeFor(const GUID *guid, BOOL readable) const;
    void SetHandle(LPVOID handle) { m_pHandle = handle; }
    LPVOID GetHandle() const { return m_pHandle; }
    void FinishCreation(BOOL ready, DWORD failure);
    // Why the creation failed, for the callers who waited for it.
    DWORD GetCreationFailure() const { return m_dwCreationFailure; }
    // Up to `ms` for the creation to finish: TRUE when it has, with
    // *pbCreated telling whether the device was made; FALSE while it goes on.
    BOOL WaitCreation(DWORD ms, BOOL *pbCreated);
    // Created and not yet taken out of the registry.
    BOOL IsReady();

    HWND GetWindow() const { return m_hWnd; }
    LONG GetStatus() const { return m_nStatus; }
    DWORD GetCoopLevel() const { return m_dwCoopLevel; }

private:
    int _create_context(HWND hwnd, LPGUID guid);
    void _release_context();
    LPVOID _open_sound(LPCSTR path, LPVOID image, DWORD size, BOOL memory);

    CDSoundDevice(const CDSoundDevice &) = delete;
    CDSoundDevice &operator=(const CDSoundDevice &) = delete;

    int m_nSlot;                           // its registry slot, named by its sounds' handles
    CSlotTable<CDSoundObject> *m_pSounds;  // null only when its own could not be allocated
    BOOL m_bOwnTable;                      // m_pSounds is the device's own
    std::atomic<LONG> m_nStatus;           // last status; SOUND_OK at construction
    HWND m_hWnd;                           // the window; set only while initialised
    LPDIRECTSOUND m_pDirectSound;          // one reference owned
    LPDIRECTSOUNDBUFFER m_pPrimary;        // one reference owned, playing in a loop
    DWORD m_dwCoopLevel;                   // DSSCL_NORMAL or DSSCL_PRIORITY
    HANDLE m_hMutex;                       // the device lock

    std::atomic<LONG> m_nRefs;             // holders (see Lifetime above)
    CRITICAL_SECTION m_csSounds;           // guards the table and the next two fields
    BOOL m_bRetired;                       // out of the registry: no new sounds
    BOOL m_bReady;                         // created: the registry hands the handle out
    HANDLE m_hCreated;                     // manual-reset event: the creation has finished
    HWND m_hWndClaim;                      // the window asked for; set once, before publication
    GUID m_guidAsked;                      // the device GUID asked for, when m_nAsked says one
    int m_nAsked;                          // 0 the default, 1 m_guidAsked, 2 an unreadable GUID
    LPVOID m_pHandle;                      // the handle the application knows it by
    DWORD m_dwCreationFailure;             // the failed creation's reason; set before m_hCreated

    friend struct CDSoundDeviceProbe;
};
