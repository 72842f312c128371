// Format records for DirectSound buffer tests: a consistent PCM or float
// record, and its extensible form with a sub-format and channel mask.
#pragma once

#include <string.h>

#include "platform/winapi.h"

namespace testformats {

const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Extensible-sized, so that every test can use the same record.
inline WAVEFORMATEXTENSIBLE Format(WORD tag, WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEXTENSIBLE f;
    memset(&f, 0, sizeof(f));
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

inline WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD rate, WORD bits, const GUID &sub,
                                       WORD validBits, DWORD mask)
{
    WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits);
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = validBits;
    f.dwChannelMask = mask;
    f.SubFormat = sub;
    return f;
}

}  // namespace testformats
