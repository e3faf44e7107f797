#include "elevation.h"

namespace terralume
{

void sample_range(const Grid<int32_t> &itab, int32_t &min, int32_t &max)
{
    min = itab[0][0];
    max = itab[0][0];
    for (int32_t i = 0; i < itab.nb_lig(); i++)
        for (int32_t j = 0; j < itab.nb_col(); j++) {
            if (itab[i][j] < min)
                min = itab[i][j];
            if (itab[i][j] > max)
                max = itab[i][j];
        }
}

void to_metres(const Grid<int32_t> &itab, double rescale, Grid<double> &dtab)
{
    for (int32_t i = 0; i < itab.nb_lig(); i++)
        for (int32_t j = 0; j < itab.nb_col(); j++)
            dtab[i][j] = static_cast<double>(itab[i][j]) / rescale;
}

void to_metres(Grid<double> &dtab, double rescale)
{
    for (int32_t i = 0; i < dtab.nb_lig(); i++)
        for (int32_t j = 0; j < dtab.nb_col(); j++)
            dtab[i][j] = dtab[i][j] / rescale;
}

} // namespace terralume
