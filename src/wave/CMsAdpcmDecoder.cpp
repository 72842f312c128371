#include "wave/CMsAdpcmDecoder.h"

#include <string.h>

namespace {

const int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                             768, 614, 512, 409, 307, 230, 230, 230};
// The seven pairs every encoder writes first; blocks choose among them.
const DWORD kStandardCoefs = 7;
// Header bytes per channel: the choice, the step, two samples.
const DWORD kHeaderBytes = 7;
// The step grows by up to three times a sample; past this a code times the
// step would leave int's range. Real files never come near it.
const int kMaxStep = 0x7FFFFFFF / 768;

int Signed16(const BYTE *p)
{
    return (int16_t)(p[0] | (p[1] << 8));
}

}  // namespace

CMsAdpcmDecoder::CMsAdpcmDecoder()
    : m_dwCoefs(0)
{
    memset(m_coefs, 0, sizeof(m_coefs));
}

BOOL CMsAdpcmDecoder::Setup(LPCWAVEFORMATEX format, LPSTR why)
{
    const DWORD channels = format->nChannels;
    const DWORD align = format->nBlockAlign;
    const DWORD extraSize = format->cbSize;
    const BYTE *extra = reinterpret_cast<const BYTE *>(format) + sizeof(WAVEFORMATEX);
    if (format->wBitsPerSample != 4) {
        wsprintfA(why, "Microsoft ADPCM with %u bits per sample (4 expected)", format->wBitsPerSample);
        return FALSE;
    }
    if (channels > MAX_CHANNELS) {
        wsprintfA(why, "Microsoft ADPCM with %u channels (at most %u)", channels, (DWORD)MAX_CHANNELS);
        return FALSE;
    }
    const DWORD perBlock = extraSize >= 2 ? (DWORD)(extra[0] | (extra[1] << 8)) : 0;
    if (perBlock == 0) {
        wsprintfA(why, "Microsoft ADPCM with zero samples per block");
        return FALSE;
    }
    // The header holds two samples; the codes of the rest fill whole bytes.
    if (perBlock < 2 || (uint64_t)channels * kHeaderBytes + ((uint64_t)(perBlock - 2) * channels + 1) / 2 > align) {
        wsprintfA(why, "Microsoft ADPCM block align %u does not fit %u samples per block of %u channels",
                  align, perBlock, channels);
        return FALSE;
    }
    const DWORD coefs = extraSize >= 4 ? (DWORD)(extra[2] | (extra[3] << 8)) : 0;
    if (coefs < kStandardCoefs || extraSize < 4 + 4 * coefs) {
        const DWORD room = extraSize >= 4 ? (extraSize - 4) / 4 : 0;
        wsprintfA(why, "Microsoft ADPCM coefficient table too short: %u pairs announced, %u held, 7 needed",
                  coefs, room);
        return FALSE;
    }
    m_wChannels = (WORD)channels;
    m_wBlockAlign = (WORD)align;
    m_wSamplesPerBlock = (WORD)perBlock;
    m_dwCoefs = coefs < (DWORD)MAX_COEFS ? coefs : (DWORD)MAX_COEFS;
    for (DWORD i = 0; i < m_dwCoefs; ++i) {
        m_coefs[i][0] = Signed16(extra + 4 + 4 * i);
        m_coefs[i][1] = Signed16(extra + 6 + 4 * i);
    }
    return TRUE;
}

DWORD CMsAdpcmDecoder::_frames_in(DWORD bytes) const
{
    const DWORD header = m_wChannels * kHeaderBytes;
    if (bytes < header)
        return 0;
    const DWORD frames = 2 * (bytes - header) / m_wChannels + 2;
    return frames < m_wSamplesPerBlock ? frames : m_wSamplesPerBlock;
}

namespace {

// One channel's predictor within a block.
struct Channel {
    int coef1, coef2;  // weights of the last sample and the one before, in 256ths
    int step;
    int last, before;  // the last two samples
};

inline int16_t Next(Channel &ch, int nibble)
{
    // The prediction in 64 bits: two full-scale products overflow int.
    const int64_t sum = (int64_t)ch.last * ch.coef1 + (int64_t)ch.before * ch.coef2;
    int value = (int)(sum >> 8) + (nibble - ((nibble & 8) << 1)) * ch.step;
    value = value < -32768 ? -32768 : value > 32767 ? 32767 : value;
    int step = (kAdaptation[nibble] * ch.step) >> 8;
    ch.step = step < 16 ? 16 : step > kMaxStep ? kMaxStep : step;
    ch.before = ch.last;
    ch.last = value;
    return (int16_t)value;
}

}  // namespace

void CMsAdpcmDecoder::_decode_block(const BYTE *block, DWORD frames, int16_t *out) const
{
    const DWORD channels = m_wChannels;
    Channel state[MAX_CHANNELS];
    for (DWORD c = 0; c < channels; ++c) {
        // A choice beyond the table takes the first pair, as sox does.
        DWORD choice = block[c];
        if (choice >= m_dwCoefs)
            choice = 0;
        Channel &ch = state[c];
        ch.coef1 = m_coefs[choice][0];
        ch.coef2 = m_coefs[choice][1];
        ch.step = Signed16(block + channels + 2 * c);
        ch.last = Signed16(block + 3 * channels + 2 * c);
        ch.before = Signed16(block + 5 * channels + 2 * c);
        // The older sample comes first.
        out[c] = (int16_t)ch.before;
        out[channels + c] = (int16_t)ch.last;
    }

    // Codes high nibble first, the channels in turn.
    const BYTE *codes = block + channels * kHeaderBytes;
    const DWORD count = (frames - 2) * channels;
    int16_t *sample = out + 2 * channels;
    if (channels == 1) {
        Channel ch = state[0];
        DWORD n = 0;
        for (; n + 2 <= count; n += 2, ++codes) {
            *sample++ = Next(ch, *codes >> 4);
            *sample++ = Next(ch, *codes & 0x0F);
        }
        if (n < count)
            *sample = Next(ch, *codes >> 4);
    } else if (channels == 2) {
        Channel left = state[0], right = state[1];
        for (DWORD n = 0; n < count; n += 2, ++codes) {
            *sample++ = Next(left, *codes >> 4);
            *sample++ = Next(right, *codes & 0x0F);
        }
    } else {
        DWORD c = 0;
        for (DWORD n = 0; n < count; ++n) {
            const int nibble = (n & 1) ? codes[n / 2] & 0x0F : codes[n / 2] >> 4;
            *sample++ = Next(state[c], nibble);
            if (++c == channels)
                c = 0;
        }
    }
}
