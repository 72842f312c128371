#include "wave/CImaAdpcmDecoder.h"

namespace {

const int kStepSizes[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int kMaxStepIndex = 88;
const int kIndexSteps[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Header bytes per channel, and code bytes per channel in each turn.
const DWORD kHeaderBytes = 4;
const DWORD kTurnBytes = 4;

}  // namespace

CImaAdpcmDecoder::CImaAdpcmDecoder()
{
    for (int index = 0; index <= kMaxStepIndex; ++index) {
        const int step = kStepSizes[index];
        for (int code = 0; code < 16; ++code) {
            // (code + 1/2) steps / 4, summed from the shifted step bit by bit
            // as the codec's description does it: a product rounded once
            // differs by up to two a sample, and the error is carried on.
            int difference = step >> 3;
            if (code & 4)
                difference += step;
            if (code & 2)
                difference += step >> 1;
            if (code & 1)
                difference += step >> 2;
            m_delta[index][code] = (code & 8) ? -difference : difference;
            const int next = index + kIndexSteps[code & 7];
            m_next[index][code] = (BYTE)(next < 0 ? 0 : next > kMaxStepIndex ? kMaxStepIndex : next);
        }
    }
}

BOOL CImaAdpcmDecoder::Setup(LPCWAVEFORMATEX format, LPSTR why)
{
    const DWORD channels = format->nChannels;
    const DWORD align = format->nBlockAlign;
    if (format->wBitsPerSample != 4) {
        wsprintfA(why, "IMA ADPCM with %u bits per sample (4 expected)", format->wBitsPerSample);
        return FALSE;
    }
    // The samples per block follow cbSize; a record too short to hold them
    // says none.
    DWORD perBlock = 0;
    if (format->cbSize >= 2) {
        const BYTE *extra = reinterpret_cast<const BYTE *>(format) + sizeof(WAVEFORMATEX);
        perBlock = extra[0] | (extra[1] << 8);
    }
    if (perBlock == 0) {
        wsprintfA(why, "IMA ADPCM with zero samples per block");
        return FALSE;
    }
    // The first sample is in the header, the rest in whole turns.
    const DWORD turns = (perBlock - 1 + 7) / 8;
    if (align < channels * kHeaderBytes || (uint64_t)channels * (kHeaderBytes + turns * kTurnBytes) > align) {
        wsprintfA(why, "IMA ADPCM block align %u does not fit %u samples per block of %u channels", align,
                  perBlock, channels);
        return FALSE;
    }
    m_wChannels = (WORD)channels;
    m_wBlockAlign = (WORD)align;
    m_wSamplesPerBlock = (WORD)perBlock;
    return TRUE;
}

DWORD CImaAdpcmDecoder::_frames_in(DWORD bytes) const
{
    const DWORD header = m_wChannels * kHeaderBytes;
    if (bytes < header)
        return 0;
    const DWORD frames = (bytes - header) / (m_wChannels * kTurnBytes) * 8 + 1;
    return frames < m_wSamplesPerBlock ? frames : m_wSamplesPerBlock;
}

void CImaAdpcmDecoder::_decode_block(const BYTE *block, DWORD frames, int16_t *out) const
{
    for (DWORD c = 0; c < m_wChannels; ++c)
        _decode_channel(block, c, frames, out + c);
}

// One channel of a block into every m_wChannels-th sample of out.
void CImaAdpcmDecoder::_decode_channel(const BYTE *block, DWORD channel, DWORD frames, int16_t *out) const
{
    const DWORD stride = m_wChannels;
    const BYTE *header = block + channel * kHeaderBytes;
    int value = (int16_t)(header[0] | (header[1] << 8));
    int index = header[2];
    // Out of range the step is unknown; start from the smallest, as sox does.
    if (index > kMaxStepIndex)
        index = 0;
    out[0] = (int16_t)value;

    // Eight codes of this channel in each turn, then the other channels' turns.
    const BYTE *turn = block + stride * kHeaderBytes + channel * kTurnBytes;
    int16_t *sample = out + stride;
    for (DWORD done = 1; done < frames; turn += stride * kTurnBytes) {
        const DWORD count = frames - done < 8 ? frames - done : 8;
        for (DWORD k = 0; k < count; ++k) {
            const int code = (k & 1) ? turn[k / 2] >> 4 : turn[k / 2] & 0x0F;
            value += m_delta[index][code];
            value = value < -32768 ? -32768 : value > 32767 ? 32767 : value;
            index = m_next[index][code];
            *sample = (int16_t)value;
            sample += stride;
        }
        done += count;
    }
}
