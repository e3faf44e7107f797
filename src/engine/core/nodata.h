// Cells without an elevation (nodata). Such a cell holds -infinity in the
// elevations: a ray treats it as infinitely low, so it casts no shadow and
// ends none, and the shading of every cell whose slope uses it is not a
// number. Which cells then have what:
//
//   - a result cell: its own elevation and those of both neighbours of its
//     slope (next line, next column) are known; it has an illumination, hours
//     of sun and a cast-shadow mark;
//   - an edge cell: a cell of the last line or the last column whose own
//     elevation is known; it has no slope, so no illumination of its own, and
//     enters the final image as the dialogue makes it (0 before smoothing);
//   - any other cell has no value at all.
//
// With every elevation known, the result cells are lines 0..nb_lig-2 and
// columns 0..nb_col-2, and the rest are edge cells.
#ifndef TERRALUME_ENGINE_NODATA_H
#define TERRALUME_ENGINE_NODATA_H

#include "grid.h"

#include <limits>

namespace terralume
{

constexpr double kNoElevation = -std::numeric_limits<double>::infinity();

enum : unsigned char { kNoValueCell = 0, kResultCell = 1, kEdgeCell = 2 };

// The class of every cell of `dtab`, as above, for the dialogue's plane.
// With Horn's (see Slope in engine.h), which every cell with an elevation
// has, those cells are all result cells.
Grid<unsigned char> cell_classes(const Grid<double> &dtab, bool horn = false);

} // namespace terralume

#endif
