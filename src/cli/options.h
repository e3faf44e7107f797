// The options of a command-line run, parsed and checked: every value that
// cannot be right is refused here, before any file is opened.
#ifndef TERRALUME_CLI_OPTIONS_H
#define TERRALUME_CLI_OPTIONS_H

#include "engine.h"
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
enum class OutputKind { Index, Illumination, SunHours, Shadow, Beam };

struct KindName {
    OutputKind kind;
    const char *name;
};
inline constexpr KindName kKindNames[] = {
    {OutputKind::Index, "index"},       {OutputKind::Illumination, "illumination"},
    {OutputKind::SunHours, "sunhours"}, {OutputKind::Shadow, "shadow"},
    {OutputKind::Beam, "beam"},
};
const char *kind_name(OutputKind kind);

struct Options {
    std::string dem;
    std::string output;
    int band = 1;
    std::optional<double> pixel_size; // [metre]
    std::optional<double> lat;        // [degree]
    std::optional<double> nodata;
    std::string z_unit = "m";
    double rescale = 1; // sample units per metre
    bool keep_grid = false;
    std::string from = "01-01";
    std::string to = "12-31";
    int32_t first_day = 1; // day numbers of --from and --to
    int32_t last_day = 365;
    double attenuation = 50;        // [per cent]
    bool attenuation_given = false; // the beam keeps that share in cast shadow only when given
    // The sun model: false the dialogue's (hourly, sun at 6 h and 18 h on the
    // horizon), true the solar one (solar_period.h). With the solar model
    // `solar` holds the dates, step, zone and air; its place is completed
    // from the DEM unless --lon / --height give it.
    bool solar_sun = false;
    SolarSettings solar;
    std::optional<double> lon;        // [degree]
    std::optional<double> utc_offset; // [hour]
    std::optional<double> height;     // [metre]
    ShadowMethod shadows = ShadowMethod::Rays;
    Slope slope = Slope::Dialogue;
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
// nothing for --help; throws UsageError otherwise when the command line is
// wrong.
std::optional<Options> parse_options(int argc, const char *const *argv, std::ostream &out);

// Day number of an MM-DD date of the model's common year; throws UsageError
// naming `option` when there is no such day.
int32_t day_of(const std::string &date, const std::string &option);

} // namespace terralume::cli

#endif
