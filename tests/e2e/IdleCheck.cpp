#include "IdleCheck.h"

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

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
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
    if (ran.runs != 0) {
        std::printf("FAIL idle: an idle device woke up\n");
        ++failures;
    }
    DSoundClose(sound);
    return failures;
}
