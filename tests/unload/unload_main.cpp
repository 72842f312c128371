// dudidadu-unload: loads the library at run time, uses it, unloads it and
// ends the process in the way asked, for unload_library_tests to watch from
// outside: a hang or a crash here fails that test instead of holding it up.
//
//   dudidadu-unload SCENARIO END CODE
//
//   unload-main           devices with playing sounds (some looping), then the
//                         library unloaded, all on the main thread
//   unload-thread         the same, but unloaded on another thread
//   unload-after-threads  used only from threads that have since ended, then
//                         unloaded on the main thread
//   unload-after-terminate  the same, but the threads terminated their
//                         devices first: nothing keeps the library mapped
//   reload                unloaded as in unload-main, then loaded again: a
//                         new device for another window plays a sound, which
//                         still plays when the process ends
//   exit-in-exports       threads call exports on shared sounds in a loop
//                         while the main thread ends the process
//
//   END   "return": main returns CODE; "exit": exit(CODE)
//
// Devices use the null output on Linux, a real window over the platform's
// DirectSound on Windows. The program's own failures: 2 usage, 3 the library
// did not load, 4 a device, sound or call failed, 90 a step did not return
// within its deadline, 91 the end of the process did not finish in time.
#include "LoadedLibrary.h"

#include "support/ExitWatchdog.h"
#include "support/RiffWriter.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kUsage = 2;
const int kLoadFailed = 3;
const int kSetUpFailed = 4;
const int kStepHung = 90;
const int kEndHung = 91;
const int kStepSeconds = 10;
const BOOL kLoop = 1;
const BOOL kOnce = 0;

#if defined(_WIN32)
// DirectSound's cooperative level wants a real window.
HWND MakeWindow(int)
{
    return CreateWindowExA(0, "STATIC", "dudidadu-unload", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

LPGUID Output()
{
    return nullptr;
}
#else
// Any non-null value names a window here.
HWND MakeWindow(int index)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x5000 + 16 * index));
}

// The null output: no audio server needed.
LPGUID Output()
{
    static GUID output = DUDIDADU_NULL_OUTPUT;
    return &output;
}
#endif

[[noreturn]] void Fail(const char *what)
{
    std::printf("dudidadu-unload: %s\n", what);
    std::fflush(stdout);
    std::_Exit(kSetUpFailed);
}

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Calls made by the threads of exit-in-exports; never destroyed, so that
// they may count on while the process ends.
std::atomic<long> g_calls{0};

class UnloadProgram {
public:
    UnloadProgram() : m_image(riff::ToneImage(440, 22050, 1, 16, 2.0, 0.3))
    {
        for (int i = 0; i < kWindows; ++i) {
            if (!(m_windows[i] = MakeWindow(i)))
                Fail("cannot create a window");
        }
    }

    // Runs a scenario up to the end of the process, which the caller does.
    void Run(const std::string &scenario)
    {
        Load();
        if (scenario == "unload-main") {
            UseDevice(0);
            UseDevice(1);
            Unload(false);
        } else if (scenario == "unload-thread") {
            UseDevice(0);
            UseDevice(1);
            Unload(true);
        } else if (scenario == "unload-after-threads" || scenario == "unload-after-terminate") {
            UseOnThreadsThatEnd(scenario == "unload-after-terminate");
            Unload(false);
        } else if (scenario == "reload") {
            UseDevice(0);
            Unload(false);
            Load();
            UseDevice(2);
            std::printf("loaded again, a new device plays\n");
        } else {
            CallersInExports();
        }
        std::fflush(stdout);
    }

    static bool Knows(const std::string &scenario)
    {
        return scenario == "unload-main" || scenario == "unload-thread" || scenario == "unload-after-threads" ||
               scenario == "unload-after-terminate" || scenario == "reload" || scenario == "exit-in-exports";
    }

private:
    enum { kWindows = 3 };

    void Load()
    {
        if (!m_library.Load(DUDIDADU_LIBRARY_FILE))
            std::_Exit(kLoadFailed);
    }

    // A device for window `index`, left registered, with four sounds that
    // play on: two looping, two one-shot sounds of two seconds.
    LPVOID UseDevice(int index)
    {
        const DudidaduApi &api = m_library.Api();
        LPVOID device = api.Initialize(m_windows[index], Output());
        if (!device)
            Fail("DSoundInitialize failed");
        for (int i = 0; i < 4; ++i) {
            LPVOID sound = api.OpenMem(device, m_image.data(), static_cast<DWORD>(m_image.size()));
            if (!sound)
                Fail("DSoundOpenMem failed");
            if (!api.Play(sound, i % 2 ? kOnce : kLoop) || !api.IsPlaying(sound))
                Fail("a sound does not play");
        }
        return device;
    }

    // Two threads set up a device each, with `terminate` terminate it
    // again, and end.
    void UseOnThreadsThatEnd(bool terminate)
    {
        std::vector<std::thread> users;
        for (int i = 0; i < 2; ++i) {
            users.emplace_back([this, i, terminate]() {
                LPVOID device = UseDevice(i);
                if (terminate)
                    m_library.Api().Terminate(device);
            });
        }
        for (std::thread &user : users)
            user.join();
    }

    // Unloads on this thread or another one; the step has a deadline.
    void Unload(bool onOtherThread)
    {
        const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        ExitWatchdog::Arm("unloading the library", kStepSeconds, kStepHung);
        bool unloaded = false;
        if (onOtherThread) {
            std::thread unloader([this, &unloaded]() { unloaded = m_library.Unload(); });
            unloader.join();
        } else {
            unloaded = m_library.Unload();
        }
        ExitWatchdog::Disarm();
        std::printf("unloading returned after %.1f ms\n", MsSince(start));
        if (!unloaded)
            Fail("unloading reported a failure");
    }

    // Four threads call exports on four shared sounds without end. They
    // hold copies of what they use: main's objects go before the process ends.
    void CallersInExports()
    {
        const DudidaduApi api = m_library.Api();
        LPVOID device = api.Initialize(m_windows[0], Output());
        if (!device)
            Fail("DSoundInitialize failed");
        std::array<LPVOID, 4> sounds;
        for (size_t i = 0; i < sounds.size(); ++i) {
            if (!(sounds[i] = api.OpenMem(device, m_image.data(), static_cast<DWORD>(m_image.size()))))
                Fail("DSoundOpenMem failed");
            api.Play(sounds[i], i % 2 ? kOnce : kLoop);
        }
        for (unsigned t = 0; t < 4; ++t) {
            std::thread([api, sounds, t]() {
                for (unsigned i = t;; ++i) {
                    LPVOID sound = sounds[i % sounds.size()];
                    switch (i % 7) {
                    case 0: api.Play(sound, i % 2 ? kOnce : kLoop); break;
                    case 1: api.Stop(sound, i % 3 ? 0 : 100); break;
                    case 2: api.SetVolume(sound, -static_cast<LONG>(i % 1000)); break;
                    case 3: api.SetPan(sound, static_cast<LONG>(i % 2000) - 1000); break;
                    case 4: api.GetVolume(sound); break;
                    default: api.IsPlaying(sound); break;
                    }
                    ++g_calls;
                }
            }).detach();
        }
        ExitWatchdog::Arm("the callers' first calls", kStepSeconds, kStepHung);
        while (g_calls < 200)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ExitWatchdog::Disarm();
        std::printf("%ld calls made; ending the process\n", g_calls.load());
    }

    LoadedLibrary m_library;
    riff::Bytes m_image;  // two seconds of mono tone
    HWND m_windows[kWindows];
};

}  // namespace

int main(int argc, char **argv)
{
    const bool byExit = argc == 4 && std::strcmp(argv[2], "exit") == 0;
    if (argc != 4 || !UnloadProgram::Knows(argv[1]) || (!byExit && std::strcmp(argv[2], "return") != 0)) {
        std::fprintf(stderr, "usage: dudidadu-unload SCENARIO return|exit CODE (see the source)\n");
        return kUsage;
    }
    const int code = std::atoi(argv[3]);
    ExitWatchdog::Start();
    {
        UnloadProgram program;
        program.Run(argv[1]);
    }
    ExitWatchdog::Arm("the end of the process", kStepSeconds, kEndHung);
    if (byExit)
        std::exit(code);
    return code;
}
