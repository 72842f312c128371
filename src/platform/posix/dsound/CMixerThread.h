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
// Plain pthreads: the mixer thread is handed only this object, a seeker only
// the state it shares with it (a seeker is never waited for: it may be
// waiting for a server that does not answer). After a fork, the child has
// this object and the output but not the threads, and nothing the threads
// alone referenced is lost (see CDeviceRegistry). Such an object is never
// destroyed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <memory>
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
    // The mixer thread's output becomes `next`; the last one is closed.
    void _replace_output(CAudioOutput *next);

    // What the mixer thread shares with a seeker, which may outlive it.
    struct SSeek {
        std::mutex lock;
        std::condition_variable signal;
        bool bStop = false;
        CAudioOutput::EKind eSought = CAudioOutput::OUTPUT_NULL;
        DWORD dwRate = 0;
        DWORD dwPeriod = 0;
        CMixer *pMixer = nullptr;  // not touched once bStop is set
        CAudioOutput *pFound = nullptr;
        std::atomic<bool> bFound{false};
    };
    static void *_seek_main(void *handed);
    static void _seek(SSeek &seek);
    void _start_seeking();
    void _stop_seeking();

    CMixer &m_mixer;
    CAudioOutput *m_pOutput;  // changed by the mixer thread under m_outputLock
    std::mutex m_outputLock;
    const DWORD m_dwPeriod;
    std::vector<float> m_block;
    std::atomic<bool> m_bStop;
    pthread_t m_thread;

    // The seeker's state, while one looks; the mixer thread's alone.
    std::shared_ptr<SSeek> m_pSeek;
};
