// The vectors of one instruction set's kernels (walk.cpp, exact.cpp,
// sweep.cpp), built with TL_ISA naming the set and TL_LANES its doubles per
// register. Included before formulas.h, whose templates then take these types
// too. Everything has internal linkage; see kernels.h.
#ifndef TERRALUME_ENGINE_VECTORS_H
#define TERRALUME_ENGINE_VECTORS_H

#include <bit>
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

// Quotients by a divisor shared by many of them (a cell's normal length over
// the positions of a sweep, a position's weight over the cells), without a
// division each. A division costs many times a multiplication, and a sweep is
// bound by its divisions. With the reciprocal y = 1/b correctly rounded, the
// quotient q = a y and two corrections q + (a - b q) y, each remainder exact
// in a fused multiply-add, give the correctly rounded a / b: the first
// correction leaves q within an ulp, and from there one more is exact
// (Markstein). This holds while nothing overflows or underflows, so the fused
// path takes only operands of magnitude 2^-400 to 2^400 (and +0 as a
// dividend, whose quotient the steps keep +0); any other lane, NaN and
// infinities among them, sends its vector to the division itself. The bits
// are those of the division in every case.
#if (defined(__FMA__) || defined(__AVX512F__)) && TL_LANES > 1
constexpr bool kFusedQuotients = true;
#else
constexpr bool kFusedQuotients = false;
#endif
constexpr double kQuotientLow = 0x1p-400;
constexpr double kQuotientHigh = 0x1p400;

struct Divisor {
    vd b;
    vd rb;     // 1 / b, when fast
    bool fast; // every lane of b in range
};

// Whether every lane of v lies in the range of the fused path, or is +0
// when `zero` allows it. The magnitudes' bits in order are the magnitudes in
// order, so one unsigned comparison of their offset from the low end's bits
// tells the range.
[[maybe_unused]] bool in_quotient_range(vd v, bool zero)
{
    constexpr uint64_t kLow = std::bit_cast<uint64_t>(kQuotientLow);
    constexpr uint64_t kSpan = std::bit_cast<uint64_t>(kQuotientHigh) - kLow;
    constexpr uint64_t kMagnitude = ~(uint64_t{1} << 63);
#if defined(__AVX512F__) && TL_LANES == 8
    const __m512i b = reinterpret_cast<__m512i>(v);
    const __m512i off = _mm512_sub_epi64(_mm512_and_si512(b, _mm512_set1_epi64(kMagnitude)), _mm512_set1_epi64(kLow));
    __mmask8 ok = _mm512_cmple_epu64_mask(off, _mm512_set1_epi64(kSpan));
    if (zero)
        ok = static_cast<__mmask8>(ok | _mm512_testn_epi64_mask(b, b));
    return ok == 0xFF;
#else
    const vu b = as_bits(v);
    vm ok = ((b & kMagnitude) - kLow) <= kSpan;
    if (zero)
        ok = ok | (b == 0);
    return kernels::TL_ISA::bits(ok) == kernels::TL_ISA::kAllLanes;
#endif
}

[[maybe_unused]] Divisor divisor_of(vd b)
{
    // The reciprocal is formed whatever b is (a choice between it and b
    // would gain nothing, and g++ 12 has been seen to apply it to one lane).
    return {b, 1.0 / b, kFusedQuotients && in_quotient_range(b, false)};
}

[[maybe_unused]] inline vd fused_multiply_add(vd a, vd b, vd c)
{
#if defined(__AVX512F__) && TL_LANES == 8
    return reinterpret_cast<vd>(
        _mm512_fmadd_pd(reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b), reinterpret_cast<__m512d>(c)));
#elif defined(__FMA__) && TL_LANES == 4
    return reinterpret_cast<vd>(
        _mm256_fmadd_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b), reinterpret_cast<__m256d>(c)));
#else
    return a * b + c; // never used: kFusedQuotients is false
#endif
}

[[maybe_unused]] inline vd quotient(vd a, const Divisor &d)
{
    if (d.fast && in_quotient_range(a, true)) {
        vd q = a * d.rb;
        q = fused_multiply_add(fused_multiply_add(-q, d.b, a), d.rb, q);
        return fused_multiply_add(fused_multiply_add(-q, d.b, a), d.rb, q);
    }
    return a / d.b;
}

} // namespace
} // namespace terralume::formulas

#endif
