#include "device/CDSoundDevice.h"

#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "platform/CMemoryProbe.h"
#include "sound/CDSoundObject.h"

#include <new>

CDSoundDevice::CDSoundDevice()
    : m_pSounds(new (std::nothrow) CSlotTable<CDSoundObject>), m_nStatus(SOUND_OK),
      m_hWnd(nullptr), m_pDirectSound(nullptr), m_pPrimary(nullptr),
      m_dwCoopLevel(DSSCL_NORMAL), m_hMutex(nullptr), m_nRefs(1), m_dwLoading(0),
      m_bRetired(FALSE), m_bReady(FALSE), m_hCreated(nullptr), m_hWndClaim(nullptr),
      m_dwCreationFailure(0)
{
    InitializeCriticalSection(&m_csSounds);
}

CDSoundDevice::~CDSoundDevice()
{
    // Destroy() has normally emptied and freed the table already.
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

BOOL CDSoundDevice::Claim(HWND hwnd)
{
    m_hWndClaim = hwnd;
    if (!m_hCreated)
        m_hCreated = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return m_hCreated != nullptr;
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

BOOL CDSoundDevice::WaitCreation()
{
    if (!m_hCreated || WaitForSingleObject(m_hCreated, INFINITE) != WAIT_OBJECT_0)
        return FALSE;
    EnterCriticalSection(&m_csSounds);
    const BOOL ready = m_bReady;
    LeaveCriticalSection(&m_csSounds);
    return ready;
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

    int result = 0;
    m_hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (!m_hMutex) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
    } else if (WaitForSingleObject(m_hMutex, LOCK_TIMEOUT_MS) != WAIT_OBJECT_0) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
    } else {
        try {
            result = _create_context(hwnd, guid);
        } catch (...) {
            result = 0;
        }
        ReleaseMutex(m_hMutex);
    }
    if (!result)
        Shutdown();
    return result;
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
    if (CFailureReason::Failed(DirectSoundCreate(guid, &m_pDirectSound, nullptr)) || !m_pDirectSound)
        return 0;

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
    if (m_hMutex && WaitForSingleObject(m_hMutex, LOCK_TIMEOUT_MS) == WAIT_OBJECT_0) {
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
        ReleaseMutex(m_hMutex);
    } else {
        // Someone holds the lock (or there is none): releasing under them
        // would pull the objects away mid-call, so they are left alone.
        m_nStatus = SOUND_ERR_FAILED;
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

void CDSoundDevice::Destroy()
{
    // Every sound first: they borrow m_pDirectSound. Nobody else holds them
    // any more (their holders hold this device too), so they go now.
    Retire();
    EnterCriticalSection(&m_csSounds);
    CSlotTable<CDSoundObject> *sounds = m_pSounds;
    m_pSounds = nullptr;
    LeaveCriticalSection(&m_csSounds);
    delete sounds;
    Shutdown();
}

void CDSoundDevice::Retire()
{
    CDSoundObject *sounds[SLOT_TABLE_CAPACITY];
    EnterCriticalSection(&m_csSounds);
    m_bRetired = TRUE;
    const int count = _detach_all(sounds);
    LeaveCriticalSection(&m_csSounds);
    // Every stop is posted before the first wait, so that the sounds' ends
    // overlap instead of following one another.
    for (int i = 0; i < count; ++i)
        sounds[i]->Retire();
    for (int i = 0; i < count; ++i)
        sounds[i]->Release();
}

int CDSoundDevice::_detach_all(CDSoundObject **sounds)
{
    int count = 0;
    if (m_pSounds) {
        for (int i = 0; i < m_pSounds->GetCapacity(); ++i) {
            if (CDSoundObject *sound = m_pSounds->At(i))
                sounds[count++] = m_pSounds->Detach(sound);
        }
    }
    // A sound still opening is its opener's to release as well; it finds
    // its slot gone.
    m_dwLoading = 0;
    return count;
}

int CDSoundDevice::HasSound(LPCVOID sound)
{
    if (!sound)
        return 0;
    EnterCriticalSection(&m_csSounds);
    const int index = m_pSounds ? m_pSounds->IndexOf(sound) : -1;
    const int held = index >= 0 && !(m_dwLoading & (1u << index)) ? 1 : 0;
    LeaveCriticalSection(&m_csSounds);
    return held;
}

CDSoundObject *CDSoundDevice::PinSound(LPCVOID sound)
{
    CDSoundObject *pinned = nullptr;
    EnterCriticalSection(&m_csSounds);
    const int index = sound && m_pSounds ? m_pSounds->IndexOf(sound) : -1;
    if (index >= 0 && !(m_dwLoading & (1u << index))) {
        pinned = m_pSounds->At(index);
        pinned->AddRef();
    }
    LeaveCriticalSection(&m_csSounds);
    return pinned;
}

CDSoundObject *CDSoundDevice::OpenSound(LPCSTR path)
{
    return _open_sound(path, nullptr, 0, FALSE);
}

CDSoundObject *CDSoundDevice::OpenSoundMem(LPVOID image, DWORD size)
{
    return _open_sound(nullptr, image, size, TRUE);
}

CDSoundObject *CDSoundDevice::_open_sound(LPCSTR path, LPVOID image, DWORD size, BOOL memory)
{
    // Only the choice of the slot runs under the device lock and the table's
    // lock; the load, the long part, runs outside them, with the sound marked as loading so that
    // no handle check finds it half made.
    if (!m_hMutex || WaitForSingleObject(m_hMutex, LOCK_TIMEOUT_MS) != WAIT_OBJECT_0) {
        m_nStatus = SOUND_ERR_FAILED;
        CFailureReason::Note(ERROR_TIMEOUT);
        return nullptr;
    }
    CDSoundObject *sound = nullptr;
    EnterCriticalSection(&m_csSounds);
    const int slot = m_pSounds && !m_bRetired ? m_pSounds->FindFreeSlot() : -1;
    if (slot >= 0) {
        sound = m_pSounds->Put(slot, new (std::nothrow) CDSoundObject);
        if (sound) {
            m_dwLoading |= 1u << slot;
            sound->AddRef();  // the opener's, beside the table's
        }
    }
    const BOOL retired = m_bRetired;
    LeaveCriticalSection(&m_csSounds);
    ReleaseMutex(m_hMutex);
    if (!sound) {
        m_nStatus = SOUND_ERR_NOSLOT;
        CFailureReason::Note(retired ? ERROR_INVALID_HANDLE
                                     : slot < 0 ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    BOOL opened = FALSE;
    try {
        opened = memory ? sound->OpenMem(m_pDirectSound, image, size)
                        : sound->Open(m_pDirectSound, path);
    } catch (...) {
        opened = FALSE;
    }

    // A sound that did not open never stays, nor one whose device was
    // terminated meanwhile (Retire took its slot and the table's reference).
    EnterCriticalSection(&m_csSounds);
    const int index = m_pSounds ? m_pSounds->IndexOf(sound) : -1;
    const BOOL kept = opened && index >= 0;
    if (index >= 0) {
        m_dwLoading &= ~(1u << index);
        if (!kept)
            m_pSounds->Detach(sound);
    }
    LeaveCriticalSection(&m_csSounds);
    if (index >= 0 && !kept)
        sound->Release();
    if (opened && !kept)
        CFailureReason::Note(ERROR_INVALID_HANDLE);  // the device was terminated meanwhile
    m_nStatus = kept ? SOUND_OK : SOUND_ERR_FAILED;
    sound->Release();
    return kept ? sound : nullptr;
}

void CDSoundDevice::CloseSound(LPCVOID sound)
{
    EnterCriticalSection(&m_csSounds);
    const int index = sound && m_pSounds ? m_pSounds->IndexOf(sound) : -1;
    CDSoundObject *closed = index >= 0 && !(m_dwLoading & (1u << index)) ? m_pSounds->Detach(sound) : nullptr;
    LeaveCriticalSection(&m_csSounds);
    if (closed) {
        closed->Retire();
        closed->Release();
    }
}
