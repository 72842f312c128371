/*
 * dudidadu: play whole RIFF/WAVE sounds through DirectSound.
 *
 * Register a window as a sound device with DSoundInitialize, open sounds from
 * files or complete WAVE images in memory, play them once or looped, fade them
 * out or stop them, and set and read volume, pan and frequency. Every handle
 * is checked by the library; a bad handle gives the failure result (null or 0)
 * and never a crash.
 *
 * Units: volume in hundredths of a decibel, 0 (full) to -10000 (silence); pan
 * -10000 (left) to 10000 (right); frequency in samples per second, 100 to
 * 200000, 0 for the sound's own rate; fade times in milliseconds, 0 to 65535.
 */
#ifndef DUDIDADU_H
#define DUDIDADU_H

#if defined(_WIN32)
#include <windows.h>
#define DUDIDADU_CALL WINAPI
#define DUDIDADU_EXPORT
#else
#include <stdint.h>
#ifndef DUDIDADU_BASIC_TYPES
#define DUDIDADU_BASIC_TYPES
typedef int BOOL;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef struct HWND__ *HWND; /* any non-null value that names the caller's window */
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID *LPGUID;
#endif
#define DUDIDADU_CALL
#if defined(DUDIDADU_BUILDING)
#define DUDIDADU_EXPORT __attribute__((visibility("default")))
#else
#define DUDIDADU_EXPORT
#endif
#endif

#if defined(__GNUC__)
#define DUDIDADU_UNUSED __attribute__((unused))
#else
#define DUDIDADU_UNUSED
#endif

/* Device GUID for DSoundInitialize that selects the null output of the Linux
 * library: audio is consumed in real time and nothing is heard. */
static const GUID DUDIDADU_NULL_OUTPUT DUDIDADU_UNUSED = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6c}};

#ifdef __cplusplus
extern "C" {
#endif

/* Devices: the device for a window (created on first use), and its end. */
DUDIDADU_EXPORT LPVOID DUDIDADU_CALL DSoundInitialize(HWND window, LPGUID device);
DUDIDADU_EXPORT void DUDIDADU_CALL DSoundTerminate(LPVOID device);

/* Sounds: opened whole from a file or from a complete WAVE image. */
DUDIDADU_EXPORT LPVOID DUDIDADU_CALL DSoundOpen(LPVOID device, LPCSTR path);
DUDIDADU_EXPORT LPVOID DUDIDADU_CALL DSoundOpenMem(LPVOID device, LPVOID image, DWORD size);
DUDIDADU_EXPORT void DUDIDADU_CALL DSoundClose(LPVOID sound);

/* Playback: loop non-zero plays until stopped; Stop fades over fade_ms. */
DUDIDADU_EXPORT BOOL DUDIDADU_CALL DSoundPlay(LPVOID sound, BOOL loop);
DUDIDADU_EXPORT void DUDIDADU_CALL DSoundStop(LPVOID sound, LONG fade_ms);
DUDIDADU_EXPORT BOOL DUDIDADU_CALL DSoundIsPlaying(LPVOID sound);

/* Controls: setters return 1 on success; getters return 0 on failure. */
DUDIDADU_EXPORT BOOL DUDIDADU_CALL DSoundSetVolume(LPVOID sound, LONG volume);
DUDIDADU_EXPORT BOOL DUDIDADU_CALL DSoundSetPan(LPVOID sound, LONG pan);
DUDIDADU_EXPORT BOOL DUDIDADU_CALL DSoundSetFrequency(LPVOID sound, DWORD frequency);
DUDIDADU_EXPORT LONG DUDIDADU_CALL DSoundGetVolume(LPVOID sound);
DUDIDADU_EXPORT LONG DUDIDADU_CALL DSoundGetPan(LPVOID sound);
DUDIDADU_EXPORT DWORD DUDIDADU_CALL DSoundGetFrequency(LPVOID sound);

#ifdef __cplusplus
}
#endif

#endif /* DUDIDADU_H */
