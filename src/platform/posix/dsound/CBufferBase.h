// What the primary and the secondary buffers share: the device they hold,
// their capability flags and DirectSound's checks of arguments and controls,
// so that both answer a bad call with the same error.
//
// The buffers of a device orphaned by a fork (see CDirectSound) are lost,
// as DirectSound's buffers are when another application takes the device:
// Lock, Play and Restore fail at once with DSERR_BUFFERLOST, which a caller
// already handles by restoring and, when that fails too, giving up; the
// status reads DSBSTATUS_BUFFERLOST, never playing. The other calls act on
// the buffer's own state.
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
    // The buffer can no longer be heard: its device was orphaned.
    bool _is_lost() const;
    // DS_OK when SetVolume or SetPan may apply the value.
    HRESULT _check_volume(LONG volume) const;
    HRESULT _check_pan(LONG pan) const;

    CDirectSound *const m_pDevice;
    const DWORD m_dwFlags;
};
