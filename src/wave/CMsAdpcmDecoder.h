// Microsoft ADPCM (tag 0x0002, 4 bits a sample) as 16-bit PCM. Each block
// starts with, per channel, the choice of a coefficient pair, the step and
// the first two samples; every further sample is predicted from the two
// before it and corrected by a code, high nibble first, the channels' codes
// in turn. A last block cut short gives the samples its bytes hold.
//
// Owns: the block layout and the coefficient pairs taken from the format
// record.
#pragma once

#include "platform/winapi.h"

#include <stdint.h>

class CMsAdpcmDecoder {
public:
    CMsAdpcmDecoder();

    // Takes the layout and coefficients of the record (18 + cbSize bytes).
    // FALSE, with the reason written to why (160 bytes), when they do not
    // fit together.
    BOOL Setup(LPCWAVEFORMATEX format, LPSTR why);
    // Bytes of 16-bit PCM that `dataSize` bytes of blocks decode to.
    uint64_t DecodedSize(DWORD dataSize) const;
    // Decodes every block of `in` (dataSize bytes) into out, which holds
    // DecodedSize(dataSize) bytes.
    void Decode(const BYTE *in, DWORD dataSize, BYTE *out) const;

private:
    enum { MAX_CHANNELS = 8, MAX_COEFS = 256 };

    // Frames a block of this many bytes (at most a whole one) holds.
    DWORD _frames_in(DWORD bytes) const;
    void _decode_block(const BYTE *block, DWORD frames, int16_t *out) const;

    WORD m_wChannels;
    WORD m_wBlockAlign;
    WORD m_wSamplesPerBlock;
    DWORD m_dwCoefs;               // pairs a block may choose; a byte chooses, so at most 256
    int m_coefs[MAX_COEFS][2];
};
