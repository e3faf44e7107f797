// Horizons: for every cell, the elevation angle of the terrain's horizon in
// N azimuths, found on the surface and along the rays of the exact cast
// shadows (exact_shadow.h).
//
// For azimuth A the rays are those of a sun standing at A: they step one line
// of centres at a time away from it, so that everything a ray has met lies
// toward A. A cell's horizon is the highest elevation angle, seen from its
// centre, of
//   - the surface on its own line toward A, over the first kOwnSteps lines
//     of centres it meets (the stretch before it, inside the cell's own
//     facets, is left to the cell's plane, as with the shadows);
//   - beyond, the samples of the two rays that bracket the cell: the angle
//     at which the shadow line interpolated between the two rays, as the
//     shadows interpolate it, passes through the cell's centre (so that the
//     horizon agrees with the cast shadows, and a plane's horizon is its
//     own slope).
// With the Earth's curvature, terrain d metres away stands d^2 / (2 R) lower.
// The second part is the tangent from the cell to the sum, weighted as the
// shadows interpolate, of the two rays' upper convex hulls: its edges are
// those of both hulls merged in order of slope. With heights lowered by the
// curvature from a fixed point, w = z - x^2 / (2 R), the curvature's drop
// from any cell is an exact shift of the tangent, so the hulls stay those
// of straight lines.
//   - Over the whole grid each ray's hull is a stack that grows step by
//     step, every sample pushed once and popped at most once; a cell looks
//     for its two tangents from where the cell one step before on the same
//     two rays found them, and walks the merged edges from the lower of the
//     two rays' tangents to the higher (usually no edge or one). With
//     phi = 0 the right ray alone counts. A direction costs about 2 exact
//     cast-shadow passes (docs/radiation.md).
//   - Out to a distance, each ray's hull is made anew at every step from its
//     samples within the distance, x counted from that step, and every
//     tangent is searched from the hull's nearest point: the angle depends
//     on nothing beyond the distance, so that a window of a raster whose
//     rays stand on the raster's grid (GridOrigin) gives the raster's angles
//     wherever the window holds the distance. Each step costs the distance
//     in samples for every ray: the cost grows with the distance.
//
// The cells of a line are read side by side: their samples, their own lines
// and their angles go through the instruction sets' kernels
// (shadow_kernels.h), the arc tangent among them (formulas::arc_tangent).
//
// A direction in which the cell's line leaves the grid before meeting any
// terrain has a level horizon (0 degree). Cells without data (-infinity) have
// no horizon (NaN) and cast none. Each direction is computed by one thread
// alone, so the angles do not depend on the number of threads.
#ifndef TERRALUME_ENGINE_HORIZON_H
#define TERRALUME_ENGINE_HORIZON_H

#include "engine.h"
#include "grid.h"

#include <cstdint>
#include <vector>

namespace terralume
{

constexpr int kMaxHorizonDirections = 360;

struct HorizonSettings {
    int directions = 36; // azimuth k x 360 / directions, k = 0 .. directions - 1
    double distance = 0; // [metre] the farthest terrain seen; 0: the whole grid
    bool curvature = true;
};

// The azimuth [degree, clockwise from north] of direction k of n.
inline double horizon_azimuth(int k, int n) { return k * 360.0 / n; }

// The horizon of every cell in one azimuth [degree, clockwise from north],
// in degrees above the level; out is nb_lig x nb_col. dtab_t: the transpose
// of dtab, made here when the direction needs it and none is given. Throws
// std::bad_alloc when memory lacks.
void horizon_pass(const Grid<double> &dtab, double dsizepix, double azim, double distance, bool curvature,
                  Grid<float> &out, const GridOrigin &origin = {}, const Grid<double> *dtab_t = nullptr);

// The horizons in every direction, direction k in element k, the directions
// shared among the threads. Throws std::bad_alloc when the grids cannot be
// made.
// origin: where the grid lies in the raster whose rays it takes (engine.h).
std::vector<Grid<float>> horizons(const Grid<double> &dtab, double dsizepix, const HorizonSettings &s,
                                  const GridOrigin &origin = {});
// The same into `out`: s.directions grids of nb_lig x nb_col.
void horizons(const Grid<double> &dtab, double dsizepix, const HorizonSettings &s, std::vector<Grid<float>> &out,
              const GridOrigin &origin = {});

// Bytes horizons() takes: its grids and, per thread, the rays' state (the
// hulls counted at a few points a ray).
uint64_t horizon_bytes(int32_t nb_lig, int32_t nb_col, const HorizonSettings &s, int threads);

} // namespace terralume

#endif
