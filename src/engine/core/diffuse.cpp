#include "diffuse.h"

#include <new>

namespace terralume
{

DiffuseTerms diffuse_terms(const SunPosition &p, double dsizepix)
{
    const double rad = 4 * std::atan(1.0) / 180;
    DiffuseTerms t;
    t.shading = shading_terms(p.elev, p.azim, dsizepix);
    const double h = p.elev * rad;
    t.sun.sin_h = std::sin(h);
    t.sun.inv_sin_h = 1 / t.sun.sin_h;
    t.dh = formulas::esra_diffuse(p.sky.irradiance, p.sky.linke, t.sun.sin_h) * p.sky.diffuse_index;
    t.sun.inv_g0h = 1 / (p.sky.irradiance * t.sun.sin_h);
    t.sun.inv_low = h < 0.1 ? 1 / (0.1 - 0.008 * h) : 0;
    t.sun.ca = std::cos(p.azim * rad);
    t.sun.sa = std::sin(p.azim * rad);
    t.sun.hours = p.weight.hours;
    return t;
}

Grid<double> muneer_slopes(const Grid<double> &dtab, const SlopeRises *rises, double dsizepix)
{
    const int32_t nl = dtab.nb_lig(), nc = dtab.nb_col();
    Grid<double> m(nl, nc);
    if (m.empty())
        throw std::bad_alloc();
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++) {
            double d2, d3;
            cell_rises(dtab, rises, i, j, d2, d3);
            m[i][j] = formulas::muneer_slope(std::atan2(std::sqrt(d2 * d2 + d3 * d3), dsizepix));
        }
    return m;
}

} // namespace terralume
