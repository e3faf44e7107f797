#include "marks.h"
#include "cast_shadow.h"
#include "dispatch.h"
#include "exact_line.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "parallel.h"
#include "shadow_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace terralume
{

int mark_grid_count() { return std::min(max_threads(), kernels::kMaxMarkGrids); }

MarkGrids mark_grids(int32_t nb_lig, int32_t nb_col, int count)
{
    MarkGrids marks;
    for (int k = 0; k < count; k++) {
        marks.emplace_back(nb_lig, nb_col);
        if (marks.back().empty())
            return {};
    }
    return marks;
}

namespace
{

// The rays of a family that run along one line of the grid walked (no step
// across lines: the sun on a grid axis) are the tails of one another: the
// ray from column k walks the cells the ray from the far end walks after k.
// Walked one by one they cost the square of the line's length; here they are
// walked together, each distinct state once, with the very decisions of the
// walk (shadow_step), so the marks are the same bits:
//  - every ray that is not in a shadow stands in the same state (the last
//    cell, which the newest ray, started one step back, always shares), so
//    all of them are one class;
//  - a ray in a shadow is known by its caster; one caster per step at most
//    is new, made by the class outside shadows;
//  - a shadow line below another one by more than any rounding of either
//    can reach over the rest of the line marks only cells the higher one
//    marks, and ends no later: it is dropped.
// A family is such a one when no ray of it can end inside the grid.
bool runs_along_line(const kernels::RayFamily &f)
{
    return f.dr == 0 && std::fabs(f.dc) == 1 && std::abs(static_cast<int64_t>(f.dc_fin)) > f.ncols;
}

template <typename T> void walk_along_line(const kernels::RayFamily &f, unsigned char *const *marks)
{
    const T *row = nullptr;
    if constexpr (sizeof(T) == sizeof(float))
        row = f.gf[f.r0];
    else
        row = f.g[f.r0];
    const int32_t n = f.ncols;
    // The cells of the longest ray, its start first: with the walk's
    // truncation a ray going toward column 0 stands on it twice.
    std::vector<int32_t> cells;
    cells.reserve(static_cast<size_t>(n) + 1);
    const bool down = f.dc < 0;
    for (int32_t k = 0; k < n; k++)
        cells.push_back(down ? n - 1 - k : k);
    if (down)
        cells.push_back(0);
    const auto mark = [&](int32_t c) {
        if (f.transposed)
            marks[c][f.r0] |= f.bit;
        else
            marks[f.r0][c] |= f.bit;
    };
    struct Shadow {
        double calt, ico;
    };
    std::vector<Shadow> shadows, next;
    bool outside = false; // some ray stands outside any shadow, its start behind it
    const double dif = f.dif_alt;
    const size_t m = cells.size() - 1;
    const double u = 0x1p-53;
    for (size_t x = 1; x <= m; x++) {
        const double prev = row[cells[x - 1]];
        const double a = row[cells[x]];
        // The rays in a shadow go on past the cell before: it is marked.
        if (!shadows.empty())
            mark(cells[x - 1]);
        next.clear();
        bool ended = false;
        for (Shadow sh : shadows) {
            if (formulas::shadow_step(true, true, prev, a, dif, 1.0, sh.calt, sh.ico))
                next.push_back(sh);
            else
                ended = true;
        }
        bool made = false;
        if (outside) {
            Shadow sh{0, 0};
            if (formulas::shadow_step(false, true, prev, a, dif, 1.0, sh.calt, sh.ico)) {
                next.push_back(sh);
                made = true;
            }
        }
        // The ray started on the cell before takes its first step: outside.
        const bool started = cells[x] != cells[x - 1];
        outside = (outside && !made) || ended || started;
        // Shadows well below the highest one go.
        if (next.size() > 1) {
            size_t top = 0;
            for (size_t k = 1; k < next.size(); k++)
                if (next[k].calt - next[k].ico * dif > next[top].calt - next[top].ico * dif)
                    top = k;
            const Shadow h = next[top];
            const double left = static_cast<double>(m - x);
            shadows.clear();
            for (size_t k = 0; k < next.size(); k++) {
                const Shadow &d = next[k];
                const double gap = (h.calt - d.calt) - (h.ico - d.ico) * dif;
                const double reach =
                    4 * u * (std::fabs(h.calt) + std::fabs(d.calt) + 4 * (h.ico + d.ico + 2 * left) * std::fabs(dif));
                if (k == top || !(std::isfinite(gap) && std::isfinite(reach) && gap > reach))
                    shadows.push_back(d);
            }
        } else {
            shadows.swap(next);
        }
    }
}

// The rays of one position over the elevations by lines and by columns, as
// doubles or as floats (the other pair null).
void cast_rays(int32_t nb_lig, int32_t nb_col, const double *const *dtab, const double *const *dtab_t,
               const float *const *rows_f, const float *const *cols_f, double elev, double azim, double dsizepix,
               MarkGrids &marks, unsigned char bit)
{
    const CastGeometry g = cast_geometry(nb_lig, nb_col, elev, azim, dsizepix);
    // Every ray has the same steps: the end offset over its larger component.
    const formulas::RaySteps steps = formulas::ray_steps(g.dj_fin, g.di_fin);
    if (steps.rmax == 0)
        return; // a ray that starts on its end cell is not walked

    kernels::RayFamily families[4];
    for (int fam = 0; fam < 4; fam++) {
        const Border border = kBorderOrder[fam];
        kernels::RayFamily &f = families[fam];
        // Rays from the column borders walk the transpose: lines of it are columns.
        const bool lines = starts_on_line(border);
        f.g = lines ? dtab : dtab_t;
        f.gf = lines ? rows_f : cols_f;
        f.nrows = lines ? nb_lig : nb_col;
        f.ncols = lines ? nb_col : nb_lig;
        f.r0 = last_of_axis(border) ? f.nrows - 1 : 0;
        f.dr = lines ? steps.dinext : steps.djnext;
        f.dc = lines ? steps.djnext : steps.dinext;
        f.r_fin = f.r0 + (lines ? g.di_fin : g.dj_fin);
        f.dc_fin = lines ? g.dj_fin : g.di_fin;
        f.dif_alt = g.dif_alt;
        f.transposed = !lines;
        f.bit = bit;
    }
    // Groups of neighbouring rays; a border with fewer rays than lanes is one
    // short group, and the last group of a longer border overlaps the one
    // before it (walking a ray twice marks the same cells).
    const kernels::Walk *k = &TL_CHOSEN_KERNELS(walk);
    const int32_t w = k->rays;
    int64_t groups[5] = {0};
    bool along[4] = {};
    for (int fam = 0; fam < 4; fam++) {
        const kernels::RayFamily &f = families[fam];
        // A family along one line is one task of its own.
        along[fam] = runs_along_line(f);
        groups[fam + 1] = groups[fam] + (along[fam] ? 1 : (f.ncols + w - 1) / w);
    }
    const int threads = static_cast<int>(marks.size());
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1) if (worth_threads(nb_lig, nb_col))
    for (int64_t n = 0; n < groups[4]; n++) {
        unsigned char *const *own = marks[static_cast<size_t>(thread_index())].rows();
        int fam = 0;
        while (n >= groups[fam + 1])
            fam++;
        const kernels::RayFamily &f = families[fam];
        if (along[fam]) {
            if (n == groups[fam]) {
                if (f.gf != nullptr)
                    walk_along_line<float>(f, own);
                else
                    walk_along_line<double>(f, own);
            }
            continue;
        }
        int32_t k0 = static_cast<int32_t>(n - groups[fam]) * w;
        if (f.ncols < w) {
            k->walk_rays(f, own, 0, f.ncols);
            continue;
        }
        if (k0 > f.ncols - w)
            k0 = f.ncols - w;
        k->walk_rays(f, own, k0, w);
    }
}

} // namespace

void cast_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                MarkGrids &marks, unsigned char bit)
{
    cast_rays(dtab.nb_lig(), dtab.nb_col(), dtab.rows(), dtab_t.rows(), nullptr, nullptr, elev, azim, dsizepix, marks,
              bit);
}

void cast_marks(const Grid<float> &rows, const Grid<float> &cols, double elev, double azim, double dsizepix,
                MarkGrids &marks, unsigned char bit)
{
    cast_rays(rows.nb_lig(), rows.nb_col(), nullptr, nullptr, rows.rows(), cols.rows(), elev, azim, dsizepix, marks,
              bit);
}

void exact_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                 bool curvature, bool holes, MarkGrids &marks, unsigned char bit, const GridOrigin &origin,
                 const CellWindow &wanted)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const ExactGeometry g = exact_geometry(nb_lig, nb_col, elev, azim, dsizepix, curvature, origin);
    double top = -std::numeric_limits<double>::infinity(), bottom = std::numeric_limits<double>::infinity();
    for (int32_t i = 0; i < nb_lig; i++) {
        const double *row = dtab[i];
        for (int32_t j = 0; j < nb_col; j++) {
            top = row[j] > top ? row[j] : top;
            bottom = row[j] < bottom && row[j] > -std::numeric_limits<double>::infinity() ? row[j] : bottom;
        }
    }
    kernels::ExactFamily f{.g = g.transposed ? dtab_t.rows() : dtab.rows(),
                           .nrows = g.nrows,
                           .ncols = g.ncols,
                           .r0 = g.r0,
                           .dr = g.dr,
                           .transposed = g.transposed,
                           .base = g.base.data(),
                           .phi = g.phi.data(),
                           .d = g.d.data(),
                           .p = g.p.data(),
                           .b = g.b.data(),
                           .lo = g.lo.data(),
                           .hi = g.hi.data(),
                           .jb = {},
                           .psi = {},
                           .ob = {},
                           .of = {},
                           .dcs = g.dcs,
                           .dt = g.dt,
                           .kc = g.kc,
                           .top = top,
                           .slack = formulas::skip_slack(bottom, top, g.nrows, g.dt),
                           .n0 = static_cast<double>(g.n0),
                           .holes = holes,
                           .bit = bit,
                           .row_lo = 0,
                           .row_hi = g.nrows - 1,
                           .col_lo = 0,
                           .col_hi = g.ncols - 1};
    if (wanted.lines > 0) {
        const int32_t l0 = wanted.line, l1 = wanted.line + wanted.lines - 1;
        const int32_t c0 = wanted.column, c1 = wanted.column + wanted.columns - 1;
        f.row_lo = g.transposed ? c0 : l0;
        f.row_hi = g.transposed ? c1 : l1;
        f.col_lo = g.transposed ? l0 : c0;
        f.col_hi = g.transposed ? l1 : c1;
    }
    for (int k = 0; k < kOwnSteps; k++) {
        f.jb[k] = g.jb[k].data();
        f.psi[k] = g.psi[k].data();
    }
    for (int k = 0; k <= kNearSteps; k++) {
        f.ob[k] = g.ob[k].data();
        f.of[k] = g.of[k].data();
    }
    // Bands of neighbouring rays, each swept over every step by one thread
    // with the ray before it: every ray's state is the same in any band, and
    // every cell is tested once, in the band of its right-hand ray.
    constexpr int32_t kBand = 128;
    const int32_t first = g.kmin + 1;
    const int32_t bands = (g.kmax - first + 1 + kBand - 1) / kBand;
    const kernels::Exact &k = TL_CHOSEN_KERNELS(exact);
    const int threads = static_cast<int>(marks.size());
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1) if (worth_threads(nb_lig, nb_col))
    for (int32_t band = 0; band < bands; band++) {
        const int32_t k0 = first + band * kBand;
        const int32_t k1 = std::min(k0 + kBand, g.kmax + 1);
        k.exact_rays(f, marks[static_cast<size_t>(thread_index())].rows(), k0, k1);
    }
}

} // namespace terralume
