#include "platform/posix/dsound/CMixer.h"

#include <algorithm>

CMixer::CMixer(DWORD rate) : m_dwRate(rate), m_qwRendered(0)
{
    m_pass.reserve(64);
    m_finished.reserve(64);
}

void CMixer::Add(const std::shared_ptr<CVoice> &voice)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_voices.push_back(voice);
}

void CMixer::Render(float *out, DWORD frames)
{
    std::lock_guard<std::mutex> render(m_renderLock);
    std::fill(out, out + 2 * static_cast<size_t>(frames), 0.0f);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pass = m_voices;
    }
    m_finished.clear();
    for (const std::shared_ptr<CVoice> &voice : m_pass) {
        if (!voice->Mix(out, frames))
            m_finished.push_back(voice.get());
    }
    if (!m_finished.empty()) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_voices.erase(std::remove_if(m_voices.begin(), m_voices.end(),
                                      [this](const std::shared_ptr<CVoice> &v) {
                                          return std::find(m_finished.begin(), m_finished.end(),
                                                           v.get()) != m_finished.end();
                                      }),
                       m_voices.end());
    }
    // The last reference to a finished voice may be this one: its memory
    // is freed here, outside the list's lock.
    m_pass.clear();

    for (size_t i = 0; i < 2 * static_cast<size_t>(frames); ++i) {
        const float v = out[i];
        // NaN from a float buffer becomes silence rather than poisoning the output.
        out[i] = v > 1.0f ? 1.0f : (v >= -1.0f ? v : (v < -1.0f ? -1.0f : 0.0f));
    }
    m_qwRendered.fetch_add(frames, std::memory_order_relaxed);
}

void CMixer::HoldForFork()
{
    m_renderLock.lock();
    m_lock.lock();
    for (const std::shared_ptr<CVoice> &voice : m_voices)
        voice->HoldForFork();
}

void CMixer::ReleaseAfterFork()
{
    for (const std::shared_ptr<CVoice> &voice : m_voices)
        voice->ReleaseAfterFork();
    m_lock.unlock();
    m_renderLock.unlock();
}
