// The device's DirectSound context against the fake DirectSound: the level
// chosen from the capabilities, the primary buffer's set-up, what every
// failure leaves behind, and the teardown order.
#include "device/CDSoundDevice.h"
#include "frame/status.h"

#include "DeviceProbe.h"
#include "fake_dsound.h"
#include "support/LockHolder.h"

#include <gtest/gtest.h>

using Probe = CDSoundDeviceProbe;

namespace {

const HWND kWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4242));
const DWORD kFullCaps = DSCAPS_PRIMARY16BIT | DSCAPS_SECONDARY16BIT | DSCAPS_PRIMARYSTEREO;

class Device : public ::testing::Test {
protected:
    void SetUp() override { fakeds::Reset(); }
    void TearDown() override
    {
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        EXPECT_TRUE(fakeds::Faults().empty());
    }

    static void ExpectEmpty(const CDSoundDevice &device)
    {
        EXPECT_EQ(Probe::Mutex(device), nullptr);
        EXPECT_EQ(Probe::DirectSound(device), nullptr);
        EXPECT_EQ(Probe::Primary(device), nullptr);
        EXPECT_EQ(device.GetWindow(), nullptr);
        EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_NORMAL));
    }
};

TEST_F(Device, CapableHardwareGetsPriorityAndThe22kStereoPrimaryFormat)
{
    CDSoundDevice device;
    GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    ASSERT_EQ(device.Initialize(kWindow, &guid), 1);
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
    EXPECT_EQ(device.GetWindow(), kWindow);
    EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_PRIORITY));

    const auto log = fakeds::Log();
    std::vector<std::string> methods;
    for (const auto &call : log)
        methods.push_back(call.method);
    EXPECT_EQ(methods, std::vector<std::string>({"DirectSoundCreate", "GetCaps",
                                                 "SetCooperativeLevel", "CreateSoundBuffer",
                                                 "SetFormat", "Play"}));
    // The guid is passed on unchanged, without an outer object.
    EXPECT_EQ(log[0].args, std::vector<long long>({reinterpret_cast<intptr_t>(&guid), 0}));
    EXPECT_EQ(log[1].args, std::vector<long long>({96}));
    EXPECT_EQ(log[2].args,
              std::vector<long long>({reinterpret_cast<intptr_t>(kWindow), DSSCL_PRIORITY}));
    // The short description, of the size this platform's DirectSound accepts.
    EXPECT_EQ(log[3].args, std::vector<long long>({static_cast<long long>(sizeof(DSBUFFERDESC1)),
                                                   DSBCAPS_PRIMARYBUFFER, 0, 0, 0}));
    // PCM, 2 channels, 22050 Hz, 88200 bytes/s, block 4, 16 bits, no extra.
    EXPECT_EQ(log[4].object, "primary");
    EXPECT_EQ(log[4].args, std::vector<long long>({1, 2, 22050, 88200, 4, 16, 0}));
    EXPECT_EQ(log[5].object, "primary");
    EXPECT_EQ(log[5].args, std::vector<long long>({0, 0, DSBPLAY_LOOPING}));

    // A second Initialize is refused and keeps the context.
    const HANDLE mutex = Probe::Mutex(device);
    EXPECT_EQ(device.Initialize(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x777)), nullptr), 0);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_STATE);
    EXPECT_EQ(fakeds::Log().size(), log.size());
    EXPECT_EQ(device.GetWindow(), kWindow);
    EXPECT_EQ(Probe::Mutex(device), mutex);
    EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_PRIORITY));
    device.Destroy();
}

// Priority (and the primary format) only when every flag is there and the
// rate range includes 22050; otherwise normal, without a format.
TEST_F(Device, CooperativeLevelFollowsTheCapabilities)
{
    struct Row {
        const char *name;
        DWORD flags, minRate, maxRate;
        DWORD level;
    };
    const Row rows[] = {
        {"exactly 22050", kFullCaps, 22050, 22050, DSSCL_PRIORITY},
        {"no primary 16 bit", kFullCaps & ~DSCAPS_PRIMARY16BIT, 100, 200000, DSSCL_NORMAL},
        {"no secondary 16 bit", kFullCaps & ~DSCAPS_SECONDARY16BIT, 100, 200000, DSSCL_NORMAL},
        {"no primary stereo", kFullCaps & ~DSCAPS_PRIMARYSTEREO, 100, 200000, DSSCL_NORMAL},
        {"minimum above 22050", kFullCaps, 22051, 200000, DSSCL_NORMAL},
        {"maximum below 22050", kFullCaps, 100, 22049, DSSCL_NORMAL},
        // Compared unsigned: a "negative" minimum is huge.
        {"minimum all ones", kFullCaps, 0xFFFFFFFFu, 0xFFFFFFFFu, DSSCL_NORMAL},
        {"no flags", 0, 100, 200000, DSSCL_NORMAL},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fakeds::Reset();
        fakeds::SetCaps(row.flags, row.minRate, row.maxRate);
        CDSoundDevice device;
        ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
        EXPECT_EQ(device.GetCoopLevel(), row.level);
        EXPECT_EQ(fakeds::Calls("SetCooperativeLevel").at(0).args[1], (long long)row.level);
        EXPECT_EQ(fakeds::Count("SetFormat"), row.level == DSSCL_PRIORITY ? 1 : 0);
        EXPECT_EQ(fakeds::Count("primary.Play"), 1);
        device.Destroy();
    }
}

TEST_F(Device, FailingGetCapsOrSetFormatIsTolerated)
{
    fakeds::FailNext("GetCaps", DSERR_GENERIC);
    CDSoundDevice normal;
    ASSERT_EQ(normal.Initialize(kWindow, nullptr), 1);
    EXPECT_EQ(normal.GetCoopLevel(), static_cast<DWORD>(DSSCL_NORMAL));
    EXPECT_EQ(fakeds::Count("SetFormat"), 0);
    normal.Destroy();

    fakeds::Reset();
    fakeds::FailNext("SetFormat", DSERR_BADFORMAT);
    CDSoundDevice priority;
    ASSERT_EQ(priority.Initialize(kWindow, nullptr), 1);
    EXPECT_EQ(priority.GetCoopLevel(), static_cast<DWORD>(DSSCL_PRIORITY));
    EXPECT_EQ(fakeds::Calls("SetFormat").at(0).result, DSERR_BADFORMAT);
    EXPECT_EQ(fakeds::Count("primary.Play"), 1);
    priority.Destroy();
}

TEST_F(Device, RefusalsBeforeAnythingIsCreatedLeaveTheDeviceEmpty)
{
    CDSoundDevice device;
    EXPECT_EQ(device.HasSound(nullptr), 0);
    int invented = 0;
    EXPECT_EQ(device.HasSound(&invented), 0);

    EXPECT_EQ(device.Initialize(nullptr, nullptr), 0);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_PARAM);
    ExpectEmpty(device);
    EXPECT_TRUE(fakeds::Log().empty());

    device.Shutdown();
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    ExpectEmpty(device);
    device.Destroy();

    // DirectSoundCreate failing: no mutex, and the status unchanged.
    CDSoundDevice failed;
    fakeds::FailNext("DirectSoundCreate", DSERR_NODRIVER);
    EXPECT_EQ(failed.Initialize(kWindow, nullptr), 0);
    EXPECT_EQ(failed.GetStatus(), SOUND_OK);
    ExpectEmpty(failed);
    EXPECT_EQ(fakeds::Log().size(), 1u);
    failed.Destroy();
}

// Each later step that fails ends Initialize and releases, primary first, all
// that was created before it.
TEST_F(Device, FailingStepReleasesEverythingPrimaryFirst)
{
    struct Step {
        const char *key;
        bool raise;
    };
    const Step steps[] = {{"SetCooperativeLevel", false}, {"CreateSoundBuffer", false},
                          {"primary.Play", false},        {"GetCaps", true},
                          {"SetFormat", true},            {"primary.Play", true}};
    for (const Step &step : steps) {
        SCOPED_TRACE(std::string(step.key) + (step.raise ? " throws" : " fails"));
        fakeds::Reset();
        if (step.raise)
            fakeds::ThrowNext(step.key);
        else
            fakeds::FailNext(step.key, DSERR_GENERIC);
        CDSoundDevice device;
        EXPECT_EQ(device.Initialize(kWindow, nullptr), 0);
        EXPECT_EQ(device.GetStatus(), SOUND_OK);
        ExpectEmpty(device);
        std::vector<std::string> released;
        for (const auto &call : fakeds::Calls("Release"))
            released.push_back(call.object);
        const auto created = fakeds::Calls("CreateSoundBuffer");
        const bool hadPrimary = !created.empty() && created[0].result == DS_OK;
        EXPECT_EQ(released, hadPrimary ? std::vector<std::string>({"primary", "DirectSound"})
                                       : std::vector<std::string>({"DirectSound"}));
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        device.Destroy();
        // A new device for the same window succeeds.
        CDSoundDevice again;
        EXPECT_EQ(again.Initialize(kWindow, nullptr), 1);
        again.Destroy();
    }
}

// Another thread holds the device lock for as long as Shutdown waits.
TEST_F(Device, ShutdownThatCannotTakeTheLockReleasesNothingButClearsTheDevice)
{
    CDSoundDevice device;
    ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
    LPDIRECTSOUND ds = Probe::DirectSound(device);
    LPDIRECTSOUNDBUFFER primary = Probe::Primary(device);
    {
        LockHolder holder(Probe::Mutex(device), false);
        ASSERT_TRUE(holder.Held());
        fakeds::ClearLog();
        device.Shutdown();
    }
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    EXPECT_EQ(fakeds::Count("Release"), 0);
    ExpectEmpty(device);
    EXPECT_EQ(fakeds::LiveObjects(), 2);
    device.Destroy();
    // What the device had to leave behind, released here for the leak check.
    primary->Release();
    ds->Release();
}

}  // namespace
