// A device on the platform's real DirectSound, for a real window. An audio
// output must be present: a DirectSoundCreate that fails is a failure here,
// never a skip.
#include "dudidadu.h"

#include "device/CDSoundDevice.h"
#include "frame/CDSoundManager.h"

#include <gtest/gtest.h>

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return DefWindowProcA(window, message, wparam, lparam);
}

class RealDirectSound : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "dudidadu-device-test";
        RegisterClassA(&wc);
        window = CreateWindowExA(0, wc.lpszClassName, "dudidadu device test", WS_OVERLAPPEDWINDOW,
                                 0, 0, 64, 64, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(window, nullptr) << "CreateWindowExA failed: " << GetLastError();
    }
    void TearDown() override
    {
        if (window)
            DestroyWindow(window);
    }
    HWND window = nullptr;
};

TEST_F(RealDirectSound, AudioOutputIsPresent)
{
    LPDIRECTSOUND ds = nullptr;
    const HRESULT hr = DirectSoundCreate(nullptr, &ds, nullptr);
    ASSERT_EQ(hr, DS_OK) << "DirectSoundCreate failed with 0x" << std::hex
                         << static_cast<unsigned long>(hr) << ": no audio server?";
    ds->Release();
}

TEST_F(RealDirectSound, DeviceForAWindowPlaysItsPrimaryAndTerminates)
{
    LPVOID device = DSoundInitialize(window, nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(DSoundInitialize(window, nullptr), device);
    ASSERT_EQ(g_DSoundManager.FindDevice(window), device);
    CDSoundDevice *registered = g_DSoundManager.GetDevice(device);
    ASSERT_NE(registered, nullptr);
    const DWORD level = registered->GetCoopLevel();
    EXPECT_TRUE(level == DSSCL_NORMAL || level == DSSCL_PRIORITY) << level;

    DSoundTerminate(device);
    EXPECT_EQ(g_DSoundManager.FindDevice(window), nullptr);
    EXPECT_FALSE(g_DSoundManager.IsDevice(device));

    // And the window can be registered again.
    LPVOID again = DSoundInitialize(window, nullptr);
    ASSERT_NE(again, nullptr);
    DSoundTerminate(again);
    EXPECT_EQ(g_DSoundManager.FindDevice(window), nullptr);
}

// A GUID that names no device of this machine, the null output's among
// them (Linux's only), is no device, whatever DirectSound calls it.
TEST_F(RealDirectSound, AGuidOfNoDeviceIsRefusedAsNoDevice)
{
    const GUID unknown = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    for (const GUID &guid : {unknown, DUDIDADU_NULL_OUTPUT}) {
        SetLastError(0);
        EXPECT_EQ(DSoundInitialize(window, &guid), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_AVAILABLE));
        EXPECT_EQ(g_DSoundManager.FindDevice(window), nullptr);
    }
}

}  // namespace
