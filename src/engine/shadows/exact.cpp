// The exact cast-shadow method of the fast engine, built once per instruction
// set with TL_ISA naming it; see shadow_kernels.h and exact_shadow.h.
//
// Neighbouring rays go one vector lane each. All rays of a family stand at
// the same fraction of a cell on a line of the grid walked, so at every step
// the lanes read adjacent cells and the cells they bracket lie side by side:
// the whole step is straight vector loads. Rays and cells near the edges of
// the line go one at a time through the same formulas, in the same order as
// the straightforward pass.
#include "shadow_kernels.h"
#include "vectors.h"
// After the vectors, so that its templates take them.
#include "formulas.h"

#include <cstddef>
#include <cstring>
#include <limits>

namespace terralume::kernels::TL_ISA
{

namespace
{

using formulas::exact_shadowed;
using formulas::higher;
using formulas::hull_step;
using formulas::ray_sample;

constexpr double kInf = std::numeric_limits<double>::infinity();
// Steps of samples kept: this one, and those not yet on the shadow lines.
constexpr int kKept = kOwnSteps + 2;
// Lines read ahead of the step.
constexpr int32_t kAhead = 2;

vd load(const double *p)
{
    vd v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store(double *p, vd v) { std::memcpy(p, &v, sizeof v); }

int32_t larger(int32_t a, int32_t b) { return a > b ? a : b; }
int32_t smaller(int32_t a, int32_t b) { return a < b ? a : b; }

// The surface a fraction phi of a cell from a toward b. Without cells
// lacking data, the same value without the tests.
template <bool kHoles, typename V> V sample(V a, V b, V phi, V zero, V ninf)
{
    if (kHoles)
        return ray_sample(a, b, phi, zero, ninf);
    return a + phi * (b - a);
}

template <bool kHoles> void exact_rays(const ExactFamily &f, unsigned char *const *marks, int32_t k0, int32_t k1)
{
    // Rays k0 - 1 .. k1 - 1, index k - first: their shadow lines, horizons
    // and the samples of the last kKept steps (step n in zs[n % kKept]).
    const int32_t first = k0 - 1;
    const auto nk = static_cast<size_t>(k1 - first);
    double *const work = new double[nk * (5 + kKept)];
    double *const st[4] = {work, work + nk, work + 2 * nk, work + 3 * nk};
    double *const hz = work + 4 * nk;
    double *zs[kKept];
    for (int q = 0; q < kKept; q++)
        zs[q] = work + (5 + q) * nk;
    for (size_t i = 0; i < nk; i++) {
        st[0][i] = -kInf;
        st[1][i] = 0;
        st[2][i] = -kInf;
        st[3][i] = 0;
        for (int q = 0; q < kKept; q++)
            zs[q][i] = -kInf;
    }
    const vd zero = splat(0.0), one = splat(1.0), ninf = splat(-kInf);
    const double *const dk = f.dk;

    for (int32_t n = 0; n < f.nrows; n++) {
        const int32_t r = f.r0 + f.dr * n;
        const double *row = f.g[r];
        const int32_t base = f.base[n];
        const double phi = f.phi[n];
        const double nd = f.n0 + n;
        // The samples of step m join the shadow lines now.
        const int32_t m = n - 1 - kOwnSteps;
        const double bm = m >= 0 ? f.b[m] : 0, qm = m >= 0 ? f.p[m] + bm * nd : 0;
        double *z = zs[n % kKept];
        const double *zm = zs[(n + 1) % kKept];
        // Rays standing on this line: columns -1 .. ncols - 1.
        const int32_t ka = larger(first, -1 - base);
        const int32_t kb = smaller(k1 - 1, f.ncols - 1 - base);
        // The band's cells of a line a few steps ahead, on their way to the
        // cache while this one is done.
        if (n + kAhead < f.nrows && ka <= kb) {
            const double *ahead = f.g[r + f.dr * kAhead];
            const int32_t lo = larger(ka + base - kAhead, 0), hi = smaller(kb + base + 1 + kAhead, f.ncols - 1);
            for (int32_t c = lo; c <= hi; c += 8)
                __builtin_prefetch(ahead + c);
            __builtin_prefetch(ahead + hi);
        }
        auto ray = [&](int32_t k) {
            const int32_t c = k + base;
            const auto i = static_cast<size_t>(k - first);
            const double a = c >= 0 ? row[c] : -kInf;
            const double b = c + 1 <= f.ncols - 1 ? row[c + 1] : -kInf;
            z[i] = ray_sample(a, b, phi, 0.0, -kInf);
            hz[i] = hull_step(m >= 0 && zm[i] > -kInf, zm[i] + qm, bm, f.d[n], st[0][i], st[1][i], st[2][i], st[3][i],
                              0.0, -kInf);
        };
        // Rays va .. vb + W - 1 read their cells inside the line, W at a time.
        const int32_t va = larger(ka, -base);
        const int32_t vb = smaller(kb - W + 1, f.ncols - 1 - W - base);
        int32_t k = ka;
        for (; k < va && k <= kb; k++)
            ray(k);
        // Before the first samples join the shadow lines, one by one too.
        if (k <= vb && m >= 0) {
            const vd vphi = splat(phi), vdn = splat(f.d[n]), vq = splat(qm), vb_m = splat(bm);
            const auto ia = static_cast<size_t>(k - first), ib = static_cast<size_t>(vb - first);
            const double *cells = row + (k + base) - static_cast<std::ptrdiff_t>(ia);
            for (size_t i = ia; i <= ib; i += W) {
                vd a = load(st[0] + i), b = load(st[1] + i), x = load(st[2] + i), y = load(st[3] + i);
                const vd zo = load(zm + i);
                store(z + i, sample<kHoles>(load(cells + i), load(cells + i + 1), vphi, zero, ninf));
                store(hz + i, hull_step(zo > ninf, zo + vq, vb_m, vdn, a, b, x, y, zero, ninf));
                store(st[0] + i, a);
                store(st[1] + i, b);
                store(st[2] + i, x);
                store(st[3] + i, y);
            }
            k += static_cast<int32_t>((ib - ia) / W + 1) * W;
        }
        for (; k <= kb; k++)
            ray(k);

        // Cells whose right-hand ray is one of k0 .. k1 - 1.
        const int32_t ca = larger(f.lo[n], k0 + base);
        const int32_t cb = smaller(f.hi[n], k1 - 1 + base);
        if (ca > cb)
            continue;
        auto mark = [&](int32_t c) {
            if (f.transposed)
                marks[c][r] |= f.bit;
            else
                marks[r][c] |= f.bit;
        };
        const double *back[kOwnSteps];
        int32_t jb[kOwnSteps];
        double psi[kOwnSteps];
        vd vpsi[kOwnSteps];
        // Cells from vlo to vhi read all their own samples inside the
        // lines; the others go one by one.
        int32_t vlo = ca, vhi = cb;
        for (int k = 0; k < kOwnSteps; k++) {
            // In the first steps, a line the one-by-one cells do not read.
            back[k] = f.g[n > k ? r - f.dr * (k + 1) : r];
            jb[k] = f.jb[k][n];
            psi[k] = f.psi[k][n];
            vpsi[k] = splat(psi[k]);
            vlo = larger(vlo, -jb[k]);
            vhi = smaller(vhi, f.ncols - 2 - jb[k]);
        }
        // The first steps, before all of the own lines, go one by one.
        if (n < kOwnSteps)
            vlo = cb + 1;
        auto cell = [&](int32_t c) {
            const auto i = static_cast<size_t>(c - base - first);
            double near = -kInf;
            for (int k = 0; k < kOwnSteps; k++) {
                double own = -kInf;
                if (n > k) {
                    const int32_t j = c + jb[k];
                    const double a = j >= 0 && j <= f.ncols - 1 ? back[k][j] : -kInf;
                    const double b = j + 1 >= 0 && j + 1 <= f.ncols - 1 ? back[k][j + 1] : -kInf;
                    own = ray_sample(a, b, psi[k], 0.0, -kInf);
                }
                near = k == 0 ? own - dk[1] : higher(near, own - dk[k + 1]);
            }
            if (exact_shadowed(row[c], near, hz[i - 1], hz[i], z[i - 1], z[i], phi, 1.0, 0.0, -kInf))
                mark(c);
        };
        const vd vphi = splat(phi), vphi_r = one - vphi;
        int32_t c = ca;
        for (; c < vlo && c <= cb; c++)
            cell(c);
        for (; c + W - 1 <= vhi; c += W) {
            const auto i = static_cast<size_t>(c - base - first);
            vd near = ninf;
            for (int k = 0; k < kOwnSteps; k++) {
                const vd own =
                    sample<kHoles>(load(back[k] + c + jb[k]), load(back[k] + c + jb[k] + 1), vpsi[k], zero, ninf);
                near = k == 0 ? own - dk[1] : higher(near, own - dk[k + 1]);
            }
            const vd h = load(row + c), hl = load(hz + i - 1), hr = load(hz + i);
            vm sh;
            // Without cells lacking data and with both horizons, the same
            // test without the others' terms.
            if (!kHoles && bits((hl > ninf) & (hr > ninf)) == kAllLanes)
                sh = (near > h) | (vphi * hl + vphi_r * hr > h);
            else
                sh = exact_shadowed(h, near, hl, hr, load(z + i - 1), load(z + i), vphi, one, zero, ninf);
            for (uint32_t lanes = bits(sh); lanes != 0; lanes &= lanes - 1)
                mark(c + __builtin_ctz(lanes));
        }
        for (; c <= cb; c++)
            cell(c);
    }
    delete[] work;
}

void exact_any(const ExactFamily &f, unsigned char *const *marks, int32_t k0, int32_t k1)
{
    if (f.holes)
        exact_rays<true>(f, marks, k0, k1);
    else
        exact_rays<false>(f, marks, k0, k1);
}

} // namespace

const Exact exact = {TL_ISA_NAME, exact_any};

} // namespace terralume::kernels::TL_ISA
