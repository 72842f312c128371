#include "platform/posix/dsound/MixKernels.h"

#include <string.h>

#include <algorithm>

namespace {

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
        // NaN and infinities would ring through the kernel into every
        // neighbouring frame; they become silence here.
        if (!(value >= -1e6f && value <= 1e6f))
            return value > 0.0f ? 1e6f : (value < 0.0f ? -1e6f : 0.0f);
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
        if (!(value >= -1e6 && value <= 1e6))
            return value > 0.0 ? 1e6f : (value < 0.0 ? -1e6f : 0.0f);
        return static_cast<float>(value);
    }
};
struct DecodeSilent {
    static float Get(const BYTE *, DWORD, DWORD) { return 0.0f; }
};

template <class D, CSampleFormat::Layout L>
void Decode(const MixSource &src, const BYTE *frames, DWORD count, float *left, float *right)
{
    const DWORD align = src.dwBlockAlign;
    const DWORD sampleBytes = src.dwSampleBytes;
    for (DWORD i = 0; i < count; ++i) {
        const BYTE *frame = frames + static_cast<size_t>(i) * align;
        if (L == CSampleFormat::LAYOUT_MONO) {
            left[i] = D::Get(frame, 0, sampleBytes);
        } else if (L == CSampleFormat::LAYOUT_STEREO) {
            left[i] = D::Get(frame, 0, sampleBytes);
            right[i] = D::Get(frame, 1, sampleBytes);
        } else {
            float l = 0.0f, r = 0.0f;
            for (DWORD c = 0; c < src.dwChannels; ++c) {
                const float x = D::Get(frame, c, sampleBytes);
                l += x * src.pLeft[c];
                r += x * src.pRight[c];
            }
            left[i] = l;
            right[i] = r;
        }
    }
}

template <class D>
MixDecoder ForLayout(CSampleFormat::Layout layout)
{
    switch (layout) {
    case CSampleFormat::LAYOUT_MONO: return &Decode<D, CSampleFormat::LAYOUT_MONO>;
    case CSampleFormat::LAYOUT_STEREO: return &Decode<D, CSampleFormat::LAYOUT_STEREO>;
    default: return &Decode<D, CSampleFormat::LAYOUT_DOWNMIX>;
    }
}

// Source frames first .. first + count - 1 into the planes, as the source
// maps them: a looping source repeats, anything else is silent outside.
void Fetch(const MixSource &src, int64_t first, DWORD count, float *left, float *right)
{
    const int64_t frames = static_cast<int64_t>(src.qwFrames);
    DWORD done = 0;
    while (done < count) {
        int64_t index = first + done;
        DWORD run = count - done;
        if ((index < 0 && !(src.bLoop && src.bWrapped)) || (index >= frames && !src.bLoop)) {
            if (index < 0)
                run = static_cast<DWORD>(std::min<int64_t>(run, -index));
            std::fill(left + done, left + done + run, 0.0f);
            if (src.bStereo)
                std::fill(right + done, right + done + run, 0.0f);
        } else {
            index %= frames;
            if (index < 0)
                index += frames;
            run = static_cast<DWORD>(std::min<int64_t>(run, frames - index));
            src.pDecode(src, src.pData + static_cast<size_t>(index) * src.dwBlockAlign, run,
                        left + done, src.bStereo ? right + done : nullptr);
        }
        done += run;
    }
}

// Eight lanes at a time; GCC and Clang map these onto whatever vectors the
// target has. Never passed by value: that would tie the calling convention
// to the vector unit.
typedef float Lanes __attribute__((vector_size(32)));

// The kernel's 24 weights is by far the common case: unrolled.
template <DWORD Taps>
inline float Dot(const float *weights, const float *x, DWORD taps)
{
    Lanes a, b, sum;
    memcpy(&a, weights, sizeof(a));
    memcpy(&b, x, sizeof(b));
    sum = a * b;
    const DWORD n = Taps ? Taps : taps;
    for (DWORD m = 8; m < n; m += 8) {
        memcpy(&a, weights + m, sizeof(a));
        memcpy(&b, x + m, sizeof(b));
        sum += a * b;
    }
    return ((sum[0] + sum[4]) + (sum[1] + sum[5])) + ((sum[2] + sum[6]) + (sum[3] + sum[7]));
}

template <bool Stereo, DWORD Taps>
void Filter(const float *left, const float *right, const CSincTable &table, uint64_t q, uint64_t step,
            DWORD n, float *out, MixGains &g)
{
    const DWORD taps = table.GetTaps();
    float gl = g.fLeft, gr = g.fRight;
    for (DWORD i = 0; i < n; ++i) {
        DWORD carry;
        const float *row = table.Row(static_cast<uint32_t>(q), carry);
        const size_t k = static_cast<size_t>(q >> 32) + carry;
        const float l = Dot<Taps>(row, left + k, taps);
        const float r = Stereo ? Dot<Taps>(row, right + k, taps) : l;
        out[2 * i] += l * gl;
        out[2 * i + 1] += r * gr;
        gl += g.fStepLeft;
        gr += g.fStepRight;
        q += step;
    }
    g.fLeft = gl;
    g.fRight = gr;
}

template <bool Stereo>
void Copy(const float *left, const float *right, DWORD n, float *out, MixGains &g)
{
    float gl = g.fLeft, gr = g.fRight;
    for (DWORD i = 0; i < n; ++i) {
        out[2 * i] += left[i] * gl;
        out[2 * i + 1] += (Stereo ? right[i] : left[i]) * gr;
        gl += g.fStepLeft;
        gr += g.fStepRight;
    }
    g.fLeft = gl;
    g.fRight = gr;
}

}  // namespace

MixDecoder SelectMixDecoder(CSampleFormat::Encoding encoding, CSampleFormat::Layout layout)
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

DWORD MixFrames(MixSource &src, uint64_t &pos, MixGains &gains, float *out, DWORD frames,
                float *scratch, DWORD scratchFrames)
{
    const uint64_t kOne = uint64_t(1) << 32;
    const uint64_t step = src.qwStep;
    const uint64_t end = src.qwFrames << 32;
    float *left = scratch;
    float *right = scratch + scratchFrames;
    DWORD done = 0;
    while (done < frames) {
        const uint64_t p = pos;
        DWORD n = frames - done;
        if (!src.bLoop) {
            if (p >= end)
                break;
            const uint64_t rest = (end - p + step - 1) / step;
            if (rest < n)
                n = static_cast<DWORD>(rest);
        }
        const uint64_t fraction = p & 0xFFFFFFFFu;
        const CSincTable *table = src.pTable;
        if ((step == kOne && fraction == 0) || table == nullptr) {
            // The output's own rate on a whole frame: the frames as they are.
            // (Without a kernel, the nearest frames; only when memory ran out.)
            n = std::min(n, scratchFrames);
            if (step != kOne)
                n = std::min<uint64_t>(n, ((uint64_t(scratchFrames - 1) << 32) - fraction) / step + 1);
            const DWORD span = static_cast<DWORD>(((fraction + (n - 1) * step) >> 32) + 1);
            Fetch(src, static_cast<int64_t>(p >> 32), span, left, right);
            if (step == kOne) {
                if (src.bStereo)
                    Copy<true>(left, right, n, out + 2 * done, gains);
                else
                    Copy<false>(left, right, n, out + 2 * done, gains);
            } else {
                for (DWORD i = 0; i < n; ++i) {
                    const size_t k = static_cast<size_t>((fraction + i * step) >> 32);
                    MixGains one = gains;
                    Copy<true>(left + k, (src.bStereo ? right : left) + k, 1, out + 2 * (done + i), one);
                    gains.fLeft += gains.fStepLeft;
                    gains.fRight += gains.fStepRight;
                }
            }
        } else {
            const DWORD taps = table->GetTaps();
            const uint64_t room = scratchFrames - taps - 1;
            const uint64_t most = ((room << 32) - fraction - 1) / step + 1;
            if (most < n)
                n = static_cast<DWORD>(most);
            const DWORD span = static_cast<DWORD>(((fraction + (n - 1) * step) >> 32) + taps + 1);
            Fetch(src, static_cast<int64_t>(p >> 32) - table->GetHistory(), span, left, right);
            if (taps == 24) {
                if (src.bStereo)
                    Filter<true, 24>(left, right, *table, fraction, step, n, out + 2 * done, gains);
                else
                    Filter<false, 24>(left, right, *table, fraction, step, n, out + 2 * done, gains);
            } else {
                if (src.bStereo)
                    Filter<true, 0>(left, right, *table, fraction, step, n, out + 2 * done, gains);
                else
                    Filter<false, 0>(left, right, *table, fraction, step, n, out + 2 * done, gains);
            }
        }
        uint64_t next = p + n * step;
        if (src.bLoop && next >= end) {
            next = (((next >> 32) % src.qwFrames) << 32) | (next & 0xFFFFFFFFu);
            src.bWrapped = true;
        }
        pos = next;
        done += n;
    }
    return done;
}
