// The one registry of sound devices and the place of every handle check.
// A handle is the address of a registered device, or of a sound held by one;
// it is found by pointer identity and never dereferenced before that.
//
// Owns: every registered device, in a table of 32 slots.
// Two locks, both taken only by the exports and the registry itself:
// - m_csDevices serialises the registry's operations, so that two callers'
//   scans never share the table's cursor;
// - m_srwHandles, held by every export across its handle check and the call
//   it forwards (exclusively by those that add or remove devices or sounds,
//   and by a play, which replaces a sound's monitor thread), so that nothing
//   is destroyed or replaced while another export is using it.
#pragma once

#include "frame/CSlotTable.h"
#include "platform/winapi.h"

class CDSoundDevice;

class CDSoundManager {
public:
    CDSoundManager();
    ~CDSoundManager();

    // The registered device for hwnd, or null.
    CDSoundDevice *FindDevice(HWND hwnd);
    // A new, initialised device for hwnd in the lowest free slot, or null.
    CDSoundDevice *CreateDevice(HWND hwnd, LPGUID guid);
    // Destroys a registered device with its sounds; anything else is ignored.
    void DestroyDevice(LPCVOID device);
    BOOL IsDevice(LPCVOID device);
    BOOL IsSound(LPCVOID sound);
    // The registered device that holds sound, or null.
    CDSoundDevice *FindSoundOwner(LPCVOID sound);

    // The export lock (see above).
    void LockHandles(BOOL exclusive);
    void UnlockHandles(BOOL exclusive);

    LONG GetStatus();
    // The device in a slot, or null; for inspection.
    CDSoundDevice *GetDeviceAt(int index);

private:
    CDSoundManager(const CDSoundManager &) = delete;
    CDSoundManager &operator=(const CDSoundManager &) = delete;

    CSlotTable<CDSoundDevice> *m_pDevices;  // the registered devices
    LONG m_nStatus;                         // last status of a registry operation
    CRITICAL_SECTION m_csDevices;           // serialises the registry's operations
    SRWLOCK m_srwHandles;                   // the export lock
};

// The registry, constructed when the library is loaded and destroyed, with
// every device still registered, when it is unloaded.
extern CDSoundManager g_DSoundManager;
