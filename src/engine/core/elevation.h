// Whole-grid operations on the elevation model.
#ifndef TERRALUME_ENGINE_ELEVATION_H
#define TERRALUME_ENGINE_ELEVATION_H

#include "grid.h"

#include <cstdint>

namespace terralume
{

// Lowest and highest sample, starting from the first sample of the grid.
void sample_range(const Grid<int32_t> &itab, int32_t &min, int32_t &max);

// dtab = itab / rescale, cell by cell (rescale: 1, 10, 100 or 1000 raw units per metre).
void to_metres(const Grid<int32_t> &itab, double rescale, Grid<double> &dtab);
// dtab = dtab x multiplier / divisor in place, for samples read as doubles
// (with multiplier 1, the values of the former for whole samples).
void to_metres(Grid<double> &dtab, double multiplier, double divisor);

} // namespace terralume

#endif
