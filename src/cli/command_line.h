// terralume with arguments: one run from a DEM raster to georeferenced
// result rasters. Standard output gets only the `wrote PATH (COLUMNS x LINES,
// KIND)` lines; errors, warnings, notes and the progress bar go to `err`.
#ifndef TERRALUME_CLI_COMMAND_LINE_H
#define TERRALUME_CLI_COMMAND_LINE_H

#include <ostream>

namespace terralume::cli
{

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Every output written, but standard output could not be: as the dialogue's.
constexpr int kExitConsole = 3;

// Returns the exit status: 0 every output written, 1 a failure (one line on
// `err` naming the file or option; no earlier output touched), 2 bad usage,
// 3 every output written but standard output could not be. `terminal`: err is a
// terminal, which then shows a progress bar.
int run_command_line(int argc, const char *const *argv, std::ostream &out, std::ostream &err, bool terminal);

} // namespace terralume::cli

#endif
