// Output to a PulseAudio server (PipeWire serves the same protocol), through
// libpulse's threaded main loop: one playback stream of interleaved float
// frames at the sink's own rate, kept short (about 20 ms) so that sounds
// start promptly, and corked while the mixer has nothing to play.
#pragma once

#include <atomic>

#include <stddef.h>

#include "platform/posix/output/CAudioOutput.h"
#include "platform/posix/output/CFrameClock.h"
#include "platform/posix/output/CPulseLibrary.h"

class CPulseOutput : public CAudioOutput {
public:
    CPulseOutput();
    ~CPulseOutput() override;

    // Loads libpulse and connects to the server the environment names (never
    // spawning one), giving up after `timeoutMs`; false when no server
    // answers. Open connects by itself when this has not been done.
    bool Connect(DWORD timeoutMs = kConnectTimeoutMs);

    // Rate 0: the rate of the sink the stream goes to (PULSE_SINK or the
    // server's default), so that the server does not resample it again.
    bool Open(DWORD rate, WORD channels, DWORD periodFrames) override;
    EKind GetKind() const override { return OUTPUT_PULSE; }
    DWORD GetRate() const override { return m_rate; }
    // Blocks until the server takes the frames. While the server takes
    // nothing at all for a while (a suspended or stalled server), the frames
    // are dropped in real time, so the mixer keeps its pace; false once the
    // connection or the stream has failed.
    bool Write(const float *samples, DWORD frames) override;
    DWORD GetLatencyFrames() override;
    // Corked, and emptied of the silence that ends what was played.
    void Pause() override;
    void Resume() override;
    void Interrupt() override;
    void Close() override;

    // Long enough for a loaded machine to answer, short enough that a device
    // is created promptly when a server is named but does not answer.
    static constexpr DWORD kConnectTimeoutMs = 2000;

    // The buffer the server granted, in frames; 0 while not open.
    DWORD GetTargetFrames();
    // Why the last Connect or Open failed, for diagnostics.
    const char *GetFailure() const { return m_pszFailure; }
    // The last Connect gave up on a server that took the connection but did
    // not answer (rather than finding none).
    bool TimedOut() const { return m_timedOut; }

private:
    static void OnContextState(pa_context *context, void *self);
    static void OnStreamState(pa_stream *stream, void *self);
    static void OnStreamWrite(pa_stream *stream, size_t bytes, void *self);
    static void OnSuccess(pa_stream *stream, int success, void *self);
    static void OnTimer(pa_mainloop_api *api, pa_time_event *event, const struct timeval *tv,
                        void *self);

    // With the main loop locked: waits for a callback or until `deadline`
    // (libpulse's monotonic clock); false once the deadline has passed.
    bool WaitUntil(pa_usec_t deadline);
    bool IsStreamGood() const;
    void Disconnect();
    // With the main loop locked: the sink's rate, 0 when it cannot be had.
    DWORD AskSinkRate();
    static void OnSinkInfo(pa_context *context, const pa_sink_info *info, int eol, void *self);
    void Cork(bool cork);

    const CPulseLibrary *m_pulse;
    pa_threaded_mainloop *m_mainloop;
    pa_context *m_context;
    pa_time_event *m_timer;
    pa_stream *m_stream;
    DWORD m_rate;
    size_t m_frameBytes;
    bool m_stalled;
    bool m_corked;
    bool m_starting;  // uncorked, nothing written since
    bool m_timedOut;
    std::atomic<bool> m_bInterrupted;
    DWORD m_sinkRate;  // OnSinkInfo's answer
    CFrameClock m_stallClock;
    const char *m_pszFailure;  // a static text
};
