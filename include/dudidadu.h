/*
 * dudidadu: play whole RIFF/WAVE sounds through DirectSound.
 *
 * Register a window as a sound device with DSoundInitialize, open sounds from
 * files or complete WAVE images in memory, play them once or looped, fade them
 * out or stop them, and set and read volume, pan and frequency. Every handle
 * is checked by the library; a bad, closed or terminated handle gives the
 * failure result (null or 0) and never a crash. Handles are 32-bit values,
 * not addresses: a closed sound's or terminated device's handle is refused
 * for at least the next million opens and never names a later object.
 * Every function may be called from any thread; calls on the same sound
 * wait for each other at most 500 ms. api.md (docs/ in the sources, beside
 * the README in an installation) describes each function: its result, its
 * reasons, what it may wait for.
 *
 * Units: volume in hundredths of a decibel, 0 (full) to -10000 (silence); pan
 * -10000 (left) to 10000 (right); frequency in samples per second, 100 to
 * 200000, 0 for the sound's own rate; fade times in milliseconds, 0 to 65535
 * (any other value stops at once).
 *
 * A call that fails sets the platform's error value to why (GetLastError()
 * on Windows, errno on Linux); one that succeeds leaves it as it was:
 *   bad, closed or terminated handle   ERROR_INVALID_HANDLE        EBADF
 *   no such file                       ERROR_FILE_NOT_FOUND        ENOENT
 *                                      or ERROR_PATH_NOT_FOUND
 *   a directory                        ERROR_DIRECTORY_NOT_SUPPORTED EISDIR
 *   a FIFO, socket or device (Linux)   ERROR_BAD_FILE_TYPE         ENXIO
 *   file not readable                  ERROR_ACCESS_DENIED         EACCES
 *   not a playable RIFF/WAVE           ERROR_BAD_FORMAT            EINVAL
 *   256 MiB or more once decoded       ERROR_FILE_TOO_LARGE        EFBIG
 *   value refused, no path or image    ERROR_INVALID_PARAMETER     EINVAL
 *   null window                        ERROR_INVALID_WINDOW_HANDLE EINVAL
 *   unreadable path, image or GUID     ERROR_NOACCESS              EFAULT
 *   33rd device or sound               ERROR_TOO_MANY_OPEN_FILES   EMFILE
 *   out of memory                      ERROR_NOT_ENOUGH_MEMORY     ENOMEM
 *   no sound device                    ERROR_DEVICE_NOT_AVAILABLE  ENODEV
 *   sound device taken by another      ERROR_BUSY                  EBUSY
 *   the same object busy for 500 ms    ERROR_TIMEOUT               ETIMEDOUT
 *   control not available              ERROR_NOT_SUPPORTED         ENOTSUP
 *   file cut short by a read error     ERROR_READ_FAULT            EIO
 *   the process is exiting             ERROR_SHUTDOWN_IN_PROGRESS  ESHUTDOWN
 *   an unexpected error inside         ERROR_INTERNAL_ERROR        EIO
 *   any other platform failure         ERROR_GEN_FAILURE           EIO
 * A file the system cannot open for another reason gives the system's own
 * code. A getter's 0 is also a value: set the error value to 0 first to tell.
 * On Windows this header supplies the codes above that an older SDK lacks.
 *
 * DUDIDADU_LOG=1 in the environment writes a line per notable event (the
 * output a device got or moved to, why an open was refused); DUDIDADU_LOG=2
 * adds a line per failed call, with its reason as the platform names it
 * ("DSoundOpen failed: EINVAL, not a RIFF/WAVE file"; on Windows "error 11
 * ERROR_BAD_FORMAT"), and on Linux libasound's own complaints ("ALSA lib
 * ..."), which otherwise go nowhere. The lines go to standard error on Linux
 * and to the debugger output on Windows.
 *
 * On Windows the functions are declared with the types of <windows.h>.
 * Elsewhere the header declares those few names itself (BOOL, DWORD, LONG,
 * LPCSTR, LPVOID, HWND, GUID, LPGUID), as programs written for it expect. An
 * application that has names of its own by those names defines
 * DUDIDADU_NO_WINDOWS_TYPES before including the header: the functions are
 * then declared with the plain C types of the same size (int for BOOL,
 * uint32_t for DWORD, int32_t for LONG, void * for LPVOID and HWND, const
 * char * for LPCSTR, dudidadu_guid for GUID) and the header names nothing
 * else but its own.
 */
#ifndef DUDIDADU_H
#define DUDIDADU_H

/* The release this header belongs to (the build checks that it is the
 * project's version). */
#define DUDIDADU_VERSION_MAJOR 0
#define DUDIDADU_VERSION_MINOR 1
#define DUDIDADU_VERSION_PATCH 0
#define DUDIDADU_VERSION_STRING "0.1.0"

#if defined(_WIN32)
#include <windows.h>
/* The codes the library sets that an older SDK's headers lack (mingw-w64
 * 10, as Debian 12 has it). <windows.h> above brought the SDK's own, if it has
 * them. */
#ifndef ERROR_DIRECTORY_NOT_SUPPORTED
#define ERROR_DIRECTORY_NOT_SUPPORTED 336L
#endif
#define DUDIDADU_CALL WINAPI
#define DUDIDADU_EXPORT
#define DUDIDADU_WINDOWS_NAMES
#else
#include <stdint.h>
#define DUDIDADU_CALL
#if defined(DUDIDADU_BUILDING)
#define DUDIDADU_EXPORT __attribute__((visibility("default")))
#else
#define DUDIDADU_EXPORT
#endif
/* Whoever comes first (this header or the library's own Windows types)
 * defines the basic types; both define them alike. */
#if !defined(DUDIDADU_NO_WINDOWS_TYPES) && !defined(DUDIDADU_BASIC_TYPES)
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
#if defined(DUDIDADU_BASIC_TYPES)
#define DUDIDADU_WINDOWS_NAMES
#endif
#endif

/* The same functions either way: the types below have the sizes and
 * representations of the Windows ones. */
#if defined(DUDIDADU_WINDOWS_NAMES)
typedef GUID dudidadu_guid;
#define DUDIDADU_BOOL_ BOOL
#define DUDIDADU_DWORD_ DWORD
#define DUDIDADU_LONG_ LONG
#define DUDIDADU_HANDLE_ LPVOID
#define DUDIDADU_PATH_ LPCSTR
#define DUDIDADU_WINDOW_ HWND
#else
typedef struct dudidadu_guid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} dudidadu_guid;
#define DUDIDADU_BOOL_ int
#define DUDIDADU_DWORD_ uint32_t
#define DUDIDADU_LONG_ int32_t
#define DUDIDADU_HANDLE_ void *
#define DUDIDADU_PATH_ const char *
#define DUDIDADU_WINDOW_ void *
#endif
#undef DUDIDADU_WINDOWS_NAMES

/* Kept in every translation unit, so that one that includes the header and
 * never names the constant gets no warning, and one that names it neither
 * (an "unused" mark would make that a warning of its own). */
#if defined(__GNUC__)
#define DUDIDADU_KEPT_ __attribute__((used))
#else
#define DUDIDADU_KEPT_
#endif

/* Device GUID for DSoundInitialize that selects the null output of the Linux
 * library: audio is consumed in real time and nothing is heard. Pass
 * &DUDIDADU_NULL_OUTPUT; a binding in another language passes a pointer to
 * these 16 bytes, {6E756C6C-6475-6469-6461-64756E756C6C} in GUID layout. */
static const dudidadu_guid DUDIDADU_NULL_OUTPUT DUDIDADU_KEPT_ = {
    0x6e756c6cu, 0x6475u, 0x6469u, {0x64, 0x61, 0x64, 0x75, 0x6e, 0x75, 0x6c, 0x6c}};

#ifdef __cplusplus
extern "C" {
#endif

/* Devices: the device for a window (created on first use), and its end.
 * device null picks the default output. */
DUDIDADU_EXPORT DUDIDADU_HANDLE_ DUDIDADU_CALL DSoundInitialize(DUDIDADU_WINDOW_ window, const dudidadu_guid *device);
DUDIDADU_EXPORT void DUDIDADU_CALL DSoundTerminate(DUDIDADU_HANDLE_ device);

/* Sounds: opened whole from a file or from a complete WAVE image. */
DUDIDADU_EXPORT DUDIDADU_HANDLE_ DUDIDADU_CALL DSoundOpen(DUDIDADU_HANDLE_ device, DUDIDADU_PATH_ path);
DUDIDADU_EXPORT DUDIDADU_HANDLE_ DUDIDADU_CALL DSoundOpenMem(DUDIDADU_HANDLE_ device, DUDIDADU_HANDLE_ image,
                                                             DUDIDADU_DWORD_ size);
DUDIDADU_EXPORT void DUDIDADU_CALL DSoundClose(DUDIDADU_HANDLE_ sound);

/* Playback: loop non-zero plays until stopped; Stop fades over fade_ms. */
DUDIDADU_EXPORT DUDIDADU_BOOL_ DUDIDADU_CALL DSoundPlay(DUDIDADU_HANDLE_ sound, DUDIDADU_BOOL_ loop);
DUDIDADU_EXPORT void DUDIDADU_CALL DSoundStop(DUDIDADU_HANDLE_ sound, DUDIDADU_LONG_ fade_ms);
DUDIDADU_EXPORT DUDIDADU_BOOL_ DUDIDADU_CALL DSoundIsPlaying(DUDIDADU_HANDLE_ sound);

/* Controls: setters return 1 on success; getters return 0 on failure. */
DUDIDADU_EXPORT DUDIDADU_BOOL_ DUDIDADU_CALL DSoundSetVolume(DUDIDADU_HANDLE_ sound, DUDIDADU_LONG_ volume);
DUDIDADU_EXPORT DUDIDADU_BOOL_ DUDIDADU_CALL DSoundSetPan(DUDIDADU_HANDLE_ sound, DUDIDADU_LONG_ pan);
DUDIDADU_EXPORT DUDIDADU_BOOL_ DUDIDADU_CALL DSoundSetFrequency(DUDIDADU_HANDLE_ sound, DUDIDADU_DWORD_ frequency);
DUDIDADU_EXPORT DUDIDADU_LONG_ DUDIDADU_CALL DSoundGetVolume(DUDIDADU_HANDLE_ sound);
DUDIDADU_EXPORT DUDIDADU_LONG_ DUDIDADU_CALL DSoundGetPan(DUDIDADU_HANDLE_ sound);
DUDIDADU_EXPORT DUDIDADU_DWORD_ DUDIDADU_CALL DSoundGetFrequency(DUDIDADU_HANDLE_ sound);

#ifdef __cplusplus
}
#endif

#undef DUDIDADU_BOOL_
#undef DUDIDADU_DWORD_
#undef DUDIDADU_LONG_
#undef DUDIDADU_HANDLE_
#undef DUDIDADU_PATH_
#undef DUDIDADU_WINDOW_
#undef DUDIDADU_KEPT_

#endif /* DUDIDADU_H */
