#include "final_treatment.h"

namespace terralume
{

void window_sums(const Grid<unsigned char> &tab, Grid<int32_t> &itab)
{
    const int32_t nb_lig = tab.nb_lig();
    const int32_t nb_col = tab.nb_col();
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            const int32_t centre = tab[i][j];
            int32_t sum = 0;
            for (int32_t di = -1; di <= 1; di++)
                for (int32_t dj = -1; dj <= 1; dj++) {
                    const int32_t k = i + di;
                    const int32_t l = j + dj;
                    const bool inside = k >= 0 && k < nb_lig && l >= 0 && l < nb_col;
                    sum += inside ? tab[k][l] : centre;
                }
            itab[i][j] = sum;
        }
}

void stretch(const Grid<int32_t> &itab, Grid<unsigned char> &tab3)
{
    const int32_t nb_lig = itab.nb_lig();
    const int32_t nb_col = itab.nb_col();
    int32_t mintab = itab[0][0];
    int32_t maxtab = itab[0][0];
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            if (itab[i][j] < mintab)
                mintab = itab[i][j];
            if (itab[i][j] > maxtab)
                maxtab = itab[i][j];
        }
    const int32_t idif = maxtab - mintab + 1;
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            if (itab[i][j] == 0) {
                tab3[i][j] = 0;
                continue;
            }
            const double v = static_cast<double>(itab[i][j] - mintab) / idif * 255;
            int32_t t = static_cast<int32_t>(v);
            if (t < 0)
                t = 0;
            if (t > 255)
                t = 255;
            tab3[i][j] = static_cast<unsigned char>(t);
        }
}

void pins(const Grid<unsigned char> &tab, Grid<int32_t> &itab, Grid<unsigned char> &tab3)
{
    window_sums(tab, itab);
    stretch(itab, tab3);
}

} // namespace terralume
