// The one registry of sound devices and the place of every handle check.
// A handle is the address of a registered device, or of a sound held by one;
// it is found by pointer identity and never dereferenced before that.
//
// Owns: one reference to every registered device, in a table of 32 slots.
//
// m_csDevices guards the table and the status, and is held only for a
// look-up or for the moment a device enters or leaves the table: creating a
// device, loading a sound and tearing either down all happen outside it, so
// that one thread's slow call never holds up another's. What a look-up finds
// it pins (one more reference to the sound and to its device), so that
// nothing is destroyed while a call is still inside it.
#pragma once

#include "frame/CSlotTable.h"
#include "platform/winapi.h"

#include <atomic>

class CDSoundDevice;
class CDSoundObject;

class CDSoundManager {
public:
    CDSoundManager();
    // Tears down every device still registered, in slot order.
    ~CDSoundManager();

    // The registered device for hwnd, or null.
    CDSoundDevice *FindDevice(HWND hwnd);
    // A new, initialised device for hwnd in the lowest free slot, or null
    // (also when the window has a device or one is being made for it).
    CDSoundDevice *CreateDevice(HWND hwnd, LPGUID guid);
    // The device for hwnd, made if there is none: a second caller for the
    // same window waits for the first one's creation and gets its device.
    CDSoundDevice *InitializeDevice(HWND hwnd, LPGUID guid);
    // Takes a registered device out of the table and tears it down (its
    // last holder frees it); anything else is ignored.
    void DestroyDevice(LPCVOID device);
    BOOL IsDevice(LPCVOID device);
    BOOL IsSound(LPCVOID sound);
    // The registered device that holds sound, or null.
    CDSoundDevice *FindSoundOwner(LPCVOID sound);

    // Pinned look-ups for the exports: the object with one more reference,
    // which the caller releases. A sound comes with its device, pinned too.
    CDSoundDevice *PinDevice(LPCVOID device);
    CDSoundObject *PinSound(LPCVOID sound, CDSoundDevice **owner);

    // From now on every look-up fails and nothing is created; what exists is
    // left as it is. For the end of the process, when other threads may
    // still be inside the library and the platform must not be waited on.
    void Close();

    LONG GetStatus();
    // The device in a slot, or null; for inspection.
    CDSoundDevice *GetDeviceAt(int index);

private:
    CDSoundManager(const CDSoundManager &) = delete;
    CDSoundManager &operator=(const CDSoundManager &) = delete;

    CDSoundDevice *_create(HWND hwnd, LPGUID guid, BOOL join);
    // One attempt; *again when the device found was terminated meanwhile.
    CDSoundDevice *_create_once(HWND hwnd, LPGUID guid, BOOL join, BOOL *again);
    // Under m_csDevices: the device whose window is, or is being, hwnd.
    CDSoundDevice *_find_claim(HWND hwnd);
    // Under m_csDevices: a registered device that finished its creation.
    CDSoundDevice *_find_ready(LPCVOID device);
    // Keeps the library loaded once it has made a device: its threads and
    // those of DirectSound run its code, so it must never be unloaded
    // under them.
    void _pin_module();

    CSlotTable<CDSoundDevice> *m_pDevices;  // the registered devices
    LONG m_nStatus;                         // last status of a registry operation
    CRITICAL_SECTION m_csDevices;           // guards the two fields above
    std::atomic<BOOL> m_bClosed;            // set at the end of the process
    std::atomic<BOOL> m_bPinned;            // the module is pinned
};

// The registry. It is never destroyed: at the end of the process other
// threads may still run in the library, so it is only closed (see Close).
extern CDSoundManager &g_DSoundManager;
