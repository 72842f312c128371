// The registry on its own: slots, window look-ups, handle checks, the
// module's pinning and the order of teardown, against the fake DirectSound.
#include "device/CDSoundDevice.h"
#include "frame/CDSoundManager.h"
#include "frame/status.h"

#include "fake_dsound.h"

#include <gtest/gtest.h>

#include <memory>

// The tests' view of the registry's private state.
struct CDSoundManagerProbe {
    static BOOL Pinned(const CDSoundManager &registry) { return registry.m_bPinned; }
};

namespace {

HWND Window(int n)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10000 + 16 * n));
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        registry.reset(new CDSoundManager);
    }
    void TearDown() override
    {
        registry.reset();
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        EXPECT_TRUE(fakeds::Faults().empty());
    }
    std::unique_ptr<CDSoundManager> registry;
};

TEST_F(Registry, ThirtyThirdDeviceIsRefusedWhileTheThirtyTwoKeepWorking)
{
    LPVOID devices[32];
    for (int i = 0; i < 32; ++i) {
        devices[i] = registry->CreateDevice(Window(i), nullptr);
        ASSERT_NE(devices[i], nullptr) << i;
        EXPECT_EQ(registry->GetDeviceAt(i), devices[i]);
    }
    EXPECT_EQ(registry->CreateDevice(Window(32), nullptr), nullptr);
    EXPECT_EQ(registry->GetStatus(), SOUND_ERR_NOSLOT);
    // The refusal made no DirectSound call and touched no device.
    EXPECT_EQ(fakeds::Count("DirectSoundCreate"), 32);
    EXPECT_EQ(fakeds::Count("Release"), 0);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(registry->FindDevice(Window(i)), devices[i]);
        EXPECT_TRUE(registry->IsDevice(devices[i]));
        EXPECT_EQ(registry->GetDevice(devices[i])->GetWindow(), Window(i));
    }
    // The last slot is found; anything else ends the search negatively.
    EXPECT_EQ(registry->FindDevice(Window(31)), devices[31]);
    EXPECT_EQ(registry->FindDevice(Window(32)), nullptr);
    int invented = 0;
    EXPECT_FALSE(registry->IsDevice(&invented));
    EXPECT_FALSE(registry->IsSound(&invented));
    EXPECT_EQ(registry->FindSoundOwner(&invented), nullptr);
    EXPECT_FALSE(registry->IsSound(devices[31]));
    EXPECT_EQ(registry->GetDevice(&invented), nullptr);

    // One slot freed: the 33rd window now gets exactly that slot, under a
    // handle of its own; the old one names nothing.
    registry->DestroyDevice(devices[7]);
    EXPECT_EQ(registry->GetDeviceAt(7), nullptr);
    LPVOID late = registry->CreateDevice(Window(32), nullptr);
    ASSERT_NE(late, nullptr);
    EXPECT_NE(late, devices[7]);
    EXPECT_EQ(registry->GetDeviceAt(7), late);
    EXPECT_FALSE(registry->IsDevice(devices[7]));
    EXPECT_EQ(registry->GetDevice(devices[7]), nullptr);
    EXPECT_EQ(registry->GetStatus(), SOUND_OK);
    registry->DestroyDevice(devices[7]);
    EXPECT_EQ(registry->FindDevice(Window(32)), late);
}

// A window already registered, a null window or a failing DirectSound: no
// device, no slot taken, and only the first refusal sets the status.
TEST_F(Registry, FailedCreateDeviceLeavesNoDevice)
{
    EXPECT_EQ(registry->CreateDevice(nullptr, nullptr), nullptr);
    EXPECT_EQ(registry->GetStatus(), SOUND_OK);
    EXPECT_EQ(registry->GetDeviceAt(0), nullptr);

    ASSERT_NE(registry->CreateDevice(Window(1), nullptr), nullptr);
    EXPECT_EQ(registry->CreateDevice(Window(1), nullptr), nullptr);
    EXPECT_EQ(registry->GetStatus(), SOUND_ERR_STATE);
    EXPECT_EQ(registry->GetDeviceAt(1), nullptr);
    EXPECT_EQ(fakeds::Count("DirectSoundCreate"), 1);
    fakeds::FailNext("SetCooperativeLevel", DSERR_GENERIC);
    EXPECT_EQ(registry->CreateDevice(Window(3), nullptr), nullptr);
    EXPECT_EQ(registry->GetStatus(), SOUND_ERR_STATE);
    EXPECT_EQ(registry->GetDeviceAt(1), nullptr);
    EXPECT_EQ(registry->FindDevice(Window(3)), nullptr);
    EXPECT_EQ(registry->FindDevice(nullptr), nullptr);
}

// The library is kept loaded from the first device made on, and not by a
// creation that failed.
TEST_F(Registry, OnlyADeviceMadePinsTheModule)
{
    EXPECT_EQ(registry->CreateDevice(nullptr, nullptr), nullptr);
    fakeds::FailNext("DirectSoundCreate", DSERR_NODRIVER);
    EXPECT_EQ(registry->CreateDevice(Window(1), nullptr), nullptr);
    fakeds::FailNext("primary.Play", DSERR_GENERIC);
    EXPECT_EQ(registry->CreateDevice(Window(1), nullptr), nullptr);
    EXPECT_FALSE(CDSoundManagerProbe::Pinned(*registry));
    LPVOID device = registry->CreateDevice(Window(1), nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(CDSoundManagerProbe::Pinned(*registry));
    registry->DestroyDevice(device);
}

TEST_F(Registry, DestructionTearsDownDevicesInSlotOrder)
{
    // DirectSound ids follow creation; slots end up as 4, 2, 3.
    LPVOID first = registry->CreateDevice(Window(1), nullptr);
    registry->CreateDevice(Window(2), nullptr);
    registry->CreateDevice(Window(3), nullptr);
    registry->DestroyDevice(first);
    registry->CreateDevice(Window(4), nullptr);
    fakeds::ClearLog();
    registry.reset();
    std::vector<int> order;
    for (const auto &call : fakeds::Calls("DirectSound.Release"))
        order.push_back(call.id);
    EXPECT_EQ(order, std::vector<int>({4, 2, 3}));
    // Each device's primary buffer goes just before its DirectSound object.
    const auto log = fakeds::Log();
    ASSERT_EQ(log.size(), 6u);
    for (size_t i = 0; i < log.size(); i += 2) {
        EXPECT_EQ(log[i].object, "primary");
        EXPECT_EQ(log[i + 1].object, "DirectSound");
        EXPECT_EQ(log[i].id, log[i + 1].id);
    }
}

}  // namespace
