// Output to a PulseAudio server (PipeWire serves the same protocol): one
// playback stream of interleaved float frames at the sink's own rate, kept
// short (about 30 ms end to end) so that sounds start promptly, and corked
// while the mixer has nothing to play.
//
// libpulse's plain main loop runs on the thread that calls the output, in
// its waits: no thread of libpulse's own wakes for the stream, so a period
// costs one wake-up, and an idle output none. Every wait on the server has a
// deadline. A server that takes nothing for a moment is asked whether it
// still answers; meanwhile the frames are kept and the mixer goes on at the
// pace of real time, so that sounds end on time. A server that does not
// answer is given up (Write fails: the device looks for it again), one that
// answers but takes nothing (a suspended sink, a null sink waking up) is
// waited for as before.
#pragma once

#include <atomic>
#include <string>
#include <vector>

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
    DWORD GetPeriodFrames() const override { return m_period; }
    // Blocks until the server takes the frames (see above for a server
    // that does not); false once the connection or the stream has failed,
    // or the server no longer answers.
    bool Write(const float *samples, DWORD frames) override;
    // Asked from the server, waiting a moment at most; without its answer,
    // what the stream's buffer holds at most.
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
    // The last Connect or Open gave up on a server that took the connection
    // but did not answer (rather than finding none).
    bool TimedOut() const { return m_timedOut; }

    // The local sockets libpulse would try for the server the environment
    // names (PULSE_SERVER, else the user's and the system's), for a search
    // that waits for one to appear; false when the server is named some
    // other way (a network address, a list) and cannot be watched.
    static bool GetServerSockets(std::vector<std::string> &paths);

private:
    enum ELag {
        LAG_NONE,     // the server takes what it is given
        LAG_PROBING,  // it took nothing for a while: is it there at all?
        LAG_WAITING,  // it answers but takes nothing: waited for
        LAG_DROPPING  // it has taken nothing for long: frames are dropped
    };

    // One pass of the main loop, waiting until `deadlineNs` (CFrameClock)
    // at most; false once the deadline has passed or the loop fails.
    bool Iterate(uint64_t deadlineNs);
    // What has been queued for the server goes out, without waiting.
    void Flush();
    bool IsStreamGood() const;
    bool ConnectUntil(uint64_t deadlineNs);
    void Disconnect();
    // Waits for the operation, and gives it up, until `deadlineNs`; false
    // when it was not answered by then.
    bool Await(pa_operation *operation, uint64_t deadlineNs);
    // The sink's rate, 0 when it cannot be had by `deadlineNs`.
    DWORD AskSinkRate(uint64_t deadlineNs);
    static void OnSinkInfo(pa_context *context, const pa_sink_info *info, int eol, void *self);
    static void OnInterrupt(pa_mainloop_api *api, pa_io_event *event, int fd, int events, void *self);
    // The main loop's poll, which notes the descriptors it polls for fork().
    static int Poll(struct pollfd *fds, unsigned long count, int timeoutMs, void *self);
    void ForgetFds();
    void Cork(bool cork);
    // The backlog first, then `data`, as far as the server has room; true
    // when anything was taken.
    bool Hand(const unsigned char *&data, size_t &remaining);
    void Keep(const unsigned char *data, size_t bytes);
    void EndLag();

    const CPulseLibrary *m_pulse;
    pa_mainloop *m_mainloop;
    // The descriptors noted (CConnectionFds), each under an address of its
    // own within this object.
    static constexpr unsigned kNotedFds = 8;
    int m_notedFds[kNotedFds];
    int m_interruptFd;
    pa_io_event *m_pInterruptEvent;
    pa_context *m_context;
    pa_stream *m_stream;
    DWORD m_rate;
    DWORD m_period;
    size_t m_frameBytes;
    bool m_corked;
    bool m_starting;  // uncorked, nothing written since
    bool m_timedOut;
    std::atomic<bool> m_bInterrupted;
    DWORD m_sinkRate;  // OnSinkInfo's answer

    ELag m_eLag;
    uint64_t m_qwProgressNs;  // when the server last took frames
    uint64_t m_qwProbeEndNs;
    pa_operation *m_pProbe;
    CFrameClock m_ownClock;              // the pace while the server lags
    std::vector<unsigned char> m_backlog;  // frames kept while it lags
    const char *m_pszFailure;  // a static text
};
