// A run assembled once for every face: the sun positions of a period fed to
// the engine in order, the final treatment of the accumulation into the
// dialogue's image, the memory a run needs, and the checks every face makes
// of a grid and its cells. The dialogue, the command line and the programs
// built on them call this layer; it does no console or file work.
//
//     run::Positions positions = run::Positions::hourly(days, lat, weight);
//     const run::Computed c = run::compute(*engine, dtab, pixel, options, positions, progress);
//     const run::Range range = run::accumulation_range(c.acc.illumination, cells);
//     run::index_image(c.acc.illumination, norm, range, cells, 255, tab, itab, image);
#ifndef TERRALUME_RUN_RUN_H
#define TERRALUME_RUN_RUN_H

#include "engine.h"
#include "grid.h"
#include "period.h"
#include "solar_period.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace terralume::run
{

// The longest side a grid may have: a cast-shadow ray runs sqrt(2) times the
// longer side from any border cell, and its ends are 32-bit cell indices.
constexpr int32_t kMaxSide = 800000000;

// Whether cells `metres` wide can be computed: positive, with a square that
// is not 0 (below about 1e-162 it underflows, and a flat cell would divide
// by 0), and whose whole part fits the 32-bit number of the dialogue's report.
bool usable_pixel_size(double metres);

// The farthest a cell's cast shadow can reach [metre] over terrain of
// `relief` metres (the highest elevation less the lowest) with the sun at
// `elevation` degrees or higher: the distance d at which a straight line
// rising tan(elevation) d, plus d^2 / (2 x 6 371 000 m) with the Earth's
// curvature, clears the relief. Infinite for a sun at or below the horizon
// without curvature. The halo a tile reads around its core, so that its
// cells' shadows are those of the whole raster.
double shadow_reach(double relief, double elevation, bool curvature);

// Where a position stands in its period, for a face's progress: its day (the
// day number with the hourly sun; with the solar sun, unknown, -1) and its
// whole hour (-1 with the solar sun).
struct Moment {
    int32_t day = -1;
    int hour = -1;
    // Its local day, when the positions are dated (Positions::dated).
    CivilDate date;
};

// A period cut into bands: the whole, one band a calendar month (the first
// and last cut to the period's days), or one a day.
enum class Series { Whole, Month, Day };

// The days of one band, the first and the last included.
struct SeriesBand {
    CivilDate first;
    CivilDate last;
};

// The bands of the days from .. to (to not before from), in order.
std::vector<SeriesBand> series_bands(Series series, const CivilDate &from, const CivilDate &to);
// How many there are, without making them.
int64_t series_band_count(Series series, const CivilDate &from, const CivilDate &to);

// The sun positions of a period, in time order: the dialogue's hourly sun
// over days of the model's year, made as they are visited (a period of the
// dialogue may run for millions of days), or the positions of a solar
// period, made beforehand (solar_period.h).
class Positions
{
  public:
    // Every day of `days`, at most `max_days` of them, every whole hour with
    // the sun up at latitude `lat` [degree]; each position weighs `weight`.
    static Positions hourly(std::vector<DayRange> days, double lat, Weight weight, int64_t max_days = INT64_MAX);
    // `dates`: the local day of each position (solar_period's), or none.
    static Positions solar(std::vector<SunPosition> positions, std::vector<CivilDate> dates = {});

    // The hourly days dated: day numbers of the common year `year`, a period
    // that passes the year's end running into the next.
    Positions &dated(int year);
    bool is_dated() const { return solar_ ? !solar_dates_.empty() : year_ != 0; }

    // How many there are (with the hourly sun, found by visiting them).
    size_t count() const;
    // on_day(day) as each day of the hourly sun starts, then on_position for
    // every position of that day; with the solar sun, on_position only.
    void visit(const std::function<void(int32_t day)> &on_day,
               const std::function<void(const SunPosition &, const Moment &)> &on_position) const;

  private:
    std::vector<DayRange> days_;
    double lat_ = 0;
    Weight weight_;
    int64_t max_days_ = 0;
    bool solar_ = false;
    std::vector<SunPosition> solar_positions_;
    std::vector<CivilDate> solar_dates_;
    int year_ = 0; // of the hourly days, when dated
};

// Callbacks of a computation, for a face's progress; any may be empty.
struct Progress {
    std::function<void(int32_t day)> day;
    // Before a position is handed to the engine.
    std::function<void(const SunPosition &, const Moment &)> position;
    // After it, with the count of positions done.
    std::function<void(size_t done)> done;
};

// What one computation makes: the accumulation over the positions, and the
// cast-shadow marks of one more sun position when asked (1 in cast shadow).
struct Computed {
    Accumulation acc;
    Grid<unsigned char> marks;
    // With a series: the hours, beam, diffuse and horizontal grids of each
    // band, in order (acc then holds the illumination alone).
    std::vector<Accumulation> bands;
};

// The sun angles [degree] of one position whose cast shadow is wanted.
struct SunAngles {
    double elev;
    double azim;
};

// Begins `engine` over `dtab` (cells `pixel_size` metres wide), makes the
// marks of `shadow_at` when given, adds every position in order and hands
// over the accumulation. With `series` (dated positions, whose days all lie
// in its bands), each band's positions are accumulated on their own, one
// Accumulation a band, a band without positions all zero; the illumination
// over them all. Throws std::bad_alloc when the engine's grids cannot be
// made.
Computed compute(Engine &engine, const Grid<double> &dtab, double pixel_size, const EngineOptions &options,
                 const Positions &positions, const Progress &progress = {},
                 std::optional<SunAngles> shadow_at = std::nullopt, const std::vector<SeriesBand> *series = nullptr);

// The range the dialogue's normalization spans: the lowest and highest
// accumulated value over the cells with a result (`cells`, see nodata.h; all
// but the last line and column when null), by strict comparison against
// 100000 and 0.
struct Range {
    double dmin = 100000;
    double dmax = 0;
};
Range accumulation_range(const Grid<double> &illumination, const Grid<unsigned char> *cells);

// The dialogue's image of the accumulation: normalized over `range` by
// `norm` (0 raw, 1 per cent, 2 grey tones) into `tab`, summed over 3 x 3
// windows into `itab` and stretched into `image`. With `cells`, cells
// without a value are skipped and get `no_value` in `image`. The grids are
// the caller's, all of the accumulation's size.
void index_image(const Grid<double> &illumination, int32_t norm, const Range &range, const Grid<unsigned char> *cells,
                 unsigned char no_value, Grid<unsigned char> &tab, Grid<int32_t> &itab, Grid<unsigned char> &image);

// What a run holds, for the memory it needs.
enum class Face { Dialogue, CommandLine };
struct Footprint {
    Face face = Face::Dialogue;
    int32_t lines = 0;
    int32_t columns = 0;
    EngineKind engine = EngineKind::Fast;
    EngineOptions options; // what the engine accumulates, its shadow method
    // The dialogue: its samples' width, 2 or 4 bytes.
    int32_t sample_bytes = 2;
    // The command line: what reading the DEM holds besides the elevations
    // (the samples, a format's blocks, a reprojection's grids), what writing
    // the largest output holds (its raster and the format's blocks), the
    // index image, the bytes of the solar positions (solar_period_bytes).
    uint64_t reading_bytes = 0;
    uint64_t writing_bytes = 0;
    bool index = false;
    uint64_t position_bytes = 0;
    // The command line: the horizons and sky view, held from before the
    // computation to the writing.
    uint64_t sky_bytes = 0;
    // The bands of a series (0 or 1: none), each holding the additive grids
    // the options accumulate from the computation to the writing.
    int64_t series_bands = 0;
};

// The bytes a run takes at its peak: its own grids and the engine's, each
// line of each grid counted as the allocator makes it, the program itself
// and its libraries not included.
uint64_t run_bytes(const Footprint &f);

// Why the grid of a run cannot be held (a side past kMaxSide, a size in
// bytes that overflows, or more than `memory` bytes), or nothing when it can.
// The kinds let each face say it in its own words.
struct SizeProblem {
    enum Kind { Side, Overflow, Memory } kind;
    uint64_t bytes = 0; // needed, with Memory
};
std::optional<SizeProblem> size_problem(const Footprint &f, uint64_t memory);

} // namespace terralume::run

#endif
