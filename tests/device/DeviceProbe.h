// The tests' view of a device's private state.
#pragma once

#include "device/CDSoundDevice.h"

struct CDSoundDeviceProbe {
    static HANDLE Mutex(const CDSoundDevice &d) { return d.m_hMutex; }
    static LPDIRECTSOUND DirectSound(const CDSoundDevice &d) { return d.m_pDirectSound; }
    static LPDIRECTSOUNDBUFFER Primary(const CDSoundDevice &d) { return d.m_pPrimary; }
    static CSlotTable<CDSoundObject> *Sounds(const CDSoundDevice &d) { return d.m_pSounds; }
};
