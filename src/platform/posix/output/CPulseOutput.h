// Output to a PulseAudio server (PipeWire serves the same protocol), through
// libpulse's threaded main loop: one playback stream of interleaved float
// frames, kept short (about 20 ms) so that sounds start promptly.
#pragma once

#include <stddef.h>

#include "platform/posix/output/CAudioOutput.h"
#include "platform/posix/output/CFrameClock.h"
#include "platform/posix/output/CPulseLibrary.h"

class CPulseOutput : public CAudioOutput {
public:
    CPulseOutput();
    ~CPulseOutput() override;

    // Loads libpulse and connects to the server the environment names (never
    // spawning one), giving up after a short while; false when no server
    // answers. Open connects by itself when this has not been done.
    bool Connect();

    bool Open(DWORD rate, WORD channels, DWORD periodFrames) override;
    // Blocks until the server takes the frames. While the server takes
    // nothing at all for a while (a suspended or stalled server), the frames
    // are dropped in real time, so the mixer keeps its pace; false once the
    // connection or the stream has failed.
    bool Write(const float *samples, DWORD frames) override;
    DWORD GetLatencyFrames() override;
    void Close() override;

    // The buffer the server granted, in frames; 0 while not open.
    DWORD GetTargetFrames();
    // Why the last Connect or Open failed, for diagnostics.
    const char *GetFailure() const { return m_pszFailure; }

private:
    static void OnContextState(pa_context *context, void *self);
    static void OnStreamState(pa_stream *stream, void *self);
    static void OnStreamWrite(pa_stream *stream, size_t bytes, void *self);
    static void OnTimer(pa_mainloop_api *api, pa_time_event *event, const struct timeval *tv,
                        void *self);

    // With the main loop locked: waits for a callback or until `deadline`
    // (libpulse's monotonic clock); false once the deadline has passed.
    bool WaitUntil(pa_usec_t deadline);
    bool IsStreamGood() const;
    void Disconnect();

    const CPulseLibrary *m_pulse;
    pa_threaded_mainloop *m_mainloop;
    pa_context *m_context;
    pa_time_event *m_timer;
    pa_stream *m_stream;
    DWORD m_rate;
    size_t m_frameBytes;
    bool m_stalled;
    CFrameClock m_stallClock;
    const char *m_pszFailure;  // a static text
};
