// Exact cast shadows: a cell is in cast shadow when the terrain, the
// bilinear surface through the cell centres, rises above the straight line
// from the cell's centre toward the sun, optionally with the Earth's
// curvature lowering terrain d metres away by d^2 / (2 R).
//
// The line is tested from where it meets the next line of cell centres along
// its major axis (one cell along an axis, up to 1.41 cells on a diagonal):
// the stretch before it crosses the cell's own facets, which the self-shading
// already accounts for, so a plane never shadows itself. A cell whose line
// leaves the grid (the hull of the cell centres) before that point is never
// marked; cells without data (-infinity) cast and receive nothing.
//
// The method: one family of parallel rays at the sun's exact direction, one
// ray a cell apart, stepping one line (or column) of centres at a time away
// from the sun. Each step of a ray takes the highest point (over the sun
// line) of the surface along its stretch from the previous line: the stretch
// crosses at most one column of centres and is a quadratic in each of its
// two bilinear cells, so that point is the line's end, the crossing, or a
// top inside a twisted cell. Every ray keeps its highest shadow lines. Each
// cell tests its own line toward the sun, stretch by stretch by the same
// rule, over the first kNearSteps lines of centres back; beyond, the rays on
// either side of its centre decide when they agree (both in shadow, or both
// lit), and where they do not, or one of them lies off the grid, the cell's
// own line is walked on until it leaves the grid. The decision of a cell
// rests only on the terrain along its line and the rays' verdicts at their
// positions anchored to the whole raster's grid, never on where a grid's
// border or a ray's start lies. All rays of a family stand at the same
// fraction of a cell on a given line, so a line's rays are read side by side.
#ifndef TERRALUME_ENGINE_EXACT_SHADOW_H
#define TERRALUME_ENGINE_EXACT_SHADOW_H

#include "engine.h"
#include "grid.h"
#include "shadow_kernels.h"

#include <cstdint>
#include <vector>

namespace terralume
{

// The Earth's mean radius [metre].
constexpr double kEarthRadius = 6371000;

// Directions closer than this to an axis or a diagonal (in the tangent of
// their angle to the axis) are taken as that axis or diagonal.
constexpr double kAxisSnap = 1e-12;

// The first steps of each cell's own line toward the sun, where the horizon
// changes fastest across the rays, are tested on that line itself: the
// horizons' (horizon.h) and the cast shadows'.
constexpr int kOwnSteps = kernels::kOwnSteps;
constexpr int kNearSteps = kernels::kNearSteps;

// The family of rays of one sun position. The grid walked is the elevations
// (rays stepping from line to line) or their transpose (from column to
// column), whichever axis is nearer the sun's direction; "lines" and
// "columns" below are those of the grid walked.
struct ExactGeometry {
    bool transposed;
    int32_t nrows, ncols; // of the grid walked
    int32_t r0;           // the line nearest the sun, where the rays start
    int32_t dr;           // +1 or -1: a step away from the sun
    // Steps from the whole raster's border to line r0 (origin, see
    // GridOrigin): step n stands n0 + n steps from it, and every term below
    // is that step's in the whole raster.
    int32_t n0 = 0;
    double dcs;  // columns a ray moves per step
    double step; // length of one step [metre]
    double dt;   // the sun line's rise over one step [metre]
    double kc;   // the curvature's drop over one step, squared [metre]
    // The margin of the own lines' shortcut (formulas::skip_slack), set by
    // the passes from the elevations.
    double slack = 0;
    // Rays kmin .. kmax: ray k stands at column k + s_n at step n (line
    // r0 + n dr), s_n = n dcs = base[n] + phi[n], 0 <= phi[n] < 1.
    int32_t kmin, kmax;
    std::vector<int32_t> base;
    std::vector<double> phi;
    // The shadow-line terms of step n (formulas.h, hull_step).
    std::vector<double> d, p, b;
    // Cells lo[n] .. hi[n] of step n's line have their line toward the sun
    // inside the grid at the previous line (empty when lo > hi). That line
    // meets the line of step n - k at column c + jb[k - 1][n] + psi[k - 1][n],
    // 0 <= psi < 1, for k = 1 .. kOwnSteps.
    std::vector<int32_t> lo, hi;
    std::vector<int32_t> jb[kOwnSteps];
    std::vector<double> psi[kOwnSteps];
    // The same for the cast shadows' stretches: the line of step n - j, for
    // j = 1 .. kNearSteps + 1, at column c + ob[j - 1][n] + of[j - 1][n]
    // (formulas::line_back).
    std::vector<int32_t> ob[kNearSteps + 1];
    std::vector<double> of[kNearSteps + 1];
};

// elev, azim [degree]; dsizepix [metre]; curvature: the Earth's, radius
// kEarthRadius; origin: where the grid lies in the whole raster.
ExactGeometry exact_geometry(int32_t nb_lig, int32_t nb_col, double elev, double azim, double dsizepix, bool curvature,
                             const GridOrigin &origin = {});

// Bytes the exact method takes besides its marks: the geometry and, per
// thread, its rays' state.
uint64_t exact_bytes(int32_t nb_lig, int32_t nb_col, int threads);

// The straightforward exact pass: every ray of the family, one step at a
// time, on one thread; marks with 1 the cells in cast shadow.
void exact_cast(const Grid<double> &dtab, const ExactGeometry &g, Grid<unsigned char> &tab_cs);

} // namespace terralume

#endif
