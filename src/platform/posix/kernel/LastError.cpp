// The last error and thread-local slots. The last error is errno: what the
// library reports through SetLastError reaches a Linux application as the
// errno value of the same meaning, and GetLastError reads back what a system
// call left there. An errno value without a Windows code of its own reads
// back as an application-defined code (bit 29) that sets it again exactly,
// so that saving and restoring the last error leaves errno as it was.
#include <errno.h>
#include <pthread.h>

#include "platform/winapi.h"

namespace {

struct CErrorPair {
    DWORD m_dwError;
    int m_nErrno;
};

// First match wins in both directions: where several Windows codes share an
// errno value, the first is the one an errno value reads back as.
const CErrorPair kErrors[] = {
    {ERROR_SUCCESS, 0},
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_BAD_FORMAT, EINVAL},
    {ERROR_INVALID_WINDOW_HANDLE, EINVAL},
    {ERROR_READ_FAULT, EIO},
    {ERROR_GEN_FAILURE, EIO},
    {ERROR_INTERNAL_ERROR, EIO},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_BUSY, EBUSY},
    {ERROR_NOT_SUPPORTED, ENOTSUP},
    {ERROR_FILE_TOO_LARGE, EFBIG},
    {ERROR_DIRECTORY_NOT_SUPPORTED, EISDIR},
    {ERROR_BAD_FILE_TYPE, ENXIO},
    {ERROR_NOACCESS, EFAULT},
    {ERROR_SHUTDOWN_IN_PROGRESS, ESHUTDOWN},
    {ERROR_TIMEOUT, ETIMEDOUT},
    {ERROR_DEVICE_NOT_AVAILABLE, ENODEV},
};

const DWORD kErrnoCode = 0x20000000u;

}  // namespace

DWORD WINAPI GetLastError(void)
{
    const int value = errno;
    for (const CErrorPair &pair : kErrors) {
        if (pair.m_nErrno == value)
            return pair.m_dwError;
    }
    return kErrnoCode | static_cast<DWORD>(value & 0xFFFF);
}

void WINAPI SetLastError(DWORD error)
{
    if (error & kErrnoCode) {
        errno = static_cast<int>(error & 0xFFFF);
        return;
    }
    for (const CErrorPair &pair : kErrors) {
        if (pair.m_dwError == error) {
            errno = pair.m_nErrno;
            return;
        }
    }
    errno = EIO;
}


DWORD WINAPI TlsAlloc(void)
{
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0)
        return TLS_OUT_OF_INDEXES;
    return static_cast<DWORD>(key);
}

BOOL WINAPI TlsFree(DWORD index)
{
    return pthread_key_delete(static_cast<pthread_key_t>(index)) == 0;
}

LPVOID WINAPI TlsGetValue(DWORD index)
{
    // As on Windows, a successful read leaves the last error at success.
    LPVOID value = pthread_getspecific(static_cast<pthread_key_t>(index));
    errno = 0;
    return value;
}

BOOL WINAPI TlsSetValue(DWORD index, LPVOID value)
{
    return pthread_setspecific(static_cast<pthread_key_t>(index), value) == 0;
}
