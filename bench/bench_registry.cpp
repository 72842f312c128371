// bench_registry: the registry of devices and sounds under load, on the real
// library through the public header only. Three measures, each printing its
// figures (never enforced: the exit status is 1 only when a device or sound
// could not be set up, or the process did not survive):
//
//   devices [SECONDS] [THREADS]  THREADS threads (2) each make and end a
//       device for a window of its own, for SECONDS (60): cycles made, and
//       whether the process lived to the end. Progress goes out every 50 ms
//       for the first second, then every second, so that a crash still
//       shows how far it got.
//   stale [CYCLES] [DEVICE-CYCLES]  CYCLES close/open cycles of a sound
//       (1000000) and DEVICE-CYCLES terminate/initialize cycles of a device
//       (10000): how often the handles that were closed or terminated (the
//       first one of the run and the previous cycle's) were refused with the
//       reason of a bad handle, and how often one of them reached the new
//       object instead (target: refused every time, reaching nothing).
//   lookup [SECONDS]  in a full registry (32 devices with 32 sounds each),
//       DSoundGetVolume calls a second by one thread on its sound, then by
//       two threads each on its own sound (of one device, and of two
//       devices), in alternating runs of SECONDS (0.5), five each: the cost of
//       a call and the ratio of two threads to one (target: at least 1.6 on
//       two free cores; the machine's load lowers it).
//
// No argument runs all three with short settings (--quick: shorter still, a
// smoke run for the test command). Natively the devices use the null output
// (--default: the default output). Under Wine, with a PulseAudio server:
//   wine build/mingw64/bin/bench_registry.exe devices 60
// Only the fourteen exports are used, so one binary runs against the library
// of any commit (see scripts/bench-latency for how to point it at one).
#include "dudidadu.h"

#include "support/RiffWriter.h"
#include "support/SoundWindow.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// ------------------------------------------------------------ platform

#if defined(_WIN32)
void ClearError()
{
    SetLastError(0);
}

bool RefusedAsBadHandle()
{
    return GetLastError() == ERROR_INVALID_HANDLE;
}
#else
void ClearError()
{
    errno = 0;
}

bool RefusedAsBadHandle()
{
    return errno == EBADF;
}
#endif

struct Settings {
    bool nullOutput = true;  // natively; Windows has only the default output
    double deviceSeconds = 60;
    int deviceThreads = 2;
    long soundCycles = 1000000;
    long deviceCycles = 10000;
    double lookupSeconds = 0.5;
    int lookupRuns = 5;
};

class Bench {
public:
    explicit Bench(const Settings &settings)
        : m_settings(settings), m_nullGuid(DUDIDADU_NULL_OUTPUT),
          m_image(riff::ToneImage(440, 22050, 1, 16, 0.01, 0.5))
    {
    }

    LPVOID Initialize(HWND window)
    {
        return DSoundInitialize(window, m_settings.nullOutput ? &m_nullGuid : nullptr);
    }
    LPVOID Open(LPVOID device)
    {
        return DSoundOpenMem(device, m_image.data(), static_cast<DWORD>(m_image.size()));
    }

    bool Devices();
    bool Stale();
    bool Lookup();

private:
    long StaleSounds(LPVOID device, long cycles, long *aliased);
    long StaleDevices(long cycles, long *aliased);
    double CallsPerSecond(const std::vector<LPVOID> &sounds);

    Settings m_settings;
    GUID m_nullGuid;
    riff::Bytes m_image;
};

// ------------------------------------------------------------ devices

bool Bench::Devices()
{
    const int threads = m_settings.deviceThreads;
    std::printf("devices: %d threads make and end a device each for %.0f s\n", threads,
                m_settings.deviceSeconds);
    std::fflush(stdout);
    std::atomic<bool> stop{false};
    std::vector<std::atomic<long>> cycles(threads);
    std::vector<std::atomic<long>> failed(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            HWND window = MakeWindow(t);
            while (!stop.load()) {
                LPVOID device = Initialize(window);
                if (!device)
                    ++failed[t];
                DSoundTerminate(device);
                ++cycles[t];
            }
            DropWindow(window);
        });
    }
    const Clock::time_point start = Clock::now();
    long total = 0;
    // Often at first, where a crash comes early, then once a second.
    for (int tick = 1; SecondsSince(start) < m_settings.deviceSeconds; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(tick <= 20 ? 50 : 1000));
        total = 0;
        for (auto &c : cycles)
            total += c.load();
        std::printf("  %6.2f s: %ld cycles\n", SecondsSince(start), total);
        std::fflush(stdout);
    }
    stop = true;
    for (auto &worker : workers)
        worker.join();
    long failures = 0;
    std::printf("devices: alive after %.1f s;", SecondsSince(start));
    for (int t = 0; t < threads; ++t) {
        std::printf(" thread %d: %ld cycles (%ld failed)", t, cycles[t].load(), failed[t].load());
        failures += failed[t].load();
    }
    std::printf("\n");
    std::fflush(stdout);
    return failures == 0;
}

// ------------------------------------------------------------ stale

// One sound closed and opened again `cycles` times on `device`: how often
// the first and the previous handle were refused as bad handles; *aliased
// counts the calls on them that reached a live sound.
long Bench::StaleSounds(LPVOID device, long cycles, long *aliased)
{
    LPVOID first = Open(device);
    if (!first)
        return -1;
    DSoundClose(first);
    LPVOID previous = first;
    long refused = 0;
    *aliased = 0;
    for (long i = 0; i < cycles; ++i) {
        LPVOID sound = Open(device);
        if (!sound)
            return -1;
        bool both = true;
        for (LPVOID stale : {first, previous}) {
            ClearError();
            if (DSoundSetVolume(stale, -5000) != 0)
                ++*aliased;
            both = both && RefusedAsBadHandle();
        }
        refused += both;
        if (DSoundGetVolume(sound) != 0)
            ++*aliased;  // the new sound's volume was set through an old handle
        DSoundClose(sound);
        previous = sound;
    }
    return refused;
}

long Bench::StaleDevices(long cycles, long *aliased)
{
    HWND window = MakeWindow(40);
    LPVOID first = Initialize(window);
    LPVOID firstSound = first ? Open(first) : nullptr;
    if (!firstSound)
        return -1;
    DSoundTerminate(first);
    LPVOID previous = first;
    long refused = 0;
    *aliased = 0;
    for (long i = 0; i < cycles; ++i) {
        LPVOID device = Initialize(window);
        if (!device)
            return -1;
        bool all = true;
        for (LPVOID stale : {first, previous}) {
            ClearError();
            LPVOID sound = Open(stale);
            if (sound) {
                ++*aliased;
                DSoundClose(sound);
            }
            all = all && RefusedAsBadHandle();
        }
        ClearError();
        if (DSoundPlay(firstSound, 0) != 0)
            ++*aliased;
        all = all && RefusedAsBadHandle();
        refused += all;
        DSoundTerminate(device);
        previous = device;
    }
    DropWindow(window);
    return refused;
}

bool Bench::Stale()
{
    HWND window = MakeWindow(41);
    LPVOID device = Initialize(window);
    if (!device) {
        std::printf("stale: no device\n");
        return false;
    }
    const Clock::time_point start = Clock::now();
    long aliased = 0;
    const long sounds = StaleSounds(device, m_settings.soundCycles, &aliased);
    DSoundTerminate(device);
    DropWindow(window);
    if (sounds < 0) {
        std::printf("stale: a sound could not be opened\n");
        return false;
    }
    std::printf("stale sounds: refused in %ld of %ld close/open cycles, reached a live sound %ld times "
                "(%.1f s)\n",
                sounds, m_settings.soundCycles, aliased, SecondsSince(start));
    std::fflush(stdout);
    const Clock::time_point deviceStart = Clock::now();
    const long devices = StaleDevices(m_settings.deviceCycles, &aliased);
    if (devices < 0) {
        std::printf("stale: a device could not be made\n");
        return false;
    }
    std::printf("stale devices: refused in %ld of %ld terminate/initialize cycles, reached a live "
                "object %ld times (%.1f s)\n",
                devices, m_settings.deviceCycles, aliased, SecondsSince(deviceStart));
    std::fflush(stdout);
    return true;
}

// ------------------------------------------------------------ lookup

// Calls a second, all threads together: one thread per sound.
double Bench::CallsPerSecond(const std::vector<LPVOID> &sounds)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<long> calls(sounds.size() * 16);  // spread over cache lines
    std::vector<std::thread> workers;
    for (size_t t = 0; t < sounds.size(); ++t) {
        workers.emplace_back([&, t] {
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            long n = 0;
            LONG sum = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 64; ++i)
                    sum += DSoundGetVolume(sounds[t]);
                n += 64;
            }
            calls[t * 16] = n + (sum != 0);
        });
    }
    while (ready.load() < static_cast<int>(sounds.size()))
        std::this_thread::yield();
    const Clock::time_point start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(m_settings.lookupSeconds));
    stop = true;
    const double seconds = SecondsSince(start);
    for (auto &worker : workers)
        worker.join();
    long total = 0;
    for (size_t t = 0; t < sounds.size(); ++t)
        total += calls[t * 16];
    return total / seconds;
}

bool Bench::Lookup()
{
    std::vector<HWND> windows;
    std::vector<LPVOID> devices;
    std::vector<std::vector<LPVOID>> sounds;
    for (int d = 0; d < 32; ++d) {
        windows.push_back(MakeWindow(100 + d));
        devices.push_back(Initialize(windows.back()));
        if (!devices.back()) {
            std::printf("lookup: device %d could not be made\n", d);
            return false;
        }
        sounds.emplace_back();
        for (int s = 0; s < 32; ++s) {
            sounds.back().push_back(Open(devices.back()));
            if (!sounds.back().back()) {
                std::printf("lookup: sound %d of device %d could not be opened\n", s, d);
                return false;
            }
            DSoundSetVolume(sounds.back().back(), -100 - s);
        }
    }
    const std::vector<LPVOID> one = {sounds[31][31]};
    const std::vector<LPVOID> sameDevice = {sounds[31][30], sounds[31][31]};
    const std::vector<LPVOID> twoDevices = {sounds[30][31], sounds[31][31]};
    std::vector<double> single, same, apart;
    for (int run = 0; run < m_settings.lookupRuns; ++run) {
        single.push_back(CallsPerSecond(one));
        same.push_back(CallsPerSecond(sameDevice));
        apart.push_back(CallsPerSecond(twoDevices));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double base = median(single);
    std::printf("lookup, DSoundGetVolume in a full registry (%d runs of %.2f s each, medians):\n",
                m_settings.lookupRuns, m_settings.lookupSeconds);
    std::printf("  one thread:                     %12.0f calls/s, %7.1f ns a call\n", base, 1e9 / base);
    std::printf("  two threads, sounds of a device: %11.0f calls/s, ratio %.2f (target >= 1.6)\n",
                median(same), median(same) / base);
    std::printf("  two threads, sounds of two:      %11.0f calls/s, ratio %.2f (target >= 1.6)\n",
                median(apart), median(apart) / base);
    std::fflush(stdout);
    for (size_t d = 0; d < devices.size(); ++d) {
        DSoundTerminate(devices[d]);
        DropWindow(windows[d]);
    }
    return true;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: bench_registry [--quick] [--default]\n"
                 "       bench_registry [--default] devices [SECONDS] [THREADS]\n"
                 "       bench_registry [--default] stale [CYCLES] [DEVICE-CYCLES]\n"
                 "       bench_registry [--default] lookup [SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings;
    const char *mode = nullptr;
    std::vector<double> numbers;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--default") == 0)
            settings.nullOutput = false;
        else if (!mode && (std::strcmp(argv[i], "devices") == 0 || std::strcmp(argv[i], "stale") == 0 ||
                           std::strcmp(argv[i], "lookup") == 0))
            mode = argv[i];
        else if (mode && std::atof(argv[i]) > 0)
            numbers.push_back(std::atof(argv[i]));
        else
            return Usage();
    }
#if defined(_WIN32)
    settings.nullOutput = false;
#endif
    if (!mode) {
        settings.deviceSeconds = quick ? 1 : 5;
        settings.soundCycles = quick ? 1000 : 100000;
        settings.deviceCycles = quick ? 20 : 1000;
        settings.lookupSeconds = quick ? 0.05 : 0.3;
        settings.lookupRuns = quick ? 1 : 3;
    } else if (std::strcmp(mode, "devices") == 0) {
        if (numbers.size() > 0)
            settings.deviceSeconds = numbers[0];
        if (numbers.size() > 1)
            settings.deviceThreads = static_cast<int>(numbers[1]);
    } else if (std::strcmp(mode, "stale") == 0) {
        if (numbers.size() > 0)
            settings.soundCycles = static_cast<long>(numbers[0]);
        if (numbers.size() > 1)
            settings.deviceCycles = static_cast<long>(numbers[1]);
    } else {
        if (numbers.size() > 0)
            settings.lookupSeconds = numbers[0];
    }
    std::printf("bench_registry: output %s\n", settings.nullOutput ? "null" : "default");
    std::fflush(stdout);
    Bench bench(settings);
    bool ok = true;
    if (!mode || std::strcmp(mode, "devices") == 0)
        ok = bench.Devices() && ok;
    if (!mode || std::strcmp(mode, "stale") == 0)
        ok = bench.Stale() && ok;
    if (!mode || std::strcmp(mode, "lookup") == 0)
        ok = bench.Lookup() && ok;
    std::printf("bench_registry: %s\n", ok ? "done" : "FAILED (see above)");
    return ok ? 0 : 1;
}
