// The phases of a run, in the order `run_terralume` calls them, and the
// pieces of them that tests drive on their own.
#ifndef TERRALUME_DIALOGUE_PHASES_H
#define TERRALUME_DIALOGUE_PHASES_H

#include "descriptor.h"
#include "memory.h"
#include "raw_model.h"
#include "state.h"

#include <cstdint>
#include <optional>
#include <string>

namespace terralume
{

// Banner, file names, descriptors, result files, grids.
void opening(Run &r);
// Elevations into itab; tab cleared.
void lecture(Run &r);
// Dynamic scale, units, pixel size, latitude, attenuation, normalization.
void parameters(Run &r);
// The period, every sun position, the accumulation and the final treatment.
void pos_sol(Run &r);
// tab3 into the result image.
void save(Run &r);

// Why a grid of nb_lig x nb_col cells of `itype` samples cannot be held by a
// run with `engine` (a side too long, a size in bytes that overflows, or more
// than `memory` bytes; see run::size_problem), in the dialogue's words, or
// nothing when it can.
std::optional<std::string> grid_size_problem(int32_t nb_lig, int32_t nb_col, int32_t itype, EngineKind engine,
                                             uint64_t memory);

// The base folder: TERRALUME_IMAGES when set and not empty, else `images` in
// the current directory; always ending with the separator.
std::string base_folder();

// The exit status of a complete run whose console output could not be
// written (a full disk, a reader gone while SIGPIPE is ignored).
constexpr int kConsoleLost = 3;

// The whole run; returns the exit status: 0 for a complete run, 1 for a
// failed one, kConsoleLost for a complete one without its console output.
int run_terralume(Console &con, const std::string &base, const RunLimits &limits = {},
                  EngineKind engine = EngineKind::Fast);

} // namespace terralume

#endif
