// What the two ADPCM codecs share: data in blocks of a fixed size, each
// starting afresh, the last one possibly cut short; decoded to 16-bit PCM.
//
// Owns: the block layout taken from the format record.
#pragma once

#include "platform/winapi.h"

#include <stdint.h>

class CAdpcmDecoder {
public:
    // Bytes of 16-bit PCM that `dataSize` bytes of blocks decode to.
    uint64_t DecodedSize(DWORD dataSize) const;
    // Decodes every block of `in` (dataSize bytes) into out, which holds
    // DecodedSize(dataSize) bytes; returns that size.
    DWORD Decode(const BYTE *in, DWORD dataSize, BYTE *out) const;
    WORD GetBlockAlign() const { return m_wBlockAlign; }

protected:
    CAdpcmDecoder() : m_wChannels(0), m_wBlockAlign(0), m_wSamplesPerBlock(0) {}
    ~CAdpcmDecoder() = default;

    // Frames a block of this many bytes (at most a whole one) holds.
    virtual DWORD _frames_in(DWORD bytes) const = 0;
    // One block holding `frames` frames into interleaved samples.
    virtual void _decode_block(const BYTE *block, DWORD frames, int16_t *out) const = 0;

    WORD m_wChannels;
    WORD m_wBlockAlign;
    WORD m_wSamplesPerBlock;
};
