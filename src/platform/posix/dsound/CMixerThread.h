// The thread that drives one device's mixer: it renders a period and hands
// it to the output, whose pace is the device's clock. While no voice sounds
// it pauses the output and sleeps until one starts. It owns the output and
// the block it renders into.
//
// A plain pthread that is handed only this object: after a fork, the child
// has this object and the output but not the thread, and nothing the thread
// alone referenced is lost (see CDeviceRegistry). Such an object is never
// destroyed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <vector>

#include "platform/posix/dsound/CMixer.h"
#include "platform/posix/output/CAudioOutput.h"

class CMixerThread {
public:
    // `output` is open for the mixer's rate, stereo, `periodFrames` frames.
    // Throws std::system_error, having closed and freed the output, when
    // the system refuses the thread.
    CMixerThread(CMixer &mixer, CAudioOutput *output, DWORD periodFrames);
    // Stops the thread and closes the output.
    ~CMixerThread();
    CMixerThread(const CMixerThread &) = delete;
    CMixerThread &operator=(const CMixerThread &) = delete;

private:
    static void *_main(void *self);
    void _run();
    // The output failed: on to the null output. False when even that fails.
    bool _fall_back();

    CMixer &m_mixer;
    CAudioOutput *m_pOutput;
    const DWORD m_dwPeriod;
    std::vector<float> m_block;
    std::atomic<bool> m_bStop;
    pthread_t m_thread;
};
