// What a load costs the loading thread, and what it leaves for the first
// play, on the real library and its null output (Linux):
//
//   small wave in a large mapping  DSoundOpenMem of a 9 KB WAVE at the start
//                                  of a 2 GiB mapping passed with the
//                                  mapping's size (anonymous, and a sparse
//                                  file): time, and how much the process grew
//   10 MiB from memory             DSoundOpenMem of a 10 MiB image, MB/s,
//                                  and against a memcpy of the image made
//                                  just before each load
//   first play                     the first DSoundPlay after that load: time
//                                  and page faults on the calling thread
//
// Medians of several runs, with the smallest and largest. A library of
// another commit is measured with the same program through LD_LIBRARY_PATH.
// --quick runs each measure once, for the test that keeps the program working.
#include <dudidadu.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/RiffWriter.h"

namespace {

double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Resident memory of the process, in KiB.
long ResidentKiB()
{
    long pages = 0, resident = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == NULL)
        return -1;
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        resident = -1;
    fclose(statm);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long ThreadMinorFaults()
{
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

void Print(const char *what, std::vector<double> values, const char *unit)
{
    std::sort(values.begin(), values.end());
    printf("%-66s %10.3f %s  (%.3f .. %.3f, n=%zu)\n", what, values[values.size() / 2], unit, values.front(),
           values.back(), values.size());
}

// A 9 KB wave at the start of a 2 GiB mapping, opened with the mapping's
// size as the application passes a pointer into a mapped pack file.
void SmallWaveInALargeMapping(LPVOID device, bool file, int runs)
{
    const size_t size = (size_t)2 << 30;
    const riff::Bytes wave = riff::ToneImage(440, 22050, 1, 16, 0.2, 0.5);
    std::vector<double> ms, grownKiB;
    for (int i = 0; i < runs; ++i) {
        int fd = -1;
        void *mapping;
        if (file) {
            char path[] = "/tmp/dudidadu-bench-load-XXXXXX";
            fd = mkstemp(path);
            unlink(path);
            if (fd < 0 || ftruncate(fd, (off_t)size) != 0 || pwrite(fd, wave.data(), wave.size(), 0) != (ssize_t)wave.size()) {
                fprintf(stderr, "bench_load: no sparse file\n");
                exit(1);
            }
            mapping = mmap(NULL, size, PROT_READ, MAP_SHARED, fd, 0);
        } else {
            mapping = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (mapping != MAP_FAILED)
                memcpy(mapping, wave.data(), wave.size());
        }
        if (mapping == MAP_FAILED) {
            fprintf(stderr, "bench_load: no mapping\n");
            exit(1);
        }
        const long before = ResidentKiB();
        const double t0 = Now();
        // A size the platform can give as a position: the mapping less a page.
        LPVOID sound = DSoundOpenMem(device, mapping, (DWORD)(size - 4096));
        const double t1 = Now();
        const long after = ResidentKiB();
        if (sound == NULL) {
            fprintf(stderr, "bench_load: the small wave did not open\n");
            exit(1);
        }
        DSoundClose(sound);
        munmap(mapping, size);
        if (fd >= 0)
            close(fd);
        ms.push_back((t1 - t0) * 1e3);
        grownKiB.push_back((double)(after - before));
    }
    Print(file ? "9 KB wave in a 2 GiB sparse file mapping: DSoundOpenMem"
               : "9 KB wave in a 2 GiB anonymous mapping: DSoundOpenMem", ms, "ms");
    Print(file ? "9 KB wave in a 2 GiB sparse file mapping: the process grew by"
               : "9 KB wave in a 2 GiB anonymous mapping: the process grew by", grownKiB, "KiB");
}

// 10 MiB of 16-bit stereo at 44100 Hz, opened from memory again and again,
// and the first play after each open.
void TenMiBFromMemory(LPVOID device, int runs)
{
    const size_t frames = (size_t)10 << 18;  // 4 bytes a frame
    riff::Bytes samples(frames * 4);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = (uint8_t)(i * 31);
    const riff::Bytes image = riff::RiffWriter().Fmt(riff::PcmFormat(44100, 2, 16)).Data(samples).Build();
    std::vector<double> rate, play, faults, copyRate, ratio;
    riff::Bytes copy(image.size());
    for (int i = -2; i < runs; ++i) {  // two loads to warm up
        // The scale: one copy of the same bytes into memory already in use.
        const double c0 = Now();
        memcpy(copy.data(), image.data(), image.size());
        const double c1 = Now();
        const double t0 = Now();
        LPVOID sound = DSoundOpenMem(device, const_cast<uint8_t *>(image.data()), (DWORD)image.size());
        const double t1 = Now();
        if (sound == NULL) {
            fprintf(stderr, "bench_load: the 10 MiB image did not open\n");
            exit(1);
        }
        const long faultsBefore = ThreadMinorFaults();
        const double t2 = Now();
        const BOOL played = DSoundPlay(sound, 0);
        const double t3 = Now();
        const long faultsAfter = ThreadMinorFaults();
        DSoundStop(sound, 0);
        DSoundClose(sound);
        if (!played) {
            fprintf(stderr, "bench_load: the 10 MiB sound did not play\n");
            exit(1);
        }
        if (i < 0)
            continue;
        rate.push_back((double)samples.size() / (t1 - t0) / 1e6);
        copyRate.push_back((double)samples.size() / (c1 - c0) / 1e6);
        ratio.push_back((c1 - c0) / (t1 - t0));
        play.push_back((t3 - t2) * 1e3);
        faults.push_back((double)(faultsAfter - faultsBefore));
    }
    if (memcmp(copy.data(), image.data(), image.size()) != 0)
        exit(1);  // and the copy is not optimised away
    Print("10 MiB image: DSoundOpenMem", rate, "MB/s");
    Print("10 MiB image: memcpy of it, beside each load", copyRate, "MB/s");
    Print("10 MiB image: DSoundOpenMem against that memcpy (1 = as fast)", ratio, "x");
    Print("10 MiB sound: first DSoundPlay after DSoundOpenMem", play, "ms");
    Print("10 MiB sound: page faults in that DSoundPlay", faults, "");
}

}  // namespace

int main(int argc, char **argv)
{
    const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    const int runs = quick ? 1 : 9;
    static int window;
    LPVOID device = DSoundInitialize(reinterpret_cast<HWND>(&window), &DUDIDADU_NULL_OUTPUT);
    if (device == NULL) {
        fprintf(stderr, "bench_load: no device\n");
        return 1;
    }
    SmallWaveInALargeMapping(device, false, runs);
    SmallWaveInALargeMapping(device, true, runs);
    TenMiBFromMemory(device, runs);
    DSoundTerminate(device);
    return 0;
}
