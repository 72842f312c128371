// The thread that drives one device's mixer: it renders a period and hands
// it to the output, whose pace is the device's clock. It owns the output.
#pragma once

#include <atomic>
#include <thread>

#include "platform/posix/dsound/CMixer.h"
#include "platform/posix/output/CAudioOutput.h"

class CMixerThread {
public:
    // `output` is open for the mixer's rate, stereo, `periodFrames` frames.
    CMixerThread(CMixer &mixer, CAudioOutput *output, DWORD periodFrames);
    // Stops the thread and closes the output.
    ~CMixerThread();
    CMixerThread(const CMixerThread &) = delete;
    CMixerThread &operator=(const CMixerThread &) = delete;

private:
    void _run();

    CMixer &m_mixer;
    CAudioOutput *m_pOutput;
    const DWORD m_dwPeriod;
    std::atomic<bool> m_bStop;
    std::thread m_thread;
};
