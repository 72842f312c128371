#include "FakeObjects.h"

#include <cstring>

namespace fakeds {

using Hold = std::lock_guard<std::mutex>;

static std::vector<long long> FormatArgs(const WAVEFORMATEX *f)
{
    if (!f)
        return {};
    return {f->wFormatTag,     f->nChannels,      f->nSamplesPerSec, f->nAvgBytesPerSec,
            f->nBlockAlign,    f->wBitsPerSample, f->cbSize};
}

FakeDirectSound::FakeDirectSound() : m_id(0), m_life(std::make_shared<DeviceLife>()) {}

HRESULT STDMETHODCALLTYPE FakeDirectSound::QueryInterface(REFIID, void **ppv)
{
    Hold hold(State().m_lock);
    if (ppv)
        *ppv = nullptr;
    State().Record("DirectSound", m_id, this, "QueryInterface", {}, E_NOINTERFACE);
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FakeDirectSound::AddRef()
{
    Hold hold(State().m_lock);
    ++m_refs;
    State().Record("DirectSound", m_id, this, "AddRef", {m_refs}, DS_OK);
    return m_refs;
}

ULONG STDMETHODCALLTYPE FakeDirectSound::Release()
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    if (m_refs == 0) {
        s.Fault("DirectSound " + std::to_string(m_id) + ": Release without a reference");
        return 0;
    }
    const ULONG left = --m_refs;
    s.Record("DirectSound", m_id, this, "Release", {left}, DS_OK);
    if (left == 0) {
        // Real DirectSound takes its buffers down with it; the fake keeps
        // them and lists any later use as a fault.
        m_life->released = true;
        --s.m_live;
        delete this;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::CreateSoundBuffer(LPCDSBUFFERDESC desc,
                                                             LPDIRECTSOUNDBUFFER *buffer,
                                                             LPUNKNOWN outer)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    std::vector<long long> args;
    if (desc) {
        args = {desc->dwSize, desc->dwFlags, desc->dwBufferBytes, desc->dwReserved,
                desc->lpwfxFormat != nullptr};
        const std::vector<long long> format = FormatArgs(desc->lpwfxFormat);
        args.insert(args.end(), format.begin(), format.end());
    }
    const bool primary = desc && (desc->dwFlags & DSBCAPS_PRIMARYBUFFER);
    HRESULT hr = s.Scripted("DirectSound", m_id, this, "CreateSoundBuffer", args);
    if (buffer)
        *buffer = nullptr;
    if (hr == DS_OK) {
        if (!desc || (desc->dwSize != sizeof(DSBUFFERDESC1) && desc->dwSize != sizeof(DSBUFFERDESC)) ||
            !buffer || outer)
            hr = DSERR_INVALIDPARAM;
        else if (primary && (desc->lpwfxFormat || desc->dwBufferBytes))
            hr = DSERR_INVALIDPARAM;
        else if (!primary) {
            const WAVEFORMATEX *f = desc->lpwfxFormat;
            if (!f || f->nChannels == 0 || f->nSamplesPerSec == 0 || f->wBitsPerSample < 8 ||
                f->wBitsPerSample % 8 != 0 || f->nBlockAlign != f->nChannels * f->wBitsPerSample / 8 ||
                desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX)
                hr = DSERR_INVALIDPARAM;
        }
    }
    if (hr == DS_OK) {
        if (primary && m_life->primary) {
            // A second primary is the same object with one more reference.
            FakeSoundBuffer *existing = m_life->primary;
            ++existing->m_refs;
            *buffer = existing;
        } else if (primary) {
            FakeSoundBuffer *made = new FakeSoundBuffer(m_life, true, m_id, nullptr, 0);
            m_life->primary = made;
            ++s.m_live;
            *buffer = made;
        } else {
            *buffer = new FakeSoundBuffer(m_life, false, s.m_nextBuffer++, desc->lpwfxFormat,
                                          desc->dwBufferBytes);
            ++s.m_live;
        }
    }
    std::vector<unsigned char> block;
    if (desc && desc->lpwfxFormat) {
        const WAVEFORMATEX *f = desc->lpwfxFormat;
        const size_t size = sizeof(WAVEFORMATEX) + (f->wFormatTag == WAVE_FORMAT_PCM ? 0 : f->cbSize);
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(f);
        block.assign(bytes, bytes + size);
    }
    s.Record("DirectSound", m_id, this, "CreateSoundBuffer", args, hr, std::move(block));
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::GetCaps(LPDSCAPS caps)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    const std::vector<long long> args = {caps ? static_cast<long long>(caps->dwSize) : 0};
    HRESULT hr = s.Scripted("DirectSound", m_id, this, "GetCaps", args);
    if (hr == DS_OK && (!caps || caps->dwSize < sizeof(DSCAPS)))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK) {
        const DWORD size = caps->dwSize;
        std::memset(caps, 0, sizeof(DSCAPS));
        caps->dwSize = size;
        caps->dwFlags = s.m_capsFlags;
        caps->dwMinSecondarySampleRate = s.m_minRate;
        caps->dwMaxSecondarySampleRate = s.m_maxRate;
        caps->dwPrimaryBuffers = 1;
    }
    s.Record("DirectSound", m_id, this, "GetCaps", args, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER,
                                                                LPDIRECTSOUNDBUFFER *duplicate)
{
    Hold hold(State().m_lock);
    if (duplicate)
        *duplicate = nullptr;
    State().Record("DirectSound", m_id, this, "DuplicateSoundBuffer", {}, E_NOTIMPL);
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::SetCooperativeLevel(HWND window, DWORD level)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    const std::vector<long long> args = {static_cast<long long>(reinterpret_cast<intptr_t>(window)),
                                         level};
    const HRESULT hr = s.Scripted("DirectSound", m_id, this, "SetCooperativeLevel", args);
    if (hr == DS_OK)
        m_life->level = level;
    s.Record("DirectSound", m_id, this, "SetCooperativeLevel", args, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::Compact()
{
    Hold hold(State().m_lock);
    State().Record("DirectSound", m_id, this, "Compact", {}, DS_OK);
    return DS_OK;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::GetSpeakerConfig(LPDWORD config)
{
    Hold hold(State().m_lock);
    if (config)
        *config = 0;
    State().Record("DirectSound", m_id, this, "GetSpeakerConfig", {}, DS_OK);
    return config ? DS_OK : DSERR_INVALIDPARAM;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::SetSpeakerConfig(DWORD config)
{
    Hold hold(State().m_lock);
    State().Record("DirectSound", m_id, this, "SetSpeakerConfig", {config}, DS_OK);
    return DS_OK;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::Initialize(LPCGUID)
{
    Hold hold(State().m_lock);
    State().Record("DirectSound", m_id, this, "Initialize", {}, DSERR_ALREADYINITIALIZED);
    return DSERR_ALREADYINITIALIZED;
}

}  // namespace fakeds

using namespace fakeds;

extern "C" HRESULT WINAPI DirectSoundCreate(LPCGUID device, LPDIRECTSOUND *directSound,
                                            LPUNKNOWN outer)
{
    FakeState &s = State();
    std::lock_guard<std::mutex> hold(s.m_lock);
    const std::vector<long long> args = {
        static_cast<long long>(reinterpret_cast<intptr_t>(device)), outer != nullptr};
    HRESULT hr = s.Scripted("", 0, nullptr, "DirectSoundCreate", args);
    if (directSound)
        *directSound = nullptr;
    if (hr == DS_OK && !directSound)
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK && outer)
        hr = DSERR_NOAGGREGATION;
    if (hr == DS_OK) {
        FakeDirectSound *ds = new FakeDirectSound;
        ds->m_id = s.m_nextDevice++;
        ++s.m_live;
        *directSound = ds;
    }
    s.Record("", 0, nullptr, "DirectSoundCreate", args, hr);
    return hr;
}
