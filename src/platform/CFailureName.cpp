#include "platform/CFailureName.h"

#include <errno.h>
#include <stdio.h>

namespace {

struct CCodeName {
    DWORD m_dwError;
    LPCSTR m_pszName;
    LPCSTR m_pszWords;  // null: the library never sets it
};

// Every code the library sets, with the words of the README's table of
// reasons; then codes the platform's file functions may give.
const CCodeName kCodes[] = {
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE", "the handle is null, closed, terminated or unknown"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "no such file"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND", "no such file"},
    {ERROR_DIRECTORY_NOT_SUPPORTED, "ERROR_DIRECTORY_NOT_SUPPORTED", "a directory, not a file"},
    {ERROR_BAD_FILE_TYPE, "ERROR_BAD_FILE_TYPE", "not a regular file (a FIFO, socket or device)"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED", "access denied"},
    {ERROR_BAD_FORMAT, "ERROR_BAD_FORMAT", "not RIFF/WAVE, broken, or a format that cannot play"},
    {ERROR_FILE_TOO_LARGE, "ERROR_FILE_TOO_LARGE", "more than a buffer holds (256 MiB less one byte)"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", "a value refused, or no path or image"},
    {ERROR_INVALID_WINDOW_HANDLE, "ERROR_INVALID_WINDOW_HANDLE", "a null window"},
    {ERROR_NOACCESS, "ERROR_NOACCESS", "memory the application passed cannot be read"},
    {ERROR_TOO_MANY_OPEN_FILES, "ERROR_TOO_MANY_OPEN_FILES", "32 devices, or 32 sounds on the device, are open already"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", "out of memory"},
    {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY", "out of memory"},
    {ERROR_DEVICE_NOT_AVAILABLE, "ERROR_DEVICE_NOT_AVAILABLE", "no sound device"},
    {ERROR_BUSY, "ERROR_BUSY", "the sound device is in use by another program"},
    {ERROR_TIMEOUT, "ERROR_TIMEOUT", "the same object stayed busy for 500 ms"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED", "a control the buffer does not have"},
    {ERROR_READ_FAULT, "ERROR_READ_FAULT", "the file could not be read to its end"},
    {ERROR_SHUTDOWN_IN_PROGRESS, "ERROR_SHUTDOWN_IN_PROGRESS", "the process is exiting"},
    {ERROR_INTERNAL_ERROR, "ERROR_INTERNAL_ERROR", "an unexpected error inside the library"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE", "a platform call failed"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION", nullptr},
    {123, "ERROR_INVALID_NAME", nullptr},
    {206, "ERROR_FILENAME_EXCED_RANGE", nullptr},
};

const CCodeName *Find(DWORD error)
{
    for (const CCodeName &code : kCodes) {
        if (code.m_dwError == error)
            return &code;
    }
    return nullptr;
}

#if !defined(_WIN32)
struct CErrnoName {
    int m_nErrno;
    LPCSTR m_pszName;
};

// The errno values the library's codes become, and what file and memory
// calls may leave besides.
const CErrnoName kErrnos[] = {
    {EPERM, "EPERM"},         {ENOENT, "ENOENT"},       {EINTR, "EINTR"},
    {EIO, "EIO"},             {ENXIO, "ENXIO"},         {EBADF, "EBADF"},
    {EAGAIN, "EAGAIN"},       {ENOMEM, "ENOMEM"},       {EACCES, "EACCES"},
    {EFAULT, "EFAULT"},       {EBUSY, "EBUSY"},         {ENODEV, "ENODEV"},
    {ENOTDIR, "ENOTDIR"},     {EISDIR, "EISDIR"},       {EINVAL, "EINVAL"},
    {ENFILE, "ENFILE"},       {EMFILE, "EMFILE"},       {ETXTBSY, "ETXTBSY"},
    {EFBIG, "EFBIG"},         {ENOSPC, "ENOSPC"},       {ESPIPE, "ESPIPE"},
    {ENAMETOOLONG, "ENAMETOOLONG"}, {ELOOP, "ELOOP"},   {EOVERFLOW, "EOVERFLOW"},
    {ENOTSUP, "ENOTSUP"},     {ESHUTDOWN, "ESHUTDOWN"}, {ETIMEDOUT, "ETIMEDOUT"},
    {ENOTSOCK, "ENOTSOCK"},   {ENOSYS, "ENOSYS"},       {EROFS, "EROFS"},
};
#endif

}  // namespace

void CFailureName::Name(DWORD error, LPSTR text, DWORD size)
{
    if (size == 0)
        return;
#if defined(_WIN32)
    const CCodeName *code = Find(error);
    if (code != nullptr)
        snprintf(text, size, "error %lu %s", (unsigned long)error, code->m_pszName);
    else
        snprintf(text, size, "error %lu", (unsigned long)error);
#else
    // The errno value the application reads: the kernel stand-in's own
    // mapping, which SetLastError applies.
    const int saved = errno;
    SetLastError(error);
    const int value = errno;
    errno = saved;
    for (const CErrnoName &name : kErrnos) {
        if (name.m_nErrno == value) {
            snprintf(text, size, "%s", name.m_pszName);
            return;
        }
    }
    snprintf(text, size, "errno %d", value);
#endif
}

LPCSTR CFailureName::Words(DWORD error)
{
    const CCodeName *code = Find(error);
    return code != nullptr ? code->m_pszWords : nullptr;
}
