// Built once per instruction set with TL_ISA naming it; see kernels.h.
//
// The ray walk follows several neighbouring rays of one family in lockstep,
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
#include "kernels.h"

#include <cstring>

#ifndef TL_ISA
#error "TL_ISA must name the instruction set of this build"
#endif

namespace terralume::kernels::TL_ISA
{

namespace
{

constexpr int W = kLanes;
typedef double vd __attribute__((vector_size(8 * W)));
typedef int64_t vm __attribute__((vector_size(8 * W))); // lane masks, 0 or -1
typedef int32_t vi __attribute__((vector_size(4 * W)));
typedef signed char vb __attribute__((vector_size(W)));

vd splat(double v)
{
    vd r;
    for (int l = 0; l < W; l++)
        r[l] = v;
    return r;
}

vi splat_i(int32_t v)
{
    vi r;
    for (int l = 0; l < W; l++)
        r[l] = v;
    return r;
}

vm widen(vi m) { return __builtin_convertvector(m, vm); }

bool any(vm m)
{
    int64_t r = 0;
    for (int l = 0; l < W; l++)
        r |= m[l];
    return r != 0;
}

bool all(vi m)
{
    int32_t r = -1;
    for (int l = 0; l < W; l++)
        r &= m[l];
    return r != 0;
}

void mark(const RayFamily &f, int32_t r, int32_t c)
{
    unsigned char *cell = f.transposed ? &f.marks[c][r] : &f.marks[r][c];
    // Rays of other threads may mark the same cell, always with 1.
    __atomic_store_n(cell, static_cast<unsigned char>(1), __ATOMIC_RELAXED);
}

void walk_rays(const RayFamily &f, int32_t k0, int32_t lanes)
{
    vi iota;
    for (int l = 0; l < W; l++)
        iota[l] = l;
    const vi k = splat_i(k0) + iota;
    vd x;
    vm alive;
    vd prev = splat(0);
    for (int l = 0; l < W; l++) {
        x[l] = static_cast<double>(k0 + l);
        alive[l] = l < lanes ? -1 : 0;
        if (l < lanes)
            prev[l] = f.g[f.r0][k0 + l]; // the start cell, first of every ray
    }

    // Sweep state of each lane: a shadow is running (active) from a caster of
    // altitude calt, ico steps back; the previous cell is marked once the walk
    // goes on (pending); the ray has two cells or more (has2).
    vm active = {};
    vm pending = {};
    vm has2 = {};
    vd calt = splat(0);
    vd ico = splat(0);
    vi prev_c = k;
    vi prev_r = splat_i(f.r0);

    const vd half = splat(0.5);
    const vd one = splat(1.0);
    const vd dif = splat(f.dif_alt);
    const vd dc = splat(f.dc);
    const vi ncols = splat_i(f.ncols);
    const vi zero_i = splat_i(0);
    const vi dc_fin = splat_i(f.dc_fin);
    double y = f.r0;

    for (;;) {
        // Positions are kept as sums of steps and taken to trunc(p + 0.5).
        y += f.dr;
        const int32_t r = static_cast<int32_t>(y + 0.5);
        if (r < 0 || r > f.nrows - 1)
            return; // every ray of the group leaves the grid here
        x += dc;
        const vi c = __builtin_convertvector(x + half, vi);
        vm valid = alive & widen((c >= zero_i) & (c < ncols));
        if (!any(valid))
            return;
        vm at_end = {};
        if (r == f.r_fin)
            at_end = valid & widen(c - k == dc_fin);
        const double *row = f.g[r];

        if (r == f.r0 && any(valid & widen(c == k))) {
            // A lane back on its start cell (possible on the first step from
            // line or column 0, where -0.5 truncates to 0) skips it.
            for (int l = 0; l < W; l++) {
                if (!valid[l] || c[l] == k[l])
                    continue;
                if (pending[l])
                    mark(f, prev_r[l], prev_c[l]);
                const double a = row[c[l]];
                const bool cand = active[l] || (has2[l] && a < prev[l]);
                const double ico_n = active[l] ? ico[l] + 1.0 : 1.0;
                const double calt_n = active[l] ? calt[l] : prev[l];
                const bool sh = cand && calt_n - ico_n * f.dif_alt > a;
                active[l] = sh ? -1 : 0;
                pending[l] = sh ? -1 : 0;
                ico[l] = ico_n;
                calt[l] = calt_n;
                prev[l] = a;
                has2[l] = -1;
                prev_c[l] = c[l];
                prev_r[l] = r;
            }
            alive = valid & ~at_end;
            continue;
        }

        vd a;
        const int32_t c0 = c[0];
        if (c0 >= 0 && c0 <= f.ncols - W && all(c == splat_i(c0) + iota)) {
            std::memcpy(&a, row + c0, sizeof a);
        } else {
            for (int l = 0; l < W; l++)
                a[l] = valid[l] ? row[c[l]] : 0.0;
        }

        const vm commit = pending & valid;
        if (any(commit))
            for (int l = 0; l < W; l++)
                if (commit[l])
                    mark(f, prev_r[l], prev_c[l]);

        const vm cand = active | (has2 & (a < prev));
        const vd ico_n = active ? ico + one : one;
        const vd calt_n = active ? calt : prev;
        const vm sh = cand & (calt_n - ico_n * dif > a);
        active = sh & valid;
        pending = active;
        ico = ico_n;
        calt = calt_n;
        prev = a;
        has2 = has2 | valid;
        prev_c = c;
        prev_r = splat_i(r);
        alive = valid & ~at_end;
    }
}

void sweep_lines(const SweepGrids &g, const SweepTerms &t, int32_t first, int32_t last)
{
    const int32_t jmax = g.nb_col - 1;
    const vd cc = splat(t.cc);
    const vd cs = splat(t.cs);
    const vd sr = splat(t.sr);
    const vd k255 = splat(255.999);
    const vd zero = splat(0.0);
    const vd att = splat(t.attenuation);
    const vd spots = splat(t.spots);
    for (int32_t i = first; i < last; i++) {
        unsigned char *m = g.tab_cs[i];
        double *res = g.dtab_res[i];
        int32_t j = 0;
        if (i < g.nb_lig - 1) {
            const double *row = g.dtab[i];
            const double *next = g.dtab[i + 1];
            const double *bn = g.bn[i];
            for (; j + W <= jmax; j += W) {
                vd r0, r1, nx, b, acc;
                vb mk;
                std::memcpy(&r0, row + j, sizeof r0);
                std::memcpy(&r1, row + j + 1, sizeof r1);
                std::memcpy(&nx, next + j, sizeof nx);
                std::memcpy(&b, bn + j, sizeof b);
                std::memcpy(&acc, res + j, sizeof acc);
                std::memcpy(&mk, m + j, sizeof mk);
                const vd d2 = nx - r0;
                const vd d3 = r1 - r0;
                const vd rad = (cc * d2 - cs * d3 + sr) / b;
                const vd s = rad < zero ? zero : k255 * rad;
                const vm shaded = __builtin_convertvector(mk == 1, vm);
                const vd v = shaded ? s * att : s;
                acc = v / spots + acc;
                std::memcpy(res + j, &acc, sizeof acc);
                std::memset(m + j, 0, W);
            }
            for (; j < jmax; j++) {
                const double d2 = next[j] - row[j];
                const double d3 = row[j + 1] - row[j];
                const double rad = (t.cc * d2 - t.cs * d3 + t.sr) / bn[j];
                double v = rad < 0 ? 0.0 : 255.999 * rad;
                if (m[j] == 1)
                    v = v * t.attenuation;
                res[j] = v / t.spots + res[j];
                m[j] = 0;
            }
        }
        // The last column and the last line have no shading.
        for (; j < g.nb_col; j++) {
            double v = 0.0;
            if (m[j] == 1)
                v = v * t.attenuation;
            res[j] = v / t.spots + res[j];
            m[j] = 0;
        }
    }
}

} // namespace

const Kernels kernels = {TL_ISA_NAME, walk_rays, sweep_lines};

} // namespace terralume::kernels::TL_ISA
