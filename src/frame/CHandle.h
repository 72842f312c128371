// What the application holds for a device or a sound: a value, never an
// address. It names a slot of the registry (a device's, or a sound's within
// a device's) and the generation of that slot's occupant; each new occupant
// of a slot gets the next generation, so a handle that outlived its object
// is refused until its slot has been filled 2^20 - 1 more times, and never
// names the object that came after it. Handles fit in 32 bits on every
// platform: bit 0 is always set (no null, no aligned address), bit 1 tells
// a sound from a device, bits 2-6 are the device's slot, bits 7-11 the
// sound's slot (0 in a device's handle) and bits 12-31 the generation,
// never 0.
#pragma once

#include "platform/winapi.h"

#include <stdint.h>

class CHandle {
public:
    enum {
        GENERATION_BITS = 20,
        GENERATION_MASK = (1 << GENERATION_BITS) - 1,
    };

    static LPVOID MakeDevice(int device, DWORD generation) { return _make(0, device, 0, generation); }
    static LPVOID MakeSound(int device, int sound, DWORD generation)
    {
        return _make(SOUND, device, sound, generation);
    }

    // TRUE, with the parts, when the value is a handle of that kind. The
    // value is only looked at, never followed.
    static BOOL ParseDevice(LPCVOID handle, int *device, DWORD *generation)
    {
        int sound = 0;
        return _parse(handle, 0, device, &sound, generation) && sound == 0;
    }
    static BOOL ParseSound(LPCVOID handle, int *device, int *sound, DWORD *generation)
    {
        return _parse(handle, SOUND, device, sound, generation);
    }

private:
    static constexpr uintptr_t TAG = 1;
    static constexpr uintptr_t SOUND = 2;
    static constexpr uintptr_t SLOT_MASK = 31;
    static constexpr int DEVICE_SHIFT = 2;
    static constexpr int SOUND_SHIFT = 7;
    static constexpr int GENERATION_SHIFT = 12;

    static LPVOID _make(uintptr_t kind, int device, int sound, DWORD generation)
    {
        return reinterpret_cast<LPVOID>(TAG | kind | (static_cast<uintptr_t>(device) & SLOT_MASK) << DEVICE_SHIFT |
                                        (static_cast<uintptr_t>(sound) & SLOT_MASK) << SOUND_SHIFT |
                                        static_cast<uintptr_t>(generation & GENERATION_MASK) << GENERATION_SHIFT);
    }

    static BOOL _parse(LPCVOID handle, uintptr_t kind, int *device, int *sound, DWORD *generation)
    {
        const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
        if ((value & (TAG | SOUND)) != (TAG | kind) || static_cast<unsigned long long>(value) >> 32 != 0)
            return FALSE;
        *device = static_cast<int>(value >> DEVICE_SHIFT & SLOT_MASK);
        *sound = static_cast<int>(value >> SOUND_SHIFT & SLOT_MASK);
        *generation = static_cast<DWORD>(value >> GENERATION_SHIFT & GENERATION_MASK);
        return *generation != 0;
    }
};
