// The fast engine's parts: one sun position in two sweeps, the cast-shadow
// marks by rays walked in lockstep (walk.cpp), then self-shading, masking and
// accumulation fused into one pass over the lines (sweep.cpp), for several
// positions at once. It gives the same bits as the straightforward passes
// (shadow, cast_border, superp_cast). Runs use it through engine.h; the
// benchmarks time its parts one by one.
#ifndef TERRALUME_ENGINE_FAST_ENGINE_H
#define TERRALUME_ENGINE_FAST_ENGINE_H

#include "engine.h"
#include "grid.h"

#include <cstdint>
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

// The elevations as floats for the ray walk, by lines (nb_lig x nb_col) and
// by columns (nb_col x nb_lig), when every one of them is a float exactly (as
// whole metres, or a model stored as floats, are): the walk then reads the
// same values in half the memory traffic. Allocates both grids; false, and
// both left empty, when some elevation is not a float or memory lacks.
bool prepare_walk(const Grid<double> &dtab, Grid<float> &rows, Grid<float> &cols);

// a[k] / b[k] for k < count as the sweep of the chosen instruction set forms
// its quotients (for the tests).
void sweep_quotients(const double *a, const double *b, int32_t count, double *out);

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
// exact_cast (in `bit`), with the Earth's curvature when asked. `holes` tells that some
// cells may lack data (-infinity); false only when none does.
void exact_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                 bool curvature, bool holes, MarkGrids &marks, unsigned char bit = 1);

// Whether some cell lacks data (-infinity).
bool has_holes(const Grid<double> &dtab);

// Up to this many sun positions share one sweep over the grid: the same
// values as one sweep each, in order, for a fraction of the memory traffic.
constexpr int kMaxSweepPositions = 8;

// A sun position whose cast-shadow marks are made: its angles and weight.
struct SunPass {
    double elev;
    double azim;
    Weight weight;
};

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

// What the beam of a sweep needs: the cells' pressure ratios, the
// accumulation, the fraction kept in cast shadow and the clear sky of each
// pass, skies[q] for passes[q].
struct BeamPass {
    const PressureGrid *pressure;
    Grid<double> *beam;
    double attenuation;
    const ClearSky *skies;
};

// Self-shading, masking and accumulation of passes[0 .. count - 1] (count 1
// to kMaxSweepPositions), in order, position q marked in bit q of `marks`,
// which are left cleared. The same values as shadow then superp_cast with
// tab_cs the union of the marks; the hours of direct sun are added to
// `sun_hours` when it is given, the beam when `beam` is.
void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, const SunPass *passes, int count,
                          double dsizepix, double attenuation, MarkGrids &marks, Grid<double> &dtab_res,
                          Grid<double> *sun_hours = nullptr, const BeamPass *beam = nullptr);

} // namespace terralume

#endif
