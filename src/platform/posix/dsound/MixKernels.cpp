#include "platform/posix/dsound/MixKernels.h"

#include <string.h>

namespace {

const float kFraction = 1.0f / 4294967296.0f;

// Sample decoders: one sample of a frame, as a float in [-1, 1).
struct DecodeU8 {
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        return static_cast<float>(static_cast<int>(frame[channel]) - 128) * (1.0f / 128.0f);
    }
};
// Signed integers that fill their sample: 16 or 32 bits. The scale is a
// constant of the instance, so the inner loop keeps a plain multiply.
template <class T>
struct DecodeSigned {
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        T value;
        memcpy(&value, frame + channel * sizeof(T), sizeof(value));
        return static_cast<float>(value) * (1.0f / static_cast<float>(1ull << (8 * sizeof(T) - 1)));
    }
};
struct DecodeS24 {
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        const BYTE *p = frame + channel * 3;
        const uint32_t bits = (uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24);
        return static_cast<float>(static_cast<int32_t>(bits)) * (1.0f / 2147483648.0f);
    }
};
struct DecodeSWide {
    static float Get(const BYTE *frame, DWORD channel, DWORD sampleBytes)
    {
        int32_t value;
        memcpy(&value, frame + channel * sampleBytes + sampleBytes - 4, sizeof(value));
        return static_cast<float>(value) * (1.0f / 2147483648.0f);
    }
};
struct DecodeF32 {
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        float value;
        memcpy(&value, frame + channel * 4, sizeof(value));
        return value;
    }
};
struct DecodeF64 {
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        double value;
        memcpy(&value, frame + channel * 8, sizeof(value));
        // Beyond float's range the conversion is undefined; such values are
        // noise anyway and only need to stay finite.
        if (value > 1e6)
            value = 1e6;
        else if (value < -1e6)
            value = -1e6;
        return static_cast<float>(value);
    }
};
struct DecodeSilent {
    static float Get(const BYTE *, DWORD, DWORD) { return 0.0f; }
};

template <class D, CSampleFormat::Layout L>
DWORD MixFrames(const MixSource &src, uint64_t &pos, float &gainLeft, float &gainRight,
                float stepLeft, float stepRight, float *out, DWORD frames)
{
    const BYTE *data = src.pData;
    const uint64_t count = src.qwFrames;
    const uint64_t align = src.dwBlockAlign;
    const DWORD sampleBytes = src.dwSampleBytes;
    const uint64_t step = src.qwStep;
    const bool loop = src.bLoop;
    uint64_t p = pos;
    float gl = gainLeft, gr = gainRight;
    DWORD i = 0;
    for (; i < frames; ++i) {
        uint64_t index = p >> 32;
        if (index >= count) {
            if (!loop)
                break;
            index %= count;
            p = (index << 32) | (p & 0xFFFFFFFFu);
        }
        uint64_t next = index + 1;
        if (next == count)
            next = loop ? 0 : index;
        const float t = static_cast<float>(static_cast<uint32_t>(p)) * kFraction;
        const BYTE *a = data + index * align;
        const BYTE *b = data + next * align;
        float left, right;
        if (L == CSampleFormat::LAYOUT_MONO) {
            const float x = D::Get(a, 0, sampleBytes);
            left = right = x + (D::Get(b, 0, sampleBytes) - x) * t;
        } else if (L == CSampleFormat::LAYOUT_STEREO) {
            const float xl = D::Get(a, 0, sampleBytes);
            const float xr = D::Get(a, 1, sampleBytes);
            left = xl + (D::Get(b, 0, sampleBytes) - xl) * t;
            right = xr + (D::Get(b, 1, sampleBytes) - xr) * t;
        } else {
            left = right = 0.0f;
            for (DWORD c = 0; c < src.dwChannels; ++c) {
                const float x = D::Get(a, c, sampleBytes);
                const float v = x + (D::Get(b, c, sampleBytes) - x) * t;
                left += v * src.pLeft[c];
                right += v * src.pRight[c];
            }
        }
        out[2 * i] += left * gl;
        out[2 * i + 1] += right * gr;
        gl += stepLeft;
        gr += stepRight;
        p += step;
    }
    pos = p;
    gainLeft = gl;
    gainRight = gr;
    return i;
}

template <class D>
MixKernel ForLayout(CSampleFormat::Layout layout)
{
    switch (layout) {
    case CSampleFormat::LAYOUT_MONO: return &MixFrames<D, CSampleFormat::LAYOUT_MONO>;
    case CSampleFormat::LAYOUT_STEREO: return &MixFrames<D, CSampleFormat::LAYOUT_STEREO>;
    default: return &MixFrames<D, CSampleFormat::LAYOUT_DOWNMIX>;
    }
}

}  // namespace

MixKernel SelectMixKernel(CSampleFormat::Encoding encoding, CSampleFormat::Layout layout)
{
    switch (encoding) {
    case CSampleFormat::ENC_U8: return ForLayout<DecodeU8>(layout);
    case CSampleFormat::ENC_S16: return ForLayout<DecodeSigned<int16_t>>(layout);
    case CSampleFormat::ENC_S24: return ForLayout<DecodeS24>(layout);
    case CSampleFormat::ENC_S32: return ForLayout<DecodeSigned<int32_t>>(layout);
    case CSampleFormat::ENC_SWIDE: return ForLayout<DecodeSWide>(layout);
    case CSampleFormat::ENC_F32: return ForLayout<DecodeF32>(layout);
    case CSampleFormat::ENC_F64: return ForLayout<DecodeF64>(layout);
    default: return ForLayout<DecodeSilent>(layout);
    }
}
