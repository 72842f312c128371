// bench_latency: how long the exports hold up the thread that calls them, on
// the real library through the public header only. For each measure it prints
// the number of samples and the median, 99th percentile and maximum in
// milliseconds, and whether the target is met:
//
//   measure                                          target
//   DSoundPlay on a playing sound (looping, one-shot) median <= 1 ms, p99 <= 5 ms
//   DSoundPlay of an idle 1 s sound (32 in turn)      median <= 3 us, p99 <= 20 us
//   one-shot end: DSoundIsPlaying reads 0 after the
//     play call plus the sound's length (100-142 ms)  max <= 10 ms
//   DSoundClose of a playing sound                    median <= 1 ms, p99 <= 5 ms
//   DSoundTerminate of a device with 32 playing sounds   max <= 20 ms
//   stop to silence: DSoundStop(s, 0) until
//     DSoundIsPlaying(s) reads 0                         max <= 10 ms
//   calls on a sound of one device (volume, pan,
//     frequency, IsPlaying, Stop) while another thread
//     loads 60 MiB images on a second device, and
//     while a third also initializes and terminates
//     devices of other windows                           max <= 2 ms
//
// Targets are printed, never enforced: the exit status is 1 only when a
// device or sound could not be set up or a measured call failed. The machine
// is shared and noisy: repeat a run whose maximum stands out.
//
// Run natively (default output: PulseAudio when a server answers, else the
// null output; --null forces the null output; --quick is a short smoke run):
//   ninja -C build/native bench_latency && build/native/bin/bench_latency [--null]
// Under Wine, over Wine's DirectSound (needs a PulseAudio server), with a
// private server and prefix started and stopped for the run:
//   scripts/bench-latency mingw64
// The program only uses the fourteen exports, so one built binary runs
// against the library of any other commit, and prints the file it loaded.
// Another commit's library, then both in one go:
//   mkdir -p build/other/src && git archive COMMIT | tar -x -C build/other/src
//   cmake -S build/other/src -B build/other/build -G Ninja -DDUDIDADU_TESTS=OFF
//   ninja -C build/other/build dudidadu
//   scripts/bench-latency native --lib build/other/build/lib --lib build/native/lib
// For Windows, build it with the mingw64 toolchain file and pass its bin
// folder to scripts/bench-latency mingw64 --lib; --bench FILE runs a binary
// kept from another commit instead of this tree's.
#include "dudidadu.h"

#include "support/RiffWriter.h"
#include "support/SoundWindow.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <link.h>
#endif

namespace {

typedef std::chrono::steady_clock Clock;

// DSoundPlay's second argument (the header leaves TRUE and FALSE to Windows).
const BOOL kLoop = 1;
const BOOL kOnce = 0;

double MsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ------------------------------------------------------------ platform

#if defined(_WIN32)
std::string LibraryFile()
{
    char path[MAX_PATH] = "";
    HMODULE module = GetModuleHandleA("dudidadu.dll");
    if (!module || !GetModuleFileNameA(module, path, sizeof(path)))
        return "(not found)";
    return path;
}
#else
int FindLibrary(struct dl_phdr_info *info, size_t, void *out)
{
    if (info->dlpi_name && std::strstr(info->dlpi_name, "libdudidadu")) {
        *static_cast<std::string *>(out) = info->dlpi_name;
        return 1;
    }
    return 0;
}

std::string LibraryFile()
{
    std::string name = "(not found)";
    dl_iterate_phdr(FindLibrary, &name);
    return name;
}
#endif

// ------------------------------------------------------------ figures

struct Target {
    double median;  // negative: no target for this figure
    double p99;
    double max;
};

const Target kQuickCall = {1.0, 5.0, -1.0};
const Target kPlayCall = {0.003, 0.020, -1.0};
const Target kOneShotEnd = {-1.0, -1.0, 10.0};
const Target kTerminate = {-1.0, -1.0, 20.0};
const Target kSilence = {-1.0, -1.0, 10.0};
const Target kUnheld = {-1.0, -1.0, 2.0};
const Target kNone = {-1.0, -1.0, -1.0};

// The sample at rank ceil(q * n), the nearest-rank percentile.
double Percentile(const std::vector<double> &sorted, double q)
{
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    rank = std::max<size_t>(rank, 1);
    return sorted[std::min(rank, sorted.size()) - 1];
}

void PrintHeading()
{
    std::printf("%-52s %7s %10s %10s %10s  %s\n", "measure", "samples", "median ms", "p99 ms", "max ms",
                "target");
}

void Report(const char *name, std::vector<double> ms, const Target &target, const std::string &note = "")
{
    if (ms.empty()) {
        std::printf("%-52s %7d  (no samples)%s%s\n", name, 0, note.empty() ? "" : "  ", note.c_str());
        return;
    }
    std::sort(ms.begin(), ms.end());
    const double median = Percentile(ms, 0.5);
    const double p99 = Percentile(ms, 0.99);
    const double max = ms.back();
    std::string goal;
    bool met = true;
    char part[48];
    if (target.median >= 0) {
        std::snprintf(part, sizeof(part), "median<=%g ", target.median);
        goal += part;
        met = met && median <= target.median;
    }
    if (target.p99 >= 0) {
        std::snprintf(part, sizeof(part), "p99<=%g ", target.p99);
        goal += part;
        met = met && p99 <= target.p99;
    }
    if (target.max >= 0) {
        std::snprintf(part, sizeof(part), "max<=%g ", target.max);
        goal += part;
        met = met && max <= target.max;
    }
    if (!goal.empty())
        goal += met ? "met" : "MISSED";
    std::printf("%-52s %7zu %10.4f %10.4f %10.4f  %s%s%s\n", name, ms.size(), median, p99, max, goal.c_str(),
                note.empty() ? "" : "  ", note.c_str());
    std::fflush(stdout);
}

// ------------------------------------------------------------ the run

struct Settings {
    bool nullOutput = false;
    size_t samples = 200;          // per measure, unless its time runs out first
    double seconds = 5.0;          // time of one measure, pauses included
    int terminateRuns = 5;         // devices terminated with 32 playing sounds
    double loadSeconds = 4.0;      // each window of calls beside the loading thread
    size_t bigBytes = 60u << 20;   // the images that thread loads
};

// A small deterministic spread of pauses, so that the samples do not all
// fall at the same phase of whatever periodic work the library does.
class Pauses {
public:
    int Next(int maxMs)
    {
        m_state = m_state * 1103515245u + 12345u;
        return static_cast<int>((m_state >> 16) % static_cast<uint32_t>(maxMs + 1));
    }

private:
    uint32_t m_state = 12345u;
};

class LatencyRun {
public:
    explicit LatencyRun(const Settings &settings)
        : m_settings(settings),
          m_nullGuid(DUDIDADU_NULL_OUTPUT),
          m_image(riff::ToneImage(440, 22050, 1, 16, 1.0, 0.3))
    {
        for (int i = 0; i < kWindows; ++i)
            m_windows[i] = MakeWindow(i);
    }

    ~LatencyRun()
    {
        for (int i = 0; i < kWindows; ++i)
            DropWindow(m_windows[i]);
    }

    // Every measure in turn; false when something could not be set up.
    bool Run()
    {
        for (int i = 0; i < kWindows; ++i) {
            if (!m_windows[i]) {
                std::printf("cannot create window %d\n", i);
                return false;
            }
        }
        m_device = Device(m_windows[kMainWindow]);
        if (!m_device)
            return false;
        PrintHeading();
        // Each measure runs before its failures are collected for its line.
        std::vector<double> ms = PlayOnPlaying(kLoop);
        Report("DSoundPlay on a playing sound, looping", ms, kQuickCall, Failures());
        ms = PlayOnPlaying(kOnce);
        Report("DSoundPlay on a playing sound, one-shot", ms, kQuickCall, Failures());
        ms = PlayOfIdle();
        Report("DSoundPlay of an idle 1 s sound", ms, kPlayCall, Failures());
        ms = OneShotEnd();
        Report("one-shot end: IsPlaying 0 after its length", ms, kOneShotEnd, Failures());
        ms = CloseOfPlaying();
        Report("DSoundClose of a playing sound", ms, kQuickCall, Failures());
        ms = TerminateWithPlaying();
        Report("DSoundTerminate, 32 sounds playing", ms, kTerminate, Failures());
        std::vector<double> stopCalls;
        ms = StopToSilence(stopCalls);
        Report("stop to silence (Stop(s, 0) until IsPlaying 0)", ms, kSilence, Failures());
        Report("  of which the DSoundStop(s, 0) call", stopCalls, kNone);
        CallsBesideOthers(false);
        CallsBesideOthers(true);
        DSoundTerminate(m_device);
        return m_failures == 0;
    }

private:
    enum {
        kMainWindow = 0,  // device 1: the sounds measured
        kLoadWindow = 1,  // device 2: the big loads
        kTerminateWindow = 2,
        kCycleWindow = 3,  // and the next ones: devices initialized and terminated
        kCycleWindows = 4,
        kWindows = kCycleWindow + kCycleWindows
    };

    LPVOID Device(HWND window)
    {
        LPVOID device = DSoundInitialize(window, m_settings.nullOutput ? &m_nullGuid : nullptr);
        if (!device) {
            std::printf("DSoundInitialize failed\n");
            ++m_failures;
        }
        return device;
    }

    LPVOID Sound(LPVOID device)
    {
        LPVOID sound = DSoundOpenMem(device, m_image.data(), static_cast<DWORD>(m_image.size()));
        if (!sound) {
            std::printf("DSoundOpenMem failed\n");
            ++m_failures;
        }
        return sound;
    }

    void Check(BOOL ok, const char *what)
    {
        if (!ok)
            Fail(what);
    }

    // A failed call or expectation; the first few are shown.
    void Fail(const char *what)
    {
        ++m_callFailures;
        ++m_failures;
        if (m_callFailures <= 3)
            std::printf("%s failed\n", what);
    }

    // The calls that failed during the last measure, as a note.
    std::string Failures()
    {
        std::string note;
        if (m_callFailures)
            note = std::to_string(m_callFailures) + " calls failed";
        m_callFailures = 0;
        return note;
    }

    bool MoreSamples(const std::vector<double> &ms, Clock::time_point end) const
    {
        return ms.size() < m_settings.samples && Clock::now() < end;
    }

    Clock::time_point EndOfMeasure() const
    {
        return Clock::now() + std::chrono::milliseconds(static_cast<int>(m_settings.seconds * 1000));
    }

    // The sound plays already: a game re-triggering an effect.
    std::vector<double> PlayOnPlaying(BOOL loop)
    {
        std::vector<double> ms;
        LPVOID sound = Sound(m_device);
        if (!sound)
            return ms;
        Check(DSoundPlay(sound, loop), "DSoundPlay");
        const Clock::time_point end = EndOfMeasure();
        while (MoreSamples(ms, end)) {
            SleepMs(m_pauses.Next(50));
            if (!DSoundIsPlaying(sound)) {
                Check(DSoundPlay(sound, loop), "DSoundPlay");
                continue;
            }
            const Clock::time_point t0 = Clock::now();
            const BOOL ok = DSoundPlay(sound, loop);
            ms.push_back(MsBetween(t0, Clock::now()));
            Check(ok, "DSoundPlay");
        }
        DSoundClose(sound);
        return ms;
    }

    // A game firing effects: 32 sounds of a second in turn, each idle
    // (its last play ended) when it is played again.
    std::vector<double> PlayOfIdle()
    {
        std::vector<double> ms;
        std::vector<LPVOID> sounds;
        for (int i = 0; i < 32; ++i) {
            LPVOID sound = Sound(m_device);
            if (!sound)
                break;
            sounds.push_back(sound);
        }
        const Clock::time_point end = EndOfMeasure();
        for (size_t i = 0; sounds.size() == 32 && MoreSamples(ms, end); ++i) {
            LPVOID sound = sounds[i % sounds.size()];
            do
                SleepMs(1);
            while (DSoundIsPlaying(sound));
            const Clock::time_point t0 = Clock::now();
            const BOOL ok = DSoundPlay(sound, kOnce);
            ms.push_back(MsBetween(t0, Clock::now()));
            Check(ok, "DSoundPlay");
            DSoundStop(sound, 0);
        }
        for (LPVOID sound : sounds)
            DSoundClose(sound);
        return ms;
    }

    // How long after its last sample a one-shot stops counting as playing.
    // The last sample is taken to sound at the play call plus the sound's
    // length, so that the output's start (up to one period of the mixer, or
    // of the platform's DirectSound) counts in. Lengths of 100 to 142 ms,
    // so that the ends fall at every phase of a periodic check.
    std::vector<double> OneShotEnd()
    {
        std::vector<double> ms;
        LPVOID sounds[7];
        for (int i = 0; i < 7; ++i) {
            const riff::Bytes image = riff::ToneImage(440, 22050, 1, 16, ShortSeconds(i), 0.3);
            sounds[i] = DSoundOpenMem(m_device, const_cast<unsigned char *>(image.data()), static_cast<DWORD>(image.size()));
            Check(sounds[i] != nullptr, "DSoundOpenMem");
        }
        const Clock::time_point end = EndOfMeasure() + std::chrono::seconds(5);
        for (int i = 0; sounds[i % 7] && MoreSamples(ms, end); ++i) {
            LPVOID sound = sounds[i % 7];
            SleepMs(m_pauses.Next(20));
            const Clock::time_point t0 = Clock::now();
            if (!DSoundPlay(sound, kOnce)) {
                Fail("DSoundPlay");
                continue;
            }
            const Clock::time_point giveUp = t0 + std::chrono::seconds(2);
            while (DSoundIsPlaying(sound) && Clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            const double played = MsBetween(t0, Clock::now());
            if (played < 2000)
                ms.push_back(played - ShortSeconds(i % 7) * 1000);
            else
                Fail("DSoundIsPlaying reading 0 within 2 s of a one-shot's end");
        }
        for (LPVOID sound : sounds)
            DSoundClose(sound);
        return ms;
    }

    static double ShortSeconds(int i) { return 0.1 + 0.007 * i; }

    std::vector<double> CloseOfPlaying()
    {
        std::vector<double> ms;
        const Clock::time_point end = EndOfMeasure();
        while (MoreSamples(ms, end)) {
            LPVOID sound = Sound(m_device);
            if (!sound)
                break;
            Check(DSoundPlay(sound, kLoop), "DSoundPlay");
            SleepMs(m_pauses.Next(50));
            const bool playing = DSoundIsPlaying(sound) != 0;
            const Clock::time_point t0 = Clock::now();
            DSoundClose(sound);
            if (playing)
                ms.push_back(MsBetween(t0, Clock::now()));
            else
                Fail("DSoundIsPlaying after DSoundPlay");
        }
        return ms;
    }

    std::vector<double> TerminateWithPlaying()
    {
        std::vector<double> ms;
        HWND window = m_windows[kTerminateWindow];
        for (int run = 0; run < m_settings.terminateRuns; ++run) {
            LPVOID device = Device(window);
            if (!device)
                break;
            int playing = 0;
            for (int i = 0; i < 32; ++i) {
                LPVOID sound = Sound(device);
                if (!sound)
                    break;
                // Half of them one-shot: a second of sound outlasts the set-up.
                Check(DSoundPlay(sound, i % 2 ? kOnce : kLoop), "DSoundPlay");
                playing += DSoundIsPlaying(sound) ? 1 : 0;
            }
            SleepMs(m_pauses.Next(50));
            const Clock::time_point t0 = Clock::now();
            DSoundTerminate(device);
            if (playing == 32)
                ms.push_back(MsBetween(t0, Clock::now()));
            else
                Fail("32 sounds playing");
        }
        return ms;
    }

    std::vector<double> StopToSilence(std::vector<double> &stopCalls)
    {
        std::vector<double> ms;
        LPVOID sound = Sound(m_device);
        if (!sound)
            return ms;
        const Clock::time_point end = EndOfMeasure();
        while (MoreSamples(ms, end)) {
            Check(DSoundPlay(sound, kLoop), "DSoundPlay");
            SleepMs(m_pauses.Next(50));
            if (!DSoundIsPlaying(sound)) {
                Fail("DSoundIsPlaying after DSoundPlay");
                continue;
            }
            const Clock::time_point t0 = Clock::now();
            DSoundStop(sound, 0);
            const Clock::time_point stopped = Clock::now();
            const Clock::time_point giveUp = stopped + std::chrono::seconds(2);
            bool silent = false;
            while (!silent && Clock::now() < giveUp)
                silent = !DSoundIsPlaying(sound);
            const Clock::time_point t1 = Clock::now();
            stopCalls.push_back(MsBetween(t0, stopped));
            if (silent)
                ms.push_back(MsBetween(t0, t1));
            else
                Fail("DSoundIsPlaying reading 0 within 2 s of DSoundStop");
        }
        DSoundClose(sound);
        return ms;
    }

    // The application's thread works on its own sound while other threads
    // load big images on another device and, with `cycling`, initialize and
    // terminate devices for other windows.
    void CallsBesideOthers(bool cycling)
    {
        if (m_bigImage.empty())
            m_bigImage = BigImage(m_settings.bigBytes);
        LPVOID loadDevice = Device(m_windows[kLoadWindow]);
        LPVOID sound = Sound(m_device);
        LPVOID other = Sound(m_device);
        if (!loadDevice || !sound || !other)
            return;
        Check(DSoundPlay(sound, kLoop), "DSoundPlay");
        Check(DSoundPlay(other, kLoop), "DSoundPlay");

        std::atomic<bool> stop(false);
        std::atomic<int> loads(0), loadFailures(0), cycles(0), cycleFailures(0);
        std::atomic<bool> loading(false), initializing(!cycling);
        std::vector<double> loadMs;
        std::thread loader([&]() {
            while (!stop) {
                loading = true;
                const Clock::time_point t0 = Clock::now();
                LPVOID big = DSoundOpenMem(loadDevice, m_bigImage.data(), static_cast<DWORD>(m_bigImage.size()));
                DSoundClose(big);
                loadMs.push_back(MsBetween(t0, Clock::now()));
                ++(big ? loads : loadFailures);
            }
        });
        std::thread cycler;
        if (cycling) {
            cycler = std::thread([&]() {
                for (int i = 0; !stop; i = (i + 1) % kCycleWindows) {
                    initializing = true;
                    LPVOID device = DSoundInitialize(m_windows[kCycleWindow + i],
                                                     m_settings.nullOutput ? &m_nullGuid : nullptr);
                    DSoundTerminate(device);
                    ++(device ? cycles : cycleFailures);
                }
            });
        }
        while (!loading || !initializing)
            std::this_thread::yield();

        // The window is ended from outside: a call of ours that the other
        // threads hold up for longer still returns once they stop.
        std::thread timekeeper([&]() {
            SleepMs(static_cast<int>(m_settings.loadSeconds * 1000));
            stop = true;
        });
        std::vector<double> ms;
        int step = 0;
        LONG volume = -100;
        while (!stop) {
            const Clock::time_point t0 = Clock::now();
            BOOL ok = 1;
            switch (step) {
            case 0: ok = DSoundSetVolume(sound, volume = volume == -100 ? -200 : -100); break;
            case 1: ok = DSoundGetVolume(sound) == volume; break;
            case 2: ok = DSoundSetPan(sound, 1000); break;
            case 3: DSoundGetPan(sound); break;
            case 4: ok = DSoundSetFrequency(sound, 0); break;
            case 5: ok = DSoundGetFrequency(sound) == 22050; break;
            case 6: ok = DSoundIsPlaying(sound); break;
            default: DSoundStop(other, 0); break;
            }
            ms.push_back(MsBetween(t0, Clock::now()));
            Check(ok, "a call on the sound");
            step = (step + 1) % 8;
            // A pause now and then: a tight loop of shared holders could keep
            // the loading thread from ever taking the lock exclusively.
            if (step == 0)
                SleepMs(1);
        }
        timekeeper.join();
        loader.join();
        if (cycler.joinable())
            cycler.join();
        DSoundClose(sound);
        DSoundClose(other);
        DSoundTerminate(loadDevice);

        std::sort(loadMs.begin(), loadMs.end());
        char note[160];
        std::snprintf(note, sizeof(note), "%d loads of %zu MiB (median %.0f ms)", loads.load(),
                      m_bigImage.size() >> 20, loadMs.empty() ? 0.0 : Percentile(loadMs, 0.5));
        std::string text = note;
        if (cycling)
            text += ", " + std::to_string(cycles.load()) + " init/terminate cycles";
        if (loadFailures || cycleFailures) {
            text += ", " + std::to_string(loadFailures + cycleFailures) + " of them failed";
            m_failures += loadFailures + cycleFailures;
        }
        const std::string failures = Failures();
        if (!failures.empty())
            text += ", " + failures;
        Report(cycling ? "calls on a sound, loads and init/terminate elsewhere" : "calls on a sound, loads on another device", ms,
               kUnheld, text);
    }

    // A WAVE image of about `bytes` bytes: one second of stereo tone, repeated.
    static riff::Bytes BigImage(size_t bytes)
    {
        const riff::Bytes second = riff::PcmTone(440, 44100, 2, 16, 1.0, 0.3);
        riff::Bytes samples;
        samples.reserve(bytes);
        while (samples.size() + second.size() <= bytes)
            samples.insert(samples.end(), second.begin(), second.end());
        samples.insert(samples.end(), second.begin(), second.begin() + (bytes - samples.size()) / 4 * 4);
        return riff::RiffWriter().Fmt(riff::PcmFormat(44100, 2, 16)).Data(samples).Build();
    }

    const Settings m_settings;
    GUID m_nullGuid;
    riff::Bytes m_image;     // one second of mono tone, 22050 Hz
    riff::Bytes m_bigImage;  // made on first use
    HWND m_windows[kWindows];
    LPVOID m_device = nullptr;
    Pauses m_pauses;
    int m_failures = 0;
    int m_callFailures = 0;
};

int Usage()
{
    std::fprintf(stderr,
                 "usage: bench_latency [--null] [--quick]\n"
                 "  --null   the null output for every device (Linux; Windows has none)\n"
                 "  --quick  a short run with few samples and 8 MiB images\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--null") == 0) {
            settings.nullOutput = true;
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            settings.samples = 20;
            settings.seconds = 1.0;
            settings.terminateRuns = 2;
            settings.loadSeconds = 0.5;
            settings.bigBytes = 8u << 20;
        } else {
            return Usage();
        }
    }
#if defined(_WIN32)
    if (settings.nullOutput) {
        std::printf("--null: Windows has no null output; the default device is used\n");
        settings.nullOutput = false;
    }
#endif
    std::printf("bench_latency: library %s, output %s\n", LibraryFile().c_str(),
                settings.nullOutput ? "null" : "default");
    std::fflush(stdout);
    LatencyRun run(settings);
    const bool ok = run.Run();
    std::printf("bench_latency: %s\n", ok ? "done" : "FAILED (see above)");
    return ok ? 0 : 1;
}
