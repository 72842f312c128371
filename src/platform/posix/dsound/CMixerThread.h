// The thread that drives one device's mixer: it renders a period and hands
// it to the output, whose pace is the device's clock. While no voice sounds
// it pauses the output and sleeps until one starts. It owns the output and
// the block it renders into.
//
// A device whose output is the null output standing in for a sound server
// or card that could not be had (none answered, or it went away) tries them
// again about every second on a thread of its own, which never holds up a
// call or the mixer; the mixing moves to what answers at the next period,
// every voice as it was.
//
// Plain pthreads that are handed only this object: after a fork, the child
// has this object and the output but not the threads, and nothing the
// threads alone referenced is lost (see CDeviceRegistry). Such an object is
// never destroyed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/posix/dsound/CMixer.h"
#include "platform/posix/output/CAudioOutput.h"

class CMixerThread {
public:
    // `output` is open for the mixer's rate, stereo, `periodFrames` frames.
    // Throws std::system_error, having closed and freed the output, when
    // the system refuses the thread.
    CMixerThread(CMixer &mixer, CAudioOutput *output, DWORD periodFrames);
    // Stops the threads and closes the output.
    ~CMixerThread();
    CMixerThread(const CMixerThread &) = delete;
    CMixerThread &operator=(const CMixerThread &) = delete;

    // Between the seeker's tries.
    static constexpr DWORD kRetryMs = 1000;

private:
    static void *_main(void *self);
    void _run();
    // The output failed: on to the null output, standing in for it. False
    // when even that fails.
    bool _fall_back();
    // An output the seeker found replaces the current one.
    void _adopt_found(bool paused);

    static void *_seek_main(void *self);
    void _seek();
    void _start_seeking();
    void _stop_seeking();

    CMixer &m_mixer;
    CAudioOutput *m_pOutput;
    const DWORD m_dwPeriod;
    std::vector<float> m_block;
    std::atomic<bool> m_bStop;
    pthread_t m_thread;

    // The seeker: what it looks for, and what it found for the mixer thread.
    std::mutex m_seekLock;
    std::condition_variable m_seekSignal;
    bool m_bSeeking;  // the seeker thread exists (joined by _stop_seeking)
    bool m_bStopSeeking;
    CAudioOutput::EKind m_eSought;
    CAudioOutput *m_pFound;
    std::atomic<bool> m_bFound;
    pthread_t m_seeker;
};
