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

ExactGeometry exact_geometry(int32_t nb_lig, int32_t nb_col, double elev, double azim, double dsizepix, bool curvature,
                             const GridOrigin &origin)
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
    if (origin.lines > 0) {
        const int32_t first = g.transposed ? origin.column : origin.line;
        const int32_t whole = g.transposed ? origin.columns : origin.lines;
        g.n0 = g.dr > 0 ? first : whole - first - g.nrows;
    }
    g.dcs = snapped(across / std::fabs(along));
    g.step = dsizepix * std::sqrt(1 + g.dcs * g.dcs);
    const double dt = std::tan(elev * papi) * g.step;
    const double k = curvature ? g.step * g.step / (2 * kEarthRadius) : 0;
    const double k_curv = k;

    const auto n = static_cast<size_t>(g.nrows);
    g.base.resize(n);
    g.phi.resize(n);
    g.d.resize(n);
    g.p.resize(n);
    g.b.resize(n);
    g.lo.resize(n);
    g.hi.resize(n);
    for (int k = 0; k < kOwnSteps; k++) {
        g.jb[k].resize(n);
        g.psi[k].resize(n);
    }
    for (int k = 0; k <= kOwnSteps; k++)
        g.dk[k] = static_cast<double>(k) * dt + static_cast<double>(k) * static_cast<double>(k) * k_curv;
    // The rays are numbered from the one at column 0 of the first step.
    const double shift = std::floor(static_cast<double>(g.n0) * g.dcs);
    for (int32_t m = 0; m < g.nrows; m++) {
        const double nd = static_cast<double>(g.n0) + m;
        const double s = nd * g.dcs;
        const double fl = std::floor(s);
        g.base[m] = static_cast<int32_t>(fl - shift);
        g.phi[m] = s - fl;
        g.d[m] = nd * dt + nd * nd * k;
        g.p[m] = nd * dt - nd * nd * k;
        g.b[m] = 2 * nd * k;
        // The line toward the sun of cell c meets the previous line of
        // centres at column c - (s - prev).
        const double prev = (nd - 1) * g.dcs;
        const double delta = s - prev;
        g.lo[m] = m == 0 ? 1 : static_cast<int32_t>(std::max(0.0, std::ceil(delta)));
        g.hi[m] = m == 0 ? 0 : static_cast<int32_t>(std::min<double>(g.ncols - 1, std::floor(g.ncols - 1 + delta)));
        for (int k = 0; k < kOwnSteps; k++) {
            const double back = (nd - (k + 1)) * g.dcs - s;
            const double fl = std::floor(back);
            g.jb[k][m] = static_cast<int32_t>(fl);
            g.psi[k][m] = back - fl;
        }
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
    // Numbers of a step; of a ray (state and buffers), per thread.
    return steps * (7 + 2 * kOwnSteps) * 8 + rays * (7 + kOwnSteps) * 8 * static_cast<uint64_t>(threads);
}

void exact_cast(const Grid<double> &dtab, const ExactGeometry &g, Grid<unsigned char> &tab_cs)
{
    using formulas::exact_shadowed;
    using formulas::higher;
    using formulas::hull_step;
    using formulas::ray_sample;
    const double inf = std::numeric_limits<double>::infinity();
    const auto nrays = static_cast<size_t>(g.kmax - g.kmin + 1);
    std::vector<double> vf(nrays, -inf), bf(nrays, 0), vc(nrays, -inf), bc(nrays, 0), hz(nrays);
    // The rays' samples of the last kKept steps, step n in zs[n % kKept]:
    // those of step n - kOwnSteps - 1 join the shadow lines at step n.
    constexpr int kKept = kOwnSteps + 2;
    std::vector<double> zs[kKept];
    for (auto &z : zs)
        z.assign(nrays, -inf);
    // Cell (r, c) of the grid walked; -infinity beyond its columns.
    auto at = [&](int32_t r, int32_t c) {
        if (c < 0 || c > g.ncols - 1)
            return -inf;
        return g.transposed ? dtab.at(c, r) : dtab.at(r, c);
    };
    const double *d = g.dk;
    for (int32_t n = 0; n < g.nrows; n++) {
        const int32_t r = g.r0 + g.dr * n;
        const double nd = static_cast<double>(g.n0) + n;
        const double phi = g.phi[n];
        const int32_t m = n - 1 - kOwnSteps;
        std::vector<double> &z = zs[n % kKept];
        const std::vector<double> &zm = zs[(n + 1) % kKept];
        // The rays on this line: columns -1 .. ncols - 1.
        for (int32_t k = -1 - g.base[n]; k <= g.ncols - 1 - g.base[n]; k++) {
            const auto i = static_cast<size_t>(k - g.kmin);
            const int32_t c = k + g.base[n];
            z[i] = ray_sample(at(r, c), at(r, c + 1), phi, 0.0, -inf);
            const bool valid = m >= 0 && zm[i] > -inf;
            const double b = m >= 0 ? g.b[m] : 0, q = m >= 0 ? g.p[m] + b * nd : 0;
            hz[i] = hull_step(valid, zm[i] + q, b, g.d[n], vf[i], bf[i], vc[i], bc[i], 0.0, -inf);
        }
        for (int32_t c = g.lo[n]; c <= g.hi[n]; c++) {
            const auto i = static_cast<size_t>(c - g.base[n] - g.kmin);
            double near = -inf;
            for (int k = 0; k < kOwnSteps; k++) {
                const int32_t back = r - g.dr * (k + 1);
                const int32_t j = c + g.jb[k][n];
                const double own = n > k ? ray_sample(at(back, j), at(back, j + 1), g.psi[k][n], 0.0, -inf) : -inf;
                near = k == 0 ? own - d[1] : higher(near, own - d[k + 1]);
            }
            if (exact_shadowed(at(r, c), near, hz[i - 1], hz[i], z[i - 1], z[i], phi, 1.0, 0.0, -inf)) {
                if (g.transposed)
                    tab_cs.at(c, r) = 1;
                else
                    tab_cs.at(r, c) = 1;
            }
        }
    }
}

} // namespace terralume
