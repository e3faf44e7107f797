// The sky-view factor of every cell: the share of the diffuse light of an
// isotropic sky that its tilted surface receives, each direction of the sky
// weighted by the cosine of its angle to the cell's normal (Dozier and Marks
// 1990; Helbig et al. 2009):
//
//   V = 1/(2 pi) x integral over the azimuth phi of
//       cos S sin^2 H + sin S cos(phi - A) (H - sin H cos H),
//
// S the slope, A the aspect, H the zenith angle of the horizon in azimuth phi.
// The horizon is clipped to the cell's own plane and to the level (the sky
// below the level is not sky), so that a bare plane of slope S has
// V = (1 + cos S) / 2 and a level cell in a pit of uniform horizon h has
// V = cos^2 h. The integral is taken as the bare plane's (1 + cos S) / 2 less
// the light the terrain hides, summed over the horizon's directions: exact
// for both of these cases whatever the number of directions.
//
// This is not the visualisation index 1 - mean(sin h), which is also called
// a sky-view factor.
#ifndef TERRALUME_ENGINE_SKY_VIEW_H
#define TERRALUME_ENGINE_SKY_VIEW_H

#include "engine.h"
#include "grid.h"

#include <vector>

namespace terralume
{

// The unit normal of a cell, toward the north, the east and up.
struct Normal {
    double north, east, up;
};

// The normal from the rises of a cell's plane to the next line (d2) and the
// next column (d3) over one cell dsizepix wide.
Normal normal_of(double d2, double d3, double dsizepix);

// The sky-view factor of a cell of normal n whose horizon in azimuth
// k x 360 / count [degree clockwise from north] is elevation[k] [radian].
double sky_view_factor(const Normal &n, const double *elevation, int count);

// (1 + cos S) / 2: the sky view of the cell's bare plane.
double bare_sky_view(const Normal &n);

// The normals of every cell's plane (the slope chosen); a level normal where
// the plane has none (the dialogue's last line and column, cells without
// data).
std::vector<Normal> cell_normals(const Grid<double> &dtab, double dsizepix, Slope slope);

// The sky-view factor of every cell from its horizons (horizon.h), or with
// bare = true, (1 + cos S) / 2; NaN where a cell has no elevation.
Grid<double> sky_view(const Grid<double> &dtab, double dsizepix, Slope slope, const std::vector<Grid<float>> &horizons,
                      bool bare);

} // namespace terralume

#endif
