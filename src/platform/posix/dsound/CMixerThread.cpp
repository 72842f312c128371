#include "platform/posix/dsound/CMixerThread.h"

#include <vector>

#include "dudidadu.h"

CMixerThread::CMixerThread(CMixer &mixer, CAudioOutput *output, DWORD periodFrames)
    : m_mixer(mixer), m_pOutput(output), m_dwPeriod(periodFrames), m_bStop(false)
{
    try {
        m_thread = std::thread(&CMixerThread::_run, this);
    } catch (...) {
        m_pOutput->Close();
        delete m_pOutput;
        throw;
    }
}

CMixerThread::~CMixerThread()
{
    m_bStop.store(true);
    m_thread.join();
    m_pOutput->Close();
    delete m_pOutput;
}

void CMixerThread::_run()
{
    std::vector<float> block(2 * static_cast<size_t>(m_dwPeriod));
    while (!m_bStop.load()) {
        m_mixer.Render(block.data(), m_dwPeriod);
        if (!m_pOutput->Write(block.data(), m_dwPeriod)) {
            // The server went away. Time must go on, or one-shot buffers
            // would never end: carry on into the null output.
            CAudioOutput *fallback = CAudioOutput::Create(&DUDIDADU_NULL_OUTPUT);
            if (!fallback->Open(m_mixer.GetRate(), 2, m_dwPeriod)) {
                delete fallback;
                return;
            }
            m_pOutput->Close();
            delete m_pOutput;
            m_pOutput = fallback;
        }
    }
}
