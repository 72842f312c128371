#include "platform/posix/dsound/CMixerThread.h"

#include <algorithm>
#include <chrono>
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
// A server that does not answer within this is tried again later.
const DWORD kSeekPatienceMs = 2000;

}  // namespace

CMixerThread::CMixerThread(CMixer &mixer, CAudioOutput *output, DWORD periodFrames)
    : m_mixer(mixer),
      m_pOutput(output),
      m_dwPeriod(periodFrames),
      m_bStop(false),
      m_bSeeking(false),
      m_bStopSeeking(false),
      m_eSought(CAudioOutput::OUTPUT_NULL),
      m_pFound(nullptr),
      m_bFound(false)
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
    _stop_seeking();
    if (m_pFound != nullptr) {
        m_pFound->Close();
        delete m_pFound;
    }
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
    if (m_pOutput->IsStandIn())
        _start_seeking();
    // Frames of silence still owed after the last sound before the output
    // may pause; -1 while something sounds.
    int64_t hangover = 0;
    bool paused = false;
    while (!m_bStop.load()) {
        if (m_bFound.load(std::memory_order_acquire))
            _adopt_found(paused);
        if (m_mixer.Render(m_block.data(), m_dwPeriod)) {
            hangover = -1;
        } else {
            if (hangover < 0) {
                const uint64_t held = m_pOutput->GetLatencyFrames();
                const uint64_t rate = m_mixer.GetRate();
                hangover = static_cast<int64_t>(
                    std::min<uint64_t>(held + rate * kHangoverMs / 1000, rate * kLongestHangoverMs / 1000));
            }
            if (hangover <= 0) {
                // Nothing sounds, and all of it was heard: no wake-ups until
                // a voice starts (or the seeker finds an output).
                if (!paused) {
                    m_pOutput->Pause();
                    paused = true;
                }
                if (!m_mixer.WaitForSound(m_bStop))
                    break;
                continue;
            }
            hangover -= m_dwPeriod;
        }
        if (paused) {
            m_pOutput->Resume();
            paused = false;
        }
        if (!m_pOutput->Write(m_block.data(), m_dwPeriod) && !_fall_back())
            return;
    }
}

// The server went away. Time must go on, or one-shot buffers would never
// end: carry on into the null output, and look for the server again.
bool CMixerThread::_fall_back()
{
    CAudioOutput *fallback = new (std::nothrow) CNullOutput();
    if (!fallback || !fallback->Open(m_mixer.GetRate(), 2, m_dwPeriod)) {
        delete fallback;
        return false;
    }
    const CAudioOutput::EKind wanted = m_pOutput->GetWanted();
    fallback->SetWanted(wanted);
    CLog::Line(CLog::LOG_EVENTS, "the %s output went away: the device goes on, unheard, and looks for %s",
               CAudioOutput::NameOf(m_pOutput->GetKind()), CAudioOutput::NameOf(wanted));
    m_pOutput->Close();
    delete m_pOutput;
    m_pOutput = fallback;
    if (fallback->IsStandIn())
        _start_seeking();
    return true;
}

void CMixerThread::_adopt_found(bool paused)
{
    CAudioOutput *found = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_seekLock);
        found = m_pFound;
        m_pFound = nullptr;
        m_bFound.store(false);
    }
    if (found == nullptr)
        return;
    CLog::Line(CLog::LOG_EVENTS, "device output: %s answers; the device plays there from now on",
               CAudioOutput::NameOf(found->GetKind()));
    m_pOutput->Close();
    delete m_pOutput;
    m_pOutput = found;
    if (paused)
        m_pOutput->Pause();
}

void CMixerThread::_start_seeking()
{
    // The last seeker, if any, found what the output that just went away
    // was: it has ended or is about to.
    _stop_seeking();
    std::lock_guard<std::mutex> hold(m_seekLock);
    m_eSought = m_pOutput->GetWanted();
    m_bStopSeeking = false;
    m_bSeeking = pthread_create(&m_seeker, nullptr, _seek_main, this) == 0;
}

void CMixerThread::_stop_seeking()
{
    {
        std::lock_guard<std::mutex> hold(m_seekLock);
        if (!m_bSeeking)
            return;
        m_bStopSeeking = true;
        m_seekSignal.notify_all();
    }
    pthread_join(m_seeker, nullptr);
    std::lock_guard<std::mutex> hold(m_seekLock);
    m_bSeeking = false;
}

void *CMixerThread::_seek_main(void *self)
{
    static_cast<CMixerThread *>(self)->_seek();
    return nullptr;
}

void CMixerThread::_seek()
{
    std::unique_lock<std::mutex> hold(m_seekLock);
    for (;;) {
        if (m_seekSignal.wait_for(hold, std::chrono::milliseconds(kRetryMs), [this] { return m_bStopSeeking; }))
            return;
        const CAudioOutput::EKind sought = m_eSought;
        hold.unlock();
        const char *why = "";
        CAudioOutput *found =
            CAudioOutput::OpenPreferred(sought, m_mixer.GetRate(), 2, m_dwPeriod, kSeekPatienceMs, &why);
        hold.lock();
        if (found != nullptr) {
            found->SetWanted(sought);
            m_pFound = found;
            m_bFound.store(true, std::memory_order_release);
            hold.unlock();
            // An idle mixer thread takes it now, and pauses it.
            m_mixer.Wake();
            return;
        }
    }
}
