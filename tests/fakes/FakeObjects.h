// The fake COM objects. Each method takes the state lock for its whole run,
// logs itself and answers as the script says.
#pragma once

#include "FakeState.h"

namespace fakeds {

class FakeSoundBuffer;

class FakeDirectSound final : public IDirectSound {
public:
    FakeDirectSound();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER *buffer,
                                                LPUNKNOWN outer) override;
    HRESULT STDMETHODCALLTYPE GetCaps(LPDSCAPS caps) override;
    HRESULT STDMETHODCALLTYPE DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original,
                                                   LPDIRECTSOUNDBUFFER *duplicate) override;
    HRESULT STDMETHODCALLTYPE SetCooperativeLevel(HWND window, DWORD level) override;
    HRESULT STDMETHODCALLTYPE Compact() override;
    HRESULT STDMETHODCALLTYPE GetSpeakerConfig(LPDWORD config) override;
    HRESULT STDMETHODCALLTYPE SetSpeakerConfig(DWORD config) override;
    HRESULT STDMETHODCALLTYPE Initialize(LPCGUID device) override;

    int m_id;
    ULONG m_refs = 1;
    std::shared_ptr<DeviceLife> m_life;
};

class FakeSoundBuffer final : public IDirectSoundBuffer {
public:
    FakeSoundBuffer(std::shared_ptr<DeviceLife> life, bool primary, int id,
                    const WAVEFORMATEX *format, DWORD bytes);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetCaps(LPDSBCAPS caps) override;
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor) override;
    HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX format, DWORD sizeAllocated,
                                        LPDWORD sizeWritten) override;
    HRESULT STDMETHODCALLTYPE GetVolume(LPLONG volume) override;
    HRESULT STDMETHODCALLTYPE GetPan(LPLONG pan) override;
    HRESULT STDMETHODCALLTYPE GetFrequency(LPDWORD frequency) override;
    HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override;
    HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUND directSound, LPCDSBUFFERDESC desc) override;
    HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID *audio1, LPDWORD bytes1,
                                   LPVOID *audio2, LPDWORD bytes2, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Play(DWORD reserved1, DWORD priority, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) override;
    HRESULT STDMETHODCALLTYPE SetFormat(LPCWAVEFORMATEX format) override;
    HRESULT STDMETHODCALLTYPE SetVolume(LONG volume) override;
    HRESULT STDMETHODCALLTYPE SetPan(LONG pan) override;
    HRESULT STDMETHODCALLTYPE SetFrequency(DWORD frequency) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                     DWORD bytes2) override;
    HRESULT STDMETHODCALLTYPE Restore() override;

    std::shared_ptr<DeviceLife> m_life;
    bool m_primary;
    int m_id;
    ULONG m_refs = 1;
    WAVEFORMATEX m_format;
    std::vector<unsigned char> m_data;
    DWORD m_position = 0;
    LONG m_volume = 0;
    LONG m_pan = 0;
    DWORD m_frequency = 0;
    bool m_playing = false;
    bool m_looping = false;
    int m_queriesLeft = -1;

private:
    const char *Kind() const { return m_primary ? "primary" : "secondary"; }
    // Under the lock: notes a call on a buffer whose DirectSound is gone.
    void CheckOrphan(const char *method);
    long long OffsetOf(const void *p) const;
};

}  // namespace fakeds
