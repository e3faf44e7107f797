#include "marks.h"
#include "cast_shadow.h"
#include "dispatch.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "parallel.h"
#include "shadow_kernels.h"

#include <algorithm>

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
    for (int fam = 0; fam < 4; fam++)
        groups[fam + 1] = groups[fam] + (families[fam].ncols + w - 1) / w;
    const int threads = static_cast<int>(marks.size());
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1) if (worth_threads(nb_lig, nb_col))
    for (int64_t n = 0; n < groups[4]; n++) {
        unsigned char *const *own = marks[static_cast<size_t>(thread_index())].rows();
        int fam = 0;
        while (n >= groups[fam + 1])
            fam++;
        const kernels::RayFamily &f = families[fam];
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
                 bool curvature, bool holes, MarkGrids &marks, unsigned char bit)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const ExactGeometry g = exact_geometry(nb_lig, nb_col, elev, azim, dsizepix, curvature);
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
                           .holes = holes,
                           .bit = bit};
    for (int k = 0; k < kOwnSteps; k++) {
        f.jb[k] = g.jb[k].data();
        f.psi[k] = g.psi[k].data();
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
