// dudidadu-e2e: the end-to-end program. It plays scenarios through the public
// header while another process records the sink's monitor (run-e2e.sh), and
// checks that recording afterwards; it also holds the checks of the null
// output, which need no server.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "E2eChecker.h"
#include "E2ePlayer.h"
#include "EventLog.h"
#if !defined(_WIN32)
#include "ServerChecks.h"
#endif
#include "analysis/Recording.h"
#include "dudidadu.h"
#include "support/RiffWriter.h"

#if defined(_WIN32)
// A real window: DirectSound's cooperative level needs one.
static HWND CreateSoundWindow()
{
    return CreateWindowExA(0, "STATIC", "dudidadu-e2e", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}
static void DestroySoundWindow(HWND window)
{
    if (window)
        DestroyWindow(window);
}
// The platform's DirectSound mixes here: how promptly a play starts is its own.
static const bool kOwnMixer = false;
#else
static const bool kOwnMixer = true;
static int g_window;
// Any non-null value names the window here.
static HWND CreateSoundWindow()
{
    return reinterpret_cast<HWND>(&g_window);
}
static void DestroySoundWindow(HWND) {}
#endif

static int Usage()
{
    std::fprintf(stderr,
                 "usage: dudidadu-e2e play EVENTS      play the scenarios, writing their timeline\n"
                 "       dudidadu-e2e check EVENTS RECORDING [RATE]\n"
                 "                                     check a s16le stereo recording (default 48000 Hz)\n"
                 "       dudidadu-e2e null             checks on the null output\n"
                 "       dudidadu-e2e idle             a sound ends; the device must then sleep\n"
                 "       dudidadu-e2e frozen READY FROZEN  calls that must not wait for a frozen output\n"
                 "       dudidadu-e2e hold STOPFILE [S]    loop the tone until STOPFILE exists (at most S s)\n"
                 "       dudidadu-e2e heard RECORDING [RATE]\n"
                 "                                     whether a s16le stereo recording has the tone\n"
                 "       dudidadu-e2e tone FILE [MS [HZ]]  write a 16-bit mono 44100 Hz tone\n");
    return 2;
}

enum EMode { MODE_PLAY, MODE_NULL, MODE_HOLD, MODE_IDLE, MODE_FROZEN };

// `file` and `other`: the stop file for hold, the two files of frozen.
static int Play(const char *eventsPath, EMode mode, const char *file = nullptr, double seconds = 0.0,
                const char *other = nullptr)
{
    const bool nullOutput = mode == MODE_NULL;
#if defined(_WIN32)
    (void)other;  // the frozen check is not made there
#endif
    EventLog log;
    if (eventsPath && !log.Create(eventsPath)) {
        std::fprintf(stderr, "dudidadu-e2e: cannot write %s\n", eventsPath);
        return 1;
    }
    HWND window = CreateSoundWindow();
    if (!window) {
        std::fprintf(stderr, "dudidadu-e2e: cannot create a window\n");
        return 1;
    }
    GUID nullGuid = DUDIDADU_NULL_OUTPUT;
    void *device = DSoundInitialize(window, nullOutput ? &nullGuid : nullptr);
    if (!device) {
        std::fprintf(stderr, "dudidadu-e2e: DSoundInitialize failed\n");
        DestroySoundWindow(window);
        return 1;
    }
    // A second call for the same window gives the same device.
    int failures = DSoundInitialize(window, nullptr) == device ? 0 : 1;
    if (failures)
        std::printf("FAIL DSoundInitialize gave a second device for the same window\n");
    E2ePlayer player(log, device);
    if (mode == MODE_HOLD)
        failures += player.RunHold(file, seconds);
#if !defined(_WIN32)
    else if (mode == MODE_IDLE)
        failures += RunIdleCheck(device);
    else if (mode == MODE_FROZEN)
        failures += RunFrozenCheck(device, file, other);  // terminates the device itself
#endif
    else
        failures += nullOutput ? player.RunNull() : player.RunAudio();
    DSoundTerminate(device);
    DestroySoundWindow(window);
    const char *names[] = {"play", "null", "hold", "idle", "frozen"};
    const char *name = names[mode];
    std::printf("dudidadu-e2e %s: %s\n", name, failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}

// The tone of the scenarios somewhere in the recording: its onset, and its
// level and pitch just after.
static int Heard(const char *recordingPath, unsigned rate)
{
    Recording recording;
    if (!recording.Load(recordingPath, rate) || recording.Frames() == 0) {
        std::printf("heard: nothing recorded in %s\n", recordingPath);
        return 1;
    }
    const double onset = recording.FindOnset(0.0, -30.0, 0.03);
    if (onset < 0.0 || onset + 0.6 > recording.Seconds()) {
        std::printf("heard: no tone in %.3f s recorded\n", recording.Seconds());
        return 1;
    }
    const double level = recording.MedianLevelDb(onset + 0.1, 0.5);
    const double hz = recording.DominantFrequency(onset + 0.1, 0.5);
    std::printf("heard: the tone from %.3f s of %.3f s recorded, %.2f dBFS, %.1f Hz\n", onset, recording.Seconds(),
                level, hz);
    return std::fabs(level + 9.03) <= 2.0 && std::fabs(hz - E2ePlayer::TONE_HZ) <= 3.0 ? 0 : 1;
}

static int Check(const char *eventsPath, const char *recordingPath, unsigned rate)
{
    EventLog log;
    if (!log.Load(eventsPath)) {
        std::fprintf(stderr, "dudidadu-e2e: cannot read %s\n", eventsPath);
        return 1;
    }
    Recording recording;
    if (!recording.Load(recordingPath, rate) || recording.Frames() == 0) {
        std::fprintf(stderr, "dudidadu-e2e: cannot read a recording from %s\n", recordingPath);
        return 1;
    }
    E2eChecker checker(log, recording, kOwnMixer);
    int failures = checker.Run();
    std::printf("dudidadu-e2e check: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}

int main(int argc, char **argv)
{
    // Progress reaches a log even when the program hangs or is killed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2)
        return Usage();
    std::string mode = argv[1];
    if (mode == "play" && argc == 3)
        return Play(argv[2], MODE_PLAY);
    if (mode == "null" && argc == 2)
        return Play(nullptr, MODE_NULL);
#if !defined(_WIN32)
    if (mode == "idle" && argc == 2)
        return Play(nullptr, MODE_IDLE);
    if (mode == "frozen" && argc == 4)
        return Play(nullptr, MODE_FROZEN, argv[2], 0.0, argv[3]);
#endif
    if (mode == "hold" && (argc == 3 || argc == 4))
        return Play(nullptr, MODE_HOLD, argv[2], argc == 4 ? std::strtod(argv[3], nullptr) : 60.0);
    if (mode == "heard" && (argc == 3 || argc == 4))
        return Heard(argv[2], argc == 4 ? static_cast<unsigned>(std::strtol(argv[3], nullptr, 10)) : 48000);
    if (mode == "check" && (argc == 4 || argc == 5)) {
        long rate = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 48000;
        if (rate < 8000 || rate > 384000)
            return Usage();
        return Check(argv[2], argv[3], static_cast<unsigned>(rate));
    }
    if (mode == "tone" && argc >= 3 && argc <= 5) {
        long ms = argc >= 4 ? std::strtol(argv[3], nullptr, 10) : 500;
        long hz = argc >= 5 ? std::strtol(argv[4], nullptr, 10) : 440;
        if (ms <= 0 || ms > 600000 || hz <= 0 || hz > 20000)
            return Usage();
        if (!riff::SaveFile(argv[2], riff::ToneImage(double(hz), 44100, 1, 16, ms / 1000.0, 0.5))) {
            std::fprintf(stderr, "dudidadu-e2e: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    return Usage();
}
