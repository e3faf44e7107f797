#include "prepare.h"
#include "formulas.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace terralume
{

namespace
{

// out[j][i] = in[i][j], by blocks, so that both grids are read and written a
// cache line at a time.
template <typename T> void transpose(const Grid<T> &in, Grid<T> &out)
{
    const int32_t nb_lig = in.nb_lig();
    const int32_t nb_col = in.nb_col();
    constexpr int32_t kBlock = 32;
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t j0 = 0; j0 < nb_col; j0 += kBlock)
        for (int32_t i0 = 0; i0 < nb_lig; i0 += kBlock)
            for (int32_t j = j0; j < j0 + kBlock && j < nb_col; j++)
                for (int32_t i = i0; i < i0 + kBlock && i < nb_lig; i++)
                    out[j][i] = in[i][j];
}

} // namespace

void prepare_cells(const Grid<double> &dtab, double dsizepix, Grid<double> &bn, Grid<double> &dtab_t)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const double r2 = dsizepix * dsizepix;
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig - 1; i++) {
        const double *row = dtab[i];
        const double *next = dtab[i + 1];
        double *out = bn[i];
        for (int32_t j = 0; j < nb_col - 1; j++) {
            const double d2 = next[j] - row[j];
            const double d3 = row[j + 1] - row[j];
            out[j] = formulas::normal_length(d2, d3, r2);
        }
    }
    if (dtab_t.empty())
        return; // the rays walk floats
    transpose(dtab, dtab_t);
}

void prepare_normals(const Grid<double> &d2, const Grid<double> &d3, double dsizepix, Grid<double> &bn,
                     const CellWindow &wanted)
{
    const bool window = wanted.lines > 0;
    const int32_t i0 = window ? wanted.line : 0, i1 = window ? wanted.line + wanted.lines : d2.nb_lig();
    const int32_t j0 = window ? wanted.column : 0, j1 = window ? wanted.column + wanted.columns : d2.nb_col();
    const double r2 = dsizepix * dsizepix;
#pragma omp parallel for schedule(static) if (worth_threads(i1 - i0, j1 - j0))
    for (int32_t i = i0; i < i1; i++)
        for (int32_t j = j0; j < j1; j++)
            bn[i][j] = formulas::normal_length(d2[i][j], d3[i][j], r2);
}

void prepare_pressure(const Grid<double> &dtab, int by_levels, PressureGrid &p)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    p = PressureGrid();
    if (by_levels >= 0) {
        // The distinct finite elevations, then one level more for the cells
        // without one.
        std::vector<double> z;
        z.reserve(static_cast<size_t>(nb_lig) * static_cast<size_t>(nb_col));
        for (int32_t i = 0; i < nb_lig; i++)
            for (int32_t j = 0; j < nb_col; j++)
                if (std::isfinite(dtab[i][j]))
                    z.push_back(dtab[i][j]);
        std::sort(z.begin(), z.end());
        z.erase(std::unique(z.begin(), z.end()), z.end());
        const double cells = static_cast<double>(nb_lig) * nb_col;
        if (by_levels == 1 || static_cast<double>(z.size()) + 1 <= std::max(256.0, cells / 8)) {
            p.level = Grid<int32_t>(nb_lig, nb_col);
            if (p.level.empty())
                throw std::bad_alloc();
            const int32_t none = static_cast<int32_t>(z.size());
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
            for (int32_t i = 0; i < nb_lig; i++)
                for (int32_t j = 0; j < nb_col; j++) {
                    const double v = dtab[i][j];
                    p.level[i][j] = std::isfinite(v)
                                        ? static_cast<int32_t>(std::lower_bound(z.begin(), z.end(), v) - z.begin())
                                        : none;
                }
            p.levels.resize(z.size() + 1);
            for (size_t k = 0; k < z.size(); k++)
                p.levels[k] = formulas::pressure_ratio(z[k]);
            p.levels[z.size()] = formulas::pressure_ratio(std::numeric_limits<double>::quiet_NaN());
            return;
        }
    }
    p.pp0 = Grid<double>(nb_lig, nb_col);
    if (p.pp0.empty())
        throw std::bad_alloc();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++)
            p.pp0[i][j] = formulas::pressure_ratio(dtab[i][j]);
}

bool prepare_walk(const Grid<double> &dtab, Grid<float> &rows, Grid<float> &cols)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    rows = Grid<float>(nb_lig, nb_col);
    cols = Grid<float>(nb_col, nb_lig);
    bool exact = !rows.empty() && !cols.empty();
    if (!exact) {
        rows = Grid<float>();
        cols = Grid<float>();
        return false;
    }
    // Line by line, a value that is not a float (NaN among them) noted
    // without a branch; then the transpose.
#pragma omp parallel for schedule(static) reduction(&& : exact) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++) {
        const double *in = dtab[i];
        float *out = rows[i];
        bool same = true;
        for (int32_t j = 0; j < nb_col; j++) {
            out[j] = static_cast<float>(in[j]);
            same &= static_cast<double>(out[j]) == in[j];
        }
        exact = exact && same;
    }
    if (exact) {
        transpose(rows, cols);
    } else {
        rows = Grid<float>();
        cols = Grid<float>();
    }
    return exact;
}

bool has_holes(const Grid<double> &dtab)
{
    for (int32_t i = 0; i < dtab.nb_lig(); i++)
        for (int32_t j = 0; j < dtab.nb_col(); j++)
            if (dtab[i][j] == -std::numeric_limits<double>::infinity())
                return true;
    return false;
}

} // namespace terralume
