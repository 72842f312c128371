#include "frame/CDSoundManager.h"

#include "device/CDSoundDevice.h"
#include "frame/status.h"

#include <new>

CDSoundManager::CDSoundManager()
    : m_pDevices(new (std::nothrow) CSlotTable<CDSoundDevice>), m_nStatus(SOUND_OK)
{
    InitializeCriticalSection(&m_csDevices);
    InitializeSRWLock(&m_srwHandles);
}

CDSoundManager::~CDSoundManager()
{
    EnterCriticalSection(&m_csDevices);
    if (m_pDevices) {
        // Devices still registered go in slot order, each with its sounds.
        m_pDevices->RemoveAll();
        delete m_pDevices;
        m_pDevices = nullptr;
    }
    LeaveCriticalSection(&m_csDevices);
    DeleteCriticalSection(&m_csDevices);
}

CDSoundDevice *CDSoundManager::FindDevice(HWND hwnd)
{
    CDSoundDevice *found = nullptr;
    EnterCriticalSection(&m_csDevices);
    if (m_pDevices) {
        for (CDSoundDevice *device = m_pDevices->First(); device; device = m_pDevices->Next()) {
            if (device->GetWindow() == hwnd) {
                found = device;
                break;
            }
        }
    }
    LeaveCriticalSection(&m_csDevices);
    return found;
}

CDSoundDevice *CDSoundManager::CreateDevice(HWND hwnd, LPGUID guid)
{
    CDSoundDevice *device = nullptr;
    EnterCriticalSection(&m_csDevices);
    try {
        const int slot = m_pDevices ? m_pDevices->FindFreeSlot() : -1;
        if (hwnd && FindDevice(hwnd)) {
            m_nStatus = SOUND_ERR_STATE;
        } else if (slot < 0) {
            m_nStatus = SOUND_ERR_NOSLOT;
        } else if (!(device = m_pDevices->Put(slot, new (std::nothrow) CDSoundDevice))) {
            m_nStatus = SOUND_ERR_NOSLOT;
        } else {
            int ready = 0;
            try {
                ready = device->Initialize(hwnd, guid);
            } catch (...) {
                // A device that did not finish its set-up never stays.
                m_pDevices->Remove(device);
                throw;
            }
            if (ready) {
                m_nStatus = SOUND_OK;
            } else {
                m_pDevices->Remove(device);
                device = nullptr;
            }
        }
    } catch (...) {
        LeaveCriticalSection(&m_csDevices);
        throw;
    }
    LeaveCriticalSection(&m_csDevices);
    return device;
}

void CDSoundManager::DestroyDevice(LPCVOID device)
{
    EnterCriticalSection(&m_csDevices);
    try {
        if (m_pDevices)
            m_pDevices->Remove(device);
    } catch (...) {
        LeaveCriticalSection(&m_csDevices);
        throw;
    }
    LeaveCriticalSection(&m_csDevices);
}

BOOL CDSoundManager::IsDevice(LPCVOID device)
{
    EnterCriticalSection(&m_csDevices);
    const BOOL held = m_pDevices && m_pDevices->Contains(device);
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
            if (device->HasSound(sound)) {
                owner = device;
                break;
            }
        }
    }
    LeaveCriticalSection(&m_csDevices);
    return owner;
}

void CDSoundManager::LockHandles(BOOL exclusive)
{
    if (exclusive)
        AcquireSRWLockExclusive(&m_srwHandles);
    else
        AcquireSRWLockShared(&m_srwHandles);
}

void CDSoundManager::UnlockHandles(BOOL exclusive)
{
    if (exclusive)
        ReleaseSRWLockExclusive(&m_srwHandles);
    else
        ReleaseSRWLockShared(&m_srwHandles);
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
