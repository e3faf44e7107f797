#include "shading.h"
#include "formulas.h"
#include "parallel.h"

#include <cmath>
#include <new>

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

namespace
{

// The 3 x 3 window of cell (i, j), w[1 + di][1 + dj] at line i + di and
// column j + dj, its missing cells filled in: along their column from the
// two cells before them when both are there, then along their line; else
// from the middle line or column, or the centre.
void window_of(const Grid<double> &dtab, int32_t i, int32_t j, double w[3][3])
{
    bool known[3][3];
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++) {
            const int32_t k = i + a - 1;
            const int32_t l = j + b - 1;
            known[a][b] = k >= 0 && k < dtab.nb_lig() && l >= 0 && l < dtab.nb_col() && std::isfinite(dtab[k][l]);
            w[a][b] = known[a][b] ? dtab[k][l] : 0.0;
        }
    for (const int a : {0, 2})
        for (int b = 0; b < 3; b++)
            if (!known[a][b] && known[1][b] && known[2 - a][b]) {
                w[a][b] = 2 * w[1][b] - w[2 - a][b];
                known[a][b] = true;
            }
    for (int a = 0; a < 3; a++)
        for (const int b : {0, 2})
            if (!known[a][b] && known[a][1] && known[a][2 - b]) {
                w[a][b] = 2 * w[a][1] - w[a][2 - b];
                known[a][b] = true;
            }
    // Across a single line or column: the cell of the middle line, or of the
    // middle column, standing for it; else the centre.
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++)
            if (!known[a][b])
                w[a][b] = known[1][b] ? w[1][b] : known[a][1] ? w[a][1] : w[1][1];
}

} // namespace

SlopeRises horn_rises(const Grid<double> &dtab, const CellWindow &wanted)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    SlopeRises r{Grid<double>(nb_lig, nb_col), Grid<double>(nb_lig, nb_col)};
    if (r.d2.empty() || r.d3.empty())
        throw std::bad_alloc();
    const bool window = wanted.lines > 0;
    const int32_t i0 = window ? wanted.line : 0, i1 = window ? wanted.line + wanted.lines : nb_lig;
    const int32_t j0 = window ? wanted.column : 0, j1 = window ? wanted.column + wanted.columns : nb_col;
#pragma omp parallel for schedule(static) if (worth_threads(i1 - i0, j1 - j0))
    for (int32_t i = i0; i < i1; i++)
        for (int32_t j = j0; j < j1; j++) {
            if (!std::isfinite(dtab[i][j])) {
                r.d2[i][j] = r.d3[i][j] = std::nan("");
                continue;
            }
            double w[3][3];
            window_of(dtab, i, j, w);
            // Toward the next line: its three cells less those of the line before.
            r.d2[i][j] = formulas::horn_rise(w[2][0], w[2][1], w[2][2], w[0][0], w[0][1], w[0][2]);
            r.d3[i][j] = formulas::horn_rise(w[0][2], w[1][2], w[2][2], w[0][0], w[1][0], w[2][0]);
        }
    return r;
}

void shadow(const SlopeRises &rises, double elev, double azim, double dsizepix, Grid<double> &dtab_s)
{
    const ShadingTerms t = shading_terms(elev, azim, dsizepix);
    const int32_t nb_lig = rises.d2.nb_lig();
    const int32_t nb_col = rises.d2.nb_col();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            const double d2 = rises.d2[i][j];
            const double d3 = rises.d3[i][j];
            const double bn = formulas::normal_length(d2, d3, t.r2);
            dtab_s[i][j] = formulas::shading(formulas::incidence(t.cc, t.cs, t.sr, d2, d3, bn), 0.0);
        }
}

} // namespace terralume
