#include "platform/posix/output/CAlsaOutput.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "platform/CLog.h"
#include "platform/posix/output/CAlsaLibrary.h"
#include "platform/posix/output/CConnectionFds.h"

namespace {

const DWORD kDefaultRate = 48000;
const DWORD kPeriodMs = 10;
// Without a deadline from the caller.
const DWORD kOpenPatienceMs = 2000;
// A device that takes nothing for this long is followed at the pace of real
// time, and given up after the second.
const uint64_t kLagNs = 50u * 1000000u;
const uint64_t kGiveUpNs = 1000u * 1000000u;
// How long Close waits for the thread to close the device itself.
const uint64_t kCloseWaitNs = 100u * 1000000u;

std::chrono::steady_clock::time_point At(uint64_t ns)
{
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

}  // namespace

// What the mixer side and the device's thread share; the thread holds it
// for as long as it runs, whatever became of the output.
struct CAlsaOutput::SShared {
    std::mutex lock;
    std::condition_variable toWorker;
    std::condition_variable toMixer;
    DWORD dwRate = 0;
    WORD wChannels = 0;
    enum EState { OPENING, OPEN, FAILED, ENDED } eState = OPENING;
    const char *pszFailure = "";
    DWORD dwBuffer = 0;
    // The block handed over and not yet taken by the thread.
    std::vector<float> block;
    DWORD dwBlockFrames = 0;
    bool bPause = false;
    bool bClose = false;
    bool bInterrupted = false;
    uint64_t qwProgressNs = 0;  // when the device last took frames
    DWORD dwQueued = 0;         // frames in the device, as last seen
    DWORD dwRecoveries = 0;
    int wakeFd = -1;  // ends the thread's wait for the device

    ~SShared()
    {
        if (wakeFd >= 0)
            close(wakeFd);
    }
    void Wake()
    {
        const uint64_t one = 1;
        if (wakeFd >= 0 && write(wakeFd, &one, sizeof(one)) < 0) {
        }
    }

    static void *Main(void *handed);
    void Run();
    // Writes the frames; false when the device failed or the output closes.
    bool Play(const CAlsaLibrary &alsa, snd_pcm_t *pcm, std::vector<pollfd> &fds, const float *frames,
              DWORD count);
};

CAlsaOutput::CAlsaOutput()
    : m_rate(0), m_period(0), m_buffer(0), m_timedOut(false), m_lagging(false), m_pszFailure("")
{
}

CAlsaOutput::~CAlsaOutput()
{
    Close();
}

void *CAlsaOutput::SShared::Main(void *handed)
{
    std::shared_ptr<SShared> shared = std::move(*static_cast<std::shared_ptr<SShared> *>(handed));
    delete static_cast<std::shared_ptr<SShared> *>(handed);
    shared->Run();
    return nullptr;
}

void CAlsaOutput::SShared::Run()
{
    CAlsaLibrary::OwnThread();
    const CAlsaLibrary &alsa = *CAlsaLibrary::Get();
    snd_pcm_t *pcm = nullptr;
    int result = alsa.pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0)
        pcm = nullptr;
    // Through ALSA's own conversions when the device wants another format.
    if (result >= 0)
        result = alsa.pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, wChannels,
                                     dwRate, 1, kLatencyMs * 1000);
    snd_pcm_uframes_t buffer = 0, period = 0;
    if (result >= 0)
        result = alsa.pcm_get_params(pcm, &buffer, &period);
    // The device's descriptors and our wake-up, for poll.
    std::vector<pollfd> fds;
    const int count = result >= 0 ? alsa.pcm_poll_descriptors_count(pcm) : 0;
    if (count > 0) {
        fds.resize(static_cast<size_t>(count) + 1);
        if (alsa.pcm_poll_descriptors(pcm, fds.data(), static_cast<unsigned>(count)) != count)
            fds.clear();
    }
    bool closing;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (result < 0) {
            eState = FAILED;
            pszFailure = alsa.strerror(result);
        } else {
            eState = OPEN;
            dwBuffer = static_cast<DWORD>(buffer);
            qwProgressNs = CFrameClock::NowNs();
        }
        closing = bClose || result < 0;
        toMixer.notify_all();
    }
    if (!fds.empty()) {
        fds.back().fd = wakeFd;
        fds.back().events = POLLIN;
        for (size_t i = 0; i + 1 < fds.size(); ++i)
            CConnectionFds::Add(&fds[i], fds[i].fd);
    }

    std::vector<float> frames;
    CFrameClock pace;
    bool paced = false;
    while (!closing) {
        DWORD got = 0;
        bool pause = false;
        {
            std::unique_lock<std::mutex> hold(lock);
            toWorker.wait(hold, [this] { return dwBlockFrames != 0 || bPause || bClose; });
            if (bClose)
                break;
            pause = bPause;
            bPause = false;
            if (!pause) {
                frames.swap(block);
                got = dwBlockFrames;
                dwBlockFrames = 0;
                toMixer.notify_all();
            }
        }
        if (pause) {
            // What is left is the silence the mixer wrote after the last sound.
            alsa.pcm_drop(pcm);
            alsa.pcm_prepare(pcm);
            paced = false;
            continue;
        }
        if (!paced) {
            pace.Start(dwRate);
            paced = true;
        }
        if (!Play(alsa, pcm, fds, frames.data(), got))
            break;
        // Written into a prepared device that waits for a full buffer: start
        // it now, so that a sound begins within a period.
        if (alsa.pcm_state(pcm) == SND_PCM_STATE_PREPARED)
            alsa.pcm_start(pcm);
        const snd_pcm_sframes_t avail = alsa.pcm_avail_update(pcm);
        {
            std::lock_guard<std::mutex> hold(lock);
            dwQueued = avail >= 0 && static_cast<DWORD>(avail) < dwBuffer ? dwBuffer - static_cast<DWORD>(avail) : 0;
        }
        // Never further ahead of real time than the buffer: a device that
        // takes everything at once (a null or file PCM) does not hold the
        // mixer back.
        pace.WaitAhead(got, dwBuffer);
    }
    for (size_t i = 0; i + 1 < fds.size(); ++i)
        CConnectionFds::Remove(&fds[i]);
    if (pcm != nullptr) {
        if (eState != FAILED)
            alsa.pcm_drop(pcm);
        alsa.pcm_close(pcm);
    }
    std::lock_guard<std::mutex> hold(lock);
    if (eState != FAILED)
        eState = ENDED;
    toMixer.notify_all();
}

bool CAlsaOutput::SShared::Play(const CAlsaLibrary &alsa, snd_pcm_t *pcm, std::vector<pollfd> &fds,
                                const float *samples, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        const snd_pcm_sframes_t written =
            alsa.pcm_writei(pcm, samples + static_cast<size_t>(done) * wChannels, count - done);
        if (written >= 0) {
            done += static_cast<DWORD>(written);
            std::lock_guard<std::mutex> hold(lock);
            qwProgressNs = CFrameClock::NowNs();
            continue;
        }
        if (written == -EAGAIN) {
            // Until the device has room, or we are told to stop.
            {
                std::lock_guard<std::mutex> hold(lock);
                if (bClose || bInterrupted || bPause)
                    return !bClose;
            }
            if (fds.empty()) {
                usleep(1000);
                continue;
            }
            // A plugin's descriptors say what they mean only through
            // libasound (the pulse plugin's must also be read back).
            if (poll(fds.data(), fds.size(), 1000) > 0) {
                unsigned short revents = 0;
                alsa.pcm_poll_descriptors_revents(pcm, fds.data(), static_cast<unsigned>(fds.size() - 1),
                                                  &revents);
            }
            continue;
        }
        if (written == -EINTR)
            continue;
        // An underrun (or a suspend) is mended where it happened; the mixer
        // goes on.
        const int mended = alsa.pcm_recover(pcm, static_cast<int>(written), 1);
        std::lock_guard<std::mutex> hold(lock);
        if (mended < 0) {
            CLog::Line(CLog::LOG_EVENTS, "the ALSA device failed: %s", alsa.strerror(mended));
            eState = FAILED;
            toMixer.notify_all();
            return false;
        }
        ++dwRecoveries;
    }
    return true;
}

bool CAlsaOutput::Open(DWORD rate, WORD channels, DWORD periodFrames)
{
    Close();
    m_timedOut = false;
    if (channels == 0)
        return false;
    if (!CAlsaLibrary::Get()) {
        m_pszFailure = "libasound.so.2 is not installed";
        return false;
    }
    if (rate == 0)
        rate = kDefaultRate;
    const uint64_t deadline = TakeOpenDeadline(kOpenPatienceMs);
    std::shared_ptr<SShared> shared;
    std::shared_ptr<SShared> *handed = nullptr;
    try {
        shared = std::make_shared<SShared>();
        shared->block.reserve(static_cast<size_t>(rate / 40) * channels);
        handed = new std::shared_ptr<SShared>(shared);
    } catch (...) {
        m_pszFailure = "out of memory";
        return false;
    }
    shared->dwRate = rate;
    shared->wChannels = channels;
    shared->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_t worker;
    if (pthread_create(&worker, nullptr, SShared::Main, handed) != 0) {
        delete handed;
        m_pszFailure = "no thread for the device";
        return false;
    }
    pthread_detach(worker);

    std::unique_lock<std::mutex> hold(shared->lock);
    shared->toMixer.wait_until(hold, At(deadline), [&] { return shared->eState != SShared::OPENING; });
    if (shared->eState != SShared::OPEN) {
        if (shared->eState == SShared::OPENING) {
            // Let go: the thread closes the device once libasound lets it.
            shared->bClose = true;
            m_timedOut = true;
            m_pszFailure = "the ALSA device did not answer in time";
        } else {
            m_pszFailure = shared->pszFailure;
        }
        return false;
    }
    m_rate = rate;
    m_period = periodFrames ? periodFrames : rate * kPeriodMs / 1000;
    m_buffer = shared->dwBuffer;
    m_lagging = false;
    hold.unlock();
    m_pShared = std::move(shared);
    return true;
}

bool CAlsaOutput::Write(const float *samples, DWORD frames)
{
    if (!m_pShared || (!samples && frames != 0))
        return false;
    SShared &shared = *m_pShared;
    std::unique_lock<std::mutex> hold(shared.lock);
    uint64_t due = 0;  // this block's end on the own clock, once the device lags
    for (;;) {
        if (shared.eState != SShared::OPEN)
            return false;
        if (shared.bInterrupted)
            return true;  // dropped
        if (shared.dwBlockFrames == 0) {
            try {
                shared.block.assign(samples, samples + static_cast<size_t>(frames) * shared.wChannels);
            } catch (...) {
                return true;  // without memory the block is dropped
            }
            shared.dwBlockFrames = frames;
            // The thread was free for it: it is well, whatever it last wrote.
            shared.qwProgressNs = CFrameClock::NowNs();
            shared.toWorker.notify_one();
            m_lagging = false;
            return true;
        }
        const uint64_t now = CFrameClock::NowNs();
        const uint64_t progress = shared.qwProgressNs;
        if (now >= progress + kGiveUpNs) {
            CLog::Line(CLog::LOG_EVENTS, "the ALSA device takes no sound");
            return false;
        }
        if (!m_lagging && now < progress + kLagNs) {
            shared.toMixer.wait_until(hold, At(progress + kLagNs));
            continue;
        }
        // The device takes nothing: the frames go at the pace they would
        // have been heard.
        if (!m_lagging) {
            m_lagging = true;
            m_ownClock.Start(m_rate);
        }
        if (due == 0)
            due = m_ownClock.Due(frames);
        if (now >= due)
            return true;
        shared.toMixer.wait_until(hold, At(std::min(due, progress + kGiveUpNs)));
    }
}

DWORD CAlsaOutput::GetLatencyFrames()
{
    if (!m_pShared)
        return 0;
    std::lock_guard<std::mutex> hold(m_pShared->lock);
    return m_pShared->dwQueued + m_pShared->dwBlockFrames;
}

DWORD CAlsaOutput::GetRecoveries() const
{
    if (!m_pShared)
        return 0;
    std::lock_guard<std::mutex> hold(m_pShared->lock);
    return m_pShared->dwRecoveries;
}

void CAlsaOutput::Pause()
{
    if (!m_pShared)
        return;
    std::lock_guard<std::mutex> hold(m_pShared->lock);
    m_pShared->dwBlockFrames = 0;
    m_pShared->bPause = true;
    m_pShared->toWorker.notify_one();
    m_pShared->Wake();
}

void CAlsaOutput::Interrupt()
{
    if (!m_pShared)
        return;
    std::lock_guard<std::mutex> hold(m_pShared->lock);
    m_pShared->bInterrupted = true;
    m_pShared->toMixer.notify_all();
    m_pShared->Wake();
}

void CAlsaOutput::Close()
{
    if (!m_pShared)
        return;
    std::shared_ptr<SShared> shared = std::move(m_pShared);
    std::unique_lock<std::mutex> hold(shared->lock);
    shared->bClose = true;
    shared->toWorker.notify_one();
    shared->Wake();
    // Closed before the next device opens it, unless libasound holds the
    // thread up: then it closes by itself, later.
    shared->toMixer.wait_until(hold, At(CFrameClock::NowNs() + kCloseWaitNs), [&] {
        return shared->eState == SShared::ENDED || shared->eState == SShared::FAILED;
    });
    m_buffer = 0;
}
