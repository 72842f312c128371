// A secondary buffer as the application holds it: the checks and error
// codes of DirectSound in front of a voice of the device's mixer.
#pragma once

#include <atomic>
#include <memory>

#include "platform/posix/dsound/CVoice.h"

class CDirectSound;

class CSoundBuffer final : public IDirectSoundBuffer {
public:
    // Holds the device until the last Release; the voice is already in the
    // device's mixer.
    CSoundBuffer(CDirectSound *device, const std::shared_ptr<CVoice> &voice, DWORD flags);

    HRESULT QueryInterface(REFIID riid, void **ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetCaps(LPDSBCAPS caps) override;
    HRESULT GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor) override;
    HRESULT GetFormat(LPWAVEFORMATEX format, DWORD sizeAllocated, LPDWORD sizeWritten) override;
    HRESULT GetVolume(LPLONG volume) override;
    HRESULT GetPan(LPLONG pan) override;
    HRESULT GetFrequency(LPDWORD frequency) override;
    HRESULT GetStatus(LPDWORD status) override;
    HRESULT Initialize(LPDIRECTSOUND directSound, LPCDSBUFFERDESC desc) override;
    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID *audio1, LPDWORD bytes1, LPVOID *audio2,
                 LPDWORD bytes2, DWORD flags) override;
    HRESULT Play(DWORD reserved1, DWORD priority, DWORD flags) override;
    HRESULT SetCurrentPosition(DWORD position) override;
    HRESULT SetFormat(LPCWAVEFORMATEX format) override;
    HRESULT SetVolume(LONG volume) override;
    HRESULT SetPan(LONG pan) override;
    HRESULT SetFrequency(DWORD frequency) override;
    HRESULT Stop() override;
    HRESULT Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2, DWORD bytes2) override;
    HRESULT Restore() override;

private:
    ~CSoundBuffer() = default;
    bool _inside(LPVOID audio, DWORD bytes) const;

    CDirectSound *const m_pDevice;
    const std::shared_ptr<CVoice> m_pVoice;
    const DWORD m_dwFlags;
    std::atomic<ULONG> m_lRefs;
};
