#include "command_line.h"
#include "commit.h"
#include "computation.h"
#include "engine.h"
#include "horizon.h"
#include "memory.h"
#include "nodata.h"
#include "options.h"
#include "output.h"
#include "parallel.h"
#include "period.h"
#include "progress.h"
#include "raster.h"
#include "run.h"
#include "sky_options.h"
#include "sky_view.h"
#include "solar_period.h"
#include "tiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <unistd.h>
#include <utility>

namespace terralume::cli
{

namespace
{

namespace fs = std::filesystem;

// Nodata of the outputs: the index never reaches 255; illumination and
// hours are never negative.
constexpr double kByteNodata = 255;
constexpr double kFloatNodata = -9999;
// Half-diagonals of a raster [km] past which the solar model, whose sun is
// the centre's, warns and refuses.
constexpr double kWarnedExtent = 50;
constexpr double kRefusedExtent = 500;

std::string number(double v)
{
    char s[64];
    std::snprintf(s, sizeof s, "%.6f", v);
    return s;
}

// What one kind of output needs from the run and makes of its results.
struct KindTraits {
    OutputKind kind;
    gis::SampleType type;
    bool computed;    // by the engine (the elevations are not)
    bool positions;   // the sun positions of the period
    bool sun_hours;   // the engine's hours of direct sun
    bool beam;        // the engine's clear-sky beam
    bool attenuation; // the light kept in cast shadow changes it
    const char *description;
    const char *unit;
    gis::Layer (*layer)(const Results &r, const Options &o);
};

gis::Layer float_layer(const Results &r, const Grid<double> &values)
{
    gis::Layer l;
    l.type = gis::SampleType::Float32;
    l.nodata = kFloatNodata;
    l.line = [&r, &values](int32_t i, double *v) {
        for (int32_t j = 0; j < r.cells.nb_col(); j++)
            v[j] = r.cells[i][j] == kResultCell ? values[i][j] : kFloatNodata;
    };
    return l;
}

// A layer of values made cell by cell.
gis::Layer cell_layer(const Results &r, std::function<double(int32_t i, int32_t j)> value)
{
    gis::Layer l;
    l.type = gis::SampleType::Float32;
    l.nodata = kFloatNodata;
    l.line = [&r, value = std::move(value)](int32_t i, double *v) {
        for (int32_t j = 0; j < r.cells.nb_col(); j++)
            v[j] = r.cells[i][j] == kResultCell ? value(i, j) : kFloatNodata;
    };
    return l;
}

// A layer of classes, in bytes.
gis::Layer byte_layer(decltype(gis::Layer::line) line)
{
    gis::Layer l;
    l.type = gis::SampleType::Byte;
    l.nodata = kByteNodata;
    l.classes = true;
    l.line = std::move(line);
    return l;
}

gis::Layer index_layer(const Results &r, const Options &o)
{
    gis::Layer l = byte_layer([&r](int32_t i, double *v) {
        for (int32_t j = 0; j < r.index.nb_col(); j++)
            v[j] = r.index[i][j];
    });
    l.metadata = {{"TERRALUME_NORMALIZATION", o.normalization},
                  {"TERRALUME_ACCUMULATION_RANGE", number(r.dmin) + " " + number(r.dmax)}};
    return l;
}

gis::Layer illumination_layer(const Results &r, const Options &) { return float_layer(r, r.acc.illumination); }

// The value of an additive kind at cell (i, j) of one accumulation.
using AdditiveValue = double (*)(const Results &r, const Options &o, const Accumulation &a, int32_t i, int32_t j);

// An additive kind's layer: one band of the whole period, or one a band of
// the series, each described by its dates.
gis::Layer additive_layer(const Results &r, const Options &o, AdditiveValue value)
{
    const auto of = [&r, &o, value](const Accumulation &a) {
        return [&r, &o, &a, value](int32_t i, int32_t j) { return value(r, o, a, i, j); };
    };
    if (r.bands.empty())
        return cell_layer(r, of(r.acc));
    gis::Layer l = cell_layer(r, of(r.bands[0]));
    for (size_t k = 1; k < r.bands.size(); k++)
        l.more_bands.push_back({cell_layer(r, of(r.bands[k])).line, band_dates(o, r.series[k])});
    return l;
}

// The irradiations in the unit asked; Wh/m2 untouched.
double in_unit(const Options &o, double wh) { return o.sky.kwh ? wh / 1000 : wh; }

double sun_hours_of(const Results &, const Options &, const Accumulation &a, int32_t i, int32_t j)
{
    return a.sun_hours[i][j];
}

double beam_of(const Results &, const Options &o, const Accumulation &a, int32_t i, int32_t j)
{
    return in_unit(o, a.beam[i][j]);
}

gis::Layer sun_hours_layer(const Results &r, const Options &o) { return additive_layer(r, o, sun_hours_of); }

gis::Layer beam_layer(const Results &r, const Options &o) { return additive_layer(r, o, beam_of); }

// The grid computed with, in metres; NaN, which no elevation can be, where
// there is none.
gis::Layer elevation_layer(const Results &r, const Options &)
{
    gis::Layer l;
    l.type = gis::SampleType::Float64;
    l.nodata = std::numeric_limits<double>::quiet_NaN();
    l.line = [&r](int32_t i, double *v) {
        for (int32_t j = 0; j < r.dem.dtab.nb_col(); j++)
            v[j] = r.dem.dtab[i][j] == kNoElevation ? std::numeric_limits<double>::quiet_NaN() : r.dem.dtab[i][j];
    };
    return l;
}

gis::Layer shadow_layer(const Results &r, const Options &o)
{
    gis::Layer l = byte_layer([&r](int32_t i, double *v) {
        for (int32_t j = 0; j < r.cells.nb_col(); j++)
            v[j] = r.cells[i][j] == kResultCell ? r.marks[i][j] : kByteNodata;
    });
    l.metadata = {{"TERRALUME_SUN_POSITION", number(o.sun_position->first) + " " + number(o.sun_position->second)}};
    return l;
}

// One band an azimuth, each described by it.
gis::Layer horizon_layer(const Results &r, const Options &o)
{
    const auto band = [&r](size_t k) {
        return [&r, k](int32_t i, double *v) {
            for (int32_t j = 0; j < r.cells.nb_col(); j++)
                v[j] = r.cells[i][j] == kResultCell ? r.horizons[k][i][j] : kFloatNodata;
        };
    };
    const auto description = [&o](size_t k) {
        char a[32];
        std::snprintf(a, sizeof a, "%.6g", horizon_azimuth(static_cast<int>(k), o.sky.horizon_directions));
        return std::string("horizon toward azimuth ") + a + " degree";
    };
    gis::Layer l;
    l.type = gis::SampleType::Float32;
    l.nodata = kFloatNodata;
    l.line = band(0);
    for (size_t k = 1; k < r.horizons.size(); k++)
        l.more_bands.push_back({band(k), description(k)});
    return l;
}

gis::Layer sky_view_layer(const Results &r, const Options &) { return float_layer(r, r.sky_view); }

// The terrain's view of the reflected light: 1 less the sky's; the albedo
// the cell's own with --albedo FILE.
double reflected_in(const Results &r, const Options &o, const Accumulation &a, int32_t i, int32_t j)
{
    const double view = o.sky.bare_sky_view ? r.bare_view[i][j] : r.sky_view[i][j];
    const double albedo = r.albedo.empty() ? o.sky.albedo : r.albedo[i][j];
    return albedo * (1 - view) * a.horizontal[i][j];
}

double diffuse_of(const Results &, const Options &o, const Accumulation &a, int32_t i, int32_t j)
{
    return in_unit(o, a.diffuse[i][j]);
}

double reflected_of(const Results &r, const Options &o, const Accumulation &a, int32_t i, int32_t j)
{
    return in_unit(o, reflected_in(r, o, a, i, j));
}

double global_of(const Results &r, const Options &o, const Accumulation &a, int32_t i, int32_t j)
{
    return in_unit(o, a.beam[i][j] + a.diffuse[i][j] + reflected_in(r, o, a, i, j));
}

gis::Layer diffuse_layer(const Results &r, const Options &o) { return additive_layer(r, o, diffuse_of); }

gis::Layer reflected_layer(const Results &r, const Options &o) { return additive_layer(r, o, reflected_of); }

gis::Layer global_layer(const Results &r, const Options &o) { return additive_layer(r, o, global_of); }

const KindTraits kKinds[] = {
    {OutputKind::Index, gis::SampleType::Byte, true, true, false, false, true, "sunlight index, 0..254", "",
     index_layer},
    {OutputKind::Illumination, gis::SampleType::Float32, true, true, false, false, true,
     "accumulated illumination, 255.999 a sunlit cell facing the sun", "", illumination_layer},
    {OutputKind::SunHours, gis::SampleType::Float32, true, true, true, false, false, "hours of direct sun", "h",
     sun_hours_layer},
    {OutputKind::Shadow, gis::SampleType::Byte, true, false, false, false, false, "cast shadow, 1 in shadow", "",
     shadow_layer},
    {OutputKind::Beam, gis::SampleType::Float32, true, true, false, true, false,
     "clear-sky beam irradiation on the surface", "Wh/m2", beam_layer},
    {OutputKind::Elevation, gis::SampleType::Float64, false, false, false, false, false, "elevation computed with", "m",
     elevation_layer},
    {OutputKind::Horizon, gis::SampleType::Float32, true, false, false, false, false, "horizon toward azimuth 0 degree",
     "degree", horizon_layer},
    {OutputKind::SkyView, gis::SampleType::Float32, true, false, false, false, false,
     "sky-view factor, cosine-weighted, of the cell's surface", "", sky_view_layer},
    {OutputKind::Diffuse, gis::SampleType::Float32, true, true, false, false, false,
     "clear-sky diffuse irradiation on the surface", "Wh/m2", diffuse_layer},
    {OutputKind::Reflected, gis::SampleType::Float32, true, true, false, false, false,
     "irradiation reflected by the terrain onto the surface", "Wh/m2", reflected_layer},
    {OutputKind::Global, gis::SampleType::Float32, true, true, false, true, false,
     "global irradiation on the surface: beam, diffuse and reflected", "Wh/m2", global_layer},
};

const KindTraits &traits(OutputKind kind)
{
    for (const KindTraits &k : kKinds)
        if (k.kind == kind)
            return k;
    return kKinds[0];
}

// OUTPUT itself for one kind; OUTPUT's stem + _KIND + its extension for several.
std::string output_path(const Options &o, OutputKind kind)
{
    if (o.kinds.size() == 1)
        return o.output;
    const fs::path p(o.output);
    return (p.parent_path() / (p.stem().string() + "_" + kind_name(kind) + p.extension().string())).string();
}

bool wants(const Options &o, bool KindTraits::*need)
{
    return std::any_of(o.kinds.begin(), o.kinds.end(), [&](OutputKind k) { return traits(k).*need; });
}

// The run's report, as metadata of each output: what applies to its kind.
std::vector<std::pair<std::string, std::string>> report(const Options &o, const Results &r, OutputKind kind)
{
    const KindTraits &k = traits(kind);
    std::vector<std::pair<std::string, std::string>> m = {
        {"TERRALUME_OUTPUT", kind_name(kind)},
        {"TERRALUME_DEM", o.dem},
        {"TERRALUME_BAND", std::to_string(o.band)},
        {"TERRALUME_Z_UNIT", o.z_unit},
    };
    if (k.computed)
        m.emplace_back("TERRALUME_PIXEL_SIZE", number(r.pixel_size));
    if (k.positions)
        m.emplace_back("TERRALUME_LATITUDE", number(r.lat));
    if (k.attenuation)
        m.emplace_back("TERRALUME_ATTENUATION", number(o.attenuation));
    if (kind == OutputKind::Beam || kind == OutputKind::Global)
        m.emplace_back("TERRALUME_BEAM_ATTENUATION", number(o.attenuation_given ? o.attenuation : 0));
    const auto sky = sky_report(o, kind);
    m.insert(m.end(), sky.begin(), sky.end());
    m.emplace_back("TERRALUME_CELLS_WITHOUT_ELEVATION", std::to_string(r.dem.no_elevation));
    if (k.computed) {
        m.emplace_back("TERRALUME_SHADOWS", o.shadows == ShadowMethod::Rays ? "rays"
                                            : o.curvature                   ? "exact, with the Earth's curvature"
                                                                            : "exact, without the Earth's curvature");
        m.emplace_back("TERRALUME_SLOPE", o.slope == Slope::Horn
                                              ? "horn: the 3 x 3 gradient centred on the cell"
                                              : "dialogue: the cell and its neighbours to the south and east");
    }
    if (k.positions && o.solar_sun) {
        m.insert(m.end(), {{"TERRALUME_PERIOD", format_date(r.solar.from) + " to " + format_date(r.solar.to)},
                           {"TERRALUME_DAYS", std::to_string(r.solar_days)},
                           {"TERRALUME_SUN_POSITIONS", std::to_string(r.positions)}});
        if (o.reference_year)
            m.emplace_back("TERRALUME_REFERENCE_YEAR", std::to_string(kReferenceYear));
        for (const auto &[name, value] : r.solar_report) {
            std::string key = "TERRALUME_" + name;
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::toupper(c); });
            m.emplace_back(key, value);
        }
    } else if (k.positions) {
        const Period period = period_between(o.first_day, o.last_day);
        m.insert(m.end(), {{"TERRALUME_PERIOD", o.from + " to " + o.to},
                           {"TERRALUME_DAYS", std::to_string(period.days())},
                           {"TERRALUME_SUN_MODEL", "hourly, simplified (sun at 6 h and 18 h on the horizon)"},
                           {"TERRALUME_SUN_POSITIONS", std::to_string(r.positions)}});
    }
    if (!r.dem.reprojection.empty())
        m.emplace_back("TERRALUME_REPROJECTED", r.dem.reprojection);
    return m;
}

// The solar model's settings completed from the DEM: its centre's longitude
// and elevation, the time zone of that longitude; the raster's extent
// checked, the sun being the centre's.
void place_the_sun(const Options &o, Results &r, std::ostream &err)
{
    r.solar = o.solar;
    r.solar.place.lat = r.lat;
    if (o.lon)
        r.solar.place.lon = *o.lon;
    else if (r.dem.longitude)
        r.solar.place.lon = *r.dem.longitude;
    else
        throw Failure{o.dem + ": no georeference gives its longitude, which the solar sun needs: give --lon DEGREES"};
    r.solar.utc_offset = o.utc_offset ? *o.utc_offset : nominal_utc_offset(r.solar.place.lon);
    if (o.height) {
        r.solar.place.height = *o.height;
    } else {
        // The centre cell's elevation, or the mean of the known ones.
        const Grid<double> &z = r.dem.dtab;
        const double centre = z[z.nb_lig() / 2][z.nb_col() / 2];
        double sum = 0;
        int64_t known = 0;
        if (centre == kNoElevation)
            for (int32_t i = 0; i < z.nb_lig(); i++)
                for (int32_t j = 0; j < z.nb_col(); j++)
                    if (z[i][j] != kNoElevation) {
                        sum += z[i][j];
                        known++;
                    }
        r.solar.place.height = centre != kNoElevation ? centre : sum / static_cast<double>(known);
    }
    const std::string wrong = check(r.solar);
    if (!wrong.empty())
        throw Failure{o.dem + ": the sun at its centre: " + wrong + (o.height ? "" : " (give --height METRES)")};
    const double half_diagonal =
        0.5 * r.pixel_size * std::hypot(static_cast<double>(r.dem.place.lines), r.dem.place.columns) / 1000;
    if (half_diagonal > kRefusedExtent)
        throw Failure{o.dem + ": its corners lie " + std::to_string(std::lround(half_diagonal)) +
                      " km from its centre: the solar model takes the centre's sun, for at most " +
                      std::to_string(static_cast<int>(kRefusedExtent)) + " km; cut the raster into smaller ones"};
    if (half_diagonal > kWarnedExtent)
        err << "terralume: warning: " << o.dem << ": its corners lie " << std::lround(half_diagonal)
            << " km from its centre, whose sun the solar model takes for every cell (the corners' sun stands "
            << std::lround(half_diagonal / 11.1) / 10.0 << " degree elsewhere in the sky)\n";
}

} // namespace

EngineOptions engine_options(const Options &o)
{
    EngineOptions options;
    options.attenuation = o.attenuation * 0.01;
    options.sun_hours = wants(o, &KindTraits::sun_hours);
    options.beam = wants(o, &KindTraits::beam);
    options.beam_attenuation = o.attenuation_given ? o.attenuation * 0.01 : 0;
    options.shadows = o.shadows;
    options.curvature = o.curvature;
    options.slope = o.slope;
    options.origin = o.origin;
    options.wanted = o.wanted;
    options.diffuse = std::any_of(o.kinds.begin(), o.kinds.end(), takes_diffuse);
    return options;
}

namespace
{

// The bytes of a raster of the sky read onto the grid: the grid, and as
// much again for its reading or warping.
uint64_t sky_raster_bytes(const gis::DemShape &shape)
{
    const uint64_t g = matrix_bytes(shape.columns, shape.lines, sizeof(double));
    return saturating_sum({g, g});
}

// a x b, or UINT64_MAX past it.
uint64_t times(uint64_t a, uint64_t b) { return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b; }

// Whether the run reads the raster of the albedo, and those of the indices.
bool reads_albedo(const Options &o)
{
    return !o.sky.albedo_raster.empty() && std::any_of(o.kinds.begin(), o.kinds.end(), [](OutputKind k) {
        return k == OutputKind::Reflected || k == OutputKind::Global;
    });
}

bool reads_indices(const Options &o)
{
    return !o.sky.beam_index_raster.empty() &&
           (std::any_of(o.kinds.begin(), o.kinds.end(), takes_diffuse) ||
            std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Beam) != o.kinds.end());
}

// A raster of the sky read onto the grid computed, every cell with an
// elevation holding a value within lo .. hi; the cells without elevation
// take `fill`.
Grid<double> sky_raster(const std::string &option, const std::string &path, const gis::Dem &dem, double lo, double hi,
                        double fill)
{
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    Grid<double> g;
    try {
        g = gis::read_onto(path, dem.place);
    } catch (const gis::GisError &e) {
        throw Failure{option + " " + e.what()};
    }
    int64_t missing = 0, outside = 0;
    int32_t line = -1, column = -1;
    double value = 0;
    for (int32_t i = 0; i < g.nb_lig(); i++)
        for (int32_t j = 0; j < g.nb_col(); j++) {
            if (dem.dtab[i][j] == kNoElevation) {
                g[i][j] = fill;
                continue;
            }
            const double v = g[i][j];
            const bool none = std::isnan(v), out = !none && !(v >= lo && v <= hi);
            if ((none || out) && missing + outside == 0) {
                line = i;
                column = j;
                value = v;
            }
            missing += none ? 1 : 0;
            outside += out ? 1 : 0;
        }
    const std::string at = " (the first at line " + std::to_string(line) + ", column " + std::to_string(column);
    if (missing > 0)
        throw Failure{option + " " + path + ": " + std::to_string(missing) + (missing == 1 ? " cell" : " cells") +
                      " of the DEM with an elevation " + (missing == 1 ? "has" : "have") + " no value in it" + at +
                      "); give every cell a value, or cut the DEM to the raster's extent"};
    if (outside > 0)
        throw Failure{option + " " + path + ": " + std::to_string(outside) +
                      (outside == 1 ? " value lies" : " values lie") + " outside " + range + at + ": " + number(value) +
                      ")"};
    return g;
}

} // namespace

void check_memory(const Options &o, const std::vector<gis::Format> &formats, const gis::DemShape &shape,
                  uint64_t memory)
{
    run::Footprint f;
    f.face = run::Face::CommandLine;
    f.lines = shape.lines;
    f.columns = shape.columns;
    f.options = engine_options(o);
    f.reading_bytes = shape.read_bytes;
    gis::GridPlace place, source;
    place.lines = shape.lines;
    place.columns = shape.columns;
    source.lines = shape.source_lines;
    source.columns = shape.source_columns;
    const bool back = o.keep_grid && shape.source_lines > 0;
    const bool series = std::any_of(o.kinds.begin(), o.kinds.end(), [&o](OutputKind k) { return in_series(o, k); });
    const int64_t bands = series ? series_band_count(o) : 0;
    f.series_bands = bands;
    for (size_t k = 0; k < o.kinds.size() && k < formats.size(); k++) {
        const bool bytes = o.kinds[k] == OutputKind::Index || o.kinds[k] == OutputKind::Shadow;
        // A series is written whole, every band in memory.
        f.writing_bytes =
            std::max(f.writing_bytes, times(gis::writing_bytes(formats[k], place,
                                                               bytes ? gis::SampleType::Byte : gis::SampleType::Float32,
                                                               back ? &source : nullptr),
                                            in_series(o, o.kinds[k]) ? static_cast<uint64_t>(bands) : 1));
    }
    f.index = std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Index) != o.kinds.end();
    f.position_bytes = wants(o, &KindTraits::positions) && o.solar_sun ? solar_period_bytes(o.solar) : 0;
    if (std::any_of(o.kinds.begin(), o.kinds.end(), takes_horizons))
        f.sky_bytes =
            saturating_sum({horizon_bytes(shape.lines, shape.columns,
                                          {o.sky.horizon_directions, o.sky.horizon_distance, true}, max_threads()),
                            matrix_bytes(shape.columns, shape.lines, sizeof(double)) * 2});
    f.sky_bytes = saturating_sum({f.sky_bytes, reads_albedo(o) ? sky_raster_bytes(shape) : 0,
                                  reads_indices(o) ? times(sky_raster_bytes(shape), 2) : 0});
    const uint64_t available = memory > 0 ? memory : memory_available();
    if (const auto problem = run::size_problem(f, available))
        throw Failure{o.dem + ": the grid of " + std::to_string(shape.lines) + " lines and " +
                          std::to_string(shape.columns) + " columns needs " + std::to_string(problem->bytes) +
                          " bytes of memory, " + std::to_string(available) + " are available to the run",
                      true};
}

// The DEM read, the elevations checked, the pixel size and latitude known.
void load(const Options &o, const std::vector<gis::Format> &formats, Results &r, std::ostream &err)
{
    try {
        r.dem =
            gis::read_dem({o.dem, o.band, o.nodata, o.z_divisor, o.z_multiplier, o.keep_grid, o.lat && o.pixel_size},
                          run::kMaxSide, [&](const gis::DemShape &shape) { check_memory(o, formats, shape); });
    } catch (const gis::GisError &e) {
        throw Failure{e.what()};
    }
    if (!r.dem.warning.empty())
        err << "terralume: warning: " << r.dem.warning << "\n";
    if (!r.dem.reprojection.empty() && !o.quiet)
        err << "terralume: " << o.dem << " " << r.dem.reprojected << ": reprojected to " << r.dem.reprojection
            << (o.keep_grid ? "; the outputs go back onto its grid" : "") << "\n";
    if (o.keep_grid && r.dem.reprojection.empty())
        err << "terralume: warning: --keep-grid: " << o.dem << " is not reprojected, its grid is kept anyway\n";
    settle(o, r, err);
}

void settle(const Options &o, Results &r, std::ostream &err)
{
    if (o.pixel_size)
        r.pixel_size = *o.pixel_size;
    else if (r.dem.pixel_size)
        r.pixel_size = *r.dem.pixel_size;
    else if (wants(o, &KindTraits::computed))
        throw Failure{o.dem + ": no georeference gives the size of its cells: give --pixel-size METRES"};
    if (wants(o, &KindTraits::computed) && !run::usable_pixel_size(r.pixel_size))
        throw Failure{o.dem + ": its cells of " + number(r.pixel_size) + " m cannot be used"};
    if (o.lat)
        r.lat = *o.lat;
    else if (r.dem.latitude)
        r.lat = *r.dem.latitude;
    else if (wants(o, &KindTraits::positions))
        throw Failure{o.dem + ": no georeference gives its latitude: give --lat DEGREES"};
    if (r.dem.no_elevation == static_cast<int64_t>(r.dem.place.lines) * r.dem.place.columns)
        throw Failure{o.dem + ": no cell has an elevation"};
    if (o.solar_sun && wants(o, &KindTraits::positions))
        place_the_sun(o, r, err);
}

void compute(const Options &o, const std::vector<gis::Format> &formats, Results &r, std::ostream &err, bool terminal,
             const std::function<void(size_t, size_t)> &done)
{
    const int32_t lines = r.dem.place.lines;
    const int32_t columns = r.dem.place.columns;
    const std::unique_ptr<Engine> engine = make_engine(EngineKind::Fast);
    EngineOptions options = engine_options(o);
    const bool solar = wants(o, &KindTraits::positions) && o.solar_sun;
    // Checked again on the grid as read, whose reading is now known.
    check_memory(o, formats,
                 {lines, columns, r.dem.read_bytes, r.dem.reprojection.empty() ? 0 : r.dem.source.lines,
                  r.dem.reprojection.empty() ? 0 : r.dem.source.columns});

    if (!wants(o, &KindTraits::computed))
        return;
    r.cells = cell_classes(r.dem.dtab, o.slope == Slope::Horn);
    if (r.cells.empty())
        throw std::bad_alloc();
    // The horizons and the sky view, before the diffuse light takes them.
    const auto writes = [&o](OutputKind k) { return std::find(o.kinds.begin(), o.kinds.end(), k) != o.kinds.end(); };
    const bool diffuse = std::any_of(o.kinds.begin(), o.kinds.end(), takes_diffuse);
    const bool terrain_view = writes(OutputKind::SkyView) || (diffuse && !o.sky.bare_sky_view);
    if (writes(OutputKind::Horizon) || terrain_view)
        r.horizons = horizons(r.dem.dtab, r.pixel_size, {o.sky.horizon_directions, o.sky.horizon_distance, o.curvature},
                              o.origin);
    if (terrain_view)
        r.sky_view = sky_view(r.dem.dtab, r.pixel_size, o.slope, r.horizons, false);
    if (diffuse && o.sky.bare_sky_view)
        r.bare_view = sky_view(r.dem.dtab, r.pixel_size, o.slope, r.horizons, true);
    options.sky_view = o.sky.bare_sky_view ? &r.bare_view : &r.sky_view;
    // The sky's rasters, every cell of the DEM given a value.
    if (reads_albedo(o))
        r.albedo = sky_raster("--albedo", o.sky.albedo_raster, r.dem, 0, 1, 0);
    if (reads_indices(o)) {
        r.beam_index = sky_raster("--clear-sky-index", o.sky.beam_index_raster, r.dem, 0, 2, 1);
        r.diffuse_index = sky_raster("--clear-sky-index", o.sky.diffuse_index_raster, r.dem, 0, 2, 1);
        options.beam_index = &r.beam_index;
        options.diffuse_index = &r.diffuse_index;
    }
    const bool series = std::any_of(o.kinds.begin(), o.kinds.end(), [&o](OutputKind k) { return in_series(o, k); });
    if (series)
        r.series = series_bands(o);
    run::Positions positions;
    if (solar) {
        SolarPeriod period = solar_period(r.solar);
        real_skies(o.sky, period);
        r.solar_report = report_items(period.report);
        r.solar_days = period.report.instants / (1440 / r.solar.step_minutes);
        positions = run::Positions::solar(std::move(period.positions),
                                          series ? std::move(period.dates) : std::vector<CivilDate>{});
    } else if (wants(o, &KindTraits::positions)) {
        const Period period = period_between(o.first_day, o.last_day);
        positions = run::Positions::hourly(period.pieces, r.lat, hourly_weight(period.days()));
        if (series)
            positions.dated(kReferenceYear);
    }
    const size_t count = positions.count();
    r.positions = count;
    Progress progress(err, terminal && !o.quiet, count);
    run::Progress hooks;
    hooks.done = [&progress, &done, count](size_t n) {
        progress.update(n);
        if (done)
            done(n, count);
    };
    std::optional<run::SunAngles> shadow_at;
    if (o.sun_position)
        shadow_at = run::SunAngles{o.sun_position->first, o.sun_position->second};
    run::Computed c = run::compute(*engine, r.dem.dtab, r.pixel_size, options, positions, hooks, shadow_at,
                                   series ? &r.series : nullptr);
    r.acc = std::move(c.acc);
    r.marks = std::move(c.marks);
    r.bands = std::move(c.bands);
    progress.finish();

    if (std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Index) != o.kinds.end()) {
        Grid<unsigned char> tab(lines, columns);
        Grid<int32_t> itab(lines, columns);
        r.index = Grid<unsigned char>(lines, columns);
        if (tab.empty() || itab.empty() || r.index.empty())
            throw std::bad_alloc();
        // As the dialogue does it, over the cells with a value.
        const run::Range range = run::accumulation_range(r.acc.illumination, &r.cells);
        r.dmin = range.dmin;
        r.dmax = range.dmax;
        run::index_image(r.acc.illumination, o.norm, range, &r.cells, static_cast<unsigned char>(kByteNodata), tab,
                         itab, r.index);
    }
}

const char *kind_description(OutputKind kind) { return traits(kind).description; }

gis::Layer layer_of(const Options &o, const Results &r, OutputKind kind)
{
    const KindTraits &s = traits(kind);
    gis::Layer layer = s.layer(r, o);
    layer.description = in_series(o, kind) && !r.series.empty() ? band_dates(o, r.series[0]) : s.description;
    layer.unit = o.sky.kwh && std::string(s.unit) == "Wh/m2" ? "kWh/m2" : s.unit;
    const auto rep = report(o, r, kind);
    layer.metadata.insert(layer.metadata.begin(), rep.begin(), rep.end());
    return layer;
}

namespace
{

// The same file, or the same name once both are made absolute.
bool same_path(const std::string &a, const std::string &b)
{
    std::error_code ec;
    if (fs::equivalent(a, b, ec))
        return true;
    const fs::path x = fs::weakly_canonical(fs::absolute(a, ec), ec);
    const fs::path y = fs::weakly_canonical(fs::absolute(b, ec), ec);
    return !ec && x == y;
}

// An output never takes the place of a file the DEM is made of.
void check_not_an_input(const std::string &path, const gis::Dem &dem)
{
    for (const std::string &input : dem.files)
        if (same_path(path, input))
            throw Failure{
                path + ": is " +
                (same_path(input, dem.files.front()) ? "the DEM itself" : "a file of the DEM " + dem.files.front())};
}

// An io failure of the commit, as one line.
Failure output_failure(const OutputError &e)
{
    return Failure{e.file + ": cannot be written (" + std::strerror(e.error) + ")"};
}

int run(const Options &o, std::ostream &out, std::ostream &err, bool terminal, const std::vector<std::string> &args)
{
    if (o.tile > 0)
        return run_tiled(o, args, out, err, terminal);
    for (const std::string &w : o.warnings)
        err << "terralume: warning: " << w << "\n";
    if (o.threads > 0)
        set_threads(o.threads);
    // Every output's format and folder before anything is computed.
    std::vector<gis::Format> formats;
    for (OutputKind kind : o.kinds) {
        const std::string path = output_path(o, kind);
        try {
            formats.push_back(gis::output_format(path, o.format, o.creation_options));
            gis::Layer probe;
            probe.type = traits(kind).type;
            gis::check_holds(formats.back(), probe, kind_name(kind));
        } catch (const gis::GisError &e) {
            err << "terralume: " << e.what() << "\n";
            return kExitUsage;
        }
        try {
            gis::check_creatable(path, formats.back());
        } catch (const gis::GisError &e) {
            throw Failure{e.what()};
        }
        if (fs::exists(o.dem) && fs::exists(path) && fs::equivalent(o.dem, path))
            throw Failure{path + ": is the DEM itself"};
        // Nor the place of a raster of the sky the run reads.
        for (const auto &[option, raster] :
             {std::pair{"--albedo", &o.sky.albedo_raster}, std::pair{"--clear-sky-index", &o.sky.beam_index_raster},
              std::pair{"--clear-sky-index", &o.sky.diffuse_index_raster}})
            if (!raster->empty() && same_path(path, *raster))
                throw Failure{path + ": is the raster of " + option + " this run reads"};
    }

    // No other run writes this set of outputs until it is committed; one cut
    // short by a crash is put right first.
    ResultLock lock;
    try {
        lock.acquire(ResultLock::path_beside(o.output), o.output);
    } catch (const LockHeld &e) {
        throw Failure{o.output + ": is being written by another run (pid " + std::to_string(e.pid) + ")"};
    } catch (const OutputError &e) {
        throw Failure{e.file + ": cannot be " + (e.action == "lock" ? "locked" : "created") + " (" +
                      std::strerror(e.error) + ")"};
    }

    Results r;
    load(o, formats, r, err);
    for (OutputKind kind : o.kinds)
        check_not_an_input(output_path(o, kind), r.dem);
    compute(o, formats, r, err, terminal);

    const bool back = o.keep_grid && !r.dem.reprojection.empty();
    StagedSet staged;
    std::vector<std::string> wrote;
    try {
        staged.create(o.output);
        for (size_t k = 0; k < o.kinds.size(); k++) {
            const OutputKind kind = o.kinds[k];
            const gis::Layer layer = layer_of(o, r, kind);
            const std::string path = output_path(o, kind);
            try {
                gis::write_raster(path, staged.area(k), formats[k], r.dem.place, layer, back ? &r.dem.source : nullptr,
                                  back ? &r.dem.source_cells : nullptr);
            } catch (const gis::GisError &e) {
                throw Failure{e.what()};
            }
            // An earlier side file of metadata that this run did not write
            // would describe the new file wrongly.
            staged.remove_at_commit(fs::path(path).filename().string() + ".aux.xml");
            const gis::GridPlace &grid = back ? r.dem.source : r.dem.place;
            wrote.push_back("wrote " + path + " (" + std::to_string(grid.columns) + " x " + std::to_string(grid.lines) +
                            ", " + kind_name(kind) + ")");
        }
        // What the drivers wrote beside the outputs replaces only regular
        // files, and never a file of the DEM.
        for (const CommitEntry &e : staged.entries()) {
            try {
                gis::check_replaceable(e.final_path, !e.temporary.empty() && fs::is_directory(e.temporary));
            } catch (const gis::GisError &g) {
                throw Failure{g.what()};
            }
            check_not_an_input(e.final_path, r.dem);
            if (same_path(e.final_path, lock.path()))
                throw Failure{e.final_path + ": is the lock file of this run's outputs"};
        }
        staged.commit(lock);
    } catch (const OutputError &e) {
        throw output_failure(e);
    }
    // The outputs are in place: a console that cannot be told does not
    // undo them, and the status says so.
    if (!o.quiet)
        for (const std::string &w : wrote)
            out << w << "\n";
    out.flush();
    if (!out) {
        err << "terralume: standard output cannot be written (" << std::strerror(errno)
            << "): the outputs are written all the same\n";
        return kExitConsole;
    }
    return 0;
}

} // namespace

int run_command_line(int argc, const char *const *argv, std::ostream &out, std::ostream &err, bool terminal)
{
    if (argc > 1 && std::string(argv[1]) == "tiles")
        return run_tiles(argc - 1, argv + 1, out, err, terminal);
    std::optional<Options> o;
    try {
        o = parse_options(argc, argv, out);
    } catch (const UsageError &e) {
        err << "terralume: " << e.what() << "\nRun terralume --help for the options.\n";
        return kExitUsage;
    }
    if (!o) {
        out.flush();
        if (!out) {
            err << "terralume: standard output: the help cannot be written (" << std::strerror(errno) << ")\n";
            return kExitFailure;
        }
        return 0;
    }
    try {
        return run(*o, out, err, terminal, std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Failure &f) {
        err << "terralume: " << f.message << "\n";
    } catch (const std::bad_alloc &) {
        err << "terralume: " << o->dem << ": not enough memory for its grids\n";
    } catch (const fs::filesystem_error &e) {
        err << "terralume: " << e.path1().string() << ": " << e.code().message() << "\n";
    } catch (const OutputError &e) {
        err << "terralume: " << e.file << ": cannot be written (" << std::strerror(e.error) << ")\n";
    }
    return kExitFailure;
}

} // namespace terralume::cli
