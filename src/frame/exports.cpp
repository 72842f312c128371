// The fourteen exports. Each runs its whole body, handle check included,
// inside one catch-all handler: nothing thrown inside ever reaches the
// application, which sees only the failure result (null, 0 or nothing).
// Each holds what its handle names (CHandlePin) for the length of the call,
// so that another thread may close or terminate it meanwhile without
// freeing it under this one, and none waits for another thread's work on
// other objects.
#include "dudidadu.h"

#include "device/CDSoundDevice.h"
#include "frame/CDSoundManager.h"
#include "frame/CHandlePin.h"
#include "platform/winapi.h"
#include "sound/CDSoundObject.h"

#include <new>

CDSoundManager &g_DSoundManager = *new CDSoundManager;

namespace {

// At the end of the process other threads may still be inside the library,
// the sounds' monitors and DirectSound's own threads may still run, and on
// Windows nothing may wait for a thread or release DirectSound under the
// loader lock: the registry only closes, and the system takes back the rest.
class CRegistryCloser {
public:
    ~CRegistryCloser() { g_DSoundManager.Close(); }
} s_registryCloser;

// One export's body; anything thrown ends as the failure result T() (null,
// 0 or nothing).
template <class T, class Body>
T Guarded(Body body)
{
    try {
        return body();
    } catch (...) {
        return T();
    }
}

// The same for a call on one sound; an unknown handle gives T() too.
template <class T, class Call>
T OnSound(LPVOID sound, Call call)
{
    return Guarded<T>([sound, &call]() -> T {
        CHandlePin pin;
        return pin.PinSound(g_DSoundManager, sound) ? call(pin.GetSound()) : T();
    });
}

}  // namespace

extern "C" {

LPVOID DUDIDADU_CALL DSoundInitialize(HWND window, const GUID *device)
{
    // The GUID is only read (by the probe and DirectSoundCreate) on its way down.
    LPGUID guid = const_cast<LPGUID>(device);
    return Guarded<LPVOID>([window, guid]() -> LPVOID {
        return g_DSoundManager.InitializeDevice(window, guid);
    });
}

void DUDIDADU_CALL DSoundTerminate(LPVOID device)
{
    Guarded<void>([device]() { g_DSoundManager.DestroyDevice(device); });
}

LPVOID DUDIDADU_CALL DSoundOpen(LPVOID device, LPCSTR path)
{
    return Guarded<LPVOID>([device, path]() -> LPVOID {
        CHandlePin pin;
        return pin.PinDevice(g_DSoundManager, device) ? pin.GetDevice()->OpenSound(path) : nullptr;
    });
}

LPVOID DUDIDADU_CALL DSoundOpenMem(LPVOID device, LPVOID image, DWORD size)
{
    return Guarded<LPVOID>([device, image, size]() -> LPVOID {
        CHandlePin pin;
        return pin.PinDevice(g_DSoundManager, device) ? pin.GetDevice()->OpenSoundMem(image, size)
                                                      : nullptr;
    });
}

void DUDIDADU_CALL DSoundClose(LPVOID sound)
{
    Guarded<void>([sound]() {
        CHandlePin pin;
        if (pin.PinSound(g_DSoundManager, sound))
            pin.GetDevice()->CloseSound(sound);
    });
}

BOOL DUDIDADU_CALL DSoundPlay(LPVOID sound, BOOL loop)
{
    return OnSound<BOOL>(sound, [loop](CDSoundObject *object) { return object->Play(loop); });
}

void DUDIDADU_CALL DSoundStop(LPVOID sound, LONG fade_ms)
{
    OnSound<void>(sound, [fade_ms](CDSoundObject *object) { object->Stop(fade_ms); });
}

BOOL DUDIDADU_CALL DSoundIsPlaying(LPVOID sound)
{
    return OnSound<BOOL>(sound, [](CDSoundObject *object) { return object->IsPlaying(); });
}

BOOL DUDIDADU_CALL DSoundSetVolume(LPVOID sound, LONG volume)
{
    return OnSound<BOOL>(sound, [volume](CDSoundObject *object) { return object->SetVolume(volume); });
}

BOOL DUDIDADU_CALL DSoundSetPan(LPVOID sound, LONG pan)
{
    return OnSound<BOOL>(sound, [pan](CDSoundObject *object) { return object->SetPan(pan); });
}

BOOL DUDIDADU_CALL DSoundSetFrequency(LPVOID sound, DWORD frequency)
{
    return OnSound<BOOL>(sound, [frequency](CDSoundObject *object) {
        return object->SetFrequency(frequency);
    });
}

LONG DUDIDADU_CALL DSoundGetVolume(LPVOID sound)
{
    return OnSound<LONG>(sound, [](CDSoundObject *object) { return object->GetVolume(); });
}

LONG DUDIDADU_CALL DSoundGetPan(LPVOID sound)
{
    return OnSound<LONG>(sound, [](CDSoundObject *object) { return object->GetPan(); });
}

DWORD DUDIDADU_CALL DSoundGetFrequency(LPVOID sound)
{
    return OnSound<DWORD>(sound, [](CDSoundObject *object) { return object->GetFrequency(); });
}

}  // extern "C"
