/*
 * dudidadu-play: a command-line player on the dudidadu library.
 *
 *     dudidadu-play FILE [--loop] [--volume CB] [--pan P] [--frequency HZ]
 *                        [--fade-out MS] [--duration S] [--null]
 *
 * Plays a RIFF/WAVE file once (or looped), with a progress line while
 * standard output is a terminal. --duration ends the play after that many
 * seconds; Ctrl-C ends it at once. Either ends with a fade over --fade-out
 * milliseconds (0: stop at once). A loop without --duration plays until
 * Ctrl-C. A second Ctrl-C during a fade stops at once.
 *
 * Exit status: 0 played, 1 the file or the sound device could not be used,
 * 2 bad arguments.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dudidadu.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
static int stdout_is_terminal(void) { return _isatty(_fileno(stdout)); }
static void pause_ms(unsigned ms) { Sleep(ms); }
static double now_seconds(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart / (double)frequency.QuadPart;
}
static HWND sound_window(void)
{
    return CreateWindowExA(0, "STATIC", "dudidadu-play", 0, 0, 0, 0, 0, NULL, NULL, GetModuleHandleA(NULL), NULL);
}
#else
#include <time.h>
#include <unistd.h>
static int stdout_is_terminal(void) { return isatty(STDOUT_FILENO); }
static void pause_ms(unsigned ms)
{
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}
static double now_seconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}
static int window_name;
/* Any non-null value names the window here. */
static HWND sound_window(void) { return (HWND)&window_name; }
#endif

static const char *program = "dudidadu-play";
static volatile sig_atomic_t interrupted;

static void on_interrupt(int signo)
{
    (void)signo;
    interrupted = interrupted + 1;
    signal(SIGINT, on_interrupt);
}

static int usage(const char *problem)
{
    if (problem)
        fprintf(stderr, "%s: %s\n", program, problem);
    fprintf(stderr,
            "usage: %s FILE [--loop] [--volume CB] [--pan P] [--frequency HZ]\n"
            "                     [--fade-out MS] [--duration S] [--null]\n"
            "  --loop          play until --duration or Ctrl-C\n"
            "  --volume CB     volume in hundredths of a decibel, -10000 to 0\n"
            "  --pan P         -10000 (left) to 10000 (right)\n"
            "  --frequency HZ  playback rate, 100 to 200000 (0: the file's own)\n"
            "  --fade-out MS   fade when ending early, 0 to 65535 (default 0)\n"
            "  --duration S    seconds to play, then end\n"
            "  --null          the library's null output (Linux): nothing is heard\n",
            program);
    return 2;
}

static int parse_long(const char *text, long low, long high, long *out)
{
    char *end = NULL;
    long v;
    errno = 0;
    v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < low || v > high)
        return 0;
    *out = v;
    return 1;
}

static int parse_seconds(const char *text, double *out)
{
    char *end = NULL;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0.0 && v <= 1e6))
        return 0;
    *out = v;
    return 1;
}

struct wave_info {
    unsigned tag;
    unsigned samples_per_block; /* ADPCM: frames in one block of block_align bytes */
    unsigned channels;
    unsigned long rate;
    unsigned block_align;
    unsigned bits;
    unsigned long data_bytes;
};

static unsigned long le32(const unsigned char *p)
{
    return (unsigned long)p[0] | ((unsigned long)p[1] << 8) | ((unsigned long)p[2] << 16) | ((unsigned long)p[3] << 24);
}

static unsigned le16(const unsigned char *p) { return (unsigned)p[0] | ((unsigned)p[1] << 8); }

/* Reads the format and the size of the sample data: 0 on success, -1 when the
 * file cannot be opened (errno says why), -2 when it is not a playable
 * RIFF/WAVE file. Sizes are checked against the file's own size, so a broken
 * header cannot send the reader past the end. */
static int read_wave_info(const char *path, struct wave_info *info)
{
    unsigned char head[16];
    long size, pos;
    int have_format = 0, result = -2;
    FILE *f = fopen(path, "rb");
    if (!f)
        return -1;
    if (fseek(f, 0, SEEK_END) != 0 || (size = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0)
        goto done;
    if (fread(head, 1, 12, f) != 12 || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0)
        goto done;
    pos = 12;
    while (size - pos >= 8 && fread(head, 1, 8, f) == 8) {
        unsigned long chunk = le32(head + 4);
        unsigned long remaining;
        pos += 8;
        remaining = (unsigned long)(size - pos);
        if (memcmp(head, "fmt ", 4) == 0) {
            unsigned char format[20];
            if (chunk < 16 || remaining < 16 || fread(format, 1, 16, f) != 16)
                goto done;
            info->tag = le16(format);
            /* Both ADPCMs give their samples per block first after cbSize. */
            if ((info->tag == 0x0002 || info->tag == 0x0011) && chunk >= 20 && remaining >= 20 &&
                fread(format + 16, 1, 4, f) == 4)
                info->samples_per_block = le16(format + 18);
            info->channels = le16(format + 2);
            info->rate = le32(format + 4);
            info->block_align = le16(format + 12);
            info->bits = le16(format + 14);
            have_format = 1;
            if (fseek(f, pos, SEEK_SET) != 0)
                goto done;
        } else if (memcmp(head, "data", 4) == 0) {
            /* The sample data comes after the format and is read whole: a
             * data chunk cut short is refused, as the library refuses it. */
            if (!have_format || info->channels == 0 || info->rate == 0 || info->block_align == 0 ||
                chunk > remaining)
                goto done;
            info->data_bytes = chunk;
            result = info->data_bytes >= info->block_align ? 0 : -2;
            goto done;
        }
        /* Chunks are padded to an even size. */
        if (chunk > remaining || chunk + (chunk & 1) > remaining)
            goto done;
        pos += (long)(chunk + (chunk & 1));
        if (fseek(f, pos, SEEK_SET) != 0)
            goto done;
    }
done:
    fclose(f);
    return result;
}

static void format_time(double seconds, char *out, size_t size)
{
    long tenths = (long)(seconds * 10.0 + 0.5);
    snprintf(out, size, "%ld:%02ld.%ld", tenths / 600, (tenths / 10) % 60, tenths % 10);
}

int main(int argc, char **argv)
{
    const char *path = NULL;
    int loop = 0, use_null = 0, have_volume = 0, have_pan = 0, have_frequency = 0;
    long volume = 0, pan = 0, frequency = 0, fade = 0;
    double duration = 0.0, total, start, stop_at = 0.0, last_line = -1.0;
    struct wave_info info;
    GUID null_output = DUDIDADU_NULL_OUTPUT;
    LPVOID device, sound;
    HWND window;
    int i, status = 0, stopping = 0, progress, seen_interrupts = 0;
    char elapsed_text[32], total_text[32];

    memset(&info, 0, sizeof info);
    for (i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(arg, "--loop") == 0) {
            loop = 1;
        } else if (strcmp(arg, "--null") == 0) {
            use_null = 1;
        } else if (strcmp(arg, "--volume") == 0) {
            if (!value || !parse_long(value, -10000, 0, &volume))
                return usage("--volume takes hundredths of a decibel from -10000 to 0");
            have_volume = 1, ++i;
        } else if (strcmp(arg, "--pan") == 0) {
            if (!value || !parse_long(value, -10000, 10000, &pan))
                return usage("--pan takes a value from -10000 to 10000");
            have_pan = 1, ++i;
        } else if (strcmp(arg, "--frequency") == 0) {
            if (!value || !parse_long(value, 0, 200000, &frequency) || (frequency > 0 && frequency < 100))
                return usage("--frequency takes 100 to 200000 samples per second, or 0");
            have_frequency = 1, ++i;
        } else if (strcmp(arg, "--fade-out") == 0) {
            if (!value || !parse_long(value, 0, 65535, &fade))
                return usage("--fade-out takes 0 to 65535 milliseconds");
            ++i;
        } else if (strcmp(arg, "--duration") == 0) {
            if (!value || !parse_seconds(value, &duration))
                return usage("--duration takes a number of seconds above 0");
            ++i;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            usage(NULL);
            return 0;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            char problem[256];
            snprintf(problem, sizeof problem, "unknown option %s", arg);
            return usage(problem);
        } else if (!path) {
            path = arg;
        } else {
            return usage("only one file can be played");
        }
    }
    if (!path)
        return usage("no file given");

    switch (read_wave_info(path, &info)) {
    case -1:
        fprintf(stderr, "%s: cannot open %s: %s\n", program, path, strerror(errno));
        return 1;
    case -2:
        fprintf(stderr, "%s: %s is not a playable RIFF/WAVE file\n", program, path);
        return 1;
    }
    /* Frames: one per block of plain samples, the samples per block of
     * ADPCM, which the library decodes at load. */
    total = info.samples_per_block ? (double)info.data_bytes / info.block_align * info.samples_per_block
                                   : (double)(info.data_bytes / info.block_align);
    total /= (double)(have_frequency && frequency > 0 ? (unsigned long)frequency : info.rate);

    window = sound_window();
    device = window ? DSoundInitialize(window, use_null ? &null_output : NULL) : NULL;
    if (!device) {
        fprintf(stderr, "%s: no sound device%s\n", program, use_null ? " (the null output exists on Linux only)" : "");
        return 1;
    }
    sound = DSoundOpen(device, path);
    if (!sound) {
        fprintf(stderr, "%s: cannot open %s as a sound (format not supported?)\n", program, path);
        DSoundTerminate(device);
        return 1;
    }
    if ((have_volume && !DSoundSetVolume(sound, (LONG)volume)) || (have_pan && !DSoundSetPan(sound, (LONG)pan)) ||
        (have_frequency && !DSoundSetFrequency(sound, (DWORD)frequency))) {
        fprintf(stderr, "%s: the sound refused the volume, pan or frequency given\n", program);
        DSoundTerminate(device);
        return 1;
    }

    format_time(total, total_text, sizeof total_text);
    printf("%s: %lu Hz, %u-bit, %u channel%s, %s%s\n", path, info.rate, info.bits, info.channels,
           info.channels == 1 ? "" : "s", total_text, loop ? ", looped" : "");
    fflush(stdout);

    signal(SIGINT, on_interrupt);
    if (!DSoundPlay(sound, loop ? 1 : 0)) {
        fprintf(stderr, "%s: cannot play %s\n", program, path);
        DSoundTerminate(device);
        return 1;
    }
    progress = stdout_is_terminal();
    start = now_seconds();
    for (;;) {
        double now = now_seconds(), elapsed = now - start;
        if (!stopping && (interrupted || (duration > 0.0 && elapsed >= duration))) {
            DSoundStop(sound, (LONG)fade);
            stopping = 1;
            stop_at = now;
            seen_interrupts = interrupted;
        } else if (stopping && interrupted > seen_interrupts) {
            DSoundStop(sound, 0);
            seen_interrupts = interrupted;
        }
        if (!DSoundIsPlaying(sound))
            break;
        /* A fade ends at the monitor's next tick after its length. */
        if (stopping && now - stop_at > (double)fade / 1000.0 + 5.0) {
            fprintf(stderr, "%s: the sound did not stop\n", program);
            status = 1;
            break;
        }
        if (progress && now - last_line >= 0.1) {
            format_time(elapsed, elapsed_text, sizeof elapsed_text);
            if (loop && duration > 0.0) {
                char limit[32];
                format_time(duration, limit, sizeof limit);
                printf("\r  %s / %s (loop of %s)%s   ", elapsed_text, limit, total_text, stopping ? " ending" : "");
            } else if (loop) {
                printf("\r  %s (loop of %s)%s   ", elapsed_text, total_text, stopping ? " ending" : "");
            } else {
                printf("\r  %s / %s%s   ", elapsed_text, total_text, stopping ? " ending" : "");
            }
            fflush(stdout);
            last_line = now;
        }
        pause_ms(20);
    }
    if (progress) {
        format_time(now_seconds() - start, elapsed_text, sizeof elapsed_text);
        printf("\r  %s played%-30s\n", elapsed_text, "");
    }
    DSoundClose(sound);
    DSoundTerminate(device);
    return status;
}
