#include "run.h"
#include "accumulation.h"
#include "final_treatment.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

namespace terralume::run
{

bool usable_pixel_size(double metres) { return metres > 0 && metres * metres > 0 && metres < 2147483648.0; }

double shadow_reach(double relief, double elevation, bool curvature)
{
    if (!(relief > 0))
        return 0;
    const double t = std::tan(elevation * (4 * std::atan(1.0) / 180));
    if (!curvature)
        return t > 0 ? relief / t : std::numeric_limits<double>::infinity();
    // d^2 / (2 R) + t d = relief, its positive root (t may be negative).
    constexpr double kRadius = 6371000;
    return kRadius * (std::sqrt(t * t + 2 * relief / kRadius) - t);
}

namespace
{

namespace chr = std::chrono;

bool before(const CivilDate &a, const CivilDate &b)
{
    return a.year != b.year ? a.year < b.year : a.month != b.month ? a.month < b.month : a.day < b.day;
}

chr::sys_days days_of(const CivilDate &d)
{
    return chr::sys_days{chr::year{d.year} / chr::month{static_cast<unsigned>(d.month)} /
                         chr::day{static_cast<unsigned>(d.day)}};
}

CivilDate date_of(chr::sys_days d)
{
    const chr::year_month_day y{d};
    return {static_cast<int>(y.year()), static_cast<int>(static_cast<unsigned>(y.month())),
            static_cast<int>(static_cast<unsigned>(y.day()))};
}

// Month and day of a day number 1..365 of a common year.
CivilDate common_date(int year, int32_t day)
{
    static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    while (month < 11 && day > kDays[month]) {
        day -= kDays[month];
        month++;
    }
    return {year, month + 1, static_cast<int>(day)};
}

} // namespace

std::vector<SeriesBand> series_bands(Series series, const CivilDate &from, const CivilDate &to)
{
    if (series == Series::Whole)
        return {{from, to}};
    std::vector<SeriesBand> bands;
    for (CivilDate d = from; !before(to, d);) {
        CivilDate last = d;
        if (series == Series::Month) {
            const chr::year_month_day_last end{chr::year{d.year} / chr::month{static_cast<unsigned>(d.month)} /
                                               chr::last};
            last = date_of(chr::sys_days{end});
            if (before(to, last))
                last = to;
        }
        bands.push_back({d, last});
        d = date_of(days_of(last) + chr::days{1});
    }
    return bands;
}

int64_t series_band_count(Series series, const CivilDate &from, const CivilDate &to)
{
    if (series == Series::Whole)
        return 1;
    if (series == Series::Day)
        return (days_of(to) - days_of(from)).count() + 1;
    return (int64_t{to.year} * 12 + to.month) - (int64_t{from.year} * 12 + from.month) + 1;
}

Positions Positions::hourly(std::vector<DayRange> days, double lat, Weight weight, int64_t max_days)
{
    Positions p;
    p.days_ = std::move(days);
    p.lat_ = lat;
    p.weight_ = weight;
    p.max_days_ = max_days;
    return p;
}

Positions Positions::solar(std::vector<SunPosition> positions, std::vector<CivilDate> dates)
{
    Positions p;
    p.solar_ = true;
    p.solar_positions_ = std::move(positions);
    p.solar_dates_ = std::move(dates);
    return p;
}

Positions &Positions::dated(int year)
{
    year_ = year;
    return *this;
}

size_t Positions::count() const
{
    if (solar_)
        return solar_positions_.size();
    size_t n = 0;
    visit_hourly_positions(
        days_, lat_, weight_, max_days_, [](int32_t) {}, [&n](const SunPosition &, int) { n++; });
    return n;
}

void Positions::visit(const std::function<void(int32_t day)> &on_day,
                      const std::function<void(const SunPosition &, const Moment &)> &on_position) const
{
    if (solar_) {
        const bool dates = !solar_dates_.empty();
        for (size_t k = 0; k < solar_positions_.size(); k++)
            on_position(solar_positions_[k], Moment{-1, -1, dates ? solar_dates_[k] : CivilDate{}});
        return;
    }
    int32_t today = 0;
    int year = year_;
    CivilDate date;
    visit_hourly_positions(
        days_, lat_, weight_, max_days_,
        [&](int32_t day) {
            if (year_ != 0 && day < today)
                year++; // past the year's end
            today = day;
            if (year_ != 0)
                date = common_date(year, day);
            if (on_day)
                on_day(day);
        },
        [&](const SunPosition &p, int hour) {
            on_position(p, Moment{today, hour, date});
        });
}

Computed compute(Engine &engine, const Grid<double> &dtab, double pixel_size, const EngineOptions &options,
                 const Positions &positions, const Progress &progress, std::optional<SunAngles> shadow_at,
                 const std::vector<SeriesBand> *series)
{
    Computed c;
    engine.begin(dtab, pixel_size, options);
    if (shadow_at)
        c.marks = engine.shadow_marks(shadow_at->elev, shadow_at->azim);
    size_t done = 0;
    size_t band = 0;
    const size_t bands = series != nullptr ? series->size() : 0;
    positions.visit(progress.day, [&](const SunPosition &p, const Moment &when) {
        // The bands before this position's day are complete.
        while (band + 1 < bands && before((*series)[band].last, when.date)) {
            c.bands.push_back(engine.cut());
            band++;
        }
        if (progress.position)
            progress.position(p, when);
        engine.add_position(p);
        if (progress.done)
            progress.done(++done);
    });
    for (; band + 1 < bands; band++)
        c.bands.push_back(engine.cut());
    c.acc = engine.finish();
    if (bands > 0) {
        Accumulation last;
        last.sun_hours = std::move(c.acc.sun_hours);
        last.beam = std::move(c.acc.beam);
        last.diffuse = std::move(c.acc.diffuse);
        last.horizontal = std::move(c.acc.horizontal);
        c.bands.push_back(std::move(last));
    }
    return c;
}

Range accumulation_range(const Grid<double> &illumination, const Grid<unsigned char> *cells)
{
    Range r;
    if (cells != nullptr)
        scan_range(illumination, *cells, r.dmin, r.dmax);
    else
        scan_range(illumination, r.dmin, r.dmax);
    return r;
}

void index_image(const Grid<double> &illumination, int32_t norm, const Range &range, const Grid<unsigned char> *cells,
                 unsigned char no_value, Grid<unsigned char> &tab, Grid<int32_t> &itab, Grid<unsigned char> &image)
{
    normalize(illumination, norm, range.dmin, range.dmax - range.dmin, tab);
    if (cells != nullptr)
        pins(tab, *cells, no_value, itab, image);
    else
        pins(tab, itab, image);
}

namespace
{

uint64_t grid(const Footprint &f, uint64_t element) { return matrix_bytes(f.columns, f.lines, element); }

// The accumulation's grids: the illumination, and the hours and the beam
// when asked.
uint64_t accumulation_bytes(const Footprint &f)
{
    const uint64_t doubles = grid(f, sizeof(double));
    return saturating_sum({doubles, f.options.sun_hours ? doubles : 0, f.options.beam ? doubles : 0});
}

// The dialogue holds a grid of bytes, the 32-bit samples (later the window
// sums) and the elevations in metres all along. Then, in turn: a block of the
// file as the model is read; the engine's grids, the accumulation among them;
// the accumulation and the result image.
uint64_t dialogue_bytes(const Footprint &f)
{
    const uint64_t line = static_cast<uint64_t>(f.columns) * static_cast<uint64_t>(f.sample_bytes);
    const uint64_t loading = std::max(line, std::min(uint64_t{32} << 20, line * static_cast<uint64_t>(f.lines)));
    const uint64_t computing = make_engine(f.engine)->bytes_needed(f.lines, f.columns, EngineOptions{});
    const uint64_t finishing = saturating_sum({grid(f, sizeof(double)), grid(f, 1)});
    return saturating_sum(
        {grid(f, 1), grid(f, sizeof(int32_t)), grid(f, sizeof(double)), std::max({loading, computing, finishing})});
}

// The command line holds the elevations in metres all along. Before them,
// what reading the DEM takes. Then, with the cells' classes, in turn: the
// engine's grids with the solar positions; the accumulation with the index
// image's three grids; the accumulation, the index and an output being
// written.
uint64_t command_line_bytes(const Footprint &f)
{
    const uint64_t doubles = grid(f, sizeof(double));
    const uint64_t computing =
        saturating_sum({make_engine(f.engine)->bytes_needed(f.lines, f.columns, f.options), f.position_bytes});
    const uint64_t image = f.index ? grid(f, 1) : 0;
    const uint64_t indexing = f.index ? saturating_sum({image, grid(f, 1), grid(f, sizeof(int32_t))}) : 0;
    const uint64_t finishing =
        saturating_sum({accumulation_bytes(f), std::max(indexing, saturating_sum({image, f.writing_bytes}))});
    // A series holds every band's additive grids from the first cut to the
    // writing, besides the engine's own.
    const uint64_t additive = (f.options.sun_hours ? 1 : 0) + (f.options.beam ? 1 : 0) + (f.options.diffuse ? 2 : 0);
    const uint64_t per_band = doubles > UINT64_MAX / std::max<uint64_t>(additive, 1) ? UINT64_MAX : doubles * additive;
    const auto bands = static_cast<uint64_t>(std::max<int64_t>(f.series_bands, 0));
    const uint64_t series =
        bands > 1 ? (per_band > 0 && bands > UINT64_MAX / per_band ? UINT64_MAX : bands * per_band) : 0;
    return saturating_sum({doubles, f.sky_bytes, series,
                           std::max(f.reading_bytes, saturating_sum({grid(f, 1), std::max(computing, finishing)}))});
}

} // namespace

uint64_t run_bytes(const Footprint &f) { return f.face == Face::Dialogue ? dialogue_bytes(f) : command_line_bytes(f); }

std::optional<SizeProblem> size_problem(const Footprint &f, uint64_t memory)
{
    if (std::max(f.lines, f.columns) > kMaxSide)
        return SizeProblem{SizeProblem::Side};
    const uint64_t bytes = run_bytes(f);
    if (bytes > static_cast<uint64_t>(PTRDIFF_MAX))
        return SizeProblem{SizeProblem::Overflow, bytes};
    if (bytes > memory)
        return SizeProblem{SizeProblem::Memory, bytes};
    return std::nullopt;
}

} // namespace terralume::run
