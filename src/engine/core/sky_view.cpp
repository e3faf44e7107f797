#include "sky_view.h"
#include "formulas.h"
#include "parallel.h"
#include "shading.h"

#include <cmath>
#include <new>

namespace terralume
{

namespace
{

const double kPi = 4 * std::atan(1.0);

// The integrand of the sky-view factor in one azimuth, for a horizon of
// elevation e (zenith angle H = pi/2 - e: sin H = cos e, cos H = sin e); a
// is sin S cos(phi - A), the normal's part along the azimuth.
double seen(const Normal &n, double a, double e)
{
    const double c = std::cos(e), s = std::sin(e);
    return n.up * (c * c) + a * ((kPi / 2 - e) - c * s);
}

} // namespace

Normal normal_of(double d2, double d3, double dsizepix)
{
    const double bn = formulas::normal_length(d2, d3, dsizepix * dsizepix);
    return {d2 / bn, -d3 / bn, dsizepix / bn};
}

double bare_sky_view(const Normal &n) { return (1 + n.up) / 2; }

double sky_view_factor(const Normal &n, const double *elevation, int count)
{
    // Over the integral of the bare plane, whose horizon in each azimuth is
    // the higher of the level and its own plane, the light hidden by the
    // terrain standing above that.
    double hidden = 0;
    for (int k = 0; k < count; k++) {
        const double phi = k * (2 * kPi / count);
        const double a = n.north * std::cos(phi) + n.east * std::sin(phi);
        // The plane's elevation in this azimuth: tan e = -a / up.
        const double plane = std::atan2(-a, n.up);
        const double bare = plane > 0 ? plane : 0;
        if (elevation[k] > bare)
            hidden += seen(n, a, bare) - seen(n, a, elevation[k]);
    }
    const double v = bare_sky_view(n) - hidden / count;
    return v < 0 ? 0 : v > 1 ? 1 : v;
}

std::vector<Normal> cell_normals(const Grid<double> &dtab, double dsizepix, Slope slope)
{
    const int32_t nl = dtab.nb_lig(), nc = dtab.nb_col();
    std::vector<Normal> normals(static_cast<size_t>(nl) * static_cast<size_t>(nc), Normal{0, 0, 1});
    SlopeRises rises;
    if (slope == Slope::Horn)
        rises = horn_rises(dtab);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++) {
            double d2, d3;
            if (slope == Slope::Horn) {
                d2 = rises.d2[i][j];
                d3 = rises.d3[i][j];
            } else if (i + 1 < nl && j + 1 < nc) {
                d2 = dtab[i + 1][j] - dtab[i][j];
                d3 = dtab[i][j + 1] - dtab[i][j];
            } else {
                continue;
            }
            if (std::isfinite(d2) && std::isfinite(d3))
                normals[static_cast<size_t>(i) * static_cast<size_t>(nc) + static_cast<size_t>(j)] =
                    normal_of(d2, d3, dsizepix);
        }
    return normals;
}

Grid<double> sky_view(const Grid<double> &dtab, double dsizepix, Slope slope, const std::vector<Grid<float>> &horizons,
                      bool bare)
{
    const int32_t nl = dtab.nb_lig(), nc = dtab.nb_col();
    Grid<double> v(nl, nc);
    if (v.empty())
        throw std::bad_alloc();
    const std::vector<Normal> normals = cell_normals(dtab, dsizepix, slope);
    const int count = static_cast<int>(horizons.size());
    const double rad = kPi / 180;
#pragma omp parallel for schedule(static) if (worth_threads(nl, nc))
    for (int32_t i = 0; i < nl; i++) {
        std::vector<double> e(static_cast<size_t>(count));
        for (int32_t j = 0; j < nc; j++) {
            const Normal &n = normals[static_cast<size_t>(i) * static_cast<size_t>(nc) + static_cast<size_t>(j)];
            if (!std::isfinite(dtab[i][j])) {
                v[i][j] = std::nan("");
                continue;
            }
            if (bare) {
                v[i][j] = bare_sky_view(n);
                continue;
            }
            for (int k = 0; k < count; k++)
                e[static_cast<size_t>(k)] = horizons[static_cast<size_t>(k)][i][j] * rad;
            v[i][j] = sky_view_factor(n, e.data(), count);
        }
    }
    return v;
}

} // namespace terralume
