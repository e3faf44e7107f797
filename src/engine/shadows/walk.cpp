// The ray walk of the fast engine, built once per instruction set with TL_ISA
// naming it; see shadow_kernels.h.
//
// It follows several neighbouring rays of one family in lockstep,
// one per vector lane. Rays of a family share their steps, so at every step
// the lanes stand on one row of the grid walked, almost always on adjacent
// columns: one vector load serves them all. Each lane sweeps its ray as it
// goes, with the same decisions as a sweep over the finished list of cells:
//  - a cell strictly lower than the cell before it makes that cell a caster,
//    when the caster is the second cell of the ray or later;
//  - a caster's shadow line drops dif_alt per step and marks the following
//    cells strictly below it; the first cell above it ends the shadow and may
//    be the next caster;
//  - a cell is marked only once the walk has gone past it, since the last
//    cell of a ray is never marked.
#include "shadow_kernels.h"
#include "vectors.h"
// After the vectors, so that its templates take them.
#include "formulas.h"

#include <cstring>

namespace terralume::kernels::TL_ISA
{

namespace
{

using formulas::shadow_step;

constexpr int kRays = 2 * W;  // rays of one walk: two vectors of lanes
constexpr double kAhead = 32; // steps: a few hundred nanoseconds ahead

bool all(vi m) { return bits(m) == kAllLanes; }

void mark(const RayFamily &f, unsigned char *const *marks, int32_t r, int32_t c)
{
    if (f.transposed)
        marks[c][r] |= f.bit;
    else
        marks[r][c] |= f.bit;
}

// The state of a group of lanes. Lanes are only ever read one by one in the
// out-of-line helpers below, which take and return it by value, so that in the
// walk itself it stays in registers.
struct Lanes {
    vd x;      // column positions
    vm alive;  // the ray goes on
    vd prev;   // altitude of the ray's last cell
    vi prev_c; // and its column
    vi prev_r; // and its row
    vm has2;   // the ray has two cells or more
    // A shadow is running, from a caster of altitude calt, ico steps back; the
    // ray's last cell lies in it, and is marked once the ray goes on past it.
    vm active;
    vd calt;
    vd ico;
};

// The rows of the grid walked, as doubles or as floats (the same values).
template <typename T> const T *const *rows_of(const RayFamily &f);
template <> const double *const *rows_of<double>(const RayFamily &f) { return f.g; }
template <> const float *const *rows_of<float>(const RayFamily &f) { return f.gf; }

// W adjacent cells of a row, as doubles.
template <typename T> vd load(const T *cells)
{
    typedef T vt __attribute__((vector_size(sizeof(T) * W)));
    vt v;
    std::memcpy(&v, cells, sizeof v);
#if defined(__AVX512F__)
    // One widening instruction (g++ 12 converts the halves apart).
    if constexpr (sizeof(T) == 4)
        return reinterpret_cast<vd>(_mm512_maskz_cvtps_pd(0xFF, reinterpret_cast<__m256>(v)));
#endif
    return __builtin_convertvector(v, vd);
}

// The cells of lanes that are not adjacent, 0 for the others.
template <typename T> [[gnu::noinline]] vd gather(const T *row, vi c, vm valid)
{
    vd a = splat(0.0);
    for (int l = 0; l < W; l++)
        if (valid[l])
            a[l] = row[c[l]];
    return a;
}

[[gnu::noinline]] void mark_lanes(const RayFamily &f, unsigned char *const *marks, uint32_t lanes, vi r, vi c)
{
    for (; lanes != 0; lanes &= lanes - 1) {
        const int l = __builtin_ctz(lanes);
        mark(f, marks, r[l], c[l]);
    }
}

// A step where some lane stands on its start cell again (possible on the
// first step from line or column 0, where -0.5 truncates to 0): those lanes
// skip it, the others go on one by one.
template <typename T>
[[gnu::noinline]] Lanes lane_by_lane(const RayFamily &f, unsigned char *const *marks, Lanes s, const T *row, int32_t r,
                                     vi c, vi k, vm valid, vm at_end)
{
    for (int l = 0; l < W; l++) {
        if (!valid[l] || c[l] == k[l])
            continue;
        if (s.active[l])
            mark(f, marks, s.prev_r[l], s.prev_c[l]);
        const double a = row[c[l]];
        double calt = s.calt[l];
        double ico = s.ico[l];
        const bool sh = shadow_step(s.active[l] != 0, s.has2[l] != 0, s.prev[l], a, f.dif_alt, 1.0, calt, ico);
        s.active[l] = sh ? -1 : 0;
        s.ico[l] = ico;
        s.calt[l] = calt;
        s.prev[l] = a;
        s.has2[l] = -1;
        s.prev_c[l] = c[l];
        s.prev_r[l] = r;
    }
    s.alive = valid & ~at_end;
    return s;
}

// The lanes of a bit mask as a lane mask.
[[gnu::noinline]] vm mask_of(uint32_t lanes)
{
    vm m = {};
    for (int l = 0; l < W; l++)
        m[l] = (lanes >> l & 1) != 0 ? -1 : 0;
    return m;
}

template <typename T> [[gnu::noinline]] Lanes start(const RayFamily &f, int32_t k0, int32_t lanes)
{
    Lanes s{};
    for (int l = 0; l < W; l++) {
        s.x[l] = static_cast<double>(k0 + l);
        s.alive[l] = l < lanes ? -1 : 0;
        if (l < lanes)
            s.prev[l] = rows_of<T>(f)[f.r0][k0 + l]; // the start cell, first of every ray
        s.prev_c[l] = k0 + l;
        s.prev_r[l] = f.r0;
    }
    return s;
}

// Per-family constants of the walk, as vectors.
struct Steps {
    vd half, one, dif, dc, minus_one, ncols_d;
    vi dc_fin, iota;
};

// One step of one group of lanes onto row r; false once all its rays ended.
template <typename T>
[[gnu::always_inline]] inline bool step(const RayFamily &f, unsigned char *const *marks, const Steps &v, Lanes &s,
                                        bool &prev_contiguous, vi k, int32_t r, const T *row)
{
    s.x += v.dc;
    const vd p = s.x + v.half;
    const vi c = __builtin_convertvector(p, vi);
    // trunc(p) lies in 0 .. ncols - 1 exactly when -1 < p < ncols.
    const vm valid = s.alive & (p > v.minus_one) & (p < v.ncols_d);
    const uint32_t valid_bits = bits(valid);
    if (valid_bits == 0) {
        s.alive = valid;
        return false;
    }
    vm at_end = {};
    if (r == f.r_fin)
        if (const uint32_t e = bits(c - k == v.dc_fin) & valid_bits)
            at_end = mask_of(e);

    if (r == f.r0 && (bits(c == k) & valid_bits) != 0) {
        s = lane_by_lane(f, marks, s, row, r, c, k, valid, at_end);
        prev_contiguous = false;
        return true;
    }

    vd a;
    const int32_t c0 = c[0];
    const bool contiguous = c0 >= 0 && c0 <= f.ncols - W && all(c == c0 + v.iota);
    if (contiguous)
        a = load(row + c0);
    else
        a = gather(row, c, valid);

    // The previous cells are marked now that the rays go on past them.
    const vm commit = s.active & valid;
    if (const uint32_t b = bits(commit)) {
        if (prev_contiguous && !f.transposed) {
            unsigned char *cells = marks[s.prev_r[0]] + s.prev_c[0];
            vb m;
            std::memcpy(&m, cells, sizeof m);
            vb bit;
            for (int l = 0; l < W; l++)
                bit[l] = static_cast<signed char>(f.bit);
            m |= __builtin_convertvector(commit, vb) & bit;
            std::memcpy(cells, &m, sizeof m);
        } else if (prev_contiguous) {
            // Adjacent lines of the marks, one column.
            unsigned char *const *lines = marks + s.prev_c[0];
            const int32_t column = s.prev_r[0];
            for (uint32_t lanes = b; lanes != 0; lanes &= lanes - 1)
                lines[__builtin_ctz(lanes)][column] |= f.bit;
        } else {
            mark_lanes(f, marks, b, s.prev_r, s.prev_c);
        }
    }

    const vm sh = shadow_step(s.active, s.has2, s.prev, a, v.dif, v.one, s.calt, s.ico);
    s.active = sh & valid;
    s.prev = a;
    s.has2 = s.has2 | valid;
    s.prev_c = c;
    s.prev_r = vi{} + r;
    s.alive = valid & ~at_end;
    prev_contiguous = contiguous;
    return true;
}

// Two groups of W lanes walk side by side: their steps are independent, so
// one group's arithmetic fills the other's waits.
template <typename T> void walk_rays_of(const RayFamily &f, unsigned char *const *marks, int32_t k0, int32_t lanes)
{
    const T *const *g = rows_of<T>(f);
    Steps v;
    for (int l = 0; l < W; l++)
        v.iota[l] = l;
    v.half = splat(0.5);
    v.one = splat(1.0);
    v.dif = splat(f.dif_alt);
    v.dc = splat(f.dc);
    v.minus_one = splat(-1.0);
    v.ncols_d = splat(static_cast<double>(f.ncols));
    v.dc_fin = vi{} + f.dc_fin;
    const vi k_a = k0 + v.iota;
    const vi k_b = k0 + W + v.iota;
    Lanes a = start<T>(f, k0, lanes < W ? lanes : W);
    Lanes b = start<T>(f, k0 + W, lanes > W ? lanes - W : 0);
    bool a_on = lanes > 0, b_on = lanes > W;
    bool a_contiguous = false, b_contiguous = false; // the lanes' last cells are adjacent in the grid

    double y = f.r0;
    const double ahead_r = kAhead * f.dr + 0.5;
    const int32_t ahead_c = static_cast<int32_t>(kAhead * f.dc);
    constexpr int kLine = 64 / static_cast<int>(sizeof(T)); // cells of a cache line
    while (a_on || b_on) {
        // Positions are kept as sums of steps and taken to trunc(p + 0.5).
        y += f.dr;
        const int32_t r = formulas::cell_of(y);
        if (r < 0 || r > f.nrows - 1)
            return; // every ray leaves the grid here
        const T *row = g[r];
        {
            // The cells a few steps ahead: where rays cross rows they lie a
            // row's length apart, and no hardware prefetcher guesses them.
            const int32_t rp = static_cast<int32_t>(y + ahead_r);
            const int32_t cp = static_cast<int32_t>(a.x[0] + 0.5) + ahead_c;
            if (rp != r && rp >= 0 && rp < f.nrows && cp >= 0 && cp <= f.ncols - kRays)
                for (int l = 0; l < kRays + kLine - 1; l += kLine)
                    __builtin_prefetch(g[rp] + cp + (l < kRays ? l : kRays - 1));
        }
        if (a_on)
            a_on = step(f, marks, v, a, a_contiguous, k_a, r, row);
        if (b_on)
            b_on = step(f, marks, v, b, b_contiguous, k_b, r, row);
    }
}

void walk_rays(const RayFamily &f, unsigned char *const *marks, int32_t k0, int32_t lanes)
{
    if (f.gf != nullptr)
        walk_rays_of<float>(f, marks, k0, lanes);
    else
        walk_rays_of<double>(f, marks, k0, lanes);
}

} // namespace

const Walk walk = {TL_ISA_NAME, kRays, walk_rays};

} // namespace terralume::kernels::TL_ISA
