/*
 * dudidadu-play: a command-line player on the dudidadu library.
 *
 *     dudidadu-play FILE [--loop] [--volume CB] [--pan P] [--frequency HZ]
 *                        [--fade-out MS] [--duration S] [--null]
 *     dudidadu-play --help | --version
 *
 * Plays a RIFF/WAVE file (- for standard input) once or looped, with a
 * progress line while standard output is a terminal. --duration ends the
 * play after that many seconds; Ctrl-C ends it at once. Either ends with a
 * fade over --fade-out milliseconds (0: stop at once). A loop without
 * --duration plays until Ctrl-C. A second Ctrl-C during a fade stops at once.
 *
 * The library's diagnostics are on (DUDIDADU_LOG=1 unless the environment
 * says otherwise): on Linux its first line on standard error names the
 * output the device got. The library alone judges the file: a refused file
 * gets the library's line with its reason, then the player's with the error
 * the library set, exactly what an application would get. The player reads
 * the header itself only to describe a sound the library took.
 *
 * Exit status: 0 played, 1 the file or the sound device could not be used,
 * 2 bad arguments, 130 ended by Ctrl-C.
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
#include <fcntl.h>
#include <io.h>
#include <windows.h>
static int stdout_is_terminal(void) { return _isatty(_fileno(stdout)); }
static void binary_stdin(void) { _setmode(_fileno(stdin), _O_BINARY); }
static void log_on(void)
{
    if (!GetEnvironmentVariableA("DUDIDADU_LOG", NULL, 0))
        SetEnvironmentVariableA("DUDIDADU_LOG", "1");
}
/* Windows has one output for the library: DirectSound's default device. */
static void say_output(int use_null) { (void)use_null; fprintf(stderr, "dudidadu-play: output: DirectSound\n"); }
/* Why the library's last call failed, in the system's words. */
static const char *last_reason(void)
{
    static char text[256];
    DWORD error = GetLastError();
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text,
                        sizeof text, NULL))
        snprintf(text, sizeof text, "error %lu", (unsigned long)error);
    text[strcspn(text, "\r\n")] = '\0';
    return text;
}
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
    HWND window;
    SetLastError(0);
    window = CreateWindowExA(0, "STATIC", "dudidadu-play", 0, 0, 0, 0, 0, NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (!window && GetLastError() == 0)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE); /* the system gave no reason of its own */
    return window;
}
/* Said when no window could be made: a program without a desktop has none. */
static const char *window_hint(void)
{
    return " (without a desktop there is no window; under Wine its null graphics driver makes one:"
           " HKCU\\Software\\Wine\\Drivers, Graphics=null)";
}
/* The library refused the file for what it holds, not for how it was reached. */
static int refused_as_wave(void)
{
    DWORD error = GetLastError();
    return error == ERROR_BAD_FORMAT || error == ERROR_FILE_TOO_LARGE;
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
static const char *window_hint(void) { return ""; }
static int refused_as_wave(void) { return errno == EINVAL || errno == EFBIG; }
static void binary_stdin(void) {}
static void log_on(void) { setenv("DUDIDADU_LOG", "1", 0); }
/* The library's own line says which output the device got. */
static void say_output(int use_null) { (void)use_null; }
static const char *last_reason(void) { return strerror(errno); }
#endif

static const char *program = "dudidadu-play";
static volatile sig_atomic_t interrupted;

static void on_interrupt(int signo)
{
    (void)signo;
    interrupted = interrupted + 1;
    signal(SIGINT, on_interrupt);
}

/* The usage on standard output when asked for, else with the problem on
 * standard error. */
static int usage(const char *problem)
{
    FILE *out = problem ? stderr : stdout;
    if (problem)
        fprintf(stderr, "%s: %s\n", program, problem);
    fprintf(out,
            "usage: %s FILE [--loop] [--volume CB] [--pan P] [--frequency HZ]\n"
            "                     [--fade-out MS] [--duration S] [--null]\n"
            "       %s --help | --version\n"
            "  FILE            a RIFF/WAVE file; - reads it from standard input\n"
            "  --loop          play until --duration or Ctrl-C\n"
            "  --volume CB     volume in hundredths of a decibel, -10000 to 0\n"
            "  --pan P         -10000 (left) to 10000 (right)\n"
            "  --frequency HZ  playback rate, 100 to 200000 (0: the file's own)\n"
            "  --fade-out MS   fade when ending early, 0 to 65535 (default 0)\n"
            "  --duration S    seconds to play, then end\n"
            "  --null          the library's null output (Linux): nothing is heard\n",
            program, program);
    return problem ? 2 : 0;
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
    unsigned tag; /* the format tag, or the sub-format's for WAVE_FORMAT_EXTENSIBLE */
    unsigned samples_per_block; /* ADPCM: frames in one block of block_align bytes */
    unsigned channels;
    unsigned long rate;
    unsigned block_align;
    unsigned bits;       /* of the container */
    unsigned valid_bits; /* of the sample in it (extensible records say so) */
    unsigned long avg_bytes;
    unsigned long data_bytes;
};

/* Where the header is read from: a file, or an image already in memory. */
struct source {
    FILE *file;
    const unsigned char *image;
    unsigned long size;
};

/* Reads n bytes at offset: 1 when they were there. */
static int read_at(const struct source *src, unsigned long offset, unsigned char *out, unsigned long n)
{
    if (offset > src->size || n > src->size - offset)
        return 0;
    if (src->image) {
        memcpy(out, src->image + offset, n);
        return 1;
    }
    return fseek(src->file, (long)offset, SEEK_SET) == 0 && fread(out, 1, n, src->file) == n;
}

static unsigned long le32(const unsigned char *p)
{
    return (unsigned long)p[0] | ((unsigned long)p[1] << 8) | ((unsigned long)p[2] << 16) | ((unsigned long)p[3] << 24);
}

static unsigned le16(const unsigned char *p) { return (unsigned)p[0] | ((unsigned)p[1] << 8); }

/* The format and the size of the sample data, to describe a sound the
 * library took: 0 when found, -1 otherwise. Sizes are checked against the
 * source's own size, so a broken header cannot send the reader past the end. */
static int parse_wave(const struct source *src, struct wave_info *info)
{
    unsigned char head[40];
    unsigned long pos = 12;
    int have_format = 0;
    if (!read_at(src, 0, head, 12) || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0)
        return -1;
    while (src->size - pos >= 8 && read_at(src, pos, head, 8)) {
        unsigned long chunk = le32(head + 4);
        unsigned long remaining = src->size - pos - 8;
        if (memcmp(head, "fmt ", 4) == 0) {
            unsigned long n = chunk < sizeof head ? chunk : sizeof head;
            if (chunk < 16 || chunk > remaining || !read_at(src, pos + 8, head, n))
                return -1;
            info->tag = le16(head);
            info->channels = le16(head + 2);
            info->rate = le32(head + 4);
            info->avg_bytes = le32(head + 8);
            info->block_align = le16(head + 12);
            info->bits = info->valid_bits = le16(head + 14);
            /* Both ADPCMs give their samples per block first after cbSize. */
            if ((info->tag == 0x0002 || info->tag == 0x0011) && n >= 20)
                info->samples_per_block = le16(head + 18);
            /* WAVE_FORMAT_EXTENSIBLE: the valid bits and the sub-format's tag. */
            if (info->tag == 0xFFFE && n >= 40 && le16(head + 16) >= 22) {
                if (le16(head + 18) != 0)
                    info->valid_bits = le16(head + 18);
                info->tag = le16(head + 24);
            }
            have_format = 1;
        } else if (memcmp(head, "data", 4) == 0) {
            if (!have_format || info->channels == 0 || info->rate == 0 || info->block_align == 0 ||
                chunk > remaining)
                return -1;
            info->data_bytes = chunk;
            return 0;
        }
        /* Chunks are padded to an even size. */
        if (chunk > remaining || chunk + (chunk & 1) > remaining)
            return -1;
        pos += 8 + chunk + (chunk & 1);
    }
    return -1;
}

/* The format and data size of a file the library took: 0 when found. */
static int read_wave_info(const char *path, struct wave_info *info)
{
    struct source src = {NULL, NULL, 0};
    long size;
    int result = -1;
    src.file = fopen(path, "rb");
    if (!src.file)
        return -1;
    if (fseek(src.file, 0, SEEK_END) == 0 && (size = ftell(src.file)) >= 0 && fseek(src.file, 0, SEEK_SET) == 0) {
        src.size = (unsigned long)size;
        result = parse_wave(&src, info);
    }
    fclose(src.file);
    return result;
}

/* All of standard input, for "-": null when it cannot be read. */
static unsigned char *read_all_input(unsigned long *size)
{
    unsigned long capacity = 1u << 16, used = 0;
    unsigned char *data = malloc(capacity);
    size_t got;
    binary_stdin();
    while (data && (got = fread(data + used, 1, capacity - used, stdin)) > 0) {
        used += (unsigned long)got;
        if (used == capacity) {
            unsigned char *grown = capacity < 0x80000000ul ? realloc(data, capacity * 2) : NULL;
            if (!grown) {
                free(data);
                errno = ENOMEM;
                return NULL;
            }
            data = grown;
            capacity *= 2;
        }
    }
    if (data && ferror(stdin)) {
        free(data);
        return NULL;
    }
    *size = used;
    return data;
}

/* "16-bit", "32-bit float", "24-bit in 32", or the codec's name. */
static void describe_format(const struct wave_info *info, char *out, size_t size)
{
    switch (info->tag) {
    case 1:
        if (info->valid_bits != 0 && info->valid_bits < info->bits)
            snprintf(out, size, "%u-bit in %u", info->valid_bits, info->bits);
        else
            snprintf(out, size, "%u-bit", info->bits);
        break;
    case 3:
        snprintf(out, size, "%u-bit float", info->bits);
        break;
    case 2:
        snprintf(out, size, "MS ADPCM");
        break;
    case 6:
        snprintf(out, size, "A-law");
        break;
    case 7:
        snprintf(out, size, "mu-law");
        break;
    case 0x11:
        snprintf(out, size, "IMA ADPCM");
        break;
    default:
        snprintf(out, size, "format 0x%04x", info->tag);
        break;
    }
}

static void format_time(double seconds, char *out, size_t size)
{
    long tenths = (long)(seconds * 10.0 + 0.5);
    snprintf(out, size, "%ld:%02ld.%ld", tenths / 600, (tenths / 10) % 60, tenths % 10);
}

/* Seconds of sound at the file's own rate: a frame per block of plain
 * samples, the samples per block of ADPCM (decoded at load), and for other
 * codecs what the average rate of bytes says. */
static double own_seconds(const struct wave_info *info)
{
    if (info->samples_per_block)
        return (double)info->data_bytes / info->block_align * info->samples_per_block / (double)info->rate;
    if (info->tag == 1 || info->tag == 3)
        return (double)(info->data_bytes / info->block_align) / (double)info->rate;
    return info->avg_bytes ? (double)info->data_bytes / (double)info->avg_bytes : 0.0;
}

int main(int argc, char **argv)
{
    const char *path = NULL;
    int loop = 0, use_null = 0, have_volume = 0, have_pan = 0, have_frequency = 0;
    long volume = 0, pan = 0, frequency = 0, fade = 0;
    double duration = 0.0, total, start, stop_at = 0.0, last_line = -1.0;
    struct wave_info info;
    struct source input = {NULL, NULL, 0};
    unsigned char *image = NULL;
    LPVOID device, sound;
    HWND window;
    int i, status = 0, stopping = 0, progress, seen_interrupts = 0, parsed;
    char elapsed_text[32], total_text[32], format_text[32];

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
            return usage(NULL);
        } else if (strcmp(arg, "--version") == 0) {
            printf("%s %s\n", program, DUDIDADU_VERSION_STRING);
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
    log_on();

    if (strcmp(path, "-") == 0) {
        image = read_all_input(&input.size);
        if (!image) {
            fprintf(stderr, "%s: cannot read standard input: %s\n", program, strerror(errno));
            return 1;
        }
        input.image = image;
        path = "standard input";
    }

    say_output(use_null);
    window = sound_window();
    if (!window) {
        fprintf(stderr, "%s: no window for the sound device: %s%s\n", program, last_reason(), window_hint());
        free(image);
        return 1;
    }
    device = DSoundInitialize(window, use_null ? &DUDIDADU_NULL_OUTPUT : NULL);
    if (!device) {
        fprintf(stderr, "%s: no sound device: %s%s\n", program, last_reason(),
                use_null ? " (the null output exists on Linux only)" : "");
        free(image);
        return 1;
    }
    /* The library judges the file; what it refuses, the player reports as
     * the library gave it. */
    sound = image ? DSoundOpenMem(device, image, (DWORD)input.size) : DSoundOpen(device, path);
    if (!sound) {
        if (refused_as_wave())
            fprintf(stderr, "%s: %s is not a playable RIFF/WAVE file: %s\n", program, path, last_reason());
        else
            fprintf(stderr, "%s: cannot open %s: %s\n", program, path, last_reason());
        free(image);
        DSoundTerminate(device);
        return 1;
    }
    /* Only to describe the sound: the library took it. */
    parsed = image ? parse_wave(&input, &info) : read_wave_info(path, &info);
    free(image); /* the sound has its own copy */
    if (parsed != 0)
        memset(&info, 0, sizeof info);
    total = info.rate == 0 ? 0.0
                           : own_seconds(&info) * (double)info.rate /
                                 (double)(have_frequency && frequency > 0 ? (unsigned long)frequency : info.rate);
    if ((have_volume && !DSoundSetVolume(sound, (LONG)volume)) || (have_pan && !DSoundSetPan(sound, (LONG)pan)) ||
        (have_frequency && !DSoundSetFrequency(sound, (DWORD)frequency))) {
        fprintf(stderr, "%s: the sound refused the volume, pan or frequency given: %s\n", program, last_reason());
        DSoundTerminate(device);
        return 1;
    }

    format_time(total, total_text, sizeof total_text);
    describe_format(&info, format_text, sizeof format_text);
    if (info.rate != 0)
        printf("%s: %lu Hz, %s, %u channel%s, %s%s\n", path, info.rate, format_text, info.channels,
               info.channels == 1 ? "" : "s", total_text, loop ? ", looped" : "");
    else
        printf("%s%s\n", path, loop ? ", looped" : "");
    fflush(stdout);

    signal(SIGINT, on_interrupt);
    if (!DSoundPlay(sound, loop ? 1 : 0)) {
        fprintf(stderr, "%s: cannot play %s: %s\n", program, path, last_reason());
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
        printf("\r  %s %s%-30s\n", elapsed_text, interrupted ? "stopped" : "played", "");
    } else if (interrupted) {
        printf("stopped\n");
    }
    DSoundClose(sound);
    DSoundTerminate(device);
    /* Ended by Ctrl-C: the shell's status for SIGINT, so that a loop over
     * files stops too. */
    return status != 0 ? status : interrupted ? 130 : 0;
}
