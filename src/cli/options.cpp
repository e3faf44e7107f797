#include "options.h"
#include "run.h"
#include "sky_options.h"
#include "solar_period.h"
#include "sun.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <regex>

namespace terralume::cli
{

namespace
{

constexpr int32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const char *const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};

const char kDescription[] =
    "Sunlight over a period on every cell of a terrain: how squarely each cell faces the sun, from its\n"
    "slope and aspect, and where the relief casts its shadow, summed over the sun's positions. DEM is any\n"
    "raster GDAL reads (or a dialogue model NAME_m2.raw / NAME_m4.raw with its descriptor); OUTPUT is\n"
    "written with the DEM's georeference. Without arguments, terralume runs its dialogue instead.\n";

const char kFooter[] =
    "\nOutputs (--output, several separated by commas; with more than one, OUTPUT's name takes _KIND before its\n"
    "extension):\n"
    "  sunhours      hours of direct sun over the period (Float32)\n"
    "  illumination  the accumulated light, 255.999 a sunlit cell facing the sun, comparable between runs (Float32)\n"
    "  index         an 8-bit image of the light: normalized, smoothed 3 x 3, stretched over 0..254 (Byte)\n"
    "  shadow        1 in cast shadow, 0 elsewhere, for --sun-position (Byte)\n"
    "  beam          clear-sky beam irradiation on the cell's surface over the period, Wh/m2 (Float32;\n"
    "                solar sun): zero in cast shadow, or the --attenuation share of it when that is given\n"
    "  elevation     the elevations computed with, in metres, on the grid computed (Float64, nodata NaN)\n"
    "  horizon       the horizon's elevation in degrees, one band an azimuth (Float32, --horizon-directions)\n"
    "  svf           the sky-view factor, 0..1: the share of an even sky's light the cell's surface receives\n"
    "  diffuse       clear-sky diffuse irradiation on the surface under the horizons, Wh/m2 (Float32; solar)\n"
    "  reflected     light reflected by the terrain around (--albedo), Wh/m2 (Float32; solar)\n"
    "  global        beam + diffuse + reflected, Wh/m2 (Float32; solar)\n"
    "With --series month or day, sunhours, beam, diffuse, reflected and global take one band a month or a day,\n"
    "each described by its dates; the other outputs keep one band.\n"
    "Rasters of --albedo and --clear-sky-index: read as they stand when on the grid computed (or when either has\n"
    "no georeference and they have its size), else warped onto it, bilinear, from their own coordinate system;\n"
    "a cell with an elevation must have a value there within range (albedo 0..1, index 0..2), or the run is\n"
    "refused.\n"
    "Cells without a result are nodata: 255 in Byte outputs, -9999 in Float32 ones.\n"
    "The dialogue's image, byte for byte: --output index --sun simple --shadows rays --slope dialogue.\n"
    "Exit status: 0 written; 1 a file cannot be read or written, or the DEM does not fit, no earlier output\n"
    "touched; 2 bad usage; 3 written, but standard output could not be.\n";

// "-of" and "-co", as GDAL's programs spell them, are long options here.
std::vector<std::string> arguments(int argc, const char *const *argv)
{
    std::vector<std::string> args;
    for (int k = argc - 1; k >= 1; k--) {
        const std::string a = argv[k];
        args.push_back(a == "-of" ? "--format" : a == "-co" ? "--co" : a);
    }
    return args; // CLI11 takes them in reverse order
}

double finite(const std::string &option, double v)
{
    if (!std::isfinite(v))
        throw UsageError(option + ": must be a finite number");
    return v;
}

// The option's value into a valid period's settings, refused with check()'s
// reason when it cannot be right.
void check_setting(const std::string &option, const std::function<void(SolarSettings &)> &set)
{
    SolarSettings t;
    set(t);
    const std::string wrong = check(t);
    if (!wrong.empty())
        throw UsageError(option + ": " + wrong);
}

bool dated(const std::string &text)
{
    static const std::regex form("[0-9]{4}-[0-9]{2}-[0-9]{2}");
    return std::regex_match(text, form);
}

struct MonthDay {
    int month = 1;
    int day = 1;
};

// An MM-DD date of a common year; `no_leap_day` says why 29 February is not one.
MonthDay month_day(const std::string &date, const std::string &option, const std::string &no_leap_day)
{
    static const std::regex form("([0-9]{1,2})-([0-9]{1,2})");
    std::smatch m;
    if (!std::regex_match(date, m, form))
        throw UsageError(option + " " + date + ": a date is MM-DD, such as 06-21");
    const int month = std::stoi(m[1]);
    const int day = std::stoi(m[2]);
    if (month < 1 || month > 12)
        throw UsageError(option + " " + date + ": there is no month " + std::to_string(month));
    if (month == 2 && day == 29)
        throw UsageError(option + " " + date + ": " + no_leap_day);
    if (day < 1 || day > kMonthDays[month - 1])
        throw UsageError(option + " " + date + ": " + kMonths[month - 1] + " has no day " + std::to_string(day));
    return {month, day};
}

CivilDate solar_date(const std::string &text, const std::string &option)
{
    CivilDate d;
    if (!dated(text)) {
        const std::string year = std::to_string(kReferenceYear);
        if (!std::regex_match(text, std::regex("[0-9]{1,2}-[0-9]{1,2}")))
            throw UsageError(option + " " + text + ": a date is YYYY-MM-DD, such as 2026-06-01, or MM-DD, such as " +
                             "06-01, of the reference year " + year);
        const MonthDay md = month_day(text, option,
                                      "the reference year " + year +
                                          " has no 29 February; give a date of a leap year, such as 2024-02-29");
        d = {kReferenceYear, md.month, md.day};
    } else if (!parse_date(text, d)) {
        throw UsageError(option + " " + text + ": there is no such date in the calendar");
    }
    check_setting(option + " " + text, [&](SolarSettings &t) { t.from = t.to = d; });
    return d;
}

// The period of the solar sun. Dates are both YYYY-MM-DD, or both MM-DD of
// the reference year (a period that passes the year's end then ends in the
// next). A date left out is the first or last day of the other's year, or
// of the reference year.
void solar_dates(Options &o, bool from_given, bool to_given)
{
    if (from_given && to_given && dated(o.from) != dated(o.to))
        throw UsageError("--from " + o.from + ", --to " + o.to +
                         ": give both dates as YYYY-MM-DD, or both as MM-DD of the reference year " +
                         std::to_string(kReferenceYear));
    o.solar.from = from_given ? solar_date(o.from, "--from") : CivilDate{kReferenceYear, 1, 1};
    o.solar.to = to_given ? solar_date(o.to, "--to") : CivilDate{kReferenceYear, 12, 31};
    const bool years = (from_given && dated(o.from)) || (to_given && dated(o.to));
    o.reference_year = !years;
    if (years && !from_given)
        o.solar.from = {o.solar.to.year, 1, 1};
    if (years && !to_given)
        o.solar.to = {o.solar.from.year, 12, 31};
    if (!years && (o.solar.to.month < o.solar.from.month ||
                   (o.solar.to.month == o.solar.from.month && o.solar.to.day < o.solar.from.day)))
        o.solar.to.year++;
    check_setting("--to " + o.to, [&](SolarSettings &t) {
        t.from = o.solar.from;
        t.to = o.solar.to;
    });
}

// A day of the simple sun, whose days belong to no year.
int32_t simple_day(const std::string &date, const std::string &option)
{
    if (dated(date))
        throw UsageError(option + " " + date + ": the simple sun's days are MM-DD, of no year, such as " +
                         date.substr(5) + "; a dated day needs the solar sun (--sun solar, the default)");
    return day_of(date, option);
}

} // namespace

const char *kind_name(OutputKind kind)
{
    for (const KindName &k : kKindNames)
        if (k.kind == kind)
            return k.name;
    return "?";
}

int32_t day_of(const std::string &date, const std::string &option)
{
    const MonthDay md = month_day(date, option, "the simple sun's year has no 29 February");
    return day_number(md.day, md.month);
}

const char *version() { return TL_VERSION; }

std::optional<Options> parse_options(int argc, const char *const *argv, std::ostream &out)
{
    Options o;
    std::vector<std::string> kinds;
    std::string sun_position;
    CLI::App app(kDescription, "terralume");
    app.footer(kFooter);
    app.get_formatter()->column_width(30);
    app.add_option("DEM", o.dem, "Elevation model")->required();
    app.add_option("OUTPUT", o.output, "Result raster")->required();
    app.add_option("--band", o.band, "Band of the DEM to read (default 1)");
    app.add_option("--pixel-size", o.pixel_size, "Side of a cell [m]; default from the georeference");
    app.add_option("--lat", o.lat, "Latitude [degree, north positive]; default the DEM's centre");
    app.add_option("--z-unit", o.z_unit,
                   "Unit of the elevations: m, dm, cm, mm, ft (the international foot, 0.3048 m) or us-ft (the\n"
                   "US survey foot, 1200/3937 m); default m");
    app.add_flag("--keep-grid", o.keep_grid, "Warp the outputs of a reprojected DEM back onto its own grid");
    app.add_option("--nodata", o.nodata, "Elevation value of cells without data; default the band's");
    const std::string year = std::to_string(kReferenceYear);
    app.add_option("--from", o.from,
                   "First day of the period: YYYY-MM-DD, or MM-DD of the reference year " + year +
                       " (default 01-01);\nMM-DD only with --sun simple");
    app.add_option("--to", o.to,
                   "Last day of the period, included: YYYY-MM-DD, or MM-DD (default 12-31 of --from's year, or of\n" +
                       year + ")");
    app.add_option("--attenuation", o.attenuation,
                   "Per cent of its light a cell in cast shadow keeps (default 50); the beam keeps it only when given");
    std::string sun = "solar", shadows = "exact", slope = "horn";
    bool curvature = false, no_curvature = false, no_refraction = false;
    app.add_option("--sun", sun,
                   "Sun model: solar (the real sun over dated days, a position every --step minutes; default) or\n"
                   "simple (the same sun every year, rising at 6 h and setting at 18 h, a position each hour from 7 h\n"
                   "to 17 h)");
    app.add_option("--step", o.solar.step_minutes, "Solar: minutes between positions, a divisor of a day (default 10)");
    app.add_option("--utc-offset", o.utc_offset, "Solar: the local days' time zone [hour]; default round(lon / 15)");
    app.add_option("--lon", o.lon, "Solar: longitude [degree, east positive]; default the DEM's centre");
    app.add_option("--height", o.height, "Solar: height of the place [m]; default the elevation at the DEM's centre");
    app.add_option("--pressure", o.solar.air.pressure,
                   "Solar: mean pressure for the refraction [hPa] (default 1013.25)");
    app.add_option("--temperature", o.solar.air.temperature,
                   "Solar: mean temperature for the refraction [degree C] (default 15)");
    app.add_flag("--no-refraction", no_refraction, "Solar: the sun's geometric elevation, without refraction");
    SkyArgs sky;
    app.add_option("--linke", sky.linke,
                   "Solar: Linke turbidity factor of the clear sky (default 3.0), or 12 values, one a month");
    app.add_option("--shadows", shadows,
                   "Cast shadows: exact (where the surface through the cell centres hides the sun; default) or\n"
                   "rays (quicker: heights read along digital lines of cells toward the sun, which break shadows\n"
                   "into streaks between the axes)");
    app.add_option("--slope", slope,
                   "The plane a cell faces the sun with: horn (the 3 x 3 gradient centred on the cell, as GIS tools\n"
                   "take slope and aspect; default) or dialogue (through the cell and its neighbours to the south\n"
                   "and the east: the plane of a point half a cell to the south-east)");
    app.add_flag("--curvature", curvature, "Exact shadows: the Earth's curvature lowers distant terrain (default)");
    app.add_flag("--no-curvature", no_curvature, "Exact shadows: a flat Earth");
    app.add_option("--normalization", o.normalization, "Of the index output: raw, percent or grey (default grey)");
    app.add_option("--output", kinds,
                   "What to write: sunhours, illumination, index, shadow, beam, elevation, horizon, svf, diffuse,\n"
                   "reflected, global (default sunhours)")
        ->delimiter(',')
        ->allow_extra_args(false);
    add_sky_options(app, o, sky);
    app.add_option("--sun-position", sun_position, "ELEV,AZIM [degree, azimuth clockwise from north] for shadow");
    app.add_option("--format", o.format, "GDAL format of the outputs (also -of); default from OUTPUT's extension");
    app.add_option("--co", o.creation_options, "GDAL creation option NAME=VALUE (also -co), repeatable")
        ->allow_extra_args(false);
    app.add_flag("-q,--quiet", o.quiet, "No progress, notes or wrote lines; errors and warnings only");
    app.add_option("--threads", o.threads, "Threads to compute with (default all cores)");
    app.add_option("--tile", o.tile, "Compute tile after tile, each CELLS wide with its halo (see docs/tiles.md)");
    app.add_option("--halo", o.halo, "Tiles: the terrain read around each tile [m]; default the longest shadow");
    app.add_option("--min-sun-elevation", o.min_sun_elevation,
                   "Tiles: the lowest sun the halo holds the shadows of [degree]; default the period's lowest");
    app.add_option("--memory", o.memory_gib, "Tiles: the memory one tile may take [GiB]; default what is available");
    app.set_version_flag("--version", std::string("terralume ") + version(), "Print the version and exit");

    // An empty value is refused by name, not read as 0 or as no option.
    std::vector<std::string> args = arguments(argc, argv);
    for (size_t k = args.size(); k-- > 0;) {
        const std::string &a = args[k];
        const size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        const CLI::Option *opt = a.rfind("--", 0) == 0 ? app.get_option_no_throw(name) : nullptr;
        if (opt == nullptr || opt->get_items_expected_min() == 0)
            continue;
        const std::string value = eq != std::string::npos ? a.substr(eq + 1) : k > 0 ? args[k - 1] : "-";
        if (name == "--format" && argc > 0)
            name = "-of";
        else if (name == "--co")
            name = "-co";
        if (value.empty())
            throw UsageError(name + ": an empty value");
        if (name == "--output")
            for (size_t p = 0;; p++) {
                const size_t comma = value.find(',', p);
                if (comma == p || (comma == std::string::npos && p == value.size()))
                    throw UsageError("--output " + value + ": an empty kind between commas");
                if (comma == std::string::npos)
                    break;
                p = comma;
            }
    }
    // The positionals in order (args are reversed), option values skipped.
    int positional = 0;
    for (size_t k = args.size(); k-- > 0;) {
        const std::string &a = args[k];
        const CLI::Option *opt = a.size() > 1 && a[0] == '-' ? app.get_option_no_throw(a) : nullptr;
        if (opt != nullptr) {
            if (opt->get_items_expected_min() > 0 && k > 0)
                k--; // its value
            continue;
        }
        if (a.empty())
            throw UsageError(std::string(positional == 0 ? "DEM" : "OUTPUT") + ": an empty name");
        if (a[0] != '-')
            positional++;
    }
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp &) {
        out << app.help();
        return std::nullopt;
    } catch (const CLI::CallForVersion &e) {
        out << e.what() << "\n";
        return std::nullopt;
    } catch (const CLI::ParseError &e) {
        throw UsageError(e.what());
    }

    if (o.band < 1)
        throw UsageError("--band " + std::to_string(o.band) + ": bands are numbered from 1");
    if (o.pixel_size && !run::usable_pixel_size(finite("--pixel-size", *o.pixel_size)))
        throw UsageError("--pixel-size: the side of a cell must be positive (and under 2147483648 m)");
    if (o.lat && !(finite("--lat", *o.lat) >= -90 && *o.lat <= 90))
        throw UsageError("--lat: a latitude lies between -90 and 90 degrees");
    if (o.nodata && std::isinf(*o.nodata))
        throw UsageError("--nodata: must be a number (NaN cells are always nodata)");
    const ZUnit *unit = nullptr;
    for (const ZUnit &u : kZUnits)
        if (o.z_unit == u.name)
            unit = &u;
    if (unit == nullptr)
        throw UsageError("--z-unit " + o.z_unit + ": the unit is m, dm, cm, mm, ft or us-ft");
    o.z_multiplier = unit->multiplier;
    o.z_divisor = unit->divisor;
    const bool from_given = app.count("--from") > 0;
    const bool to_given = app.count("--to") > 0;
    if (sun == "solar") {
        o.solar_sun = true;
        solar_dates(o, from_given, to_given);
        check_setting("--step " + std::to_string(o.solar.step_minutes),
                      [&](SolarSettings &t) { t.step_minutes = o.solar.step_minutes; });
        if (o.utc_offset)
            check_setting("--utc-offset", [&](SolarSettings &t) { t.utc_offset = *o.utc_offset; });
        if (o.lon)
            check_setting("--lon", [&](SolarSettings &t) { t.place.lon = *o.lon; });
        if (o.height)
            check_setting("--height", [&](SolarSettings &t) { t.place.height = *o.height; });
        check_setting("--pressure", [&](SolarSettings &t) { t.air.pressure = o.solar.air.pressure; });
        check_setting("--temperature", [&](SolarSettings &t) { t.air.temperature = o.solar.air.temperature; });
        if (!sky.linke.empty() && sky.linke.find(',') == std::string::npos) {
            o.solar.linke = std::strtod(sky.linke.c_str(), nullptr);
            check_setting("--linke", [&](SolarSettings &t) { t.linke = o.solar.linke; });
        }
        o.solar.air.refraction = !no_refraction;
        if (no_refraction && (app.count("--pressure") > 0 || app.count("--temperature") > 0))
            o.warnings.push_back("--pressure and --temperature only change the refraction, which --no-refraction "
                                 "turns off");
    } else if (sun == "simple") {
        for (const char *option : {"--step", "--utc-offset", "--lon", "--height", "--pressure", "--temperature",
                                   "--no-refraction", "--linke"})
            if (app.count(option) > 0)
                throw UsageError(std::string(option) + ": only the solar sun uses it, not --sun simple");
        o.solar_sun = false;
        o.first_day = simple_day(o.from, "--from");
        o.last_day = simple_day(o.to, "--to");
    } else {
        throw UsageError("--sun " + sun + ": the sun model is simple or solar");
    }
    if (shadows == "rays")
        o.shadows = ShadowMethod::Rays;
    else if (shadows != "exact")
        throw UsageError("--shadows " + shadows + ": the cast-shadow method is rays or exact");
    if (slope == "dialogue")
        o.slope = Slope::Dialogue;
    else if (slope != "horn")
        throw UsageError("--slope " + slope + ": the plane of a cell is horn or dialogue");
    if (curvature && no_curvature)
        throw UsageError("--curvature, --no-curvature: give one of them");
    o.curvature = !no_curvature;
    if ((curvature || no_curvature) && o.shadows == ShadowMethod::Rays)
        o.warnings.push_back(std::string(curvature ? "--curvature" : "--no-curvature") +
                             " only changes --shadows exact; the rays ignore it");
    o.attenuation_given = app.count("--attenuation") > 0;
    if (!(finite("--attenuation", o.attenuation) >= 0))
        throw UsageError("--attenuation: a share of light cannot be below 0 per cent");
    static const char *const modes[] = {"raw", "percent", "grey"};
    o.norm = -1;
    for (int k = 0; k < 3; k++)
        if (o.normalization == modes[k])
            o.norm = k;
    if (o.norm < 0)
        throw UsageError("--normalization " + o.normalization + ": the normalization is raw, percent or grey");
    if (kinds.empty())
        kinds.push_back("sunhours");
    for (const std::string &k : kinds) {
        const KindName *found = nullptr;
        for (const KindName &n : kKindNames)
            if (k == n.name)
                found = &n;
        if (found == nullptr)
            throw UsageError("--output " + k +
                             ": the outputs are sunhours, illumination, index, shadow, beam, elevation, horizon, svf, "
                             "diffuse, reflected and global");
        for (OutputKind had : o.kinds)
            if (had == found->kind)
                throw UsageError("--output: " + k + " is named twice");
        o.kinds.push_back(found->kind);
    }
    const bool shadow = std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Shadow) != o.kinds.end();
    if (!o.solar_sun && std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Beam) != o.kinds.end())
        throw UsageError("--output beam: the beam needs the solar sun, not --sun simple");
    if (!sun_position.empty()) {
        double elev = 0, azim = 0;
        char rest = 0;
        if (std::sscanf(sun_position.c_str(), "%lf,%lf%c", &elev, &azim, &rest) != 2)
            throw UsageError("--sun-position " + sun_position + ": give ELEV,AZIM in degrees, such as 30,135");
        if (!(finite("--sun-position", elev) > 0 && elev <= 90))
            throw UsageError("--sun-position: the sun's elevation must be above 0 and at most 90 degrees");
        if (!(finite("--sun-position", azim) >= 0 && azim <= 360))
            throw UsageError("--sun-position: the azimuth lies between 0 and 360 degrees");
        o.sun_position = std::make_pair(elev, azim);
        if (!shadow)
            throw UsageError("--sun-position: only the shadow output uses it; add --output shadow");
    } else if (shadow) {
        throw UsageError("--output shadow: needs --sun-position ELEV,AZIM");
    }
    check_sky_options(app, sky, o);
    if (app.count("--threads") > 0 && o.threads < 1)
        throw UsageError("--threads: the number of threads must be positive");
    if (o.threads > kMaxThreads)
        throw UsageError("--threads " + std::to_string(o.threads) + ": at most " + std::to_string(kMaxThreads) +
                         " threads");
    if (app.count("--tile") > 0 && o.tile < 1)
        throw UsageError("--tile: a tile is at least one cell wide");
    if (o.halo && !(finite("--halo", *o.halo) >= 0))
        throw UsageError("--halo: the halo cannot be below 0 metres");
    if (o.min_sun_elevation && !(finite("--min-sun-elevation", *o.min_sun_elevation) >= 0 && *o.min_sun_elevation < 90))
        throw UsageError("--min-sun-elevation: an elevation from 0 to under 90 degrees");
    if (o.memory_gib && !(finite("--memory", *o.memory_gib) > 0))
        throw UsageError("--memory: the memory must be above 0 GiB");
    if (o.tile == 0 && (o.halo || o.min_sun_elevation || o.memory_gib))
        o.warnings.push_back("--halo, --min-sun-elevation and --memory only change a run by tiles (--tile)");
    if (app.count("--normalization") > 0 &&
        std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Index) == o.kinds.end())
        o.warnings.push_back("--normalization only changes the index output, which this run does not write");
    const auto writes = [&](OutputKind k) { return std::find(o.kinds.begin(), o.kinds.end(), k) != o.kinds.end(); };
    if (o.attenuation_given && !writes(OutputKind::Illumination) && !writes(OutputKind::Index) &&
        !writes(OutputKind::Beam))
        o.warnings.push_back("--attenuation only changes the illumination, index and beam outputs, which this run "
                             "does not write");
    return o;
}

} // namespace terralume::cli
