// The end of the process with devices and sounds still registered: the
// registry's static destruction tears them down, and nothing may go wrong
// on the way out, also while other threads are still inside exports. Each
// case ends a child process; a watchdog there turns a hang into a status of
// its own. (tests/unload does the same with the real library, loaded and
// unloaded at run time.)
#include "dudidadu.h"

#include "fake_dsound.h"
#include "support/ExitWatchdog.h"
#include "support/RiffWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

const int kHung = 97;

// Calls made by the threads of the second case; never destroyed, so that
// they may count on while the process ends.
std::atomic<long> g_calls{0};

[[noreturn]] void ExitWatched(int code)
{
    std::fflush(nullptr);
    ExitWatchdog::Arm("the end of the process", 20, kHung);
    std::exit(code);
}

void RegisterAndExit()
{
    const riff::Bytes image = riff::ToneImage(440, 22050, 2, 16, 0.02, 0.5);
    for (int d = 0; d < 3; ++d) {
        LPVOID device =
            DSoundInitialize(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7000 + 16 * d)), nullptr);
        if (!device)
            std::_Exit(3);
        for (int s = 0; s < 4; ++s) {
            LPVOID sound = DSoundOpenMem(device, const_cast<uint8_t *>(image.data()),
                                         static_cast<DWORD>(image.size()));
            if (!sound)
                std::_Exit(4);
            if (s % 2)
                DSoundPlay(sound, TRUE);
        }
    }
    ExitWatched(0);
}

void ExitWhileOthersCall()
{
    fakeds::SetLogging(false);  // the callers never stop
    const riff::Bytes image = riff::ToneImage(440, 22050, 1, 16, 0.5, 0.5);
    LPVOID device = DSoundInitialize(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7100)), nullptr);
    if (!device)
        std::_Exit(3);
    std::array<LPVOID, 4> sounds;
    for (LPVOID &sound : sounds) {
        sound = DSoundOpenMem(device, const_cast<uint8_t *>(image.data()), static_cast<DWORD>(image.size()));
        if (!sound)
            std::_Exit(4);
    }
    for (unsigned t = 0; t < 4; ++t) {
        std::thread([sounds, t]() {
            for (unsigned i = t;; ++i) {
                LPVOID sound = sounds[i % sounds.size()];
                switch (i % 5) {
                case 0: DSoundPlay(sound, i % 2 ? TRUE : FALSE); break;
                case 1: DSoundStop(sound, i % 3 ? 0 : 100); break;
                case 2: DSoundSetVolume(sound, -static_cast<LONG>(i % 1000)); break;
                case 3: DSoundGetPan(sound); break;
                default: DSoundIsPlaying(sound); break;
                }
                ++g_calls;
            }
        }).detach();
    }
    ExitWatchdog::Arm("the callers' first calls", 20, kHung);
    while (g_calls < 200)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ExitWatched(7);
}

TEST(Unload, ExitWithDevicesAndPlayingSoundsStillRegisteredIsClean)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RegisterAndExit(), ::testing::ExitedWithCode(0), "");
}

TEST(Unload, ExitWhileOtherThreadsAreInsideExportsIsClean)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWhileOthersCall(), ::testing::ExitedWithCode(7), "");
}

}  // namespace
