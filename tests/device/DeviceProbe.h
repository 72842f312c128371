// The tests' view of a device's private state.
#pragma once

#include "device/CDSoundDevice.h"
#include "frame/CHandle.h"

struct CDSoundDeviceProbe {
    static HANDLE Mutex(const CDSoundDevice &d) { return d.m_hMutex; }
    static LPDIRECTSOUND DirectSound(const CDSoundDevice &d) { return d.m_pDirectSound; }
    static LPDIRECTSOUNDBUFFER Primary(const CDSoundDevice &d) { return d.m_pPrimary; }
    static CSlotTable<CDSoundObject> *Sounds(const CDSoundDevice &d) { return d.m_pSounds; }
    // The slot a sound handle names, and the sound in it (not held).
    static int SlotOf(LPCVOID sound)
    {
        int device = 0, slot = -1;
        DWORD generation = 0;
        return CHandle::ParseSound(sound, &device, &slot, &generation) ? slot : -1;
    }
    static CDSoundObject *Sound(const CDSoundDevice &d, LPCVOID sound)
    {
        const int slot = SlotOf(sound);
        return slot >= 0 && d.m_pSounds ? d.m_pSounds->At(slot) : nullptr;
    }
};
