// The options of the sky beyond the beam: horizons, sky view, diffuse and
// reflected light, real skies. Added to the command line's and checked after
// it is parsed.
#ifndef TERRALUME_CLI_SKY_OPTIONS_H
#define TERRALUME_CLI_SKY_OPTIONS_H

#include "options.h"
#include "solar_period.h"

#include <CLI/CLI.hpp>
#include <string>

namespace terralume::cli
{

// The options' text, before it is checked.
struct SkyArgs {
    std::string linke;
    std::string clear_sky_index;
    std::string sky_view = "terrain";
    std::string units = "Wh";
    std::string albedo = "0.2";
    std::string series;
};

void add_sky_options(CLI::App &app, Options &o, SkyArgs &a);

// Checks the values and fills o.sky (and o.solar.linke); throws UsageError.
void check_sky_options(const CLI::App &app, const SkyArgs &a, Options &o);

// The outputs that take the horizons: horizon, svf, diffuse, reflected, global.
bool takes_horizons(OutputKind kind);
// The irradiations of the sky beyond the beam: diffuse, reflected, global.
bool takes_diffuse(OutputKind kind);
// What adds up over a period, and so takes a band a month or a day with
// --series: sunhours, beam, diffuse, reflected, global.
bool additive(OutputKind kind);
// Whether `kind` is written as a series of bands in this run.
bool in_series(const Options &o, OutputKind kind);

// The bands of the run's series (one, the whole period, without --series),
// and how many, from the options alone: the solar sun's dates, or the simple
// sun's MM-DD of the reference year.
std::vector<run::SeriesBand> series_bands(const Options &o);
int64_t series_band_count(const Options &o);
// A band's description: its dates, YYYY-MM-DD (MM-DD with the simple sun).
std::string band_dates(const Options &o, const run::SeriesBand &band);

// The monthly Linke factors and the clear-sky indices given, set on every
// position by the month of its day.
void real_skies(const SkySettings &s, SolarPeriod &period);

// What the sky options a kind takes are, for its metadata.
std::vector<std::pair<std::string, std::string>> sky_report(const Options &o, OutputKind kind);

} // namespace terralume::cli

#endif
