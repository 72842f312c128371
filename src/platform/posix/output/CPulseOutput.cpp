#include "platform/posix/output/CPulseOutput.h"

#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "platform/CLog.h"
#include "platform/posix/output/CConnectionFds.h"

namespace {

const char kName[] = "dudidadu";
// Without a sink that says otherwise.
const DWORD kDefaultRate = 48000;
// The mixer's period on a server, and the stream's length end to end. The
// server keeps two requests (periods) in reserve and gives the sink the
// rest: 30 ms leaves it 5 ms of its own.
const DWORD kPeriodMs = 10;
const DWORD kTargetMs = 30;
// A server asks for data every period; this long without taking any, it is
// asked whether it is there at all...
const uint64_t kLagNs = 50u * 1000000u;
// ...and one that does not answer within this is taken as gone.
const uint64_t kProbeNs = 1000u * 1000000u;
// One that answers but takes nothing for this long (a suspended sink, a
// stopped server's sink) has its frames dropped until it takes them again.
// Not less: an idle null sink renders two seconds ahead, and the first
// stream to join it waits that long to be played at all.
const uint64_t kStallNs = 3000u * 1000000u;
// The longest a latency report waits for the server.
const uint64_t kLatencyPatienceNs = 100u * 1000000u;

const uint64_t kNsPerMs = 1000000u;

uint32_t FramesToBytes(DWORD frames, size_t frameBytes)
{
    const uint64_t bytes = (uint64_t)frames * frameBytes;
    return bytes > 0x7fffffffu ? 0x7fffffffu : (uint32_t)bytes;
}

}  // namespace

CPulseOutput::CPulseOutput()
    : m_pulse(nullptr),
      m_mainloop(nullptr),
      m_interruptFd(-1),
      m_pInterruptEvent(nullptr),
      m_context(nullptr),
      m_stream(nullptr),
      m_rate(0),
      m_period(0),
      m_frameBytes(0),
      m_corked(false),
      m_starting(false),
      m_timedOut(false),
      m_bInterrupted(false),
      m_sinkRate(0),
      m_eLag(LAG_NONE),
      m_qwProgressNs(0),
      m_qwProbeEndNs(0),
      m_pProbe(nullptr),
      m_pszFailure("")
{
    for (int &fd : m_notedFds)
        fd = -1;
}

CPulseOutput::~CPulseOutput()
{
    Close();
    Disconnect();
}

int CPulseOutput::Poll(struct pollfd *fds, unsigned long count, int timeoutMs, void *self)
{
    // The connection's socket (and whatever else libpulse polls) as it is
    // now: a fork may come while we sleep.
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    for (unsigned i = 0; i < kNotedFds; ++i) {
        const int fd = i < count ? fds[i].fd : -1;
        int &noted = output->m_notedFds[i];
        if (fd == noted)
            continue;
        if (noted >= 0)
            CConnectionFds::Remove(&noted);
        noted = fd;
        if (fd >= 0)
            CConnectionFds::Add(&noted, fd);
    }
    return poll(fds, count, timeoutMs);
}

void CPulseOutput::ForgetFds()
{
    for (int &noted : m_notedFds) {
        if (noted >= 0)
            CConnectionFds::Remove(&noted);
        noted = -1;
    }
}

void CPulseOutput::OnInterrupt(pa_mainloop_api *, pa_io_event *, int fd, int, void *)
{
    // The flag says it from now on; the descriptor has done its part.
    uint64_t count;
    if (read(fd, &count, sizeof(count)) < 0) {
    }
}

bool CPulseOutput::Iterate(uint64_t deadlineNs)
{
    const uint64_t now = CFrameClock::NowNs();
    if (now >= deadlineNs)
        return false;
    const uint64_t us = (deadlineNs - now + 999) / 1000;
    if (m_pulse->mainloop_prepare(m_mainloop, us > INT_MAX ? INT_MAX : (int)us) < 0 ||
        m_pulse->mainloop_poll(m_mainloop) < 0)
        return false;
    m_pulse->mainloop_dispatch(m_mainloop);
    return true;
}

void CPulseOutput::Flush()
{
    if (m_pulse->mainloop_prepare(m_mainloop, 0) >= 0 && m_pulse->mainloop_poll(m_mainloop) >= 0)
        m_pulse->mainloop_dispatch(m_mainloop);
}

bool CPulseOutput::Connect(DWORD timeoutMs)
{
    return ConnectUntil(CFrameClock::NowNs() + timeoutMs * kNsPerMs);
}

bool CPulseOutput::ConnectUntil(uint64_t deadlineNs)
{
    if (m_context)
        return true;
    m_pulse = CPulseLibrary::Get();
    if (!m_pulse) {
        m_pszFailure = "libpulse.so.0 is not installed";
        return false;
    }
    m_pszFailure = "libpulse cannot run here";
    m_timedOut = false;
    m_mainloop = m_pulse->mainloop_new();
    if (!m_mainloop)
        return false;
    m_pulse->mainloop_set_poll_func(m_mainloop, Poll, this);
    pa_mainloop_api *api = m_pulse->mainloop_get_api(m_mainloop);
    m_interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_interruptFd >= 0)
        m_pInterruptEvent = api->io_new(api, m_interruptFd, PA_IO_EVENT_INPUT, OnInterrupt, this);
    m_context = m_pulse->context_new(api, kName);
    bool ready = false;
    if (m_context) {
        m_pszFailure = "no PulseAudio server answered";
        // The server named by PULSE_SERVER, client.conf or the usual sockets;
        // never a daemon started on our behalf.
        if (m_pulse->context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            for (;;) {
                const int state = m_pulse->context_get_state(m_context);
                if (state == PA_CONTEXT_READY) {
                    ready = true;
                    break;
                }
                if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED || m_bInterrupted.load())
                    break;
                if (!Iterate(deadlineNs)) {
                    m_timedOut = true;
                    m_pszFailure = "the PulseAudio server did not answer in time";
                    break;
                }
            }
        }
    }
    if (!ready)
        Disconnect();
    return ready;
}

void CPulseOutput::Disconnect()
{
    if (!m_mainloop)
        return;
    if (m_context) {
        m_pulse->context_disconnect(m_context);
        m_pulse->context_unref(m_context);
        m_context = nullptr;
    }
    if (m_pInterruptEvent) {
        m_pulse->mainloop_get_api(m_mainloop)->io_free(m_pInterruptEvent);
        m_pInterruptEvent = nullptr;
    }
    ForgetFds();
    if (m_interruptFd >= 0) {
        close(m_interruptFd);
        m_interruptFd = -1;
    }
    m_pulse->mainloop_free(m_mainloop);
    m_mainloop = nullptr;
}

bool CPulseOutput::Await(pa_operation *operation, uint64_t deadlineNs)
{
    if (!operation)
        return false;
    while (m_pulse->operation_get_state(operation) == PA_OPERATION_RUNNING &&
           m_pulse->context_get_state(m_context) == PA_CONTEXT_READY && !m_bInterrupted.load() &&
           Iterate(deadlineNs)) {
    }
    const bool answered = m_pulse->operation_get_state(operation) != PA_OPERATION_RUNNING;
    if (!answered)
        m_pulse->operation_cancel(operation);
    m_pulse->operation_unref(operation);
    return answered;
}

void CPulseOutput::OnSinkInfo(pa_context * /*context*/, const pa_sink_info *info, int eol, void *self)
{
    CPulseOutput *output = static_cast<CPulseOutput *>(self);
    if (!eol && info && info->sample_spec.rate != 0)
        output->m_sinkRate = info->sample_spec.rate;
}

DWORD CPulseOutput::AskSinkRate(uint64_t deadlineNs)
{
    // The sink libpulse would connect the stream to.
    const char *sink = getenv("PULSE_SINK");
    m_sinkRate = 0;
    Await(m_pulse->context_get_sink_info_by_name(m_context, sink && *sink ? sink : "@DEFAULT_SINK@",
                                                 OnSinkInfo, this),
          deadlineNs);
    return m_sinkRate;
}

bool CPulseOutput::Open(DWORD rate, WORD channels, DWORD periodFrames)
{
    Close();
    if (channels == 0 || channels > PA_CHANNELS_MAX)
        return false;
    const uint64_t deadline = TakeOpenDeadline(kConnectTimeoutMs);
    if (m_context && m_pulse->context_get_state(m_context) != PA_CONTEXT_READY)
        Disconnect();  // the server went away since we connected: try it once more afresh
    if (!ConnectUntil(deadline))
        return false;

    if (rate == 0) {
        rate = AskSinkRate(deadline);
        if (rate < 8000 || rate > 384000)
            rate = kDefaultRate;
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
        m_period = periodFrames ? periodFrames : rate * kPeriodMs / 1000;
        m_frameBytes = sizeof(float) * channels;

        // About 30 ms end to end, and at least three mixer periods. The
        // server splits that between its own device buffer and ours,
        // keeping two requests' worth of ours in reserve: a request of one
        // period leaves the device a buffer of its own (requests of half
        // the whole would leave it none, and the stream starves). The
        // stream starts (and restarts after an underrun) as soon as one
        // period is in.
        const DWORD period = m_period ? m_period : 1;
        DWORD target = rate * kTargetMs / 1000;
        if (target < 3 * period)
            target = 3 * period;
        pa_buffer_attr attr;
        attr.maxlength = (uint32_t)-1;
        attr.tlength = FramesToBytes(target, m_frameBytes);
        attr.prebuf = FramesToBytes(period, m_frameBytes);
        attr.minreq = FramesToBytes(period, m_frameBytes);
        attr.fragsize = (uint32_t)-1;
        // Corked until the first Write: a device with nothing to play
        // costs the server nothing. Timing is asked for when it is wanted
        // (GetLatencyFrames), not kept up to date by libpulse.
        const int flags = PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY;
        if (m_pulse->stream_connect_playback(m_stream, nullptr, &attr, flags, nullptr, nullptr) >= 0) {
            for (;;) {
                const int state = m_pulse->stream_get_state(m_stream);
                if (state == PA_STREAM_READY) {
                    ready = true;
                    break;
                }
                if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED || m_bInterrupted.load())
                    break;
                if (!Iterate(deadline)) {
                    m_timedOut = true;
                    break;
                }
            }
        }
    }
    m_corked = true;
    m_starting = false;
    m_eLag = LAG_NONE;
    if (!ready) {
        m_pszFailure = m_timedOut ? "the PulseAudio server did not answer in time"
                                  : "the PulseAudio server refused the stream";
        Close();
    }
    return ready;
}

bool CPulseOutput::IsStreamGood() const
{
    return m_pulse->context_get_state(m_context) == PA_CONTEXT_READY &&
           m_pulse->stream_get_state(m_stream) == PA_STREAM_READY;
}

bool CPulseOutput::Hand(const unsigned char *&data, size_t &remaining)
{
    bool took = false;
    for (;;) {
        size_t room = m_pulse->stream_writable_size(m_stream);
        if (room == (size_t)-1)
            return took;
        room -= room % m_frameBytes;
        const bool fromBacklog = !m_backlog.empty();
        const size_t bytes = std::min(room, fromBacklog ? m_backlog.size() : remaining);
        if (bytes == 0)
            return took;
        // libpulse copies the data before returning.
        if (m_pulse->stream_write(m_stream, fromBacklog ? m_backlog.data() : data, bytes, nullptr, 0,
                                  PA_SEEK_RELATIVE) < 0)
            return took;
        if (fromBacklog) {
            m_backlog.erase(m_backlog.begin(), m_backlog.begin() + bytes);
        } else {
            data += bytes;
            remaining -= bytes;
        }
        took = true;
        if (m_starting && remaining == 0 && m_backlog.empty()) {
            // A sound starts: played now, not once the buffer has filled.
            m_starting = false;
            pa_operation *triggering = m_pulse->stream_trigger(m_stream, nullptr, nullptr);
            if (triggering)
                m_pulse->operation_unref(triggering);
        }
    }
}

void CPulseOutput::Keep(const unsigned char *data, size_t bytes)
{
    try {
        m_backlog.insert(m_backlog.end(), data, data + bytes);
    } catch (...) {
        // Without memory they are dropped, as from a server that stalls.
    }
}

void CPulseOutput::EndLag()
{
    if (m_pProbe) {
        m_pulse->operation_cancel(m_pProbe);
        m_pulse->operation_unref(m_pProbe);
        m_pProbe = nullptr;
    }
    m_eLag = LAG_NONE;
}

bool CPulseOutput::Write(const float *samples, DWORD frames)
{
    if (!m_stream || (!samples && frames != 0))
        return false;
    if (m_corked)
        Cork(false);
    const unsigned char *data = reinterpret_cast<const unsigned char *>(samples);
    size_t remaining = (size_t)frames * m_frameBytes;
    uint64_t due = 0;  // this block's end on the own clock, once the server lags
    for (;;) {
        if (m_bInterrupted.load())
            break;  // what could not be handed on is dropped
        if (!IsStreamGood())
            return false;
        if (Hand(data, remaining)) {
            m_qwProgressNs = CFrameClock::NowNs();
            EndLag();
        }
        if (remaining == 0 && m_backlog.empty())
            break;
        const uint64_t now = CFrameClock::NowNs();
        if (m_eLag == LAG_NONE) {
            if (Iterate(m_qwProgressNs + kLagNs))
                continue;
            // Nothing taken for a while. Ask the server something, and go on
            // at the pace of real time until it answers.
            m_eLag = LAG_PROBING;
            m_pProbe = m_pulse->stream_update_timing_info(m_stream, nullptr, nullptr);
            m_qwProbeEndNs = now + kProbeNs;
            m_ownClock.Start(m_rate);
            continue;
        }
        if (m_eLag == LAG_PROBING && m_pProbe &&
            m_pulse->operation_get_state(m_pProbe) != PA_OPERATION_RUNNING) {
            // It answers: merely slow to take, as a sink that wakes up is.
            m_pulse->operation_unref(m_pProbe);
            m_pProbe = nullptr;
            m_eLag = LAG_WAITING;
        }
        if (m_eLag == LAG_WAITING) {
            if (Iterate(m_qwProgressNs + kStallNs))
                continue;
            m_eLag = LAG_DROPPING;
            m_backlog.clear();
            m_ownClock.Start(m_rate);
            CLog::Line(CLog::LOG_EVENTS, "the PulseAudio server takes no sound; it is dropped until it does");
            continue;
        }
        if (m_eLag == LAG_PROBING && now >= m_qwProbeEndNs) {
            CLog::Line(CLog::LOG_EVENTS, "the PulseAudio server does not answer");
            m_pszFailure = "the PulseAudio server did not answer in time";
            return false;
        }
        // Probing or dropping: the frames are due at the pace of real time.
        if (due == 0)
            due = m_ownClock.Due((DWORD)(remaining / m_frameBytes));
        if (Iterate(m_eLag == LAG_PROBING ? std::min(due, m_qwProbeEndNs) : due) ||
            CFrameClock::NowNs() < due)
            continue;
        // Kept for a server that turns out to be there; dropped otherwise.
        if (m_eLag == LAG_PROBING)
            Keep(data, remaining);
        break;
    }
    Flush();
    return true;
}

DWORD CPulseOutput::GetLatencyFrames()
{
    if (!m_stream)
        return 0;
    if (Await(m_pulse->stream_update_timing_info(m_stream, nullptr, nullptr),
              CFrameClock::NowNs() + kLatencyPatienceNs)) {
        pa_usec_t latency = 0;
        int negative = 0;
        if (m_pulse->stream_get_latency(m_stream, &latency, &negative) >= 0)
            return negative ? 0 : (DWORD)(latency * m_rate / 1000000u);
    }
    // No answer: at most what the stream's buffer holds, and the sink's share.
    return GetTargetFrames();
}

// The answers are not waited for: the stream takes the order of the
// requests as they come.
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
    // A server asked for nothing while corked: its time starts now.
    m_qwProgressNs = CFrameClock::NowNs();
}

void CPulseOutput::Interrupt()
{
    m_bInterrupted.store(true);
    // Wakes a wait under way; it looks at the flag before waiting again.
    if (m_interruptFd >= 0) {
        const uint64_t one = 1;
        if (write(m_interruptFd, &one, sizeof(one)) < 0) {
        }
    }
}

void CPulseOutput::Pause()
{
    if (!m_stream)
        return;
    if (!m_corked && IsStreamGood())
        Cork(true);
    EndLag();
    m_backlog.clear();
    Flush();
}

void CPulseOutput::Resume()
{
    if (m_stream && m_corked && IsStreamGood())
        Cork(false);
}

DWORD CPulseOutput::GetTargetFrames()
{
    if (!m_stream)
        return 0;
    const pa_buffer_attr *attr = m_pulse->stream_get_buffer_attr(m_stream);
    return attr ? (DWORD)(attr->tlength / m_frameBytes) : 0;
}

void CPulseOutput::Close()
{
    if (!m_stream)
        return;
    EndLag();
    m_backlog.clear();
    m_pulse->stream_disconnect(m_stream);
    m_pulse->stream_unref(m_stream);
    m_stream = nullptr;
    // The server learns at once that the stream is gone.
    Flush();
}

bool CPulseOutput::GetServerSockets(std::vector<std::string> &paths)
{
    const char *server = getenv("PULSE_SERVER");
    if (server && *server) {
        // One local server; a list or a network address is not watched.
        const std::string named = server;
        if (named.find_first_of(" \t") != std::string::npos)
            return false;
        if (named.compare(0, 5, "unix:") == 0)
            paths.push_back(named.substr(5));
        else if (named[0] == '/')
            paths.push_back(named);
        else
            return false;
        return true;
    }
    const char *runtime = getenv("PULSE_RUNTIME_PATH");
    const char *user = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        paths.push_back(std::string(runtime) + "/native");
    else if (user && *user)
        paths.push_back(std::string(user) + "/pulse/native");
    else
        return false;
    paths.push_back("/var/run/pulse/native");
    return true;
}
