#include "device/CDSoundDevice.h"

#include "frame/status.h"
#include "sound/CDSoundObject.h"

#include <new>

CDSoundDevice::CDSoundDevice()
    : m_pSounds(new (std::nothrow) CSlotTable<CDSoundObject>), m_nStatus(SOUND_OK),
      m_hWnd(nullptr), m_pDirectSound(nullptr), m_pPrimary(nullptr),
      m_dwCoopLevel(DSSCL_NORMAL), m_hMutex(nullptr)
{
}

CDSoundDevice::~CDSoundDevice()
{
    // Destroy() has normally emptied and freed the table already.
    delete m_pSounds;
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
        return 0;
    }

    int result = 0;
    m_hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (!m_hMutex) {
        m_nStatus = SOUND_ERR_FAILED;
    } else if (WaitForSingleObject(m_hMutex, LOCK_TIMEOUT_MS) != WAIT_OBJECT_0) {
        m_nStatus = SOUND_ERR_FAILED;
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
    if (DirectSoundCreate(guid, &m_pDirectSound, nullptr) != DS_OK)
        return 0;
    if (!m_pDirectSound)
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

    if (m_pDirectSound->SetCooperativeLevel(hwnd, m_dwCoopLevel) != DS_OK)
        return 0;

    // The short description; its size differs between 32- and 64-bit
    // Windows, and DirectSound refuses any other.
    DSBUFFERDESC desc = {};
    desc.dwSize = sizeof(DSBUFFERDESC1);
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    desc.dwBufferBytes = 0;
    desc.dwReserved = 0;
    desc.lpwfxFormat = nullptr;
    if (m_pDirectSound->CreateSoundBuffer(&desc, &m_pPrimary, nullptr) != DS_OK)
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

    if (m_pPrimary->Play(0, 0, DSBPLAY_LOOPING) != DS_OK)
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
    // Every sound first: they borrow m_pDirectSound.
    if (m_pSounds) {
        m_pSounds->RemoveAll();
        delete m_pSounds;
        m_pSounds = nullptr;
    }
    Shutdown();
}

int CDSoundDevice::HasSound(LPCVOID sound) const
{
    if (!sound || !m_pSounds)
        return 0;
    return m_pSounds->Contains(sound) ? 1 : 0;
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
    if (!m_hMutex || WaitForSingleObject(m_hMutex, LOCK_TIMEOUT_MS) != WAIT_OBJECT_0) {
        m_nStatus = SOUND_ERR_FAILED;
        return nullptr;
    }
    // Only the choice of the slot and the construction run under the device
    // lock; the load takes the sound's own lock instead.
    CDSoundObject *sound = nullptr;
    try {
        const int slot = m_pSounds ? m_pSounds->FindFreeSlot() : -1;
        if (slot >= 0)
            sound = m_pSounds->Put(slot, new (std::nothrow) CDSoundObject);
    } catch (...) {
        sound = nullptr;
    }
    ReleaseMutex(m_hMutex);
    if (!sound) {
        m_nStatus = SOUND_ERR_NOSLOT;
        return nullptr;
    }

    BOOL opened = FALSE;
    try {
        opened = memory ? sound->OpenMem(m_pDirectSound, image, size)
                        : sound->Open(m_pDirectSound, path);
    } catch (...) {
        opened = FALSE;
    }
    if (!opened) {
        // Also after an exception: a sound that did not open never stays.
        m_nStatus = SOUND_ERR_FAILED;
        m_pSounds->Remove(sound);
        return nullptr;
    }
    m_nStatus = SOUND_OK;
    return sound;
}

void CDSoundDevice::CloseSound(LPCVOID sound)
{
    if (m_pSounds)
        m_pSounds->Remove(sound);
}
