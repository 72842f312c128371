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
typedef int LaneIndex __attribute__((vector_size(32)));

#if defined(__clang__)
#define MIX_SHUFFLE(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shufflevector(a, b, i0, i1, i2, i3, i4, i5, i6, i7)
#else
#define MIX_SHUFFLE(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shuffle(a, b, LaneIndex{i0, i1, i2, i3, i4, i5, i6, i7})
#endif

// Inlined into each build of the functions that use them (see MIX_CLONES),
// so that each gets the vectors it was built for.
#define MIX_INLINE inline __attribute__((always_inline))

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
// Built for the machine's widest vectors and for any x86-64; the one to use
// is chosen when the library loads. (Not under ThreadSanitizer: the chooser
// runs before the sanitizer is ready for instrumented code.)
#define MIX_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define MIX_CLONES
#endif

// Weights times frames, lane by lane; the kernel's 24 weights is by far
// the common case and unrolled.
template <DWORD Taps>
MIX_INLINE void Products(const float *weights, const float *x, DWORD taps, Lanes &sum)
{
    Lanes a, b;
    memcpy(&a, weights, sizeof(a));
    memcpy(&b, x, sizeof(b));
    sum = a * b;
    const DWORD n = Taps ? Taps : taps;
    for (DWORD m = 8; m < n; m += 8) {
        memcpy(&a, weights + m, sizeof(a));
        memcpy(&b, x + m, sizeof(b));
        sum += a * b;
    }
}

MIX_INLINE float Sum(const Lanes &v)
{
    return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}

// Lane 0 + lane 1 of a and b, interleaved: the first step of adding up
// eight vectors at once.
MIX_INLINE void Pairs(const Lanes &a, const Lanes &b, Lanes &sum)
{
    sum = MIX_SHUFFLE(a, b, 0, 8, 2, 10, 4, 12, 6, 14) + MIX_SHUFFLE(a, b, 1, 9, 3, 11, 5, 13, 7, 15);
}

// The sums of eight vectors, in one vector.
MIX_INLINE void Sums(const Lanes *s, Lanes &sums)
{
    Lanes p01, p23, p45, p67;
    Pairs(s[0], s[1], p01);
    Pairs(s[2], s[3], p23);
    Pairs(s[4], s[5], p45);
    Pairs(s[6], s[7], p67);
    const Lanes q03 =
        MIX_SHUFFLE(p01, p23, 0, 1, 8, 9, 4, 5, 12, 13) + MIX_SHUFFLE(p01, p23, 2, 3, 10, 11, 6, 7, 14, 15);
    const Lanes q47 =
        MIX_SHUFFLE(p45, p67, 0, 1, 8, 9, 4, 5, 12, 13) + MIX_SHUFFLE(p45, p67, 2, 3, 10, 11, 6, 7, 14, 15);
    sums = MIX_SHUFFLE(q03, q47, 0, 1, 2, 3, 8, 9, 10, 11) + MIX_SHUFFLE(q03, q47, 4, 5, 6, 7, 12, 13, 14, 15);
}

// Eight frames of each plane, scaled by the gains (moving by their steps),
// added to eight interleaved stereo frames of `out`.
MIX_INLINE void AddEight(const Lanes &left, const Lanes &right, float gl, float gr, const MixGains &g,
                         float *out)
{
    const Lanes ramp = {0, 1, 2, 3, 4, 5, 6, 7};
    const Lanes l = left * (gl + g.fStepLeft * ramp);
    const Lanes r = right * (gr + g.fStepRight * ramp);
    Lanes lo, hi;
    memcpy(&lo, out, sizeof(lo));
    memcpy(&hi, out + 8, sizeof(hi));
    lo += MIX_SHUFFLE(l, r, 0, 8, 1, 9, 2, 10, 3, 11);
    hi += MIX_SHUFFLE(l, r, 4, 12, 5, 13, 6, 14, 7, 15);
    memcpy(out, &lo, sizeof(lo));
    memcpy(out + 8, &hi, sizeof(hi));
}

// The kernel over the planes, added to the interleaved `out`: output frame
// i from fraction `q` (32.32, relative to left[GetHistory()]) on by `step`.
// Eight frames at a time, whose sums are added up across lanes together.
template <bool Stereo, DWORD Taps>
MIX_INLINE void FilterPlanes(const float *left, const float *right, const CSincTable &table, uint64_t q,
                             uint64_t step, DWORD n, float *out, MixGains &g)
{
    const DWORD taps = table.GetTaps();
    float gl = g.fLeft, gr = g.fRight;
    DWORD i = 0;
    Lanes sl[8], sr[8];
    for (; i + 8 <= n; i += 8) {
        for (int f = 0; f < 8; ++f) {
            DWORD carry;
            const float *row = table.Row(static_cast<uint32_t>(q), carry);
            const size_t k = static_cast<size_t>(q >> 32) + carry;
            Products<Taps>(row, left + k, taps, sl[f]);
            if (Stereo)
                Products<Taps>(row, right + k, taps, sr[f]);
            q += step;
        }
        Lanes l, r;
        Sums(sl, l);
        if (Stereo)
            Sums(sr, r);
        else
            r = l;
        AddEight(l, r, gl, gr, g, out + 2 * i);
        gl += 8 * g.fStepLeft;
        gr += 8 * g.fStepRight;
    }
    for (; i < n; ++i) {
        DWORD carry;
        const float *row = table.Row(static_cast<uint32_t>(q), carry);
        const size_t k = static_cast<size_t>(q >> 32) + carry;
        Products<Taps>(row, left + k, taps, sl[0]);
        const float l = Sum(sl[0]);
        float r = l;
        if (Stereo) {
            Products<Taps>(row, right + k, taps, sr[0]);
            r = Sum(sr[0]);
        }
        out[2 * i] += l * gl;
        out[2 * i + 1] += r * gr;
        gl += g.fStepLeft;
        gr += g.fStepRight;
        q += step;
    }
    g.fLeft = gl;
    g.fRight = gr;
}

MIX_CLONES void Filter(bool stereo, const float *left, const float *right, const CSincTable &table,
                       uint64_t q, uint64_t step, DWORD n, float *out, MixGains &g)
{
    if (table.GetTaps() == 24) {
        if (stereo)
            FilterPlanes<true, 24>(left, right, table, q, step, n, out, g);
        else
            FilterPlanes<false, 24>(left, left, table, q, step, n, out, g);
    } else {
        if (stereo)
            FilterPlanes<true, 0>(left, right, table, q, step, n, out, g);
        else
            FilterPlanes<false, 0>(left, left, table, q, step, n, out, g);
    }
}

// The planes as they are, added to `out` with the gains.
MIX_CLONES void Add(bool stereo, const float *left, const float *right, DWORD n, float *out, MixGains &g)
{
    if (!stereo)
        right = left;
    float gl = g.fLeft, gr = g.fRight;
    DWORD i = 0;
    for (; i + 8 <= n; i += 8) {
        Lanes l, r;
        memcpy(&l, left + i, sizeof(l));
        memcpy(&r, right + i, sizeof(r));
        AddEight(l, r, gl, gr, g, out + 2 * i);
        gl += 8 * g.fStepLeft;
        gr += 8 * g.fStepRight;
    }
    for (; i < n; ++i) {
        out[2 * i] += left[i] * gl;
        out[2 * i + 1] += right[i] * gr;
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
    // Two planes of source frames; two of output frames when there is no kernel.
    float *left = scratch;
    float *right = scratch + scratchFrames;
    DWORD done = 0;
    while (done < frames) {
        const uint64_t p = pos;
        DWORD n = std::min(frames - done, scratchFrames);
        if (!src.bLoop) {
            if (p >= end)
                break;
            const uint64_t rest = (end - p + step - 1) / step;
            if (rest < n)
                n = static_cast<DWORD>(rest);
        }
        const uint64_t fraction = p & 0xFFFFFFFFu;
        const CSincTable *table = src.pTable;
        if (step == kOne && fraction == 0) {
            // The output's own rate on a whole frame: the frames as they are.
            Fetch(src, static_cast<int64_t>(p >> 32), n, left, right);
            Add(src.bStereo, left, right, n, out + 2 * done, gains);
        } else if (table == nullptr) {
            // No memory for a kernel: the nearest frames.
            float *heardLeft = scratch + 2 * scratchFrames;
            float *heardRight = scratch + 3 * scratchFrames;
            const uint64_t most = ((uint64_t(scratchFrames - 1) << 32) - fraction) / step + 1;
            n = static_cast<DWORD>(std::min<uint64_t>(n, most));
            Fetch(src, static_cast<int64_t>(p >> 32), static_cast<DWORD>(((fraction + (n - 1) * step) >> 32) + 1),
                  left, right);
            for (DWORD i = 0; i < n; ++i) {
                const size_t k = static_cast<size_t>((fraction + i * step) >> 32);
                heardLeft[i] = left[k];
                heardRight[i] = src.bStereo ? right[k] : left[k];
            }
            Add(true, heardLeft, heardRight, n, out + 2 * done, gains);
        } else {
            const DWORD taps = table->GetTaps();
            const uint64_t room = scratchFrames - taps - 1;
            const uint64_t most = ((room << 32) - fraction - 1) / step + 1;
            if (most < n)
                n = static_cast<DWORD>(most);
            const DWORD span = static_cast<DWORD>(((fraction + (n - 1) * step) >> 32) + taps + 1);
            Fetch(src, static_cast<int64_t>(p >> 32) - table->GetHistory(), span, left, right);
            Filter(src.bStereo, left, right, *table, fraction, step, n, out + 2 * done, gains);
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
