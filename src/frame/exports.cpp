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

// One export's body under the export lock. Anything thrown ends as the
// failure result T() (null, 0 or nothing), with the lock already released.
template <class T, class Body>
static T Guarded(BOOL exclusive, Body body)
{
    try {
        CExportLock lock(g_DSoundManager, exclusive);
        return body();
    } catch (...) {
        return T();
    }
}

// The same for a call on one sound; an unknown handle gives T() too.
template <class T, class Call>
static T OnSound(LPVOID sound, BOOL exclusive, Call call)
{
    return Guarded<T>(exclusive, [sound, &call]() -> T {
        CDSoundObject *object = FindSound(sound);
        return object != nullptr ? call(object) : T();
    });
}

extern "C" {

LPVOID DUDIDADU_CALL DSoundInitialize(HWND window, LPGUID device)
{
    // Exclusive: the look-up and the creation form one step, so two callers
    // for the same window get the same device.
    return Guarded<LPVOID>(TRUE, [window, device]() -> LPVOID {
        LPVOID found = g_DSoundManager.FindDevice(window);
        return found ? found : g_DSoundManager.CreateDevice(window, device);
    });
}

void DUDIDADU_CALL DSoundTerminate(LPVOID device)
{
    Guarded<void>(TRUE, [device]() { g_DSoundManager.DestroyDevice(device); });
}

LPVOID DUDIDADU_CALL DSoundOpen(LPVOID device, LPCSTR path)
{
    // Exclusive: the new sound appears in a table that others scan.
    return Guarded<LPVOID>(TRUE, [device, path]() -> LPVOID {
        if (!g_DSoundManager.IsDevice(device))
            return nullptr;
        return static_cast<CDSoundDevice *>(device)->OpenSound(path);
    });
}

LPVOID DUDIDADU_CALL DSoundOpenMem(LPVOID device, LPVOID image, DWORD size)
{
    return Guarded<LPVOID>(TRUE, [device, image, size]() -> LPVOID {
        if (!g_DSoundManager.IsDevice(device))
            return nullptr;
        return static_cast<CDSoundDevice *>(device)->OpenSoundMem(image, size);
    });
}

void DUDIDADU_CALL DSoundClose(LPVOID sound)
{
    Guarded<void>(TRUE, [sound]() {
        if (CDSoundDevice *owner = g_DSoundManager.FindSoundOwner(sound))
            owner->CloseSound(sound);
    });
}

BOOL DUDIDADU_CALL DSoundPlay(LPVOID sound, BOOL loop)
{
    // Exclusive: a play replaces the sound's monitor thread, which a second
    // play or IsPlaying on the same sound must not see half done.
    return OnSound<BOOL>(sound, TRUE, [loop](CDSoundObject *object) { return object->Play(loop); });
}

void DUDIDADU_CALL DSoundStop(LPVOID sound, LONG fade_ms)
{
    OnSound<void>(sound, FALSE, [fade_ms](CDSoundObject *object) { object->Stop(fade_ms); });
}

BOOL DUDIDADU_CALL DSoundIsPlaying(LPVOID sound)
{
    return OnSound<BOOL>(sound, FALSE, [](CDSoundObject *object) { return object->IsPlaying(); });
}

BOOL DUDIDADU_CALL DSoundSetVolume(LPVOID sound, LONG volume)
{
    return OnSound<BOOL>(sound, FALSE,
                         [volume](CDSoundObject *object) { return object->SetVolume(volume); });
}

BOOL DUDIDADU_CALL DSoundSetPan(LPVOID sound, LONG pan)
{
    return OnSound<BOOL>(sound, FALSE, [pan](CDSoundObject *object) { return object->SetPan(pan); });
}

BOOL DUDIDADU_CALL DSoundSetFrequency(LPVOID sound, DWORD frequency)
{
    return OnSound<BOOL>(sound, FALSE, [frequency](CDSoundObject *object) {
        return object->SetFrequency(frequency);
    });
}

LONG DUDIDADU_CALL DSoundGetVolume(LPVOID sound)
{
    return OnSound<LONG>(sound, FALSE, [](CDSoundObject *object) { return object->GetVolume(); });
}

LONG DUDIDADU_CALL DSoundGetPan(LPVOID sound)
{
    return OnSound<LONG>(sound, FALSE, [](CDSoundObject *object) { return object->GetPan(); });
}

DWORD DUDIDADU_CALL DSoundGetFrequency(LPVOID sound)
{
    return OnSound<DWORD>(sound, FALSE,
                          [](CDSoundObject *object) { return object->GetFrequency(); });
}

}  // extern "C"
