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
#include "exact_line.h"
#include "formulas.h"

#include <cstddef>
#include <cstring>
#include <limits>

namespace terralume::kernels::TL_ISA
{

namespace
{

using formulas::corners_top;
using formulas::exact_cell;
using formulas::exact_walk;
using formulas::hull_step;
using formulas::line_height;
using formulas::ray_sample;
using formulas::stretch_peak;

constexpr double kInf = std::numeric_limits<double>::infinity();
// Steps of highest points kept: this one, and those not yet on the shadow
// lines.
constexpr int kKept = kNearSteps + 2;
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
    // and the highest points of their stretches ending on the lines of the
    // last kKept steps (step n in zs[n % kKept], its step in ts).
    const int32_t first = k0 - 1;
    const auto nk = static_cast<size_t>(k1 - first);
    double *const work = new double[nk * (5 + 2 * kKept)];
    double *const st[4] = {work, work + nk, work + 2 * nk, work + 3 * nk};
    double *const hz = work + 4 * nk;
    double *zs[kKept], *ts[kKept];
    for (int q = 0; q < kKept; q++) {
        zs[q] = work + (5 + q) * nk;
        ts[q] = work + (5 + kKept + q) * nk;
    }
    for (size_t i = 0; i < nk; i++) {
        st[0][i] = -kInf;
        st[1][i] = 0;
        st[2][i] = -kInf;
        st[3][i] = 0;
        for (int q = 0; q < kKept; q++) {
            zs[q][i] = -kInf;
            ts[q][i] = 0;
        }
    }
    const vd zero = splat(0.0), one = splat(1.0), ninf = splat(-kInf);
    const vd vdcs = splat(f.dcs), vdt = splat(f.dt), vkc = splat(f.kc), vslack = splat(f.slack);
    // Cell (r, c) of the grid walked; -infinity beyond its columns.
    auto at = [&](int32_t r, int32_t c) { return c >= 0 && c <= f.ncols - 1 ? f.g[r][c] : -kInf; };

    for (int32_t n = 0; n < f.nrows; n++) {
        const int32_t r = f.r0 + f.dr * n;
        const double *row = f.g[r];
        const int32_t base = f.base[n];
        const double phi = f.phi[n];
        const double nd = f.n0 + n;
        // The highest points of step m join the shadow lines now.
        const int32_t m = n - 1 - kNearSteps;
        double *z = zs[n % kKept];
        double *t = ts[n % kKept];
        const double *zm = zs[(n + 1) % kKept];
        const double *tm = ts[(n + 1) % kKept];
        // The stretches from the line before: they start pbase + loff
        // columns before the ray's number.
        const formulas::Stretch sh =
            n > 0 ? formulas::stretch_of(f.phi[n - 1], base - f.base[n - 1], f.dcs) : formulas::Stretch{};
        const double *prow = n > 0 ? f.g[r - f.dr] : row;
        const int32_t loff = (n > 0 ? f.base[n - 1] : 0) + (sh.shift < 0 ? -1 : 0);
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
            const double zq = ray_sample(at(r, c), at(r, c + 1), phi, 0.0, -kInf);
            if (n > 0) {
                const int32_t lo = k + loff;
                const int32_t rp = r - f.dr;
                double u, o;
                stretch_peak(sh, at(rp, lo), at(rp, lo + 1), at(rp, lo + 2), at(r, lo), at(r, lo + 1), at(r, lo + 2),
                             zq, f.dcs, 1.0, f.dt, f.kc, 0.0, 1.0, -kInf, z[i], u, o);
                t[i] = (nd - 1) + u;
            } else {
                z[i] = zq;
                t[i] = nd;
            }
            double b;
            const double v = line_height(zm[i], tm[i], nd, f.dt, f.kc, b);
            hz[i] =
                hull_step(m >= 0 && zm[i] > -kInf, v, b, f.d[n], st[0][i], st[1][i], st[2][i], st[3][i], 0.0, -kInf);
        };
        // Rays va .. vb + W - 1 read their cells inside the lines, W at a time.
        const int32_t va = larger(ka, larger(-base, -loff));
        const int32_t vb = smaller(kb - W + 1, smaller(f.ncols - 1 - W - base, f.ncols - 2 - W - loff));
        int32_t k = ka;
        for (; k < va && k <= kb; k++)
            ray(k);
        // Before the first points join the shadow lines, one by one too.
        if (k <= vb && m >= 0) {
            const vd vphi = splat(phi), vdn = splat(f.d[n]), vnd = splat(nd), vnd1 = splat(nd - 1);
            const auto ia = static_cast<size_t>(k - first), ib = static_cast<size_t>(vb - first);
            const double *cells = row + (k + base) - static_cast<std::ptrdiff_t>(ia);
            const double *pc = prow + (k + loff) - static_cast<std::ptrdiff_t>(ia);
            const double *qc = row + (k + loff) - static_cast<std::ptrdiff_t>(ia);
            for (size_t i = ia; i <= ib; i += W) {
                vd a = load(st[0] + i), b = load(st[1] + i), x = load(st[2] + i), y = load(st[3] + i);
                const vd zq = sample<kHoles>(load(cells + i), load(cells + i + 1), vphi, zero, ninf);
                vd zz, uu, oo;
                stretch_peak(sh, load(pc + i), load(pc + i + 1), load(pc + i + 2), load(qc + i), load(qc + i + 1),
                             load(qc + i + 2), zq, vdcs, one, vdt, vkc, zero, one, ninf, zz, uu, oo);
                store(z + i, zz);
                store(t + i, vnd1 + uu);
                const vd zo = load(zm + i);
                vd bo;
                const vd vo = line_height(zo, load(tm + i), vnd, vdt, vkc, bo);
                store(hz + i, hull_step(zo > ninf, vo, bo, vdn, a, b, x, y, zero, ninf));
                store(st[0] + i, a);
                store(st[1] + i, b);
                store(st[2] + i, x);
                store(st[3] + i, y);
            }
            k += static_cast<int32_t>((ib - ia) / W + 1) * W;
        }
        for (; k <= kb; k++)
            ray(k);

        // Cells whose right-hand ray is one of k0 .. k1 - 1, of those tested.
        if (r < f.row_lo || r > f.row_hi)
            continue;
        const int32_t ca = larger(larger(f.lo[n], k0 + base), f.col_lo);
        const int32_t cb = smaller(smaller(f.hi[n], k1 - 1 + base), f.col_hi);
        if (ca > cb)
            continue;
        auto mark = [&](int32_t c) {
            if (f.transposed)
                marks[c][r] |= f.bit;
            else
                marks[r][c] |= f.bit;
        };
        auto cell = [&](int32_t c) {
            const auto i = static_cast<size_t>(c - base - first);
            const double h = row[c];
            if (h > -kInf && exact_cell(at, f, r, n, nd, c, h, hz[i - 1], hz[i], phi, f.top))
                mark(c);
        };
        // Cells vlo .. vhi have both rays inside the grid and read every
        // corner of their first stretches inside the lines, W at a time;
        // none before the first stretches all lie on the grid.
        int32_t vlo = larger(ca, 1), vhi = smaller(cb, f.ncols - 2);
        if (n <= kNearSteps)
            vlo = cb + 1;
        formulas::Stretch near[kNearSteps];
        const double *qrows[kNearSteps], *prows[kNearSteps];
        int32_t wq[kNearSteps], lo[kNearSteps];
        vd vfq[kNearSteps], rise[kNearSteps];
        for (int j = 1; j <= kNearSteps && vlo <= vhi; j++) {
            wq[j - 1] = f.ob[j - 1][n];
            const int32_t wp = f.ob[j][n];
            near[j - 1] = formulas::stretch_of(f.of[j][n], wq[j - 1] - wp, f.dcs);
            lo[j - 1] = wp + (near[j - 1].shift < 0 ? -1 : 0);
            vfq[j - 1] = splat(f.of[j - 1][n]);
            rise[j - 1] = splat(j * f.dt);
            qrows[j - 1] = f.g[r - f.dr * j];
            prows[j - 1] = f.g[r - f.dr * (j + 1)];
            vlo = larger(vlo, larger(-wq[j - 1], -lo[j - 1]));
            vhi = smaller(vhi, smaller(f.ncols - 2 - wq[j - 1], f.ncols - 3 - lo[j - 1]));
        }
        int32_t c = ca;
        for (; c < vlo && c <= cb; c++)
            cell(c);
        for (; c + W - 1 <= vhi; c += W) {
            const auto i = static_cast<size_t>(c - base - first);
            const vd h = load(row + c);
            vm over = h < ninf;
            for (int j = 0; j < kNearSteps; j++) {
                const double *q = qrows[j] + c, *p = prows[j] + c;
                const vd p0 = load(p + lo[j]), p1 = load(p + lo[j] + 1), p2 = load(p + lo[j] + 2);
                const vd q0 = load(q + lo[j]), q1 = load(q + lo[j] + 1), q2 = load(q + lo[j] + 2);
                // The shortcut of own_stretch, for all W cells at once.
                if (f.dt >= 0 && bits(corners_top(p0, p1, p2, q0, q1, q2) + vslack > h + rise[j]) == 0)
                    continue;
                const vd zq = sample<kHoles>(load(q + wq[j]), load(q + wq[j] + 1), vfq[j], zero, ninf);
                vd zz, uu, oo;
                stretch_peak(near[j], p0, p1, p2, q0, q1, q2, zq, vdcs, splat(j + 2.0), vdt, vkc, zero, one, ninf, zz,
                             uu, oo);
                over = over | (oo > h);
                if (bits(over) == kAllLanes)
                    break;
            }
            const vm left = load(hz + i - 1) > h, right = load(hz + i) > h;
            const vm real = h > ninf;
            // Lit by the first stretches: the rays decide where they agree
            // (on the cell's line when phi is 0); the others walk on.
            const vm decided = phi == 0 ? right : left & right;
            const vm doubt = phi == 0 ? (right & ~right) : (left ^ right);
            const uint32_t shaded = bits(real & (over | (decided & ~doubt)));
            for (uint32_t lanes = shaded; lanes != 0; lanes &= lanes - 1)
                mark(c + __builtin_ctz(lanes));
            for (uint32_t lanes = bits(real & ~over & doubt); lanes != 0; lanes &= lanes - 1) {
                const int32_t cc = c + __builtin_ctz(lanes);
                if (exact_walk(at, f, r, n, nd, cc, row[cc], f.top))
                    mark(cc);
            }
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
