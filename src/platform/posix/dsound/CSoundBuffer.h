// A secondary buffer as the application holds it: the checks and error
// codes of DirectSound in front of a voice of the device's mixer.
#pragma once

#include <memory>

#include "platform/posix/dsound/CBufferBase.h"
#include "platform/posix/dsound/CVoice.h"

class CSoundBuffer final : public CBufferBase {
public:
    // Holds the device until the last Release; the voice is already in the
    // device's mixer.
    CSoundBuffer(CDirectSound *device, const std::shared_ptr<CVoice> &voice, DWORD flags);

    HRESULT GetCaps(LPDSBCAPS caps) override;
    HRESULT GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor) override;
    HRESULT GetFormat(LPWAVEFORMATEX format, DWORD sizeAllocated, LPDWORD sizeWritten) override;
    HRESULT GetVolume(LPLONG volume) override;
    HRESULT GetPan(LPLONG pan) override;
    HRESULT GetFrequency(LPDWORD frequency) override;
    HRESULT GetStatus(LPDWORD status) override;
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

private:
    ~CSoundBuffer() = default;
    void _last_release() override;
    bool _inside(LPVOID audio, DWORD bytes) const;

    const std::shared_ptr<CVoice> m_pVoice;
};
