#include "frame/CDSoundManager.h"

#include "device/CDSoundDevice.h"
#include "frame/CHandle.h"
#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "platform/CLog.h"
#include "platform/CMemoryProbe.h"
#include "platform/CThreadCancel.h"
#include "sound/CDSoundObject.h"

#include <new>

namespace {
// An address inside this module, to find the module by.
const char kModuleAnchor = 0;
}  // namespace

CDSoundManager::CDSoundManager() : m_nStatus(SOUND_OK), m_bClosed(FALSE), m_bPinned(FALSE)
{
    InitializeCriticalSection(&m_csDevices);
}

CDSoundManager::~CDSoundManager()
{
    // Devices still registered go in slot order, each with its sounds.
    for (int i = 0; i < m_devices.GetCapacity(); ++i) {
        EnterCriticalSection(&m_csDevices);
        CDSoundDevice *device = m_devices.Detach(i, this);
        LeaveCriticalSection(&m_csDevices);
        if (device) {
            CThreadCancel hold;
            device->Retire();
            _unpin_device(i);
        }
    }
    DeleteCriticalSection(&m_csDevices);
}

CDSoundDevice *CDSoundManager::_find_claim(HWND hwnd)
{
    for (CDSoundDevice *device = m_devices.First(); device; device = m_devices.Next()) {
        if (device->GetClaim() == hwnd)
            return device;
    }
    return nullptr;
}

int CDSoundManager::_live_slot(LPCVOID device)
{
    int slot = 0;
    DWORD generation = 0;
    return CHandle::ParseDevice(device, &slot, &generation) && m_devices.IsLive(slot, generation) ? slot : -1;
}

LPVOID CDSoundManager::FindDevice(HWND hwnd)
{
    EnterCriticalSection(&m_csDevices);
    CDSoundDevice *found = _find_claim(hwnd);
    LPVOID handle = found && found->IsReady() ? found->GetHandle() : nullptr;
    LeaveCriticalSection(&m_csDevices);
    return handle;
}

LPVOID CDSoundManager::CreateDevice(HWND hwnd, LPGUID guid)
{
    return _create(hwnd, guid, FALSE);
}

LPVOID CDSoundManager::InitializeDevice(HWND hwnd, LPGUID guid)
{
    return _create(hwnd, guid, TRUE);
}

LPVOID CDSoundManager::_create(HWND hwnd, LPGUID guid, BOOL join)
{
    // What the caller asks for, read once: to tell a second caller for the
    // window whether it got the device it asked for.
    GUID asked = {};
    const BOOL readable = guid && CMemoryProbe::CanRead(guid, sizeof(GUID));
    if (readable)
        asked = *guid;
    for (;;) {
        BOOL again = FALSE;
        LPVOID device = _create_once(hwnd, guid ? &asked : nullptr, readable, guid, join, &again);
        if (!again)
            return device;
    }
}

LPVOID CDSoundManager::_create_once(HWND hwnd, const GUID *asked, BOOL readable, LPGUID guid, BOOL join,
                                    BOOL *again)
{
    // Under the lock: find the window's device, or put a new one in the
    // lowest free slot with the window claimed.
    CDSoundDevice *device = nullptr;
    BOOL creator = FALSE;
    BOOL another = FALSE;
    int slot = -1;
    EnterCriticalSection(&m_csDevices);
    if (m_bClosed) {
        CFailureReason::Note(ERROR_SHUTDOWN_IN_PROGRESS);
    } else {
        device = _find_claim(hwnd);
        if (device && join) {
            device->AddRef();
            another = !device->IsMadeFor(asked, readable);
        } else if (device) {
            m_nStatus = SOUND_ERR_STATE;
            CFailureReason::Note(ERROR_INVALID_WINDOW_HANDLE);
            device = nullptr;
        } else {
            slot = m_devices.FindFreeSlot();
            CDSoundDevice *made = slot >= 0 ? new (std::nothrow) CDSoundDevice(slot, &m_aSounds[slot]) : nullptr;
            const DWORD generation = made && made->Claim(hwnd, asked, readable) ? m_devices.Put(slot, made, this) : 0;
            if (generation) {
                made->SetHandle(CHandle::MakeDevice(slot, generation));
                device = made;
                creator = TRUE;
            } else {
                delete made;
                m_nStatus = SOUND_ERR_NOSLOT;
                CFailureReason::Note(slot < 0 ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
            }
        }
    }
    LeaveCriticalSection(&m_csDevices);
    if (!device)
        return nullptr;

    if (!creator) {
        if (another)
            CLog::Line(CLog::LOG_EVENTS, "DSoundInitialize: the window has a device already, made for "
                                         "another DirectSound device; that one is returned");
        // Same window, same work: the first caller's outcome is ours, if it
        // comes within the bound of any wait on a busy object. A device
        // terminated since is no answer: ask again.
        BOOL created = FALSE;
        const BOOL finished = device->WaitCreation(LOCK_TIMEOUT_MS, &created);
        const BOOL ready = created && device->IsReady();
        *again = created && !ready;
        if (!finished) {
            EnterCriticalSection(&m_csDevices);
            m_nStatus = SOUND_ERR_FAILED;
            LeaveCriticalSection(&m_csDevices);
            CFailureReason::Note(ERROR_TIMEOUT);
        } else if (!created) {
            CFailureReason::Note(device->GetCreationFailure());
        }
        LPVOID handle = ready ? device->GetHandle() : nullptr;
        device->Release();
        return handle;
    }

    // The creation itself, DirectSound's set-up included, runs outside the
    // lock: nobody else's call waits for it. Its outcome is settled also
    // when an unwind ends it, so that the window's waiters wake and the
    // slot empties again.
    struct CCreation {
        CDSoundManager *m_pRegistry;
        CDSoundDevice *m_pDevice;
        int m_nSlot;
        int m_nReady;
        ~CCreation()
        {
            CThreadCancel hold;
            m_pRegistry->_settle_creation(m_pDevice, m_nSlot, m_nReady);
        }
    };
    const LPVOID handle = device->GetHandle();
    BOOL live = FALSE;
    {
        CCreation creation = {this, device, slot, 0};
        try {
            creation.m_nReady = device->Initialize(hwnd, guid);
        } catch (...) {
            CThreadCancel::PassOn();
            creation.m_nReady = 0;  // a device that did not finish its set-up never stays
        }
        if (!creation.m_nReady)
            CFailureReason::Note(ERROR_DEVICE_NOT_AVAILABLE);  // unless the set-up said why
        live = creation.m_nReady;
    }
    return live ? handle : nullptr;
}

void CDSoundManager::_settle_creation(CDSoundDevice *device, int slot, int ready)
{
    EnterCriticalSection(&m_csDevices);
    const BOOL live = ready && m_devices.Publish(slot);
    if (live)
        m_nStatus = SOUND_OK;
    else
        m_devices.Discard(slot, this);
    LeaveCriticalSection(&m_csDevices);
    device->FinishCreation(live, CFailureReason::Noted());
    if (live)
        _pin_module();
    _unpin_device(slot);  // the creator's hold; the last one on a discarded device frees it
}

void CDSoundManager::DestroyDevice(LPCVOID device)
{
    int slot = 0;
    DWORD generation = 0;
    CDSoundDevice *found = nullptr;
    if (CHandle::ParseDevice(device, &slot, &generation)) {
        EnterCriticalSection(&m_csDevices);
        if (!m_bClosed)
            found = m_devices.Detach(slot, this, generation);
        LeaveCriticalSection(&m_csDevices);
    }
    if (!found) {
        CFailureReason::Note(m_bClosed ? ERROR_SHUTDOWN_IN_PROGRESS : ERROR_INVALID_HANDLE);
        return;
    }
    // The handle is refused from here on; calls still inside the device or
    // its sounds finish first, and the last of them frees what they hold.
    CThreadCancel hold;
    found->Retire();
    _unpin_device(slot);
}

void CDSoundManager::_unpin_device(int index)
{
    LPVOID owner = nullptr;
    CDSoundDevice *gone = m_devices.Unpin(index, &owner);
    if (!gone)
        return;
    CThreadCancel hold;
    try {
        gone->Release();  // the table's reference
    } catch (...) {
    }
}

BOOL CDSoundManager::IsDevice(LPCVOID device)
{
    return _live_slot(device) >= 0;
}

BOOL CDSoundManager::IsSound(LPCVOID sound)
{
    int device = 0, slot = 0;
    DWORD generation = 0;
    return CHandle::ParseSound(sound, &device, &slot, &generation) && m_aSounds[device].IsLive(slot, generation);
}

LPVOID CDSoundManager::FindSoundOwner(LPCVOID sound)
{
    int device = 0, slot = 0;
    DWORD generation = 0;
    if (!CHandle::ParseSound(sound, &device, &slot, &generation) || !m_aSounds[device].Pin(slot, generation))
        return nullptr;
    LPVOID owner = static_cast<CDSoundDevice *>(m_aSounds[device].OwnerAt(slot))->GetHandle();
    CDSoundDevice::UnpinSound(&m_aSounds[device], slot);
    return owner;
}

CDSoundDevice *CDSoundManager::PinDevice(LPCVOID device)
{
    int slot = 0;
    DWORD generation = 0;
    const BOOL closed = m_bClosed.load(std::memory_order_relaxed);
    CDSoundDevice *found =
        !closed && CHandle::ParseDevice(device, &slot, &generation) ? m_devices.Pin(slot, generation) : nullptr;
    if (!found)
        CFailureReason::Note(closed ? ERROR_SHUTDOWN_IN_PROGRESS : ERROR_INVALID_HANDLE);
    return found;
}

void CDSoundManager::UnpinDevice(LPCVOID device)
{
    int slot = 0;
    DWORD generation = 0;
    if (CHandle::ParseDevice(device, &slot, &generation))
        _unpin_device(slot);
}

CDSoundObject *CDSoundManager::PinSound(LPCVOID sound, CDSoundDevice **owner)
{
    int device = 0, slot = 0;
    DWORD generation = 0;
    const BOOL closed = m_bClosed.load(std::memory_order_relaxed);
    CDSoundObject *found = !closed && CHandle::ParseSound(sound, &device, &slot, &generation)
                               ? m_aSounds[device].Pin(slot, generation)
                               : nullptr;
    // The sound holds its device as long as it exists.
    *owner = found ? static_cast<CDSoundDevice *>(m_aSounds[device].OwnerAt(slot)) : nullptr;
    if (!found)
        CFailureReason::Note(closed ? ERROR_SHUTDOWN_IN_PROGRESS : ERROR_INVALID_HANDLE);
    return found;
}

void CDSoundManager::UnpinSound(LPCVOID sound)
{
    int device = 0, slot = 0;
    DWORD generation = 0;
    if (CHandle::ParseSound(sound, &device, &slot, &generation))
        CDSoundDevice::UnpinSound(&m_aSounds[device], slot);
}

void CDSoundManager::Close()
{
    // No lock: at the end of the process a thread that held it may be gone.
    m_bClosed = TRUE;
}

void CDSoundManager::_pin_module()
{
    if (m_bPinned.exchange(TRUE))
        return;
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       &kModuleAnchor, &module);
}

LONG CDSoundManager::GetStatus()
{
    EnterCriticalSection(&m_csDevices);
    const LONG status = m_nStatus;
    LeaveCriticalSection(&m_csDevices);
    return status;
}

LPVOID CDSoundManager::GetDeviceAt(int index)
{
    EnterCriticalSection(&m_csDevices);
    CDSoundDevice *device = m_devices.At(index);
    LPVOID handle = device && device->IsReady() ? device->GetHandle() : nullptr;
    LeaveCriticalSection(&m_csDevices);
    return handle;
}

CDSoundDevice *CDSoundManager::GetDevice(LPCVOID device)
{
    EnterCriticalSection(&m_csDevices);
    const int slot = _live_slot(device);
    CDSoundDevice *found = slot >= 0 ? m_devices.At(slot) : nullptr;
    LeaveCriticalSection(&m_csDevices);
    return found;
}
