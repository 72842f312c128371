#include "frame/CDSoundManager.h"

#include "device/CDSoundDevice.h"
#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "sound/CDSoundObject.h"

#include <new>

namespace {
// An address inside this module, to find the module by.
const char kModuleAnchor = 0;
}  // namespace

CDSoundManager::CDSoundManager()
    : m_pDevices(new (std::nothrow) CSlotTable<CDSoundDevice>), m_nStatus(SOUND_OK),
      m_bClosed(FALSE), m_bPinned(FALSE)
{
    InitializeCriticalSection(&m_csDevices);
}

CDSoundManager::~CDSoundManager()
{
    // Devices still registered go in slot order, each with its sounds.
    if (m_pDevices) {
        for (int i = 0; i < m_pDevices->GetCapacity(); ++i) {
            EnterCriticalSection(&m_csDevices);
            CDSoundDevice *device = m_pDevices->At(i);
            if (device)
                m_pDevices->Detach(device);
            LeaveCriticalSection(&m_csDevices);
            if (device) {
                device->Retire();
                device->Release();
            }
        }
        delete m_pDevices;
        m_pDevices = nullptr;
    }
    DeleteCriticalSection(&m_csDevices);
}

CDSoundDevice *CDSoundManager::_find_claim(HWND hwnd)
{
    for (CDSoundDevice *device = m_pDevices->First(); device; device = m_pDevices->Next()) {
        if (device->GetClaim() == hwnd)
            return device;
    }
    return nullptr;
}

CDSoundDevice *CDSoundManager::_find_ready(LPCVOID device)
{
    const int index = m_pDevices ? m_pDevices->IndexOf(device) : -1;
    CDSoundDevice *found = index >= 0 ? m_pDevices->At(index) : nullptr;
    return found && found->IsReady() ? found : nullptr;
}

CDSoundDevice *CDSoundManager::FindDevice(HWND hwnd)
{
    EnterCriticalSection(&m_csDevices);
    CDSoundDevice *found = m_pDevices ? _find_claim(hwnd) : nullptr;
    if (found && !found->IsReady())
        found = nullptr;
    LeaveCriticalSection(&m_csDevices);
    return found;
}

CDSoundDevice *CDSoundManager::CreateDevice(HWND hwnd, LPGUID guid)
{
    return _create(hwnd, guid, FALSE);
}

CDSoundDevice *CDSoundManager::InitializeDevice(HWND hwnd, LPGUID guid)
{
    return _create(hwnd, guid, TRUE);
}

CDSoundDevice *CDSoundManager::_create(HWND hwnd, LPGUID guid, BOOL join)
{
    for (;;) {
        BOOL again = FALSE;
        CDSoundDevice *device = _create_once(hwnd, guid, join, &again);
        if (!again)
            return device;
    }
}

CDSoundDevice *CDSoundManager::_create_once(HWND hwnd, LPGUID guid, BOOL join, BOOL *again)
{
    // Under the lock: find the window's device, or put a new one in the
    // lowest free slot with the window claimed.
    CDSoundDevice *device = nullptr;
    BOOL creator = FALSE;
    EnterCriticalSection(&m_csDevices);
    if (!m_pDevices || m_bClosed) {
        CFailureReason::Note(ERROR_SHUTDOWN_IN_PROGRESS);
    } else {
        device = _find_claim(hwnd);
        if (device && join) {
            device->AddRef();
        } else if (device) {
            m_nStatus = SOUND_ERR_STATE;
            CFailureReason::Note(ERROR_INVALID_WINDOW_HANDLE);
            device = nullptr;
        } else {
            const int slot = m_pDevices->FindFreeSlot();
            CDSoundDevice *made = slot >= 0 ? new (std::nothrow) CDSoundDevice : nullptr;
            if (made && !made->Claim(hwnd)) {
                delete made;
                made = nullptr;
            }
            if (made && m_pDevices->Put(slot, made)) {
                device = made;
                device->AddRef();
                creator = TRUE;
            } else {
                m_nStatus = SOUND_ERR_NOSLOT;
                CFailureReason::Note(slot < 0 ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
            }
        }
    }
    LeaveCriticalSection(&m_csDevices);
    if (!device)
        return nullptr;

    if (!creator) {
        // Same window, same work: the first caller's outcome is ours. A
        // device terminated since is no answer: ask again.
        const BOOL created = device->WaitCreation();
        const BOOL ready = created && device->IsReady();
        *again = created && !ready;
        if (!created)
            CFailureReason::Note(device->GetCreationFailure());
        device->Release();
        return ready ? device : nullptr;
    }

    // The creation itself, DirectSound's set-up included, runs outside the
    // lock: nobody else's call waits for it.
    _pin_module();
    int ready = 0;
    try {
        ready = device->Initialize(hwnd, guid);
    } catch (...) {
        ready = 0;  // a device that did not finish its set-up never stays
    }
    if (!ready)
        CFailureReason::Note(ERROR_DEVICE_NOT_AVAILABLE);  // unless the set-up said why
    EnterCriticalSection(&m_csDevices);
    if (ready)
        m_nStatus = SOUND_OK;
    else
        m_pDevices->Detach(device);
    LeaveCriticalSection(&m_csDevices);
    device->FinishCreation(ready, CFailureReason::Noted());
    if (!ready)
        device->Release();  // the table's reference
    device->Release();
    return ready ? device : nullptr;
}

void CDSoundManager::DestroyDevice(LPCVOID device)
{
    EnterCriticalSection(&m_csDevices);
    CDSoundDevice *found = m_bClosed ? nullptr : _find_ready(device);
    if (found)
        m_pDevices->Detach(found);
    LeaveCriticalSection(&m_csDevices);
    if (!found) {
        CFailureReason::Note(m_bClosed ? ERROR_SHUTDOWN_IN_PROGRESS : ERROR_INVALID_HANDLE);
        return;
    }
    // The handle is refused from here on; calls still inside the device or
    // its sounds finish first, and the last of them frees what they hold.
    found->Retire();
    found->Release();
}

BOOL CDSoundManager::IsDevice(LPCVOID device)
{
    EnterCriticalSection(&m_csDevices);
    const BOOL held = _find_ready(device) != nullptr;
    LeaveCriticalSection(&m_csDevices);
    return held;
}

BOOL CDSoundManager::IsSound(LPCVOID sound)
{
    return FindSoundOwner(sound) != nullptr;
}

CDSoundDevice *CDSoundManager::FindSoundOwner(LPCVOID sound)
{
    CDSoundDevice *owner = nullptr;
    if (!sound)
        return nullptr;
    EnterCriticalSection(&m_csDevices);
    if (m_pDevices) {
        for (CDSoundDevice *device = m_pDevices->First(); device; device = m_pDevices->Next()) {
            if (device->IsReady() && device->HasSound(sound)) {
                owner = device;
                break;
            }
        }
    }
    LeaveCriticalSection(&m_csDevices);
    return owner;
}

CDSoundDevice *CDSoundManager::PinDevice(LPCVOID device)
{
    EnterCriticalSection(&m_csDevices);
    CDSoundDevice *found = m_bClosed ? nullptr : _find_ready(device);
    if (found)
        found->AddRef();
    LeaveCriticalSection(&m_csDevices);
    if (!found)
        CFailureReason::Note(m_bClosed ? ERROR_SHUTDOWN_IN_PROGRESS : ERROR_INVALID_HANDLE);
    return found;
}

CDSoundObject *CDSoundManager::PinSound(LPCVOID sound, CDSoundDevice **owner)
{
    CDSoundObject *found = nullptr;
    *owner = nullptr;
    if (!sound) {
        CFailureReason::Note(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    EnterCriticalSection(&m_csDevices);
    if (m_pDevices && !m_bClosed) {
        for (CDSoundDevice *device = m_pDevices->First(); device; device = m_pDevices->Next()) {
            if (device->IsReady() && (found = device->PinSound(sound)) != nullptr) {
                device->AddRef();
                *owner = device;
                break;
            }
        }
    }
    LeaveCriticalSection(&m_csDevices);
    if (!found)
        CFailureReason::Note(m_bClosed ? ERROR_SHUTDOWN_IN_PROGRESS : ERROR_INVALID_HANDLE);
    return found;
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

CDSoundDevice *CDSoundManager::GetDeviceAt(int index)
{
    EnterCriticalSection(&m_csDevices);
    CDSoundDevice *device = m_pDevices ? m_pDevices->At(index) : nullptr;
    LeaveCriticalSection(&m_csDevices);
    return device;
}
