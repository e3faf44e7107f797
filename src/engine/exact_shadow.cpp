#include "exact_shadow.h"
#include "formulas.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace terralume
{

namespace
{

double snapped(double x)
{
    if (std::fabs(x) < kAxisSnap)
        return 0;
    if (std::fabs(std::fabs(x) - 1) < kAxisSnap)
        return x < 0 ? -1 : 1;
    return x;
}

} // namespace

ExactGeometry exact_geometry(int32_t nb_lig, int32_t nb_col, double elev, double azim, double dsizepix, bool curvature)
{
    const double papi = 4 * std::atan(1.0) * (1.0 / 180);
    // Shadows fall toward (cos azim, -sin azim) in lines and columns.
    const double ca = std::cos(azim * papi);
    const double sa = std::sin(azim * papi);
    ExactGeometry g;
    g.transposed = std::fabs(ca) < std::fabs(sa);
    double along, across;
    if (!g.transposed) {
        g.nrows = nb_lig;
        g.ncols = nb_col;
        along = ca;
        across = -sa;
    } else {
        g.nrows = nb_col;
        g.ncols = nb_lig;
        along = -sa;
        across = ca;
    }
    g.dr = along > 0 ? 1 : -1;
    g.r0 = g.dr > 0 ? 0 : g.nrows - 1;
    g.dcs = snapped(across / std::fabs(along));
    g.step = dsizepix * std::sqrt(1 + g.dcs * g.dcs);
    const double dt = std::tan(elev * papi) * g.step;
    const double k = curvature ? g.step * g.step / (2 * kEarthRadius) : 0;

    const auto n = static_cast<size_t>(g.nrows);
    g.base.resize(n);
    g.phi.resize(n);
    g.d.resize(n);
    g.p.resize(n);
    g.b.resize(n);
    g.lo.resize(n);
    g.hi.resize(n);
    g.jb.resize(n);
    g.psi.resize(n);
    double prev = 0;
    for (int32_t m = 0; m < g.nrows; m++) {
        const double nd = m;
        const double s = nd * g.dcs;
        const double fl = std::floor(s);
        g.base[m] = static_cast<int32_t>(fl);
        g.phi[m] = s - fl;
        g.d[m] = nd * dt + nd * nd * k;
        g.p[m] = nd * dt - nd * nd * k;
        g.b[m] = 2 * nd * k;
        // The line toward the sun of cell c meets the previous line of
        // centres at column c - (s - prev).
        const double delta = s - prev;
        g.lo[m] = m == 0 ? 1 : static_cast<int32_t>(std::max(0.0, std::ceil(delta)));
        g.hi[m] = m == 0 ? 0 : static_cast<int32_t>(std::min<double>(g.ncols - 1, std::floor(g.ncols - 1 + delta)));
        const double back = std::floor(-delta);
        g.jb[m] = static_cast<int32_t>(back);
        g.psi[m] = -delta - back;
        prev = s;
    }
    const int32_t bmax = std::max(g.base.front(), g.base.back());
    const int32_t bmin = std::min(g.base.front(), g.base.back());
    g.kmin = -1 - bmax;
    g.kmax = g.ncols - 1 - bmin;
    return g;
}

uint64_t exact_bytes(int32_t nb_lig, int32_t nb_col, int threads)
{
    const uint64_t steps = static_cast<uint64_t>(std::max(nb_lig, nb_col));
    const uint64_t rays = static_cast<uint64_t>(nb_lig) + static_cast<uint64_t>(nb_col) + 2;
    // Nine numbers a step; seven a ray (state and buffers), per thread.
    return steps * 9 * 8 + rays * 7 * 8 * static_cast<uint64_t>(threads);
}

void exact_cast(const Grid<double> &dtab, const ExactGeometry &g, Grid<unsigned char> &tab_cs)
{
    using formulas::exact_shadowed;
    using formulas::hull_insert;
    using formulas::hull_query;
    using formulas::ray_sample;
    const double inf = std::numeric_limits<double>::infinity();
    const auto nrays = static_cast<size_t>(g.kmax - g.kmin + 1);
    std::vector<double> af(nrays, -inf), bf(nrays, 0), ac(nrays, -inf), bc(nrays, 0), hz(nrays), zs(nrays), zp(nrays);
    // Cell (r, c) of the grid walked; -infinity beyond its columns.
    auto at = [&](int32_t r, int32_t c) {
        if (c < 0 || c > g.ncols - 1)
            return -inf;
        return g.transposed ? dtab.at(c, r) : dtab.at(r, c);
    };
    for (int32_t n = 0; n < g.nrows; n++) {
        const int32_t r = g.r0 + g.dr * n;
        const double nd = n;
        const double phi = g.phi[n];
        // The rays on this line: columns -1 .. ncols - 1. Their horizons are
        // those of the lines before the previous one.
        const int32_t k_lo = -1 - g.base[n];
        const int32_t k_hi = g.ncols - 1 - g.base[n];
        for (int32_t k = k_lo; k <= k_hi; k++) {
            const auto i = static_cast<size_t>(k - g.kmin);
            const int32_t c = k + g.base[n];
            zs[i] = ray_sample(at(r, c), at(r, c + 1), phi, 0.0, -inf);
            hz[i] = hull_query(nd, g.d[n], af[i], bf[i], ac[i], bc[i], 0.0, -inf);
        }
        for (int32_t c = g.lo[n]; c <= g.hi[n]; c++) {
            const auto i = static_cast<size_t>(c - g.base[n] - g.kmin);
            const int32_t j = c + g.jb[n];
            const double own = ray_sample(at(r - g.dr, j), at(r - g.dr, j + 1), g.psi[n], 0.0, -inf);
            if (exact_shadowed(at(r, c), own, g.d[1], hz[i - 1], hz[i], zs[i - 1], zs[i], phi, 1.0, 0.0, -inf)) {
                if (g.transposed)
                    tab_cs.at(c, r) = 1;
                else
                    tab_cs.at(r, c) = 1;
            }
        }
        // The previous line's samples join the rays' shadow lines.
        if (n > 0)
            for (int32_t k = -1 - g.base[n - 1]; k <= g.ncols - 1 - g.base[n - 1]; k++) {
                const auto i = static_cast<size_t>(k - g.kmin);
                hull_insert(zp[i] > -inf, zp[i] + g.p[n - 1], g.b[n - 1], nd + 1, af[i], bf[i], ac[i], bc[i], 0.0,
                            -inf);
            }
        zs.swap(zp);
    }
}

} // namespace terralume
