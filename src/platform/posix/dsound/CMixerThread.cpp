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
      m_bStop(false)
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
    {
        // A server that takes nothing would hold the thread in Write, and
        // the device's teardown with it.
        std::lock_guard<std::mutex> hold(m_outputLock);
        m_bStop.store(true);
        m_pOutput->Interrupt();
    }
    m_mixer.Wake();
    pthread_join(m_thread, nullptr);
    _stop_seeking();
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
        if (m_pSeek && m_pSeek->bFound.load(std::memory_order_acquire))
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
    _replace_output(fallback);
    if (fallback->IsStandIn())
        _start_seeking();
    return true;
}

void CMixerThread::_adopt_found(bool paused)
{
    CAudioOutput *found = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_pSeek->lock);
        found = m_pSeek->pFound;
        m_pSeek->pFound = nullptr;
        m_pSeek->bFound.store(false);
    }
    if (found == nullptr)
        return;
    CLog::Line(CLog::LOG_EVENTS, "device output: %s answers; the device plays there from now on",
               CAudioOutput::NameOf(found->GetKind()));
    _replace_output(found);
    if (paused)
        m_pOutput->Pause();
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

void CMixerThread::_start_seeking()
{
    // The last seeker, if any, found what the output that just went away
    // was: it has ended or is about to.
    _stop_seeking();
    std::shared_ptr<SSeek> seek;
    try {
        seek = std::make_shared<SSeek>();
    } catch (...) {
        return;  // no memory: the device stays where it is
    }
    seek->eSought = m_pOutput->GetWanted();
    seek->dwRate = m_mixer.GetRate();
    seek->dwPeriod = m_dwPeriod;
    seek->pMixer = &m_mixer;
    std::shared_ptr<SSeek> *handed = new (std::nothrow) std::shared_ptr<SSeek>(seek);
    pthread_t seeker;
    if (handed == nullptr || pthread_create(&seeker, nullptr, _seek_main, handed) != 0) {
        delete handed;
        return;
    }
    pthread_detach(seeker);
    m_pSeek = std::move(seek);
}

// Not joined: a seeker may be waiting for a server that does not answer,
// and the device's teardown must not wait with it. Once told to stop it
// touches nothing of the device and closes what it finds.
void CMixerThread::_stop_seeking()
{
    if (!m_pSeek)
        return;
    {
        std::lock_guard<std::mutex> hold(m_pSeek->lock);
        m_pSeek->bStop = true;
        if (m_pSeek->pFound != nullptr) {
            m_pSeek->pFound->Close();
            delete m_pSeek->pFound;
            m_pSeek->pFound = nullptr;
        }
        m_pSeek->signal.notify_all();
    }
    m_pSeek.reset();
}

void *CMixerThread::_seek_main(void *handed)
{
    std::shared_ptr<SSeek> seek = std::move(*static_cast<std::shared_ptr<SSeek> *>(handed));
    delete static_cast<std::shared_ptr<SSeek> *>(handed);
    _seek(*seek);
    return nullptr;
}

void CMixerThread::_seek(SSeek &seek)
{
    std::unique_lock<std::mutex> hold(seek.lock);
    for (;;) {
        if (seek.signal.wait_for(hold, std::chrono::milliseconds(kRetryMs), [&seek] { return seek.bStop; }))
            return;
        hold.unlock();
        const char *why = "";
        CAudioOutput *found =
            CAudioOutput::OpenPreferred(seek.eSought, seek.dwRate, 2, seek.dwPeriod, kSeekPatienceMs, &why);
        hold.lock();
        if (seek.bStop) {
            if (found != nullptr) {
                found->Close();
                delete found;
            }
            return;
        }
        if (found != nullptr) {
            found->SetWanted(seek.eSought);
            seek.pFound = found;
            seek.bFound.store(true, std::memory_order_release);
            // An idle mixer thread takes it now, and pauses it. Under the
            // lock: once stopped, the device and its mixer may be gone.
            seek.pMixer->Wake();
            return;
        }
    }
}
