#include "options.h"
#include "sun.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

namespace terralume::cli
{

namespace
{

constexpr int32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const char *const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};

const char kDescription[] =
    "Sunlight over a period of the year on every cell of a terrain: self-shading from each cell's slope and\n"
    "cast shadows from the relief, hour by hour. DEM is any raster GDAL reads (or a dialogue model\n"
    "NAME_m2.raw / NAME_m4.raw with its descriptor); OUTPUT is written with the DEM's georeference.\n"
    "Without arguments, terralume runs its dialogue instead.\n";

const char kFooter[] =
    "\nOutputs (--output, several separated by commas; with more than one, OUTPUT's name takes _KIND before its\n"
    "extension):\n"
    "  index         the dialogue's 8-bit image: normalized, smoothed 3 x 3, stretched over 0..254 (Byte)\n"
    "  illumination  the accumulated light before normalization, comparable between runs (Float32)\n"
    "  sunhours      hours of direct sun over the period (Float32)\n"
    "  shadow        1 in cast shadow, 0 elsewhere, for --sun-position (Byte)\n"
    "Cells without a result are nodata: 255 in Byte outputs, -9999 in Float32 ones.\n"
    "Exit status: 0 written; 1 a file cannot be read or written, or the DEM does not fit; 2 bad usage.\n";

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
    static const std::regex form("([0-9]{1,2})-([0-9]{1,2})");
    std::smatch m;
    if (!std::regex_match(date, m, form))
        throw UsageError(option + " " + date + ": a date is MM-DD, such as 06-21");
    const int month = std::stoi(m[1]);
    const int day = std::stoi(m[2]);
    if (month < 1 || month > 12)
        throw UsageError(option + " " + date + ": there is no month " + std::to_string(month));
    if (month == 2 && day == 29)
        throw UsageError(option + " " + date + ": the sun model's year has no 29 February");
    if (day < 1 || day > kMonthDays[month - 1])
        throw UsageError(option + " " + date + ": " + kMonths[month - 1] + " has no day " + std::to_string(day));
    return day_number(day, month);
}

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
    app.add_option("--z-unit", o.z_unit, "Unit of the elevations: m, dm, cm or mm (default m)");
    app.add_flag("--keep-grid", o.keep_grid, "Warp the outputs of a geographic DEM back onto its grid");
    app.add_option("--nodata", o.nodata, "Elevation value of cells without data; default the band's");
    app.add_option("--from", o.from, "First day of the period, MM-DD (default 01-01)");
    app.add_option("--to", o.to, "Last day of the period, MM-DD (default 12-31)");
    app.add_option("--attenuation", o.attenuation, "Per cent of its light a cell in cast shadow keeps (default 50)");
    app.add_option("--normalization", o.normalization, "Of the index output: raw, percent or grey (default grey)");
    app.add_option("--output", kinds, "What to write: index, illumination, sunhours, shadow (default sunhours)")
        ->delimiter(',')
        ->allow_extra_args(false);
    app.add_option("--sun-position", sun_position, "ELEV,AZIM [degree, azimuth clockwise from north] for shadow");
    app.add_option("--format", o.format, "GDAL format of the outputs (also -of); default from OUTPUT's extension");
    app.add_option("--co", o.creation_options, "GDAL creation option NAME=VALUE (also -co), repeatable")
        ->allow_extra_args(false);
    app.add_flag("-q,--quiet", o.quiet, "No progress, notes or wrote lines; errors and warnings only");
    app.add_option("--threads", o.threads, "Threads to compute with (default all cores)");

    try {
        app.parse(arguments(argc, argv));
    } catch (const CLI::CallForHelp &) {
        out << app.help();
        return std::nullopt;
    } catch (const CLI::ParseError &e) {
        throw UsageError(e.what());
    }

    if (o.band < 1)
        throw UsageError("--band " + std::to_string(o.band) + ": bands are numbered from 1");
    if (o.pixel_size && !(finite("--pixel-size", *o.pixel_size) > 0 && *o.pixel_size * *o.pixel_size > 0 &&
                          *o.pixel_size < 2147483648.0))
        throw UsageError("--pixel-size: the side of a cell must be positive (and under 2147483648 m)");
    if (o.lat && !(finite("--lat", *o.lat) >= -90 && *o.lat <= 90))
        throw UsageError("--lat: a latitude lies between -90 and 90 degrees");
    if (o.nodata && std::isinf(*o.nodata))
        throw UsageError("--nodata: must be a number (NaN cells are always nodata)");
    static const std::pair<const char *, double> units[] = {{"m", 1}, {"dm", 10}, {"cm", 100}, {"mm", 1000}};
    bool unit = false;
    for (const auto &[name, rescale] : units)
        if (o.z_unit == name) {
            o.rescale = rescale;
            unit = true;
        }
    if (!unit)
        throw UsageError("--z-unit " + o.z_unit + ": the unit is m, dm, cm or mm");
    o.first_day = day_of(o.from, "--from");
    o.last_day = day_of(o.to, "--to");
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
            throw UsageError("--output " + k + ": the outputs are index, illumination, sunhours and shadow");
        for (OutputKind had : o.kinds)
            if (had == found->kind)
                throw UsageError("--output: " + k + " is named twice");
        o.kinds.push_back(found->kind);
    }
    const bool shadow = std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Shadow) != o.kinds.end();
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
    if (app.count("--threads") > 0 && o.threads < 1)
        throw UsageError("--threads: the number of threads must be positive");
    if (app.count("--normalization") > 0 &&
        std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Index) == o.kinds.end())
        o.warnings.push_back("--normalization only changes the index output, which this run does not write");
    return o;
}

} // namespace terralume::cli
