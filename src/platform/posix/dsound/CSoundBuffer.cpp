#include "platform/posix/dsound/CSoundBuffer.h"

#include "platform/posix/CPageCommit.h"
#include "platform/posix/dsound/CDirectSound.h"

CSoundBuffer::CSoundBuffer(CDirectSound *device, const std::shared_ptr<CVoice> &voice, DWORD flags)
    : CBufferBase(device, flags), m_pVoice(voice)
{
    // The memory is made here, on the thread that creates the buffer (the
    // one that loads a sound): the first Lock, the first play, would fault
    // every page in otherwise.
    CPageCommit::Commit(m_pVoice->GetData(), m_pVoice->GetSize());
}

void CSoundBuffer::_last_release()
{
    // The mixer keeps the voice until its fade-out has been heard.
    m_pVoice->Detach();
    CDirectSound *device = m_pDevice;
    delete this;
    device->Drop();
}

HRESULT CSoundBuffer::GetCaps(LPDSBCAPS caps)
{
    return _get_caps(caps, m_pVoice->GetSize());
}

HRESULT CSoundBuffer::GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor)
{
    m_pVoice->GetPosition(playCursor, writeCursor);
    return DS_OK;
}

HRESULT CSoundBuffer::GetFormat(LPWAVEFORMATEX format, DWORD sizeAllocated, LPDWORD sizeWritten)
{
    const CSampleFormat &own = m_pVoice->GetFormat();
    return _get_format(own.GetRecord(), own.GetRecordSize(), format, sizeAllocated, sizeWritten);
}

HRESULT CSoundBuffer::GetVolume(LPLONG volume)
{
    const HRESULT checked = _check_get(DSBCAPS_CTRLVOLUME, volume);
    if (checked != DS_OK)
        return checked;
    *volume = m_pVoice->GetVolume();
    return DS_OK;
}

HRESULT CSoundBuffer::GetPan(LPLONG pan)
{
    const HRESULT checked = _check_get(DSBCAPS_CTRLPAN, pan);
    if (checked != DS_OK)
        return checked;
    *pan = m_pVoice->GetPan();
    return DS_OK;
}

HRESULT CSoundBuffer::GetFrequency(LPDWORD frequency)
{
    if (frequency == nullptr)
        return DSERR_INVALIDPARAM;
    *frequency = m_pVoice->GetFrequency();
    return DS_OK;
}

HRESULT CSoundBuffer::GetStatus(LPDWORD status)
{
    if (status == nullptr)
        return DSERR_INVALIDPARAM;
    *status = _is_lost() ? DSBSTATUS_BUFFERLOST : m_pVoice->GetStatus();
    return DS_OK;
}

HRESULT CSoundBuffer::Lock(DWORD offset, DWORD bytes, LPVOID *audio1, LPDWORD bytes1,
                           LPVOID *audio2, LPDWORD bytes2, DWORD flags)
{
    const DWORD size = m_pVoice->GetSize();
    if (audio1 == nullptr || bytes1 == nullptr)
        return DSERR_INVALIDPARAM;
    if (flags & DSBLOCK_FROMWRITECURSOR)
        m_pVoice->GetPosition(nullptr, &offset);
    if (flags & DSBLOCK_ENTIREBUFFER)
        bytes = size;
    if (offset >= size || bytes > size)
        return DSERR_INVALIDPARAM;
    if (_is_lost())
        return DSERR_BUFFERLOST;

    m_pVoice->Lend(offset, bytes, (flags & DSBLOCK_OVERWRITE) != 0);
    BYTE *data = m_pVoice->GetData();
    *audio1 = data + offset;
    if (bytes <= size - offset) {
        *bytes1 = bytes;
        if (audio2 != nullptr)
            *audio2 = nullptr;
        if (bytes2 != nullptr)
            *bytes2 = 0;
    } else {
        // Past the end the lock wraps to the start of the buffer; without a
        // place for the second region the caller gets the first only.
        *bytes1 = size - offset;
        const bool second = audio2 != nullptr && bytes2 != nullptr;
        if (audio2 != nullptr)
            *audio2 = second ? data : nullptr;
        if (bytes2 != nullptr)
            *bytes2 = second ? bytes - (size - offset) : 0;
    }
    return DS_OK;
}

HRESULT CSoundBuffer::Play(DWORD, DWORD, DWORD flags)
{
    if (_is_lost())
        return DSERR_BUFFERLOST;
    m_pVoice->Play((flags & DSBPLAY_LOOPING) != 0);
    return DS_OK;
}

HRESULT CSoundBuffer::SetCurrentPosition(DWORD position)
{
    return m_pVoice->SetPosition(position) ? DS_OK : E_INVALIDARG;
}

HRESULT CSoundBuffer::SetFormat(LPCWAVEFORMATEX)
{
    return DSERR_INVALIDCALL;
}

HRESULT CSoundBuffer::SetVolume(LONG volume)
{
    const HRESULT checked = _check_volume(volume);
    if (checked != DS_OK)
        return checked;
    m_pVoice->SetVolume(volume);
    return DS_OK;
}

HRESULT CSoundBuffer::SetPan(LONG pan)
{
    const HRESULT checked = _check_pan(pan);
    if (checked != DS_OK)
        return checked;
    m_pVoice->SetPan(pan);
    return DS_OK;
}

HRESULT CSoundBuffer::SetFrequency(DWORD frequency)
{
    if (!(m_dwFlags & DSBCAPS_CTRLFREQUENCY))
        return DSERR_CONTROLUNAVAIL;
    if (frequency == DSBFREQUENCY_ORIGINAL)
        frequency = m_pVoice->GetFormat().GetRate();
    if (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX)
        return DSERR_INVALIDPARAM;
    m_pVoice->SetFrequency(frequency);
    return DS_OK;
}

HRESULT CSoundBuffer::Stop()
{
    m_pVoice->Stop();
    return DS_OK;
}

// Lock hands out pointers into the buffer; Unlock accepts only those.
bool CSoundBuffer::_inside(LPVOID audio, DWORD bytes) const
{
    if (audio == nullptr)
        return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(m_pVoice->GetData());
    const uintptr_t p = reinterpret_cast<uintptr_t>(audio);
    const uintptr_t size = m_pVoice->GetSize();
    return p >= start && p - start < size && bytes <= size - (p - start);
}

HRESULT CSoundBuffer::Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2, DWORD bytes2)
{
    if (!_inside(audio1, bytes1) || !_inside(audio2, bytes2))
        return DSERR_INVALIDPARAM;
    const BYTE *data = m_pVoice->GetData();
    m_pVoice->Return(audio1 ? static_cast<DWORD>(static_cast<BYTE *>(audio1) - data) : 0, audio1 ? bytes1 : 0,
                     audio2 ? static_cast<DWORD>(static_cast<BYTE *>(audio2) - data) : 0, audio2 ? bytes2 : 0);
    return DS_OK;
}
