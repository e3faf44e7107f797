// The straightforward passes as an engine: for each sun position the self-
// shading of every cell, the cast-shadow rays from every border cell each
// traced and swept as a list, then the superposition and accumulation. The
// fast engine is held to its bits.
#include "accumulation.h"
#include "cast_shadow.h"
#include "diffuse.h"
#include "engine.h"
#include "exact_shadow.h"
#include "fast_engine.h"
#include "formulas.h"
#include "parallel.h"
#include "shading.h"

#include <new>

namespace terralume
{

namespace
{

class ReferenceEngine final : public Engine
{
  public:
    uint64_t bytes_needed(int32_t nb_lig, int32_t nb_col, const EngineOptions &options) const override
    {
        // dtab_s, dtab_sp, the accumulation, the hours, the pressure ratios
        // and the beam, the marks, and one
        // ray list a thread (a double and two 32-bit integers an entry).
        const uint64_t doubles = matrix_bytes(nb_col, nb_lig, sizeof(double));
        const uint64_t entries = static_cast<uint64_t>(cast_geometry(nb_lig, nb_col, 45, 0, 1).n);
        return saturating_sum({doubles, doubles, doubles, options.sun_hours ? doubles : 0, options.beam ? doubles : 0,
                               options.beam ? doubles : 0, matrix_bytes(nb_col, nb_lig, 1),
                               entries * 16 * static_cast<uint64_t>(max_threads()),
                               options.shadows == ShadowMethod::Exact ? exact_bytes(nb_lig, nb_col, 1) : 0,
                               options.slope == Slope::Horn ? doubles : 0, options.slope == Slope::Horn ? doubles : 0,
                               options.diffuse ? 4 * doubles : 0});
    }

    void begin(const Grid<double> &dtab, double dsizepix, const EngineOptions &options) override
    {
        const int32_t nl = dtab.nb_lig();
        const int32_t nc = dtab.nb_col();
        dtab_ = &dtab;
        dsizepix_ = dsizepix;
        options_ = options;
        dtab_s_ = Grid<double>(nl, nc);
        dtab_sp_ = Grid<double>(nl, nc);
        tab_cs_ = Grid<unsigned char>(nl, nc);
        acc_.illumination = Grid<double>(nl, nc);
        rays_ = ray_lists(cast_geometry(nl, nc, 45, 0, dsizepix).n, max_threads());
        bool made =
            !dtab_s_.empty() && !dtab_sp_.empty() && !tab_cs_.empty() && !acc_.illumination.empty() && !rays_.empty();
        if (options.sun_hours) {
            acc_.sun_hours = Grid<double>(nl, nc);
            made = made && !acc_.sun_hours.empty();
        }
        if (options.beam) {
            acc_.beam = Grid<double>(nl, nc);
            made = made && !acc_.beam.empty();
        }
        if (options.beam || options.diffuse) {
            pp0_ = Grid<double>(nl, nc);
            made = made && !pp0_.empty();
        }
        if (options.diffuse) {
            acc_.diffuse = Grid<double>(nl, nc);
            acc_.horizontal = Grid<double>(nl, nc);
            made = made && !acc_.diffuse.empty() && !acc_.horizontal.empty() && options.sky_view != nullptr;
        }
        if (!made) {
            release();
            throw std::bad_alloc();
        }
        if (options.beam || options.diffuse)
            for (int32_t i = 0; i < nl; i++)
                for (int32_t j = 0; j < nc; j++)
                    pp0_.at(i, j) = formulas::pressure_ratio(dtab.at(i, j));
        if (options.slope == Slope::Horn) {
            try {
                rises_ = horn_rises(dtab);
            } catch (const std::bad_alloc &) {
                release();
                throw;
            }
        }
        if (options.diffuse) {
            try {
                slopes_ = muneer_slopes(dtab, options.slope == Slope::Horn ? &rises_ : nullptr, dsizepix);
            } catch (const std::bad_alloc &) {
                release();
                throw;
            }
        }
    }

    void add_position(const SunPosition &p) override
    {
        if (options_.slope == Slope::Horn)
            shadow(rises_, p.elev, p.azim, dsizepix_, dtab_s_);
        else
            shadow(*dtab_, p.elev, p.azim, dsizepix_, dtab_s_);
        cast(p.elev, p.azim);
        superp_cast(dtab_s_, tab_cs_, options_.attenuation, p.weight.divisor, dtab_sp_, acc_.illumination);
        if (options_.sun_hours)
            for (int32_t i = 0; i < dtab_->nb_lig(); i++)
                for (int32_t j = 0; j < dtab_->nb_col(); j++)
                    acc_.sun_hours.at(i, j) = formulas::sun_hours_added(dtab_s_.at(i, j), tab_cs_.at(i, j) == 1,
                                                                        p.weight.hours, 0.0, acc_.sun_hours.at(i, j));
        if (options_.beam)
            add_beam(p);
        if (options_.diffuse) {
            const auto normal = [this, &p](int32_t i, int32_t j) { return beam_normal_at(p, i, j); };
            add_diffuse(
                *dtab_, options_.slope == Slope::Horn ? &rises_ : nullptr, *options_.sky_view, slopes_,
                diffuse_terms(p, dsizepix_), [this](int32_t i, int32_t j) { return tab_cs_.at(i, j) == 1; }, normal,
                options_.diffuse_index, acc_.diffuse, acc_.horizontal);
        }
    }

    Grid<unsigned char> shadow_marks(double elev, double azim) override
    {
        cast(elev, azim);
        Grid<unsigned char> marks(dtab_->nb_lig(), dtab_->nb_col());
        if (marks.empty())
            throw std::bad_alloc();
        for (int32_t i = 0; i < dtab_->nb_lig(); i++)
            for (int32_t j = 0; j < dtab_->nb_col(); j++)
                marks.at(i, j) = tab_cs_.at(i, j);
        return marks;
    }

    Accumulation finish() override
    {
        Accumulation acc = std::move(acc_);
        release();
        return acc;
    }

    Accumulation cut() override { return cut_accumulation(acc_); }

  private:
    // The beam normal irradiance of cell (i, j) under the real sky: the
    // clear sky's at its pressure ratio, times the position's index, times
    // the cell's own when given.
    double beam_normal_at(const SunPosition &p, int32_t i, int32_t j) const
    {
        const double n =
            formulas::beam_normal(p.sky.irradiance, p.sky.air_mass, p.sky.linke, pp0_.at(i, j)) * p.sky.beam_index;
        return options_.beam_index != nullptr ? n * options_.beam_index->at(i, j) : n;
    }

    // The beam of one position, cell by cell, with the incidence as the
    // shading computes it; with the dialogue's plane, the last line and
    // column, which have no incidence, receive none.
    void add_beam(const SunPosition &p)
    {
        const ShadingTerms t = shading_terms(p.elev, p.azim, dsizepix_);
        const Grid<double> &z = *dtab_;
        const bool horn = options_.slope == Slope::Horn;
        for (int32_t i = 0; i < z.nb_lig() - (horn ? 0 : 1); i++)
            for (int32_t j = 0; j < z.nb_col() - (horn ? 0 : 1); j++) {
                const double d2 = horn ? rises_.d2.at(i, j) : z.at(i + 1, j) - z.at(i, j);
                const double d3 = horn ? rises_.d3.at(i, j) : z.at(i, j + 1) - z.at(i, j);
                const double bn = formulas::normal_length(d2, d3, t.r2);
                const double rad = formulas::incidence(t.cc, t.cs, t.sr, d2, d3, bn);
                const double normal = beam_normal_at(p, i, j);
                acc_.beam.at(i, j) = formulas::beam_added(rad, tab_cs_.at(i, j) == 1, normal, options_.beam_attenuation,
                                                          p.weight.hours, 0.0, acc_.beam.at(i, j));
            }
    }

    // The cast-shadow pass: tab_cs describes this position alone.
    void cast(double elev, double azim)
    {
        if (options_.shadows == ShadowMethod::Exact) {
            tab_cs_.fill(0);
            exact_cast(*dtab_,
                       exact_geometry(dtab_->nb_lig(), dtab_->nb_col(), elev, azim, dsizepix_, options_.curvature,
                                      options_.origin),
                       tab_cs_);
            return;
        }
        const CastGeometry g = cast_geometry(dtab_->nb_lig(), dtab_->nb_col(), elev, azim, dsizepix_);
        tab_cs_.fill(0);
        for (const Border b : kBorderOrder)
            cast_border(b, g, *dtab_, dsizepix_, rays_, tab_cs_);
    }

    void release()
    {
        dtab_s_ = Grid<double>();
        dtab_sp_ = Grid<double>();
        tab_cs_ = Grid<unsigned char>();
        pp0_ = Grid<double>();
        slopes_ = Grid<double>();
        rises_ = SlopeRises();
        rays_.clear();
        acc_ = Accumulation();
    }

    const Grid<double> *dtab_ = nullptr;
    double dsizepix_ = 0;
    EngineOptions options_;
    Grid<double> dtab_s_;
    Grid<double> dtab_sp_;
    Grid<unsigned char> tab_cs_;
    Grid<double> pp0_;
    Grid<double> slopes_; // Muneer's function of the slope, with the diffuse light
    SlopeRises rises_;    // with the Horn plane
    std::vector<RayList> rays_;
    Accumulation acc_;
};

} // namespace

Accumulation cut_accumulation(Accumulation &acc)
{
    Accumulation part;
    const auto renew = [](Grid<double> &from, Grid<double> &to) {
        if (from.empty())
            return;
        Grid<double> fresh(from.nb_lig(), from.nb_col());
        if (fresh.empty())
            throw std::bad_alloc();
        to = std::move(from);
        from = std::move(fresh);
    };
    renew(acc.sun_hours, part.sun_hours);
    renew(acc.beam, part.beam);
    renew(acc.diffuse, part.diffuse);
    renew(acc.horizontal, part.horizontal);
    return part;
}

std::unique_ptr<Engine> make_engine(EngineKind kind)
{
    if (kind == EngineKind::Reference)
        return std::make_unique<ReferenceEngine>();
    return make_fast_engine();
}

} // namespace terralume
