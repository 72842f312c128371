// The fake COM objects. Each method takes the state lock for its whole run,
// logs itself and answers as the script says.
#pragma once

#include "FakeState.h"

namespace fakeds {

class FakeSoundBuffer;

class FakeDirectSound final : public IDirectSound {
public:
    FakeDirectSound();

    // What the core never calls fails plainly, unlogged.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER *buffer,
                                                LPUNKNOWN outer) override;
    HRESULT STDMETHODCALLTYPE GetCaps(LPDSCAPS caps) override;
    HRESULT STDMETHODCALLTYPE DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER, LPDIRECTSOUNDBUFFER *) override
    {
        return DSERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE SetCooperativeLevel(HWND window, DWORD level) override;
    HRESULT STDMETHODCALLTYPE Compact() override { return DSERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetSpeakerConfig(LPDWORD) override { return DSERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE SetSpeakerConfig(DWORD) override { return DSERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE Initialize(LPCGUID) override { return DSERR_UNSUPPORTED; }

    int m_id;
    ULONG m_refs = 1;
    std::shared_ptr<DeviceLife> m_life;

private:
    template <class Body>
    HRESULT Run(const char *method, std::vector<long long> args, Body body,
                const std::vector<unsigned char> *data = nullptr)
    {
        return State().Answer(nullptr, "DirectSound", m_id, method, std::move(args), body, data);
    }
};

class FakeSoundBuffer final : public IDirectSoundBuffer {
public:
    FakeSoundBuffer(std::shared_ptr<DeviceLife> life, bool primary, int id,
                    const WAVEFORMATEX *format, DWORD bytes);

    // What the core never calls fails plainly, unlogged.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetCaps(LPDSBCAPS) override { return DSERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD play, LPDWORD write) override;
    HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX, DWORD, LPDWORD) override
    {
        return DSERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetVolume(LPLONG volume) override;
    HRESULT STDMETHODCALLTYPE GetPan(LPLONG pan) override;
    HRESULT STDMETHODCALLTYPE GetFrequency(LPDWORD frequency) override;
    HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override;
    HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC) override { return DSERR_UNSUPPORTED; }
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
    // A one-shot in real time: where it was and when, since its start or
    // its last change of frequency.
    bool m_realTime = false;
    DWORD m_anchorPosition = 0;
    std::chrono::steady_clock::time_point m_anchor;

private:
    const char *Kind() const { return m_primary ? "primary" : "secondary"; }
    // Under the state's lock: a one-shot in real time moved on to now,
    // stopped at its end; then anchored anew at now.
    void MoveOn();
    long long OffsetOf(const void *p) const;

    template <class Body>
    HRESULT Run(const char *method, std::vector<long long> args, Body body,
                const std::vector<unsigned char> *data = nullptr)
    {
        return State().Answer(m_life.get(), Kind(), m_id, method, std::move(args), body, data);
    }
    // A getter: logs the value returned (0 on failure); `unavailable` fails it.
    template <class T>
    HRESULT Get(const char *method, T *out, const T *value, bool unavailable = false)
    {
        return Run(method, {0}, [&](std::vector<long long> &logged) {
            if (!out)
                return DSERR_INVALIDPARAM;
            if (unavailable)
                return DSERR_CONTROLUNAVAIL;
            *out = *value;
            logged = {static_cast<long long>(*value)};
            return kOk;
        });
    }
    HRESULT Set(const char *method, LONG value, LONG *field, LONG min, LONG max)
    {
        return Run(method, {value}, [&](std::vector<long long> &) {
            if (value < min || value > max)
                return DSERR_INVALIDPARAM;
            *field = value;
            return kOk;
        });
    }
};

}  // namespace fakeds
