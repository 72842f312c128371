// recording-check: prints what a raw s16le stereo recording holds, window by
// window (level per channel, dominant frequency), and where sound starts and
// ends. For looking at what an end-to-end run recorded.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Recording.h"

static int Usage()
{
    std::fprintf(stderr, "usage: recording-check RECORDING [--rate HZ] [--window MS] [--on DB] [--off DB]\n"
                         "  RECORDING: raw signed 16-bit little-endian stereo (parec --format=s16le --channels=2)\n");
    return 2;
}

static bool Number(const char *text, double low, double high, double *out)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= low && v <= high))
        return false;
    *out = v;
    return true;
}

int main(int argc, char **argv)
{
    const char *path = nullptr;
    double rate = 48000, windowMs = 100, onDb = -30, offDb = -60;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        double *target = nullptr;
        double low = 0, high = 0;
        if (!std::strcmp(arg, "--rate")) {
            target = &rate, low = 1000, high = 384000;
        } else if (!std::strcmp(arg, "--window")) {
            target = &windowMs, low = 1, high = 10000;
        } else if (!std::strcmp(arg, "--on")) {
            target = &onDb, low = -150, high = 0;
        } else if (!std::strcmp(arg, "--off")) {
            target = &offDb, low = -150, high = 0;
        } else if (arg[0] != '-' && !path) {
            path = arg;
            continue;
        } else {
            return Usage();
        }
        if (i + 1 >= argc || !Number(argv[++i], low, high, target))
            return Usage();
    }
    if (!path)
        return Usage();
    Recording rec;
    if (!rec.Load(path, static_cast<unsigned>(rate))) {
        std::fprintf(stderr, "recording-check: cannot read %s\n", path);
        return 1;
    }
    std::printf("%s: %.3f s, %u Hz, %u channels\n", path, rec.Seconds(), rec.Rate(), rec.Channels());
    double window = windowMs / 1000.0;
    std::printf("%9s %9s %9s %9s\n", "time s", "left dB", "right dB", "freq Hz");
    for (double t = 0.0; t + window <= rec.Seconds() + 1e-9; t += window) {
        double left = rec.LevelDb(t, window, Recording::LEFT);
        double right = rec.LevelDb(t, window, Recording::RIGHT);
        double hz = (left > offDb || right > offDb) ? rec.DominantFrequency(t, window) : 0.0;
        std::printf("%9.3f %9.1f %9.1f %9.1f\n", t, left, right, hz);
    }
    double t = 0.0;
    while (t < rec.Seconds()) {
        double on = rec.FindOnset(t, onDb);
        if (on < 0.0)
            break;
        double off = rec.FindOffset(on, offDb);
        if (off < 0.0) {
            std::printf("sound from %.3f s to the end\n", on);
            break;
        }
        std::printf("sound from %.3f s to %.3f s (%.3f s)\n", on, off, off - on);
        t = off;
    }
    return 0;
}
