#include "platform/posix/dsound/CMixerThread.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "platform/CLog.h"
#include "platform/posix/output/CNullOutput.h"

namespace {

// Silence written after the last sound before the output pauses, on top of
// what the output still holds: whatever was written is heard to its end.
const DWORD kHangoverMs = 20;
// Never longer than this, whatever the output says it holds.
const DWORD kLongestHangoverMs = 500;

}  // namespace

CMixerThread::CMixerThread(CMixer &mixer, CAudioOutput *output, DWORD periodFrames)
    : m_mixer(mixer), m_pOutput(output), m_dwPeriod(periodFrames), m_bStop(false)
{
    int result = 0;
    try {
        m_block.resize(2 * static_cast<size_t>(m_dwPeriod));
        result = pthread_create(&m_thread, nullptr, _main, this);
    } catch (...) {
        m_pOutput->Close();
        delete m_pOutput;
        throw;
    }
    if (result != 0) {
        m_pOutput->Close();
        delete m_pOutput;
        throw std::system_error(result, std::generic_category(), "mixer thread");
    }
}

CMixerThread::~CMixerThread()
{
    m_bStop.store(true);
    m_mixer.Wake();
    pthread_join(m_thread, nullptr);
    m_pOutput->Close();
    delete m_pOutput;
}

void *CMixerThread::_main(void *self)
{
    static_cast<CMixerThread *>(self)->_run();
    return nullptr;
}

void CMixerThread::_run()
{
    // Frames of silence still to write before the output may pause; -1
    // while something sounds.
    int64_t hangover = -1;
    while (!m_bStop.load()) {
        if (m_mixer.Render(m_block.data(), m_dwPeriod)) {
            hangover = -1;
        } else if (hangover < 0) {
            const uint64_t held = m_pOutput->GetLatencyFrames();
            const uint64_t rate = m_mixer.GetRate();
            hangover = static_cast<int64_t>(
                std::min<uint64_t>(held + rate * kHangoverMs / 1000, rate * kLongestHangoverMs / 1000));
        } else if (hangover <= 0) {
            // Nothing sounds, and all of it was heard: no wake-ups until a
            // voice starts.
            m_pOutput->Pause();
            if (!m_mixer.WaitForSound(m_bStop))
                break;
            m_pOutput->Resume();
            hangover = -1;
            continue;
        }
        if (hangover > 0)
            hangover -= m_dwPeriod;
        if (!m_pOutput->Write(m_block.data(), m_dwPeriod) && !_fall_back())
            return;
    }
}

// The server went away. Time must go on, or one-shot buffers would never
// end: carry on into the null output.
bool CMixerThread::_fall_back()
{
    CAudioOutput *fallback = new (std::nothrow) CNullOutput();
    if (!fallback || !fallback->Open(m_mixer.GetRate(), 2, m_dwPeriod)) {
        delete fallback;
        return false;
    }
    CLog::Line(CLog::LOG_EVENTS, "the sound server went away: the device goes on, unheard");
    m_pOutput->Close();
    delete m_pOutput;
    m_pOutput = fallback;
    return true;
}
