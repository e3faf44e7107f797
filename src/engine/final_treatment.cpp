#include "final_treatment.h"
#include "nodata.h"
#include "parallel.h"

#include <vector>

namespace terralume
{

namespace
{

// The window sums and the stretch over the cells `valued` accepts.
template <typename Valued> void window_sums_of(const Grid<unsigned char> &tab, Valued valued, Grid<int32_t> &itab)
{
    const int32_t nb_lig = tab.nb_lig();
    const int32_t nb_col = tab.nb_col();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
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
    // The smallest and largest sum, line by line, then over the lines.
    struct Extremes {
        bool any = false;
        int32_t lo = 0;
        int32_t hi = 0;
    };
    std::vector<Extremes> line(static_cast<size_t>(nb_lig));
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++) {
        Extremes e;
        for (int32_t j = 0; j < nb_col; j++) {
            if (!valued(i, j))
                continue;
            if (!e.any || itab[i][j] < e.lo)
                e.lo = itab[i][j];
            if (!e.any || itab[i][j] > e.hi)
                e.hi = itab[i][j];
            e.any = true;
        }
        line[static_cast<size_t>(i)] = e;
    }
    bool first = true;
    int32_t mintab = 0;
    int32_t maxtab = 0;
    for (const Extremes &e : line) {
        if (!e.any)
            continue;
        if (first || e.lo < mintab)
            mintab = e.lo;
        if (first || e.hi > maxtab)
            maxtab = e.hi;
        first = false;
    }
    const int32_t idif = maxtab - mintab + 1;
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            if (!valued(i, j)) {
                tab3[i][j] = no_value;
                continue;
            }
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

const auto kEveryCell = [](int32_t, int32_t) { return true; };

} // namespace

void window_sums(const Grid<unsigned char> &tab, Grid<int32_t> &itab) { window_sums_of(tab, kEveryCell, itab); }

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
    window_sums_of(tab, valued, itab);
    stretch_of(itab, valued, no_value, tab3);
}

} // namespace terralume
