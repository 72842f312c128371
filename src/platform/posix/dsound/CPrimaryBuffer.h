// The primary buffer of a device: its format and play state as the
// application sees them. The mixer's output does not depend on them; mixing
// always happens at the output's own rate and in float.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/winapi.h"

class CDirectSound;

class CPrimaryBuffer final : public IDirectSoundBuffer {
public:
    // Holds the device until the last Release.
    CPrimaryBuffer(CDirectSound *device, DWORD flags);

    // AddRef unless the last reference is already gone.
    bool TryAddRef();

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
    ~CPrimaryBuffer() = default;

    CDirectSound *const m_pDevice;
    const DWORD m_dwFlags;
    std::atomic<ULONG> m_lRefs;
    std::mutex m_lock;
    bool m_bPlaying;
    LONG m_lVolume;
    LONG m_lPan;
};
