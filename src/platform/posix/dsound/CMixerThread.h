// The thread that drives one device's mixer: it renders a period (as long as
// the output asks for) and hands it to the output, whose pace is the
// device's clock. While no voice sounds it writes what the output still owes
// the ear, pauses the output and sleeps until one starts. It owns the output
// and the block it renders into.
//
// A device whose output stands in for the one it prefers (the null output
// for a server or ALSA device that could not be had, or ALSA for a server)
// asks COutputSearch for it; the mixing moves to what is found at the next
// period, every voice as it was. An output that fails (a server gone, or
// frozen past the outputs' limits) gives way to the null output in the same
// way, so that time goes on: one-shot buffers end.
//
// Plain pthreads: the mixer thread is handed only this object. After a fork,
// the child has this object and the output but not the thread, and nothing
// the thread alone referenced is lost (see CDeviceRegistry). Such an object
// is never destroyed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/dsound/CMixer.h"
#include "platform/posix/output/CAudioOutput.h"
#include "platform/posix/output/COutputSearch.h"

class CMixerThread {
public:
    // `output` is open for the mixer's rate, stereo. Throws
    // std::system_error, having closed and freed the output, when the system
    // refuses the thread.
    CMixerThread(CMixer &mixer, CAudioOutput *output);
    // Stops the thread and closes the output.
    ~CMixerThread();
    CMixerThread(const CMixerThread &) = delete;
    CMixerThread &operator=(const CMixerThread &) = delete;

    // Silence written after the last sound before the output pauses, on top
    // of what the output says it still holds: whatever was written is heard
    // to its end.
    static constexpr DWORD kHangoverMs = 20;

private:
    static void *_main(void *self);
    void _run();
    // The output failed: on to the null output, standing in for it. False
    // when even that fails.
    bool _fall_back();
    // An output the search found replaces the current one.
    void _adopt_found(bool paused);
    // The mixer thread's output becomes `next`; the last one is closed.
    void _replace_output(CAudioOutput *next);
    // Asks the search for the output the current one stands in for.
    void _look_for_preferred();
    static void _wake(void *self);

    CMixer &m_mixer;
    CAudioOutput *m_pOutput;  // changed by the mixer thread under m_outputLock
    std::mutex m_outputLock;
    std::vector<float> m_block;
    std::atomic<bool> m_bStop;
    pthread_t m_thread;

    // While the output stands in; the mixer thread's alone.
    std::shared_ptr<COutputSearch::CRequest> m_pRequest;
};
