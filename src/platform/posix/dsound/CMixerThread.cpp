#include "platform/posix/dsound/CMixerThread.h"

#include <new>
#include <system_error>

#include "platform/CLog.h"
#include "platform/posix/output/CNullOutput.h"

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
    while (!m_bStop.load()) {
        m_mixer.Render(m_block.data(), m_dwPeriod);
        if (!m_pOutput->Write(m_block.data(), m_dwPeriod)) {
            // The server went away. Time must go on, or one-shot buffers
            // would never end: carry on into the null output.
            CAudioOutput *fallback = new (std::nothrow) CNullOutput();
            if (!fallback || !fallback->Open(m_mixer.GetRate(), 2, m_dwPeriod)) {
                delete fallback;
                return;
            }
            CLog::Line(CLog::LOG_EVENTS, "the sound server went away: the device goes on, unheard");
            m_pOutput->Close();
            delete m_pOutput;
            m_pOutput = fallback;
        }
    }
}
