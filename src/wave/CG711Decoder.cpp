#include "wave/CG711Decoder.h"

#include <string.h>

namespace {

const WORD kTagALaw = 0x0006;

// The code's value on the 16-bit scale, as G.711 gives it: A-law has its
// even bits inverted and a segment without bias, mu-law is inverted whole and
// biased by 0x84.
int16_t ALawValue(BYTE code)
{
    const int a = code ^ 0x55;
    const int exponent = (a >> 4) & 0x07;
    int magnitude = ((a & 0x0F) << 4) + 8;
    if (exponent != 0)
        magnitude = (magnitude + 0x100) << (exponent - 1);
    return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

int16_t MuLawValue(BYTE code)
{
    const int u = ~code & 0xFF;
    const int exponent = (u >> 4) & 0x07;
    const int magnitude = ((((u & 0x0F) << 3) + 0x84) << exponent) - 0x84;
    return static_cast<int16_t>((u & 0x80) ? -magnitude : magnitude);
}

}  // namespace

CG711Decoder::CG711Decoder() : m_wChannels(0)
{
    memset(m_table, 0, sizeof(m_table));
}

BOOL CG711Decoder::Setup(LPCWAVEFORMATEX format, LPSTR why)
{
    const BOOL alaw = format->wFormatTag == kTagALaw;
    const LPCSTR name = alaw ? "A-law" : "mu-law";
    if (format->wBitsPerSample != 8) {
        wsprintfA(why, "%s with %u bits per sample (8 expected)", name, format->wBitsPerSample);
        return FALSE;
    }
    if (format->nBlockAlign != format->nChannels) {
        wsprintfA(why, "%s block align %u does not fit %u channels", name, format->nBlockAlign,
                  format->nChannels);
        return FALSE;
    }
    m_wChannels = format->nChannels;
    for (int code = 0; code < 256; ++code)
        m_table[code] = alaw ? ALawValue(static_cast<BYTE>(code)) : MuLawValue(static_cast<BYTE>(code));
    return TRUE;
}

uint64_t CG711Decoder::DecodedSize(DWORD dataSize) const
{
    if (m_wChannels == 0)
        return 0;
    return (uint64_t)(dataSize / m_wChannels) * m_wChannels * 2;
}

DWORD CG711Decoder::Decode(const BYTE *in, DWORD dataSize, BYTE *out) const
{
    const DWORD count = (DWORD)(DecodedSize(dataSize) / 2);
    int16_t *samples = reinterpret_cast<int16_t *>(out);
    for (DWORD i = 0; i < count; ++i)
        samples[i] = m_table[in[i]];
    return count * 2;
}
