// Superposition of self-shading and cast shadow, accumulation over the sun
// positions, and the normalization of the accumulation into bytes.
#ifndef TERRALUME_ENGINE_ACCUMULATION_H
#define TERRALUME_ENGINE_ACCUMULATION_H

#include "grid.h"
#include "nodata.h"

#include <cstdint>

namespace terralume
{

// For lines first..last-1: dtab_sp = dtab_s, times attenuation where tab_cs is
// exactly 1; then dtab_res += dtab_sp / num_spot (the quotient is formed first).
void superp_lines(const Grid<double> &dtab_s, const Grid<unsigned char> &tab_cs, double attenuation, double num_spot,
                  int32_t first, int32_t last, Grid<double> &dtab_sp, Grid<double> &dtab_res);

void superp_cast(const Grid<double> &dtab_s, const Grid<unsigned char> &tab_cs, double attenuation, double num_spot,
                 Grid<double> &dtab_sp, Grid<double> &dtab_res);

// Lowest and highest accumulated value over lines 0..nb_lig-2 and columns
// 0..nb_col-2 (the last line and column never receive light), by strict
// comparison against the running values dmin and dmax.
void scan_range(const Grid<double> &dtab_res, double &dmin, double &dmax);

// The same over the cells that `cells` (see nodata.h) says have a result,
// wherever they are: with every elevation known and the dialogue's plane, the
// very cells and order of scan_range.
void scan_range(const Grid<double> &dtab_res, const Grid<unsigned char> &cells, double &dmin, double &dmax);

// The byte of one accumulated value: mode 1 per cent of the range, mode 2 grey
// tones 0..255, any other mode the raw value. Truncated toward zero, then
// clamped to 0..255 (the last line and column lie below dmin in modes 1 and 2;
// raw sums can pass 255). With ddif 0, modes 1 and 2 give 0.
unsigned char normalized_value(double fval, int32_t norm, double dmin, double ddif);

void normalize(const Grid<double> &dtab_res, int32_t norm, double dmin, double ddif, Grid<unsigned char> &tab);

} // namespace terralume

#endif
