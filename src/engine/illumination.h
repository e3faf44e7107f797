// The fast engine: one sun position in two sweeps, the cast-shadow marks by
// rays walked in lockstep, then self-shading, masking and accumulation fused
// into one pass over the lines. It gives the same bits as the straightforward
// passes (shadow, cast_border, superp_cast), which stay as its reference.
#ifndef TERRALUME_ENGINE_ILLUMINATION_H
#define TERRALUME_ENGINE_ILLUMINATION_H

#include "cast_shadow.h"
#include "grid.h"

#include <cstdint>
#include <string>
#include <vector>

namespace terralume
{

// Per-run grids of the fast engine, filled once the pixel size is known:
// bn, the length of every cell's unnormalized normal (the one square root of
// the shading, which does not depend on the sun), and dtab_t, the transpose
// of dtab, along which rays from the column borders advance. Both are
// nb_lig x nb_col and nb_col x nb_lig grids allocated by the caller.
void prepare_cells(const Grid<double> &dtab, double dsizepix, Grid<double> &bn, Grid<double> &dtab_t);

// The cast-shadow marks of the fast engine: one nb_lig x nb_col grid per
// worker thread of the cast-shadow pass, so that no two threads write the
// same byte; a cell is marked when any grid holds 1.
using MarkGrids = std::vector<Grid<unsigned char>>;

// How many mark grids (and threads) the cast-shadow pass uses: the engine's
// thread count, at most 8.
int mark_grid_count();
// Zero-filled mark grids; empty when any cannot be allocated.
MarkGrids mark_grids(int32_t nb_lig, int32_t nb_col, int count);

// Cast-shadow marks of one sun position: sets to 1 the cells that the relief
// hides, exactly as cast_border does for the four borders, in one of the
// grids. Marks already set stay. dsizepix must be positive and finite.
void cast_marks(const Grid<double> &dtab, const Grid<double> &dtab_t, double elev, double azim, double dsizepix,
                MarkGrids &marks);

// Self-shading, masking and accumulation of one sun position over the whole
// grid, the same values as shadow then superp_cast with tab_cs the union of
// the marks; the marks are left cleared.
void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, double elev, double azim, double dsizepix,
                          double attenuation, int32_t num_spot, MarkGrids &marks, Grid<double> &dtab_res);

// Up to this many sun positions share one sweep over the grid: the same
// values as one sweep each, in order, for a fraction of the memory traffic.
constexpr int kMaxSweepPositions = 4;

// How many positions a run adds in one sweep: as many as keep the marks of
// all of them (one grid per cast-shadow thread each) within 8 bytes a cell.
int sweep_batch();

// A sun position whose cast-shadow marks are made: its angles and its marks.
struct SunPass {
    double elev;
    double azim;
    MarkGrids *marks;
};

// Positions passes[0 .. count - 1] (count 1 to kMaxSweepPositions), in
// order, each with marks of its own, all with the same number of grids.
void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, const SunPass *passes, int count,
                          double dsizepix, double attenuation, int32_t num_spot, Grid<double> &dtab_res);

// One sun position with the straightforward passes, on grids of their own:
// dtab_s and dtab_sp as shadow and superp_cast need them, the ray lists of
// ray_lists. tab_cs is cleared first.
void reference_position(const Grid<double> &dtab, double elev, double azim, double dsizepix, double attenuation,
                        int32_t num_spot, std::vector<RayList> &rays, Grid<double> &dtab_s, Grid<unsigned char> &tab_cs,
                        Grid<double> &dtab_sp, Grid<double> &dtab_res);

// Instruction sets of the fast engine: every one this processor runs, the
// portable one last. The widest is used unless another is chosen.
std::vector<std::string> instruction_sets();
// Chooses one of instruction_sets(); false (and no change) for any other name.
bool use_instruction_set(const std::string &name);
std::string instruction_set();

} // namespace terralume

#endif
