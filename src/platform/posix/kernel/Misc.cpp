// Sleep, the clock, the module's pin, file attributes, the environment, wsprintfA and
// the debugger output.
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/winapi.h"

void WINAPI Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            pause();
    }
    struct timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count)
{
    struct timespec now;
    if (!count || clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return FALSE;
    count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *frequency)
{
    if (!frequency)
        return FALSE;
    frequency->QuadPart = 1000000000;
    return TRUE;
}

BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE *module)
{
    if (!module)
        return FALSE;
    *module = nullptr;
    // Only the form the library uses: the object that holds an address.
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) || !name)
        return FALSE;
    Dl_info info;
    if (!dladdr(name, &info) || !info.dli_fbase)
        return FALSE;
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) && info.dli_fname) {
        // Opening it again with NODELETE keeps it mapped for good; for the
        // program itself (no name to open by) there is nothing to pin.
        if (void *pinned = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE))
            (void)pinned;  // the extra reference is the pin
    }
    *module = static_cast<HMODULE>(info.dli_fbase);
    return TRUE;
}

namespace {

// wsprintfA writes at most this many bytes, the terminating zero included.
const size_t WSPRINTF_LIMIT = 1024;

class CFormatOutput {
public:
    explicit CFormatOutput(char *buffer) : m_pBuffer(buffer), m_nLength(0) {}

    void put(char c)
    {
        if (m_nLength + 1 < WSPRINTF_LIMIT)
            m_pBuffer[m_nLength++] = c;
    }
    void put(const char *text, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            put(text[i]);
    }
    void repeat(char c, size_t count)
    {
        for (; count > 0 && m_nLength + 1 < WSPRINTF_LIMIT; --count)
            put(c);
    }
    int finish()
    {
        m_pBuffer[m_nLength] = '\0';
        return static_cast<int>(m_nLength);
    }

private:
    char *m_pBuffer;
    size_t m_nLength;
};

// "%[-][#][0][width][.precision][h|l|w|I64]type", with the flags in that order.
struct CFormatSpec {
    bool m_bLeft = false;
    bool m_bPrefix = false;
    bool m_bZero = false;
    size_t m_nWidth = 0;
    size_t m_nPrecision = 0;
    char m_cSize = 0;  // 'h' narrow, 'l' wide (or, for numbers, 32 bits as ever), 'L' 64 bits

    size_t padding(size_t length) const { return m_nWidth > length ? m_nWidth - length : 0; }
};

// Windows' padding rules: the precision is the least number of characters
// of the number, its sign included; the zero flag widens it to the width;
// the "0x" of the '#' flag stands outside both.
void put_number(CFormatOutput &out, const CFormatSpec &spec, unsigned long long value, bool negative,
                unsigned base, bool upper)
{
    char digits[24];
    size_t count = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[sizeof(digits) - 1 - count++] = set[value % base];
        value /= base;
    } while (value != 0);
    const size_t length = count + (negative ? 1 : 0);
    size_t precision = spec.m_nPrecision > length ? spec.m_nPrecision : length;
    if (spec.m_bZero && !spec.m_bLeft && spec.m_nWidth > precision)
        precision = spec.m_nWidth;
    if (!spec.m_bLeft)
        out.repeat(' ', spec.padding(precision));
    if (spec.m_bPrefix && base == 16)
        out.put(upper ? "0X" : "0x", 2);
    if (negative)
        out.put('-');
    out.repeat('0', precision - length);
    out.put(digits + sizeof(digits) - count, count);
    if (spec.m_bLeft)
        out.repeat(' ', spec.padding(precision));
}

// Text in a field; the precision, when given, limits the text.
void put_text(CFormatOutput &out, const CFormatSpec &spec, const char *text, size_t length)
{
    if (!spec.m_bLeft)
        out.repeat(' ', spec.padding(length));
    out.put(text, length);
    if (spec.m_bLeft)
        out.repeat(' ', spec.padding(length));
}

// A character of a wide (UTF-16) argument in the ANSI output: ASCII passes,
// anything else has no single-byte form here and becomes '?'.
char narrow(unsigned value)
{
    return value < 0x80 ? static_cast<char>(value) : '?';
}

}  // namespace

int wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = wvsprintfA(buffer, format, args);
    va_end(args);
    return written;
}

int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args)
{
    if (!buffer)
        return 0;
    CFormatOutput out(buffer);
    if (!format)
        return out.finish();
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.put(*p++);
            continue;
        }
        CFormatSpec spec;
        if (*p == '-') {
            spec.m_bLeft = true;
            ++p;
        }
        if (*p == '#') {
            spec.m_bPrefix = true;
            ++p;
        }
        if (*p == '0') {
            spec.m_bZero = true;
            ++p;
        }
        for (; *p >= '0' && *p <= '9'; ++p)
            spec.m_nWidth = std::min<size_t>(spec.m_nWidth * 10 + static_cast<size_t>(*p - '0'), WSPRINTF_LIMIT);
        if (*p == '.') {
            for (++p; *p >= '0' && *p <= '9'; ++p)
                spec.m_nPrecision =
                    std::min<size_t>(spec.m_nPrecision * 10 + static_cast<size_t>(*p - '0'), WSPRINTF_LIMIT);
        }
        if (*p == 'h') {
            spec.m_cSize = 'h';
            ++p;
        } else if (*p == 'l' || *p == 'w') {
            spec.m_cSize = 'l';
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            spec.m_cSize = 'L';
            p += 3;
        }
        const char type = *p;
        if (type == '\0')
            break;
        ++p;
        switch (type) {
        case 'c':
        case 'C': {
            const unsigned value = static_cast<unsigned>(va_arg(args, int));
            const bool wide = type == 'C' ? spec.m_cSize != 'h' : spec.m_cSize == 'l';
            const char c = wide ? narrow(value & 0xFFFFu) : static_cast<char>(value);
            put_text(out, spec, &c, 1);
            break;
        }
        case 's':
        case 'S': {
            const bool wide = type == 'S' ? spec.m_cSize != 'h' : spec.m_cSize == 'l';
            const void *argument = va_arg(args, const void *);
            // Precision 0 means no limit, as on Windows.
            const size_t limit = spec.m_nPrecision == 0 ? SIZE_MAX : spec.m_nPrecision;
            if (!argument) {
                put_text(out, spec, "(null)", std::min<size_t>(6, limit));
            } else if (!wide) {
                const char *text = static_cast<const char *>(argument);
                size_t length = 0;
                while (length < limit && text[length] != '\0')
                    ++length;
                put_text(out, spec, text, length);
            } else {
                const uint16_t *text = static_cast<const uint16_t *>(argument);
                size_t length = 0;
                while (length < limit && text[length] != 0)
                    ++length;
                if (!spec.m_bLeft)
                    out.repeat(' ', spec.padding(length));
                for (size_t i = 0; i < length; ++i)
                    out.put(narrow(text[i]));
                if (spec.m_bLeft)
                    out.repeat(' ', spec.padding(length));
            }
            break;
        }
        case 'd':
        case 'i': {
            // 'h' is accepted and ignored; 'l' is 32 bits as LONG is on Windows.
            const long long value = spec.m_cSize == 'L' ? va_arg(args, long long) : va_arg(args, int);
            const bool negative = value < 0;
            const unsigned long long magnitude =
                negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            put_number(out, spec, magnitude, negative, 10, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            const unsigned long long value =
                spec.m_cSize == 'L' ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            put_number(out, spec, value, false, type == 'u' ? 10 : 16, type == 'X');
            break;
        }
        case 'p': {
            CFormatSpec pointer;
            pointer.m_nPrecision = 2 * sizeof(void *);
            put_number(out, pointer, reinterpret_cast<uintptr_t>(va_arg(args, void *)), false, 16, true);
            break;
        }
        default:
            // Not a conversion: the width in spaces and the character
            // itself, except a '%' that came with flags or a width.
            if (!spec.m_bLeft)
                out.repeat(' ', spec.m_nWidth);
            if (type != '%')
                out.put(type);
            break;
        }
    }
    return out.finish();
}

DWORD WINAPI GetFileAttributesA(LPCSTR path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0) {
        if (!path)
            errno = EINVAL;
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    const char *value = name ? getenv(name) : nullptr;
    if (!value) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // Windows' answer for a variable that is not set
        return 0;
    }
    // As on Windows: the length without the zero when it fits, else the
    // size needed with it.
    const size_t length = strlen(value);
    if (!buffer || length >= size)
        return static_cast<DWORD>(length + 1);
    memcpy(buffer, value, length + 1);
    return static_cast<DWORD>(length);
}

void WINAPI OutputDebugStringA(LPCSTR text)
{
    if (!text)
        return;
    size_t left = strlen(text);
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, text, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += written;
        left -= static_cast<size_t>(written);
    }
}
