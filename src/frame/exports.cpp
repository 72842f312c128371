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
#include "sound/CDSoundObject.h"

CDSoundManager g_DSoundManager;

// The sound behind a handle that some registered device holds, or null. Only
// valid while the caller holds the export lock.
static CDSoundObject *FindSound(LPVOID sound)
{
    return g_DSoundManager.IsSound(sound) ? static_cast<CDSoundObject *>(sound) : nullptr;
}

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
        // Exclusive: the new sound appears in a table that others scan.
        CExportLock lock(g_DSoundManager, TRUE);
        if (g_DSoundManager.IsDevice(device))
            result = static_cast<CDSoundDevice *>(device)->OpenSound(path);
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
        if (g_DSoundManager.IsDevice(device))
            result = static_cast<CDSoundDevice *>(device)->OpenSoundMem(image, size);
    } catch (...) {
        result = nullptr;
    }
    return result;
}

void DUDIDADU_CALL DSoundClose(LPVOID sound)
{
    try {
        CExportLock lock(g_DSoundManager, TRUE);
        if (CDSoundDevice *owner = g_DSoundManager.FindSoundOwner(sound))
            owner->CloseSound(sound);
    } catch (...) {
    }
}

BOOL DUDIDADU_CALL DSoundPlay(LPVOID sound, BOOL loop)
{
    BOOL result = 0;
    try {
        // Exclusive: a play replaces the sound's monitor thread, which a
        // second play or IsPlaying on the same sound must not see half done.
        CExportLock lock(g_DSoundManager, TRUE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->Play(loop);
    } catch (...) {
        result = 0;
    }
    return result;
}

void DUDIDADU_CALL DSoundStop(LPVOID sound, LONG fade_ms)
{
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            object->Stop(fade_ms);
    } catch (...) {
    }
}

BOOL DUDIDADU_CALL DSoundIsPlaying(LPVOID sound)
{
    BOOL result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->IsPlaying();
    } catch (...) {
        result = 0;
    }
    return result;
}

BOOL DUDIDADU_CALL DSoundSetVolume(LPVOID sound, LONG volume)
{
    BOOL result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->SetVolume(volume);
    } catch (...) {
        result = 0;
    }
    return result;
}

BOOL DUDIDADU_CALL DSoundSetPan(LPVOID sound, LONG pan)
{
    BOOL result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->SetPan(pan);
    } catch (...) {
        result = 0;
    }
    return result;
}

BOOL DUDIDADU_CALL DSoundSetFrequency(LPVOID sound, DWORD frequency)
{
    BOOL result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->SetFrequency(frequency);
    } catch (...) {
        result = 0;
    }
    return result;
}

LONG DUDIDADU_CALL DSoundGetVolume(LPVOID sound)
{
    LONG result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->GetVolume();
    } catch (...) {
        result = 0;
    }
    return result;
}

LONG DUDIDADU_CALL DSoundGetPan(LPVOID sound)
{
    LONG result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->GetPan();
    } catch (...) {
        result = 0;
    }
    return result;
}

DWORD DUDIDADU_CALL DSoundGetFrequency(LPVOID sound)
{
    DWORD result = 0;
    try {
        CExportLock lock(g_DSoundManager, FALSE);
        if (CDSoundObject *object = FindSound(sound))
            result = object->GetFrequency();
    } catch (...) {
        result = 0;
    }
    return result;
}

}  // extern "C"
