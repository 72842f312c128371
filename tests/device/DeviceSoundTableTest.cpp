// Sounds entering and leaving a device's table: slots, failed opens, own
// copies of the samples, and teardown order, against the fake DirectSound.
#include "device/CDSoundDevice.h"
#include "frame/status.h"
#include "platform/CFailureReason.h"
#include "sound/CDSoundObject.h"

#include "DeviceProbe.h"
#include "fake_dsound.h"
#include "support/LockHolder.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace {

using Probe = CDSoundDeviceProbe;
using namespace std::chrono_literals;

class DeviceSounds : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        image = riff::ToneImage(440, 22050, 1, 16, 0.05, 0.5);
        ASSERT_EQ(device.Initialize(Window(1), nullptr), 1);
    }
    void TearDown() override
    {
        device.Destroy();
        EXPECT_EQ(fakeds::LiveObjects(), 0);
        EXPECT_TRUE(fakeds::Faults().empty());
    }
    static HWND Window(int n) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x5000 + n)); }
    LPVOID Open() { return device.OpenSoundMem(image.data(), static_cast<DWORD>(image.size())); }
    static int SlotOf(LPCVOID sound) { return Probe::SlotOf(sound); }
    CDSoundObject *Object(LPCVOID sound) { return Probe::Sound(device, sound); }
    // The samples of the data chunk: what follows the 44-byte header.
    riff::Bytes Samples() const { return riff::Bytes(image.begin() + 44, image.end()); }

    riff::Bytes image;
    CDSoundDevice device;
};

TEST_F(DeviceSounds, ThirtyThirdSoundIsRefusedAndAFreedSlotIsReusedFirst)
{
    std::vector<LPVOID> sounds;
    for (int i = 0; i < 32; ++i) {
        sounds.push_back(Open());
        ASSERT_NE(sounds.back(), nullptr) << i;
        EXPECT_EQ(SlotOf(sounds.back()), i);
        EXPECT_EQ(device.GetStatus(), SOUND_OK);
    }
    const int buffers = fakeds::Count("CreateSoundBuffer");
    CFailureReason call;
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_NOSLOT);
    EXPECT_EQ(CFailureReason::Noted(), (DWORD)ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_EQ(fakeds::Count("CreateSoundBuffer"), buffers);

    device.CloseSound(sounds[5]);
    EXPECT_EQ(device.HasSound(sounds[5]), 0);
    LPVOID late = Open();
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(SlotOf(late), 5);
    EXPECT_EQ(device.HasSound(late), 1);
    // The closed sound's handle names nothing, the new sound in its slot
    // included.
    EXPECT_NE(late, sounds[5]);
    EXPECT_EQ(device.HasSound(sounds[5]), 0);
    device.CloseSound(sounds[5]);
    EXPECT_EQ(device.HasSound(late), 1);
}

TEST_F(DeviceSounds, FailedOpensLeaveTheirSlotFree)
{
    LPVOID first = Open();
    ASSERT_NE(first, nullptr);

    EXPECT_EQ(device.OpenSound("no-such-directory/no-such-file.wav"), nullptr);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    EXPECT_EQ(Probe::Sounds(device)->FindFreeSlot(), 1);

    riff::Bytes malformed = image;
    malformed.resize(20);
    EXPECT_EQ(device.OpenSoundMem(malformed.data(), static_cast<DWORD>(malformed.size())), nullptr);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    EXPECT_EQ(device.OpenSoundMem(nullptr, 0), nullptr);
    EXPECT_EQ(Probe::Sounds(device)->FindFreeSlot(), 1);

    // DirectSound refusing the buffer, or throwing while creating it.
    fakeds::FailNext("CreateSoundBuffer", DSERR_OUTOFMEMORY);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    fakeds::ThrowNext("CreateSoundBuffer");
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(Probe::Sounds(device)->FindFreeSlot(), 1);

    LPVOID second = Open();
    EXPECT_EQ(SlotOf(second), 1);
    EXPECT_EQ(device.GetStatus(), SOUND_OK);
}

TEST_F(DeviceSounds, OpenFromAFileReadsTheWholeDataChunk)
{
    const std::string path = "dudidadu-device-sound-test.wav";
    ASSERT_TRUE(riff::SaveFile(path, image));
    LPVOID sound = device.OpenSound(path.c_str());
    std::remove(path.c_str());
    ASSERT_NE(sound, nullptr);
    const auto created = fakeds::Calls("DirectSound.CreateSoundBuffer");
    ASSERT_EQ(created.size(), 2u);  // the primary, then the sound's
    EXPECT_EQ(created[1].args[2], static_cast<long long>(Samples().size()));
}

TEST_F(DeviceSounds, SameImageTwiceGivesTwoSoundsWithTheirOwnSamples)
{
    LPVOID a = Open();
    LPVOID b = Open();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(SlotOf(a), 0);
    EXPECT_EQ(SlotOf(b), 1);
    const riff::Bytes samples = Samples();
    // The application may reuse its image at once.
    std::fill(image.begin(), image.end(), 0x55);
    ASSERT_EQ(Object(a)->Play(FALSE), TRUE);
    ASSERT_EQ(Object(b)->Play(FALSE), TRUE);
    const auto unlocks = fakeds::Calls("Unlock");
    ASSERT_EQ(unlocks.size(), 2u);
    EXPECT_NE(unlocks[0].id, unlocks[1].id);
    EXPECT_EQ(unlocks[0].data, samples);
    EXPECT_EQ(unlocks[1].data, samples);
}

TEST_F(DeviceSounds, CloseSoundIgnoresNullAndOtherDevicesSounds)
{
    CDSoundDevice other(1);
    ASSERT_EQ(other.Initialize(Window(2), nullptr), 1);
    riff::Bytes copy = image;
    LPVOID foreign = other.OpenSoundMem(copy.data(), static_cast<DWORD>(copy.size()));
    LPVOID mine = Open();
    ASSERT_TRUE(foreign && mine);
    EXPECT_EQ(device.HasSound(foreign), 0);
    EXPECT_EQ(other.HasSound(mine), 0);

    device.CloseSound(nullptr);
    device.CloseSound(foreign);
    int invented = 0;
    device.CloseSound(&invented);
    EXPECT_EQ(fakeds::Count("secondary.Release"), 0);
    EXPECT_EQ(other.HasSound(foreign), 1);
    EXPECT_EQ(device.HasSound(mine), 1);
    other.Destroy();
}

TEST_F(DeviceSounds, ClosingAPlayingSoundStopsItsBufferBeforeReleasingIt)
{
    LPVOID sound = Open();
    ASSERT_NE(sound, nullptr);
    ASSERT_EQ(Object(sound)->Play(TRUE), TRUE);
    // The monitor thread is running once it asks for the status.
    ASSERT_TRUE(fakeds::WaitFor("secondary.GetStatus", 10s));
    device.CloseSound(sound);
    EXPECT_EQ(device.HasSound(sound), 0);
    // Stopped before released, and nothing touches the buffer afterwards.
    std::vector<std::string> methods;
    for (const auto &call : fakeds::Log())
        if (call.object == "secondary")
            methods.push_back(call.method);
    ASSERT_FALSE(methods.empty());
    EXPECT_EQ(methods.back(), "Release");
    EXPECT_NE(std::find(methods.begin(), methods.end(), "Stop"), methods.end());
}

TEST_F(DeviceSounds, DestroyTearsDownEverySoundBeforeTheDirectSoundContext)
{
    LPVOID a = Open();
    LPVOID b = Open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(Object(b)->Play(TRUE), TRUE);
    device.Destroy();
    const auto log = fakeds::Log();
    std::vector<std::string> releases;
    for (const auto &call : log)
        if (call.method == "Release")
            releases.push_back(call.object + std::to_string(call.id));
    EXPECT_EQ(releases,
              std::vector<std::string>({"secondary1", "secondary2", "primary1", "DirectSound1"}));
    EXPECT_EQ(Probe::Sounds(device), nullptr);
}

// Another thread holds the device lock for longer than an open waits.
TEST_F(DeviceSounds, OpenThatCannotTakeTheDeviceLockFailsAndAddsNothing)
{
    {
        LockHolder holder(Probe::Mutex(device));
        ASSERT_TRUE(holder.Held());
        EXPECT_EQ(Open(), nullptr);
        EXPECT_EQ(device.GetStatus(), SOUND_ERR_FAILED);
    }
    EXPECT_EQ(Probe::Sounds(device)->FindFreeSlot(), 0);
    EXPECT_EQ(fakeds::Count("CreateSoundBuffer"), 1);  // the primary only
    EXPECT_NE(Open(), nullptr);
}

}  // namespace
