// The exact cast-shadow model by brute force, for tests and studies on small
// grids: for every cell, the straight line from its centre toward the sun,
// sampled every `spacing` cells from where it meets the next line of cell
// centres along its major axis, against the bilinear surface through the cell
// centres (lowered by d^2 / (2 R) at d metres with the Earth's curvature). A
// cell is in cast shadow when the surface rises strictly above the line
// anywhere before the line leaves the hull of the cell centres. Cells without
// data (-infinity) block nothing and are never marked. Slow: a few thousand
// samples per cell.
#ifndef TERRALUME_TOOLS_EXACT_REFERENCE_H
#define TERRALUME_TOOLS_EXACT_REFERENCE_H

#include "grid.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace terralume::tools
{

// The bilinear surface at line y, column x (inside the hull of the centres);
// -infinity where a cell without data weighs in.
inline double bilinear(const Grid<double> &dem, double y, double x)
{
    const int32_t i = std::min(static_cast<int32_t>(y), std::max(dem.nb_lig() - 2, 0));
    const int32_t j = std::min(static_cast<int32_t>(x), std::max(dem.nb_col() - 2, 0));
    const double fy = y - i;
    const double fx = x - j;
    const double inf = std::numeric_limits<double>::infinity();
    double z = 0;
    for (int a = 0; a < 2; a++)
        for (int b = 0; b < 2; b++) {
            const double w = (a ? fy : 1 - fy) * (b ? fx : 1 - fx);
            if (w == 0)
                continue;
            const double h = dem[i + a][j + b];
            if (h == -inf)
                return -inf;
            z += w * h;
        }
    return z;
}

inline Grid<unsigned char> exact_reference(const Grid<double> &dem, double elev, double azim, double px, bool curvature,
                                           double spacing = 0.05)
{
    const double deg = 4 * std::atan(1.0) / 180;
    auto snap = [](double v) { return std::fabs(v) < 1e-12 ? 0.0 : v; };
    const double ur = snap(-std::cos(azim * deg)); // toward the sun: north is line 0
    const double uc = snap(std::sin(azim * deg));
    const double rise = std::tan(elev * deg);
    const double t0 = 1 / std::max(std::fabs(ur), std::fabs(uc));
    const double two_r = curvature ? 2 * 6371000.0 : std::numeric_limits<double>::infinity();
    const int32_t nl = dem.nb_lig();
    const int32_t nc = dem.nb_col();
    double top = -std::numeric_limits<double>::infinity();
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++)
            top = std::max(top, dem[i][j]);
    Grid<unsigned char> marks(nl, nc);
#pragma omp parallel for schedule(dynamic, 1)
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++) {
            const double h = dem[i][j];
            if (h == -std::numeric_limits<double>::infinity())
                continue;
            // Whether the surface stands above the line at t (cells along
            // it); false beyond the hull of the centres.
            auto above = [&](double t) {
                const double y = i + t * ur;
                const double x = j + t * uc;
                const double d = t * px;
                if (y < 0 || y > nl - 1 || x < 0 || x > nc - 1)
                    return false;
                return bilinear(dem, y, x) - d * d / two_r > h + d * rise;
            };
            for (int32_t k = 0;; k++) {
                const double t = t0 + k * spacing;
                // Besides the samples, every crossing of a line or a column of
                // centres since the last one, where the surface has its kinks.
                bool hit = false;
                if (k > 0)
                    for (const auto &[start, speed] :
                         {std::pair{i + (t - spacing) * ur, ur}, std::pair{j + (t - spacing) * uc, uc}}) {
                        if (speed == 0)
                            continue;
                        const double end = start + spacing * speed;
                        for (double c = std::ceil(std::min(start, end)); c <= std::max(start, end) && !hit; c++)
                            hit = above(t - spacing + (c - start) / speed);
                    }
                const double y = i + t * ur;
                const double x = j + t * uc;
                if (!hit && (y < 0 || y > nl - 1 || x < 0 || x > nc - 1 || h + t * px * rise > top))
                    break;
                if (hit || above(t)) {
                    marks[i][j] = 1;
                    break;
                }
            }
        }
    return marks;
}

// How a shadow mask agrees with the truth, over one or more masks added:
// cells in shadow in both, in either, in ours and in the truth; IoU is both
// over either, precision both over ours (1 when there is none).
struct MaskScore {
    long both = 0, either = 0, ours = 0, truth = 0;
    void add(const Grid<unsigned char> &m, const Grid<unsigned char> &t)
    {
        for (int32_t i = 0; i < m.nb_lig(); i++)
            for (int32_t j = 0; j < m.nb_col(); j++) {
                both += m[i][j] && t[i][j];
                either += m[i][j] || t[i][j];
                ours += m[i][j];
                truth += t[i][j];
            }
    }
    double iou() const { return either == 0 ? 1 : static_cast<double>(both) / either; }
    double precision() const { return ours == 0 ? 1 : static_cast<double>(both) / ours; }
};

} // namespace terralume::tools

#endif
