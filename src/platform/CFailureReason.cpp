#include "platform/CFailureReason.h"

namespace {

// Appends text to a line of `size` bytes that holds `length` of them, cut
// short where it would not fit; the line stays terminated.
void Append(char *line, DWORD size, DWORD &length, LPCSTR text)
{
    while (*text && length + 1 < size)
        line[length++] = *text++;
    line[length] = '\0';
}

}  // namespace

CFailureReason::CFailureReason()
    : m_dwCallerError(GetLastError()), m_dwReason(0), m_bLastNoteTaken(FALSE), m_bInSlot(TRUE)
{
    // The caller's value is read before the slot is touched: using a slot
    // clears the last error.
    m_szWhy[0] = '\0';
    TlsSetValue(_slot(), this);
}

CFailureReason::~CFailureReason()
{
    _leave();
}

void CFailureReason::End(BOOL failed)
{
    _leave();
    if (m_dwReason != 0)
        SetLastError(m_dwReason);
    else if (failed)
        SetLastError(ERROR_GEN_FAILURE);
    else
        SetLastError(m_dwCallerError);
}

void CFailureReason::Note(DWORD error)
{
    CFailureReason *call = _current();
    if (call == nullptr || error == 0)
        return;
    call->m_bLastNoteTaken = call->m_dwReason == 0;
    if (call->m_bLastNoteTaken)
        call->m_dwReason = error;
}

BOOL CFailureReason::Explain(LPCSTR path, LPCSTR why)
{
    const DWORD saved = GetLastError();
    CFailureReason *call = _current();
    SetLastError(saved);
    if (call == nullptr || !call->m_bLastNoteTaken || call->m_szWhy[0] != '\0' || why == nullptr)
        return FALSE;
    DWORD length = 0;
    const DWORD size = sizeof(call->m_szWhy);
    Append(call->m_szWhy, size, length, why);
    if (path != nullptr) {
        Append(call->m_szWhy, size, length, " (\"");
        Append(call->m_szWhy, size, length, path);
        Append(call->m_szWhy, size, length, "\")");
    }
    return TRUE;
}

DWORD CFailureReason::Noted()
{
    CFailureReason *call = _current();
    return call != nullptr ? call->m_dwReason : 0;
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

namespace {
// One slot for the process, made when the library is loaded: made on first
// use, its guard could be left held in a child forked meanwhile.
const DWORD s_slot = TlsAlloc();
}  // namespace

DWORD CFailureReason::_slot()
{
    return s_slot;
}

CFailureReason *CFailureReason::_current()
{
    return static_cast<CFailureReason *>(TlsGetValue(_slot()));
}

// The thread's slot forgets this call; the call's reason stays here.
void CFailureReason::_leave()
{
    if (!m_bInSlot)
        return;
    m_bInSlot = FALSE;
    TlsSetValue(_slot(), nullptr);
}
