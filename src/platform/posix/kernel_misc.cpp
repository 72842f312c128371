// Sleep, fixed global memory, wsprintfA and the debugger output.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

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

namespace {

// The blocks GlobalAlloc handed out, so that GlobalFree can refuse anything
// else instead of corrupting the heap. Never destroyed, for frees that come
// late in the process's exit.
struct CGlobalBlocks {
    std::mutex m_lock;
    std::unordered_set<void *> m_blocks;
};

CGlobalBlocks &global_blocks()
{
    static CGlobalBlocks *blocks = new CGlobalBlocks;
    return *blocks;
}

}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    // Only fixed memory: the handle is the block's address.
    if ((flags & ~GMEM_ZEROINIT) != 0)
        return nullptr;
    const size_t size = bytes == 0 ? 1 : bytes;
    void *block = (flags & GMEM_ZEROINIT) ? calloc(1, size) : malloc(size);
    if (!block)
        return nullptr;
    CGlobalBlocks &blocks = global_blocks();
    try {
        std::lock_guard<std::mutex> hold(blocks.m_lock);
        blocks.m_blocks.insert(block);
    } catch (...) {
        free(block);
        return nullptr;
    }
    return block;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory)
{
    if (!memory)
        return nullptr;
    CGlobalBlocks &blocks = global_blocks();
    {
        std::lock_guard<std::mutex> hold(blocks.m_lock);
        if (blocks.m_blocks.erase(memory) == 0)
            return memory;  // not ours: refused, as Windows returns the handle
    }
    free(memory);
    return nullptr;
}

namespace {

// wsprintfA writes at most this many bytes, the terminating zero included.
const size_t WSPRINTF_LIMIT = 1024;

class CFormatOutput {
public:
    explicit CFormatOutput(char *buffer) : m_pBuffer(buffer), m_nLength(0), m_bFull(false) {}

    void put(char c)
    {
        if (m_nLength + 1 < WSPRINTF_LIMIT)
            m_pBuffer[m_nLength++] = c;
        else
            m_bFull = true;
    }
    void repeat(char c, size_t count)
    {
        while (count-- > 0 && !m_bFull)
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
    bool m_bFull;
};

struct CFormatSpec {
    bool m_bLeft = false;
    bool m_bAlternate = false;
    bool m_bZero = false;
    size_t m_nWidth = 0;
    bool m_bPrecision = false;
    size_t m_nPrecision = 0;
    int m_nSize = 0;  // 0 plain, 'h' short, 'l' long (32 bits, as on Windows), 'L' 64 bits
};

void put_field(CFormatOutput &out, const CFormatSpec &spec, const char *prefix, const char *body, size_t length,
               bool numeric)
{
    const size_t prefixLength = strlen(prefix);
    size_t zeros = 0;
    if (numeric && spec.m_bPrecision && spec.m_nPrecision > length)
        zeros = spec.m_nPrecision - length;
    const size_t total = prefixLength + zeros + length;
    const size_t pad = spec.m_nWidth > total ? spec.m_nWidth - total : 0;
    if (!spec.m_bLeft && !(spec.m_bZero && numeric))
        out.repeat(' ', pad);
    for (size_t i = 0; i < prefixLength; ++i)
        out.put(prefix[i]);
    if (!spec.m_bLeft && spec.m_bZero && numeric)
        out.repeat('0', pad);
    out.repeat('0', zeros);
    for (size_t i = 0; i < length; ++i)
        out.put(body[i]);
    if (spec.m_bLeft)
        out.repeat(' ', pad);
}

void put_number(CFormatOutput &out, const CFormatSpec &spec, unsigned long long value, bool negative,
                unsigned base, bool upper)
{
    char digits[32];
    size_t length = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[sizeof(digits) - 1 - length++] = set[value % base];
        value /= base;
    } while (value != 0);
    const char *prefix = "";
    if (negative)
        prefix = "-";
    else if (spec.m_bAlternate && base == 16)
        prefix = upper ? "0X" : "0x";
    put_field(out, spec, prefix, digits + sizeof(digits) - length, length, true);
}

size_t bounded_length(const char *text, const CFormatSpec &spec)
{
    size_t length = 0;
    while (text[length] != '\0' && (!spec.m_bPrecision || length < spec.m_nPrecision))
        ++length;
    return length;
}

}  // namespace

int wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    if (!buffer)
        return 0;
    CFormatOutput out(buffer);
    if (!format)
        return out.finish();
    va_list args;
    va_start(args, format);
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        ++p;
        CFormatSpec spec;
        for (;; ++p) {
            if (*p == '-')
                spec.m_bLeft = true;
            else if (*p == '#')
                spec.m_bAlternate = true;
            else if (*p == '0')
                spec.m_bZero = true;
            else
                break;
        }
        while (*p >= '0' && *p <= '9')
            spec.m_nWidth = spec.m_nWidth * 10 + static_cast<size_t>(*p++ - '0');
        if (*p == '.') {
            ++p;
            spec.m_bPrecision = true;
            while (*p >= '0' && *p <= '9')
                spec.m_nPrecision = spec.m_nPrecision * 10 + static_cast<size_t>(*p++ - '0');
        }
        if (*p == 'h' || *p == 'l' || *p == 'w') {
            spec.m_nSize = *p == 'h' ? 'h' : 'l';
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            spec.m_nSize = 'L';
            p += 3;
        }
        const char type = *p;
        if (type == '\0')
            break;
        ++p;
        switch (type) {
        case 'c':
        case 'C': {
            const char c = static_cast<char>(va_arg(args, int));
            put_field(out, spec, "", &c, 1, false);
            break;
        }
        case 's':
        case 'S': {
            const char *text = va_arg(args, const char *);
            if (!text)
                text = "(null)";
            put_field(out, spec, "", text, bounded_length(text, spec), false);
            break;
        }
        case 'd':
        case 'i': {
            long long value;
            if (spec.m_nSize == 'L')
                value = va_arg(args, long long);
            else if (spec.m_nSize == 'h')
                value = static_cast<short>(va_arg(args, int));
            else
                value = va_arg(args, int);
            const bool negative = value < 0;
            const unsigned long long magnitude =
                negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            put_number(out, spec, magnitude, negative, 10, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long long value;
            if (spec.m_nSize == 'L')
                value = va_arg(args, unsigned long long);
            else if (spec.m_nSize == 'h')
                value = static_cast<unsigned short>(va_arg(args, unsigned int));
            else
                value = va_arg(args, unsigned int);
            put_number(out, spec, value, false, type == 'u' ? 10 : 16, type == 'X');
            break;
        }
        case 'p': {
            CFormatSpec pointer;
            pointer.m_bPrecision = true;
            pointer.m_nPrecision = 2 * sizeof(void *);
            put_number(out, pointer, reinterpret_cast<uintptr_t>(va_arg(args, void *)), false, 16, true);
            break;
        }
        default:
            // Not a conversion: the character itself, as "%%" gives "%".
            put_field(out, spec, "", &type, 1, false);
            break;
        }
    }
    va_end(args);
    return out.finish();
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
