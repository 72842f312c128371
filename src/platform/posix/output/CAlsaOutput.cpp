#include "platform/posix/output/CAlsaOutput.h"

#include <errno.h>

#include "platform/CLog.h"

namespace {

const DWORD kDefaultRate = 48000;

}  // namespace

CAlsaOutput::CAlsaOutput()
    : m_alsa(nullptr),
      m_pcm(nullptr),
      m_rate(0),
      m_channels(0),
      m_buffer(0),
      m_paused(false),
      m_recoveries(0),
      m_pszFailure("")
{
}

CAlsaOutput::~CAlsaOutput()
{
    Close();
}

bool CAlsaOutput::Open(DWORD rate, WORD channels, DWORD /*periodFrames*/)
{
    Close();
    if (channels == 0)
        return false;
    m_alsa = CAlsaLibrary::Get();
    if (!m_alsa) {
        m_pszFailure = "libasound.so.2 is not installed";
        return false;
    }
    if (rate == 0)
        rate = kDefaultRate;
    // Blocking writes: the device's pace is the mixer's clock.
    int result = m_alsa->pcm_open(&m_pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (result < 0) {
        m_pcm = nullptr;
        m_pszFailure = m_alsa->strerror(result);
        return false;
    }
    // Through ALSA's own conversions when the device wants another format.
    result = m_alsa->pcm_set_params(m_pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                    rate, 1, kLatencyMs * 1000);
    snd_pcm_uframes_t buffer = 0, period = 0;
    if (result >= 0)
        result = m_alsa->pcm_get_params(m_pcm, &buffer, &period);
    if (result < 0) {
        m_pszFailure = m_alsa->strerror(result);
        m_alsa->pcm_close(m_pcm);
        m_pcm = nullptr;
        return false;
    }
    m_rate = rate;
    m_channels = channels;
    m_buffer = static_cast<DWORD>(buffer);
    m_paused = false;
    m_recoveries = 0;
    m_pace.Start(rate);
    return true;
}

bool CAlsaOutput::Write(const float *samples, DWORD frames)
{
    if (!m_pcm || (!samples && frames != 0))
        return false;
    if (m_paused) {
        m_paused = false;
        m_pace.Start(m_rate);
    }
    DWORD done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t written =
            m_alsa->pcm_writei(m_pcm, samples + static_cast<size_t>(done) * m_channels, frames - done);
        if (written >= 0) {
            done += static_cast<DWORD>(written);
            continue;
        }
        if (written == -EAGAIN || written == -EINTR)
            continue;
        // An underrun (or a suspend) is mended where it happened; the mixer
        // goes on.
        const int mended = m_alsa->pcm_recover(m_pcm, static_cast<int>(written), 1);
        if (mended < 0) {
            CLog::Line(CLog::LOG_EVENTS, "the ALSA device failed: %s", m_alsa->strerror(mended));
            return false;
        }
        ++m_recoveries;
    }
    // Written into a prepared device that waits for a full buffer: start it
    // now, so that a sound begins within a period.
    if (m_alsa->pcm_state(m_pcm) == SND_PCM_STATE_PREPARED)
        m_alsa->pcm_start(m_pcm);
    // Never further ahead of real time than the buffer: a device that takes
    // everything at once (a null or file PCM) does not hold the mixer back.
    m_pace.WaitAhead(frames, m_buffer);
    return true;
}

DWORD CAlsaOutput::GetLatencyFrames()
{
    if (!m_pcm)
        return 0;
    snd_pcm_sframes_t delay = 0;
    if (m_alsa->pcm_delay(m_pcm, &delay) < 0 || delay < 0)
        return 0;
    return static_cast<DWORD>(delay);
}

void CAlsaOutput::Pause()
{
    if (!m_pcm || m_paused)
        return;
    // What is left is the silence the mixer wrote after the last sound.
    m_alsa->pcm_drop(m_pcm);
    m_alsa->pcm_prepare(m_pcm);
    m_paused = true;
}

void CAlsaOutput::Close()
{
    if (!m_pcm)
        return;
    m_alsa->pcm_drop(m_pcm);
    m_alsa->pcm_close(m_pcm);
    m_pcm = nullptr;
    m_buffer = 0;
}
