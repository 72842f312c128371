#include "ServerChecks.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "dudidadu.h"
#include "support/RiffWriter.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DUDIDADU_E2E_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define DUDIDADU_E2E_TSAN 1
#endif

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool Exists(const char *path)
{
    return access(path, F_OK) == 0;
}

// Plays the sound once; the seconds until it reads as ended (at most 10).
double PlayToTheEnd(void *sound)
{
    if (!DSoundPlay(sound, 0))
        return -1.0;
    const auto start = std::chrono::steady_clock::now();
    while (DSoundIsPlaying(sound) && Seconds(start) < 10.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return Seconds(start);
}

// Time on a processor (ns) and times run, per thread but the caller's.
struct SRun {
    unsigned long long ns = 0, runs = 0;
};

std::map<long, SRun> OtherThreads()
{
    std::map<long, SRun> threads;
    const long self = syscall(SYS_gettid);
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (struct dirent *entry = readdir(tasks)) {
            const long tid = std::strtol(entry->d_name, nullptr, 10);
            if (tid <= 0 || tid == self)
                continue;
            const std::string path = std::string("/proc/self/task/") + entry->d_name + "/schedstat";
            SRun run;
            unsigned long long waited = 0;
            if (FILE *stat = std::fopen(path.c_str(), "r")) {
                if (std::fscanf(stat, "%llu %llu %llu", &run.ns, &waited, &run.runs) == 3)
                    threads[tid] = run;
                std::fclose(stat);
            }
        }
        closedir(tasks);
    }
    return threads;
}

// Our stream's "Corked:" line as the server lists it; empty when it has none.
std::string Corked()
{
    const std::string mine = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    std::string corked, seen;
    if (FILE *pactl = popen("pactl list sink-inputs 2>/dev/null", "r")) {
        char line[512];
        std::string block;
        while (std::fgets(line, sizeof(line), pactl)) {
            if (std::strncmp(line, "Sink Input #", 12) == 0)
                block.clear();
            if (std::strstr(line, "Corked:"))
                block = line;
            if (std::strstr(line, mine.c_str()) && !block.empty())
                corked = block;
        }
        pclose(pactl);
    }
    return corked;
}

}  // namespace

int RunIdleCheck(void *device)
{
    int failures = 0;
    riff::Bytes tone = riff::ToneImage(440, 44100, 1, 16, 0.3, 0.5);
    void *sound = DSoundOpenMem(device, tone.data(), static_cast<DWORD>(tone.size()));
    if (!sound || !DSoundPlay(sound, 0)) {
        std::printf("FAIL idle: the sound does not play\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    while (DSoundIsPlaying(sound) && Seconds(start) < 5.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto ended = std::chrono::steady_clock::now();

    // On a sound server (not when the output is named otherwise) the stream
    // says when what was written has been heard; elsewhere the longest the
    // device may take for that (half a second) is waited out.
    const char *output = std::getenv("DUDIDADU_OUTPUT");
    if (!std::getenv("PULSE_SERVER") || (output && (!std::strcmp(output, "alsa") || !std::strcmp(output, "null")))) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    } else {
        std::string corked;
        while ((corked = Corked()).find("yes") == std::string::npos && Seconds(ended) < 2.0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (corked.find("yes") != std::string::npos) {
            std::printf("idle: the stream reads corked %.2f s after the sound ended\n", Seconds(ended));
        } else {
            std::printf("FAIL idle: the stream does not read corked 2 s after the sound ended (%s)\n",
                        corked.empty() ? "no stream listed" : "Corked: no");
            ++failures;
        }
    }

    const std::map<long, SRun> before = OtherThreads();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::map<long, SRun> after = OtherThreads();
    SRun ran;
    for (const auto &thread : after) {
        const auto was = before.find(thread.first);
        ran.ns += thread.second.ns - (was == before.end() ? 0 : was->second.ns);
        ran.runs += thread.second.runs - (was == before.end() ? 0 : was->second.runs);
    }
    std::printf("idle: over 3 s the library's %zu threads ran %llu times, for %.1f us\n", after.size(), ran.runs,
                ran.ns / 1000.0);
#if defined(DUDIDADU_E2E_TSAN)
    // ThreadSanitizer's own thread is among them, and wakes by itself.
    ran.runs = 0;
#endif
    if (ran.runs != 0) {
        std::printf("FAIL idle: an idle device woke up\n");
        ++failures;
    }
    DSoundClose(sound);
    return failures;
}

int RunFrozenCheck(void *device, const char *readyFile, const char *frozenFile)
{
    // Generous: the outputs keep to a tenth of a second and 600 ms; these
    // only tell a wait that has a limit from one that has none.
    const double kLimit = 2.0;
    int failures = 0;
    riff::Bytes shot = riff::ToneImage(440, 44100, 1, 16, 0.2, 0.5);
    void *sound = DSoundOpenMem(device, shot.data(), static_cast<DWORD>(shot.size()));
    // Heard once, so that the output is at work when it freezes.
    if (!sound || PlayToTheEnd(sound) < 0.0) {
        std::printf("FAIL frozen: the sound does not play\n");
        return 1;
    }
    if (FILE *ready = std::fopen(readyFile, "w"))
        std::fclose(ready);
    const auto asked = std::chrono::steady_clock::now();
    while (!Exists(frozenFile) && Seconds(asked) < 60.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const double ended = PlayToTheEnd(sound);
    std::printf("frozen: a 0.200 s one-shot read as ended after %.3f s\n", ended);
    if (ended < 0.0 || ended > kLimit) {
        std::printf("FAIL frozen: the one-shot does not end\n");
        ++failures;
    }
    auto start = std::chrono::steady_clock::now();
    DSoundTerminate(device);
    const double terminated = Seconds(start);
    static int window;
    start = std::chrono::steady_clock::now();
    void *another = DSoundInitialize(reinterpret_cast<HWND>(&window), nullptr);
    const double made = Seconds(start);
    start = std::chrono::steady_clock::now();
    DSoundTerminate(another);
    std::printf("frozen: DSoundTerminate took %.3f s; DSoundInitialize %.3f s (%s), and its DSoundTerminate %.3f s\n",
                terminated, made, another ? "a device" : "none", Seconds(start));
    if (terminated > kLimit || made > kLimit || Seconds(start) > kLimit) {
        std::printf("FAIL frozen: a call waits for the frozen output\n");
        ++failures;
    }
    return failures;
}
