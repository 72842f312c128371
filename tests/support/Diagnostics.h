// What the library tells about a failure: the last error an export leaves
// (checked as the platform reads it back, so that on Linux a code compares
// as its errno value does) and the diagnostic lines, collected here.
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

// Collects the lines of the first diagnostic level while it lives.
class CapturedLog {
public:
    CapturedLog()
    {
        Clear();
        CLog::SetSink(&Collect);
        CLog::SetLevel(CLog::LOG_EVENTS);
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
