// The shared state of one run, passed by reference to every phase.
#ifndef TERRALUME_DIALOGUE_STATE_H
#define TERRALUME_DIALOGUE_STATE_H

#include "console.h"
#include "engine.h"
#include "file.h"
#include "grid.h"
#include "seams.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace terralume
{

struct Run {
    Run(Console &console, std::string base_folder, EngineKind kind = EngineKind::Fast)
        : con(console), base(std::move(base_folder)), engine(kind)
    {
    }

    Console &con;
    std::string base;  // the base folder, ending with the separator
    EngineKind engine; // the fast engine, or the straightforward passes it is checked against

    // Streams: raw elevation file, DEM descriptor, result image, result descriptor.
    ResultLock lock; // the result's name, held from its creation to its commit
    File f1, f1d, f2, f2d;
    std::string nomim1, nomdescr1, nomim2, nomdescr2; // their full paths

    // Dimensions and DEM descriptor values.
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
    int32_t pix_size = 0;
    int32_t min_al = 0;
    int32_t max_al = 0;
    int32_t itype = 0; // 0: 16-bit samples, anything else: 32-bit
    bool descriptif_OK = false;

    // Operator parameters.
    double dsizepix = 0;    // pixel size [metre]
    double lat = 0;         // latitude [degree]
    double attenuation = 0; // fraction of its shading a cell in cast shadow keeps
    int32_t norm = 0;       // 0 raw data, 1 per cent, 2 grey tones

    // Sun position of the moment.
    double elev = 0;      // [degree] above the horizon
    double azim = 0;      // [degree] clockwise from north
    int32_t num_spot = 0; // divisor of the accumulation: 11 x days of the period

    // Grids, nb_lig x nb_col; the engine has its own while it computes.
    Grid<int32_t> itab;       // raw elevations, later the window sums
    Grid<double> dtab;        // elevations [metre]
    Grid<double> dtab_res;    // accumulation, once the engine has handed it over
    Grid<unsigned char> tab;  // normalized accumulation
    Grid<unsigned char> tab3; // the result image

    RunLimits limits;
};

} // namespace terralume

#endif
