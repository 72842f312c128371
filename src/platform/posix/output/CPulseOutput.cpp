#include "platform/posix/output/CPulseOutput.h"

#include <stdlib.h>

#include "platform/CLog.h"

namespace {

const char kName[] = "dudidadu";
// Without a sink that says otherwise.
const DWORD kDefaultRate = 48000;
// The stream asks for data every few milliseconds; this long without room
// means the server is not consuming (suspended sink, stopped server). Not
// less: an idle null sink renders two seconds ahead, and the first stream to
// join it waits that long to be played at all.
const pa_usec_t kStallUs = 3000000;
const DWORD kTargetMs = 20;

uint32_t FramesToBytes(DWORD frames, size_t frameBytes)
{
    const uint64_t bytes = (uint64_t)frames * frameBytes;
    return bytes > 0x7fffffffu ? 0x7fffffffu : (uint32_t)bytes;
}

}  // namespace

CPulseOutput::CPulseOutput()
    : m_pulse(nullptr),
      m_mainloop(nullptr),
      m_context(nullptr),
      m_timer(nullptr),
      m_stream(nullptr),
      m_rate(0),
      m_frameBytes(0),
      m_stalled(false),
      m_corked(false),
      m_starting(false),
      m_timedOut(false),
      m_bInterrupted(false),
      m_sinkRate(0),
      m_pszFailure("")
{
}

CPulseOutput::~CPulseOutput()
{
    Close();
    Disconnect();
}

void CPulseOutput::OnContextState(pa_context * /*context*/, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    output->m_pulse->threaded_mainloop_signal(output->m_mainloop, 0);
}

void CPulseOutput::OnStreamState(pa_stream * /*stream*/, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    output->m_pulse->threaded_mainloop_signal(output->m_mainloop, 0);
}

void CPulseOutput::OnStreamWrite(pa_stream * /*stream*/, size_t /*bytes*/, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    output->m_pulse->threaded_mainloop_signal(output->m_mainloop, 0);
}

void CPulseOutput::OnTimer(pa_mainloop_api * /*api*/, pa_time_event * /*event*/,
                           const struct timeval * /*tv*/, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    output->m_pulse->threaded_mainloop_signal(output->m_mainloop, 0);
}

bool CPulseOutput::WaitUntil(pa_usec_t deadline)
{
    if (m_pulse->rtclock_now() >= deadline)
        return false;
    // The timer only wakes the wait; whoever waits re-checks its condition.
    m_pulse->context_rttime_restart(m_context, m_timer, deadline);
    m_pulse->threaded_mainloop_wait(m_mainloop);
    m_pulse->context_rttime_restart(m_context, m_timer, PA_USEC_INVALID);
    return true;
}

bool CPulseOutput::Connect(DWORD timeoutMs)
{
    if (m_context)
        return true;
    m_pulse = CPulseLibrary::Get();
    if (!m_pulse) {
        m_pszFailure = "libpulse.so.0 is not installed";
        return false;
    }
    m_pszFailure = "libpulse cannot run here";
    m_mainloop = m_pulse->threaded_mainloop_new();
    if (!m_mainloop)
        return false;
    if (m_pulse->threaded_mainloop_start(m_mainloop) < 0) {
        m_pulse->threaded_mainloop_free(m_mainloop);
        m_mainloop = nullptr;
        return false;
    }
    m_pszFailure = "no PulseAudio server answered";
    m_timedOut = false;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    m_context = m_pulse->context_new(m_pulse->threaded_mainloop_get_api(m_mainloop), kName);
    bool ready = false;
    if (m_context) {
        m_pulse->context_set_state_callback(m_context, OnContextState, this);
        m_timer = m_pulse->context_rttime_new(m_context, PA_USEC_INVALID, OnTimer, this);
        // The server named by PULSE_SERVER, client.conf or the usual sockets;
        // never a daemon started on our behalf.
        if (m_timer &&
            m_pulse->context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            const pa_usec_t deadline = m_pulse->rtclock_now() + (pa_usec_t)timeoutMs * 1000u;
            for (;;) {
                const int state = m_pulse->context_get_state(m_context);
                if (state == PA_CONTEXT_READY) {
                    ready = true;
                    break;
                }
                if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
                    break;
                if (!WaitUntil(deadline)) {
                    m_timedOut = true;
                    m_pszFailure = "the PulseAudio server did not answer in time";
                    break;
                }
            }
        }
    }
    m_pulse->threaded_mainloop_unlock(m_mainloop);
    if (!ready)
        Disconnect();
    return ready;
}

void CPulseOutput::Disconnect()
{
    if (!m_mainloop)
        return;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    if (m_timer) {
        m_pulse->threaded_mainloop_get_api(m_mainloop)->time_free(m_timer);
        m_timer = nullptr;
    }
    if (m_context) {
        m_pulse->context_set_state_callback(m_context, nullptr, nullptr);
        m_pulse->context_disconnect(m_context);
        m_pulse->context_unref(m_context);
        m_context = nullptr;
    }
    m_pulse->threaded_mainloop_unlock(m_mainloop);
    m_pulse->threaded_mainloop_stop(m_mainloop);
    m_pulse->threaded_mainloop_free(m_mainloop);
    m_mainloop = nullptr;
}

void CPulseOutput::OnSinkInfo(pa_context * /*context*/, const pa_sink_info *info, int eol, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    if (!eol && info && info->sample_spec.rate != 0)
        output->m_sinkRate = info->sample_spec.rate;
    output->m_pulse->threaded_mainloop_signal(output->m_mainloop, 0);
}

DWORD CPulseOutput::AskSinkRate()
{
    // The sink libpulse would connect the stream to.
    const char *sink = getenv("PULSE_SINK");
    m_sinkRate = 0;
    pa_operation *asking = m_pulse->context_get_sink_info_by_name(
        m_context, sink && *sink ? sink : "@DEFAULT_SINK@", OnSinkInfo, this);
    if (!asking)
        return 0;
    const pa_usec_t deadline = m_pulse->rtclock_now() + (pa_usec_t)kConnectTimeoutMs * 1000u;
    while (m_pulse->operation_get_state(asking) == PA_OPERATION_RUNNING && WaitUntil(deadline)) {
    }
    m_pulse->operation_unref(asking);
    return m_sinkRate;
}

bool CPulseOutput::Open(DWORD rate, WORD channels, DWORD periodFrames)
{
    Close();
    if (channels == 0 || channels > PA_CHANNELS_MAX)
        return false;
    if (!Connect())
        return false;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    if (m_pulse->context_get_state(m_context) != PA_CONTEXT_READY) {
        // The server went away since we connected: try it once more afresh.
        m_pulse->threaded_mainloop_unlock(m_mainloop);
        Disconnect();
        if (!Connect())
            return false;
        m_pulse->threaded_mainloop_lock(m_mainloop);
    }

    if (rate == 0) {
        rate = AskSinkRate();
        if (rate < 8000 || rate > 384000)
            rate = kDefaultRate;
        if (periodFrames == 0)
            periodFrames = rate / 200;
    }
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = rate;
    spec.channels = (uint8_t)channels;
    // Channels in the order of WAVE files; counts that order does not name
    // get auxiliary channels for the rest (older libpulse: its default map).
    pa_channel_map map;
    const pa_channel_map *mapping =
        m_pulse->channel_map_init_extend
            ? m_pulse->channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_WAVEEX)
            : m_pulse->channel_map_init_auto(&map, channels, PA_CHANNEL_MAP_WAVEEX);
    m_stream = m_pulse->stream_new(m_context, kName, &spec, mapping);
    bool ready = false;
    if (m_stream) {
        m_rate = rate;
        m_frameBytes = sizeof(float) * channels;
        m_pulse->stream_set_state_callback(m_stream, OnStreamState, this);
        m_pulse->stream_set_write_callback(m_stream, OnStreamWrite, this);

        // About 20 ms end to end, and at least two mixer periods. The server
        // splits that between its own device buffer and ours, keeping two
        // requests' worth of ours in reserve: requests much smaller than the
        // whole leave the device a buffer of a few milliseconds (requests of
        // half the whole would leave it none, and the stream starves). The
        // stream starts (and restarts after an underrun) as soon as one mixer
        // period is in.
        const DWORD period = periodFrames ? periodFrames : rate / 100;
        DWORD target = rate * kTargetMs / 1000;
        if (target < 2 * period)
            target = 2 * period;
        DWORD request = target / 4;
        if (period != 0 && period < request)
            request = period;
        if (request == 0)
            request = 1;
        pa_buffer_attr attr;
        attr.maxlength = (uint32_t)-1;
        attr.tlength = FramesToBytes(target, m_frameBytes);
        attr.prebuf = FramesToBytes(period ? period : request, m_frameBytes);
        attr.minreq = FramesToBytes(request, m_frameBytes);
        attr.fragsize = (uint32_t)-1;
        // Corked until the first Write: a device with nothing to play
        // costs the server nothing. Timing is asked for when it is wanted
        // (GetLatencyFrames), not kept up to date by the library: that would
        // wake an idle device's main loop every few hundred milliseconds.
        const int flags = PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY;
        if (m_pulse->stream_connect_playback(m_stream, nullptr, &attr, flags, nullptr, nullptr) >=
            0) {
            const pa_usec_t deadline = m_pulse->rtclock_now() + (pa_usec_t)kConnectTimeoutMs * 1000u;
            for (;;) {
                const int state = m_pulse->stream_get_state(m_stream);
                if (state == PA_STREAM_READY) {
                    ready = true;
                    break;
                }
                if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED ||
                    !WaitUntil(deadline))
                    break;
            }
        }
    }
    m_stalled = false;
    m_corked = true;
    m_pulse->threaded_mainloop_unlock(m_mainloop);
    if (!ready) {
        m_pszFailure = "the PulseAudio server refused the stream";
        Close();
    }
    return ready;
}

bool CPulseOutput::IsStreamGood() const
{
    return m_pulse->context_get_state(m_context) == PA_CONTEXT_READY &&
           m_pulse->stream_get_state(m_stream) == PA_STREAM_READY;
}

bool CPulseOutput::Write(const float *samples, DWORD frames)
{
    if (!m_stream || (!samples && frames != 0))
        return false;
    const unsigned char *data = reinterpret_cast<const unsigned char *>(samples);
    size_t remaining = (size_t)frames * m_frameBytes;

    m_pulse->threaded_mainloop_lock(m_mainloop);
    if (m_corked)
        Cork(false);
    pa_usec_t lastProgress = m_pulse->rtclock_now();
    bool good = true;
    while (remaining != 0 && !m_bInterrupted.load()) {
        if (!IsStreamGood()) {
            good = false;
            break;
        }
        size_t room = m_pulse->stream_writable_size(m_stream);
        if (room == (size_t)-1) {
            good = false;
            break;
        }
        room -= room % m_frameBytes;
        if (room != 0) {
            const size_t bytes = room < remaining ? room : remaining;
            // libpulse copies the data before returning.
            if (m_pulse->stream_write(m_stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                good = false;
                break;
            }
            data += bytes;
            remaining -= bytes;
            lastProgress = m_pulse->rtclock_now();
            m_stalled = false;
            if (m_starting && remaining == 0) {
                // A sound starts: played now, not once the buffer has filled.
                m_starting = false;
                pa_operation *triggering = m_pulse->stream_trigger(m_stream, nullptr, nullptr);
                if (triggering)
                    m_pulse->operation_unref(triggering);
            }
            continue;
        }
        if (m_stalled)
            break;
        if (!WaitUntil(lastProgress + kStallUs)) {
            m_stalled = true;
            m_stallClock.Start(m_rate);
            CLog::Line(CLog::LOG_EVENTS, "the PulseAudio server takes no sound; it is dropped until it does");
            break;
        }
    }
    m_pulse->threaded_mainloop_unlock(m_mainloop);
    if (good && remaining != 0 && !m_bInterrupted.load()) {
        // The server takes nothing: let the frames go at the pace they would
        // have been heard, and look again at the next write.
        m_stallClock.Wait((DWORD)(remaining / m_frameBytes));
    }
    return good;
}

void CPulseOutput::OnSuccess(pa_stream * /*stream*/, int /*success*/, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    output->m_pulse->threaded_mainloop_signal(output->m_mainloop, 0);
}

DWORD CPulseOutput::GetLatencyFrames()
{
    if (!m_stream)
        return 0;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    // The server's answer comes with this call's own callback, or the
    // stream fails and its state callback wakes the wait.
    pa_operation *asking = m_pulse->stream_update_timing_info(m_stream, OnSuccess, this);
    if (asking) {
        while (m_pulse->operation_get_state(asking) == PA_OPERATION_RUNNING && IsStreamGood() &&
               !m_bInterrupted.load())
            m_pulse->threaded_mainloop_wait(m_mainloop);
        m_pulse->operation_unref(asking);
    }
    pa_usec_t latency = 0;
    int negative = 0;
    DWORD frames = 0;
    if (m_pulse->stream_get_latency(m_stream, &latency, &negative) >= 0 && !negative)
        frames = (DWORD)(latency * m_rate / 1000000u);
    m_pulse->threaded_mainloop_unlock(m_mainloop);
    return frames;
}

// With the main loop locked. The answers are not waited for: the stream
// takes the order of the requests as they come.
void CPulseOutput::Cork(bool cork)
{
    if (cork) {
        // What is left is the silence the mixer wrote after the last sound.
        pa_operation *flushing = m_pulse->stream_flush(m_stream, nullptr, nullptr);
        if (flushing)
            m_pulse->operation_unref(flushing);
    }
    pa_operation *corking = m_pulse->stream_cork(m_stream, cork ? 1 : 0, nullptr, nullptr);
    if (corking)
        m_pulse->operation_unref(corking);
    m_corked = cork;
    m_starting = !cork;
}

void CPulseOutput::Interrupt()
{
    m_bInterrupted.store(true);
    if (!m_mainloop)
        return;
    // Wakes a wait under way; it looks at the flag before waiting again.
    m_pulse->threaded_mainloop_lock(m_mainloop);
    m_pulse->threaded_mainloop_signal(m_mainloop, 0);
    m_pulse->threaded_mainloop_unlock(m_mainloop);
}

void CPulseOutput::Pause()
{
    if (!m_stream)
        return;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    if (!m_corked && IsStreamGood())
        Cork(true);
    m_pulse->threaded_mainloop_unlock(m_mainloop);
}

void CPulseOutput::Resume()
{
    if (!m_stream)
        return;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    if (m_corked && IsStreamGood())
        Cork(false);
    m_pulse->threaded_mainloop_unlock(m_mainloop);
}

DWORD CPulseOutput::GetTargetFrames()
{
    if (!m_stream)
        return 0;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    const pa_buffer_attr *attr = m_pulse->stream_get_buffer_attr(m_stream);
    const DWORD frames = attr ? (DWORD)(attr->tlength / m_frameBytes) : 0;
    m_pulse->threaded_mainloop_unlock(m_mainloop);
    return frames;
}

void CPulseOutput::Close()
{
    if (!m_stream)
        return;
    m_pulse->threaded_mainloop_lock(m_mainloop);
    m_pulse->stream_set_state_callback(m_stream, nullptr, nullptr);
    m_pulse->stream_set_write_callback(m_stream, nullptr, nullptr);
    m_pulse->stream_disconnect(m_stream);
    m_pulse->stream_unref(m_stream);
    m_stream = nullptr;
    m_pulse->threaded_mainloop_unlock(m_mainloop);
}
