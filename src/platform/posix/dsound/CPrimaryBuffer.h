// The primary buffer of a device: its format and play state as the
// application sees them. The mixer's output does not depend on them; mixing
// always happens at the output's own rate and in float.
#pragma once

#include <mutex>

#include "platform/posix/dsound/CBufferBase.h"

class CPrimaryBuffer final : public CBufferBase {
public:
    // Holds the device until the last Release.
    CPrimaryBuffer(CDirectSound *device, DWORD flags);

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

    // fork(), from the device: the state is whole in the child, and its lock free.
    void HoldForFork() { m_lock.lock(); }
    void ReleaseAfterFork() { m_lock.unlock(); }

private:
    ~CPrimaryBuffer() = default;
    void _last_release() override;

    std::mutex m_lock;
    bool m_bPlaying;
    LONG m_lVolume;
    LONG m_lPan;
};
