// The fake DirectSound itself: the tests of the core trust its buffers, its
// script and its log, so these are checked here.
#include "fake_dsound.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Fake : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        ASSERT_EQ(DirectSoundCreate(nullptr, &ds, nullptr), DS_OK);
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = 2;
        format.nSamplesPerSec = 22050;
        format.wBitsPerSample = 16;
        format.nBlockAlign = 4;
        format.nAvgBytesPerSec = 88200;
    }
    void TearDown() override
    {
        if (buffer)
            buffer->Release();
        if (ds)
            ds->Release();
        EXPECT_EQ(fakeds::LiveObjects(), 0);
    }
    LPDIRECTSOUNDBUFFER Secondary(DWORD bytes)
    {
        DSBUFFERDESC desc = {};
        desc.dwSize = sizeof(DSBUFFERDESC1);
        desc.dwFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME;
        desc.dwBufferBytes = bytes;
        desc.lpwfxFormat = &format;
        LPDIRECTSOUNDBUFFER made = nullptr;
        EXPECT_EQ(ds->CreateSoundBuffer(&desc, &made, nullptr), DS_OK);
        return made;
    }
    LPDIRECTSOUND ds = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    WAVEFORMATEX format = {};
};

TEST_F(Fake, DescriptionSizesAreCheckedAsByTheRealDirectSound)
{
    DSBUFFERDESC desc = {};
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    LPDIRECTSOUNDBUFFER primary = nullptr;
    for (DWORD size : {DWORD(sizeof(DSBUFFERDESC1) - 4), DWORD(sizeof(DSBUFFERDESC) + 4), DWORD(0)}) {
        desc.dwSize = size;
        EXPECT_EQ(ds->CreateSoundBuffer(&desc, &primary, nullptr), DSERR_INVALIDPARAM) << size;
        EXPECT_EQ(primary, nullptr);
    }
    desc.dwSize = sizeof(DSBUFFERDESC);
    ASSERT_EQ(ds->CreateSoundBuffer(&desc, &primary, nullptr), DS_OK);
    LPDIRECTSOUNDBUFFER again = nullptr;
    desc.dwSize = sizeof(DSBUFFERDESC1);
    ASSERT_EQ(ds->CreateSoundBuffer(&desc, &again, nullptr), DS_OK);
    EXPECT_EQ(again, primary);
    // The primary wants the priority level for a format.
    EXPECT_EQ(primary->SetFormat(&format), DSERR_PRIOLEVELNEEDED);
    ASSERT_EQ(ds->SetCooperativeLevel(nullptr, DSSCL_PRIORITY), DS_OK);
    EXPECT_EQ(primary->SetFormat(&format), DS_OK);
    EXPECT_EQ(again->Release(), 1u);
    EXPECT_EQ(primary->Release(), 0u);
}

TEST_F(Fake, LockGivesTheBufferMemoryAndWrapsAtTheEnd)
{
    buffer = Secondary(16);
    ASSERT_NE(buffer, nullptr);
    LPVOID p1 = nullptr, p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    ASSERT_EQ(buffer->Lock(0, 16, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(n1, 16u);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(n2, 0u);
    for (int i = 0; i < 16; ++i)
        static_cast<unsigned char *>(p1)[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
    const auto unlock = fakeds::Calls("Unlock").at(0);
    EXPECT_EQ(unlock.args, std::vector<long long>({0, 16, -1, 0}));
    ASSERT_EQ(unlock.data.size(), 16u);
    EXPECT_EQ(unlock.data[0], 1);
    EXPECT_EQ(unlock.data[15], 16);

    ASSERT_EQ(buffer->Lock(12, 8, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(n1, 4u);
    EXPECT_EQ(n2, 4u);
    EXPECT_EQ(static_cast<unsigned char *>(p2)[0], 1);
    EXPECT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);

    EXPECT_EQ(buffer->Lock(16, 1, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->Lock(0, 17, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    unsigned char outside[4];
    EXPECT_EQ(buffer->Unlock(outside, 4, nullptr, 0), DSERR_INVALIDPARAM);
}

TEST_F(Fake, ScriptedResultsRunOutInOrder)
{
    buffer = Secondary(8);
    fakeds::FailNext("Lock", DSERR_BUFFERLOST, 2);
    fakeds::FailNext("primary.Lock", DSERR_GENERIC);  // other kind: not consulted
    LPVOID p1 = nullptr;
    DWORD n1 = 0;
    EXPECT_EQ(buffer->Lock(0, 8, &p1, &n1, nullptr, nullptr, 0), DSERR_BUFFERLOST);
    EXPECT_EQ(buffer->Lock(0, 8, &p1, &n1, nullptr, nullptr, 0), DSERR_BUFFERLOST);
    EXPECT_EQ(buffer->Lock(0, 8, &p1, &n1, nullptr, nullptr, 0), DS_OK);
    EXPECT_EQ(fakeds::Count("secondary.Lock"), 3);

    fakeds::FailAlways("GetStatus", DSERR_GENERIC);
    DWORD status = 0;
    EXPECT_EQ(buffer->GetStatus(&status), DSERR_GENERIC);
    EXPECT_EQ(buffer->GetStatus(&status), DSERR_GENERIC);

    fakeds::ThrowNext("Stop");
    EXPECT_ANY_THROW(buffer->Stop());
    EXPECT_TRUE(fakeds::Calls("Stop").at(0).threw);
    EXPECT_EQ(buffer->Stop(), DS_OK);
}

TEST_F(Fake, SettersFollowTheirRangesAndScriptedRefusals)
{
    buffer = Secondary(8);
    EXPECT_EQ(buffer->SetVolume(1), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetVolume(-10000), DS_OK);
    EXPECT_EQ(buffer->SetPan(10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetFrequency(99), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetFrequency(44100), DS_OK);
    EXPECT_EQ(buffer->SetFrequency(0), DS_OK);
    DWORD frequency = 0;
    EXPECT_EQ(buffer->GetFrequency(&frequency), DS_OK);
    EXPECT_EQ(frequency, 22050u);

    fakeds::Refuse("SetVolume", -600, DSERR_GENERIC);
    fakeds::SetRange("SetVolume", -5000, 0);
    EXPECT_EQ(buffer->SetVolume(-600), DSERR_GENERIC);
    EXPECT_EQ(buffer->SetVolume(-5001), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetVolume(-601), DS_OK);
    LONG volume = 0;
    EXPECT_EQ(buffer->GetVolume(&volume), DS_OK);
    EXPECT_EQ(volume, -601);
}

TEST_F(Fake, OneShotEndsAfterItsQueriesWhileLoopingPlaysUntilStopped)
{
    buffer = Secondary(8);
    fakeds::SetOneShotQueries(2);
    DWORD status = 0;
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
    EXPECT_EQ(buffer->GetStatus(&status), DS_OK);
    EXPECT_EQ(status, DWORD(DSBSTATUS_PLAYING));
    buffer->GetStatus(&status);
    EXPECT_EQ(status, DWORD(DSBSTATUS_PLAYING));
    buffer->GetStatus(&status);
    EXPECT_EQ(status, 0u);

    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    for (int i = 0; i < 10; ++i) {
        buffer->GetStatus(&status);
        EXPECT_EQ(status, DWORD(DSBSTATUS_PLAYING | DSBSTATUS_LOOPING));
    }
    buffer->Stop();
    buffer->GetStatus(&status);
    EXPECT_EQ(status, 0u);
}

TEST_F(Fake, WaitForSeesCallsFromOtherThreads)
{
    buffer = Secondary(8);
    EXPECT_FALSE(fakeds::WaitFor("Stop", 20ms));
    std::thread other([this] {
        std::this_thread::sleep_for(50ms);
        buffer->Stop();
        buffer->Stop();
    });
    EXPECT_TRUE(fakeds::WaitFor("secondary.Stop", 10s, 2));
    other.join();
    EXPECT_EQ(fakeds::Count("Stop"), 2);
}

TEST_F(Fake, UseOfABufferAfterItsDirectSoundIsListedAsAFault)
{
    buffer = Secondary(8);
    ds->Release();
    ds = nullptr;
    EXPECT_TRUE(fakeds::Faults().empty());
    buffer->Stop();
    EXPECT_EQ(fakeds::Faults().size(), 1u);
    buffer->Release();
    buffer = nullptr;
    EXPECT_EQ(fakeds::Faults().size(), 2u);
}

}  // namespace
