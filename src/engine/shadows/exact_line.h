// A cell's own line toward the sun in the exact cast-shadow method
// (exact_shadow.h), stretch by stretch, and the test of one cell. Included by
// the straightforward pass and by every instruction set's kernel, after
// formulas.h, so that both perform the same operations in the same order.
#ifndef TERRALUME_SHADOWS_EXACT_LINE_H
#define TERRALUME_SHADOWS_EXACT_LINE_H

#include "formulas.h"
#include "shadow_kernels.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace terralume::formulas
{
namespace
{

// The highest of a stretch's six corners.
template <typename V> [[gnu::always_inline]] inline V corners_top(V p0, V p1, V p2, V q0, V q1, V q2)
{
    return higher(higher(higher(p0, p1), higher(p2, q0)), higher(q1, q2));
}

// The margin of own_stretch's shortcut for a grid whose finite elevations
// lie within [bottom, top] and whose lines toward the sun run `steps` steps
// of rise dt at most: a millionth of the largest magnitude involved.
[[maybe_unused]] double skip_slack(double bottom, double top, int32_t steps, double dt)
{
    const double z = std::fabs(bottom) > std::fabs(top) ? std::fabs(bottom) : std::fabs(top);
    const double m = z + (steps + 1.0) * std::fabs(dt) + 1;
    return std::isfinite(m) ? 1e-6 * m : std::numeric_limits<double>::infinity();
}

// How far the surface rises over the sun line of a cell, at most, on the
// stretch of the cell's line toward the sun from the line of centres j steps
// back (Q, column c + wq + fq) to the one j + 1 steps back (P, c + wp + fp).
// at(r, c) is the elevation of the grid walked, -infinity beyond its columns;
// r is the cell's line, dr a step away from the sun, n the cell's step (P
// lies off the grid when j = n: the stretch is Q alone).
//
// When the sun line at Q's distance stands more than `slack` above every
// corner, nothing on the stretch can rise above it: -infinity, untested.
// slack (skip_slack) exceeds the rounding of every term by far, so that the
// test gives what the full one would, whichever cells take it.
template <typename At>
double own_stretch(const At &at, int32_t r, int32_t dr, int32_t n, int32_t c, int32_t j, int32_t wq, double fq,
                   int32_t wp, double fp, double dcs, double dt, double kc, double h, double slack)
{
    constexpr double ninf = -std::numeric_limits<double>::infinity();
    const int32_t rq = r - dr * j;
    const int32_t cq = c + wq;
    const double zq = ray_sample(at(rq, cq), at(rq, cq + 1), fq, 0.0, ninf);
    const double jj = j + 1.0;
    if (j >= n) {
        const double tau = jj - 1.0;
        return zq - (tau * dt + tau * tau * kc);
    }
    const Stretch s = stretch_of(fp, wq - wp, dcs);
    const int32_t rp = rq - dr;
    const int32_t lo = c + wp + (s.shift < 0 ? -1 : 0);
    const double p0 = at(rp, lo), p1 = at(rp, lo + 1), p2 = at(rp, lo + 2);
    const double q0 = at(rq, lo), q1 = at(rq, lo + 1), q2 = at(rq, lo + 2);
    if (dt >= 0 && corners_top(p0, p1, p2, q0, q1, q2) + slack <= h + j * dt)
        return ninf;
    double z, u, o;
    stretch_peak(s, p0, p1, p2, q0, q1, q2, zq, dcs, jj, dt, kc, 0.0, 1.0, ninf, z, u, o);
    return o;
}

// Whether the surface rises above the sun line of a cell of elevation h,
// column c of the line of step n (nd from the whole raster's border), on its
// line toward the sun beyond the first kNearSteps stretches: walked stretch
// by stretch until it leaves the grid or its sun line stands above top, the
// highest cell.
template <typename At, typename G>
bool exact_walk(const At &at, const G &g, int32_t r, int32_t n, double nd, int32_t c, double h, double top)
{
    int32_t wq = 0, wp = 0;
    double fq = 0, fp = 0;
    if (kernels::kNearSteps < n)
        line_back(nd, kernels::kNearSteps + 1, g.dcs, wq, fq);
    for (int32_t j = kernels::kNearSteps + 1; j <= n; j++) {
        if (h + (j - 1) * g.dt > top)
            return false;
        // Q beyond the grid's columns: the line has left it for good.
        if (c + wq < 0 || c + wq > g.ncols - 1 || (c + wq == g.ncols - 1 && fq > 0))
            return false;
        line_back(nd, j + 1, g.dcs, wp, fp);
        if (own_stretch(at, r, g.dr, n, c, j, wq, fq, wp, fp, g.dcs, g.dt, g.kc, h, g.slack) > h)
            return true;
        wq = wp;
        fq = fp;
    }
    return false;
}

// Whether the surface rises above the sun line of a cell of elevation h,
// column c of the line of step n, on the first kNearSteps stretches of its
// line toward the sun. g holds the geometry (ExactGeometry or
// kernels::ExactFamily).
template <typename At, typename G> bool exact_near(const At &at, const G &g, int32_t r, int32_t n, int32_t c, double h)
{
    const int32_t steps = n < kernels::kNearSteps ? n : kernels::kNearSteps;
    for (int32_t j = 1; j <= steps; j++)
        if (own_stretch(at, r, g.dr, n, c, j, g.ob[j - 1][n], g.of[j - 1][n], g.ob[j][n], g.of[j][n], g.dcs, g.dt, g.kc,
                        h, g.slack) > h)
            return true;
    return false;
}

// Whether a cell that exact_near leaves lit lies in cast shadow beyond: nd
// is its step from the whole raster's border, hl and hr the horizons of the
// rays on either side, the cell standing a fraction phi of a cell from the
// right one toward the left one; top bounds the grid's elevations. The rays
// decide on the cell's line when phi is 0; else, when both lie inside the
// grid and agree, their verdict. Otherwise the cell's own line is walked on,
// stretch by stretch, until it leaves the grid or its sun line stands above
// the highest cell.
template <typename At, typename G>
bool exact_beyond(const At &at, const G &g, int32_t r, int32_t n, double nd, int32_t c, double h, double hl, double hr,
                  double phi, double top)
{
    if (phi == 0)
        return hr > h;
    if (c >= 1 && c <= g.ncols - 2) {
        const bool left = hl > h, right = hr > h;
        if (left == right)
            return left;
    }
    return exact_walk(at, g, r, n, nd, c, h, top);
}

// Whether a cell of elevation h > -infinity lies in cast shadow
// (exact_near, then exact_beyond).
template <typename At, typename G>
bool exact_cell(const At &at, const G &g, int32_t r, int32_t n, double nd, int32_t c, double h, double hl, double hr,
                double phi, double top)
{
    return exact_near(at, g, r, n, c, h) || exact_beyond(at, g, r, n, nd, c, h, hl, hr, phi, top);
}

} // namespace
} // namespace terralume::formulas

#endif
