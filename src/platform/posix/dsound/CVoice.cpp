#include "platform/posix/dsound/CVoice.h"

#include "platform/posix/dsound/CMixer.h"

#include <math.h>
#include <string.h>

#include <algorithm>

namespace {

// Volume and pan in hundredths of a decibel; -10000 is silence, not merely
// -100 dB.
float Amplitude(LONG attenuation)
{
    if (attenuation <= DSBVOLUME_MIN)
        return 0.0f;
    return static_cast<float>(pow(10.0, attenuation / 2000.0));
}

uint64_t Step(DWORD frequency, DWORD outputRate)
{
    return (static_cast<uint64_t>(frequency) << 32) / outputRate;
}

}  // namespace

CVoice::CVoice(const CSampleFormat &format, DWORD bytes, DWORD outputRate)
    : m_format(format),
      m_dwSize(bytes),
      m_dwOutputRate(outputRate),
      m_dwRampFrames(std::max<DWORD>(outputRate / 200, 1)),  // 5 ms
      m_pMixer(nullptr),
      m_bSilenceOwed(true),
      m_bLentToOverwrite(false),
      m_bPlaying(false),
      m_bLoop(false),
      m_bDetached(false),
      m_lVolume(DSBVOLUME_MAX),
      m_lPan(DSBPAN_CENTER),
      m_dwFrequency(format.GetRate()),
      m_fTargetLeft(1.0f),
      m_fTargetRight(1.0f),
      m_qwPos(0),
      m_bStarting(false),
      m_fGainLeft(1.0f),
      m_fGainRight(1.0f),
      m_dwRampLeft(0),
      m_fRampStepLeft(0.0f),
      m_fRampStepRight(0.0f),
      m_fRampEndLeft(1.0f),
      m_fRampEndRight(1.0f),
      m_dwTailPos(0),
      m_dwTailLeft(0)
{
    // Not cleared: the silence is owed until something could read it.
    BYTE *data = static_cast<BYTE *>(malloc(bytes));
    m_pData.reset(data);
    m_tail.assign(2 * static_cast<size_t>(m_dwRampFrames), 0.0f);

    m_source.pData = data;
    m_source.qwFrames = bytes / format.GetBlockAlign();
    m_source.dwBlockAlign = format.GetBlockAlign();
    m_source.dwSampleBytes = format.GetSampleBytes();
    m_source.dwChannels = m_format.GetHeardChannels();
    m_source.pLeft = m_format.GetLeftWeights();
    m_source.pRight = m_format.GetRightWeights();
    m_source.eEncoding = format.GetEncoding();
    m_source.eLayout = format.GetLayout();
    m_source.bStereo = format.GetLayout() != CSampleFormat::LAYOUT_MONO;
    m_source.bLoop = false;
    m_source.bWrapped = false;
    _set_step(m_dwFrequency, CSincTable::ForStep(Step(m_dwFrequency, outputRate)),
              CRatioTable::For(m_dwFrequency, outputRate));
}

void CVoice::Lend(DWORD offset, DWORD bytes, bool overwrite)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_bSilenceOwed)
        return;
    if (overwrite && offset == 0 && bytes == m_dwSize && !m_bLentToOverwrite)
        m_bLentToOverwrite = true;
    else
        _pay_silence();
}

void CVoice::Return(DWORD offset1, DWORD bytes1, DWORD offset2, DWORD bytes2)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_bSilenceOwed || !m_bLentToOverwrite)
        return;
    // Silence between and around the regions written, in buffer order.
    if (bytes2 != 0 && (bytes1 == 0 || offset2 < offset1)) {
        std::swap(offset1, offset2);
        std::swap(bytes1, bytes2);
    }
    const struct {
        DWORD from, bytes;
    } written[] = {{offset1, bytes1}, {offset2, bytes2}, {m_dwSize, 0}};
    DWORD at = 0;
    for (const auto &w : written) {
        if (w.from > at)
            memset(m_pData.get() + at, m_format.GetSilence(), w.from - at);
        at = std::max<DWORD>(at, w.from + w.bytes);
    }
    m_bSilenceOwed = false;
    m_bLentToOverwrite = false;
}

void CVoice::_pay_silence()
{
    memset(m_pData.get(), m_format.GetSilence(), m_dwSize);
    m_bSilenceOwed = false;
    m_bLentToOverwrite = false;
}

void CVoice::Play(bool loop)
{
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bDetached)
            return;
        // The mixer reads what was never written as silence.
        if (m_bSilenceOwed)
            _pay_silence();
        if (!m_bPlaying) {
            m_bPlaying = true;
            m_bStarting = true;
            m_source.bWrapped = false;
            started = true;
        }
        m_bLoop = loop;
    }
    // Outside the voice's lock: a fork takes the mixer's locks before it.
    if (started && m_pMixer != nullptr)
        m_pMixer->Wake();
}

void CVoice::Stop()
{
    std::lock_guard<std::mutex> guard(m_lock);
    _stop();
}

void CVoice::Detach()
{
    bool silent = false;
    std::unique_ptr<BYTE, Free> data;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        _stop();
        m_bDetached = true;
        silent = m_dwTailLeft == 0;
        // Nothing reads the bytes from here on (a fade-out is in the tail):
        // they go back now, not when the mixer lets the voice go.
        data = std::move(m_pData);
        m_source.pData = nullptr;
    }
    // A voice with nothing left to sound leaves the mixer now: an idle mixer
    // would not look at it until the next sound starts. Outside the voice's
    // lock, as in Play.
    if (silent && m_pMixer != nullptr)
        m_pMixer->Drop(this);
}

void CVoice::_stop()
{
    if (!m_bPlaying)
        return;
    m_bPlaying = false;
    if (m_bStarting)
        return;  // nothing of it was heard yet

    // Render the fade-out now, on top of what is left of an earlier one, so
    // that the memory is free for the application as soon as we return.
    float *tail = m_tail.data();
    memmove(tail, tail + 2 * m_dwTailPos, 2 * sizeof(float) * m_dwTailLeft);
    std::fill(tail + 2 * m_dwTailLeft, tail + m_tail.size(), 0.0f);
    uint64_t pos = m_qwPos;
    float left = m_fGainLeft, right = m_fGainRight;
    DWORD ramp = m_dwRampFrames;
    m_source.bLoop = m_bLoop;
    const bool wrapped = m_source.bWrapped;
    // On the caller's stack, which may be a small one: a few pieces.
    const DWORD kTailScratch = 256;
    float scratch[4 * kTailScratch];
    _render(tail, m_dwRampFrames, pos, left, right, ramp, -left / m_dwRampFrames,
            -right / m_dwRampFrames, 0.0f, 0.0f, scratch, kTailScratch);
    m_source.bWrapped = wrapped;
    m_dwTailPos = 0;
    m_dwTailLeft = m_dwRampFrames;
}

DWORD CVoice::GetStatus()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_bPlaying)
        return 0;
    return DSBSTATUS_PLAYING | (m_bLoop ? DSBSTATUS_LOOPING : 0);
}

void CVoice::GetPosition(DWORD *play, DWORD *write)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const DWORD align = m_format.GetBlockAlign();
    const DWORD playPos = static_cast<DWORD>(m_qwPos >> 32) * align;
    DWORD writePos = playPos;
    if (m_bPlaying) {
        // The application may write from 10 ms ahead of what plays.
        const uint64_t ahead = static_cast<uint64_t>(m_dwFrequency) * align / 100;
        writePos = static_cast<DWORD>((playPos + ahead - ahead % align) % m_dwSize);
    }
    if (play != nullptr)
        *play = playPos;
    if (write != nullptr)
        *write = writePos;
}

bool CVoice::SetPosition(DWORD bytes)
{
    if (bytes >= m_dwSize)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    m_qwPos = static_cast<uint64_t>(bytes / m_format.GetBlockAlign()) << 32;
    m_source.bWrapped = false;
    return true;
}

void CVoice::SetVolume(LONG volume)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lVolume = volume;
    _set_gains();
}

void CVoice::SetPan(LONG pan)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lPan = pan;
    _set_gains();
}

void CVoice::SetFrequency(DWORD frequency)
{
    // The tables first: building one takes a while, the mixer need not wait.
    const CSincTable *table = CSincTable::ForStep(Step(frequency, m_dwOutputRate));
    const CRatioTable *ratio = CRatioTable::Find(frequency, m_dwOutputRate);
    std::lock_guard<std::mutex> guard(m_lock);
    _set_step(frequency, table, ratio);
}

// Without memory for the kernel the voice still plays, unfiltered; without
// a table for its ratio, filtered a frame at a time.
void CVoice::_set_step(DWORD frequency, const CSincTable *table, const CRatioTable *ratio)
{
    m_dwFrequency = frequency;
    m_source.qwStep = Step(frequency, m_dwOutputRate);
    m_source.pTable = table;
    m_source.pRatio = ratio;
}

LONG CVoice::GetVolume()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lVolume;
}

LONG CVoice::GetPan()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lPan;
}

DWORD CVoice::GetFrequency()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dwFrequency;
}

// Pan attenuates only the far side.
void CVoice::_set_gains()
{
    m_fTargetLeft = Amplitude(m_lVolume - std::max<LONG>(m_lPan, 0));
    m_fTargetRight = Amplitude(m_lVolume + std::min<LONG>(m_lPan, 0));
}

CVoice::EMixed CVoice::Mix(float *out, DWORD frames, float *scratch)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_dwTailLeft != 0) {
        const DWORD n = std::min(frames, m_dwTailLeft);
        const float *tail = m_tail.data() + 2 * m_dwTailPos;
        for (DWORD i = 0; i < 2 * n; ++i)
            out[i] += tail[i];
        m_dwTailPos += n;
        m_dwTailLeft -= n;
    }
    if (!m_bPlaying) {
        if (m_dwTailLeft != 0)
            return MIX_SOUNDING;
        return m_bDetached ? MIX_FINISHED : MIX_SILENT;
    }

    if (m_bStarting) {
        m_bStarting = false;
        m_fGainLeft = m_fRampEndLeft = m_fTargetLeft;
        m_fGainRight = m_fRampEndRight = m_fTargetRight;
        m_dwRampLeft = 0;
    } else if (m_fTargetLeft != m_fRampEndLeft || m_fTargetRight != m_fRampEndRight) {
        // A new volume or pan glides there from wherever the gains are now.
        m_fRampEndLeft = m_fTargetLeft;
        m_fRampEndRight = m_fTargetRight;
        m_fRampStepLeft = (m_fTargetLeft - m_fGainLeft) / m_dwRampFrames;
        m_fRampStepRight = (m_fTargetRight - m_fGainRight) / m_dwRampFrames;
        m_dwRampLeft = m_dwRampFrames;
    }

    m_source.bLoop = m_bLoop;
    _render(out, frames, m_qwPos, m_fGainLeft, m_fGainRight, m_dwRampLeft, m_fRampStepLeft,
            m_fRampStepRight, m_fRampEndLeft, m_fRampEndRight, scratch, kMixScratchFrames);
    if ((m_qwPos >> 32) >= m_source.qwFrames) {
        // A one-shot buffer that played its last frame stops and rewinds.
        m_bPlaying = false;
        m_qwPos = 0;
    }
    return MIX_SOUNDING;
}

// Mixes from `pos` with the gains gliding by the steps for `rampLeft` frames,
// then steady at the end values. Returns the frames produced.
DWORD CVoice::_render(float *out, DWORD frames, uint64_t &pos, float &left, float &right,
                      DWORD &rampLeft, float stepLeft, float stepRight, float endLeft,
                      float endRight, float *scratch, DWORD scratchFrames)
{
    DWORD done = 0;
    if (rampLeft != 0) {
        const DWORD n = std::min(frames, rampLeft);
        MixGains gains = {left, right, stepLeft, stepRight};
        done = MixFrames(m_source, pos, gains, out, n, scratch, scratchFrames);
        left = gains.fLeft;
        right = gains.fRight;
        rampLeft -= done;
        if (rampLeft == 0) {
            left = endLeft;
            right = endRight;
        }
        if (done < n)
            return done;
    }
    if (done < frames) {
        MixGains gains = {left, right, 0.0f, 0.0f};
        done += MixFrames(m_source, pos, gains, out + 2 * done, frames - done, scratch, scratchFrames);
    }
    return done;
}
