#include "platform/posix/dsound/CPrimaryBuffer.h"

#include <string.h>

#include <vector>

#include "platform/posix/dsound/CDirectSound.h"

namespace {

// What GetCaps reports as the primary buffer's size.
const DWORD kPrimaryBytes = 65536;

}  // namespace

CPrimaryBuffer::CPrimaryBuffer(CDirectSound *device, DWORD flags)
    : m_pDevice(device),
      m_dwFlags(flags | DSBCAPS_LOCSOFTWARE),
      m_lRefs(1),
      m_bPlaying(false),
      m_lVolume(DSBVOLUME_MAX),
      m_lPan(DSBPAN_CENTER)
{
    m_pDevice->Hold();
}

bool CPrimaryBuffer::TryAddRef()
{
    ULONG refs = m_lRefs.load();
    while (refs != 0) {
        if (m_lRefs.compare_exchange_weak(refs, refs + 1))
            return true;
    }
    return false;
}

HRESULT CPrimaryBuffer::QueryInterface(REFIID riid, void **ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (memcmp(&riid, &IID_IUnknown, sizeof(IID)) == 0 ||
        memcmp(&riid, &IID_IDirectSoundBuffer, sizeof(IID)) == 0) {
        AddRef();
        *ppv = static_cast<IDirectSoundBuffer *>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CPrimaryBuffer::AddRef()
{
    return ++m_lRefs;
}

ULONG CPrimaryBuffer::Release()
{
    const ULONG refs = --m_lRefs;
    if (refs == 0) {
        CDirectSound *device = m_pDevice;
        device->ForgetPrimary(this);
        delete this;
        device->Drop();
    }
    return refs;
}

HRESULT CPrimaryBuffer::GetCaps(LPDSBCAPS caps)
{
    if (caps == nullptr || caps->dwSize < sizeof(DSBCAPS))
        return DSERR_INVALIDPARAM;
    caps->dwFlags = m_dwFlags;
    caps->dwBufferBytes = kPrimaryBytes;
    caps->dwUnlockTransferRate = 0;
    caps->dwPlayCpuOverhead = 0;
    return DS_OK;
}

// The position of the device's clock in a buffer of kPrimaryBytes of the
// primary format.
HRESULT CPrimaryBuffer::GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor)
{
    const std::vector<BYTE> record = m_pDevice->GetPrimaryFormat();
    const WAVEFORMATEX *format = reinterpret_cast<const WAVEFORMATEX *>(record.data());
    const CMixer &mixer = m_pDevice->GetMixer();
    const uint64_t rendered = mixer.GetFramesRendered();
    const uint64_t frames = rendered / mixer.GetRate() * format->nSamplesPerSec +
                            rendered % mixer.GetRate() * format->nSamplesPerSec / mixer.GetRate();
    const uint64_t bytes = kPrimaryBytes - kPrimaryBytes % format->nBlockAlign;
    const DWORD play = static_cast<DWORD>(frames * format->nBlockAlign % bytes);
    const uint64_t ahead = uint64_t(format->nSamplesPerSec) * format->nBlockAlign / 100;
    if (playCursor != nullptr)
        *playCursor = play;
    if (writeCursor != nullptr)
        *writeCursor = static_cast<DWORD>((play + ahead - ahead % format->nBlockAlign) % bytes);
    return DS_OK;
}

HRESULT CPrimaryBuffer::GetFormat(LPWAVEFORMATEX format, DWORD sizeAllocated, LPDWORD sizeWritten)
{
    const std::vector<BYTE> record = m_pDevice->GetPrimaryFormat();
    const DWORD size = static_cast<DWORD>(record.size());
    if (format == nullptr && sizeWritten == nullptr)
        return DSERR_INVALIDPARAM;
    if (format != nullptr) {
        if (sizeAllocated < size)
            return DSERR_INVALIDPARAM;
        memcpy(format, record.data(), size);
    }
    if (sizeWritten != nullptr)
        *sizeWritten = size;
    return DS_OK;
}

HRESULT CPrimaryBuffer::GetVolume(LPLONG volume)
{
    if (!(m_dwFlags & DSBCAPS_CTRLVOLUME))
        return DSERR_CONTROLUNAVAIL;
    if (volume == nullptr)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_lock);
    *volume = m_lVolume;
    return DS_OK;
}

HRESULT CPrimaryBuffer::GetPan(LPLONG pan)
{
    if (!(m_dwFlags & DSBCAPS_CTRLPAN))
        return DSERR_CONTROLUNAVAIL;
    if (pan == nullptr)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_lock);
    *pan = m_lPan;
    return DS_OK;
}

HRESULT CPrimaryBuffer::GetFrequency(LPDWORD)
{
    return DSERR_CONTROLUNAVAIL;
}

HRESULT CPrimaryBuffer::GetStatus(LPDWORD status)
{
    if (status == nullptr)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_lock);
    *status = m_bPlaying ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
    return DS_OK;
}

HRESULT CPrimaryBuffer::Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC)
{
    return DSERR_ALREADYINITIALIZED;
}

// Writing the output directly is not offered: the mixer owns it.
HRESULT CPrimaryBuffer::Lock(DWORD, DWORD, LPVOID *, LPDWORD, LPVOID *, LPDWORD, DWORD)
{
    if (m_pDevice->GetCooperativeLevel() < DSSCL_WRITEPRIMARY)
        return DSERR_PRIOLEVELNEEDED;
    return DSERR_UNSUPPORTED;
}

HRESULT CPrimaryBuffer::Play(DWORD, DWORD, DWORD flags)
{
    if (!(flags & DSBPLAY_LOOPING))
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_lock);
    m_bPlaying = true;
    return DS_OK;
}

HRESULT CPrimaryBuffer::SetCurrentPosition(DWORD)
{
    return DSERR_INVALIDCALL;
}

HRESULT CPrimaryBuffer::SetFormat(LPCWAVEFORMATEX format)
{
    return m_pDevice->SetPrimaryFormat(format);
}

// Kept and reported; the mix is not scaled by it.
HRESULT CPrimaryBuffer::SetVolume(LONG volume)
{
    if (!(m_dwFlags & DSBCAPS_CTRLVOLUME))
        return DSERR_CONTROLUNAVAIL;
    if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_lock);
    m_lVolume = volume;
    return DS_OK;
}

HRESULT CPrimaryBuffer::SetPan(LONG pan)
{
    if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT)
        return DSERR_INVALIDPARAM;
    if (!(m_dwFlags & DSBCAPS_CTRLPAN))
        return DSERR_CONTROLUNAVAIL;
    std::lock_guard<std::mutex> guard(m_lock);
    m_lPan = pan;
    return DS_OK;
}

HRESULT CPrimaryBuffer::SetFrequency(DWORD)
{
    return DSERR_CONTROLUNAVAIL;
}

// The secondary buffers go on playing: the primary only stops when none do.
HRESULT CPrimaryBuffer::Stop()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_bPlaying = false;
    return DS_OK;
}

HRESULT CPrimaryBuffer::Unlock(LPVOID, DWORD, LPVOID, DWORD)
{
    return DSERR_INVALIDCALL;
}

HRESULT CPrimaryBuffer::Restore()
{
    return DS_OK;
}
