#include "fast_engine.h"
#include "cast_shadow.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "kernels.h"
#include "parallel.h"
#include "shading.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <new>

namespace terralume
{

namespace
{

// The kernels of one instruction set.
struct Kernels {
    const char *name;
    const kernels::Walk *walk;
    const kernels::Sweep *sweep;
    const kernels::Exact *exact;
};

std::vector<Kernels> supported()
{
    std::vector<Kernels> sets;
#if defined(TL_HAVE_X86_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw"))
        sets.push_back({"avx512", &kernels::avx512::walk, &kernels::avx512::sweep, &kernels::avx512::exact});
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        sets.push_back({"avx2", &kernels::avx2::walk, &kernels::avx2::sweep, &kernels::avx2::exact});
#endif
    sets.push_back({"generic", &kernels::generic::walk, &kernels::generic::sweep, &kernels::generic::exact});
    return sets;
}

Kernels &chosen()
{
    static Kernels k = supported().front();
    return k;
}

} // namespace

std::vector<std::string> instruction_sets()
{
    std::vector<std::string> names;
    for (const Kernels &k : supported())
        names.emplace_back(k.name);
    return names;
}

bool use_instruction_set(const std::string &name)
{
    for (const Kernels &k : supported())
        if (name == k.name) {
            chosen() = k;
            return true;
        }
    return false;
}

std::string instruction_set() { return chosen().name; }

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

static_assert(kMaxSweepPositions == kernels::kSweepPositions);

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

void sweep_quotients(const double *a, const double *b, int32_t count, double *out)
{
    chosen().sweep->quotients(a, b, count, out);
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
    const kernels::Walk *k = chosen().walk;
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

bool has_holes(const Grid<double> &dtab)
{
    for (int32_t i = 0; i < dtab.nb_lig(); i++)
        for (int32_t j = 0; j < dtab.nb_col(); j++)
            if (dtab[i][j] == -std::numeric_limits<double>::infinity())
                return true;
    return false;
}

void exact_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                 bool curvature, bool holes, MarkGrids &marks, unsigned char bit)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const ExactGeometry g = exact_geometry(nb_lig, nb_col, elev, azim, dsizepix, curvature);
    kernels::ExactFamily f{g.transposed ? dtab_t.rows() : dtab.rows(),
                           g.nrows,
                           g.ncols,
                           g.r0,
                           g.dr,
                           g.transposed,
                           g.base.data(),
                           g.phi.data(),
                           g.d.data(),
                           g.p.data(),
                           g.b.data(),
                           g.lo.data(),
                           g.hi.data(),
                           {},
                           {},
                           holes,
                           bit};
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
    const kernels::Exact *k = chosen().exact;
    const int threads = static_cast<int>(marks.size());
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1) if (worth_threads(nb_lig, nb_col))
    for (int32_t band = 0; band < bands; band++) {
        const int32_t k0 = first + band * kBand;
        const int32_t k1 = std::min(k0 + kBand, g.kmax + 1);
        k->exact_rays(f, marks[static_cast<size_t>(thread_index())].rows(), k0, k1);
    }
}

void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, const SunPass *passes, int count,
                          double dsizepix, double attenuation, MarkGrids &marks, Grid<double> &dtab_res,
                          Grid<double> *sun_hours, const BeamPass *beam)
{
    assert(count >= 1 && count <= kMaxSweepPositions);
    kernels::SweepTerms t[kernels::kSweepPositions];
    std::vector<unsigned char *const *> rows;
    for (Grid<unsigned char> &m : marks)
        rows.push_back(m.rows());
    const kernels::SweepGrids g{dtab.rows(),
                                bn.rows(),
                                rows.data(),
                                static_cast<int32_t>(rows.size()),
                                dtab_res.rows(),
                                sun_hours != nullptr ? sun_hours->rows() : nullptr,
                                beam != nullptr && !beam->pressure->pp0.empty() ? beam->pressure->pp0.rows() : nullptr,
                                beam != nullptr && !beam->pressure->level.empty() ? beam->pressure->level.rows()
                                                                                  : nullptr,
                                beam != nullptr ? beam->beam->rows() : nullptr,
                                dtab.nb_lig(),
                                dtab.nb_col()};
    for (int q = 0; q < count; q++) {
        const ShadingTerms s = shading_terms(passes[q].elev, passes[q].azim, dsizepix);
        const ClearSky sky = beam != nullptr ? beam->skies[q] : ClearSky{};
        t[q] = {s.cc,
                s.cs,
                s.sr,
                attenuation,
                passes[q].weight.divisor,
                passes[q].weight.hours,
                sky.irradiance,
                sky.air_mass,
                sky.linke,
                beam != nullptr ? beam->attenuation : 0.0,
                nullptr};
    }
    const kernels::Sweep *k = chosen().sweep;
    // The beam normal irradiance of every level, position by position.
    std::vector<double> tables[kernels::kSweepPositions];
    if (g.level != nullptr) {
        const std::vector<double> &levels = beam->pressure->levels;
        const int64_t n = static_cast<int64_t>(levels.size());
        constexpr int64_t kChunk = 1024;
        for (int q = 0; q < count; q++) {
            tables[q].resize(levels.size());
            t[q].beam_levels = tables[q].data();
        }
#pragma omp parallel for schedule(static) collapse(2) if (n >= 4 * kChunk)
        for (int q = 0; q < count; q++)
            for (int64_t c = 0; c < n; c += kChunk)
                k->beam_table(t[q], levels.data() + c, static_cast<int32_t>(std::min(kChunk, n - c)),
                              tables[q].data() + c);
    }
    const int32_t nb_lig = dtab.nb_lig();
#pragma omp parallel for schedule(static) if (worth_threads(nb_lig, dtab.nb_col()))
    for (int32_t i = 0; i < nb_lig; i++)
        k->sweep_lines(g, t, count, i, i + 1);
}

namespace
{

// The engine of runs: it owns its per-run grids, the marks of the positions
// it holds back and the accumulation.
class FastEngine final : public Engine
{
  public:
    uint64_t bytes_needed(int32_t nb_lig, int32_t nb_col, const EngineOptions &options) const override
    {
        // bn, the accumulation and the transpose; the hours; the pressure
        // ratios and the beam; the marks.
        const uint64_t doubles = matrix_bytes(nb_col, nb_lig, sizeof(double));
        uint64_t bytes = saturating_sum({doubles, doubles, matrix_bytes(nb_lig, nb_col, sizeof(double))});
        if (options.sun_hours)
            bytes = saturating_sum({bytes, doubles});
        // The beam: its accumulation, and the larger of the pressure ratios
        // and the sorted elevations with the cells' levels.
        if (options.beam)
            bytes = saturating_sum({bytes, doubles, doubles, matrix_bytes(nb_col, nb_lig, sizeof(int32_t))});
        const uint64_t marks = matrix_bytes(nb_col, nb_lig, 1);
        for (int k = mark_grid_count(); k > 0; k--)
            bytes = saturating_sum({bytes, marks});
        if (options.shadows == ShadowMethod::Exact)
            bytes = saturating_sum({bytes, exact_bytes(nb_lig, nb_col, mark_grid_count())});
        return bytes;
    }

    void begin(const Grid<double> &dtab, double dsizepix, const EngineOptions &options) override
    {
        const int32_t nl = dtab.nb_lig();
        const int32_t nc = dtab.nb_col();
        dtab_ = &dtab;
        dsizepix_ = dsizepix;
        options_ = options;
        batch_ = batch(options);
        queued_ = 0;
        bn_ = Grid<double>(nl, nc);
        acc_.illumination = Grid<double>(nl, nc);
        bool made = !bn_.empty() && !acc_.illumination.empty();
        if (options.sun_hours) {
            acc_.sun_hours = Grid<double>(nl, nc);
            made = made && !acc_.sun_hours.empty();
        }
        marks_ = mark_grids(nl, nc, mark_grid_count());
        made = made && !marks_.empty();
        if (options.beam) {
            acc_.beam = Grid<double>(nl, nc);
            made = made && !acc_.beam.empty();
        }
        // The rays walk the elevations as floats when they all are; else,
        // and for the exact method, doubles and their transpose.
        floats_ = made && options.shadows == ShadowMethod::Rays && prepare_walk(dtab, rows_f_, cols_f_);
        if (made && !floats_) {
            dtab_t_ = Grid<double>(nc, nl);
            made = !dtab_t_.empty();
        }
        if (!made) {
            release();
            throw std::bad_alloc();
        }
        prepare_cells(dtab, dsizepix, bn_, dtab_t_);
        holes_ = options.shadows == ShadowMethod::Exact && has_holes(dtab);
        if (options.beam) {
            try {
                prepare_pressure(dtab, options.beam_by_levels, pressure_);
            } catch (const std::bad_alloc &) {
                release();
                throw;
            }
        }
    }

    void add_position(const SunPosition &p) override
    {
        const int q = queued_++;
        mark(p.elev, p.azim, marks_, static_cast<unsigned char>(1 << q));
        queue_[q] = {p.elev, p.azim, p.weight};
        skies_[q] = p.sky;
        if (queued_ == batch_)
            flush();
    }

    Grid<unsigned char> shadow_marks(double elev, double azim) override
    {
        const int32_t nl = dtab_->nb_lig();
        const int32_t nc = dtab_->nb_col();
        MarkGrids marks = mark_grids(nl, nc, mark_grid_count());
        Grid<unsigned char> tab_cs(nl, nc);
        if (marks.empty() || tab_cs.empty())
            throw std::bad_alloc();
        mark(elev, azim, marks);
        for (const Grid<unsigned char> &m : marks)
            for (int32_t i = 0; i < nl; i++)
                for (int32_t j = 0; j < nc; j++)
                    tab_cs[i][j] = static_cast<unsigned char>(tab_cs[i][j] | m[i][j]);
        return tab_cs;
    }

    Accumulation finish() override
    {
        flush();
        Accumulation acc = std::move(acc_);
        release();
        return acc;
    }

  private:
    static int batch(const EngineOptions &options)
    {
        return options.sweep_batch > 0 ? std::min(options.sweep_batch, kMaxSweepPositions) : kMaxSweepPositions;
    }

    // The cast-shadow marks of one position, by the method asked.
    void mark(double elev, double azim, MarkGrids &marks, unsigned char bit = 1)
    {
        if (options_.shadows == ShadowMethod::Exact)
            exact_marks(*dtab_, dtab_t_, elev, azim, dsizepix_, options_.curvature, holes_, marks, bit);
        else if (floats_)
            cast_marks(rows_f_, cols_f_, elev, azim, dsizepix_, marks, bit);
        else
            cast_marks(*dtab_, dtab_t_, elev, azim, dsizepix_, marks, bit);
    }

    // Adds the positions held back to the accumulation, in order.
    void flush()
    {
        if (queued_ == 0)
            return;
        const BeamPass beam{&pressure_, &acc_.beam, options_.beam_attenuation, skies_};
        shade_and_accumulate(*dtab_, bn_, queue_, queued_, dsizepix_, options_.attenuation, marks_, acc_.illumination,
                             options_.sun_hours ? &acc_.sun_hours : nullptr, options_.beam ? &beam : nullptr);
        queued_ = 0;
    }

    void release()
    {
        bn_ = Grid<double>();
        dtab_t_ = Grid<double>();
        rows_f_ = Grid<float>();
        cols_f_ = Grid<float>();
        floats_ = false;
        pressure_ = PressureGrid();
        marks_.clear();
        acc_ = Accumulation();
    }

    const Grid<double> *dtab_ = nullptr;
    double dsizepix_ = 0;
    EngineOptions options_;
    Grid<double> bn_;
    Grid<double> dtab_t_; // empty when the rays walk floats
    Grid<float> rows_f_;  // the elevations as floats, by lines and by columns,
    Grid<float> cols_f_;  // when the rays walk them
    bool floats_ = false;
    MarkGrids marks_; // one grid per thread of the cast-shadow pass, a bit per position held back
    PressureGrid pressure_;
    SunPass queue_[kMaxSweepPositions] = {};
    ClearSky skies_[kMaxSweepPositions];
    int batch_ = 1;
    int queued_ = 0;
    bool holes_ = false; // some cells lack data
    Accumulation acc_;
};

} // namespace

std::unique_ptr<Engine> make_fast_engine() { return std::make_unique<FastEngine>(); }

} // namespace terralume
