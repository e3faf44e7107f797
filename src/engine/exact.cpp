// The exact cast-shadow method of the fast engine, built once per instruction
// set with TL_ISA naming it; see kernels.h and exact_shadow.h.
//
// Neighbouring rays go one vector lane each. All rays of a family stand at
// the same fraction of a cell on a line of the grid walked, so at every step
// the lanes read adjacent cells and the cells they bracket lie side by side:
// the whole step is straight vector loads. Rays and cells near the edges of
// the line go one at a time through the same formulas.
#include "kernels.h"
#include "vectors.h"
// After the vectors, so that its templates take them.
#include "formulas.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace terralume::kernels::TL_ISA
{

namespace
{

using formulas::exact_shadowed;
using formulas::hull_insert;
using formulas::hull_query;
using formulas::ray_sample;

constexpr double kInf = std::numeric_limits<double>::infinity();

vd load(const double *p)
{
    vd v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store(double *p, vd v) { std::memcpy(p, &v, sizeof v); }

// The state of rays first .. first + nk - 1: their two shadow lines, their
// horizons and their samples on this line and the one before.
struct Rays {
    explicit Rays(size_t nk) : af(nk, -kInf), bf(nk, 0.0), ac(nk, -kInf), bc(nk, 0.0), hz(nk), zs(nk), zp(nk) {}
    std::vector<double> af, bf, ac, bc, hz, zs, zp;
};

// Samples of rays ka .. kb (index i = k - first) on line `row`, and their
// horizons at step n.
void sample_and_query(const ExactFamily &f, Rays &s, const double *row, int32_t n, int32_t first, int32_t ka,
                      int32_t kb)
{
    const int32_t base = f.base[n];
    const double phi = f.phi[n];
    const double nd = n;
    const vd zero = splat(0.0), ninf = splat(-kInf), vphi = splat(phi), vnd = splat(nd), vdn = splat(f.d[n]);
    for (int32_t k = ka; k <= kb;) {
        const int32_t c = k + base;
        const auto i = static_cast<size_t>(k - first);
        if (c >= 0 && c + W <= f.ncols - 1 && k + W - 1 <= kb) {
            vd a = load(&s.af[i]), b = load(&s.bf[i]), x = load(&s.ac[i]), y = load(&s.bc[i]);
            store(&s.zs[i], ray_sample(load(row + c), load(row + c + 1), vphi, zero, ninf));
            store(&s.hz[i], hull_query(vnd, vdn, a, b, x, y, zero, ninf));
            store(&s.af[i], a);
            store(&s.bf[i], b);
            store(&s.ac[i], x);
            store(&s.bc[i], y);
            k += W;
        } else {
            const double a = c >= 0 ? row[c] : -kInf;
            const double b = c + 1 <= f.ncols - 1 ? row[c + 1] : -kInf;
            s.zs[i] = ray_sample(a, b, phi, 0.0, -kInf);
            s.hz[i] = hull_query(nd, f.d[n], s.af[i], s.bf[i], s.ac[i], s.bc[i], 0.0, -kInf);
            k++;
        }
    }
}

// The samples of step m (in zp) of rays ka .. kb join their shadow lines,
// the next query being at step `next`.
void insert(const ExactFamily &f, Rays &s, int32_t m, int32_t next, int32_t first, int32_t ka, int32_t kb)
{
    const double pm = f.p[m], bm = f.b[m], nx = next;
    const vd zero = splat(0.0), ninf = splat(-kInf), vp = splat(pm), vb_m = splat(bm), vnext = splat(nx);
    int32_t k = ka;
    for (; k + W - 1 <= kb; k += W) {
        const auto i = static_cast<size_t>(k - first);
        vd a = load(&s.af[i]), b = load(&s.bf[i]), x = load(&s.ac[i]), y = load(&s.bc[i]);
        const vd z = load(&s.zp[i]);
        hull_insert(z > ninf, z + vp, vb_m, vnext, a, b, x, y, zero, ninf);
        store(&s.af[i], a);
        store(&s.bf[i], b);
        store(&s.ac[i], x);
        store(&s.bc[i], y);
    }
    for (; k <= kb; k++) {
        const auto i = static_cast<size_t>(k - first);
        hull_insert(s.zp[i] > -kInf, s.zp[i] + pm, bm, nx, s.af[i], s.bf[i], s.ac[i], s.bc[i], 0.0, -kInf);
    }
}

void exact_rays(const ExactFamily &f, unsigned char *const *marks, int32_t k0, int32_t k1)
{
    const int32_t first = k0 - 1;
    Rays s(static_cast<size_t>(k1 - first));
    const vd zero = splat(0.0), one = splat(1.0), ninf = splat(-kInf), vd1 = splat(f.d1);
    int32_t pa = 0, pb = -1; // rays sampled at the step before
    for (int32_t n = 0; n < f.nrows; n++) {
        const int32_t r = f.r0 + f.dr * n;
        const double *row = f.g[r];
        const int32_t base = f.base[n];
        // Rays standing on this line: columns -1 .. ncols - 1.
        const int32_t ka = std::max(first, -1 - base);
        const int32_t kb = std::min(k1 - 1, f.ncols - 1 - base);
        sample_and_query(f, s, row, n, first, ka, kb);

        // Cells whose right-hand ray is one of k0 .. k1 - 1.
        const int32_t ca = std::max(f.lo[n], k0 + base);
        const int32_t cb = std::min(f.hi[n], k1 - 1 + base);
        auto mark = [&](int32_t c) {
            if (f.transposed)
                marks[c][r] = 1;
            else
                marks[r][c] = 1;
        };
        if (ca <= cb) {
            const double *prev = f.g[r - f.dr];
            const int32_t jb = f.jb[n];
            const double phi = f.phi[n], psi = f.psi[n];
            const vd vphi = splat(phi), vpsi = splat(psi);
            int32_t c = ca;
            for (; c + W - 1 <= cb && c + jb + W <= f.ncols - 1; c += W) {
                const auto i = static_cast<size_t>(c - base - first);
                const vd own = ray_sample(load(prev + c + jb), load(prev + c + jb + 1), vpsi, zero, ninf);
                const vm sh = exact_shadowed(load(row + c), own, vd1, load(&s.hz[i - 1]), load(&s.hz[i]),
                                             load(&s.zs[i - 1]), load(&s.zs[i]), vphi, one, zero, ninf);
                for (uint32_t lanes = bits(sh); lanes != 0; lanes &= lanes - 1)
                    mark(c + __builtin_ctz(lanes));
            }
            for (; c <= cb; c++) {
                const auto i = static_cast<size_t>(c - base - first);
                const int32_t j = c + jb;
                const double b = j + 1 <= f.ncols - 1 ? prev[j + 1] : -kInf;
                const double own = ray_sample(prev[j], b, psi, 0.0, -kInf);
                if (exact_shadowed(row[c], own, f.d1, s.hz[i - 1], s.hz[i], s.zs[i - 1], s.zs[i], phi, 1.0, 0.0, -kInf))
                    mark(c);
            }
        }
        // The previous line's samples join the rays' shadow lines.
        if (n > 0)
            insert(f, s, n - 1, n + 1, first, pa, pb);
        s.zs.swap(s.zp);
        pa = ka;
        pb = kb;
    }
}

} // namespace

const Exact exact = {TL_ISA_NAME, exact_rays};

} // namespace terralume::kernels::TL_ISA
