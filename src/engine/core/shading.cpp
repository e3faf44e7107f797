#include "shading.h"
#include "formulas.h"
#include "parallel.h"

#include <cmath>

namespace terralume
{

ShadingTerms shading_terms(double elev, double azim, double dsizepix)
{
    const double pi = 4 * std::atan(1.0);
    const double papi = pi * (1.0 / 180);
    const double e = elev * papi;
    const double a = azim * papi;
    ShadingTerms t;
    t.cc = std::cos(e) * std::cos(a);
    t.cs = std::cos(e) * std::sin(a);
    t.sr = std::sin(e) * dsizepix;
    t.r2 = dsizepix * dsizepix;
    return t;
}

void shade_lines(const Grid<double> &dtab, const ShadingTerms &t, int32_t first, int32_t last, Grid<double> &dtab_s)
{
    const int32_t jmax = dtab.nb_col() - 1;
    for (int32_t i = first; i < last; i++) {
        const double *row = dtab[i];
        const double *next = dtab[i + 1];
        double *out = dtab_s[i];
        for (int32_t j = 0; j < jmax; j++) {
            const double d2 = next[j] - row[j];
            const double d3 = row[j + 1] - row[j];
            const double bn = formulas::normal_length(d2, d3, t.r2);
            out[j] = formulas::shading(formulas::incidence(t.cc, t.cs, t.sr, d2, d3, bn), 0.0);
        }
    }
}

void shadow(const Grid<double> &dtab, double elev, double azim, double dsizepix, Grid<double> &dtab_s)
{
    const ShadingTerms t = shading_terms(elev, azim, dsizepix);
    const int32_t last = dtab.nb_lig() - 1;
#pragma omp parallel for schedule(static) if (worth_threads(dtab.nb_lig(), dtab.nb_col()))
    for (int32_t i = 0; i < last; i++)
        shade_lines(dtab, t, i, i + 1, dtab_s);
}

} // namespace terralume
