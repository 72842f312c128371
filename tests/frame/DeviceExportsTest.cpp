// DSoundInitialize and DSoundTerminate through the library's own registry,
// one caller at a time and from several threads at once.
#include "dudidadu.h"

#include "device/CDSoundDevice.h"
#include "frame/CDSoundManager.h"
#include "frame/status.h"

#include "fake_dsound.h"
#include "support/Diagnostics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

HWND Window(int n)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x20000 + 16 * n));
}

class DeviceExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        ASSERT_EQ(Registered(), 0) << "a previous test left devices behind";
    }
    void TearDown() override
    {
        for (int i = 0; i < 32; ++i)
            DSoundTerminate(g_DSoundManager.GetDeviceAt(i));
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        EXPECT_TRUE(fakeds::Faults().empty());
    }
    static int Registered()
    {
        int n = 0;
        for (int i = 0; i < 32; ++i)
            n += g_DSoundManager.GetDeviceAt(i) != nullptr;
        return n;
    }
};

// The same window gets the same handle whatever the GUID, and a line in the
// diagnostics when the GUID is not the one the device was made for.
TEST_F(DeviceExports, SameWindowGivesTheSameHandleWhateverTheGuid)
{
    GUID guid = {9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
    GUID same = guid;
    GUID another = {9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 8}};
    diag::CapturedLog log;
    LPVOID device = DSoundInitialize(Window(1), nullptr);
    ASSERT_NE(device, nullptr);
    LPVOID withGuid = DSoundInitialize(Window(3), &guid);
    ASSERT_NE(withGuid, nullptr);
    log.Take();
    const struct {
        LPVOID device;
        HWND window;
        GUID *asked;
        bool said;
    } rows[] = {
        {device, Window(1), nullptr, false},
        {device, Window(1), &guid, true},
        {withGuid, Window(3), &same, false},
        {withGuid, Window(3), &another, true},
        {withGuid, Window(3), nullptr, true},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(DSoundInitialize(row.window, row.asked), row.device);
        EXPECT_EQ(log.Take().find("made for another DirectSound device") != std::string::npos, row.said);
    }
    EXPECT_EQ(fakeds::Count("DirectSoundCreate"), 2);
    DSoundTerminate(withGuid);
    EXPECT_EQ(Registered(), 1);

    // Terminated, the window gets a new device in the lowest free slot.
    LPVOID other = DSoundInitialize(Window(2), nullptr);
    DSoundTerminate(device);
    EXPECT_EQ(g_DSoundManager.GetDeviceAt(0), nullptr);
    LPVOID again = DSoundInitialize(Window(1), nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, device);
    EXPECT_EQ(g_DSoundManager.GetDeviceAt(0), again);
    EXPECT_EQ(g_DSoundManager.GetDeviceAt(1), other);
    EXPECT_EQ(fakeds::Count("DirectSoundCreate"), 4);
}

TEST_F(DeviceExports, NullWindowBadGuidOrFailingDirectSoundGivesNullAndLeavesNoDevice)
{
    const LONG before = g_DSoundManager.GetStatus();
    EXPECT_EQ(DSoundInitialize(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), diag::ReadBack(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(g_DSoundManager.GetStatus(), before);
    EXPECT_EQ(fakeds::Count("DirectSoundCreate"), 0);
    // A GUID the application cannot read is refused before DirectSound sees it.
    EXPECT_EQ(DSoundInitialize(Window(1), reinterpret_cast<LPGUID>(16)), nullptr);
    EXPECT_EQ(GetLastError(), diag::ReadBack(ERROR_NOACCESS));
    EXPECT_EQ(fakeds::Count("DirectSoundCreate"), 0);
    // Whatever DirectSound calls a missing device (Wine: an invalid
    // parameter for a GUID it does not know), the reason says so.
    const struct {
        HRESULT created;
        DWORD reason;
    } creations[] = {{DSERR_NODRIVER, ERROR_DEVICE_NOT_AVAILABLE},
                     {DSERR_INVALIDPARAM, ERROR_DEVICE_NOT_AVAILABLE},
                     {DSERR_GENERIC, ERROR_DEVICE_NOT_AVAILABLE},
                     {DSERR_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY},
                     {DSERR_ALLOCATED, ERROR_BUSY}};
    for (const auto &row : creations) {
        fakeds::FailNext("DirectSoundCreate", row.created);
        diag::CapturedLog log(CLog::LOG_CALLS);
        EXPECT_EQ(DSoundInitialize(Window(1), nullptr), nullptr);
        EXPECT_EQ(GetLastError(), diag::ReadBack(row.reason)) << std::hex << row.created;
        if (row.reason == ERROR_DEVICE_NOT_AVAILABLE) {
            EXPECT_EQ(log.Take(), "dudidadu: DSoundInitialize failed: " +
                                      diag::PlatformName(ERROR_DEVICE_NOT_AVAILABLE) + ", no sound device\n");
        }
    }
    // A scripted exception inside the set-up counts as a failure too.
    fakeds::ThrowNext("SetCooperativeLevel");
    EXPECT_EQ(DSoundInitialize(Window(1), nullptr), nullptr);
    EXPECT_EQ(Registered(), 0);
    EXPECT_NE(DSoundInitialize(Window(1), nullptr), nullptr);
}

TEST_F(DeviceExports, TerminateIgnoresNullInventedAndStaleHandles)
{
    LPVOID a = DSoundInitialize(Window(1), nullptr);
    LPVOID b = DSoundInitialize(Window(2), nullptr);
    ASSERT_TRUE(a && b);
    int invented[4] = {};
    DSoundTerminate(nullptr);
    EXPECT_EQ(GetLastError(), diag::ReadBack(ERROR_INVALID_HANDLE));
    DSoundTerminate(invented);
    DSoundTerminate(reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0xDEADBEE0)));
    EXPECT_EQ(Registered(), 2);
    EXPECT_EQ(fakeds::Count("Release"), 0);
    DSoundTerminate(a);
    DSoundTerminate(a);
    EXPECT_EQ(Registered(), 1);
    EXPECT_EQ(fakeds::Count("Release"), 2);
    EXPECT_EQ(DSoundInitialize(Window(2), nullptr), b);
}

TEST_F(DeviceExports, FullRegistryRefusesANewWindowButKeepsAnsweringForItsOwn)
{
    std::vector<LPVOID> devices;
    for (int i = 0; i < 32; ++i) {
        devices.push_back(DSoundInitialize(Window(i), nullptr));
        ASSERT_NE(devices.back(), nullptr);
    }
    EXPECT_EQ(DSoundInitialize(Window(32), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), diag::ReadBack(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_EQ(g_DSoundManager.GetStatus(), SOUND_ERR_NOSLOT);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(DSoundInitialize(Window(i), nullptr), devices[i]);
    EXPECT_EQ(fakeds::Count("Release"), 0);
}

// Several threads register and terminate devices at once: all share one
// window, each has windows of its own, and three contend for one more. Every caller for a window that stays
// registered gets the same device; the registry ends consistent and nothing
// leaks.
TEST_F(DeviceExports, ConcurrentInitializeAndTerminateKeepTheRegistryConsistent)
{
    const int kThreads = 6;
    const int kRounds = 150;
    const HWND shared = Window(100);
    LPVOID sharedDevice = DSoundInitialize(shared, nullptr);
    ASSERT_NE(sharedDevice, nullptr);

    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                if (DSoundInitialize(shared, nullptr) != sharedDevice)
                    ++mismatches;
                // Two windows per thread, so that the 32 slots always suffice.
                const HWND own = Window(t * 2 + r % 2);
                LPVOID device = DSoundInitialize(own, nullptr);
                if (!device) {
                    ++failures;
                    continue;
                }
                if (DSoundInitialize(own, nullptr) != device)
                    ++mismatches;
                DSoundTerminate(device);
            }
            ++finished;
        });
    }
    // Around one more window, one thread creates and terminates its device
    // while two others keep asking for it.
    const HWND contested = Window(200);
    std::vector<std::thread> contenders;
    for (int t = 0; t < 3; ++t) {
        contenders.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                LPVOID device = DSoundInitialize(contested, nullptr);
                if (!device)
                    ++failures;
                if (t == 0)
                    DSoundTerminate(device);
            }
            ++finished;
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (auto &thread : contenders)
        thread.join();

    EXPECT_EQ(finished.load(), kThreads + 3);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    // The contested window may or may not have a device now.
    DSoundTerminate(g_DSoundManager.FindDevice(contested));
    // Only the shared device is left, still working for its window.
    EXPECT_EQ(Registered(), 1);
    EXPECT_EQ(DSoundInitialize(shared, nullptr), sharedDevice);
    std::set<HWND> windows;
    for (int i = 0; i < 32; ++i) {
        if (CDSoundDevice *device = g_DSoundManager.GetDevice(g_DSoundManager.GetDeviceAt(i))) {
            EXPECT_TRUE(windows.insert(device->GetWindow()).second);
        }
    }
    // Two live objects (DirectSound and primary) per registered device.
    EXPECT_EQ(fakeds::LiveObjects(), 2);
}

}  // namespace
