#include "exact_shadow.h"
#include "exact_line.h"
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
    g.dt = dt;
    g.kc = k;

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
    for (int k = 0; k <= kNearSteps; k++) {
        g.ob[k].resize(n);
        g.of[k].resize(n);
    }
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
        for (int k = 0; k <= kNearSteps; k++)
            formulas::line_back(nd, k + 1, g.dcs, g.ob[k][m], g.of[k][m]);
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
    return steps * (9 + 2 * kOwnSteps + 2 * (kNearSteps + 1)) * 8 +
           rays * (6 + 2 * (kNearSteps + 2)) * 8 * static_cast<uint64_t>(threads);
}

void exact_cast(const Grid<double> &dtab, const ExactGeometry &g0, Grid<unsigned char> &tab_cs)
{
    using formulas::hull_step;
    using formulas::line_height;
    using formulas::ray_sample;
    using formulas::stretch_peak;
    const double inf = std::numeric_limits<double>::infinity();
    double top = -inf, bottom = inf;
    for (int32_t i = 0; i < dtab.nb_lig(); i++)
        for (int32_t j = 0; j < dtab.nb_col(); j++)
            if (dtab.at(i, j) > -inf) {
                top = std::max(top, dtab.at(i, j));
                bottom = std::min(bottom, dtab.at(i, j));
            }
    ExactGeometry gs = g0;
    gs.slack = formulas::skip_slack(bottom, top, g0.nrows, g0.dt);
    const ExactGeometry &g = gs;
    const auto nrays = static_cast<size_t>(g.kmax - g.kmin + 1);
    std::vector<double> vf(nrays, -inf), bf(nrays, 0), vc(nrays, -inf), bc(nrays, 0), hz(nrays);
    // The highest point of each ray's stretch ending on the lines of the
    // last kKept steps, step n in zs[n % kKept] (its surface) and ts (its
    // step from the whole raster's border): those of step n - kNearSteps - 1
    // join the shadow lines at step n.
    constexpr int kKept = kNearSteps + 2;
    std::vector<double> zs[kKept], ts[kKept];
    for (int q = 0; q < kKept; q++) {
        zs[q].assign(nrays, -inf);
        ts[q].assign(nrays, 0);
    }
    // Cell (r, c) of the grid walked; -infinity beyond its columns.
    auto at = [&](int32_t r, int32_t c) {
        if (c < 0 || c > g.ncols - 1)
            return -inf;
        return g.transposed ? dtab.at(c, r) : dtab.at(r, c);
    };
    for (int32_t n = 0; n < g.nrows; n++) {
        const int32_t r = g.r0 + g.dr * n;
        const double nd = static_cast<double>(g.n0) + n;
        const double phi = g.phi[n];
        const int32_t m = n - 1 - kNearSteps;
        std::vector<double> &z = zs[n % kKept];
        std::vector<double> &t = ts[n % kKept];
        const std::vector<double> &zm = zs[(n + 1) % kKept];
        const std::vector<double> &tm = ts[(n + 1) % kKept];
        const formulas::Stretch st =
            n > 0 ? formulas::stretch_of(g.phi[n - 1], g.base[n] - g.base[n - 1], g.dcs) : formulas::Stretch{};
        // The rays on this line: columns -1 .. ncols - 1.
        for (int32_t k = -1 - g.base[n]; k <= g.ncols - 1 - g.base[n]; k++) {
            const auto i = static_cast<size_t>(k - g.kmin);
            const int32_t c = k + g.base[n];
            const double zq = ray_sample(at(r, c), at(r, c + 1), phi, 0.0, -inf);
            if (n > 0) {
                const int32_t lo = k + g.base[n - 1] + (st.shift < 0 ? -1 : 0);
                const int32_t rp = r - g.dr;
                double u, o;
                stretch_peak(st, at(rp, lo), at(rp, lo + 1), at(rp, lo + 2), at(r, lo), at(r, lo + 1), at(r, lo + 2),
                             zq, g.dcs, 1.0, g.dt, g.kc, 0.0, 1.0, -inf, z[i], u, o);
                t[i] = (nd - 1) + u;
            } else {
                z[i] = zq;
                t[i] = nd;
            }
            double b;
            const double v = line_height(zm[i], tm[i], nd, g.dt, g.kc, b);
            hz[i] = hull_step(m >= 0 && zm[i] > -inf, v, b, g.d[n], vf[i], bf[i], vc[i], bc[i], 0.0, -inf);
        }
        for (int32_t c = g.lo[n]; c <= g.hi[n]; c++) {
            const auto i = static_cast<size_t>(c - g.base[n] - g.kmin);
            const double h = at(r, c);
            if (h > -inf && formulas::exact_cell(at, g, r, n, nd, c, h, hz[i - 1], hz[i], phi, top)) {
                if (g.transposed)
                    tab_cs.at(c, r) = 1;
                else
                    tab_cs.at(r, c) = 1;
            }
        }
    }
}

} // namespace terralume
