#include "platform/posix/dsound/MixKernels.h"

#include <string.h>

#include <algorithm>

namespace {

// Eight lanes at a time; GCC and Clang map these onto whatever vectors the
// target has. Never passed by value: that would tie the calling convention
// to the vector unit.
typedef float Lanes __attribute__((vector_size(32)));
typedef int LaneIndex __attribute__((vector_size(32)));

}  // namespace

#if defined(__clang__)
#define MIX_SHUFFLE(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shufflevector(a, b, i0, i1, i2, i3, i4, i5, i6, i7)
#else
#define MIX_SHUFFLE(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shuffle(a, b, LaneIndex{i0, i1, i2, i3, i4, i5, i6, i7})
#endif

// Inlined into each build of the loops, so that each gets the vectors it
// was built for.
#define MIX_INLINE inline __attribute__((always_inline))

// The loops are built for x86-64 with AVX2 and FMA as well as for any
// machine, and each call takes the build the processor can run. Two builds
// of one text rather than GCC's target_clones, so that each can take the
// form of an operation that suits it (see Splat).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MIX_HAS_WIDE 1
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
#define MIX_WIDE 1
namespace {
namespace wide {
#include "platform/posix/dsound/MixKernels.inl"
}  // namespace wide
}  // namespace
#undef MIX_WIDE
#pragma GCC pop_options
#else
#define MIX_HAS_WIDE 0
#endif

#define MIX_WIDE 0
namespace {
namespace plain {
#include "platform/posix/dsound/MixKernels.inl"
}  // namespace plain
}  // namespace
#undef MIX_WIDE

#if MIX_HAS_WIDE
namespace {

bool Wide()
{
    return __builtin_cpu_supports("x86-64-v3");
}

}  // namespace
#endif

void ClampMix(float *out, size_t count)
{
#if MIX_HAS_WIDE
    if (Wide())
        return wide::ClampMix(out, count);
#endif
    plain::ClampMix(out, count);
}

DWORD MixFrames(MixSource &src, uint64_t &pos, MixGains &gains, float *out, DWORD frames,
                float *scratch, DWORD scratchFrames)
{
#if MIX_HAS_WIDE
    if (Wide())
        return wide::MixFrames(src, pos, gains, out, frames, scratch, scratchFrames);
#endif
    return plain::MixFrames(src, pos, gains, out, frames, scratch, scratchFrames);
}
