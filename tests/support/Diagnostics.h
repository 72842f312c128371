// What the library tells about a failure: the last error an export leaves
// (checked as the platform reads it back, so that on Linux a code compares
// as its errno value does), the diagnostic lines, collected here, and how a
// failed call's line names each code on this platform.
#pragma once

#include "platform/CLog.h"
#include "platform/winapi.h"

#include <mutex>
#include <string>

namespace diag {

// The code as GetLastError gives it back once the library has set it.
inline DWORD ReadBack(DWORD code)
{
    SetLastError(code);
    return GetLastError();
}

// Every code the library sets, as the failed call's line names it: the
// errno value on Linux, the code and its name on Windows.
struct CodeName {
    DWORD code;
    const char *onLinux;
    const char *onWindows;
};
const CodeName kCodeNames[] = {
    {ERROR_INVALID_HANDLE, "EBADF", "error 6 ERROR_INVALID_HANDLE"},
    {ERROR_FILE_NOT_FOUND, "ENOENT", "error 2 ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ENOENT", "error 3 ERROR_PATH_NOT_FOUND"},
    {ERROR_DIRECTORY_NOT_SUPPORTED, "EISDIR", "error 336 ERROR_DIRECTORY_NOT_SUPPORTED"},
    {ERROR_BAD_FILE_TYPE, "ENXIO", "error 222 ERROR_BAD_FILE_TYPE"},
    {ERROR_ACCESS_DENIED, "EACCES", "error 5 ERROR_ACCESS_DENIED"},
    {ERROR_BAD_FORMAT, "EINVAL", "error 11 ERROR_BAD_FORMAT"},
    {ERROR_FILE_TOO_LARGE, "EFBIG", "error 223 ERROR_FILE_TOO_LARGE"},
    {ERROR_INVALID_PARAMETER, "EINVAL", "error 87 ERROR_INVALID_PARAMETER"},
    {ERROR_INVALID_WINDOW_HANDLE, "EINVAL", "error 1400 ERROR_INVALID_WINDOW_HANDLE"},
    {ERROR_NOACCESS, "EFAULT", "error 998 ERROR_NOACCESS"},
    {ERROR_TOO_MANY_OPEN_FILES, "EMFILE", "error 4 ERROR_TOO_MANY_OPEN_FILES"},
    {ERROR_NOT_ENOUGH_MEMORY, "ENOMEM", "error 8 ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_DEVICE_NOT_AVAILABLE, "ENODEV", "error 4319 ERROR_DEVICE_NOT_AVAILABLE"},
    {ERROR_BUSY, "EBUSY", "error 170 ERROR_BUSY"},
    {ERROR_TIMEOUT, "ETIMEDOUT", "error 1460 ERROR_TIMEOUT"},
    {ERROR_NOT_SUPPORTED, "ENOTSUP", "error 50 ERROR_NOT_SUPPORTED"},
    {ERROR_READ_FAULT, "EIO", "error 30 ERROR_READ_FAULT"},
    {ERROR_SHUTDOWN_IN_PROGRESS, "ESHUTDOWN", "error 1115 ERROR_SHUTDOWN_IN_PROGRESS"},
    {ERROR_INTERNAL_ERROR, "EIO", "error 1359 ERROR_INTERNAL_ERROR"},
    {ERROR_GEN_FAILURE, "EIO", "error 31 ERROR_GEN_FAILURE"},
};

inline std::string PlatformName(DWORD code)
{
    for (const CodeName &name : kCodeNames) {
        if (name.code == code)
#if defined(_WIN32)
            return name.onWindows;
#else
            return name.onLinux;
#endif
    }
    return "(a code the table lacks)";
}

// Collects the lines of a diagnostic level (the first unless told) while
// it lives.
class CapturedLog {
public:
    explicit CapturedLog(int level = CLog::LOG_EVENTS)
    {
        Clear();
        CLog::SetSink(&Collect);
        CLog::SetLevel(level);
    }
    ~CapturedLog()
    {
        CLog::SetLevel(-1);
        CLog::SetSink(nullptr);
    }
    static std::string Take()
    {
        std::lock_guard<std::mutex> hold(Lock());
        std::string lines;
        lines.swap(Lines());
        return lines;
    }
    static void Clear() { Take(); }

private:
    static void Collect(LPCSTR line)
    {
        std::lock_guard<std::mutex> hold(Lock());
        Lines() += line;
    }
    static std::mutex &Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::string &Lines()
    {
        static std::string lines;
        return lines;
    }
};

}  // namespace diag
