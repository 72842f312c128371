#include "platform/posix/dsound/CPrimaryBuffer.h"

#include <vector>

#include "platform/posix/dsound/CDirectSound.h"

namespace {

// What GetCaps reports as the primary buffer's size.
const DWORD kPrimaryBytes = 65536;

}  // namespace

CPrimaryBuffer::CPrimaryBuffer(CDirectSound *device, DWORD flags)
    : CBufferBase(device, flags | DSBCAPS_LOCSOFTWARE),
      m_bPlaying(false),
      m_lVolume(DSBVOLUME_MAX),
      m_lPan(DSBPAN_CENTER)
{
}

void CPrimaryBuffer::_last_release()
{
    CDirectSound *device = m_pDevice;
    device->ForgetPrimary(this);
    delete this;
    device->Drop();
}

HRESULT CPrimaryBuffer::GetCaps(LPDSBCAPS caps)
{
    return _get_caps(caps, kPrimaryBytes);
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
    return _get_format(record.data(), static_cast<DWORD>(record.size()), format, sizeAllocated,
                       sizeWritten);
}

HRESULT CPrimaryBuffer::GetVolume(LPLONG volume)
{
    const HRESULT checked = _check_get(DSBCAPS_CTRLVOLUME, volume);
    if (checked != DS_OK)
        return checked;
    std::lock_guard<std::mutex> guard(m_lock);
    *volume = m_lVolume;
    return DS_OK;
}

HRESULT CPrimaryBuffer::GetPan(LPLONG pan)
{
    const HRESULT checked = _check_get(DSBCAPS_CTRLPAN, pan);
    if (checked != DS_OK)
        return checked;
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
    if (_is_lost()) {
        *status = DSBSTATUS_BUFFERLOST;
        return DS_OK;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    *status = m_bPlaying ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
    return DS_OK;
}

// Writing the output directly is not offered: the mixer owns it.
HRESULT CPrimaryBuffer::Lock(DWORD, DWORD, LPVOID *, LPDWORD, LPVOID *, LPDWORD, DWORD)
{
    if (m_pDevice->GetCooperativeLevel() < DSSCL_WRITEPRIMARY)
        return DSERR_PRIOLEVELNEEDED;
    return _is_lost() ? DSERR_BUFFERLOST : DSERR_UNSUPPORTED;
}

HRESULT CPrimaryBuffer::Play(DWORD, DWORD, DWORD flags)
{
    if (!(flags & DSBPLAY_LOOPING))
        return DSERR_INVALIDPARAM;
    if (_is_lost())
        return DSERR_BUFFERLOST;
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
    const HRESULT checked = _check_volume(volume);
    if (checked != DS_OK)
        return checked;
    std::lock_guard<std::mutex> guard(m_lock);
    m_lVolume = volume;
    return DS_OK;
}

HRESULT CPrimaryBuffer::SetPan(LONG pan)
{
    const HRESULT checked = _check_pan(pan);
    if (checked != DS_OK)
        return checked;
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
