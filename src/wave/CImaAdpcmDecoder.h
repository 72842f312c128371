// IMA ADPCM (tag 0x0011, 4 bits a sample) as 16-bit PCM. Each block holds,
// per channel, a header (first sample, step index) and then the channels'
// codes in turns of four bytes (eight samples), low nibble first. A last
// block cut short gives the samples its whole turns hold.
//
// Owns: the block layout taken from the format record, and the codec's
// tables: for each step index and code, the change of the sample and the
// next index.
#pragma once

#include "wave/CAdpcmDecoder.h"

class CImaAdpcmDecoder final : public CAdpcmDecoder {
public:
    CImaAdpcmDecoder();

    // Takes the layout of the record (18 + cbSize bytes). FALSE, with the
    // reason written to why (160 bytes), when it does not fit together.
    BOOL Setup(LPCWAVEFORMATEX format, LPSTR why);

private:
    DWORD _frames_in(DWORD bytes) const override;
    void _decode_block(const BYTE *block, DWORD frames, int16_t *out) const override;
    void _decode_channel(const BYTE *block, DWORD channel, DWORD frames, int16_t *out) const;

    int m_delta[89][16];
    BYTE m_next[89][16];
};
