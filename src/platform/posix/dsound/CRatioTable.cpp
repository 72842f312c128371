#include "platform/posix/dsound/CRatioTable.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/posix/dsound/CSincTable.h"

namespace {

// Room for the common ratios (22.05, 44.1, 11.025, 8, 32, 96 kHz and the
// like on a 48 or 44.1 kHz output): a table of at most 64 Ki weights, and
// 4 MiB for all of them. Built tables are never freed, so a slot once
// taken stays taken; finding one takes no lock (and so nothing a fork
// could leave held).
const DWORD kMaxPhases = 2048;
const size_t kMaxWeights = 65536;
const size_t kMaxBytes = 4 << 20;
const int kSlots = 32;
std::atomic<const CRatioTable *> s_slots[kSlots];
std::atomic<size_t> s_bytes(0);

DWORD Gcd(DWORD a, DWORD b)
{
    while (b != 0) {
        const DWORD r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

CRatioTable::CRatioTable(DWORD m, DWORD l)
    : m_dwM(m),
      m_dwL(l),
      m_dwInverse(0),
      m_dwCycle(0),
      m_dwBlocks(0),
      m_dwCycleSource(0),
      m_dwSpan(0),
      m_cbSize(0),
      m_pStarts(nullptr),
      m_pWeights(nullptr),
      m_pStorage(nullptr)
{
}

CRatioTable::~CRatioTable()
{
    free(m_pStorage);
}

bool CRatioTable::_build(uint64_t step)
{
    const CSincTable *kernel = CSincTable::ForStep(step);
    if (kernel == nullptr)
        return false;
    const uint64_t m = m_dwM, l = m_dwL;
    for (DWORD x = 0; x < m_dwL; ++x) {
        if (m * x % l == 1 % l) {
            m_dwInverse = x;
            break;
        }
    }
    // A cycle of whole blocks where that is a few times L; else L, with a
    // short block at its end.
    const DWORD whole = kBlockFrames / Gcd(m_dwL, kBlockFrames);
    m_dwCycle = m_dwL * whole <= 1024 ? m_dwL * whole : m_dwL;
    m_dwBlocks = (m_dwCycle + kBlockFrames - 1) / kBlockFrames;
    m_dwCycleSource = static_cast<DWORD>(m_dwCycle / l * m);
    const DWORD taps = kernel->GetTaps();
    DWORD widest = 0;
    for (uint64_t s = 0; s < m_dwCycle; s += kBlockFrames) {
        const uint64_t last = std::min<uint64_t>(s + kBlockFrames, m_dwCycle) - 1;
        widest = std::max(widest, static_cast<DWORD>(last * m / l - s * m / l));
    }
    m_dwSpan = (widest + taps + 3) / 4 * 4;
    const size_t weights = static_cast<size_t>(m_dwBlocks) * m_dwSpan * kBlockFrames;
    if (weights > kMaxWeights)
        return false;
    m_cbSize = weights * sizeof(float) + m_dwBlocks * sizeof(int32_t) + 32;
    m_pStorage = calloc(m_cbSize, 1);
    if (m_pStorage == nullptr)
        return false;
    uintptr_t at = reinterpret_cast<uintptr_t>(m_pStorage);
    at = (at + 31) / 32 * 32;
    m_pWeights = reinterpret_cast<float *>(at);
    m_pStarts = reinterpret_cast<int32_t *>(m_pWeights + weights);

    float row[256];
    for (DWORD b = 0; b < m_dwBlocks; ++b) {
        const uint64_t first = kBlockFrames * static_cast<uint64_t>(b) * m / l;
        m_pStarts[b] = static_cast<int32_t>(first) - static_cast<int32_t>(kernel->GetHistory());
        float *block = m_pWeights + static_cast<size_t>(b) * m_dwSpan * kBlockFrames;
        for (DWORD j = 0; j < kBlockFrames && kBlockFrames * b + j < m_dwCycle; ++j) {
            const uint64_t s = kBlockFrames * static_cast<uint64_t>(b) + j;
            kernel->GetWeights(static_cast<double>(s * m % l) / l, row);
            const size_t shift = static_cast<size_t>(s * m / l - first);
            for (DWORD t = 0; t < taps; ++t)
                block[(shift + t) * kBlockFrames + j] = row[t];
        }
    }
    return true;
}

const CRatioTable *CRatioTable::For(DWORD frequency, DWORD rate)
{
    return _find(frequency, rate, true);
}

const CRatioTable *CRatioTable::Find(DWORD frequency, DWORD rate)
{
    return _find(frequency, rate, false);
}

const CRatioTable *CRatioTable::_find(DWORD frequency, DWORD rate, bool make)
{
    if (frequency == 0 || rate == 0)
        return nullptr;
    const DWORD common = Gcd(frequency, rate);
    const DWORD m = frequency / common, l = rate / common;
    if (m == l || l > kMaxPhases)
        return nullptr;
    for (int i = 0; i < kSlots; ++i) {
        const CRatioTable *table = s_slots[i].load(std::memory_order_acquire);
        if (table == nullptr)
            break;
        if (table->m_dwM == m && table->m_dwL == l)
            return table;
    }
    if (!make || s_bytes.load(std::memory_order_relaxed) >= kMaxBytes)
        return nullptr;
    CRatioTable *table = new (std::nothrow) CRatioTable(m, l);
    if (table == nullptr || !table->_build((static_cast<uint64_t>(frequency) << 32) / rate)) {
        delete table;
        return nullptr;
    }
    if (s_bytes.fetch_add(table->m_cbSize) + table->m_cbSize > kMaxBytes) {
        s_bytes.fetch_sub(table->m_cbSize);
        delete table;
        return nullptr;
    }
    // Into the first free slot, unless someone put the same ratio first.
    for (int i = 0; i < kSlots; ++i) {
        const CRatioTable *expected = nullptr;
        if (s_slots[i].compare_exchange_strong(expected, table, std::memory_order_acq_rel))
            return table;
        if (expected->m_dwM == m && expected->m_dwL == l) {
            s_bytes.fetch_sub(table->m_cbSize);
            delete table;
            return expected;
        }
    }
    s_bytes.fetch_sub(table->m_cbSize);
    delete table;
    return nullptr;
}
