// Microsoft ADPCM (tag 0x0002, 4 bits a sample) as 16-bit PCM. Each block
// starts with, per channel, the choice of a coefficient pair, the step and
// the first two samples; every further sample is predicted from the two
// before it and corrected by a code, high nibble first, the channels' codes
// in turn. A last block cut short gives the samples its bytes hold.
//
// Owns: the block layout and the coefficient pairs taken from the format
// record.
#pragma once

#include "wave/CAdpcmDecoder.h"

class CMsAdpcmDecoder final : public CAdpcmDecoder {
public:
    CMsAdpcmDecoder();

    // Takes the layout and coefficients of the record (18 + cbSize bytes).
    // FALSE, with the reason written to why (160 bytes), when they do not
    // fit together.
    BOOL Setup(LPCWAVEFORMATEX format, LPSTR why);

private:
    enum { MAX_CHANNELS = 8, MAX_COEFS = 256 };

    DWORD _frames_in(DWORD bytes) const override;
    void _decode_block(const BYTE *block, DWORD frames, int16_t *out) const override;

    DWORD m_dwCoefs;               // pairs a block may choose; a byte chooses, so at most 256
    int m_coefs[MAX_COEFS][2];
};
