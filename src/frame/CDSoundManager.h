// The one registry of sound devices and the place of every handle check.
// A handle (CHandle) names a slot of the device table, or of the sounds
// table that belongs to a device slot, and the generation of its occupant;
// a look-up goes straight to that slot and never follows the handle itself.
//
// Owns: one reference to every registered device, in a table of 32 slots,
// and the 32 sounds tables that the devices of those slots use in turn (kept
// for the life of the process, so that the generations in sound handles go
// on from one device in a slot to the next).
//
// m_csDevices guards the device table's changes and the status, and is held
// only for the moment a device enters or leaves the table: creating a
// device, loading a sound and tearing either down all happen outside it, so
// that one thread's slow call never holds up another's. Look-ups take no
// lock at all: what a look-up finds it holds (CSlotTable::Pin) until the
// call is over, so that nothing is destroyed while a call is inside it.
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

    // The handle of the registered device for hwnd, or null.
    LPVOID FindDevice(HWND hwnd);
    // A new, initialised device for hwnd in the lowest free slot: its
    // handle, or null (also when the window has a device or one is being
    // made for it).
    LPVOID CreateDevice(HWND hwnd, LPGUID guid);
    // The device for hwnd, made if there is none: a second caller for the
    // same window waits for the first one's creation and gets its device.
    LPVOID InitializeDevice(HWND hwnd, LPGUID guid);
    // Takes a registered device out of the table and tears it down (its
    // last holder frees it); anything else is ignored.
    void DestroyDevice(LPCVOID device);
    BOOL IsDevice(LPCVOID device);
    BOOL IsSound(LPCVOID sound);
    // The handle of the registered device that holds sound, or null.
    LPVOID FindSoundOwner(LPCVOID sound);

    // Held look-ups for the exports: the object behind the handle, which
    // stays until the caller lets go with the matching Unpin. A sound comes
    // with its device, which it holds itself.
    CDSoundDevice *PinDevice(LPCVOID device);
    void UnpinDevice(LPCVOID device);
    CDSoundObject *PinSound(LPCVOID sound, CDSoundDevice **owner);
    void UnpinSound(LPCVOID sound);

    // From now on every look-up fails and nothing is created; what exists is
    // left as it is. For the end of the process, when other threads may
    // still be inside the library and the platform must not be waited on.
    void Close();

    LONG GetStatus();
    // For inspection: the handle of the device in a slot, and the device
    // behind a handle (not held), or null.
    LPVOID GetDeviceAt(int index);
    CDSoundDevice *GetDevice(LPCVOID device);

private:
    CDSoundManager(const CDSoundManager &) = delete;
    CDSoundManager &operator=(const CDSoundManager &) = delete;

    LPVOID _create(HWND hwnd, LPGUID guid, BOOL join);
    // One attempt; *again when the device found was terminated meanwhile.
    LPVOID _create_once(HWND hwnd, const GUID *asked, BOOL readable, LPGUID guid, BOOL join, BOOL *again);
    // The end of a creation, however it ended: the device goes live, or
    // its slot is given up; its waiters wake; the creator lets go.
    void _settle_creation(CDSoundDevice *device, int slot, int ready);
    // Under m_csDevices: the device whose window is, or is being, hwnd.
    CDSoundDevice *_find_claim(HWND hwnd);
    // The slot of a device handle that is live now, or -1.
    int _live_slot(LPCVOID device);
    // Lets go of one hold on a device slot; the last one on a device that
    // has left lets go of the table's reference.
    void _unpin_device(int index);
    // Keeps the library loaded once it has made a device: its threads and
    // those of DirectSound run its code, so it must never be unloaded
    // under them.
    void _pin_module();

    CSlotTable<CDSoundDevice> m_devices;                   // the registered devices
    CSlotTable<CDSoundObject> m_aSounds[SLOT_TABLE_CAPACITY];  // the sounds of each slot's device
    LONG m_nStatus;                                        // last status of a registry operation
    CRITICAL_SECTION m_csDevices;                          // guards the changes of the two above
    std::atomic<BOOL> m_bClosed;                           // set at the end of the process
    std::atomic<BOOL> m_bPinned;                           // the module is pinned

    friend struct CDSoundManagerProbe;
};

// The registry. It is never destroyed: at the end of the process other
// threads may still run in the library, so it is only closed (see Close).
extern CDSoundManager &g_DSoundManager;
