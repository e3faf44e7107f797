#include "elevation.h"
#include "parallel.h"

namespace terralume
{

void sample_range(const Grid<int32_t> &itab, int32_t &min, int32_t &max)
{
    int32_t lo = itab[0][0];
    int32_t hi = itab[0][0];
#pragma omp parallel for schedule(static) reduction(min                                                                \
                                                    : lo)                                                              \
    reduction(max                                                                                                      \
              : hi) if (worth_threads(itab.nb_lig(), itab.nb_col()))
    for (int32_t i = 0; i < itab.nb_lig(); i++)
        for (int32_t j = 0; j < itab.nb_col(); j++) {
            if (itab[i][j] < lo)
                lo = itab[i][j];
            if (itab[i][j] > hi)
                hi = itab[i][j];
        }
    min = lo;
    max = hi;
}

void to_metres(const Grid<int32_t> &itab, double rescale, Grid<double> &dtab)
{
#pragma omp parallel for schedule(static) if (worth_threads(itab.nb_lig(), itab.nb_col()))
    for (int32_t i = 0; i < itab.nb_lig(); i++)
        for (int32_t j = 0; j < itab.nb_col(); j++)
            dtab[i][j] = static_cast<double>(itab[i][j]) / rescale;
}

void to_metres(Grid<double> &dtab, double multiplier, double divisor)
{
#pragma omp parallel for schedule(static) if (worth_threads(dtab.nb_lig(), dtab.nb_col()))
    for (int32_t i = 0; i < dtab.nb_lig(); i++)
        for (int32_t j = 0; j < dtab.nb_col(); j++)
            dtab[i][j] = dtab[i][j] * multiplier / divisor;
}

} // namespace terralume
