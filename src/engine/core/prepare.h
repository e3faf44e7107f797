// What the fast engine prepares once per run, before any sun position: the
// cells' normal lengths, the elevations by columns for the rays that walk
// them, the elevations as floats when they all are, and the pressure ratios
// of the beam.
#ifndef TERRALUME_ENGINE_PREPARE_H
#define TERRALUME_ENGINE_PREPARE_H

#include "engine.h"
#include "grid.h"

#include <vector>

namespace terralume
{

// Per-run grids, filled once the pixel size is known: bn, the length of
// every cell's unnormalized normal (the one square root of the shading, which
// does not depend on the sun), and dtab_t, the transpose of dtab, along which
// rays from the column borders advance. Both are nb_lig x nb_col and
// nb_col x nb_lig grids allocated by the caller; an empty dtab_t is left so
// (the rays walk floats, see prepare_walk).
void prepare_cells(const Grid<double> &dtab, double dsizepix, Grid<double> &bn, Grid<double> &dtab_t);

// The normal lengths of every cell from its rises (horn_rises in shading.h),
// or of the cells of `wanted` alone (no lines: all).
void prepare_normals(const Grid<double> &d2, const Grid<double> &d3, double dsizepix, Grid<double> &bn,
                     const CellWindow &wanted = {});

// The elevations as floats for the ray walk, by lines (nb_lig x nb_col) and
// by columns (nb_col x nb_lig), when every one of them is a float exactly (as
// whole metres, or a model stored as floats, are): the walk then reads the
// same values in half the memory traffic. Allocates both grids; false, and
// both left empty, when some elevation is not a float or memory lacks.
bool prepare_walk(const Grid<double> &dtab, Grid<float> &rows, Grid<float> &cols);

// Whether some cell lacks data (-infinity).
bool has_holes(const Grid<double> &dtab);

// The cells' pressure ratios p / p0 (formulas::pressure_ratio of their
// elevations), for the beam. When the elevations take few distinct values
// (integer metres, say) each cell holds the index of its level and the beam
// normal irradiance is computed once per level and position, the same bits as
// cell by cell; else every cell holds its ratio.
struct PressureGrid {
    Grid<double> pp0;           // each cell's ratio, or empty
    Grid<int32_t> level;        // each cell's level, or empty
    std::vector<double> levels; // the ratio of each level
};

// Levels are used when there are at most max(256, cells / 8) of them; with
// by_levels 1 whenever possible, with -1 never. Throws std::bad_alloc.
void prepare_pressure(const Grid<double> &dtab, int by_levels, PressureGrid &p);

} // namespace terralume

#endif
