// The format of one secondary buffer: the checks DirectSound makes on a
// WAVEFORMATEX, the copy that GetFormat hands back, and what the mixer needs
// to read the samples (encoding, layout and the stereo downmix).
#pragma once

#include <vector>

#include "platform/winapi.h"

class CSampleFormat {
public:
    // How one sample is stored.
    enum Encoding {
        ENC_U8,     // unsigned 8-bit PCM
        ENC_S16,    // signed little-endian PCM
        ENC_S24,
        ENC_S32,
        ENC_SWIDE,  // PCM wider than 32 bits: its top 32 bits are used
        ENC_F32,    // IEEE float
        ENC_F64,
        ENC_SILENT  // a float width nobody writes: accepted, plays silence
    };
    // How the channels reach the two output channels.
    enum Layout { LAYOUT_MONO, LAYOUT_STEREO, LAYOUT_DOWNMIX };

    // DS_OK, or the error DirectSound gives for this format of a secondary
    // buffer (E_NOTIMPL for an unknown tag, else DSERR_INVALIDPARAM).
    static HRESULT Check(LPCWAVEFORMATEX format);

    // Only for a format that passed Check.
    explicit CSampleFormat(LPCWAVEFORMATEX format);

    // The record as GetFormat returns it: PCM as 18 bytes with cbSize 0,
    // any other tag with its cbSize extra bytes.
    const WAVEFORMATEX *GetRecord() const
    {
        return reinterpret_cast<const WAVEFORMATEX *>(m_record.data());
    }
    DWORD GetRecordSize() const { return static_cast<DWORD>(m_record.size()); }

    WORD GetChannels() const { return m_wChannels; }
    WORD GetBlockAlign() const { return m_wBlockAlign; }
    DWORD GetRate() const { return m_dwRate; }
    DWORD GetSampleBytes() const { return m_dwSampleBytes; }
    Encoding GetEncoding() const { return m_eEncoding; }
    Layout GetLayout() const { return m_eLayout; }
    // The byte a new buffer is filled with: silence in this encoding.
    BYTE GetSilence() const { return m_eEncoding == ENC_U8 ? 0x80 : 0x00; }
    // Per-channel weights into the left and right output for LAYOUT_DOWNMIX,
    // for the first GetHeardChannels() channels; the rest are not heard.
    DWORD GetHeardChannels() const { return static_cast<DWORD>(m_left.size()); }
    const float *GetLeftWeights() const { return m_left.data(); }
    const float *GetRightWeights() const { return m_right.data(); }

private:
    void _build_downmix(DWORD mask);

    std::vector<BYTE> m_record;
    WORD m_wChannels;
    WORD m_wBlockAlign;
    DWORD m_dwRate;
    DWORD m_dwSampleBytes;
    Encoding m_eEncoding;
    Layout m_eLayout;
    std::vector<float> m_left;
    std::vector<float> m_right;
};
