#include "accumulation.h"
#include "extremes.h"
#include "formulas.h"
#include "parallel.h"

#include <cmath>
#include <vector>

namespace terralume
{

void superp_lines(const Grid<double> &dtab_s, const Grid<unsigned char> &tab_cs, double attenuation, double num_spot,
                  int32_t first, int32_t last, Grid<double> &dtab_sp, Grid<double> &dtab_res)
{
    const int32_t nb_col = dtab_s.nb_col();
    const double spots = num_spot;
    for (int32_t i = first; i < last; i++) {
        const double *s = dtab_s[i];
        const unsigned char *cs = tab_cs[i];
        double *sp = dtab_sp[i];
        double *res = dtab_res[i];
        for (int32_t j = 0; j < nb_col; j++) {
            sp[j] = formulas::attenuated(s[j], cs[j] == 1, attenuation);
            res[j] = formulas::accumulated(sp[j], spots, res[j]);
        }
    }
}

void superp_cast(const Grid<double> &dtab_s, const Grid<unsigned char> &tab_cs, double attenuation, double num_spot,
                 Grid<double> &dtab_sp, Grid<double> &dtab_res)
{
    const int32_t nb_lig = dtab_s.nb_lig();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, dtab_s.nb_col()))
    for (int32_t i = 0; i < nb_lig; i++)
        superp_lines(dtab_s, tab_cs, attenuation, num_spot, i, i + 1, dtab_sp, dtab_res);
}

namespace
{

// Lines 0..lines-1, columns 0..columns-1, the cells `counts` accepts, from
// the first number (NaN is never lower or higher than anything), against the
// running values dmin and dmax.
template <typename Counts>
void scan_cells(const Grid<double> &dtab_res, int32_t lines, int32_t columns, Counts counts, double &dmin, double &dmax)
{
    const Extremes<double> e = extremes_by_lines<double>(
        lines, columns, worth_threads(dtab_res.nb_lig(), dtab_res.nb_col()), [&](int32_t i, int32_t j, double &v) {
            v = dtab_res[i][j];
            return counts(i, j) && v == v;
        });
    if (!e.any)
        return;
    if (e.hi > dmax)
        dmax = e.hi;
    if (e.lo < dmin)
        dmin = e.lo;
}

} // namespace

void scan_range(const Grid<double> &dtab_res, double &dmin, double &dmax)
{
    scan_cells(
        dtab_res, dtab_res.nb_lig() - 1, dtab_res.nb_col() - 1, [](int32_t, int32_t) { return true; }, dmin, dmax);
}

void scan_range(const Grid<double> &dtab_res, const Grid<unsigned char> &cells, double &dmin, double &dmax)
{
    scan_cells(
        dtab_res, dtab_res.nb_lig(), dtab_res.nb_col(),
        [&cells](int32_t i, int32_t j) { return cells[i][j] == kResultCell; }, dmin, dmax);
}

unsigned char normalized_value(double fval, int32_t norm, double dmin, double ddif)
{
    if (norm == 1 || norm == 2) {
        if (ddif == 0)
            return 0;
        fval = (fval - dmin) / ddif * (norm == 1 ? 100 : 255);
    }
    const double t = std::trunc(fval);
    if (!(t > 0)) // negative values and NaN
        return 0;
    if (t > 255)
        return 255;
    return static_cast<unsigned char>(t);
}

void normalize(const Grid<double> &dtab_res, int32_t norm, double dmin, double ddif, Grid<unsigned char> &tab)
{
#pragma omp parallel for schedule(static) if (worth_threads(dtab_res.nb_lig(), dtab_res.nb_col()))
    for (int32_t i = 0; i < dtab_res.nb_lig(); i++)
        for (int32_t j = 0; j < dtab_res.nb_col(); j++)
            tab[i][j] = normalized_value(dtab_res[i][j], norm, dmin, ddif);
}

} // namespace terralume
