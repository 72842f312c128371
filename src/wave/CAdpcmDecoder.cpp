#include "wave/CAdpcmDecoder.h"

uint64_t CAdpcmDecoder::DecodedSize(DWORD dataSize) const
{
    if (m_wBlockAlign == 0)
        return 0;
    const uint64_t frames =
        (uint64_t)(dataSize / m_wBlockAlign) * m_wSamplesPerBlock + _frames_in(dataSize % m_wBlockAlign);
    return frames * m_wChannels * 2;
}

DWORD CAdpcmDecoder::Decode(const BYTE *in, DWORD dataSize, BYTE *out) const
{
    int16_t *samples = reinterpret_cast<int16_t *>(out);
    for (uint64_t at = 0; at < dataSize; at += m_wBlockAlign) {
        const DWORD left = (DWORD)(dataSize - at);
        const DWORD frames = _frames_in(left < m_wBlockAlign ? left : m_wBlockAlign);
        if (frames == 0)
            break;
        _decode_block(in + at, frames, samples);
        samples += (size_t)frames * m_wChannels;
    }
    return (DWORD)(reinterpret_cast<BYTE *>(samples) - out);
}
