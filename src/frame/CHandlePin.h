// What one export holds of the object behind its handle for the length of
// the call: a reference to the device, and to the sound when the handle is
// a sound's. Nothing it holds is destroyed before it lets go; letting go may
// destroy what others have meanwhile closed or terminated.
#pragma once

#include "frame/CDSoundManager.h"

class CDSoundDevice;
class CDSoundObject;

class CHandlePin {
public:
    CHandlePin() : m_pDevice(nullptr), m_pSound(nullptr) {}
    ~CHandlePin();

    // TRUE when the handle is a registered device or sound, now held.
    BOOL PinDevice(CDSoundManager &registry, LPCVOID device);
    BOOL PinSound(CDSoundManager &registry, LPCVOID sound);

    CDSoundDevice *GetDevice() const { return m_pDevice; }
    CDSoundObject *GetSound() const { return m_pSound; }

private:
    CHandlePin(const CHandlePin &) = delete;
    CHandlePin &operator=(const CHandlePin &) = delete;

    CDSoundDevice *m_pDevice;
    CDSoundObject *m_pSound;
};
