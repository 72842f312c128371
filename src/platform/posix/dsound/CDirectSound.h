// One DirectSound device: a software device whose mixer renders every
// buffer into one output. The application's references (AddRef/Release)
// decide when the mixer thread stops and the output closes; the buffers
// hold the object itself, so that a buffer outliving its device is still
// safe to call.
//
// In the child of a fork the device is orphaned: its mixer thread is the
// parent's, and so is its output. Nothing is heard there any more; the
// buffers report themselves lost (see CBufferBase), and the thread and the
// output are handed to CDeviceRegistry for good instead of being stopped.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/posix/dsound/CMixer.h"
#include "platform/posix/dsound/CUnknownObject.h"
#include "platform/posix/output/CAudioOutput.h"

class CMixerThread;
class CPrimaryBuffer;

class CDirectSound final : public CUnknownObject<IDirectSound, IID_IDirectSound> {
public:
    // The output rate of a device without an output; a device with one
    // mixes at the output's rate, stereo, in the output's periods. Blocks of
    // 5 ms are what the mixer is tested and measured with.
    static constexpr DWORD kOutputRate = 48000;
    static constexpr DWORD kPeriodFrames = kOutputRate / 200;

    // With an open stereo output, a mixer thread plays into it (the device
    // owns it) at its rate. Without one nothing runs by itself:
    // GetMixer().Render moves time on, at kOutputRate.
    explicit CDirectSound(CAudioOutput *output);

    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER *buffer,
                              LPUNKNOWN outer) override;
    HRESULT GetCaps(LPDSCAPS caps) override;
    HRESULT DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original,
                                 LPDIRECTSOUNDBUFFER *duplicate) override;
    HRESULT SetCooperativeLevel(HWND window, DWORD level) override;
    HRESULT Compact() override;
    HRESULT GetSpeakerConfig(LPDWORD config) override;
    HRESULT SetSpeakerConfig(DWORD config) override;
    HRESULT Initialize(LPCGUID device) override;

    CMixer &GetMixer() { return m_mixer; }

    // For the buffers.
    void Hold();
    void Drop();
    DWORD GetCooperativeLevel();
    void ForgetPrimary(CPrimaryBuffer *primary);
    // The primary buffer's format lives with the device.
    HRESULT SetPrimaryFormat(LPCWAVEFORMATEX format);
    std::vector<BYTE> GetPrimaryFormat();
    // True in the child of a fork made while the device existed.
    bool IsOrphaned() const { return m_bOrphaned.load(std::memory_order_relaxed); }

private:
    friend class CDeviceRegistry;
    // Every lock of the device, its primary buffer, its mixer and voices.
    void HoldForFork();
    void ReleaseAfterFork();
    // In the child, with the locks held.
    void Orphan();

    ~CDirectSound();
    void _last_release() override;
    HRESULT _create_primary(DWORD flags, LPDIRECTSOUNDBUFFER *buffer);
    HRESULT _create_secondary(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER *buffer);

    // The application's references are counted by the base; the buffers'
    // holds count here, plus one while the application has any.
    std::atomic<ULONG> m_lHolds;
    CMixer m_mixer;
    CMixerThread *m_pThread;
    CMixerThread *m_pOrphanedThread;  // the parent's, after a fork
    std::atomic<bool> m_bOrphaned;
    CDirectSound *m_pPreviousDevice;  // CDeviceRegistry's list
    CDirectSound *m_pNextDevice;

    std::mutex m_lock;
    DWORD m_dwLevel;
    DWORD m_dwSpeakerConfig;
    CPrimaryBuffer *m_pPrimary;  // not a reference: it forgets itself
    std::vector<BYTE> m_primaryFormat;
};
