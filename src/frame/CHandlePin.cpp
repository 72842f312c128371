#include "frame/CHandlePin.h"

#include "device/CDSoundDevice.h"
#include "sound/CDSoundObject.h"

CHandlePin::~CHandlePin()
{
    // The sound first: it needs its device's DirectSound to the end.
    if (m_pSound)
        m_pSound->Release();
    if (m_pDevice)
        m_pDevice->Release();
}

BOOL CHandlePin::PinDevice(CDSoundManager &registry, LPCVOID device)
{
    m_pDevice = registry.PinDevice(device);
    return m_pDevice != nullptr;
}

BOOL CHandlePin::PinSound(CDSoundManager &registry, LPCVOID sound)
{
    m_pSound = registry.PinSound(sound, &m_pDevice);
    return m_pSound != nullptr;
}
