#include "platform/CFailureReason.h"

#include <stdint.h>

CFailureReason::CFailureReason() : m_dwCallerError(GetLastError())
{
    // Read before the slot is touched: reading a slot clears the last error.
    TlsSetValue(_slot(), nullptr);
}

void CFailureReason::End(BOOL failed)
{
    const DWORD noted = Noted();
    TlsSetValue(_slot(), nullptr);
    if (noted != 0)
        SetLastError(noted);
    else if (failed)
        SetLastError(ERROR_GEN_FAILURE);
    else
        SetLastError(m_dwCallerError);
}

void CFailureReason::Note(DWORD error)
{
    const DWORD slot = _slot();
    if (error != 0 && TlsGetValue(slot) == nullptr)
        TlsSetValue(slot, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(error)));
}

DWORD CFailureReason::Noted()
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(TlsGetValue(_slot())));
}

DWORD CFailureReason::FromDirectSound(HRESULT hr)
{
    switch (hr) {
    case DS_OK:
        return ERROR_SUCCESS;
    case DSERR_OUTOFMEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case DSERR_NODRIVER:
    case DSERR_BUFFERLOST:
        return ERROR_DEVICE_NOT_AVAILABLE;
    case DSERR_ALLOCATED:
        return ERROR_BUSY;
    case DSERR_INVALIDPARAM:
        return ERROR_INVALID_PARAMETER;
    case DSERR_BADFORMAT:
    case DSERR_UNSUPPORTED:
        return ERROR_BAD_FORMAT;
    case DSERR_CONTROLUNAVAIL:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL CFailureReason::Failed(HRESULT hr)
{
    if (hr == DS_OK)
        return FALSE;
    Note(FromDirectSound(hr));
    return TRUE;
}

DWORD CFailureReason::_slot()
{
    // One slot for the process, made on first use.
    static const DWORD slot = TlsAlloc();
    return slot;
}
