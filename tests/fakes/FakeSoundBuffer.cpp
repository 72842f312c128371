#include "FakeObjects.h"

#include <cmath>

namespace fakeds {

using Args = std::vector<long long>;

FakeSoundBuffer::FakeSoundBuffer(std::shared_ptr<DeviceLife> life, bool primary, int id,
                                 const WAVEFORMATEX *format, DWORD bytes)
    : m_life(std::move(life)), m_primary(primary), m_id(id), m_format()
{
    if (format) {
        m_format = *format;
        m_format.cbSize = 0;
    } else {
        // The primary's format until SetFormat: 22050 Hz, 8 bits, stereo.
        m_format = WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 22050, 44100, 2, 8, 0};
    }
    m_frequency = m_format.nSamplesPerSec;
    // New buffers hold silence.
    m_data.assign(bytes, m_format.wBitsPerSample == 8 ? 0x80 : 0x00);
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

ULONG STDMETHODCALLTYPE FakeSoundBuffer::AddRef()
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    s.Gate(hold, Kind(), "AddRef");
    s.CheckOrphan(m_life.get(), Kind(), m_id, "AddRef");
    s.Record(Kind(), m_id, "AddRef", {++m_refs}, DS_OK);
    return m_refs;
}

ULONG STDMETHODCALLTYPE FakeSoundBuffer::Release()
{
    FakeState &s = State();
    std::unique_lock<std::mutex> hold(s.m_lock);
    s.Gate(hold, Kind(), "Release");
    s.CheckOrphan(m_life.get(), Kind(), m_id, "Release");
    if (m_refs == 0) {
        s.Fault(std::string(Kind()) + " " + std::to_string(m_id) + ": Release without a reference");
        return 0;
    }
    const ULONG left = --m_refs;
    s.Record(Kind(), m_id, "Release", {left}, DS_OK);
    if (left == 0) {
        if (m_life->primary == this)
            m_life->primary = nullptr;
        --s.m_live;
        delete this;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetVolume(LPLONG volume)
{
    return Get("GetVolume", volume, &m_volume);
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetPan(LPLONG pan)
{
    return Get("GetPan", pan, &m_pan);
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetFrequency(LPDWORD frequency)
{
    return Get("GetFrequency", frequency, &m_frequency, m_primary);
}

void FakeSoundBuffer::MoveOn()
{
    if (!m_realTime || !m_playing)
        return;
    const auto now = std::chrono::steady_clock::now();
    const DWORD align = m_format.nBlockAlign ? m_format.nBlockAlign : 1;
    const double seconds = std::chrono::duration<double>(now - m_anchor).count();
    const double position = m_anchorPosition + std::floor(seconds * m_frequency) * align;
    if (position >= m_data.size()) {
        m_playing = false;
        m_realTime = false;
        m_position = 0;
        return;
    }
    m_position = static_cast<DWORD>(position);
    m_anchor = now;
    m_anchorPosition = m_position;
    const double left = (m_data.size() - m_position) / align / static_cast<double>(m_frequency);
    State().m_oneShotEnd = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(left));
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetCurrentPosition(LPDWORD play, LPDWORD write)
{
    return Run("GetCurrentPosition", {0}, [&](Args &logged) {
        if (!m_realTime)
            return DSERR_UNSUPPORTED;
        MoveOn();
        if (play)
            *play = m_position;
        if (write)
            *write = m_position;
        logged = {m_position};
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::GetStatus(LPDWORD status)
{
    return Run("GetStatus", {0}, [&](Args &logged) {
        if (!status)
            return DSERR_INVALIDPARAM;
        MoveOn();
        if (m_playing && !m_looping && !m_realTime && m_queriesLeft == 0) {
            // The one-shot has reached its end: stopped and rewound.
            m_playing = false;
            m_position = 0;
        }
        if (m_playing && !m_looping && m_queriesLeft > 0)
            --m_queriesLeft;
        *status = m_playing ? DSBSTATUS_PLAYING | (m_looping ? DSBSTATUS_LOOPING : 0) : 0;
        logged = {*status};
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Lock(DWORD offset, DWORD bytes, LPVOID *audio1,
                                                LPDWORD bytes1, LPVOID *audio2, LPDWORD bytes2,
                                                DWORD flags)
{
    return Run("Lock", {offset, bytes, flags}, [&](Args &) {
        const DWORD size = static_cast<DWORD>(m_data.size());
        if (flags & DSBLOCK_ENTIREBUFFER)
            bytes = size;
        if (!audio1 || !bytes1 || offset >= size || bytes > size)
            return DSERR_INVALIDPARAM;
        // Past the end, the lock wraps round to the start of the buffer.
        const bool wraps = offset + bytes > size;
        *audio1 = m_data.data() + offset;
        *bytes1 = wraps ? size - offset : bytes;
        if (audio2)
            *audio2 = wraps ? m_data.data() : nullptr;
        if (bytes2)
            *bytes2 = wraps ? bytes - (size - offset) : 0;
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Play(DWORD reserved1, DWORD priority, DWORD flags)
{
    return Run("Play", {reserved1, priority, flags}, [&](Args &) {
        if (m_primary && !(flags & DSBPLAY_LOOPING))
            return DSERR_INVALIDPARAM;
        m_looping = (flags & DSBPLAY_LOOPING) != 0;
        if (!m_playing || m_looping)
            m_queriesLeft = State().m_oneShotQueries;
        MoveOn();
        if (!m_playing && !m_looping && State().m_realTime) {
            m_realTime = true;
            m_anchor = std::chrono::steady_clock::now();
            m_anchorPosition = m_position;
        }
        m_realTime = m_realTime && !m_looping;
        m_playing = true;
        MoveOn();
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetCurrentPosition(DWORD position)
{
    return Run("SetCurrentPosition", {position}, [&](Args &) {
        if (m_primary)
            return DSERR_INVALIDCALL;
        if (position >= m_data.size())
            return DSERR_INVALIDPARAM;
        m_position = position - position % (m_format.nBlockAlign ? m_format.nBlockAlign : 1);
        m_anchor = std::chrono::steady_clock::now();
        m_anchorPosition = m_position;
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetFormat(LPCWAVEFORMATEX format)
{
    Args args;
    if (format)
        args = {format->wFormatTag,     format->nChannels,   format->nSamplesPerSec,
                format->nAvgBytesPerSec, format->nBlockAlign, format->wBitsPerSample,
                format->cbSize};
    return Run("SetFormat", args, [&](Args &) {
        if (!m_primary)
            return DSERR_INVALIDCALL;
        if (!format)
            return DSERR_INVALIDPARAM;
        if (m_life->level < DSSCL_PRIORITY)
            return DSERR_PRIOLEVELNEEDED;
        m_format = *format;
        m_format.cbSize = 0;
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetVolume(LONG volume)
{
    return Set("SetVolume", volume, &m_volume, DSBVOLUME_MIN, DSBVOLUME_MAX);
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetPan(LONG pan)
{
    return Set("SetPan", pan, &m_pan, DSBPAN_LEFT, DSBPAN_RIGHT);
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::SetFrequency(DWORD frequency)
{
    return Run("SetFrequency", {frequency}, [&](Args &) {
        if (m_primary)
            return DSERR_CONTROLUNAVAIL;
        if (frequency == DSBFREQUENCY_ORIGINAL)
            frequency = m_format.nSamplesPerSec;
        else if (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX)
            return DSERR_INVALIDPARAM;
        MoveOn();
        m_frequency = frequency;
        MoveOn();
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Stop()
{
    return Run("Stop", {}, [&](Args &) {
        MoveOn();
        m_playing = false;
        m_realTime = false;
        return kOk;
    });
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                                  DWORD bytes2)
{
    const long long at1 = OffsetOf(audio1);
    const long long at2 = OffsetOf(audio2);
    return Run(
        "Unlock", {at1, bytes1, at2, bytes2},
        [&](Args &) {
            const long long size = static_cast<long long>(m_data.size());
            if (at1 < 0 || at1 + bytes1 > size || at2 == -2 || (at2 >= 0 && at2 + bytes2 > size))
                return DSERR_INVALIDPARAM;
            return kOk;
        },
        &m_data);
}

HRESULT STDMETHODCALLTYPE FakeSoundBuffer::Restore()
{
    return Run("Restore", {}, [](Args &) { return kOk; });
}

}  // namespace fakeds
