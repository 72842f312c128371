#include "platform/posix/dsound/CMixer.h"

#include <algorithm>
#include <new>

CMixer::CMixer(DWORD rate)
    : m_dwRate(rate),
      m_bListChanged(false),
      m_scratch(new float[4 * kMixScratchFrames]),
      m_qwRendered(0),
      m_bWoken(false)
{
    m_pass.reserve(64);
    m_finished.reserve(64);
}

void CMixer::Add(const std::shared_ptr<CVoice> &voice)
{
    voice->SetMixer(this);
    std::lock_guard<std::mutex> guard(m_lock);
    m_voices.push_back(voice);
    m_bListChanged = true;
}

bool CMixer::Render(float *out, DWORD frames)
{
    std::lock_guard<std::mutex> render(m_renderLock);
    std::fill(out, out + 2 * static_cast<size_t>(frames), 0.0f);
    {
        // A start from now on is seen by this pass or wakes the next wait.
        std::lock_guard<std::mutex> wake(m_wakeLock);
        m_bWoken = false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bListChanged) {
            m_pass.clear();
            for (const std::shared_ptr<CVoice> &voice : m_voices)
                m_pass.push_back(voice.get());
            m_bListChanged = false;
        }
    }
    bool sounded = false;
    m_finished.clear();
    for (CVoice *voice : m_pass) {
        const CVoice::EMixed mixed = voice->Mix(out, frames, m_scratch.get());
        if (mixed == CVoice::MIX_SOUNDING)
            sounded = true;
        else if (mixed == CVoice::MIX_FINISHED)
            m_finished.push_back(voice);
    }
    if (!m_finished.empty()) {
        // The last reference to a finished voice may be the list's: it is
        // freed after the list's lock is let go.
        std::vector<std::shared_ptr<CVoice>> gone;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto keep = std::stable_partition(m_voices.begin(), m_voices.end(),
                                              [this](const std::shared_ptr<CVoice> &v) {
                                                  return std::find(m_finished.begin(), m_finished.end(),
                                                                   v.get()) == m_finished.end();
                                              });
            gone.assign(std::make_move_iterator(keep), std::make_move_iterator(m_voices.end()));
            m_voices.erase(keep, m_voices.end());
            m_bListChanged = true;
        }
    }

    if (sounded)
        ClampMix(out, 2 * static_cast<size_t>(frames));
    m_qwRendered.fetch_add(frames, std::memory_order_relaxed);
    return sounded;
}

void CMixer::Drop(CVoice *voice)
{
    // Never waits for a pass: one that is rendering leaves the voice to the
    // next, which the wake makes sure of.
    std::unique_lock<std::mutex> render(m_renderLock, std::try_to_lock);
    if (!render.owns_lock()) {
        Wake();
        return;
    }
    // The last reference may be the list's: freed after the lock is let go.
    std::shared_ptr<CVoice> gone;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = std::find_if(m_voices.begin(), m_voices.end(),
                                  [voice](const std::shared_ptr<CVoice> &v) { return v.get() == voice; });
        if (found == m_voices.end())
            return;
        gone = std::move(*found);
        m_voices.erase(found);
        m_bListChanged = true;
    }
}

void CMixer::Wake()
{
    std::lock_guard<std::mutex> wake(m_wakeLock);
    m_bWoken = true;
    m_wakeSignal.notify_all();
}

bool CMixer::WaitForSound(const std::atomic<bool> &stop)
{
    std::unique_lock<std::mutex> wake(m_wakeLock);
    m_wakeSignal.wait(wake, [&] { return m_bWoken || stop.load(); });
    return !stop.load();
}

void CMixer::HoldForFork()
{
    m_renderLock.lock();
    m_lock.lock();
    m_wakeLock.lock();
    for (const std::shared_ptr<CVoice> &voice : m_voices)
        voice->HoldForFork();
}

void CMixer::ReleaseAfterFork()
{
    for (const std::shared_ptr<CVoice> &voice : m_voices)
        voice->ReleaseAfterFork();
    m_wakeLock.unlock();
    m_lock.unlock();
    m_renderLock.unlock();
}

void CMixer::ForgetThreadAfterFork()
{
    // Not destroyed: its destructor would wait for the waiter that is gone.
    new (&m_wakeSignal) std::condition_variable;
}
