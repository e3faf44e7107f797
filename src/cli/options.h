// The options of a command-line run, parsed and checked: every value that
// cannot be right is refused here, before any file is opened.
#ifndef TERRALUME_CLI_OPTIONS_H
#define TERRALUME_CLI_OPTIONS_H

#include "engine.h"
#include "run.h"
#include "solar_period.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace terralume::cli
{

// What a run can write, one file each.
enum class OutputKind {
    Index,
    Illumination,
    SunHours,
    Shadow,
    Beam,
    Elevation,
    Horizon,
    SkyView,
    Diffuse,
    Reflected,
    Global
};

struct KindName {
    OutputKind kind;
    const char *name;
};
inline constexpr KindName kKindNames[] = {
    {OutputKind::Index, "index"},       {OutputKind::Illumination, "illumination"},
    {OutputKind::SunHours, "sunhours"}, {OutputKind::Shadow, "shadow"},
    {OutputKind::Beam, "beam"},         {OutputKind::Elevation, "elevation"},
    {OutputKind::Horizon, "horizon"},   {OutputKind::SkyView, "svf"},
    {OutputKind::Diffuse, "diffuse"},   {OutputKind::Reflected, "reflected"},
    {OutputKind::Global, "global"},
};
const char *kind_name(OutputKind kind);

// The year of the solar sun's MM-DD dates, and of a run given no period: a
// common year fixed here, never the clock's, so that a command gives the
// same bits whatever the year it is run in.
inline constexpr int kReferenceYear = 2025;

// A unit of the elevations: metres = sample x multiplier / divisor, each a
// whole number, so that the metres of whole samples are rounded once.
struct ZUnit {
    const char *name;
    double multiplier;
    double divisor;
};
inline constexpr ZUnit kZUnits[] = {
    {"m", 1, 1},           {"dm", 1, 10},       {"cm", 1, 100},
    {"mm", 1, 1000},       {"ft", 3048, 10000}, // the international foot, 0.3048 m
    {"us-ft", 1200, 3937},                      // the US survey foot, 1200 / 3937 m
};

// The sky beyond the beam: horizons, sky view, diffuse and reflected light.
struct SkySettings {
    int horizon_directions = 36;
    double horizon_distance = 0; // [metre]; 0: the whole grid
    bool bare_sky_view = false;  // --sky-view slope: (1 + cos S) / 2 for the diffuse and reflected light
    double albedo = 0.2;
    std::string albedo_raster; // --albedo FILE: every cell's albedo, in place of `albedo`
    bool kwh = false;          // --units kWh: irradiations in kWh/m2
    // --linke with 12 values, one a month (else --linke's one in SolarSettings).
    std::vector<double> monthly_linke;
    // --clear-sky-index: one pair, or one a month; empty for the clear sky.
    std::vector<std::pair<double, double>> clear_sky_index;
    // --clear-sky-index KB.tif,KD.tif: every cell's indices (both or none).
    std::string beam_index_raster, diffuse_index_raster;
    // --series: one band a month or a day of the additive outputs.
    run::Series series = run::Series::Whole;
};

struct Options {
    std::string dem;
    std::string output;
    int band = 1;
    std::optional<double> pixel_size; // [metre]
    std::optional<double> lat;        // [degree]
    std::optional<double> nodata;
    std::string z_unit = "m";
    double z_multiplier = 1; // of the unit: metres = sample x z_multiplier / z_divisor
    double z_divisor = 1;
    bool keep_grid = false;
    std::string from = "01-01";
    std::string to = "12-31";
    int32_t first_day = 1; // day numbers of --from and --to
    int32_t last_day = 365;
    double attenuation = 50;        // [per cent]
    bool attenuation_given = false; // the beam keeps that share in cast shadow only when given
    // The sun model: true the real sun (solar_period.h), false the simple
    // one (hourly, rising at 6 h and setting at 18 h). With the real sun
    // `solar` holds the dates, step, zone and air; its place is completed
    // from the DEM unless --lon / --height give it.
    bool solar_sun = true;
    SolarSettings solar;
    bool reference_year = false;      // the solar dates are MM-DD (or none) of kReferenceYear
    std::optional<double> lon;        // [degree]
    std::optional<double> utc_offset; // [hour]
    std::optional<double> height;     // [metre]
    ShadowMethod shadows = ShadowMethod::Exact;
    Slope slope = Slope::Horn;
    bool curvature = true;
    std::string normalization = "grey";
    int32_t norm = 2; // the dialogue's mode: 0 raw, 1 per cent, 2 grey tones
    std::vector<OutputKind> kinds;
    std::optional<std::pair<double, double>> sun_position; // elevation, azimuth [degree]
    std::string format;                                    // -of
    std::vector<std::string> creation_options;             // -co
    bool quiet = false;
    int threads = 0;                   // 0: the machine's
    std::vector<std::string> warnings; // options given but without effect on this run
    // Tiles (tiles.h): the side of a tile's core in cells (0: none), the
    // halo read around it, the lowest sun the halo is made for, the memory
    // a tile may take; where the grid computed lies in the whole raster, and
    // the cells of it that are written (a tile's core; no lines: all).
    int32_t tile = 0;
    std::optional<double> halo;              // [metre]
    std::optional<double> min_sun_elevation; // [degree]
    std::optional<double> memory_gib;
    GridOrigin origin;
    CellWindow wanted;
    SkySettings sky;
};

// The most threads a run takes (--threads): beyond the cores of any machine
// it runs on, and within what the OpenMP runtime starts.
constexpr int kMaxThreads = 1024;

// Bad usage; the message names the option and the reason.
class UsageError : public std::runtime_error
{
  public:
    explicit UsageError(const std::string &message) : std::runtime_error(message) {}
};

// Parses argv (argv[0] the program). Prints the usage on `out` and returns
// nothing for --help, the version for --version; throws UsageError
// otherwise when the command line is wrong.
std::optional<Options> parse_options(int argc, const char *const *argv, std::ostream &out);

// Day number of an MM-DD date of a common year; throws UsageError naming
// `option` when there is no such day.
int32_t day_of(const std::string &date, const std::string &option);

// The program's version, as --version prints it.
const char *version();

} // namespace terralume::cli

#endif
