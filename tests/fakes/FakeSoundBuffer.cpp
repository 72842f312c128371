#include "FakeObjects.h"

#include <cstring>

namespace fakeds {

using Hold = std::lock_guard<std::mutex>;

FakeSoundBuffer::FakeSoundBuffer(std::shared_ptr<DeviceLife> life, bool primary, int id,
                                 const WAVEFORMATEX *format, DWORD bytes)
    : m_life(std::move(life)), m_primary(primary), m_id(id), m_format()
{
    if (format) {
        m_format = *format;
        m_format.cbSize = 0;
    } else {
        // The primary's format until SetFormat: 22050 Hz, 8 bits, stereo.
        m_format.wFormatTag = 1;
        m_format.nChannels = 2;
        m_format.nSamplesPerSec = 22050;
        m_format.wBitsPerSample = 8;
        m_format.nBlockAlign = 2;
        m_format.nAvgBytesPerSec = 44100;
    }
    m_frequency = m_format.nSamplesPerSec;
    // New buffers hold silence.
    m_data.assign(bytes, m_format.wBitsPerSample == 8 ? 0x80 : 0x00);
}

void FakeSoundBuffer::CheckOrphan(const char *method)
{
    if (m_life->released)
        State().Fault(std::string(Kind()) + " " + std::to_string(m_id) + ": " + method +
                      " after its DirectSound was released");
}

long long FakeSoundBuffer::OffsetOf(const void *p) const
{
    if (!p)
        return -1;
    const unsigned char *c = static_cast<const unsigned char *>(p);
    if (m_data.empty() || c < m_data.data() || c >= m_data.data() + m_data.size())
        return -2;
    return c - m_data.data();
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::QueryInterface(REFIID, void **ppv)
{
    Hold hold(State().m_lock);
    if (ppv)
        *ppv = nullptr;
    State().Record(Kind(), m_id, this, "QueryInterface", {}, E_NOINTERFACE);
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FakeSoundBuffer::AddRef()
{
    Hold hold(State().m_lock);
    CheckOrphan("AddRef");
    ++m_refs;
    State().Record(Kind(), m_id, this, "AddRef", {m_refs}, DS_OK);
    return m_refs;
}

ULONG STDMETHODCALLTYPE FakeSoundBuffer::Release()
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("Release");
    if (m_refs == 0) {
        s.Fault(std::string(Kind()) + " " + std::to_string(m_id) + ": Release without a reference");
        return 0;
    }
    const ULONG left = --m_refs;
    s.Record(Kind(), m_id, this, "Release", {left}, DS_OK);
    if (left == 0) {
        if (m_life->primary == this)
            m_life->primary = nullptr;
        --s.m_live;
        delete this;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetCaps(LPDSBCAPS caps)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetCaps");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "GetCaps", {});
    if (hr == DS_OK && (!caps || caps->dwSize < sizeof(DSBCAPS)))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK) {
        caps->dwFlags = m_primary ? DSBCAPS_PRIMARYBUFFER
                                  : (DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME);
        caps->dwBufferBytes = static_cast<DWORD>(m_data.size());
        caps->dwUnlockTransferRate = 0;
        caps->dwPlayCpuOverhead = 0;
    }
    s.Record(Kind(), m_id, this, "GetCaps", {}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetCurrentPosition(LPDWORD playCursor,
                                                              LPDWORD writeCursor)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetCurrentPosition");
    const HRESULT hr = s.Scripted(Kind(), m_id, this, "GetCurrentPosition", {});
    if (hr == DS_OK) {
        if (playCursor)
            *playCursor = m_position;
        if (writeCursor)
            *writeCursor = m_position;
    }
    s.Record(Kind(), m_id, this, "GetCurrentPosition", {m_position}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetFormat(LPWAVEFORMATEX format, DWORD sizeAllocated,
                                                     LPDWORD sizeWritten)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetFormat");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "GetFormat", {});
    if (hr == DS_OK) {
        const DWORD size = sizeof(WAVEFORMATEX);
        if (format) {
            std::memcpy(format, &m_format, sizeAllocated < size ? sizeAllocated : size);
        }
        if (sizeWritten)
            *sizeWritten = size;
    }
    s.Record(Kind(), m_id, this, "GetFormat", {sizeAllocated}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetVolume(LPLONG volume)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetVolume");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "GetVolume", {});
    if (hr == DS_OK && !volume)
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK)
        *volume = m_volume;
    s.Record(Kind(), m_id, this, "GetVolume", {hr == DS_OK ? m_volume : 0}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetPan(LPLONG pan)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetPan");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "GetPan", {});
    if (hr == DS_OK && !pan)
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK)
        *pan = m_pan;
    s.Record(Kind(), m_id, this, "GetPan", {hr == DS_OK ? m_pan : 0}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetFrequency(LPDWORD frequency)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetFrequency");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "GetFrequency", {});
    if (hr == DS_OK && !frequency)
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK && m_primary)
        hr = DSERR_CONTROLUNAVAIL;
    if (hr == DS_OK)
        *frequency = m_frequency;
    s.Record(Kind(), m_id, this, "GetFrequency", {hr == DS_OK ? m_frequency : 0}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetStatus(LPDWORD status)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("GetStatus");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "GetStatus", {});
    if (hr == DS_OK && !status)
        hr = DSERR_INVALIDPARAM;
    DWORD word = 0;
    if (hr == DS_OK) {
        if (m_playing && !m_looping && m_queriesLeft == 0) {
            // The one-shot has reached its end: stopped and rewound.
            m_playing = false;
            m_position = 0;
        }
        if (m_playing && !m_looping && m_queriesLeft > 0)
            --m_queriesLeft;
        if (m_playing)
            word = DSBSTATUS_PLAYING | (m_looping ? DSBSTATUS_LOOPING : 0);
        *status = word;
    }
    s.Record(Kind(), m_id, this, "GetStatus", {word}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC)
{
    Hold hold(State().m_lock);
    CheckOrphan("Initialize");
    State().Record(Kind(), m_id, this, "Initialize", {}, DSERR_ALREADYINITIALIZED);
    return DSERR_ALREADYINITIALIZED;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Lock(DWORD offset, DWORD bytes, LPVOID *audio1,
                                                LPDWORD bytes1, LPVOID *audio2, LPDWORD bytes2,
                                                DWORD flags)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("Lock");
    const std::vector<long long> args = {offset, bytes, flags};
    HRESULT hr = s.Scripted(Kind(), m_id, this, "Lock", args);
    const DWORD size = static_cast<DWORD>(m_data.size());
    if (flags & DSBLOCK_ENTIREBUFFER)
        bytes = size;
    if (hr == DS_OK && (!audio1 || !bytes1 || offset >= size || bytes > size))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK) {
        *audio1 = m_data.data() + offset;
        if (offset + bytes <= size) {
            *bytes1 = bytes;
            if (audio2)
                *audio2 = nullptr;
            if (bytes2)
                *bytes2 = 0;
        } else {
            // The lock wraps round to the start of the buffer.
            *bytes1 = size - offset;
            if (audio2)
                *audio2 = m_data.data();
            if (bytes2)
                *bytes2 = bytes - (size - offset);
        }
    }
    s.Record(Kind(), m_id, this, "Lock", args, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Play(DWORD reserved1, DWORD priority, DWORD flags)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("Play");
    const std::vector<long long> args = {reserved1, priority, flags};
    HRESULT hr = s.Scripted(Kind(), m_id, this, "Play", args);
    if (hr == DS_OK && m_primary && !(flags & DSBPLAY_LOOPING))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK) {
        m_looping = (flags & DSBPLAY_LOOPING) != 0;
        if (!m_playing || m_looping)
            m_queriesLeft = s.m_oneShotQueries;
        m_playing = true;
    }
    s.Record(Kind(), m_id, this, "Play", args, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetCurrentPosition(DWORD position)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("SetCurrentPosition");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "SetCurrentPosition", {position});
    if (hr == DS_OK && m_primary)
        hr = DSERR_INVALIDCALL;
    if (hr == DS_OK && position >= m_data.size())
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK)
        m_position = position - position % (m_format.nBlockAlign ? m_format.nBlockAlign : 1);
    s.Record(Kind(), m_id, this, "SetCurrentPosition", {position}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetFormat(LPCWAVEFORMATEX format)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("SetFormat");
    std::vector<long long> args;
    if (format)
        args = {format->wFormatTag,     format->nChannels,   format->nSamplesPerSec,
                format->nAvgBytesPerSec, format->nBlockAlign, format->wBitsPerSample,
                format->cbSize};
    HRESULT hr = s.Scripted(Kind(), m_id, this, "SetFormat", args);
    if (hr == DS_OK && !m_primary)
        hr = DSERR_INVALIDCALL;
    if (hr == DS_OK && !format)
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK && m_life->level < DSSCL_PRIORITY)
        hr = DSERR_PRIOLEVELNEEDED;
    if (hr == DS_OK) {
        m_format = *format;
        m_format.cbSize = 0;
    }
    s.Record(Kind(), m_id, this, "SetFormat", args, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetVolume(LONG volume)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("SetVolume");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "SetVolume", {volume});
    if (hr == DS_OK && !s.InRange(Kind(), "SetVolume", volume, DSBVOLUME_MIN, DSBVOLUME_MAX))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK)
        m_volume = volume;
    s.Record(Kind(), m_id, this, "SetVolume", {volume}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetPan(LONG pan)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("SetPan");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "SetPan", {pan});
    if (hr == DS_OK && !s.InRange(Kind(), "SetPan", pan, DSBPAN_LEFT, DSBPAN_RIGHT))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK)
        m_pan = pan;
    s.Record(Kind(), m_id, this, "SetPan", {pan}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetFrequency(DWORD frequency)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("SetFrequency");
    HRESULT hr = s.Scripted(Kind(), m_id, this, "SetFrequency", {frequency});
    if (hr == DS_OK && m_primary)
        hr = DSERR_CONTROLUNAVAIL;
    if (hr == DS_OK && frequency != DSBFREQUENCY_ORIGINAL &&
        !s.InRange(Kind(), "SetFrequency", frequency, DSBFREQUENCY_MIN, DSBFREQUENCY_MAX))
        hr = DSERR_INVALIDPARAM;
    if (hr == DS_OK)
        m_frequency = frequency == DSBFREQUENCY_ORIGINAL ? m_format.nSamplesPerSec : frequency;
    s.Record(Kind(), m_id, this, "SetFrequency", {frequency}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Stop()
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("Stop");
    const HRESULT hr = s.Scripted(Kind(), m_id, this, "Stop", {});
    if (hr == DS_OK)
        m_playing = false;
    s.Record(Kind(), m_id, this, "Stop", {}, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                                  DWORD bytes2)
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("Unlock");
    const long long at1 = OffsetOf(audio1);
    const long long at2 = OffsetOf(audio2);
    const std::vector<long long> args = {at1, bytes1, at2, bytes2};
    HRESULT hr = s.Scripted(Kind(), m_id, this, "Unlock", args);
    const long long size = static_cast<long long>(m_data.size());
    if (hr == DS_OK && (at1 < 0 || at1 + bytes1 > size || at2 == -2 ||
                        (at2 >= 0 && at2 + bytes2 > size)))
        hr = DSERR_INVALIDPARAM;
    s.Record(Kind(), m_id, this, "Unlock", args, hr, m_data);
    return hr;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Restore()
{
    FakeState &s = State();
    Hold hold(s.m_lock);
    CheckOrphan("Restore");
    const HRESULT hr = s.Scripted(Kind(), m_id, this, "Restore", {});
    s.Record(Kind(), m_id, this, "Restore", {}, hr);
    return hr;
}

}  // namespace fakeds
