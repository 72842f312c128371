// The fake DirectSound itself: the tests of the core trust its buffers, its
// script and its log, so these are checked here.
#include "fake_dsound.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Fake : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeds::Reset();
        ASSERT_EQ(DirectSoundCreate(nullptr, &ds, nullptr), DS_OK);
        DSBUFFERDESC desc = {};
        desc.dwSize = sizeof(DSBUFFERDESC1);
        desc.dwBufferBytes = 16;
        desc.lpwfxFormat = &format;
        ASSERT_EQ(ds->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
    }
    void TearDown() override
    {
        if (buffer)
            buffer->Release();
        if (ds)
            ds->Release();
        EXPECT_EQ(fakeds::LiveObjects(), 0);
    }
    HRESULT Lock(DWORD offset, DWORD bytes) { return buffer->Lock(offset, bytes, &p1, &n1, &p2, &n2, 0); }

    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
    LPDIRECTSOUND ds = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;  // 16 bytes
    LPVOID p1 = nullptr, p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
};

TEST_F(Fake, DescriptionSizesAndThePrimaryAsByTheRealDirectSound)
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
    ASSERT_EQ(Lock(0, 16), DS_OK);
    EXPECT_EQ((std::vector<DWORD>{16, 0}), (std::vector<DWORD>{n1, n2}));
    EXPECT_EQ(p2, nullptr);
    for (int i = 0; i < 16; ++i)
        static_cast<unsigned char *>(p1)[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
    const fakeds::Call unlock = fakeds::Calls("Unlock").at(0);
    EXPECT_EQ(unlock.args, std::vector<long long>({0, 16, -1, 0}));
    EXPECT_EQ(unlock.data, std::vector<unsigned char>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));

    ASSERT_EQ(Lock(12, 8), DS_OK);
    EXPECT_EQ((std::vector<DWORD>{4, 4}), (std::vector<DWORD>{n1, n2}));
    EXPECT_EQ(static_cast<unsigned char *>(p2)[0], 1);
    EXPECT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);

    EXPECT_EQ(Lock(16, 1), DSERR_INVALIDPARAM);
    EXPECT_EQ(Lock(0, 17), DSERR_INVALIDPARAM);
    unsigned char outside[4];
    EXPECT_EQ(buffer->Unlock(outside, 4, nullptr, 0), DSERR_INVALIDPARAM);
}

TEST_F(Fake, ScriptedResultsRunOutInOrderAndRangesHold)
{
    fakeds::FailNext("Lock", DSERR_BUFFERLOST, 2);
    fakeds::FailNext("primary.Lock", DSERR_GENERIC);  // other kind: not consulted
    EXPECT_EQ(Lock(0, 8), DSERR_BUFFERLOST);
    EXPECT_EQ(Lock(0, 8), DSERR_BUFFERLOST);
    EXPECT_EQ(Lock(0, 8), DS_OK);
    EXPECT_EQ(fakeds::Count("secondary.Lock"), 3);

    fakeds::FailNext("GetStatus", DSERR_GENERIC, -1);
    DWORD status = 0;
    EXPECT_EQ(buffer->GetStatus(&status), DSERR_GENERIC);
    EXPECT_EQ(buffer->GetStatus(&status), DSERR_GENERIC);

    fakeds::ThrowNext("Stop");
    EXPECT_ANY_THROW(buffer->Stop());
    EXPECT_EQ(fakeds::Calls("Stop").at(0).result, E_FAIL);
    EXPECT_EQ(buffer->Stop(), DS_OK);

    EXPECT_EQ(buffer->SetVolume(1), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetPan(10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetFrequency(99), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetFrequency(44100), DS_OK);
    EXPECT_EQ(buffer->SetFrequency(0), DS_OK);
    DWORD frequency = 0;
    EXPECT_EQ(buffer->GetFrequency(&frequency), DS_OK);
    EXPECT_EQ(frequency, 22050u);

    fakeds::Refuse("SetVolume", -600, DSERR_GENERIC);
    EXPECT_EQ(buffer->SetVolume(-600), DSERR_GENERIC);
    EXPECT_EQ(buffer->SetVolume(-601), DS_OK);
    LONG volume = 0;
    EXPECT_EQ(buffer->GetVolume(&volume), DS_OK);
    EXPECT_EQ(volume, -601);
    EXPECT_EQ(fakeds::Calls("GetVolume").at(0).args, std::vector<long long>({-601}));
}

TEST_F(Fake, OneShotEndsAfterItsQueriesWhileLoopingPlaysUntilStopped)
{
    fakeds::SetOneShotQueries(2);
    DWORD status = 0;
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
    for (DWORD expected : {DSBSTATUS_PLAYING, DSBSTATUS_PLAYING, 0}) {
        EXPECT_EQ(buffer->GetStatus(&status), DS_OK);
        EXPECT_EQ(status, expected);
    }
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
