// The fourteen exports. Each runs its whole body, handle check included,
// inside one catch-all handler: nothing thrown inside ever reaches the
// application, which sees only the failure result (null, 0 or nothing).
// Each holds the registry's export lock from its handle check to the end of
// the call it forwards, so that a sound or device cannot be destroyed by
// another thread while it is in use.
#include "dudidadu.h"

#include "device/CDSoundDevice.h"
#include "frame/CDSoundManager.h"
#include "frame/CExportLock.h"
#include "platform/winapi.h"

CDSoundManager g_DSoundManager;

extern "C" {

LPVOID DUDIDADU_CALL DSoundInitialize(HWND window, LPGUID device)
{
    LPVOID result = nullptr;
    try {
        // Exclusive: the look-up and the creation form one step, so two
        // callers for the same window get the same device.
        CExportLock lock(g_DSoundManager, TRUE);
        result = g_DSoundManager.FindDevice(window);
        if (!result)
            result = g_DSoundManager.CreateDevice(window, device);
    } catch (...) {
        result = nullptr;
    }
    return result;
}

void DUDIDADU_CALL DSoundTerminate(LPVOID device)
{
    try {
        CExportLock lock(g_DSoundManager, TRUE);
        g_DSoundManager.DestroyDevice(device);
    } catch (...) {
    }
}

LPVOID DUDIDADU_CALL DSoundOpen(LPVOID device, LPCSTR path)
{
    LPVOID result = nullptr;
    try {
        CExportLock lock(g_DSoundManager, TRUE);
        (void)device;
        (void)path;
    } catch (...) {
        result = nullptr;
    }
    return result;
}

LPVOID DUDIDADU_CALL DSoundOpenMem(LPVOID device, LPVOID image, DWORD size)
{
    LPVOID result = nullptr;
    try {
        CExportLock lock(g_DSoundManager, TRUE);
        (void)device;
        (void)image;
        (void)size;
    } catch (...) {
        result = nullptr;
    }
    return result;
}

void DUDIDADU_CALL DSoundClose(LPVOID sound)
{
    try {
        CExportLock lock(g_DSoundManager, TRUE);
        (void)sound;
    } catch (...) {
    }
}

BOOL DUDIDADU_CALL DSoundPlay(LPVOID sound, BOOL loop)
{
    (void)sound;
    (void)loop;
    return 0;
}

void DUDIDADU_CALL DSoundStop(LPVOID sound, LONG fade_ms)
{
    (void)sound;
    (void)fade_ms;
}

BOOL DUDIDADU_CALL DSoundIsPlaying(LPVOID sound)
{
    (void)sound;
    return 0;
}

BOOL DUDIDADU_CALL DSoundSetVolume(LPVOID sound, LONG volume)
{
    (void)sound;
    (void)volume;
    return 0;
}

BOOL DUDIDADU_CALL DSoundSetPan(LPVOID sound, LONG pan)
{
    (void)sound;
    (void)pan;
    return 0;
}

BOOL DUDIDADU_CALL DSoundSetFrequency(LPVOID sound, DWORD frequency)
{
    (void)sound;
    (void)frequency;
    return 0;
}

LONG DUDIDADU_CALL DSoundGetVolume(LPVOID sound)
{
    (void)sound;
    return 0;
}

LONG DUDIDADU_CALL DSoundGetPan(LPVOID sound)
{
    (void)sound;
    return 0;
}

DWORD DUDIDADU_CALL DSoundGetFrequency(LPVOID sound)
{
    (void)sound;
    return 0;
}

}  // extern "C"
