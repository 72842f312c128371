// dudidadu-unload: the library loaded at run time, as an application that
// binds it late would, used, and then unloaded, or the process ended or
// forked, while it is in use. Each scenario is a test of its own with a
// deadline (CMakeLists.txt), which passes when the program ends with CODE.
//
//   dudidadu-unload SCENARIO CODE
//
//   unload-main           devices play sounds (some looping), then the
//                         library is unloaded, all on the main thread
//   unload-after-threads  the same, but the devices were made by threads
//                         that have ended since
//   reload                unloaded as in unload-main, then loaded again: a
//                         new device plays on until the process ends
//   exit-in-exports       threads call exports in a loop as the process ends
//   fork                  (not on Windows) see ForkWhilePlaying
//
// Devices use the null output on Linux (but see fork), a real window over
// the platform's DirectSound on Windows. The program's own failures end it
// with 2 (usage) or 3.
#include "dudidadu.h"

#include "support/RiffWriter.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "support/ForkedChild.h"
#endif

#if defined(DUDIDADU_TEST_ASAN)
// libpulse keeps a record of every thread that calls it under a pthread key
// of that thread (pa_thread_self), which the C library clears in a forked
// child for the threads it lacks: there the record of the parent's
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

const BOOL kLoop = 1;
const BOOL kOnce = 0;

#if defined(_WIN32)
// DirectSound's cooperative level wants a real window.
HWND MakeWindow(int)
{
    return CreateWindowExA(0, "STATIC", "dudidadu-unload", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}
LPGUID Output() { return nullptr; }
HMODULE LoadModule() { return LoadLibraryA(DUDIDADU_LIBRARY_FILE); }
// void (*)() is the one function type that others convert to without a warning.
void (*FindExport(HMODULE module, const char *name))()
{
    return reinterpret_cast<void (*)()>(GetProcAddress(module, name));
}
bool UnloadModule(HMODULE module) { return FreeLibrary(module) != 0; }
#else
typedef void *HMODULE;
// Any non-null value names a window here; the null output needs no server.
HWND MakeWindow(int index)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x5000 + 16 * index));
}
LPGUID Output()
{
    static GUID output = DUDIDADU_NULL_OUTPUT;
    return &output;
}
HMODULE LoadModule() { return dlopen(DUDIDADU_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL); }
void (*FindExport(HMODULE module, const char *name))() { return reinterpret_cast<void (*)()>(dlsym(module, name)); }
bool UnloadModule(HMODULE module) { return dlclose(module) == 0; }
#endif

// The exports the scenarios call.
struct Api {
    decltype(&DSoundInitialize) Initialize;
    decltype(&DSoundTerminate) Terminate;
    decltype(&DSoundOpenMem) OpenMem;
    decltype(&DSoundPlay) Play;
    decltype(&DSoundStop) Stop;
    decltype(&DSoundIsPlaying) IsPlaying;
    decltype(&DSoundSetVolume) SetVolume;
    decltype(&DSoundSetPan) SetPan;
};

HMODULE g_module = nullptr;
Api g_api = {};  // plain pointers: still there for calls as the process ends
HWND g_windows[3];
// Two seconds of mono tone; the library keeps copies.
const riff::Bytes g_image = riff::ToneImage(440, 22050, 1, 16, 2.0, 0.3);
// Calls made by the threads that call exports without end; never destroyed,
// so that they may count on while the process ends.
std::atomic<long> g_calls{0};

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "dudidadu-unload: %s\n", what);
    std::_Exit(3);
}

template <class T>
bool Bind(T &slot, const char *name)
{
    slot = reinterpret_cast<T>(FindExport(g_module, name));
    return slot != nullptr;
}

void Load()
{
    g_module = LoadModule();
    if (!g_module || !Bind(g_api.Initialize, "DSoundInitialize") || !Bind(g_api.Terminate, "DSoundTerminate") ||
        !Bind(g_api.OpenMem, "DSoundOpenMem") || !Bind(g_api.Play, "DSoundPlay") ||
        !Bind(g_api.Stop, "DSoundStop") || !Bind(g_api.IsPlaying, "DSoundIsPlaying") ||
        !Bind(g_api.SetVolume, "DSoundSetVolume") || !Bind(g_api.SetPan, "DSoundSetPan"))
        Fail("cannot load " DUDIDADU_LIBRARY_FILE " or find its exports");
}

LPVOID OpenSound(LPVOID device)
{
    LPVOID sound = g_api.OpenMem(device, const_cast<uint8_t *>(g_image.data()), static_cast<DWORD>(g_image.size()));
    if (!sound)
        Fail("DSoundOpenMem failed");
    return sound;
}

LPVOID MakeDevice(int index, LPGUID output = Output())
{
    LPVOID device = g_api.Initialize(g_windows[index], output);
    if (!device)
        Fail("DSoundInitialize failed");
    return device;
}

// A device for window `index`, left registered, with four sounds that play
// on: two looping, two one-shot sounds of two seconds.
LPVOID UseDevice(int index)
{
    LPVOID device = MakeDevice(index);
    for (int i = 0; i < 4; ++i) {
        LPVOID sound = OpenSound(device);
        if (!g_api.Play(sound, i % 2 ? kOnce : kLoop) || !g_api.IsPlaying(sound))
            Fail("a sound does not play");
    }
    return device;
}

void Unload()
{
    const auto start = std::chrono::steady_clock::now();
    if (!UnloadModule(g_module))
        Fail("unloading reported a failure");
    std::fprintf(stderr, "unloading returned after %.1f ms\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
}

// Four threads call exports on four shared sounds without end.
void CallersInExports()
{
    LPVOID device = MakeDevice(0);
    std::vector<LPVOID> sounds;
    for (int i = 0; i < 4; ++i) {
        sounds.push_back(OpenSound(device));
        g_api.Play(sounds.back(), i % 2 ? kOnce : kLoop);
    }
    for (unsigned t = 0; t < 4; ++t) {
        std::thread([sounds, t]() {
            for (unsigned i = t;; ++i) {
                LPVOID sound = sounds[i % sounds.size()];
                switch (i % 5) {
                case 0: g_api.Play(sound, i % 2 ? kOnce : kLoop); break;
                case 1: g_api.Stop(sound, i % 3 ? 0 : 100); break;
                case 2: g_api.SetVolume(sound, -static_cast<LONG>(i % 1000)); break;
                case 3: g_api.SetPan(sound, static_cast<LONG>(i % 2000) - 1000); break;
                default: g_api.IsPlaying(sound); break;
                }
                ++g_calls;
            }
        }).detach();
    }
    while (g_calls < 200)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

#if !defined(_WIN32)
// The sound the calling thread of ForkWhilePlaying calls on. A raw thread and
// static data: the child must hold nothing that only the vanished thread's
// stack pointed to, or its leak check would count it.
LPVOID g_called = nullptr;

void *CallOnTheSound(void *)
{
    for (LONG i = 0;; ++i) {
        g_api.SetVolume(g_called, -(i % 1000));
        g_api.SetPan(g_called, i % 2000 - 1000);
        g_api.IsPlaying(g_called);
        ++g_calls;
    }
    return nullptr;
}

void WaitForTheEnd(LPVOID sound)
{
    while (g_api.IsPlaying(sound))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

const int kChildStatus = 5;

// How many connections named like ours the server lists (pactl), or -1
// when there is no server to ask.
int ServerClients()
{
    if (!std::getenv("PULSE_SERVER"))
        return -1;
    FILE *pactl = popen("pactl list short clients 2>/dev/null", "r");
    if (!pactl)
        return -1;
    int clients = 0;
    char line[256];
    while (std::fgets(line, sizeof(line), pactl))
        clients += std::strstr(line, "\tdudidadu") != nullptr;
    return pclose(pactl) == 0 ? clients : -1;
}

// The parent's side while the child lives: once the child is done with its
// checks (a byte on `ready`), the parent's sound must still play; then its
// devices are terminated, and their connections must leave the server,
// whose end the child's copies must not hold up. A byte on `go` lets the
// child end.
struct SParentWhileTheChildLives {
    int ready[2];
    int go[2];
    LPVOID devices[2];
    const char *failure = nullptr;
};

void *WhileTheChildLives(void *handed)
{
    SParentWhileTheChildLives &parent = *static_cast<SParentWhileTheChildLives *>(handed);
    char byte = 0;
    if (read(parent.ready[0], &byte, 1) != 1)
        parent.failure = "the child never got to the end of its checks";
    else if (!g_api.IsPlaying(g_called))
        parent.failure = "the parent's sound no longer plays";
    const int before = ServerClients();
    g_api.Stop(g_called, 0);
    WaitForTheEnd(g_called);
    for (LPVOID device : parent.devices)
        g_api.Terminate(device);
    int after = ServerClients();
    for (int i = 0; i < 500 && after > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = ServerClients();
    }
    std::fprintf(stderr, "the server's connections named dudidadu: %d while playing, %d after the parent's terminate\n",
                 before, after);
    if (!parent.failure && before > 0 && after != 0)
        parent.failure = "the parent's connection outlives its devices while the child lives";
    if (write(parent.go[1], &byte, 1) != 1 && !parent.failure)
        parent.failure = "the child cannot be told to end";
    return nullptr;
}

// A looping sound plays on the default output (PulseAudio when a server
// answers) while a thread calls exports on it, and an idle device for
// another window sleeps, and the process forks. The child has none of those
// threads, and the outputs are the parent's: the inherited sound answers at
// once, as stopped, both devices are terminated, and a new device for a
// third window plays a one-shot sound to its end; then exit() ends the
// child, by the deadline and with its own status. Meanwhile the parent's
// sound plays on, and the parent's devices end with their connections.
void ForkWhilePlaying()
{
    // Telling a child that is gone is no reason to end.
    signal(SIGPIPE, SIG_IGN);
    SParentWhileTheChildLives parent;
    parent.devices[0] = MakeDevice(0, nullptr);
    parent.devices[1] = MakeDevice(1, nullptr);
    g_called = OpenSound(parent.devices[0]);
    pthread_t caller, watcher;
    if (!g_api.Play(g_called, kLoop) || pthread_create(&caller, nullptr, CallOnTheSound, nullptr) != 0)
        Fail("no sound playing and called");
    if (pipe(parent.ready) != 0 || pipe(parent.go) != 0 ||
        pthread_create(&watcher, nullptr, WhileTheChildLives, &parent) != 0)
        Fail("no pipes or thread for the parent's side");
    while (g_calls < 200)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const riff::Bytes shot = riff::ToneImage(440, 22050, 1, 16, 0.1, 0.3);
    const std::string child = run_in_forked_child([&] {
        CHILD_CHECK(g_api.IsPlaying(g_called) == 0);
        CHILD_CHECK(g_api.Play(g_called, kLoop) == 0);
        // The idle device's mixer thread was waiting for a sound when the
        // parent forked: its end must not wait for it.
        for (LPVOID device : parent.devices)
            g_api.Terminate(device);
        LPVOID own = g_api.Initialize(g_windows[2], Output());
        CHILD_CHECK(own != nullptr);
        LPVOID sound = g_api.OpenMem(own, const_cast<uint8_t *>(shot.data()), static_cast<DWORD>(shot.size()));
        CHILD_CHECK(sound != nullptr && g_api.Play(sound, kOnce));
        WaitForTheEnd(sound);
        char byte = 0;
        CHILD_CHECK(write(parent.ready[1], &byte, 1) == 1 && read(parent.go[0], &byte, 1) == 1);
        return kChildStatus;
    });
    // A child that never told the parent ends the wait for it.
    close(parent.ready[1]);
    pthread_join(watcher, nullptr);
    std::fprintf(stderr, "the child: %s\n", child.c_str());
    if (child != "exit " + std::to_string(kChildStatus))
        Fail("the forked child failed");
    if (parent.failure)
        Fail(parent.failure);
}
#endif

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: dudidadu-unload SCENARIO CODE (see the source)\n");
        return 2;
    }
    const std::string scenario = argv[1];
    for (int i = 0; i < 3; ++i) {
        if (!(g_windows[i] = MakeWindow(i)))
            Fail("cannot create a window");
    }
    Load();
    if (scenario == "unload-main") {
        UseDevice(0);
        UseDevice(1);
        Unload();
    } else if (scenario == "unload-after-threads") {
        std::thread first(UseDevice, 0), second(UseDevice, 1);
        first.join();
        second.join();
        Unload();
    } else if (scenario == "reload") {
        UseDevice(0);
        Unload();
        Load();
        UseDevice(2);
    } else if (scenario == "exit-in-exports") {
        CallersInExports();
#if !defined(_WIN32)
    } else if (scenario == "fork") {
        ForkWhilePlaying();
#endif
    } else {
        std::fprintf(stderr, "dudidadu-unload: no scenario %s\n", scenario.c_str());
        return 2;
    }
    return std::atoi(argv[2]);
}
