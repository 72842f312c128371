// What one export holds of the object behind its handle for the length of
// the call: the device, or the sound (which holds its device itself).
// Nothing it holds is destroyed before it lets go; letting go may destroy
// what others have meanwhile closed or terminated. It lets go in its
// destructor, also when an unwind passes.
#pragma once

#include "frame/CDSoundManager.h"

class CDSoundDevice;
class CDSoundObject;

class CHandlePin {
public:
    CHandlePin() : m_pRegistry(nullptr), m_pHandle(nullptr), m_pDevice(nullptr), m_pSound(nullptr) {}
    ~CHandlePin();

    // TRUE when the handle is a registered device or sound, now held.
    BOOL PinDevice(CDSoundManager &registry, LPCVOID device);
    BOOL PinSound(CDSoundManager &registry, LPCVOID sound);

    // The device held, or the sound's device.
    CDSoundDevice *GetDevice() const { return m_pDevice; }
    CDSoundObject *GetSound() const { return m_pSound; }

private:
    CHandlePin(const CHandlePin &) = delete;
    CHandlePin &operator=(const CHandlePin &) = delete;

    CDSoundManager *m_pRegistry;  // set while something is held
    LPCVOID m_pHandle;
    CDSoundDevice *m_pDevice;
    CDSoundObject *m_pSound;
};
