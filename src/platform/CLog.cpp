#include "platform/CLog.h"

#include "platform/CFailureName.h"
#include "platform/CFailureReason.h"

#include <stdarg.h>

#include <atomic>

namespace {

const int kUnread = -1;
std::atomic<int> s_nLevel(kUnread);
std::atomic<CLog::Sink> s_pSink(nullptr);

// "1", "2", ...: that level; unset, empty or "0": none; anything else
// ("yes", "on"): the first level.
int LevelFromEnvironment()
{
    char value[16];
    const DWORD length = GetEnvironmentVariableA("DUDIDADU_LOG", value, sizeof(value));
    if (length == 0)
        return 0;
    if (length >= sizeof(value))
        return CLog::LOG_EVENTS;
    int level = 0;
    for (const char *c = value; *c; ++c) {
        if (*c < '0' || *c > '9')
            return CLog::LOG_EVENTS;
        level = level * 10 + (*c - '0');
        if (level > 9)
            return 9;
    }
    return level;
}

}  // namespace

int CLog::_level()
{
    int level = s_nLevel.load(std::memory_order_relaxed);
    if (level == kUnread) {
        const DWORD saved = GetLastError();
        level = LevelFromEnvironment();
        SetLastError(saved);
        s_nLevel.store(level, std::memory_order_relaxed);
    }
    return level;
}

BOOL CLog::Wants(int level)
{
    return _level() >= level;
}

void CLog::Line(int level, LPCSTR format, ...)
{
    if (!Wants(level))
        return;
    const DWORD saved = GetLastError();
    // wvsprintfA writes at most 1024 bytes; the prefix and the line break
    // take their share.
    char line[1024] = "dudidadu: ";
    const int prefix = 10;
    va_list args;
    va_start(args, format);
    int length = prefix + wvsprintfA(line + prefix, format, args);
    va_end(args);
    if (length > (int)sizeof(line) - 2)
        length = (int)sizeof(line) - 2;
    line[length] = '\n';
    line[length + 1] = '\0';
    if (Sink sink = s_pSink.load())
        sink(line);
    else
        OutputDebugStringA(line);
    SetLastError(saved);
}

void CLog::Refused(LPCSTR path, LPCSTR why)
{
    // Once the call's own line says it, it is said there only.
    if (CFailureReason::Explain(path, why) && Wants(LOG_CALLS))
        return;
    if (path)
        Line(LOG_EVENTS, "cannot open \"%s\": %s", path, why);
    else
        Line(LOG_EVENTS, "cannot open a memory image: %s", why);
}

void CLog::Failed(LPCSTR name, DWORD error, LPCSTR why)
{
    if (!Wants(LOG_CALLS))
        return;
    char code[64];
    CFailureName::Name(error, code, sizeof(code));
    if (why == NULL || why[0] == '\0')
        why = CFailureName::Words(error);
    if (why != NULL)
        Line(LOG_CALLS, "%s failed: %s, %s", name, code, why);
    else
        Line(LOG_CALLS, "%s failed: %s", name, code);
}

void CLog::SetLevel(int level)
{
    s_nLevel.store(level < 0 ? kUnread : level, std::memory_order_relaxed);
}

void CLog::SetSink(Sink sink)
{
    s_pSink.store(sink);
}
