#include "platform/posix/dsound/CMixerThread.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "platform/CLog.h"
#include "platform/posix/output/CNullOutput.h"

namespace {

// Never longer than this, whatever the output says it holds.
const DWORD kLongestHangoverMs = 500;
// The longest period the block is made for.
const DWORD kLongestPeriodMs = 50;

}  // namespace

CMixerThread::CMixerThread(CMixer &mixer, CAudioOutput *output)
    : m_mixer(mixer), m_pOutput(output), m_bStop(false)
{
    int result = 0;
    try {
        const DWORD longest = std::max<DWORD>(mixer.GetRate() * kLongestPeriodMs / 1000, 1);
        m_block.resize(2 * static_cast<size_t>(std::max(longest, output->GetPeriodFrames())));
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
    {
        // A server that takes nothing would hold the thread in Write, and
        // the device's teardown with it.
        std::lock_guard<std::mutex> hold(m_outputLock);
        m_bStop.store(true);
        m_pOutput->Interrupt();
    }
    m_mixer.Wake();
    pthread_join(m_thread, nullptr);
    COutputSearch::Withdraw(m_pRequest);
    m_pOutput->Close();
    delete m_pOutput;
}

void *CMixerThread::_main(void *self)
{
    static_cast<CMixerThread *>(self)->_run();
    return nullptr;
}

void CMixerThread::_wake(void *self)
{
    static_cast<CMixerThread *>(self)->m_mixer.Wake();
}

void CMixerThread::_run()
{
    if (m_pOutput->IsStandIn())
        _look_for_preferred();
    // After the last sound: whether the silence owed has been reckoned, and
    // how many frames of it are still to be written before the output pauses.
    // At the start nothing is owed.
    bool reckoned = true;
    uint64_t owed = 0;
    bool paused = false;
    const uint64_t rate = m_mixer.GetRate();
    while (!m_bStop.load()) {
        if (m_pRequest && m_pRequest->IsAnswered())
            _adopt_found(paused);
        const DWORD period =
            std::max<DWORD>(std::min<DWORD>(m_pOutput->GetPeriodFrames(), static_cast<DWORD>(m_block.size() / 2)), 1);
        if (m_mixer.Render(m_block.data(), period)) {
            reckoned = false;
        } else {
            if (!reckoned) {
                const uint64_t held = m_pOutput->GetLatencyFrames();
                owed = std::min<uint64_t>(held + rate * kHangoverMs / 1000, rate * kLongestHangoverMs / 1000);
                reckoned = true;
            }
            if (owed == 0) {
                // Nothing sounds, and all of it was heard: no wake-ups until
                // a voice starts (or the search finds an output).
                if (!paused) {
                    m_pOutput->Pause();
                    paused = true;
                }
                if (!m_mixer.WaitForSound(m_bStop))
                    break;
                continue;
            }
            owed -= std::min<uint64_t>(owed, period);
        }
        if (paused) {
            m_pOutput->Resume();
            paused = false;
        }
        if (!m_pOutput->Write(m_block.data(), period) && !_fall_back())
            return;
    }
}

// The output failed: its server went away, or stopped answering. Time must
// go on, or one-shot buffers would never end: carry on into the null
// output, and look for the one wanted again.
bool CMixerThread::_fall_back()
{
    CAudioOutput *fallback = new (std::nothrow) CNullOutput();
    if (!fallback || !fallback->Open(m_mixer.GetRate(), 2, 0)) {
        delete fallback;
        return false;
    }
    const CAudioOutput::EKind wanted = m_pOutput->GetWanted();
    fallback->SetWanted(wanted);
    CLog::Line(CLog::LOG_EVENTS, "the %s output went away: the device goes on, unheard, and looks for %s",
               CAudioOutput::NameOf(m_pOutput->GetKind()), CAudioOutput::NameOf(wanted));
    _replace_output(fallback);
    if (fallback->IsStandIn())
        _look_for_preferred();
    return true;
}

void CMixerThread::_adopt_found(bool paused)
{
    CAudioOutput *found = COutputSearch::Take(*m_pRequest);
    m_pRequest.reset();
    if (found == nullptr)
        return;
    CLog::Line(CLog::LOG_EVENTS, "device output: %s answers; the device plays there from now on",
               CAudioOutput::NameOf(found->GetKind()));
    _replace_output(found);
    if (paused)
        m_pOutput->Pause();
    if (m_pOutput->IsStandIn())
        _look_for_preferred();
}

void CMixerThread::_replace_output(CAudioOutput *next)
{
    CAudioOutput *old = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_outputLock);
        old = m_pOutput;
        m_pOutput = next;
        if (m_bStop.load())
            next->Interrupt();
    }
    old->Close();
    delete old;
}

void CMixerThread::_look_for_preferred()
{
    COutputSearch::Withdraw(m_pRequest);
    m_pRequest = COutputSearch::Ask(m_pOutput->GetSought(), m_pOutput->GetWanted(), m_mixer.GetRate(), _wake, this);
}
