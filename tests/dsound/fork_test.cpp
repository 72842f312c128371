// What a child made by fork() finds of our DirectSound while a buffer plays
// and another thread calls into it: the devices it inherited are orphaned
// (their mixer thread and output are the parent's), so their buffers answer
// at once as lost and release promptly, and a new device plays.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>

#include "platform/winapi.h"
#include "support/ForkedChild.h"

#include "dudidadu.h"

#if defined(DUDIDADU_TEST_ASAN)
// libpulse keeps a record of every thread that calls it in that thread's
// own thread-specific data (pa_thread_self), which the C library clears in
// a forked child for the threads it lacks: there the record of the parent's
// mixer thread is referenced by nothing, and not ours to keep. Matching it
// takes full stacks, as libpulse has no frame pointers.
extern "C" __attribute__((visibility("default"))) const char *__lsan_default_suppressions()
{
    return "leak:pa_thread_self\n";
}
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
#endif

namespace {

WAVEFORMATEX Mono16(DWORD rate)
{
    WAVEFORMATEX f;
    memset(&f, 0, sizeof(f));
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = rate * 2;
    return f;
}

IDirectSoundBuffer *CreateBuffer(IDirectSound *ds, DWORD flags, DWORD bytes)
{
    WAVEFORMATEX format = Mono16(48000);
    DSBUFFERDESC d;
    memset(&d, 0, sizeof(d));
    d.dwSize = sizeof(DSBUFFERDESC1);
    d.dwFlags = flags;
    d.dwBufferBytes = bytes;
    d.lpwfxFormat = (flags & DSBCAPS_PRIMARYBUFFER) ? nullptr : &format;
    IDirectSoundBuffer *b = nullptr;
    return ds->CreateSoundBuffer(&d, &b, nullptr) == DS_OK ? b : nullptr;
}

const DWORD kControls = DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY;

// True once the buffer no longer plays; false after ten seconds.
bool PlaysToItsEnd(IDirectSoundBuffer *b)
{
    for (int i = 0; i < 10000; ++i) {
        DWORD status = 0;
        if (b->GetStatus(&status) != DS_OK)
            return false;
        if (!(status & DSBSTATUS_PLAYING))
            return true;
        Sleep(1);
    }
    return false;
}

struct CScene {
    IDirectSound *device = nullptr;
    IDirectSoundBuffer *playing = nullptr;  // loops from before the fork
    IDirectSoundBuffer *called = nullptr;   // the other thread's
    IDirectSoundBuffer *primary = nullptr;
    HANDLE stop = nullptr;
    std::atomic<int> calls{0};
};

// Every kind of call a monitor or an application thread makes, over and
// over, so that the fork finds the device's locks held. None allocates: what
// this thread allocated at the moment of the fork would be lost with it in
// the child, and reported by LeakSanitizer.
DWORD WINAPI call_the_device(LPVOID parameter)
{
    CScene &scene = *static_cast<CScene *>(parameter);
    while (WaitForSingleObject(scene.stop, 0) == WAIT_TIMEOUT) {
        DWORD status, play, write, bytes1, bytes2;
        LONG volume;
        LPVOID audio1, audio2;
        scene.called->SetVolume(-(scene.calls.load() % 1000));
        scene.called->GetVolume(&volume);
        scene.called->GetStatus(&status);
        scene.called->GetCurrentPosition(&play, &write);
        if (scene.called->Lock(0, 0, &audio1, &bytes1, &audio2, &bytes2, DSBLOCK_ENTIREBUFFER) == DS_OK)
            scene.called->Unlock(audio1, bytes1, audio2, bytes2);
        scene.called->Play(0, 0, DSBPLAY_LOOPING);
        scene.called->Stop();
        scene.playing->GetStatus(&status);
        scene.primary->GetStatus(&status);
        scene.device->GetSpeakerConfig(&status);
        ++scene.calls;
    }
    return 0;
}

int check_child(CScene &scene, const GUID *newDevice)
{
    // The inherited buffers are lost: nothing waits, nothing plays.
    for (IDirectSoundBuffer *b : {scene.playing, scene.called}) {
        DWORD status = DSBSTATUS_PLAYING;
        CHILD_CHECK(b->GetStatus(&status) == DS_OK && status == DSBSTATUS_BUFFERLOST);
        DWORD bytes1 = 0, bytes2 = 0;
        LPVOID audio1 = nullptr, audio2 = nullptr;
        CHILD_CHECK(b->Lock(0, 0, &audio1, &bytes1, &audio2, &bytes2, DSBLOCK_ENTIREBUFFER) ==
                    DSERR_BUFFERLOST);
        CHILD_CHECK(b->Play(0, 0, 0) == DSERR_BUFFERLOST);
        CHILD_CHECK(b->Restore() == DSERR_BUFFERLOST);
        // What only touches the buffer's own state still works.
        LONG volume = 0;
        CHILD_CHECK(b->SetVolume(-700) == DS_OK && b->GetVolume(&volume) == DS_OK && volume == -700);
        CHILD_CHECK(b->SetCurrentPosition(0) == DS_OK);
        DWORD play = 1, write = 1;
        CHILD_CHECK(b->GetCurrentPosition(&play, &write) == DS_OK);
        CHILD_CHECK(b->Stop() == DS_OK);
    }
    DWORD status = DSBSTATUS_PLAYING;
    CHILD_CHECK(scene.primary->Play(0, 0, DSBPLAY_LOOPING) == DSERR_BUFFERLOST);
    CHILD_CHECK(scene.primary->GetStatus(&status) == DS_OK && status == DSBSTATUS_BUFFERLOST);

    // Released, the device first: each returns at once.
    CHILD_CHECK(scene.device->Release() == 0);
    CHILD_CHECK(scene.primary->Release() == 0);
    CHILD_CHECK(scene.called->Release() == 0);
    CHILD_CHECK(scene.playing->Release() == 0);

    // A device made here plays, in real time: a one-shot buffer ends.
    IDirectSound *ds = nullptr;
    CHILD_CHECK(DirectSoundCreate(newDevice, &ds, nullptr) == DS_OK);
    IDirectSoundBuffer *b = CreateBuffer(ds, kControls, 48000 * 2 / 20);  // 50 ms
    CHILD_CHECK(b != nullptr);
    CHILD_CHECK(b->Play(0, 0, 0) == DS_OK);
    CHILD_CHECK(PlaysToItsEnd(b));
    CHILD_CHECK(b->Release() == 0);
    CHILD_CHECK(ds->Release() == 0);
    return 0;
}

}  // namespace

TEST(DirectSoundFork, ChildOrphansTheDevicesItInherits)
{
    SKIP_FORK_TESTS_UNDER_TSAN();
    // The parent's device and the child's new one: the null output, and the
    // default, which is PulseAudio when a server answers (libpulse then
    // refuses to work in the child, which gets the null output).
    const struct {
        const char *name;
        const GUID *device;
    } cases[] = {{"null output", &DUDIDADU_NULL_OUTPUT}, {"default output", nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        settle_threads(1);  // the caller of the case before has gone
        CScene scene;
        ASSERT_EQ(DS_OK, DirectSoundCreate(c.device, &scene.device, nullptr));
        scene.playing = CreateBuffer(scene.device, kControls, 48000 * 2 / 10);
        scene.called = CreateBuffer(scene.device, kControls, 48000 * 2 / 10);
        scene.primary = CreateBuffer(scene.device, DSBCAPS_PRIMARYBUFFER, 0);
        ASSERT_NE(nullptr, scene.playing);
        ASSERT_NE(nullptr, scene.called);
        ASSERT_NE(nullptr, scene.primary);
        ASSERT_EQ(DS_OK, scene.playing->Play(0, 0, DSBPLAY_LOOPING));
        ASSERT_EQ(DS_OK, scene.primary->Play(0, 0, DSBPLAY_LOOPING));
        scene.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE caller = CreateThread(nullptr, 0, call_the_device, &scene, 0, nullptr);
        ASSERT_NE(nullptr, caller);
        for (int i = 0; i < 10000 && scene.calls.load() < 100; ++i)
            Sleep(1);
        ASSERT_GE(scene.calls.load(), 100);

        EXPECT_EQ(run_in_forked_child([&] { return check_child(scene, c.device); }), "exit 0");

        // The parent's device plays on.
        SetEvent(scene.stop);
        ASSERT_EQ(WaitForSingleObject(caller, 10000), WAIT_OBJECT_0);
        CloseHandle(caller);
        CloseHandle(scene.stop);
        DWORD status = 0;
        EXPECT_EQ(DS_OK, scene.playing->GetStatus(&status));
        EXPECT_EQ(DWORD(DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), status);
        ASSERT_EQ(DS_OK, scene.playing->SetCurrentPosition(0));
        ASSERT_EQ(DS_OK, scene.playing->Play(0, 0, 0));
        EXPECT_TRUE(PlaysToItsEnd(scene.playing));
        scene.primary->Release();
        scene.called->Release();
        scene.playing->Release();
        EXPECT_EQ(0u, scene.device->Release());
    }
}
