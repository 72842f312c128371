// The device's DirectSound context against the fake DirectSound: the level
// chosen from the capabilities, the primary buffer's set-up, what every
// failure leaves behind, and the teardown order.
#include "device/CDSoundDevice.h"
#include "frame/status.h"

#include "DeviceProbe.h"
#include "fake_dsound.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

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

    // Index in the log of the first call matching object and method, or -1.
    static int IndexOf(const std::vector<fakeds::Call> &log, const std::string &object,
                       const std::string &method)
    {
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].object == object && log[i].method == method)
                return static_cast<int>(i);
        return -1;
    }

    // Asserts that an uninitialised device holds nothing.
    static void ExpectEmpty(const CDSoundDevice &device)
    {
        EXPECT_EQ(Probe::Mutex(device), nullptr);
        EXPECT_EQ(Probe::DirectSound(device), nullptr);
        EXPECT_EQ(Probe::Primary(device), nullptr);
        EXPECT_EQ(device.GetWindow(), nullptr);
        EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_NORMAL));
    }
};

TEST_F(Device, NewDeviceIsUninitialisedWithAnEmptyTable)
{
    CDSoundDevice device;
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
    ExpectEmpty(device);
    ASSERT_NE(Probe::Sounds(device), nullptr);
    EXPECT_EQ(Probe::Sounds(device)->FindFreeSlot(), 0);
    EXPECT_EQ(device.HasSound(nullptr), 0);
    int invented = 0;
    EXPECT_EQ(device.HasSound(&invented), 0);
    EXPECT_TRUE(fakeds::Log().empty());
    device.Destroy();
}

TEST_F(Device, CapableHardwareGetsPriorityAndThe22kStereoPrimaryFormat)
{
    CDSoundDevice device;
    GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    ASSERT_EQ(device.Initialize(kWindow, &guid), 1);
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
    EXPECT_EQ(device.GetWindow(), kWindow);
    EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_PRIORITY));
    EXPECT_NE(Probe::Mutex(device), nullptr);

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
    EXPECT_EQ(log[3].result, DS_OK);
    EXPECT_EQ(log[4].object, "primary");
    // PCM, 2 channels, 22050 Hz, 88200 bytes/s, block 4, 16 bits, no extra.
    EXPECT_EQ(log[4].args, std::vector<long long>({1, 2, 22050, 88200, 4, 16, 0}));
    EXPECT_EQ(log[5].object, "primary");
    EXPECT_EQ(log[5].args, std::vector<long long>({0, 0, DSBPLAY_LOOPING}));
    device.Destroy();
}

TEST_F(Device, RateRangeOfExactly22050IsEnough)
{
    fakeds::SetCaps(kFullCaps, 22050, 22050);
    CDSoundDevice device;
    ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
    EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_PRIORITY));
    EXPECT_EQ(fakeds::Count("SetFormat"), 1);
    device.Destroy();
}

struct Caps {
    const char *name;
    DWORD flags;
    DWORD minRate;
    DWORD maxRate;
};

class DeviceNormalLevel : public Device, public ::testing::WithParamInterface<Caps> {};

TEST_P(DeviceNormalLevel, LacksSomethingSoStaysNormalWithoutAFormat)
{
    fakeds::SetCaps(GetParam().flags, GetParam().minRate, GetParam().maxRate);
    CDSoundDevice device;
    ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
    EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_NORMAL));
    const auto level = fakeds::Calls("SetCooperativeLevel");
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(level[0].args[1], DSSCL_NORMAL);
    EXPECT_EQ(fakeds::Count("SetFormat"), 0);
    EXPECT_EQ(fakeds::Count("primary.Play"), 1);
    device.Destroy();
}

INSTANTIATE_TEST_SUITE_P(
    Capabilities, DeviceNormalLevel,
    ::testing::Values(Caps{"NoPrimary16Bit", kFullCaps & ~DSCAPS_PRIMARY16BIT, 100, 200000},
                      Caps{"NoSecondary16Bit", kFullCaps & ~DSCAPS_SECONDARY16BIT, 100, 200000},
                      Caps{"NoPrimaryStereo", kFullCaps & ~DSCAPS_PRIMARYSTEREO, 100, 200000},
                      Caps{"MinimumAbove22050", kFullCaps, 22051, 200000},
                      Caps{"MaximumBelow22050", kFullCaps, 100, 22049},
                      // Compared unsigned: a "negative" minimum is huge.
                      Caps{"MinimumAllOnes", kFullCaps, 0xFFFFFFFFu, 0xFFFFFFFFu},
                      Caps{"NoFlags", 0, 100, 200000}),
    [](const ::testing::TestParamInfo<Caps> &info) { return std::string(info.param.name); });

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

TEST_F(Device, FailingDirectSoundCreateLeavesNoMutexAndTheStatusUnchanged)
{
    fakeds::FailNext("DirectSoundCreate", DSERR_NODRIVER);
    CDSoundDevice device;
    EXPECT_EQ(device.Initialize(kWindow, nullptr), 0);
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
    ExpectEmpty(device);
    EXPECT_EQ(fakeds::Log().size(), 1u);
    device.Destroy();
}

// Each later step that fails ends Initialize and releases, in order, all that
// was created before it.
struct Step {
    const char *name;
    const char *key;
    bool raise;
};

class DeviceFailingStep : public Device, public ::testing::WithParamInterface<Step> {};

TEST_P(DeviceFailingStep, ReleasesEverythingPrimaryFirst)
{
    if (GetParam().raise)
        fakeds::ThrowNext(GetParam().key);
    else
        fakeds::FailNext(GetParam().key, DSERR_GENERIC);
    CDSoundDevice device;
    EXPECT_EQ(device.Initialize(kWindow, nullptr), 0);
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
    ExpectEmpty(device);
    const auto log = fakeds::Log();
    const int primary = IndexOf(log, "primary", "Release");
    const int ds = IndexOf(log, "DirectSound", "Release");
    ASSERT_GE(ds, 0);
    if (IndexOf(log, "DirectSound", "CreateSoundBuffer") >= 0 &&
        log[IndexOf(log, "DirectSound", "CreateSoundBuffer")].result == DS_OK) {
        ASSERT_GE(primary, 0);
        EXPECT_LT(primary, ds);
    }
    EXPECT_EQ(fakeds::Calls("Release").back().args, std::vector<long long>({0}));
    // The device can still be destroyed, and a new one for the same window
    // succeeds.
    device.Destroy();
    CDSoundDevice again;
    EXPECT_EQ(again.Initialize(kWindow, nullptr), 1);
    again.Destroy();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DeviceFailingStep,
    ::testing::Values(Step{"SetCooperativeLevel", "SetCooperativeLevel", false},
                      Step{"CreateSoundBuffer", "CreateSoundBuffer", false},
                      Step{"PrimaryPlay", "primary.Play", false},
                      Step{"ThrowInGetCaps", "GetCaps", true},
                      Step{"ThrowInSetFormat", "SetFormat", true},
                      Step{"ThrowInPrimaryPlay", "primary.Play", true}),
    [](const ::testing::TestParamInfo<Step> &info) { return std::string(info.param.name); });

TEST_F(Device, NullWindowIsRefusedBeforeAnythingIsCreated)
{
    CDSoundDevice device;
    EXPECT_EQ(device.Initialize(nullptr, nullptr), 0);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_PARAM);
    ExpectEmpty(device);
    EXPECT_TRUE(fakeds::Log().empty());
    device.Destroy();
}

TEST_F(Device, SecondInitializeIsRefusedAndKeepsTheContext)
{
    CDSoundDevice device;
    ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
    const HANDLE mutex = Probe::Mutex(device);
    const LPDIRECTSOUND ds = Probe::DirectSound(device);
    const size_t calls = fakeds::Log().size();

    const HWND other = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x777));
    EXPECT_EQ(device.Initialize(other, nullptr), 0);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_STATE);
    EXPECT_EQ(fakeds::Log().size(), calls);
    EXPECT_EQ(device.GetWindow(), kWindow);
    EXPECT_EQ(Probe::Mutex(device), mutex);
    EXPECT_EQ(Probe::DirectSound(device), ds);
    EXPECT_EQ(device.GetCoopLevel(), static_cast<DWORD>(DSSCL_PRIORITY));
    device.Destroy();
}

TEST_F(Device, DestroyReleasesThePrimaryBeforeTheDirectSoundAndClearsEverything)
{
    CDSoundDevice device;
    ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
    fakeds::ClearLog();
    device.Destroy();
    const auto log = fakeds::Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].object, "primary");
    EXPECT_EQ(log[0].method, "Release");
    EXPECT_EQ(log[1].object, "DirectSound");
    EXPECT_EQ(log[1].method, "Release");
    ExpectEmpty(device);
    EXPECT_EQ(Probe::Sounds(device), nullptr);
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
}

TEST_F(Device, ShutdownOnAnUninitialisedDeviceFailsAndLeavesItSo)
{
    CDSoundDevice device;
    device.Shutdown();
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    ExpectEmpty(device);
    device.Destroy();
}

// Another thread holds the device lock for as long as Shutdown waits.
TEST_F(Device, ShutdownThatCannotTakeTheLockReleasesNothingButClearsTheDevice)
{
    CDSoundDevice device;
    ASSERT_EQ(device.Initialize(kWindow, nullptr), 1);
    const HANDLE mutex = Probe::Mutex(device);
    LPDIRECTSOUND ds = Probe::DirectSound(device);
    LPDIRECTSOUNDBUFFER primary = Probe::Primary(device);

    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    bool done = false;
    std::thread holder([&] {
        const DWORD got = WaitForSingleObject(mutex, 5000);
        std::unique_lock<std::mutex> lock(m);
        held = got == WAIT_OBJECT_0;
        cv.notify_all();
        cv.wait(lock, [&] { return done; });
        // Ends owning the mutex; its handle is closed by then.
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return held; }));
    }
    fakeds::ClearLog();
    device.Shutdown();
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    }
    holder.join();

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
