// The vectors of one instruction set's kernels (walk.cpp, sweep.cpp), built
// with TL_ISA naming the set and TL_LANES its doubles per register. Included
// before formulas.h, whose templates then take these types too. Everything
// has internal linkage; see kernels.h.
#ifndef TERRALUME_ENGINE_VECTORS_H
#define TERRALUME_ENGINE_VECTORS_H

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#ifndef TL_ISA
#error "TL_ISA must name the instruction set of this build"
#endif

namespace terralume::kernels::TL_ISA
{
namespace
{

// Lanes of a vector: as many doubles as one register of the instruction set
// holds; one for the portable build, where compilers make plain scalar code
// of it (wider vectors without the wide instructions cost more than they save).
constexpr int W = TL_LANES;
typedef double vd __attribute__((vector_size(8 * W)));
typedef int64_t vm __attribute__((vector_size(8 * W)));  // lane masks, 0 or -1
typedef uint64_t vu __attribute__((vector_size(8 * W))); // the bits of doubles
typedef int32_t vi __attribute__((vector_size(4 * W)));
typedef signed char vb __attribute__((vector_size(W)));

vd splat(double v)
{
    vd r;
    for (int l = 0; l < W; l++)
        r[l] = v;
    return r;
}

// One bit per lane of a mask, lane 0 lowest.
#if defined(__AVX512F__) && defined(__AVX512DQ__) && defined(__AVX512VL__)
static_assert(W == 8);
[[maybe_unused]] uint32_t bits(vm m) { return _mm512_movepi64_mask(reinterpret_cast<__m512i>(m)); }
[[maybe_unused]] uint32_t bits(vi m) { return _mm256_movepi32_mask(reinterpret_cast<__m256i>(m)); }
#elif defined(__AVX2__)
static_assert(W == 4);
[[maybe_unused]] uint32_t bits(vm m)
{
    return static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(reinterpret_cast<__m256i>(m))));
}
[[maybe_unused]] uint32_t bits(vi m)
{
    return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(reinterpret_cast<__m128i>(m))));
}
#else
template <typename V> uint32_t bits(V m)
{
    uint32_t r = 0;
    for (int l = 0; l < W; l++)
        r |= (m[l] != 0 ? 1u : 0u) << l;
    return r;
}
#endif
constexpr uint32_t kAllLanes = (1u << W) - 1;

} // namespace
} // namespace terralume::kernels::TL_ISA

namespace terralume::formulas
{
namespace
{

using kernels::TL_ISA::vd;
using kernels::TL_ISA::vm;
using kernels::TL_ISA::vu;

// Lane by lane, a where m is set, else b: the bits of one or the other.
#if defined(__AVX2__)
[[maybe_unused]] vd pick(vm m, vd a, vd b) { return m ? a : b; }
#else
// Without blend instructions, choices of 64-bit lanes are done in bits.
[[maybe_unused]] vd pick(vm m, vd a, vd b)
{
    return reinterpret_cast<vd>((m & reinterpret_cast<vm>(a)) | (~m & reinterpret_cast<vm>(b)));
}
#endif
[[maybe_unused]] vm both(vm a, vm b) { return a & b; }
[[maybe_unused]] vm either(vm a, vm b) { return a | b; }
[[maybe_unused]] vm but_not(vm a, vm b) { return a & ~b; }
[[maybe_unused]] vu as_bits(vd v) { return reinterpret_cast<vu>(v); }
[[maybe_unused]] vd from_bits(vu b) { return reinterpret_cast<vd>(b); }

} // namespace
} // namespace terralume::formulas

#endif
