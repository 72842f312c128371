// What the samples of a WAVE file need before DirectSound takes them, and
// the decoding itself. PCM (8, 16, 24 or 32 bits) and 32-bit float stay as
// they are; with 3 to 8 channels their record becomes WAVE_FORMAT_EXTENSIBLE
// with the usual speaker layout, the bytes unchanged. A-law, mu-law and both
// ADPCMs decode to 16-bit PCM, 64-bit float to 32-bit float. Everything else
// is refused here, on every platform, before DirectSound sees it: other tags
// and sample widths, more than 8 channels, rates outside 100 to 200000 Hz.
//
// Owns: the record of the samples it hands out and the codecs' parameters.
// Reads the caller's data only inside the size it was planned for, writes
// only the decoded size.
#pragma once

#include "platform/winapi.h"
#include "wave/CG711Decoder.h"
#include "wave/CImaAdpcmDecoder.h"
#include "wave/CMsAdpcmDecoder.h"

#include <stdint.h>

class CWaveDecoder {
public:
    CWaveDecoder();

    // Looks at the file's format record (formatSize bytes: 18 + cbSize) and
    // its data chunk's size. FALSE when the format cannot be played;
    // GetReason() says why.
    BOOL Plan(LPCWAVEFORMATEX format, DWORD formatSize, DWORD dataSize);
    LPCSTR GetReason() const { return m_szReason; }

    // Whether the samples change; when they do not, the data is used in place.
    BOOL Decodes() const { return m_eKind != KIND_AS_IS && m_eKind != KIND_RELABEL; }
    // Bytes the samples take once decoded (the data's size when they are
    // not), in 64 bits: a decoded size may exceed any buffer.
    uint64_t GetDecodedSize() const { return m_qwDecodedSize; }
    // The record for those samples; 0 bytes when the file's own stands.
    DWORD GetFormatSize() const { return m_dwFormatSize; }
    LPCWAVEFORMATEX GetFormat() const { return &m_format.Format; }

    // Bytes of data that decode on their own (a block, a frame): the data
    // may be decoded in parts of a multiple of this, the last part as it is.
    DWORD GetUnit() const;
    // A part of the planned data (bytes of it, from a start at a multiple
    // of GetUnit()) into out; the bytes written, which add up to
    // GetDecodedSize() over the whole data.
    DWORD Decode(const BYTE *in, DWORD bytes, BYTE *out) const;

    // The speaker layout 3 to 8 channels are taken to have.
    static DWORD StandardMask(WORD channels);

private:
    enum Kind { KIND_AS_IS, KIND_RELABEL, KIND_G711, KIND_IMA_ADPCM, KIND_MS_ADPCM, KIND_FLOAT64 };

    BOOL _refuse(LPCSTR why);
    // The samples DirectSound takes as they are: PCM and float widths.
    BOOL _check_width(BOOL isFloat, BOOL extensible, LPCWAVEFORMATEX format);
    // The record for the output: tag (PCM or float), the file's channels and
    // rate, `bits` per sample; extensible with `mask` beyond two channels or
    // when `extensible` is asked.
    void _describe(LPCWAVEFORMATEX file, WORD tag, WORD bits, BOOL extensible, DWORD mask);

    Kind m_eKind;
    DWORD m_dwDataSize;
    uint64_t m_qwDecodedSize;
    DWORD m_dwFormatSize;
    WAVEFORMATEXTENSIBLE m_format;
    CG711Decoder m_g711;
    CImaAdpcmDecoder m_ima;
    CMsAdpcmDecoder m_ms;
    char m_szReason[160];
};
