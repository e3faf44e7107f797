// A run cut into tiles: each tile's core computed from the core and a halo
// of terrain around it wide enough to hold every shadow cast into the core,
// so that the cores put together are the whole raster's result bit for bit.
//
//     terralume tiles plan [OPTIONS] DEM OUTPUT --tile CELLS PLAN.json
//     terralume tiles run PLAN.json --index K      (K from $SLURM_ARRAY_TASK_ID
//                                                 or $JOB_COMPLETION_INDEX)
//     terralume tiles merge PLAN.json
//     terralume --tile CELLS [OPTIONS] DEM OUTPUT  (the same, in one process)
//
// The plan fixes what every tile must share with the whole raster: the
// pixel size, the latitude and the sun's place (the raster's centre), and
// where the tile lies in the raster, which the exact shadows' rays are
// anchored to.
#ifndef TERRALUME_CLI_TILES_H
#define TERRALUME_CLI_TILES_H

#include "options.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace terralume::cli
{

// Cells column .. column + columns - 1, line .. line + lines - 1.
struct Window {
    int32_t column = 0;
    int32_t line = 0;
    int32_t columns = 0;
    int32_t lines = 0;
};

struct TileWindows {
    Window core; // written
    Window read; // the core and its halo, inside the raster
};

// A file of the DEM as it was planned: a changed one is refused.
struct PlannedFile {
    std::string path;
    int64_t size = 0;
    int64_t mtime_ns = 0;
};

struct Plan {
    std::string folder;            // the working folder the names are relative to
    std::vector<std::string> args; // the run's options, DEM and OUTPUT
    std::string dem;               // as given
    int32_t lines = 0;             // of the whole DEM
    int32_t columns = 0;
    std::string transform;          // its georeference, as text; empty when none
    std::string wkt;                // its coordinate system
    std::vector<PlannedFile> files; // what it is made of
    // Settled over the whole raster, for every tile.
    double pixel_size = 0;
    double lat = 0;
    std::optional<double> lon, height, utc_offset; // the solar sun's place
    int64_t no_elevation = 0;
    double relief = 0;      // [metre]
    double lowest_sun = 90; // [degree], the lowest the halo holds
    double halo_metres = 0;
    int32_t halo = 0; // [cell]
    int32_t tile = 0; // side of a core [cell]
    std::vector<TileWindows> tiles;
    std::vector<std::string> kinds;   // the outputs' kinds
    std::vector<std::string> outputs; // their final names
    std::string tile_folder;          // where the tiles' files go
    std::string digest;               // of everything above
};

// The plan of a run of options `o` (o.tile > 0) over its DEM, reading the
// DEM a strip at a time. Throws Failure (computation.h).
Plan make_plan(const Options &o, const std::vector<std::string> &args, std::ostream &err);

// The file of tile k's output `kind`.
std::string tile_path(const Plan &plan, size_t k, const std::string &kind);

// `terralume tiles ...`: argv[0] is "tiles". Returns the exit status.
int run_tiles(int argc, const char *const *argv, std::ostream &out, std::ostream &err, bool terminal);

// `terralume --tile CELLS ... DEM OUTPUT`: every tile in turn, written by
// windows into the one output of each kind. Throws Failure.
int run_tiled(const Options &o, const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
              bool terminal);

// A 64-bit FNV-1a digest of `text`, in hexadecimal.
std::string digest_of(const std::string &text);

} // namespace terralume::cli

#endif
