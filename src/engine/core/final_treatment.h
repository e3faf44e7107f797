// Final treatment of the normalized image: a 3 x 3 window sum and a linear
// stretch over the grey scale.
#ifndef TERRALUME_ENGINE_FINAL_TREATMENT_H
#define TERRALUME_ENGINE_FINAL_TREATMENT_H

#include "grid.h"

namespace terralume
{

// itab[i][j] = sum of the nine window positions around (i, j), a position
// outside the grid counting the centre value instead (edge cells count their
// own value 4 times, corners 6 times; on a single line or column likewise).
void window_sums(const Grid<unsigned char> &tab, Grid<int32_t> &itab);

// tab3 = (itab - mintab) x 255 / (maxtab - mintab + 1), truncated; 0 where the
// sum is 0. The divisor is the span plus one, so no cell reaches 255.
void stretch(const Grid<int32_t> &itab, Grid<unsigned char> &tab3);

// Both steps: tab -> window sums in itab -> tab3.
void pins(const Grid<unsigned char> &tab, Grid<int32_t> &itab, Grid<unsigned char> &tab3);

// The same where some cells have no value (`cells`, see nodata.h): a window
// position on such a cell counts the centre value, as one outside the grid
// does; the stretch spans the cells with a value only; a cell without one
// gets `no_value` in tab3 (255, which the stretch never gives, will do).
// With every cell valued, the very bytes of pins.
void pins(const Grid<unsigned char> &tab, const Grid<unsigned char> &cells, unsigned char no_value, Grid<int32_t> &itab,
          Grid<unsigned char> &tab3);

} // namespace terralume

#endif
