#include "illumination.h"
#include "accumulation.h"
#include "kernels.h"
#include "parallel.h"
#include "shading.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace terralume
{

namespace
{

std::vector<const kernels::Kernels *> supported()
{
    std::vector<const kernels::Kernels *> sets;
#if defined(TL_HAVE_X86_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw"))
        sets.push_back(&kernels::avx512::kernels);
    if (__builtin_cpu_supports("avx2"))
        sets.push_back(&kernels::avx2::kernels);
#endif
    sets.push_back(&kernels::generic::kernels);
    return sets;
}

const kernels::Kernels *&chosen()
{
    static const kernels::Kernels *k = supported().front();
    return k;
}

} // namespace

std::vector<std::string> instruction_sets()
{
    std::vector<std::string> names;
    for (const kernels::Kernels *k : supported())
        names.emplace_back(k->name);
    return names;
}

bool use_instruction_set(const std::string &name)
{
    for (const kernels::Kernels *k : supported())
        if (name == k->name) {
            chosen() = k;
            return true;
        }
    return false;
}

std::string instruction_set() { return chosen()->name; }

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
            out[j] = std::sqrt(d2 * d2 + d3 * d3 + r2);
        }
    }
    // By blocks, so that both grids are read and written a cache line at a time.
    constexpr int32_t kBlock = 32;
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, nb_col))
    for (int32_t j0 = 0; j0 < nb_col; j0 += kBlock)
        for (int32_t i0 = 0; i0 < nb_lig; i0 += kBlock)
            for (int32_t j = j0; j < j0 + kBlock && j < nb_col; j++)
                for (int32_t i = i0; i < i0 + kBlock && i < nb_lig; i++)
                    dtab_t[j][i] = dtab[i][j];
}

static_assert(kMaxSweepPositions == kernels::kSweepPositions);

int mark_grid_count() { return std::min(max_threads(), kernels::kMaxMarkGrids); }

int sweep_batch() { return std::max(1, std::min(kMaxSweepPositions, 8 / mark_grid_count())); }

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

void cast_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                MarkGrids &marks)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const CastGeometry g = cast_geometry(nb_lig, nb_col, elev, azim, dsizepix);
    // Every ray has the same steps: the end offset over its larger component.
    const double a = g.dj_fin;
    const double b = g.di_fin;
    const double rmax = std::fabs(a) > std::fabs(b) ? std::fabs(a) : std::fabs(b);
    if (rmax == 0)
        return; // a ray that starts on its end cell is not walked
    const double dinext = b / rmax;
    const double djnext = a / rmax;

    kernels::RayFamily families[4];
    for (int fam = 0; fam < 4; fam++) {
        kernels::RayFamily &f = families[fam];
        const bool lines = fam < 2; // rays from the first and the last line
        f.g = lines ? dtab.rows() : dtab_t.rows();
        f.nrows = lines ? nb_lig : nb_col;
        f.ncols = lines ? nb_col : nb_lig;
        f.r0 = fam % 2 == 0 ? 0 : f.nrows - 1;
        f.dr = lines ? dinext : djnext;
        f.dc = lines ? djnext : dinext;
        f.r_fin = f.r0 + (lines ? g.di_fin : g.dj_fin);
        f.dc_fin = lines ? g.dj_fin : g.di_fin;
        f.dif_alt = g.dif_alt;
        f.transposed = !lines;
    }
    // Groups of neighbouring rays; a border with fewer rays than lanes is one
    // short group, and the last group of a longer border overlaps the one
    // before it (walking a ray twice marks the same cells).
    const kernels::Kernels *k = chosen();
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

void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, const SunPass *passes, int count,
                          double dsizepix, double attenuation, int32_t num_spot, Grid<double> &dtab_res)
{
    assert(count >= 1 && count <= kMaxSweepPositions);
    kernels::SweepTerms t[kernels::kSweepPositions];
    std::vector<unsigned char *const *> rows[kernels::kSweepPositions];
    kernels::SweepGrids g{dtab.rows(), bn.rows(), {}, 0, dtab_res.rows(), dtab.nb_lig(), dtab.nb_col()};
    for (int q = 0; q < count; q++) {
        const ShadingTerms s = shading_terms(passes[q].elev, passes[q].azim, dsizepix);
        t[q] = {s.cc, s.cs, s.sr, attenuation, static_cast<double>(num_spot)};
        for (Grid<unsigned char> &m : *passes[q].marks)
            rows[q].push_back(m.rows());
        assert(q == 0 || rows[q].size() == rows[0].size());
        g.marks[q] = rows[q].data();
    }
    g.mark_grids = static_cast<int32_t>(rows[0].size());
    const kernels::Kernels *k = chosen();
    const int32_t nb_lig = dtab.nb_lig();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, dtab.nb_col()))
    for (int32_t i = 0; i < nb_lig; i++)
        k->sweep_lines(g, t, count, i, i + 1);
}

void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, double elev, double azim, double dsizepix,
                          double attenuation, int32_t num_spot, MarkGrids &marks, Grid<double> &dtab_res)
{
    const SunPass pass{elev, azim, &marks};
    shade_and_accumulate(dtab, bn, &pass, 1, dsizepix, attenuation, num_spot, dtab_res);
}

void reference_position(const Grid<double> &dtab, double elev, double azim, double dsizepix, double attenuation,
                        int32_t num_spot, std::vector<RayList> &rays, Grid<double> &dtab_s, Grid<unsigned char> &tab_cs,
                        Grid<double> &dtab_sp, Grid<double> &dtab_res)
{
    shadow(dtab, elev, azim, dsizepix, dtab_s);
    const CastGeometry g = cast_geometry(dtab.nb_lig(), dtab.nb_col(), elev, azim, dsizepix);
    tab_cs.fill(0);
    for (Border b : {Border::FirstLine, Border::LastLine, Border::FirstColumn, Border::LastColumn})
        cast_border(b, g, dtab, dsizepix, rays, tab_cs);
    superp_cast(dtab_s, tab_cs, attenuation, num_spot, dtab_sp, dtab_res);
}

} // namespace terralume
