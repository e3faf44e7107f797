// The cast-shadow marks of sun positions, by either method, through the
// kernels of the instruction set in use: what the fast engine runs for every
// position (and the benchmarks time on their own).
#ifndef TERRALUME_SHADOWS_MARKS_H
#define TERRALUME_SHADOWS_MARKS_H

#include "engine.h"
#include "grid.h"

#include <cstdint>
#include <vector>

namespace terralume
{

// The cast-shadow marks: one nb_lig x nb_col grid per worker thread of the
// cast-shadow pass, so that no two threads write the same byte, shared by the
// positions of a sweep, each with a bit of its own; a cell is marked for a
// position when any grid has its bit.
using MarkGrids = std::vector<Grid<unsigned char>>;

// How many mark grids (and threads) the cast-shadow pass uses: the engine's
// thread count, at most 8.
int mark_grid_count();
// Zero-filled mark grids; empty when any cannot be allocated.
MarkGrids mark_grids(int32_t nb_lig, int32_t nb_col, int count);

// Cast-shadow marks of one sun position: sets `bit` in the cells that the
// relief hides, exactly those cast_border marks for the four borders, in one
// of the grids. Marks already set stay. dsizepix must be positive and finite.
void cast_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                MarkGrids &marks, unsigned char bit = 1);
// The same from the elevations as floats (prepare_walk).
void cast_marks(const Grid<float> &rows, const Grid<float> &cols, double elev, double azim, double dsizepix,
                MarkGrids &marks, unsigned char bit = 1);

// The same for the exact method (exact_shadow.h): the same marks as
// exact_cast (in `bit`), with the Earth's curvature when asked. `holes` tells
// that some cells may lack data (-infinity); false only when none does.
// Only the cells of `wanted` (CellWindow; no lines: all) are tested, the
// others left as they are.
void exact_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                 bool curvature, bool holes, MarkGrids &marks, unsigned char bit = 1, const GridOrigin &origin = {},
                 const CellWindow &wanted = {});

} // namespace terralume

#endif
