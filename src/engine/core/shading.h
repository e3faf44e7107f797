// Self-shading of the terrain for one sun position.
#ifndef TERRALUME_ENGINE_SHADING_H
#define TERRALUME_ENGINE_SHADING_H

#include "engine.h"
#include "grid.h"

namespace terralume
{

// Per-position constants of the shading: the unit vector toward the sun in
// the frame (toward line 0, toward increasing column, up), with its vertical
// part scaled by the pixel size.
struct ShadingTerms {
    double cc; // cos(elev) x cos(azim)
    double cs; // cos(elev) x sin(azim)
    double sr; // sin(elev) x dsizepix [metre]
    double r2; // dsizepix squared [square metre]
};

// elev, azim [degree]; dsizepix [metre], > 0.
ShadingTerms shading_terms(double elev, double azim, double dsizepix);

// Writes dtab_s[i][j] for lines first..last-1 (last <= nb_lig - 1) and
// columns 0..nb_col-2: 255.999 times the cosine of the angle between the
// cell's normal and the sun, 0 when that cosine is negative. The normal comes
// from the one-sided rises to the next line (d2) and the next column (d3), so
// the last line and the last column are never written.
void shade_lines(const Grid<double> &dtab, const ShadingTerms &t, int32_t first, int32_t last, Grid<double> &dtab_s);

// The whole grid: lines 0..nb_lig-2.
void shadow(const Grid<double> &dtab, double elev, double azim, double dsizepix, Grid<double> &dtab_s);

// The rises of every cell's Horn plane (see Slope in engine.h) toward the
// next line (d2) and the next column (d3) over one cell; NaN for a cell
// without an elevation.
struct SlopeRises {
    Grid<double> d2;
    Grid<double> d3;
};
// Only the cells of `wanted` (no lines: all) are given their rises, the
// others left zero. Throws std::bad_alloc when the grids cannot be made.
SlopeRises horn_rises(const Grid<double> &dtab, const CellWindow &wanted = {});

// The shading of every cell from its rises, as shadow() makes it from the
// dialogue's plane.
void shadow(const SlopeRises &rises, double elev, double azim, double dsizepix, Grid<double> &dtab_s);

} // namespace terralume

#endif
