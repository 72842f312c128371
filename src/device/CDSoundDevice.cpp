#include "device/CDSoundDevice.h"

#include "device/CDirectSoundLock.h"
#include "frame/CHandle.h"
#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "platform/CMemoryProbe.h"
#include "platform/CThreadCancel.h"
#include "sound/CDSoundObject.h"

#include <new>
#include <string.h>

namespace {

// A kernel mutex held for a scope, when the wait for it succeeded; let go
// also when an unwind passes.
class CMutexHold {
public:
    CMutexHold(HANDLE mutex, DWORD milliseconds)
        : m_hMutex(mutex && WaitForSingleObject(mutex, milliseconds) == WAIT_OBJECT_0 ? mutex : nullptr)
    {
    }
    ~CMutexHold()
    {
        if (m_hMutex)
            ReleaseMutex(m_hMutex);
    }
    BOOL Held() const { return m_hMutex != nullptr; }

private:
    CMutexHold(const CMutexHold &) = delete;
    CMutexHold &operator=(const CMutexHold &) = delete;

    HANDLE m_hMutex;
};

}  // namespace

CDSoundDevice::CDSoundDevice(int slot, CSlotTable<CDSoundObject> *sounds)
    : m_nSlot(slot), m_pSounds(sounds ? sounds : new (std::nothrow) CSlotTable<CDSoundObject>),
      m_bOwnTable(sounds == nullptr), m_nStatus(SOUND_OK), m_hWnd(nullptr), m_pDirectSound(nullptr),
      m_pPrimary(nullptr), m_dwCoopLevel(DSSCL_NORMAL), m_hMutex(nullptr), m_nRefs(1), m_bRetired(FALSE),
      m_bReady(FALSE), m_hCreated(nullptr), m_hWndClaim(nullptr), m_guidAsked(), m_nAsked(0),
      m_pHandle(nullptr), m_dwCreationFailure(0)
{
    InitializeCriticalSection(&m_csSounds);
}

CDSoundDevice::~CDSoundDevice()
{
    // Destroy() has normally let go of the table already.
    if (m_bOwnTable)
        delete m_pSounds;
    if (m_hCreated)
        CloseHandle(m_hCreated);
    DeleteCriticalSection(&m_csSounds);
}

void CDSoundDevice::AddRef()
{
    ++m_nRefs;
}

void CDSoundDevice::Release()
{
    if (--m_nRefs == 0) {
        Destroy();
        delete this;
    }
}

BOOL CDSoundDevice::Claim(HWND hwnd, const GUID *guid, BOOL readable)
{
    m_hWndClaim = hwnd;
    m_nAsked = !guid ? 0 : readable ? 1 : 2;
    if (m_nAsked == 1)
        m_guidAsked = *guid;
    if (!m_hCreated)
        m_hCreated = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return m_hCreated != nullptr;
}

BOOL CDSoundDevice::IsMadeFor(const GUID *guid, BOOL readable) const
{
    const int asked = !guid ? 0 : readable ? 1 : 2;
    return asked == m_nAsked && (asked != 1 || memcmp(guid, &m_guidAsked, sizeof(GUID)) == 0);
}

void CDSoundDevice::FinishCreation(BOOL ready, DWORD failure)
{
    m_dwCreationFailure = ready ? 0 : failure;
    EnterCriticalSection(&m_csSounds);
    m_bReady = ready;
    LeaveCriticalSection(&m_csSounds);
    if (m_hCreated)
        SetEvent(m_hCreated);
}

BOOL CDSoundDevice::WaitCreation(DWORD ms, BOOL *pbCreated)
{
    *pbCreated = FALSE;
    if (!m_hCreated)
        return TRUE;
    if (WaitForSingleObject(m_hCreated, ms) != WAIT_OBJECT_0)
        return FALSE;
    EnterCriticalSection(&m_csSounds);
    *pbCreated = m_bReady;
    LeaveCriticalSection(&m_csSounds);
    return TRUE;
}

BOOL CDSoundDevice::IsReady()
{
    EnterCriticalSection(&m_csSounds);
    const BOOL ready = m_bReady && !m_bRetired;
    LeaveCriticalSection(&m_csSounds);
    return ready;
}

int CDSoundDevice::Initialize(HWND hwnd, LPGUID guid)
{
    // A device that holds a context, or is being given one, keeps it.
    if (m_pDirectSound || m_hMutex) {
        m_nStatus = SOUND_ERR_STATE;
        return 0;
    }
    // Refused before anything is acquired, so there is nothing to shut down
    // and the reason stays recorded.
    if (!hwnd) {
        m_nStatus = SOUND_ERR_PARAM;
        CFailureReason::Note(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }

    // What a failure acquired goes again, also when an unwind (the thread
    // being cancelled) ends the set-up.
    struct CUndo {
        CDSoundDevice *m_pDevice;
        int m_nResult;
        ~CUndo()
        {
            if (!m_nResult)
                m_pDevice->Shutdown();
        }
    } undo = {this, 0};

    m_hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (!m_hMutex) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    CMutexHold lock(m_hMutex, LOCK_TIMEOUT_MS);
    if (!lock.Held()) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
        return 0;
    }
    try {
        undo.m_nResult = _create_context(hwnd, guid);
    } catch (...) {
        CThreadCancel::PassOn();
        undo.m_nResult = 0;
    }
    return undo.m_nResult;
}

// The DirectSound set-up, run with the device lock held. 1 on success; on
// failure the caller's Shutdown() releases what was created.
int CDSoundDevice::_create_context(HWND hwnd, LPGUID guid)
{
    // DirectSound reads the GUID; one the application cannot read fails here.
    if (guid && !CMemoryProbe::CanRead(guid, sizeof(GUID))) {
        CFailureReason::Note(ERROR_NOACCESS);
        return 0;
    }
    // The whole set-up: the primary buffer is shared too where all
    // contexts share one device.
    CDirectSoundLock gate;
    const HRESULT created = DirectSoundCreate(guid, &m_pDirectSound, nullptr);
    if (created != DS_OK || !m_pDirectSound) {
        // No device answered, whatever DirectSound calls it (Wine: an invalid
        // parameter for a GUID it does not know); only a lack of memory and a
        // device in use say more.
        const DWORD reason = CFailureReason::FromDirectSound(created);
        CFailureReason::Note(reason == ERROR_NOT_ENOUGH_MEMORY || reason == ERROR_BUSY ? reason
                                                                                     : ERROR_DEVICE_NOT_AVAILABLE);
        return 0;
    }

    // The priority level, and with it our own primary format, only where the
    // hardware can play 16-bit stereo at 22050 Hz.
    m_dwCoopLevel = DSSCL_NORMAL;
    DSCAPS caps = {};
    caps.dwSize = sizeof(DSCAPS);
    if (m_pDirectSound->GetCaps(&caps) == DS_OK && (caps.dwFlags & DSCAPS_PRIMARY16BIT) &&
        (caps.dwFlags & DSCAPS_SECONDARY16BIT) && (caps.dwFlags & DSCAPS_PRIMARYSTEREO) &&
        caps.dwMinSecondarySampleRate <= 22050u && caps.dwMaxSecondarySampleRate >= 22050u)
        m_dwCoopLevel = DSSCL_PRIORITY;

    if (CFailureReason::Failed(m_pDirectSound->SetCooperativeLevel(hwnd, m_dwCoopLevel)))
        return 0;

    // The short description; its size differs between 32- and 64-bit
    // Windows, and DirectSound refuses any other.
    DSBUFFERDESC desc = {};
    desc.dwSize = sizeof(DSBUFFERDESC1);
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    desc.dwBufferBytes = 0;
    desc.dwReserved = 0;
    desc.lpwfxFormat = nullptr;
    if (CFailureReason::Failed(m_pDirectSound->CreateSoundBuffer(&desc, &m_pPrimary, nullptr)))
        return 0;
    if (!m_pPrimary)
        return 0;

    if (m_dwCoopLevel == DSSCL_PRIORITY) {
        WAVEFORMATEX format = {};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = 2;
        format.nSamplesPerSec = 22050;
        format.wBitsPerSample = 16;
        format.nBlockAlign = static_cast<WORD>(format.wBitsPerSample / 8 * format.nChannels);
        format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
        format.cbSize = 0;
        // A refused format is no failure: the device plays in whatever
        // format the primary buffer has.
        m_pPrimary->SetFormat(&format);
    }

    if (CFailureReason::Failed(m_pPrimary->Play(0, 0, DSBPLAY_LOOPING)))
        return 0;
    m_hWnd = hwnd;
    return 1;
}

void CDSoundDevice::Shutdown()
{
    // A teardown runs to its end, whatever thread cancellation asks.
    CThreadCancel hold;
    {
        CMutexHold lock(m_hMutex, LOCK_TIMEOUT_MS);
        if (lock.Held()) {
            _release_context();
        } else {
            // Someone holds the lock (or there is none): releasing under them
            // would pull the objects away mid-call, so they are left alone.
            m_nStatus = SOUND_ERR_FAILED;
        }
    }
    if (m_hMutex) {
        CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }
    m_pPrimary = nullptr;
    m_pDirectSound = nullptr;
    m_hWnd = nullptr;
    m_dwCoopLevel = DSSCL_NORMAL;
}

void CDSoundDevice::_release_context()
{
    if (!m_pPrimary && !m_pDirectSound)
        return;
    CDirectSoundLock gate;
    try {
        // The primary buffer goes before the object that made it.
        if (m_pPrimary) {
            LPDIRECTSOUNDBUFFER primary = m_pPrimary;
            m_pPrimary = nullptr;
            primary->Release();
        }
        if (m_pDirectSound) {
            LPDIRECTSOUND ds = m_pDirectSound;
            m_pDirectSound = nullptr;
            ds->Release();
        }
    } catch (...) {
    }
}

void CDSoundDevice::Destroy()
{
    // Every sound first: they borrow m_pDirectSound. Nobody else holds them
    // any more (each holds this device), so they go now.
    Retire();
    EnterCriticalSection(&m_csSounds);
    CSlotTable<CDSoundObject> *sounds = m_pSounds;
    m_pSounds = nullptr;
    LeaveCriticalSection(&m_csSounds);
    if (m_bOwnTable) {
        delete sounds;
        m_bOwnTable = FALSE;
    }
    Shutdown();
}

void CDSoundDevice::Retire()
{
    CDSoundObject *sounds[SLOT_TABLE_CAPACITY];
    int slots[SLOT_TABLE_CAPACITY];
    int count = 0;
    EnterCriticalSection(&m_csSounds);
    CSlotTable<CDSoundObject> *table = m_pSounds;
    if (!m_bRetired && table) {
        for (int i = 0; i < table->GetCapacity(); ++i) {
            if (CDSoundObject *sound = table->Detach(i, this)) {
                sounds[count] = sound;
                slots[count++] = i;
            } else {
                // A sound still opening is its opener's to let go of.
                table->Discard(i, this);
            }
        }
    }
    m_bRetired = TRUE;
    LeaveCriticalSection(&m_csSounds);
    // Every stop is posted before the first wait, so that the sounds' ends
    // overlap instead of following one another.
    for (int i = 0; i < count; ++i)
        sounds[i]->Retire();
    for (int i = 0; i < count; ++i)
        UnpinSound(table, slots[i]);
}

void CDSoundDevice::UnpinSound(CSlotTable<CDSoundObject> *sounds, int index)
{
    LPVOID owner = nullptr;
    CDSoundObject *gone = sounds->Unpin(index, &owner);
    if (!gone)
        return;
    // A teardown runs to its end, whatever thread cancellation asks.
    CThreadCancel hold;
    try {
        gone->Release();
    } catch (...) {
    }
    static_cast<CDSoundDevice *>(owner)->Release();
}

int CDSoundDevice::HasSound(LPCVOID sound)
{
    int device = 0, slot = 0;
    DWORD generation = 0;
    if (!CHandle::ParseSound(sound, &device, &slot, &generation) || device != m_nSlot)
        return 0;
    EnterCriticalSection(&m_csSounds);
    const int held =
        m_pSounds && m_pSounds->IsLive(slot, generation) && m_pSounds->OwnerAt(slot) == this ? 1 : 0;
    LeaveCriticalSection(&m_csSounds);
    return held;
}

LPVOID CDSoundDevice::OpenSound(LPCSTR path)
{
    return _open_sound(path, nullptr, 0, FALSE);
}

LPVOID CDSoundDevice::OpenSoundMem(LPVOID image, DWORD size)
{
    return _open_sound(nullptr, image, size, TRUE);
}

LPVOID CDSoundDevice::_open_sound(LPCSTR path, LPVOID image, DWORD size, BOOL memory)
{
    // Only the choice of the slot runs under the device lock and the
    // table's; the load, the long part, runs outside them, with the slot
    // set up but not live, so that no handle finds the sound half made.
    CSlotTable<CDSoundObject> *table = nullptr;
    CDSoundObject *sound = nullptr;
    int slot = -1;
    DWORD generation = 0;
    BOOL retired = FALSE;
    {
        CMutexHold lock(m_hMutex, LOCK_TIMEOUT_MS);
        if (!lock.Held()) {
            m_nStatus = SOUND_ERR_FAILED;
            CFailureReason::Note(ERROR_TIMEOUT);
            return nullptr;
        }
        EnterCriticalSection(&m_csSounds);
        table = m_pSounds;
        retired = m_bRetired;
        slot = table && !retired ? table->FindFreeSlot() : -1;
        if (slot >= 0 && (sound = new (std::nothrow) CDSoundObject) != nullptr) {
            generation = table->Put(slot, sound, this);
            AddRef();  // the sound's hold on its device, let go when it is destroyed
        }
        LeaveCriticalSection(&m_csSounds);
    }
    if (!sound) {
        m_nStatus = SOUND_ERR_NOSLOT;
        CFailureReason::Note(retired ? ERROR_INVALID_HANDLE
                                     : slot < 0 ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    // The opener's hold on the slot: let go at the end, also when an unwind
    // passes; a sound that did not go live is given up first, which
    // destroys it.
    struct COpening {
        CDSoundDevice *m_pDevice;
        CSlotTable<CDSoundObject> *m_pTable;
        int m_nSlot;
        BOOL m_bLive;
        ~COpening()
        {
            if (!m_bLive) {
                EnterCriticalSection(&m_pDevice->m_csSounds);
                m_pTable->Discard(m_nSlot, m_pDevice);
                LeaveCriticalSection(&m_pDevice->m_csSounds);
            }
            UnpinSound(m_pTable, m_nSlot);
        }
    } opening = {this, table, slot, FALSE};

    BOOL opened = FALSE;
    try {
        opened = memory ? sound->OpenMem(m_pDirectSound, image, size) : sound->Open(m_pDirectSound, path);
    } catch (...) {
        CThreadCancel::PassOn();
        opened = FALSE;
    }

    // A sound that did not open never goes live, nor one whose device was
    // terminated meanwhile.
    EnterCriticalSection(&m_csSounds);
    opening.m_bLive = opened && !m_bRetired && table->Publish(slot);
    LeaveCriticalSection(&m_csSounds);
    if (opened && !opening.m_bLive)
        CFailureReason::Note(ERROR_INVALID_HANDLE);  // the device was terminated meanwhile
    m_nStatus = opening.m_bLive ? SOUND_OK : SOUND_ERR_FAILED;
    return opening.m_bLive ? CHandle::MakeSound(m_nSlot, slot, generation) : nullptr;
}

void CDSoundDevice::CloseSound(LPCVOID sound)
{
    int device = 0, slot = 0;
    DWORD generation = 0;
    if (!CHandle::ParseSound(sound, &device, &slot, &generation) || device != m_nSlot)
        return;
    EnterCriticalSection(&m_csSounds);
    CSlotTable<CDSoundObject> *table = m_pSounds;
    CDSoundObject *closed = table ? table->Detach(slot, this, generation) : nullptr;
    LeaveCriticalSection(&m_csSounds);
    if (closed) {
        closed->Retire();
        UnpinSound(table, slot);
    }
}
