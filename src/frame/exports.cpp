// The fourteen exports. Each runs its whole body, handle check included,
// inside one catch-all handler: nothing thrown inside ever reaches the
// application, which sees only the failure result (null, 0 or nothing).
// Only the forced unwind of a thread being cancelled goes on through, as it
// must; what the call held is let go by its holders' destructors.
// Each holds what its handle names (CHandlePin) for the length of the call,
// so that another thread may close or terminate it meanwhile without
// freeing it under this one, and none waits for another thread's work on
// other objects. A call that fails gives the application its reason through
// the platform's last error (errno on Linux); one that succeeds leaves the
// application's value as it was (CFailureReason).
#include "dudidadu.h"

#include "device/CDSoundDevice.h"
#include "frame/CDSoundManager.h"
#include "frame/CHandlePin.h"
#include "platform/CFailureReason.h"
#include "platform/CLog.h"
#include "platform/CThreadCancel.h"
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

// How an export's result shows a failure: by the failure value itself (a
// null handle, or 0 from a call that acts), or only by a reason noted (the
// questions, whose 0 is also an answer, and the calls without a result).
enum EFailureShown { BY_ZERO, BY_REASON };

void Finish(CFailureReason &reason, LPCSTR name, BOOL zero, EFailureShown shown)
{
    const DWORD noted = CFailureReason::Noted();
    if (noted != 0 || (zero && shown == BY_ZERO))
        CLog::Failed(name, noted ? noted : ERROR_GEN_FAILURE, reason.GetWhy());
    reason.End(zero && shown == BY_ZERO);
}

void NoteException()
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        CFailureReason::Note(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        CFailureReason::Note(ERROR_INTERNAL_ERROR);
    }
}

// One export's body; anything thrown ends as the failure result T() (null
// or 0).
template <class T, class Body>
T Guarded(LPCSTR name, EFailureShown shown, Body body)
{
    CFailureReason reason;
    T result = T();
    try {
        result = body();
    } catch (...) {
        CThreadCancel::PassOn();
        NoteException();
        result = T();
    }
    Finish(reason, name, result == T(), shown);
    return result;
}

// The same for an export without a result.
template <class Body>
void GuardedVoid(LPCSTR name, Body body)
{
    CFailureReason reason;
    try {
        body();
    } catch (...) {
        CThreadCancel::PassOn();
        NoteException();
    }
    Finish(reason, name, FALSE, BY_REASON);
}

// A call on one sound; an unknown handle gives T() too.
template <class T, class Call>
T OnSound(LPCSTR name, EFailureShown shown, LPVOID sound, Call call)
{
    return Guarded<T>(name, shown, [sound, &call]() -> T {
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
    return Guarded<LPVOID>("DSoundInitialize", BY_ZERO, [window, guid]() -> LPVOID {
        return g_DSoundManager.InitializeDevice(window, guid);
    });
}

void DUDIDADU_CALL DSoundTerminate(LPVOID device)
{
    GuardedVoid("DSoundTerminate", [device]() { g_DSoundManager.DestroyDevice(device); });
}

LPVOID DUDIDADU_CALL DSoundOpen(LPVOID device, LPCSTR path)
{
    return Guarded<LPVOID>("DSoundOpen", BY_ZERO, [device, path]() -> LPVOID {
        CHandlePin pin;
        return pin.PinDevice(g_DSoundManager, device) ? pin.GetDevice()->OpenSound(path) : nullptr;
    });
}

LPVOID DUDIDADU_CALL DSoundOpenMem(LPVOID device, LPVOID image, DWORD size)
{
    return Guarded<LPVOID>("DSoundOpenMem", BY_ZERO, [device, image, size]() -> LPVOID {
        CHandlePin pin;
        return pin.PinDevice(g_DSoundManager, device) ? pin.GetDevice()->OpenSoundMem(image, size)
                                                      : nullptr;
    });
}

void DUDIDADU_CALL DSoundClose(LPVOID sound)
{
    GuardedVoid("DSoundClose", [sound]() {
        CHandlePin pin;
        if (pin.PinSound(g_DSoundManager, sound))
            pin.GetDevice()->CloseSound(sound);
    });
}

BOOL DUDIDADU_CALL DSoundPlay(LPVOID sound, BOOL loop)
{
    return OnSound<BOOL>("DSoundPlay", BY_ZERO, sound,
                         [loop](CDSoundObject *object) { return object->Play(loop); });
}

void DUDIDADU_CALL DSoundStop(LPVOID sound, LONG fade_ms)
{
    OnSound<BOOL>("DSoundStop", BY_REASON, sound, [fade_ms](CDSoundObject *object) {
        object->Stop(fade_ms);
        return TRUE;
    });
}

BOOL DUDIDADU_CALL DSoundIsPlaying(LPVOID sound)
{
    return OnSound<BOOL>("DSoundIsPlaying", BY_REASON, sound,
                         [](CDSoundObject *object) { return object->IsPlaying(); });
}

BOOL DUDIDADU_CALL DSoundSetVolume(LPVOID sound, LONG volume)
{
    return OnSound<BOOL>("DSoundSetVolume", BY_ZERO, sound,
                         [volume](CDSoundObject *object) { return object->SetVolume(volume); });
}

BOOL DUDIDADU_CALL DSoundSetPan(LPVOID sound, LONG pan)
{
    return OnSound<BOOL>("DSoundSetPan", BY_ZERO, sound,
                         [pan](CDSoundObject *object) { return object->SetPan(pan); });
}

BOOL DUDIDADU_CALL DSoundSetFrequency(LPVOID sound, DWORD frequency)
{
    return OnSound<BOOL>("DSoundSetFrequency", BY_ZERO, sound, [frequency](CDSoundObject *object) {
        return object->SetFrequency(frequency);
    });
}

LONG DUDIDADU_CALL DSoundGetVolume(LPVOID sound)
{
    return OnSound<LONG>("DSoundGetVolume", BY_REASON, sound,
                         [](CDSoundObject *object) { return object->GetVolume(); });
}

LONG DUDIDADU_CALL DSoundGetPan(LPVOID sound)
{
    return OnSound<LONG>("DSoundGetPan", BY_REASON, sound,
                         [](CDSoundObject *object) { return object->GetPan(); });
}

DWORD DUDIDADU_CALL DSoundGetFrequency(LPVOID sound)
{
    return OnSound<DWORD>("DSoundGetFrequency", BY_REASON, sound,
                         [](CDSoundObject *object) { return object->GetFrequency(); });
}

}  // extern "C"
