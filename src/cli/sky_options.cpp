#include "sky_options.h"
#include "horizon.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace terralume::cli
{

namespace
{

// Numbers separated by commas; throws UsageError naming the option.
std::vector<double> numbers(const std::string &option, const std::string &text)
{
    std::vector<double> v;
    size_t p = 0;
    for (;;) {
        const size_t comma = text.find(',', p);
        const std::string item = text.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
        char *end = nullptr;
        const double x = std::strtod(item.c_str(), &end);
        if (item.empty() || end != item.c_str() + item.size())
            throw UsageError(option + " " + text + ": '" + item + "' is not a number");
        v.push_back(x);
        if (comma == std::string::npos)
            return v;
        p = comma + 1;
    }
}

// Whether `text` is one number, as the options write them.
bool is_number(const std::string &text)
{
    char *end = nullptr;
    std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

// The date of day number `day` (1..365) of a common year.
CivilDate common_date(int year, int32_t day)
{
    static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    while (month < 11 && day > kDays[month])
        day -= kDays[month++];
    return {year, month + 1, static_cast<int>(day)};
}

// The first and last days of the run's period.
std::pair<CivilDate, CivilDate> period_dates(const Options &o)
{
    if (o.solar_sun)
        return {o.solar.from, o.solar.to};
    return {common_date(kReferenceYear, o.first_day),
            common_date(o.last_day < o.first_day ? kReferenceYear + 1 : kReferenceYear, o.last_day)};
}

} // namespace

bool additive(OutputKind kind)
{
    return kind == OutputKind::SunHours || kind == OutputKind::Beam || takes_diffuse(kind);
}

bool in_series(const Options &o, OutputKind kind) { return o.sky.series != run::Series::Whole && additive(kind); }

std::vector<run::SeriesBand> series_bands(const Options &o)
{
    const auto [from, to] = period_dates(o);
    return run::series_bands(o.sky.series, from, to);
}

int64_t series_band_count(const Options &o)
{
    const auto [from, to] = period_dates(o);
    return run::series_band_count(o.sky.series, from, to);
}

std::string band_dates(const Options &o, const run::SeriesBand &band)
{
    if (o.solar_sun)
        return format_date(band.first) + " to " + format_date(band.last);
    char text[32];
    std::snprintf(text, sizeof text, "%02d-%02d to %02d-%02d", band.first.month, band.first.day, band.last.month,
                  band.last.day);
    return text;
}

bool takes_horizons(OutputKind kind)
{
    return kind == OutputKind::Horizon || kind == OutputKind::SkyView || takes_diffuse(kind);
}

bool takes_diffuse(OutputKind kind)
{
    return kind == OutputKind::Diffuse || kind == OutputKind::Reflected || kind == OutputKind::Global;
}

void add_sky_options(CLI::App &app, Options &o, SkyArgs &a)
{
    app.add_option("--horizon-directions", o.sky.horizon_directions,
                   "Horizons: azimuths of the horizon, 360 / N degrees apart (default 36, at most 360)");
    app.add_option("--horizon-distance", o.sky.horizon_distance,
                   "Horizons: the farthest terrain seen [m] (default the whole grid)");
    app.add_option("--sky-view", a.sky_view,
                   "Diffuse and reflected light: terrain (the sky-view factor under the horizons; default) or\n"
                   "slope (the bare slope's (1 + cos S) / 2, as models without horizons take it)");
    app.add_option("--albedo", a.albedo,
                   "Reflected light: the ground's albedo, 0..1 (default 0.2), or a raster FILE of every cell's (see\n"
                   "rasters below)");
    app.add_option("--units", a.units, "Irradiations (beam, diffuse, reflected, global) in Wh (default) or kWh per m2");
    app.add_option("--clear-sky-index", a.clear_sky_index,
                   "Real skies: KB,KD the ratios of real to clear-sky beam and diffuse, or 12 such pairs, one a\n"
                   "month (24 numbers), or two rasters KB.tif,KD.tif of every cell's, each 0..2; default 1,1");
    app.add_option("--series", a.series,
                   "month or day: one band a calendar month (a partial first or last one holds the period's days)\n"
                   "or a day of the period, each described by its dates, in sunhours, beam, diffuse, reflected and\n"
                   "global; illumination, index, shadow, elevation, horizon and svf keep one band (default: one\n"
                   "band, the whole period)");
}

void check_sky_options(const CLI::App &app, const SkyArgs &a, Options &o)
{
    const auto writes = [&](bool (*f)(OutputKind)) {
        for (OutputKind k : o.kinds)
            if (f(k))
                return true;
        return false;
    };
    SkySettings &s = o.sky;
    if (!(s.horizon_directions >= 1 && s.horizon_directions <= kMaxHorizonDirections))
        throw UsageError("--horizon-directions " + std::to_string(s.horizon_directions) + ": from 1 to " +
                         std::to_string(kMaxHorizonDirections));
    if (!(std::isfinite(s.horizon_distance) && s.horizon_distance >= 0) ||
        (app.count("--horizon-distance") > 0 && s.horizon_distance == 0))
        throw UsageError("--horizon-distance: a distance in metres, above 0");
    if (a.sky_view == "slope")
        s.bare_sky_view = true;
    else if (a.sky_view != "terrain")
        throw UsageError("--sky-view " + a.sky_view + ": the sky view is terrain or slope");
    if (is_number(a.albedo)) {
        s.albedo = std::strtod(a.albedo.c_str(), nullptr);
        if (!(std::isfinite(s.albedo) && s.albedo >= 0 && s.albedo <= 1))
            throw UsageError("--albedo: an albedo lies between 0 and 1");
    } else {
        s.albedo_raster = a.albedo;
    }
    if (a.series == "month")
        s.series = run::Series::Month;
    else if (a.series == "day")
        s.series = run::Series::Day;
    else if (!a.series.empty())
        throw UsageError("--series " + a.series + ": the series is month or day");
    if (a.units == "kWh")
        s.kwh = true;
    else if (a.units != "Wh")
        throw UsageError("--units " + a.units + ": the units are Wh or kWh");
    if (!a.linke.empty()) {
        const std::vector<double> v = numbers("--linke", a.linke);
        if (v.size() != 1 && v.size() != 12)
            throw UsageError("--linke " + a.linke + ": give one value, or 12, one a month");
        for (const double x : v)
            if (!(x >= 0.5 && x <= 20))
                throw UsageError("--linke: the Linke turbidity factor must be within 0.5 to 20");
        o.solar.linke = v[0];
        if (v.size() == 12)
            s.monthly_linke = v;
    }
    const size_t comma = a.clear_sky_index.find(',');
    const bool rasters = comma != std::string::npos && a.clear_sky_index.find(',', comma + 1) == std::string::npos &&
                         !is_number(a.clear_sky_index.substr(0, comma)) &&
                         !is_number(a.clear_sky_index.substr(comma + 1));
    if (rasters) {
        s.beam_index_raster = a.clear_sky_index.substr(0, comma);
        s.diffuse_index_raster = a.clear_sky_index.substr(comma + 1);
        if (s.beam_index_raster.empty() || s.diffuse_index_raster.empty())
            throw UsageError("--clear-sky-index " + a.clear_sky_index + ": give two rasters, KB.tif,KD.tif");
        if (!o.solar_sun)
            throw UsageError("--clear-sky-index: only the solar sun uses it, not --sun simple");
    } else if (!a.clear_sky_index.empty()) {
        const std::vector<double> v = numbers("--clear-sky-index", a.clear_sky_index);
        if (v.size() != 2 && v.size() != 24)
            throw UsageError("--clear-sky-index " + a.clear_sky_index + ": give KB,KD, or 12 such pairs");
        for (const double x : v)
            if (!(x >= 0 && x <= 2))
                throw UsageError("--clear-sky-index: each ratio lies between 0 and 2");
        for (size_t k = 0; k < v.size(); k += 2)
            s.clear_sky_index.emplace_back(v[k], v[k + 1]);
        if (!o.solar_sun)
            throw UsageError("--clear-sky-index: only the solar sun uses it, not --sun simple");
    }
    if (!o.solar_sun && writes(takes_diffuse))
        throw UsageError("--output diffuse, reflected and global need the solar sun, not --sun simple");
    const bool horizons = writes(takes_horizons);
    for (const char *option : {"--horizon-directions", "--horizon-distance"})
        if (app.count(option) > 0 && !horizons)
            o.warnings.push_back(std::string(option) +
                                 " only changes the horizon, svf, diffuse, reflected and global outputs, which this "
                                 "run does not write");
    const bool beam = std::find(o.kinds.begin(), o.kinds.end(), OutputKind::Beam) != o.kinds.end();
    if (app.count("--units") > 0 && !beam && !writes(takes_diffuse))
        o.warnings.push_back("--units only changes the beam, diffuse, reflected and global outputs, which this run "
                             "does not write");
    if (app.count("--series") > 0 && !std::any_of(o.kinds.begin(), o.kinds.end(), additive))
        o.warnings.push_back("--series only changes the sunhours, beam, diffuse, reflected and global outputs, which "
                             "this run does not write");
    if (!s.beam_index_raster.empty() && !beam && !writes(takes_diffuse))
        o.warnings.push_back("--clear-sky-index only changes the beam, diffuse, reflected and global outputs, which "
                             "this run does not write; its rasters are not read");
    for (const char *option : {"--sky-view", "--albedo"})
        if (app.count(option) > 0 && !writes(takes_diffuse))
            o.warnings.push_back(std::string(option) +
                                 " only changes the diffuse, reflected and global outputs, which this run does not "
                                 "write");
}

void real_skies(const SkySettings &s, SolarPeriod &period)
{
    for (size_t k = 0; k < period.positions.size(); k++) {
        const auto month = static_cast<size_t>(period.dates[k].month - 1);
        ClearSky &sky = period.positions[k].sky;
        if (!s.monthly_linke.empty())
            sky.linke = s.monthly_linke[month];
        if (!s.clear_sky_index.empty()) {
            const auto &index = s.clear_sky_index[s.clear_sky_index.size() == 12 ? month : 0];
            sky.beam_index = index.first;
            sky.diffuse_index = index.second;
        }
    }
}

std::vector<std::pair<std::string, std::string>> sky_report(const Options &o, OutputKind kind)
{
    const SkySettings &s = o.sky;
    std::vector<std::pair<std::string, std::string>> m;
    const auto list = [](const std::vector<double> &v) {
        std::string t;
        char b[32];
        for (const double x : v) {
            std::snprintf(b, sizeof b, "%s%g", t.empty() ? "" : ",", x);
            t += b;
        }
        return t;
    };
    if (takes_horizons(kind))
        m.emplace_back("TERRALUME_HORIZON_DIRECTIONS", std::to_string(s.horizon_directions));
    if (takes_horizons(kind))
        m.emplace_back("TERRALUME_HORIZON_DISTANCE",
                       s.horizon_distance > 0 ? list({s.horizon_distance}) + " m" : std::string("the whole grid"));
    // The beam's metadata tells of these only when they are given.
    const bool diffuse = takes_diffuse(kind);
    if (kind == OutputKind::Beam || diffuse) {
        if (!s.monthly_linke.empty())
            m.emplace_back("TERRALUME_LINKE_MONTHLY", list(s.monthly_linke));
        std::vector<double> index;
        for (const auto &[kb, kd] : s.clear_sky_index) {
            index.push_back(kb);
            index.push_back(kd);
        }
        if (!s.beam_index_raster.empty())
            m.emplace_back("TERRALUME_CLEAR_SKY_INDEX", s.beam_index_raster + "," + s.diffuse_index_raster);
        else if (diffuse || !index.empty())
            m.emplace_back("TERRALUME_CLEAR_SKY_INDEX",
                           index.empty() ? std::string("none: the clear sky") : list(index));
        if (diffuse || s.kwh)
            m.emplace_back("TERRALUME_UNITS", s.kwh ? "kWh/m2" : "Wh/m2");
    }
    if (takes_diffuse(kind)) {
        m.emplace_back("TERRALUME_DIFFUSE_MODEL",
                       "ESRA clear-sky diffuse (Rigollier et al. 2000), tilted by Muneer (1990)");
        m.emplace_back("TERRALUME_SKY_VIEW", s.bare_sky_view
                                                 ? "slope: (1 + cos S) / 2"
                                                 : "terrain: cosine-weighted sky-view factor under the horizons");
        m.emplace_back("TERRALUME_ALBEDO", s.albedo_raster.empty() ? list({s.albedo}) : s.albedo_raster);
    }
    if (in_series(o, kind))
        m.emplace_back("TERRALUME_SERIES", std::string(s.series == run::Series::Month ? "month" : "day") + ": " +
                                               std::to_string(series_band_count(o)) + " bands");
    return m;
}

} // namespace terralume::cli
