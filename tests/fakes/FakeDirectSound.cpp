#include "FakeObjects.h"

#include <cstring>

namespace fakeds {

using Args = std::vector<long long>;

FakeDirectSound::FakeDirectSound() : m_id(0), m_life(std::make_shared<DeviceLife>()) {}

ULONG STDMETHODCALLTYPE FakeDirectSound::AddRef()
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    s.Gate(hold, "DirectSound", "AddRef");
    s.Record("DirectSound", m_id, "AddRef", {++m_refs}, DS_OK);
    return m_refs;
}

ULONG STDMETHODCALLTYPE FakeDirectSound::Release()
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    s.Gate(hold, "DirectSound", "Release");
    if (m_refs == 0) {
        s.Fault("DirectSound " + std::to_string(m_id) + ": Release without a reference");
        return 0;
    }
    const ULONG left = --m_refs;
    s.Record("DirectSound", m_id, "Release", {left}, DS_OK);
    if (left == 0) {
        // Real DirectSound takes its buffers down with it; the fake keeps
        // them and lists any later use as a fault.
        m_life->released = true;
        --s.m_live;
        delete this;
    }
    return left;
}

static bool GoodSecondary(const DSBUFFERDESC &desc)
{
    const WAVEFORMATEX *f = desc.lpwfxFormat;
    return f && f->nChannels != 0 && f->nSamplesPerSec != 0 && f->wBitsPerSample >= 8 &&
           f->wBitsPerSample % 8 == 0 && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8 &&
           desc.dwBufferBytes >= DSBSIZE_MIN && desc.dwBufferBytes <= DSBSIZE_MAX;
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::CreateSoundBuffer(LPCDSBUFFERDESC desc,
                                                             LPDIRECTSOUNDBUFFER *buffer,
                                                             LPUNKNOWN outer)
{
    Args args;
    std::vector<unsigned char> block;  // the format record as passed
    const WAVEFORMATEX *f = desc ? desc->lpwfxFormat : nullptr;
    if (desc)
        args = {desc->dwSize, desc->dwFlags, desc->dwBufferBytes, desc->dwReserved, f != nullptr};
    if (f) {
        args.insert(args.end(), {f->wFormatTag, f->nChannels, f->nSamplesPerSec, f->nAvgBytesPerSec,
                                 f->nBlockAlign, f->wBitsPerSample, f->cbSize});
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(f);
        block.assign(bytes, bytes + sizeof(WAVEFORMATEX) +
                                (f->wFormatTag == WAVE_FORMAT_PCM ? 0 : f->cbSize));
    }
    if (buffer)
        *buffer = nullptr;
    const bool primary = desc && (desc->dwFlags & DSBCAPS_PRIMARYBUFFER);
    return Run(
        "CreateSoundBuffer", args,
        [&](Args &) {
            if (!desc || (desc->dwSize != sizeof(DSBUFFERDESC1) && desc->dwSize != sizeof(DSBUFFERDESC)) ||
                !buffer || outer || (primary && (f || desc->dwBufferBytes)) ||
                (!primary && !GoodSecondary(*desc)))
                return DSERR_INVALIDPARAM;
            FakeState &s = State();
            if (primary && m_life->primary) {
                // A second primary is the same object with one more reference.
                ++m_life->primary->m_refs;
                *buffer = m_life->primary;
                return kOk;
            }
            FakeSoundBuffer *made = primary ? new FakeSoundBuffer(m_life, true, m_id, nullptr, 0)
                                            : new FakeSoundBuffer(m_life, false, s.m_nextBuffer++,
                                                                  f, desc->dwBufferBytes);
            if (primary)
                m_life->primary = made;
            ++s.m_live;
            *buffer = made;
            return kOk;
        },
        &block);
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::GetCaps(LPDSCAPS caps)
{
    return Run("GetCaps", {caps ? static_cast<long long>(caps->dwSize) : 0}, [&](Args &) {
        if (!caps || caps->dwSize < sizeof(DSCAPS))
            return DSERR_INVALIDPARAM;
        const FakeState &s = State();
        const DWORD size = caps->dwSize;
        std::memset(caps, 0, sizeof(DSCAPS));
        caps->dwSize = size;
        caps->dwFlags = s.m_capsFlags;
        caps->dwMinSecondarySampleRate = s.m_minRate;
        caps->dwMaxSecondarySampleRate = s.m_maxRate;
        caps->dwPrimaryBuffers = 1;
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeDirectSound::SetCooperativeLevel(HWND window, DWORD level)
{
    return Run("SetCooperativeLevel", {static_cast<long long>(reinterpret_cast<intptr_t>(window)), level},
               [&](Args &) {
                   m_life->level = level;
                   return kOk;
               });
}

}  // namespace fakeds

using namespace fakeds;

extern "C" HRESULT WINAPI DirectSoundCreate(LPCGUID device, LPDIRECTSOUND *directSound,
                                            LPUNKNOWN outer)
{
    if (directSound)
        *directSound = nullptr;
    FakeState &s = State();
    return s.Answer(nullptr, "", 0, "DirectSoundCreate",
                    {static_cast<long long>(reinterpret_cast<intptr_t>(device)), outer != nullptr},
                    [&](Args &) {
                        if (!directSound)
                            return DSERR_INVALIDPARAM;
                        if (outer)
                            return DSERR_NOAGGREGATION;
                        FakeDirectSound *ds = new FakeDirectSound;
                        ds->m_id = s.m_nextDevice++;
                        ++s.m_live;
                        *directSound = ds;
                        return kOk;
                    });
}
