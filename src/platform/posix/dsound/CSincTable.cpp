#include "platform/posix/dsound/CSincTable.h"

#include <math.h>
#include <pthread.h>

#include <new>

namespace {

// 24 weights at the output's rate or slower: cut-off at 0.5225 of the source
// rate, Kaiser window beta 8.5. Passband to 0.45 within 0.25 dB, 85 dB down
// from 0.637 on (the image of a tone at 0.363 of the rate).
const DWORD kTaps = 24;
const double kCutoff = 0.5225;
const double kBeta = 8.5;
// 256 rows: a straight line between neighbouring rows misses the kernel by
// far less than the kernel itself lets through.
const DWORD kPhaseBits = 8;
// Faster voices: the kernel stretched by 2^(k/4), k = 1..kStretches; a
// stretched kernel is smoother, so as many rows do.
const int kStretches = 9;
const DWORD kStretchedPhaseBits = 8;

double BesselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

pthread_once_t s_once[kStretches + 1] = {PTHREAD_ONCE_INIT, PTHREAD_ONCE_INIT, PTHREAD_ONCE_INIT,
                                         PTHREAD_ONCE_INIT, PTHREAD_ONCE_INIT, PTHREAD_ONCE_INIT,
                                         PTHREAD_ONCE_INIT, PTHREAD_ONCE_INIT, PTHREAD_ONCE_INIT,
                                         PTHREAD_ONCE_INIT};
const CSincTable *s_pTables[kStretches + 1];

}  // namespace

CSincTable::CSincTable(double stretch, DWORD taps, DWORD phaseBits)
    : m_dwTaps(taps),
      m_dwPhaseBits(phaseBits),
      m_dwPhaseShift(32 - phaseBits),
      m_dwAlongMask((1u << (32 - phaseBits)) - 1),
      m_fAlongScale(1.0f / static_cast<float>(1u << (32 - phaseBits))),
      m_storage(new float[(static_cast<size_t>(2 * taps) << phaseBits) + taps + 8]),
      m_pRows(m_storage.get())
{
    // 32-byte alignment: rows are a multiple of 8 floats, so every row is.
    while (reinterpret_cast<uintptr_t>(m_pRows) % 32 != 0)
        ++m_pRows;
    const double half = taps / 2.0;
    const double cutoff = kCutoff / stretch;
    const double scale = 1.0 / BesselI0(kBeta);
    const DWORD phases = 1u << phaseBits;
    // Rows 0 .. phases, the last one (a whole frame on) only to take the
    // step to; each is written where its weights go, then the steps between
    // them replace the next row's copy.
    for (DWORD phase = 0; phase <= phases; ++phase) {
        float *row = m_pRows + static_cast<size_t>(phase) * 2 * taps;
        const double fraction = static_cast<double>(phase) / phases;
        double w[256];
        double sum = 0.0;
        for (DWORD m = 0; m < taps; ++m) {
            // Distance of source frame m from the output's position.
            const double t = static_cast<double>(m) - GetHistory() - fraction;
            const double r = t / half;
            w[m] = 0.0;
            if (r > -1.0 && r < 1.0) {
                const double window = BesselI0(kBeta * sqrt(1.0 - r * r)) * scale;
                const double sinc = t == 0.0 ? 2.0 * cutoff : sin(2.0 * M_PI * cutoff * t) / (M_PI * t);
                w[m] = window * sinc;
            }
            sum += w[m];
        }
        // Every row passes a constant at exactly unit gain.
        float *below = row - 2 * taps;
        for (DWORD m = 0; m < taps; ++m) {
            const float weight = static_cast<float>(w[m] / sum);
            if (phase > 0)
                below[taps + m] = weight - below[m];
            if (phase < phases)
                row[m] = weight;
        }
    }
}

void CSincTable::GetWeights(double fraction, float *weights) const
{
    const double scaled = fraction * (1u << m_dwPhaseBits);
    const DWORD phase = static_cast<DWORD>(scaled);
    const double along = scaled - phase;
    const float *row = m_pRows + static_cast<size_t>(phase) * 2 * m_dwTaps;
    for (DWORD m = 0; m < m_dwTaps; ++m)
        weights[m] = static_cast<float>(row[m] + along * row[m_dwTaps + m]);
}

void CSincTable::_build(int index)
{
    const double stretch = index == 0 ? 1.0 : pow(2.0, index / 4.0);
    // At most 120 weights (a stretch of 4.76).
    const DWORD taps = (static_cast<DWORD>(ceil(kTaps * stretch)) + 7) / 8 * 8;
    s_pTables[index] = new (std::nothrow) CSincTable(stretch, taps, index == 0 ? kPhaseBits : kStretchedPhaseBits);
}

template <int Index> void CSincTable::_build_once()
{
    try {
        _build(Index);
    } catch (...) {
        s_pTables[Index] = nullptr;  // no memory: the voice is not resampled
    }
}

const CSincTable *CSincTable::ForStep(uint64_t step)
{
    // Built under pthread_once rather than as a function's statics: a fork
    // in the middle of a build would leave a static's guard held for good.
    typedef void (*Builder)();
    static const Builder builders[kStretches + 1] = {
        _build_once<0>, _build_once<1>, _build_once<2>, _build_once<3>, _build_once<4>,
        _build_once<5>, _build_once<6>, _build_once<7>, _build_once<8>, _build_once<9>};
    int index = 0;
    if (step > (uint64_t(1) << 32)) {
        const double ratio = static_cast<double>(step) / 4294967296.0;
        index = static_cast<int>(ceil(4.0 * log2(ratio) - 1e-9));
        if (index > kStretches)
            index = kStretches;
        if (index < 1)
            index = 1;
    }
    pthread_once(&s_once[index], builders[index]);
    return s_pTables[index];
}
