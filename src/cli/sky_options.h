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
};

void add_sky_options(CLI::App &app, Options &o, SkyArgs &a);

// Checks the values and fills o.sky (and o.solar.linke); throws UsageError.
void check_sky_options(const CLI::App &app, const SkyArgs &a, Options &o);

// The outputs that take the horizons: horizon, svf, diffuse, reflected, global.
bool takes_horizons(OutputKind kind);
// The irradiations of the sky beyond the beam: diffuse, reflected, global.
bool takes_diffuse(OutputKind kind);

// The monthly Linke factors and the clear-sky indices given, set on every
// position by the month of its day.
void real_skies(const SkySettings &s, SolarPeriod &period);

// What the sky options a kind takes are, for its metadata.
std::vector<std::pair<std::string, std::string>> sky_report(const Options &o, OutputKind kind);

} // namespace terralume::cli

#endif
