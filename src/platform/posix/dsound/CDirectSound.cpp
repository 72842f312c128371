#include "platform/posix/dsound/CDirectSound.h"

#include <new>

#include "platform/posix/dsound/CDeviceRegistry.h"
#include "platform/posix/dsound/CMixerThread.h"
#include "platform/posix/dsound/CPrimaryBuffer.h"
#include "platform/posix/dsound/CSampleFormat.h"
#include "platform/posix/dsound/CSoundBuffer.h"

namespace {

// DSSPEAKER_STEREO with the wide geometry, as a fresh installation reports.
const DWORD kDefaultSpeakerConfig = 0x00140004;

// What the primary buffer holds until SetFormat: 22050 Hz, 8-bit, stereo.
const WAVEFORMATEX kDefaultPrimaryFormat = {WAVE_FORMAT_PCM, 2, 22050, 44100, 2, 8, 0};

}  // namespace

CDirectSound::CDirectSound(CAudioOutput *output)
    : m_lHolds(1),
      m_mixer(output != nullptr ? output->GetRate() : kOutputRate),
      m_pThread(nullptr),
      m_pOrphanedThread(nullptr),
      m_bOrphaned(false),
      m_pPreviousDevice(nullptr),
      m_pNextDevice(nullptr),
      m_dwLevel(DSSCL_NORMAL),
      m_dwSpeakerConfig(kDefaultSpeakerConfig),
      m_pPrimary(nullptr)
{
    const BYTE *format = reinterpret_cast<const BYTE *>(&kDefaultPrimaryFormat);
    m_primaryFormat.assign(format, format + sizeof(kDefaultPrimaryFormat));
    if (output != nullptr)
        m_pThread = new CMixerThread(m_mixer, output);
    CDeviceRegistry::Add(this);
}

CDirectSound::~CDirectSound()
{
    CDeviceRegistry::Remove(this);
    delete m_pThread;
    if (m_pOrphanedThread != nullptr)
        CDeviceRegistry::Keep(m_pOrphanedThread);
}

// In the order no call nests them in. The primary buffer cannot go while
// the device's lock is held: its last Release must first forget it here.
void CDirectSound::HoldForFork()
{
    m_lock.lock();
    if (m_pPrimary != nullptr)
        m_pPrimary->HoldForFork();
    m_mixer.HoldForFork();
}

void CDirectSound::ReleaseAfterFork()
{
    m_mixer.ReleaseAfterFork();
    if (m_pPrimary != nullptr)
        m_pPrimary->ReleaseAfterFork();
    m_lock.unlock();
}

void CDirectSound::Orphan()
{
    m_pOrphanedThread = m_pThread;
    m_pThread = nullptr;
    m_mixer.ForgetThreadAfterFork();
    m_bOrphaned.store(true, std::memory_order_relaxed);
}

void CDirectSound::_last_release()
{
    // The application is done with the device: no more sound. Buffers it
    // still holds stay callable but are not heard.
    delete m_pThread;
    m_pThread = nullptr;
    Drop();
}

void CDirectSound::Hold()
{
    ++m_lHolds;
}

void CDirectSound::Drop()
{
    if (--m_lHolds == 0)
        delete this;
}

HRESULT CDirectSound::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER *buffer, LPUNKNOWN)
{
    if (desc == nullptr)
        return DSERR_INVALIDPARAM;
    if (desc->dwSize != sizeof(DSBUFFERDESC1) && desc->dwSize != sizeof(DSBUFFERDESC))
        return DSERR_INVALIDPARAM;
    if (buffer == nullptr)
        return DSERR_INVALIDPARAM;
    *buffer = nullptr;
    try {
        if (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) {
            if (desc->lpwfxFormat != nullptr)
                return DSERR_INVALIDPARAM;
            return _create_primary(desc->dwFlags, buffer);
        }
        return _create_secondary(desc, buffer);
    } catch (const std::bad_alloc &) {
        return DSERR_OUTOFMEMORY;
    }
}

// There is one primary buffer: asking again gives it with one more reference.
HRESULT CDirectSound::_create_primary(DWORD flags, LPDIRECTSOUNDBUFFER *buffer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pPrimary == nullptr || !m_pPrimary->TryAddRef())
        m_pPrimary = new CPrimaryBuffer(this, flags);
    *buffer = m_pPrimary;
    return DS_OK;
}

HRESULT CDirectSound::_create_secondary(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER *buffer)
{
    const HRESULT checked = CSampleFormat::Check(desc->lpwfxFormat);
    if (checked != DS_OK)
        return checked;
    if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX)
        return DSERR_INVALIDPARAM;
    if (desc->dwFlags & DSBCAPS_LOCHARDWARE)
        return DSERR_UNSUPPORTED;  // there is no hardware to mix in

    const CSampleFormat format(desc->lpwfxFormat);
    const DWORD align = format.GetBlockAlign();
    const DWORD bytes = (desc->dwBufferBytes + align - 1) / align * align;
    std::shared_ptr<CVoice> voice = std::make_shared<CVoice>(format, bytes, m_mixer.GetRate());
    if (!voice->IsValid())
        return DSERR_OUTOFMEMORY;
    CSoundBuffer *created = new CSoundBuffer(this, voice, desc->dwFlags | DSBCAPS_LOCSOFTWARE);
    m_mixer.Add(voice);
    *buffer = created;
    return DS_OK;
}

HRESULT CDirectSound::GetCaps(LPDSCAPS caps)
{
    if (caps == nullptr || caps->dwSize < sizeof(DSCAPS))
        return DSERR_INVALIDPARAM;
    // Everything after the size but the two reserved words.
    memset(&caps->dwFlags, 0, offsetof(DSCAPS, dwReserved1) - offsetof(DSCAPS, dwFlags));
    caps->dwFlags = DSCAPS_PRIMARYMONO | DSCAPS_PRIMARYSTEREO | DSCAPS_PRIMARY8BIT |
                    DSCAPS_PRIMARY16BIT | DSCAPS_CONTINUOUSRATE | DSCAPS_CERTIFIED |
                    DSCAPS_SECONDARYMONO | DSCAPS_SECONDARYSTEREO | DSCAPS_SECONDARY8BIT |
                    DSCAPS_SECONDARY16BIT;
    caps->dwMinSecondarySampleRate = DSBFREQUENCY_MIN;
    caps->dwMaxSecondarySampleRate = DSBFREQUENCY_MAX;
    caps->dwPrimaryBuffers = 1;
    caps->dwMaxHwMixingAllBuffers = 1;
    caps->dwMaxHwMixingStaticBuffers = 1;
    caps->dwMaxHwMixingStreamingBuffers = 1;
    return DS_OK;
}

HRESULT CDirectSound::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original,
                                           LPDIRECTSOUNDBUFFER *duplicate)
{
    if (original == nullptr || duplicate == nullptr)
        return DSERR_INVALIDPARAM;
    *duplicate = nullptr;
    return DSERR_UNSUPPORTED;
}

// Neither window nor level is checked, as in the software DirectSound.
HRESULT CDirectSound::SetCooperativeLevel(HWND, DWORD level)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_dwLevel = level;
    return DS_OK;
}

HRESULT CDirectSound::Compact()
{
    return GetCooperativeLevel() < DSSCL_PRIORITY ? DSERR_PRIOLEVELNEEDED : DS_OK;
}

HRESULT CDirectSound::GetSpeakerConfig(LPDWORD config)
{
    if (config == nullptr)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_lock);
    *config = m_dwSpeakerConfig;
    return DS_OK;
}

HRESULT CDirectSound::SetSpeakerConfig(DWORD config)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_dwSpeakerConfig = config;
    return DS_OK;
}

HRESULT CDirectSound::Initialize(LPCGUID)
{
    return DSERR_ALREADYINITIALIZED;
}

DWORD CDirectSound::GetCooperativeLevel()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dwLevel;
}

void CDirectSound::ForgetPrimary(CPrimaryBuffer *primary)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pPrimary == primary)
        m_pPrimary = nullptr;
}

HRESULT CDirectSound::SetPrimaryFormat(LPCWAVEFORMATEX format)
{
    if (GetCooperativeLevel() < DSSCL_PRIORITY)
        return DSERR_PRIOLEVELNEEDED;
    if (CSampleFormat::Check(format) != DS_OK)
        return DSERR_INVALIDPARAM;
    try {
        const CSampleFormat checked(format);
        const BYTE *record = reinterpret_cast<const BYTE *>(checked.GetRecord());
        std::lock_guard<std::mutex> guard(m_lock);
        m_primaryFormat.assign(record, record + checked.GetRecordSize());
    } catch (const std::bad_alloc &) {
        return DSERR_OUTOFMEMORY;
    }
    return DS_OK;
}

std::vector<BYTE> CDirectSound::GetPrimaryFormat()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_primaryFormat;
}
