/*
 * play: plays a RIFF/WAVE file once through dudidadu and waits for its end.
 *
 *     play FILE [--null]
 *
 * --null picks the library's null output on Linux (nothing is heard, the
 * sound still takes its time).
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>

#include "dudidadu.h"

#if defined(_WIN32)
#include <windows.h>
static void pause_ms(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void pause_ms(unsigned ms)
{
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

int main(int argc, char **argv)
{
    void *device, *sound;
    int use_null = argc == 3 && strcmp(argv[2], "--null") == 0;

    if (argc < 2 || argc > 3 || (argc == 3 && !use_null)) {
        fprintf(stderr, "usage: play FILE [--null]\n");
        return 2;
    }

    /* A device belongs to a window. On Windows it must be a real one; on
     * Linux any non-null value names it. */
#if defined(_WIN32)
    HWND window = CreateWindowExA(0, "STATIC", "play", 0, 0, 0, 0, 0, NULL, NULL, GetModuleHandleA(NULL), NULL);
#else
    static int window_name;
    void *window = &window_name;
#endif

    device = DSoundInitialize(window, use_null ? &DUDIDADU_NULL_OUTPUT : NULL);
    if (!device) {
        fprintf(stderr, "play: no sound device\n");
        return 1;
    }
    sound = DSoundOpen(device, argv[1]);
    if (!sound) {
        fprintf(stderr, "play: cannot open %s as a RIFF/WAVE sound\n", argv[1]);
        DSoundTerminate(device);
        return 1;
    }
    if (!DSoundPlay(sound, 0)) {
        fprintf(stderr, "play: cannot play %s\n", argv[1]);
        DSoundTerminate(device);
        return 1;
    }
    /* The sound counts as playing until its end has been noticed. */
    while (DSoundIsPlaying(sound))
        pause_ms(20);
    printf("play: %s finished\n", argv[1]);

    DSoundClose(sound);
    DSoundTerminate(device);
    return 0;
}
