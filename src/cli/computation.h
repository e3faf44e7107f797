// The command line's computation on a DEM already read, for the programs
// built on it (the command line itself, the tile runner, the Python
// module): the options' engine and memory, the settings a grid completes
// (pixel size, latitude, the sun's place), the computation and each output
// kind's layer with its report.
#ifndef TERRALUME_CLI_COMPUTATION_H
#define TERRALUME_CLI_COMPUTATION_H

#include "engine.h"
#include "options.h"
#include "output.h"
#include "raster.h"
#include "run.h"
#include "solar_period.h"

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace terralume::cli
{

// A run's failure: one line, already naming the file or option. `memory`:
// the grid needs more memory than the run has.
struct Failure {
    std::string message;
    bool memory = false;
};

// Everything computed, for the outputs to take their layers from.
struct Results {
    gis::Dem dem;
    Grid<unsigned char> cells; // cell_classes of the elevations
    Accumulation acc;
    Grid<unsigned char> marks; // cast shadow at --sun-position
    Grid<unsigned char> index; // the final image
    double dmin = 0;
    double dmax = 0;
    size_t positions = 0;
    double pixel_size = 0;
    double lat = 0;
    SolarSettings solar; // complete, with --sun solar
    std::vector<std::pair<std::string, std::string>> solar_report;
    long long solar_days = 0;
    std::vector<Grid<float>> horizons; // [degree] one an azimuth, with the outputs that take them
    Grid<double> sky_view;             // the sky-view factor under the horizons
    Grid<double> bare_view;            // the bare slope's, for the diffuse light with --sky-view slope
    // With --series: its bands, and the additive grids of each (acc then
    // holds the illumination alone).
    std::vector<run::SeriesBand> series;
    std::vector<Accumulation> bands;
    // The rasters of --albedo and --clear-sky-index, on the grid computed.
    Grid<double> albedo, beam_index, diffuse_index;
};

// What the options ask of the engine.
EngineOptions engine_options(const Options &o);

// Refuses a run over a grid of `shape` whose outputs go to `formats` (one a
// kind) that the memory cannot hold: from the DEM's header and the period,
// before anything large is read, and again once the grid is read. `memory`:
// the bytes the run may take, 0 for what the machine has available.
void check_memory(const Options &o, const std::vector<gis::Format> &formats, const gis::DemShape &shape,
                  uint64_t memory = 0);

// Reads o.dem into r.dem, its size checked against the memory before it is
// read (check_memory), its warnings and notes on `err`; then settle().
void load(const Options &o, const std::vector<gis::Format> &formats, Results &r, std::ostream &err);

// With r.dem read: the pixel size and the latitude from the options or the
// georeference, the elevations checked, the solar sun's place completed.
// Throws Failure; warnings go to `err`.
void settle(const Options &o, Results &r, std::ostream &err);

// The computation: the sun positions of the period, or only the shadow of
// one, through the engine; then the final image when asked. A progress bar
// on `err` when `terminal`; `done(positions done, positions)`, when given,
// after each position (it may throw, to stop the computation).
void compute(const Options &o, const std::vector<gis::Format> &formats, Results &r, std::ostream &err, bool terminal,
             const std::function<void(size_t, size_t)> &done = {});

// The layer of one output kind, with its description, unit and the run's
// report as metadata. The bands of a series are described by their dates.
gis::Layer layer_of(const Options &o, const Results &r, OutputKind kind);

// What an output kind holds, as its one band is described.
const char *kind_description(OutputKind kind);

} // namespace terralume::cli

#endif
