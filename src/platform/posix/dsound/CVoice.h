// The playing side of one secondary buffer: its memory, its play state and
// controls, and the mixing of it. The buffer object in front of it and the
// mixer both hold it, so that a buffer released while it plays fades out
// and is dropped by the mixer afterwards, never read after it is freed.
//
// One mutex guards the state and is held while the mixer mixes this voice
// for one block, so a call waits at most that long. After Stop returns the
// mixer no longer reads the memory: the few milliseconds it takes to fade
// out are rendered at once into a tail of the voice's own.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/dsound/CSampleFormat.h"
#include "platform/posix/dsound/MixKernels.h"

class CMixer;

class CVoice {
public:
    // `bytes` is a whole number of frames. Check IsValid: the memory may not
    // have been obtained.
    CVoice(const CSampleFormat &format, DWORD bytes, DWORD outputRate);
    CVoice(const CVoice &) = delete;
    CVoice &operator=(const CVoice &) = delete;

    bool IsValid() const { return m_pData != nullptr; }
    const CSampleFormat &GetFormat() const { return m_format; }
    // The buffer's bytes, written by the application through Lock; fixed for
    // the voice's life, until Detach frees them. A new voice's bytes are
    // silence, written only when something could read them (Lend, Play): a
    // caller that overwrites them all never pays for it.
    BYTE *GetData() const { return m_pData.get(); }
    DWORD GetSize() const { return m_dwSize; }

    // Lock hands out `bytes` from `offset`: silence by now where never
    // written, unless the caller takes the whole buffer to overwrite it.
    void Lend(DWORD offset, DWORD bytes, bool overwrite);
    // Unlock: the two regions (offset, bytes; 0 bytes for none) were
    // written. The rest of a buffer lent whole to overwrite is silence.
    void Return(DWORD offset1, DWORD bytes1, DWORD offset2, DWORD bytes2);

    // The mixer that plays it, woken when it starts; set once, before any Play.
    void SetMixer(CMixer *mixer) { m_pMixer = mixer; }

    // Starts from the current position, or switches looping while playing.
    void Play(bool loop);
    // Stopped, position kept; what was sounding fades out.
    void Stop();
    // For the buffer's last Release: stopped, and the mixer may drop it.
    void Detach();
    DWORD GetStatus();
    void GetPosition(DWORD *play, DWORD *write);
    // Rounded down to a frame; false when at or past the end.
    bool SetPosition(DWORD bytes);

    // Values already checked by the caller.
    void SetVolume(LONG volume);
    void SetPan(LONG pan);
    void SetFrequency(DWORD frequency);
    LONG GetVolume();
    LONG GetPan();
    DWORD GetFrequency();

    // Mixer side: adds `frames` frames to the interleaved stereo `out`,
    // working in `scratch` (4 * kMixScratchFrames floats). Says whether
    // the voice still sounds, and whether it is detached and silent for good.
    enum EMixed { MIX_SOUNDING, MIX_SILENT, MIX_FINISHED };
    EMixed Mix(float *out, DWORD frames, float *scratch);

    // fork(): the state is whole in the child, and its lock free.
    void HoldForFork() { m_lock.lock(); }
    void ReleaseAfterFork() { m_lock.unlock(); }

private:
    struct Free {
        void operator()(BYTE *p) const { free(p); }
    };

    void _stop();
    void _pay_silence();
    void _set_gains();
    void _set_step(DWORD frequency, const CSincTable *table, const CRatioTable *ratio);
    DWORD _render(float *out, DWORD frames, uint64_t &pos, float &left, float &right,
                  DWORD &rampLeft, float stepLeft, float stepRight, float endLeft, float endRight,
                  float *scratch, DWORD scratchFrames);

    const CSampleFormat m_format;
    const DWORD m_dwSize;
    const DWORD m_dwOutputRate;
    const DWORD m_dwRampFrames;
    std::unique_ptr<BYTE, Free> m_pData;
    CMixer *m_pMixer;
    MixSource m_source;

    std::mutex m_lock;
    // No byte was written yet, nor cleared: the whole buffer owes silence.
    bool m_bSilenceOwed;
    // And the whole buffer is lent to a caller that overwrites it.
    bool m_bLentToOverwrite;
    // What the application set.
    bool m_bPlaying;
    bool m_bLoop;
    bool m_bDetached;
    LONG m_lVolume;
    LONG m_lPan;
    DWORD m_dwFrequency;
    float m_fTargetLeft;
    float m_fTargetRight;
    // Where the mixer is: source position (32.32 fixed point frames), the
    // gains it applies and the ramp toward the target gains.
    uint64_t m_qwPos;
    bool m_bStarting;  // played, not yet mixed: begins at the target gains
    float m_fGainLeft;
    float m_fGainRight;
    DWORD m_dwRampLeft;
    float m_fRampStepLeft;
    float m_fRampStepRight;
    float m_fRampEndLeft;
    float m_fRampEndRight;
    // The fade-out of the last Stop, at the output rate.
    std::vector<float> m_tail;
    DWORD m_dwTailPos;
    DWORD m_dwTailLeft;
};
