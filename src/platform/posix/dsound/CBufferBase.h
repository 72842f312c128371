// What the primary and the secondary buffers share: the device they hold,
// their capability flags and DirectSound's checks of arguments and controls,
// so that both answer a bad call with the same error.
#pragma once

#include "platform/posix/dsound/CUnknownObject.h"

class CDirectSound;

class CBufferBase : public CUnknownObject<IDirectSoundBuffer, IID_IDirectSoundBuffer> {
public:
    HRESULT Initialize(LPDIRECTSOUND directSound, LPCDSBUFFERDESC desc) override;
    HRESULT Restore() override;

protected:
    // Holds the device; the derived class drops it after its last Release.
    CBufferBase(CDirectSound *device, DWORD flags);
    ~CBufferBase() = default;

    // GetCaps for a buffer of the given size.
    HRESULT _get_caps(LPDSBCAPS caps, DWORD bytes) const;
    // GetFormat: the size of the record, the record itself, or both.
    static HRESULT _get_format(const void *record, DWORD size, LPWAVEFORMATEX format,
                               DWORD sizeAllocated, LPDWORD sizeWritten);
    // DS_OK when the buffer has the control and there is a place for the value.
    HRESULT _check_get(DWORD control, const void *value) const;
    // DS_OK when SetVolume or SetPan may apply the value.
    HRESULT _check_volume(LONG volume) const;
    HRESULT _check_pan(LONG pan) const;

    CDirectSound *const m_pDevice;
    const DWORD m_dwFlags;
};
