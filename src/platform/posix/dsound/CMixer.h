// The mixer of one device: every voice of the device, rendered in float to
// interleaved stereo at the output's rate. Render is what the mixer thread
// calls once per period; it works without any output or thread as well,
// which is how the mixer is tested and measured.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/dsound/CVoice.h"

class CMixer {
public:
    // Output frames per second; also the rate voices are created for.
    explicit CMixer(DWORD rate);
    CMixer(const CMixer &) = delete;
    CMixer &operator=(const CMixer &) = delete;

    DWORD GetRate() const { return m_dwRate; }

    // Mixed from now on, until it is detached and silent.
    void Add(const std::shared_ptr<CVoice> &voice);

    // Overwrites `frames` stereo frames of `out` with the mix of all voices,
    // clamped to [-1, 1], and moves the voices on by that much.
    void Render(float *out, DWORD frames);

    // Frames rendered so far: the device's clock.
    uint64_t GetFramesRendered() const { return m_qwRendered.load(std::memory_order_relaxed); }

    // fork(): the mixer's locks and every voice's, so that all are whole in
    // the child and free there. A pass that is rendering ends first.
    void HoldForFork();
    void ReleaseAfterFork();

private:
    const DWORD m_dwRate;
    std::mutex m_lock;  // the voice list; never held while mixing
    std::vector<std::shared_ptr<CVoice>> m_voices;
    std::mutex m_renderLock;  // one Render at a time
    std::vector<std::shared_ptr<CVoice>> m_pass;
    std::vector<CVoice *> m_finished;
    std::atomic<uint64_t> m_qwRendered;
};
