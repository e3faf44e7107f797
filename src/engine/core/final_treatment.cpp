#include "final_treatment.h"
#include "extremes.h"
#include "nodata.h"
#include "parallel.h"

#include <vector>

namespace terralume
{

namespace
{

// The window sums and the stretch over the cells `valued` accepts; kAll when
// it accepts every cell.
template <bool kAll, typename Valued>
void window_sums_of(const Grid<unsigned char> &tab, Valued valued, Grid<int32_t> &itab)
{
    const int32_t nb_lig = tab.nb_lig();
    const int32_t nb_col = tab.nb_col();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            // Inside the grid, with every cell valued, the window is the nine
            // cells themselves.
            if (kAll && i > 0 && i < nb_lig - 1 && j > 0) {
                const unsigned char *up = tab[i - 1];
                const unsigned char *mid = tab[i];
                const unsigned char *down = tab[i + 1];
                for (; j < nb_col - 1; j++)
                    itab[i][j] = up[j - 1] + up[j] + up[j + 1] + mid[j - 1] + mid[j] + mid[j + 1] + down[j - 1] +
                                 down[j] + down[j + 1];
                if (j == nb_col)
                    break;
            }
            const int32_t centre = tab[i][j];
            int32_t sum = 0;
            for (int32_t di = -1; di <= 1; di++)
                for (int32_t dj = -1; dj <= 1; dj++) {
                    const int32_t k = i + di;
                    const int32_t l = j + dj;
                    const bool inside = k >= 0 && k < nb_lig && l >= 0 && l < nb_col && valued(k, l);
                    sum += inside ? tab[k][l] : centre;
                }
            itab[i][j] = sum;
        }
}

template <typename Valued>
void stretch_of(const Grid<int32_t> &itab, Valued valued, unsigned char no_value, Grid<unsigned char> &tab3)
{
    const int32_t nb_lig = itab.nb_lig();
    const int32_t nb_col = itab.nb_col();
    // The smallest and largest sum.
    const Extremes<int32_t> e = extremes_by_lines<int32_t>(nb_lig, nb_col, worth_threads(nb_lig, nb_col),
                                                           [&](int32_t i, int32_t j, int32_t &v) {
                                                               v = itab[i][j];
                                                               return valued(i, j);
                                                           });
    const int32_t mintab = e.lo;
    const int32_t maxtab = e.hi;
    const int32_t idif = maxtab - mintab + 1;
    // The stretched value of a sum: 0 for a sum of 0, else the span's share
    // of 255, truncated and clamped.
    const auto stretched = [mintab, idif](int32_t sum) {
        if (sum == 0)
            return static_cast<unsigned char>(0);
        const double v = static_cast<double>(sum - mintab) / idif * 255;
        int32_t t = static_cast<int32_t>(v);
        if (t < 0)
            t = 0;
        if (t > 255)
            t = 255;
        return static_cast<unsigned char>(t);
    };
    // Window sums of bytes lie in 0 .. 9 x 255: each one's value is worked
    // out once, by the same formula, and looked up.
    constexpr int32_t kMaxSum = 9 * 255;
    const bool table = mintab >= 0 && maxtab <= kMaxSum;
    unsigned char values[kMaxSum + 1] = {};
    if (table)
        for (int32_t sum = mintab; sum <= maxtab; sum++)
            values[sum] = stretched(sum);
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            if (!valued(i, j))
                tab3[i][j] = no_value;
            else
                tab3[i][j] = table ? values[itab[i][j]] : stretched(itab[i][j]);
        }
}

const auto kEveryCell = [](int32_t, int32_t) { return true; };

} // namespace

void window_sums(const Grid<unsigned char> &tab, Grid<int32_t> &itab) { window_sums_of<true>(tab, kEveryCell, itab); }

void stretch(const Grid<int32_t> &itab, Grid<unsigned char> &tab3) { stretch_of(itab, kEveryCell, 0, tab3); }

void pins(const Grid<unsigned char> &tab, Grid<int32_t> &itab, Grid<unsigned char> &tab3)
{
    window_sums(tab, itab);
    stretch(itab, tab3);
}

void pins(const Grid<unsigned char> &tab, const Grid<unsigned char> &cells, unsigned char no_value, Grid<int32_t> &itab,
          Grid<unsigned char> &tab3)
{
    const auto valued = [&cells](int32_t i, int32_t j) { return cells[i][j] != kNoValueCell; };
    window_sums_of<false>(tab, valued, itab);
    stretch_of(itab, valued, no_value, tab3);
}

} // namespace terralume
