// A-law and mu-law samples (G.711, one byte each) as 16-bit PCM, by a table
// of the 256 codes.
//
// Owns: the table and the layout taken from the format record.
#pragma once

#include "platform/winapi.h"

#include <stdint.h>

class CG711Decoder {
public:
    CG711Decoder();

    // Takes the layout of an A-law (tag 6) or mu-law (tag 7) record. FALSE,
    // with the reason written to why (160 bytes), when it does not fit.
    BOOL Setup(LPCWAVEFORMATEX format, LPSTR why);
    // Bytes of 16-bit PCM that `dataSize` bytes decode to: whole frames only.
    uint64_t DecodedSize(DWORD dataSize) const;
    // Decodes the frames of `in` (dataSize bytes) into out, which holds
    // DecodedSize(dataSize) bytes; returns that size.
    DWORD Decode(const BYTE *in, DWORD dataSize, BYTE *out) const;

private:
    WORD m_wChannels;
    int16_t m_table[256];
};
