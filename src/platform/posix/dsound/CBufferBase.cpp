#include "platform/posix/dsound/CBufferBase.h"

#include <string.h>

#include "platform/posix/dsound/CDirectSound.h"

CBufferBase::CBufferBase(CDirectSound *device, DWORD flags)
    : m_pDevice(device), m_dwFlags(flags)
{
    m_pDevice->Hold();
}

HRESULT CBufferBase::Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC)
{
    return DSERR_ALREADYINITIALIZED;
}

HRESULT CBufferBase::Restore()
{
    // A software buffer never loses its memory, only its device.
    return _is_lost() ? DSERR_BUFFERLOST : DS_OK;
}

bool CBufferBase::_is_lost() const
{
    return m_pDevice->IsOrphaned();
}

HRESULT CBufferBase::_get_caps(LPDSBCAPS caps, DWORD bytes) const
{
    if (caps == nullptr || caps->dwSize < sizeof(DSBCAPS))
        return DSERR_INVALIDPARAM;
    caps->dwFlags = m_dwFlags;
    caps->dwBufferBytes = bytes;
    caps->dwUnlockTransferRate = 0;
    caps->dwPlayCpuOverhead = 0;
    return DS_OK;
}

HRESULT CBufferBase::_get_format(const void *record, DWORD size, LPWAVEFORMATEX format,
                                 DWORD sizeAllocated, LPDWORD sizeWritten)
{
    if (format == nullptr && sizeWritten == nullptr)
        return DSERR_INVALIDPARAM;
    if (format != nullptr) {
        if (sizeAllocated < size)
            return DSERR_INVALIDPARAM;
        memcpy(format, record, size);
    }
    if (sizeWritten != nullptr)
        *sizeWritten = size;
    return DS_OK;
}

HRESULT CBufferBase::_check_get(DWORD control, const void *value) const
{
    if (!(m_dwFlags & control))
        return DSERR_CONTROLUNAVAIL;
    if (value == nullptr)
        return DSERR_INVALIDPARAM;
    return DS_OK;
}

HRESULT CBufferBase::_check_volume(LONG volume) const
{
    if (!(m_dwFlags & DSBCAPS_CTRLVOLUME))
        return DSERR_CONTROLUNAVAIL;
    if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX)
        return DSERR_INVALIDPARAM;
    return DS_OK;
}

HRESULT CBufferBase::_check_pan(LONG pan) const
{
    // DirectSound checks the range before the control.
    if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT)
        return DSERR_INVALIDPARAM;
    if (!(m_dwFlags & DSBCAPS_CTRLPAN))
        return DSERR_CONTROLUNAVAIL;
    return DS_OK;
}
