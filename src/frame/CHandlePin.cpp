#include "frame/CHandlePin.h"

CHandlePin::~CHandlePin()
{
    if (!m_pRegistry)
        return;
    if (m_pSound)
        m_pRegistry->UnpinSound(m_pHandle);
    else
        m_pRegistry->UnpinDevice(m_pHandle);
}

BOOL CHandlePin::PinDevice(CDSoundManager &registry, LPCVOID device)
{
    m_pDevice = registry.PinDevice(device);
    if (m_pDevice) {
        m_pRegistry = &registry;
        m_pHandle = device;
    }
    return m_pDevice != nullptr;
}

BOOL CHandlePin::PinSound(CDSoundManager &registry, LPCVOID sound)
{
    m_pSound = registry.PinSound(sound, &m_pDevice);
    if (m_pSound) {
        m_pRegistry = &registry;
        m_pHandle = sound;
    }
    return m_pSound != nullptr;
}
