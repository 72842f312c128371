// The mixer's loops, built twice by MixKernels.cpp: once for machines with
// AVX2 and FMA (MIX_WIDE 1), once for any. Included inside a namespace of
// its own each time, after the lane types and helper macros.

namespace {

// A float in every lane, in the form each build does best: one broadcast
// with AVX (x - 0 is x, where x + 0 is not for -0, so nothing is left to
// add); without AVX, GCC builds a vector wider than the machine's from a
// scalar in memory a lane at a time, but a list written out in registers.
MIX_INLINE void Splat(float x, Lanes &v)
{
#if MIX_WIDE
    v = x - Lanes{};
#else
    v = Lanes{x, x, x, x, x, x, x, x};
#endif
}

// Gains from `first` on by `step` per lane.
MIX_INLINE void Ramp(float first, float step, Lanes &v)
{
    const Lanes ramp = {0, 1, 2, 3, 4, 5, 6, 7};
    Lanes f, s;
    Splat(first, f);
    Splat(step, s);
    v = f + s * ramp;
}

// Sample decoders: Get reads one sample of a frame as a float in [-1, 1);
// where samples have a vector load, Get8 reads eight in a row and
// Get8Stereo eight stereo frames into a vector per channel.
template <class D>
struct DecodeVector {
    static MIX_INLINE void Get8Stereo(const BYTE *p, Lanes &l, Lanes &r)
    {
        Lanes a, b;
        D::Get8(p, a);
        D::Get8(p + 8 * D::kBytes, b);
        l = MIX_SHUFFLE(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
        r = MIX_SHUFFLE(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
    }
};
struct DecodeU8 : DecodeVector<DecodeU8> {
    static const bool kVector = true;
    static const DWORD kBytes = 1;
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        return static_cast<float>(static_cast<int>(frame[channel]) - 128) * (1.0f / 128.0f);
    }
    static MIX_INLINE void Get8(const BYTE *p, Lanes &v)
    {
        typedef unsigned char Bytes __attribute__((vector_size(8)));
        Bytes b;
        memcpy(&b, p, sizeof(b));
        v = (__builtin_convertvector(b, Lanes) - 128.0f) * (1.0f / 128.0f);
    }
};
// Signed integers that fill their sample: 16 or 32 bits. The scale is a
// constant of the instance, so the inner loop keeps a plain multiply.
template <class T>
struct DecodeSigned : DecodeVector<DecodeSigned<T>> {
    static const bool kVector = true;
    static const DWORD kBytes = sizeof(T);
    static constexpr float kScale = 1.0f / static_cast<float>(1ull << (8 * sizeof(T) - 1));
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        T value;
        memcpy(&value, frame + channel * sizeof(T), sizeof(value));
        return static_cast<float>(value) * kScale;
    }
    static MIX_INLINE void Get8(const BYTE *p, Lanes &v)
    {
        typedef T Samples __attribute__((vector_size(8 * sizeof(T))));
        Samples s;
        memcpy(&s, p, sizeof(s));
        // Through 32-bit integers: a single widening, where straight to
        // float GCC widens each half on its own.
        v = __builtin_convertvector(__builtin_convertvector(s, LaneIndex), Lanes) * kScale;
    }
    static MIX_INLINE void Get8Stereo(const BYTE *p, Lanes &l, Lanes &r)
    {
        if (sizeof(T) != 2) {
            DecodeVector<DecodeSigned<T>>::Get8Stereo(p, l, r);
            return;
        }
        // A 16-bit stereo frame is one 32-bit word, left in its low half:
        // each channel moved to the top of the word is its sample * 65536.
        typedef unsigned Words __attribute__((vector_size(32)));
        Words w;
        memcpy(&w, p, sizeof(w));
        const float scale = 1.0f / 2147483648.0f;
        l = __builtin_convertvector(reinterpret_cast<LaneIndex>(w << 16), Lanes) * scale;
        r = __builtin_convertvector(reinterpret_cast<LaneIndex>(w & 0xFFFF0000u), Lanes) * scale;
    }
};
struct DecodeS24 {
    static const bool kVector = false;
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        const BYTE *p = frame + channel * 3;
        const uint32_t bits = (uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24);
        return static_cast<float>(static_cast<int32_t>(bits)) * (1.0f / 2147483648.0f);
    }
};
struct DecodeSWide {
    static const bool kVector = false;
    static float Get(const BYTE *frame, DWORD channel, DWORD sampleBytes)
    {
        int32_t value;
        memcpy(&value, frame + channel * sampleBytes + sampleBytes - 4, sizeof(value));
        return static_cast<float>(value) * (1.0f / 2147483648.0f);
    }
};
// NaN and infinities would ring through the kernel into every neighbouring
// frame; beyond float's range a double's conversion is undefined. Such
// values are noise anyway and only need to stay finite: NaN becomes
// silence, the rest at most 1e6.
const float kFloatLimit = 1e6f;
struct DecodeF32 : DecodeVector<DecodeF32> {
    // Without AVX, GCC works the comparisons on wide vectors out lane by
    // lane: the plain loop does better.
    static const bool kVector = MIX_WIDE;
    static const DWORD kBytes = 4;
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        float value;
        memcpy(&value, frame + channel * 4, sizeof(value));
        if (!(value >= -kFloatLimit && value <= kFloatLimit))
            return value > 0.0f ? kFloatLimit : (value < 0.0f ? -kFloatLimit : 0.0f);
        return value;
    }
    static MIX_INLINE void Get8(const BYTE *p, Lanes &v)
    {
        memcpy(&v, p, sizeof(v));
        const Lanes limit = Lanes{} + kFloatLimit;
        const LaneIndex high = v > limit, low = v < -limit, number = v == v;
        v = reinterpret_cast<Lanes>((reinterpret_cast<LaneIndex>(v) & ~high & ~low & number) |
                                    (reinterpret_cast<LaneIndex>(limit) & high) |
                                    (reinterpret_cast<LaneIndex>(-limit) & low));
    }
};
struct DecodeF64 {
    static const bool kVector = false;
    static float Get(const BYTE *frame, DWORD channel, DWORD)
    {
        double value;
        memcpy(&value, frame + channel * 8, sizeof(value));
        if (!(value >= -kFloatLimit && value <= kFloatLimit))
            return value > 0.0 ? kFloatLimit : (value < 0.0 ? -kFloatLimit : 0.0f);
        return static_cast<float>(value);
    }
};
struct DecodeSilent {
    static const bool kVector = false;
    static float Get(const BYTE *, DWORD, DWORD) { return 0.0f; }
};

// Decodes `count` whole frames at `frames` into `left` and, for sources
// heard in stereo, `right`; or, with `pairs`, a source heard in stereo into
// `left` as interleaved frames.
template <class D, CSampleFormat::Layout L>
MIX_INLINE void Decode(const MixSource &src, const BYTE *frames, DWORD count, float *left, float *right, bool pairs)
{
    const DWORD align = src.dwBlockAlign;
    const DWORD sampleBytes = src.dwSampleBytes;
    // size_t, not DWORD: the addresses then step without being worked out anew.
    size_t i = 0;
    if constexpr (!D::kVector) {
    } else if (L == CSampleFormat::LAYOUT_MONO) {
        for (; i + 8 <= count; i += 8) {
            Lanes v;
            D::Get8(frames + i * D::kBytes, v);
            memcpy(left + i, &v, sizeof(v));
        }
    } else if (L == CSampleFormat::LAYOUT_STEREO && pairs) {
        for (; i + 4 <= count; i += 4) {
            Lanes v;
            D::Get8(frames + 2 * i * D::kBytes, v);
            memcpy(left + 2 * i, &v, sizeof(v));
        }
    } else if (L == CSampleFormat::LAYOUT_STEREO) {
        for (; i + 8 <= count; i += 8) {
            Lanes l, r;
            D::Get8Stereo(frames + 2 * i * D::kBytes, l, r);
            memcpy(left + i, &l, sizeof(l));
            memcpy(right + i, &r, sizeof(r));
        }
    }
    const size_t stride = pairs ? 2 : 1;
    if (pairs)
        right = left + 1;
    for (; i < count; ++i) {
        const BYTE *frame = frames + i * align;
        if (L == CSampleFormat::LAYOUT_MONO) {
            left[i] = D::Get(frame, 0, sampleBytes);
        } else if (L == CSampleFormat::LAYOUT_STEREO) {
            left[i * stride] = D::Get(frame, 0, sampleBytes);
            right[i * stride] = D::Get(frame, 1, sampleBytes);
        } else {
            float l = 0.0f, r = 0.0f;
            for (DWORD c = 0; c < src.dwChannels; ++c) {
                const float x = D::Get(frame, c, sampleBytes);
                l += x * src.pLeft[c];
                r += x * src.pRight[c];
            }
            left[i * stride] = l;
            right[i * stride] = r;
        }
    }
}

template <class D>
MIX_INLINE void DecodeLayout(const MixSource &src, const BYTE *frames, DWORD count, float *left, float *right,
                             bool pairs)
{
    switch (src.eLayout) {
    case CSampleFormat::LAYOUT_MONO:
        Decode<D, CSampleFormat::LAYOUT_MONO>(src, frames, count, left, right, pairs);
        break;
    case CSampleFormat::LAYOUT_STEREO:
        Decode<D, CSampleFormat::LAYOUT_STEREO>(src, frames, count, left, right, pairs);
        break;
    default: Decode<D, CSampleFormat::LAYOUT_DOWNMIX>(src, frames, count, left, right, pairs); break;
    }
}

MIX_INLINE void DecodeAny(const MixSource &src, const BYTE *frames, DWORD count, float *left, float *right,
                          bool pairs)
{
    switch (src.eEncoding) {
    case CSampleFormat::ENC_U8: DecodeLayout<DecodeU8>(src, frames, count, left, right, pairs); break;
    case CSampleFormat::ENC_S16: DecodeLayout<DecodeSigned<int16_t>>(src, frames, count, left, right, pairs); break;
    case CSampleFormat::ENC_S24: DecodeLayout<DecodeS24>(src, frames, count, left, right, pairs); break;
    case CSampleFormat::ENC_S32: DecodeLayout<DecodeSigned<int32_t>>(src, frames, count, left, right, pairs); break;
    case CSampleFormat::ENC_SWIDE: DecodeLayout<DecodeSWide>(src, frames, count, left, right, pairs); break;
    case CSampleFormat::ENC_F32: DecodeLayout<DecodeF32>(src, frames, count, left, right, pairs); break;
    case CSampleFormat::ENC_F64: DecodeLayout<DecodeF64>(src, frames, count, left, right, pairs); break;
    default: DecodeLayout<DecodeSilent>(src, frames, count, left, right, pairs); break;
    }
}

// Source frames first .. first + count - 1 into the planes, as the source
// maps them: a looping source repeats, anything else is silent outside.
// With `pairs`, a source heard in stereo goes to `left` as interleaved frames.
void Fetch(const MixSource &src, int64_t first, DWORD count, float *left, float *right, bool pairs = false)
{
    const int64_t frames = static_cast<int64_t>(src.qwFrames);
    const DWORD stride = pairs && src.bStereo ? 2 : 1;
    DWORD done = 0;
    while (done < count) {
        int64_t index = first + done;
        DWORD run = count - done;
        if ((index < 0 && !(src.bLoop && src.bWrapped)) || (index >= frames && !src.bLoop)) {
            if (index < 0)
                run = static_cast<DWORD>(std::min<int64_t>(run, -index));
            std::fill(left + stride * done, left + stride * (done + run), 0.0f);
            if (src.bStereo && stride == 1)
                std::fill(right + done, right + done + run, 0.0f);
        } else {
            index %= frames;
            if (index < 0)
                index += frames;
            run = static_cast<DWORD>(std::min<int64_t>(run, frames - index));
            DecodeAny(src, src.pData + static_cast<size_t>(index) * src.dwBlockAlign, run, left + stride * done,
                      src.bStereo && stride == 1 ? right + done : nullptr, pairs);
        }
        done += run;
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
    Lanes vl, vr;
    Ramp(gl, g.fStepLeft, vl);
    Ramp(gr, g.fStepRight, vr);
    const Lanes l = left * vl;
    const Lanes r = right * vr;
    Lanes lo, hi;
    memcpy(&lo, out, sizeof(lo));
    memcpy(&hi, out + 8, sizeof(hi));
    lo += MIX_SHUFFLE(l, r, 0, 8, 1, 9, 2, 10, 3, 11);
    hi += MIX_SHUFFLE(l, r, 4, 12, 5, 13, 6, 14, 7, 15);
    memcpy(out, &lo, sizeof(lo));
    memcpy(out + 8, &hi, sizeof(hi));
}

// Four rows of a ratio's block (the weights for sixteen output frames from
// each of four source frames) into the sums, per plane the two halves of
// the block. With AVX two rows at a time into sums of their own, so that
// more multiply-adds are in flight; without it a row at a time, so that the
// sums stay in the registers there are.
template <bool Stereo>
MIX_INLINE void FourRows(const float *weights, const float *left, const float *right, Lanes *a, Lanes *c)
{
#if MIX_WIDE
    for (int k = 0; k < 4; k += 2) {
        Lanes w0, w1, w2, w3, x, y;
        memcpy(&w0, weights + 16 * k, sizeof(w0));
        memcpy(&w1, weights + 16 * k + 8, sizeof(w1));
        memcpy(&w2, weights + 16 * k + 16, sizeof(w2));
        memcpy(&w3, weights + 16 * k + 24, sizeof(w3));
        Splat(left[k], x);
        Splat(left[k + 1], y);
        a[0] += w0 * x;
        a[1] += w1 * x;
        a[2] += w2 * y;
        a[3] += w3 * y;
        if (Stereo) {
            Splat(right[k], x);
            Splat(right[k + 1], y);
            c[0] += w0 * x;
            c[1] += w1 * x;
            c[2] += w2 * y;
            c[3] += w3 * y;
        }
    }
#else
    for (int k = 0; k < 4; ++k) {
        Lanes lo, hi, x;
        memcpy(&lo, weights + 16 * k, sizeof(lo));
        memcpy(&hi, weights + 16 * k + 8, sizeof(hi));
        Splat(left[k], x);
        a[0] += lo * x;
        a[1] += hi * x;
        if (Stereo) {
            Splat(right[k], x);
            c[0] += lo * x;
            c[1] += hi * x;
        }
    }
#endif
}

// One block of a ratio's table over the planes: sixteen output frames, a
// row of weights per source frame, in as many independent sums as keep the
// multiply-adds flowing. `left` and `right` are the block's first source
// frame; `span` is a multiple of 4, and `Span` it when known here.
template <bool Stereo, DWORD Span>
MIX_INLINE void BlockSums(const float *weights, DWORD span, const float *left, const float *right, Lanes *l,
                          Lanes *r)
{
    Lanes a[4] = {}, c[4] = {};
    if (Span) {
        for (DWORD k = 0; k < Span; k += 4)
            FourRows<Stereo>(weights + 16 * k, left + k, right + k, a, c);
    } else {
        const float *end = left + (span & ~7u);
        for (; left != end; left += 8, right += 8, weights += 128) {
            FourRows<Stereo>(weights, left, right, a, c);
            FourRows<Stereo>(weights + 64, left + 4, right + 4, a, c);
        }
        if (span & 4)
            FourRows<Stereo>(weights, left, right, a, c);
    }
    l[0] = a[0] + a[2];
    l[1] = a[1] + a[3];
    r[0] = c[0] + c[2];
    r[1] = c[1] + c[3];
}

// Sixteen frames of each plane (two vectors), scaled by the gains `gl` and
// `gr` (a gain per lane), added to sixteen interleaved stereo frames of
// `out`; the gains move on by `stepl` and `stepr` (per vector).
MIX_INLINE void AddSixteen(const Lanes *left, const Lanes *right, Lanes &gl, Lanes &gr, const Lanes &stepl,
                           const Lanes &stepr, float *out)
{
    for (int h = 0; h < 2; ++h) {
        const Lanes l = left[h] * gl;
        const Lanes r = right[h] * gr;
        gl += stepl;
        gr += stepr;
        Lanes lo, hi;
        memcpy(&lo, out + 16 * h, sizeof(lo));
        memcpy(&hi, out + 16 * h + 8, sizeof(hi));
        lo += MIX_SHUFFLE(l, r, 0, 8, 1, 9, 2, 10, 3, 11);
        hi += MIX_SHUFFLE(l, r, 4, 12, 5, 13, 6, 14, 7, 15);
        memcpy(out + 16 * h, &lo, sizeof(lo));
        memcpy(out + 16 * h + 8, &hi, sizeof(hi));
    }
}

// `n` output frames from output `lane` of block `block` of the ratio's
// cycle on, added to the interleaved `out`. The planes start at the
// block's first source frame.
template <bool Stereo, DWORD Span>
MIX_INLINE void FilterBlocks(const float *left, const float *right, const CRatioTable &table, DWORD block,
                             DWORD lane, DWORD n, float *out, MixGains &g)
{
    const DWORD kFrames = CRatioTable::kBlockFrames;
    const DWORD span = table.GetSpan();
    const DWORD last = table.GetBlocks() - 1;
    const DWORD lastFrames = table.GetCycle() - last * kFrames;
    const int32_t *starts = table.GetStarts();
    const float *first = table.GetWeights(0);
    // Gains kept here, not in `g`, which `out` might alias.
    float gl = g.fLeft, gr = g.fRight;
    const float stepLeft = g.fStepLeft, stepRight = g.fStepRight;
    Lanes vl, vr, stepl, stepr;
    Ramp(gl, stepLeft, vl);
    Ramp(gr, stepRight, vr);
    Splat(8 * stepLeft, stepl);
    Splat(8 * stepRight, stepr);
    const float *weights = table.GetWeights(block);
    // Where the cycle's output 0 starts in the planes.
    int64_t origin = -starts[block];
    DWORD i = 0;
    while (i < n) {
        Lanes l[2], r[2];
        const float *x = left + (origin + starts[block]);
        BlockSums<Stereo, Span>(weights, span, x, right + (x - left), l, r);
        if (!Stereo) {
            r[0] = l[0];
            r[1] = l[1];
        }
        const DWORD count = std::min((block == last ? lastFrames : kFrames) - lane, n - i);
        if (count == kFrames) {
            AddSixteen(l, r, vl, vr, stepl, stepr, out + 2 * i);
        } else {
            // The ends of a run: lanes one by one, and the gains moved on.
            float sl[16], sr[16];
            memcpy(sl, l, sizeof(sl));
            memcpy(sr, r, sizeof(sr));
            float *o = out + 2 * i;
            for (DWORD j = 0; j < count; ++j) {
                o[2 * j] += sl[lane + j] * (gl + stepLeft * (i + j));
                o[2 * j + 1] += sr[lane + j] * (gr + stepRight * (i + j));
            }
            Ramp(gl + stepLeft * (i + count), stepLeft, vl);
            Ramp(gr + stepRight * (i + count), stepRight, vr);
        }
        i += count;
        lane = 0;
        if (block == last) {
            block = 0;
            weights = first;
            origin += table.GetCycleSource();
        } else {
            ++block;
            weights += span * kFrames;
        }
    }
    g.fLeft = gl + stepLeft * n;
    g.fRight = gr + stepRight * n;
}

template <DWORD Span>
MIX_INLINE void FilterSpan(bool stereo, const float *left, const float *right, const CRatioTable &table,
                           DWORD block, DWORD lane, DWORD n, float *out, MixGains &g)
{
    if (stereo)
        FilterBlocks<true, Span>(left, right, table, block, lane, n, out, g);
    else
        FilterBlocks<false, Span>(left, left, table, block, lane, n, out, g);
}

// The spans of 22.05 and 44.1 kHz on a 48 kHz output unrolled.
void FilterRatio(bool stereo, const float *left, const float *right, const CRatioTable &table,
                            DWORD block, DWORD lane, DWORD n, float *out, MixGains &g)
{
    switch (table.GetSpan()) {
    case 32: FilterSpan<32>(stereo, left, right, table, block, lane, n, out, g); break;
    case 40: FilterSpan<40>(stereo, left, right, table, block, lane, n, out, g); break;
    default: FilterSpan<0>(stereo, left, right, table, block, lane, n, out, g); break;
    }
}

// The weights for a fraction, a straight line between two rows, times the
// frames at `x`, lane by lane.
template <DWORD Taps>
MIX_INLINE void RowProduct(const float *row, float along, DWORD taps, const float *x, Lanes &sum)
{
    const DWORD n = Taps ? Taps : taps;
    Lanes a;
    Splat(along, a);
    sum = Lanes{};
    for (DWORD m = 0; m < n; m += 8) {
        Lanes w, d, v;
        memcpy(&w, row + m, sizeof(w));
        memcpy(&d, row + n + m, sizeof(d));
        memcpy(&v, x + m, sizeof(v));
        sum += (w + a * d) * v;
    }
}

// The kernel over the planes, added to the interleaved `out`: output frame
// i from fraction `q` (32.32, relative to left[GetHistory()]) on by `step`.
// Mono eight frames at a time, whose sums are added up across lanes
// together; stereo four, whose left and right sums come out interleaved.
template <bool Stereo, DWORD Taps>
MIX_INLINE void FilterRows(const float *left, const float *right, const CSincTable &table, uint64_t q,
                           uint64_t step, DWORD n, float *out, MixGains &g)
{
    const DWORD taps = Taps ? Taps : table.GetTaps();
    const CSincTable::Rows rows = table.GetRows();
    // Gains kept here, not in `g`, which `out` might alias.
    float gl = g.fLeft, gr = g.fRight;
    const float stepLeft = g.fStepLeft, stepRight = g.fStepRight;
    const DWORD kGroup = Stereo ? 4 : 8;
    DWORD i = 0;
    for (; i + kGroup <= n; i += kGroup) {
        Lanes s[8];
        for (DWORD f = 0; f < kGroup; ++f) {
            float along;
            const float *row = rows.Row(static_cast<uint32_t>(q), taps, along);
            const size_t k = static_cast<size_t>(q >> 32);
            if (Stereo) {
                RowProduct<Taps>(row, along, taps, left + k, s[2 * f]);
                RowProduct<Taps>(row, along, taps, right + k, s[2 * f + 1]);
            } else {
                RowProduct<Taps>(row, along, taps, left + k, s[f]);
            }
            q += step;
        }
        Lanes sums;
        Sums(s, sums);
        if (Stereo) {
            const Lanes ramp = {0, 0, 1, 1, 2, 2, 3, 3};
            const Lanes gains = (Lanes{gl, gr, gl, gr, gl, gr, gl, gr} +
                                 Lanes{stepLeft, stepRight, stepLeft, stepRight, stepLeft, stepRight, stepLeft,
                                       stepRight} * ramp);
            Lanes o;
            memcpy(&o, out + 2 * i, sizeof(o));
            o += sums * gains;
            memcpy(out + 2 * i, &o, sizeof(o));
        } else {
            const MixGains steps = {0.0f, 0.0f, stepLeft, stepRight};
            AddEight(sums, sums, gl, gr, steps, out + 2 * i);
        }
        gl += kGroup * stepLeft;
        gr += kGroup * stepRight;
    }
    for (; i < n; ++i) {
        float along;
        const float *row = rows.Row(static_cast<uint32_t>(q), taps, along);
        const size_t k = static_cast<size_t>(q >> 32);
        Lanes v;
        RowProduct<Taps>(row, along, taps, left + k, v);
        const float l = Sum(v);
        if (Stereo)
            RowProduct<Taps>(row, along, taps, right + k, v);
        out[2 * i] += l * gl;
        out[2 * i + 1] += (Stereo ? Sum(v) : l) * gr;
        gl += stepLeft;
        gr += stepRight;
        q += step;
    }
    g.fLeft = gl;
    g.fRight = gr;
}

void FilterAny(bool stereo, const float *left, const float *right, const CSincTable &table,
                          uint64_t q, uint64_t step, DWORD n, float *out, MixGains &g)
{
    if (table.GetTaps() == 24) {
        if (stereo)
            FilterRows<true, 24>(left, right, table, q, step, n, out, g);
        else
            FilterRows<false, 24>(left, left, table, q, step, n, out, g);
    } else {
        if (stereo)
            FilterRows<true, 0>(left, right, table, q, step, n, out, g);
        else
            FilterRows<false, 0>(left, left, table, q, step, n, out, g);
    }
}

// `n` frames, interleaved pairs or mono, added to `out` with the gains.
void AddFrames(bool stereo, const float *frames, DWORD n, float *out, MixGains &g)
{
    // Gains kept here, not in `g`, which `out` might alias.
    float gl = g.fLeft, gr = g.fRight;
    const float stepLeft = g.fStepLeft, stepRight = g.fStepRight;
    const Lanes ramp = {0, 0, 1, 1, 2, 2, 3, 3};
    Lanes gains = Lanes{gl, gr, gl, gr, gl, gr, gl, gr} +
                  Lanes{stepLeft, stepRight, stepLeft, stepRight, stepLeft, stepRight, stepLeft, stepRight} * ramp;
    const Lanes step = {4 * stepLeft, 4 * stepRight, 4 * stepLeft, 4 * stepRight,
                        4 * stepLeft, 4 * stepRight, 4 * stepLeft, 4 * stepRight};
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Lanes a, b, o;
        if (stereo) {
            memcpy(&a, frames + 2 * i, sizeof(a));
            memcpy(&b, frames + 2 * i + 8, sizeof(b));
        } else {
            Lanes m;
            memcpy(&m, frames + i, sizeof(m));
            a = MIX_SHUFFLE(m, m, 0, 0, 1, 1, 2, 2, 3, 3);
            b = MIX_SHUFFLE(m, m, 4, 4, 5, 5, 6, 6, 7, 7);
        }
        memcpy(&o, out + 2 * i, sizeof(o));
        o += a * gains;
        memcpy(out + 2 * i, &o, sizeof(o));
        gains += step;
        memcpy(&o, out + 2 * i + 8, sizeof(o));
        o += b * gains;
        memcpy(out + 2 * i + 8, &o, sizeof(o));
        gains += step;
    }
    for (; i < n; ++i) {
        const float l = stereo ? frames[2 * i] : frames[i];
        const float r = stereo ? frames[2 * i + 1] : frames[i];
        out[2 * i] += l * (gl + stepLeft * i);
        out[2 * i + 1] += r * (gr + stepRight * i);
    }
    g.fLeft = gl + stepLeft * n;
    g.fRight = gr + stepRight * n;
}

}  // namespace

void ClampMix(float *out, size_t count)
{
    size_t i = 0;
#if MIX_WIDE
    const Lanes one = Lanes{} + 1.0f;
    for (; i + 8 <= count; i += 8) {
        Lanes v;
        memcpy(&v, out + i, sizeof(v));
        const LaneIndex high = v > one, low = v < -one, number = v == v;
        v = reinterpret_cast<Lanes>((reinterpret_cast<LaneIndex>(v) & ~high & ~low & number) |
                                    (reinterpret_cast<LaneIndex>(one) & high) |
                                    (reinterpret_cast<LaneIndex>(-one) & low));
        memcpy(out + i, &v, sizeof(v));
    }
#endif
    for (; i < count; ++i) {
        const float v = out[i];
        out[i] = v > 1.0f ? 1.0f : (v >= -1.0f ? v : (v < -1.0f ? -1.0f : 0.0f));
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
        const CRatioTable *ratio = src.pRatio;
        uint64_t next = 0;
        DWORD phase = 0;
        if (step == kOne && fraction == 0) {
            // The output's own rate on a whole frame: the frames as they are.
            Fetch(src, static_cast<int64_t>(p >> 32), n, left, right, true);
            AddFrames(src.bStereo, left, n, out + 2 * done, gains);
            next = p + n * step;
        } else if (ratio != nullptr && ratio->FindPhase(static_cast<uint32_t>(fraction), phase) &&
                   (scratchFrames - ratio->GetSpan() - 2) * uint64_t(ratio->GetPhases()) >
                       64 * uint64_t(ratio->GetSourceStep())) {
            // A ratio with a table, on one of its phases: exact weights,
            // sixteen frames at a time, and exact steps. The source frame of
            // the cycle's output 0 is `origin`. (The table's span is at most
            // 192, well within the scratch.)
            const uint64_t m = ratio->GetSourceStep(), l = ratio->GetPhases();
            const uint64_t sequence = ratio->GetSequence(phase);
            const int64_t origin = static_cast<int64_t>(p >> 32) - static_cast<int64_t>((sequence * m - phase) / l);
            const uint64_t most = (scratchFrames - ratio->GetSpan() - 2) * l / m - 32;
            if (most < n)
                n = static_cast<DWORD>(most);
            if (!src.bLoop) {
                const uint64_t rest = (((src.qwFrames - (p >> 32)) * l - phase) + m - 1) / m;
                if (rest < n)
                    n = static_cast<DWORD>(rest);
            }
            const int64_t start = ratio->GetSourceStart(sequence);
            const DWORD span = static_cast<DWORD>(ratio->GetSourceStart(sequence + n - 1) - start) + ratio->GetSpan();
            Fetch(src, origin + start, span, left, right);
            FilterRatio(src.bStereo, left, right, *ratio, static_cast<DWORD>(sequence / CRatioTable::kBlockFrames),
                        static_cast<DWORD>(sequence % CRatioTable::kBlockFrames), n, out + 2 * done, gains);
            const uint64_t after = (sequence + n) * m;
            next = (static_cast<uint64_t>(origin + static_cast<int64_t>(after / l)) << 32) |
                   ratio->GetFraction(static_cast<DWORD>(after % l));
        } else if (table == nullptr) {
            // No memory for a kernel: the nearest frames.
            float *heard = scratch + 2 * scratchFrames;
            const uint64_t most = ((uint64_t(scratchFrames - 1) << 32) - fraction) / step + 1;
            n = static_cast<DWORD>(std::min<uint64_t>(n, most));
            Fetch(src, static_cast<int64_t>(p >> 32), static_cast<DWORD>(((fraction + (n - 1) * step) >> 32) + 1),
                  left, right);
            for (DWORD i = 0; i < n; ++i) {
                const size_t k = static_cast<size_t>((fraction + i * step) >> 32);
                heard[2 * i] = left[k];
                heard[2 * i + 1] = src.bStereo ? right[k] : left[k];
            }
            AddFrames(true, heard, n, out + 2 * done, gains);
            next = p + n * step;
        } else {
            const DWORD taps = table->GetTaps();
            const uint64_t room = scratchFrames - taps - 1;
            const uint64_t most = ((room << 32) - fraction - 1) / step + 1;
            if (most < n)
                n = static_cast<DWORD>(most);
            const DWORD span = static_cast<DWORD>(((fraction + (n - 1) * step) >> 32) + taps + 1);
            Fetch(src, static_cast<int64_t>(p >> 32) - table->GetHistory(), span, left, right);
            FilterAny(src.bStereo, left, right, *table, fraction, step, n, out + 2 * done, gains);
            next = p + n * step;
        }
        if (src.bLoop && next >= end) {
            next = (((next >> 32) % src.qwFrames) << 32) | (next & 0xFFFFFFFFu);
            src.bWrapped = true;
        }
        pos = next;
        done += n;
    }
    return done;
}
