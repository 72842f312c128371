// Critical sections, events, fixed global memory and wsprintfA.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>

#include "TestThread.h"

TEST(KernelLocks, CriticalSectionIsRecursiveAndExclusive)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);

    // Still held once: another thread must wait until the last leave.
    std::atomic<bool> entered(false);
    std::function<DWORD()> body = [&] {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
        return 0u;
    };
    HANDLE thread = start_thread(body);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_FALSE(entered.load());
    // A try from another thread fails at once; the owner's own succeeds.
    std::atomic<BOOL> tried(TRUE);
    std::function<DWORD()> tries = [&] {
        tried = TryEnterCriticalSection(&section);
        return 0u;
    };
    HANDLE trier = start_thread(tries);
    ASSERT_EQ(WaitForSingleObject(trier, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_FALSE(tried.load());
    CloseHandle(trier);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
    EXPECT_TRUE(entered.load());
    CloseHandle(thread);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

TEST(KernelEvents, AutoResetWakesOneWaitManualResetStaysSignalled)
{
    struct {
        BOOL manual;
        DWORD secondWait;  // a wait right after one that succeeded
    } const cases[] = {{FALSE, WAIT_TIMEOUT}, {TRUE, WAIT_OBJECT_0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.manual ? "manual reset" : "auto reset");
        HANDLE event = CreateEventA(nullptr, c.manual, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(SetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.secondWait);
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

        // A waiter on another thread wakes when the event is set, not before.
        std::atomic<DWORD> woke(0xDEAD);
        std::function<DWORD()> body = [&] {
            woke = WaitForSingleObject(event, GENEROUS_MS);
            return 0u;
        };
        HANDLE thread = start_thread(body);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
        EXPECT_EQ(woke.load(), 0xDEADu);
        EXPECT_TRUE(SetEvent(event));
        ASSERT_EQ(WaitForSingleObject(thread, GENEROUS_MS), WAIT_OBJECT_0);
        EXPECT_EQ(woke.load(), WAIT_OBJECT_0);
        CloseHandle(thread);
        EXPECT_TRUE(CloseHandle(event));
        EXPECT_FALSE(SetEvent(event));
    }
    HANDLE signalled = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(signalled, 0), WAIT_OBJECT_0);
    CloseHandle(signalled);
}

TEST(KernelMemory, FixedGlobalMemoryIsThePointerItself)
{
    const SIZE_T SIZE = 4096;
    unsigned char *zeroed = static_cast<unsigned char *>(GlobalAlloc(GPTR, SIZE));
    ASSERT_NE(zeroed, nullptr);
    for (SIZE_T i = 0; i < SIZE; ++i)
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;
    memset(zeroed, 0xA5, SIZE);
    EXPECT_EQ(GlobalFree(zeroed), nullptr);

    void *plain = GlobalAlloc(GMEM_FIXED, 100);
    ASSERT_NE(plain, nullptr);
    memset(plain, 1, 100);
    EXPECT_EQ(GlobalFree(plain), nullptr);

    void *empty = GlobalAlloc(GMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(GlobalFree(empty), nullptr);
}

// wsprintfA into a buffer of 'Z's: the text, the count it returned, and
// whether it wrote past its terminating zero.
struct CFormatted {
    char m_buffer[1100];
    int m_nCount;

    CFormatted() : m_nCount(-1) { memset(m_buffer, 'Z', sizeof(m_buffer)); }
    std::string text() const { return std::string(m_buffer); }
    bool untouched_after(size_t offset) const
    {
        for (size_t i = offset; i < sizeof(m_buffer); ++i)
            if (m_buffer[i] != 'Z')
                return false;
        return true;
    }
};

#define EXPECT_FORMAT(expected, ...)                                       \
    do {                                                                   \
        CFormatted formatted;                                              \
        formatted.m_nCount = wsprintfA(formatted.m_buffer, __VA_ARGS__);   \
        EXPECT_EQ(formatted.text(), std::string(expected));                \
        EXPECT_EQ(formatted.m_nCount, static_cast<int>(strlen(expected))); \
    } while (0)

TEST(KernelFormat, DiagnosticLineKeepsItsShiftJisBytes)
{
    static const char PATTERN[] = "\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46" "catch (LPCTSTR %s)\n  in %s.\n";
    static const char EXPECTED[] = "\x97\xE1\x8A\x4F\x94\xAD\x90\xB6\x81\x46"
                                   "catch (LPCTSTR DirectSoundBuffer::GetStatus() failed.)\n"
                                   "  in CDSoundObject::_dsound_oneshot_play_thread().\n";
    char line[256];
    memset(line, 'Z', sizeof(line));
    const int count =
        wsprintfA(line, PATTERN, "DirectSoundBuffer::GetStatus() failed.", "CDSoundObject::_dsound_oneshot_play_thread()");
    ASSERT_EQ(count, static_cast<int>(sizeof(EXPECTED) - 1));
    EXPECT_EQ(count + 1, 117);
    EXPECT_EQ(memcmp(line, EXPECTED, sizeof(EXPECTED)), 0);  // the zero included
    EXPECT_EQ(line[sizeof(EXPECTED)], 'Z');
}

TEST(KernelFormat, ConversionsWidthsAndFlags)
{
    EXPECT_FORMAT("[  -42|ab   |000ff|0XFF|z|%|4000000000]", "[%5d|%-5s|%05x|%#X|%c|%%|%u]", -42, "ab", 255u, 255u,
                  'z', 4000000000u);
    EXPECT_FORMAT("-2147483648 -1 4294967295 ffffffff", "%d %i %u %x", static_cast<int>(0x80000000u), -1, -1, -1);
    EXPECT_FORMAT("-0042|-42|     -42|-42     ", "%05d|%.3d|%8.3d|%-08d", -42, -42, -42, -42);
    EXPECT_FORMAT("-0042|00042|0002a|00000042", "%.5d|%.5u|%.5x|%08.5d", -42, 42u, 42u, 42);
    EXPECT_FORMAT("    0x1|0x00001|0x0001|0x0       ", "%#5x|%#05x|%#.4x|%-#8x", 1u, 1u, 1u, 0u);
    EXPECT_FORMAT("      ab|ab      |      ab|(null)", "%08s|%-8s|%8.2s|%s", "ab", "ab", "abcd",
                  static_cast<const char *>(nullptr));
    EXPECT_FORMAT("    z|z    |-5000000000|abcdef012345", "%5c|%-5c|%I64d|%I64x", 'z', 'z', -5000000000LL,
                  0xABCDEF012345ULL);
    // 'l' is 32 bits as LONG is; 'h' does not narrow numbers.
    EXPECT_FORMAT("-7 70000 11170", "%ld %hu %hx", static_cast<LONG>(-7), 70000u, 70000u);
    // Not conversions: the character itself, no argument taken.
    EXPECT_FORMAT("q +d *d ab", "%q %+d %*d ab%");
}

TEST(KernelFormat, OutputStopsAt1024BytesWithTheZero)
{
    std::string longText(1500, 'a');
    CFormatted formatted;
    formatted.m_nCount = wsprintfA(formatted.m_buffer, "%s", longText.c_str());
    EXPECT_EQ(formatted.text(), longText.substr(0, 1023));
    EXPECT_TRUE(formatted.untouched_after(1024));
    // Implementations differ in the count at the limit: what was stored, or 1024.
    EXPECT_GE(formatted.m_nCount, 1023);
    EXPECT_LE(formatted.m_nCount, 1024);

    std::string fits(1022, 'b');
    EXPECT_FORMAT(fits.c_str(), "%s", fits.c_str());
}
