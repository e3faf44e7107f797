#include "fast_engine.h"
#include "diffuse.h"
#include "dispatch.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "kernels.h"
#include "parallel.h"
#include "prepare.h"
#include "shading.h"

#include <algorithm>
#include <cassert>
#include <new>

namespace terralume
{

static_assert(kMaxSweepPositions == kernels::kSweepPositions);

void sweep_quotients(const double *a, const double *b, int32_t count, double *out)
{
    TL_CHOSEN_KERNELS(sweep).quotients(a, b, count, out);
}

void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, const SunPass *passes, int count,
                          double dsizepix, double attenuation, MarkGrids &marks, Grid<double> &dtab_res,
                          Grid<double> *sun_hours, const BeamPass *beam, const SlopeRises *rises,
                          const DiffusePass *diffuse, const CellWindow &wanted)
{
    const bool window = wanted.lines > 0;
    assert(count >= 1 && count <= kMaxSweepPositions);
    kernels::SweepTerms t[kernels::kSweepPositions];
    std::vector<unsigned char *const *> rows;
    for (Grid<unsigned char> &m : marks)
        rows.push_back(m.rows());
    // The beam and the diffuse take the same pressures, skies and indices.
    const PressureGrid *pressure = beam != nullptr ? beam->pressure : diffuse != nullptr ? diffuse->pressure : nullptr;
    const ClearSky *skies = beam != nullptr ? beam->skies : diffuse != nullptr ? diffuse->skies : nullptr;
    const Grid<double> *beam_index = beam != nullptr ? beam->index : diffuse != nullptr ? diffuse->beam_index : nullptr;
    const kernels::SweepGrids g{
        .dtab = dtab.rows(),
        .bn = bn.rows(),
        .d2 = rises != nullptr ? rises->d2.rows() : nullptr,
        .d3 = rises != nullptr ? rises->d3.rows() : nullptr,
        .marks = rows.data(),
        .mark_grids = static_cast<int32_t>(rows.size()),
        .dtab_res = dtab_res.rows(),
        .sun_hours = sun_hours != nullptr ? sun_hours->rows() : nullptr,
        .pp0 = pressure != nullptr && !pressure->pp0.empty() ? pressure->pp0.rows() : nullptr,
        .level = pressure != nullptr && !pressure->level.empty() ? pressure->level.rows() : nullptr,
        .beam = beam != nullptr ? beam->beam->rows() : nullptr,
        .beam_index = beam_index != nullptr ? beam_index->rows() : nullptr,
        .diffuse = diffuse != nullptr ? diffuse->diffuse->rows() : nullptr,
        .horizontal = diffuse != nullptr ? diffuse->horizontal->rows() : nullptr,
        .view = diffuse != nullptr ? diffuse->view->rows() : nullptr,
        .slopes = diffuse != nullptr ? diffuse->slopes->rows() : nullptr,
        .diffuse_index =
            diffuse != nullptr && diffuse->diffuse_index != nullptr ? diffuse->diffuse_index->rows() : nullptr,
        .nb_lig = dtab.nb_lig(),
        .nb_col = dtab.nb_col(),
        .col_first = window ? wanted.column : 0,
        .col_last = window ? wanted.column + wanted.columns : 0};
    for (int q = 0; q < count; q++) {
        const ShadingTerms s = shading_terms(passes[q].elev, passes[q].azim, dsizepix);
        const ClearSky sky = skies != nullptr ? skies[q] : ClearSky{};
        t[q] = {.cc = s.cc,
                .cs = s.cs,
                .sr = s.sr,
                .attenuation = attenuation,
                .spots = passes[q].weight.divisor,
                .hours = passes[q].weight.hours,
                .irradiance = sky.irradiance,
                .air_mass = sky.air_mass,
                .linke = sky.linke,
                .beam_attenuation = beam != nullptr ? beam->attenuation : 0.0,
                .beam_index = sky.beam_index,
                .beam_levels = nullptr,
                .dh = 0,
                .sin_h = 0,
                .inv_sin_h = 0,
                .inv_g0h = 0,
                .inv_low = 0,
                .ca = 0,
                .sa = 0,
                .r2 = 0};
        if (diffuse != nullptr) {
            const DiffuseTerms d =
                diffuse_terms(SunPosition(passes[q].elev, passes[q].azim, passes[q].weight, sky), dsizepix);
            t[q].dh = d.dh;
            t[q].sin_h = d.sun.sin_h;
            t[q].inv_sin_h = d.sun.inv_sin_h;
            t[q].inv_g0h = d.sun.inv_g0h;
            t[q].inv_low = d.sun.inv_low;
            t[q].ca = d.sun.ca;
            t[q].sa = d.sun.sa;
            t[q].r2 = d.shading.r2;
        }
    }
    const kernels::Sweep *k = &TL_CHOSEN_KERNELS(sweep);
    // The beam normal irradiance of every level, position by position.
    std::vector<double> tables[kernels::kSweepPositions];
    if (g.level != nullptr) {
        const std::vector<double> &levels = pressure->levels;
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
    const int32_t first = window ? wanted.line : 0;
    const int32_t last = window ? wanted.line + wanted.lines : dtab.nb_lig();
#pragma omp parallel for schedule(static) if (worth_threads(last - first, window ? wanted.columns : dtab.nb_col()))
    for (int32_t i = first; i < last; i++)
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
        // The rises of the Horn plane.
        if (options.slope == Slope::Horn)
            bytes = saturating_sum({bytes, doubles, doubles});
        // The diffuse light: its accumulations, the slopes' terms, the pressure ratios.
        if (options.diffuse)
            bytes = saturating_sum({bytes, doubles, doubles, doubles, doubles});
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
        // The window wanted, inside the grid; the whole grid with the rays,
        // whose marks the sweep must clear everywhere.
        wanted_ = CellWindow{};
        if (options.shadows == ShadowMethod::Exact && options.wanted.lines > 0) {
            const CellWindow &w = options.wanted;
            const int32_t l0 = std::clamp(w.line, 0, nl), c0 = std::clamp(w.column, 0, nc);
            const int32_t l1 = std::clamp(w.line + w.lines, l0, nl), c1 = std::clamp(w.column + w.columns, c0, nc);
            if (l1 > l0 && c1 > c0)
                wanted_ = {l0, c0, l1 - l0, c1 - c0};
        }
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
        if (options.diffuse) {
            acc_.diffuse = Grid<double>(nl, nc);
            acc_.horizontal = Grid<double>(nl, nc);
            made = made && !acc_.diffuse.empty() && !acc_.horizontal.empty() && options.sky_view != nullptr;
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
        if (options.slope == Slope::Horn) {
            try {
                rises_ = horn_rises(dtab, wanted_);
            } catch (const std::bad_alloc &) {
                release();
                throw;
            }
            prepare_normals(rises_.d2, rises_.d3, dsizepix, bn_, wanted_);
        }
        holes_ = options.shadows == ShadowMethod::Exact && has_holes(dtab);
        if (options.beam || options.diffuse) {
            try {
                prepare_pressure(dtab, options.beam_by_levels, pressure_);
                if (options.diffuse)
                    slopes_ = muneer_slopes(dtab, options.slope == Slope::Horn ? &rises_ : nullptr, dsizepix);
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

    Accumulation cut() override
    {
        flush();
        return cut_accumulation(acc_);
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
            exact_marks(*dtab_, dtab_t_, elev, azim, dsizepix_, options_.curvature, holes_, marks, bit, options_.origin,
                        wanted_);
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
        const BeamPass beam{&pressure_, &acc_.beam, options_.beam_attenuation, skies_, options_.beam_index};
        const DiffusePass diffuse{.pressure = &pressure_,
                                  .skies = skies_,
                                  .view = options_.sky_view,
                                  .slopes = &slopes_,
                                  .beam_index = options_.beam_index,
                                  .diffuse_index = options_.diffuse_index,
                                  .diffuse = &acc_.diffuse,
                                  .horizontal = &acc_.horizontal};
        shade_and_accumulate(*dtab_, bn_, queue_, queued_, dsizepix_, options_.attenuation, marks_, acc_.illumination,
                             options_.sun_hours ? &acc_.sun_hours : nullptr, options_.beam ? &beam : nullptr,
                             options_.slope == Slope::Horn ? &rises_ : nullptr, options_.diffuse ? &diffuse : nullptr,
                             wanted_);
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
        slopes_ = Grid<double>();
        rises_ = SlopeRises();
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
    Grid<double> slopes_; // Muneer's function of the slope, with the diffuse light
    SlopeRises rises_;    // with the Horn plane
    SunPass queue_[kMaxSweepPositions] = {};
    ClearSky skies_[kMaxSweepPositions];
    CellWindow wanted_; // no lines: every cell
    int batch_ = 1;
    int queued_ = 0;
    bool holes_ = false; // some cells lack data
    Accumulation acc_;
};

} // namespace

std::unique_ptr<Engine> make_fast_engine() { return std::make_unique<FastEngine>(); }

} // namespace terralume
