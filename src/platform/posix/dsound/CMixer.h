// The mixer of one device: every voice of the device, rendered in float to
// interleaved stereo at the output's rate. Render is what the mixer thread
// calls once per period; it works without any output or thread as well,
// which is how the mixer is tested and measured. Owns the list of voices
// (each shared with its buffer), the block of decoded source frames the
// voices are read through, and the signal that wakes an idle mixer thread
// when a voice starts.
#pragma once

#include <atomic>
#include <condition_variable>
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
    // clamped to [-1, 1], and moves the voices on by that much. False when
    // no voice sounded: the block is silence, and so is every block after it
    // until a voice starts (Wake).
    bool Render(float *out, DWORD frames);

    // Frames rendered so far: the device's clock.
    uint64_t GetFramesRendered() const { return m_qwRendered.load(std::memory_order_relaxed); }

    // A detached voice that sounds no more is taken off the list, at once
    // when no pass is rendering, else by the next pass.
    void Drop(CVoice *voice);

    // A voice started: an idle mixer thread goes on.
    void Wake();
    // For the mixer thread once Render found nothing to play: blocks until
    // a voice starts or `stop` is set (with Wake). True when woken for sound.
    bool WaitForSound(const std::atomic<bool> &stop);

    // fork(): the mixer's locks and every voice's, so that all are whole in
    // the child and free there. A pass that is rendering ends first.
    void HoldForFork();
    void ReleaseAfterFork();
    // In the child, before ReleaseAfterFork: the parent's mixer thread,
    // which may have been waiting for a sound, is not there. The wake
    // signal is made anew (the old one would count it as a waiter for
    // good, and never let itself be destroyed).
    void ForgetThreadAfterFork();

private:
    const DWORD m_dwRate;
    std::mutex m_lock;  // the voice list; never held while mixing
    std::vector<std::shared_ptr<CVoice>> m_voices;
    bool m_bListChanged;
    std::mutex m_renderLock;  // one Render at a time
    // The list as the last Render saw it. The voices cannot go meanwhile:
    // only Render, or Drop between two passes, takes them off the list.
    std::vector<CVoice *> m_pass;
    std::vector<CVoice *> m_finished;
    std::unique_ptr<float[]> m_scratch;
    std::atomic<uint64_t> m_qwRendered;

    std::mutex m_wakeLock;
    std::condition_variable m_wakeSignal;
    bool m_bWoken;
};
