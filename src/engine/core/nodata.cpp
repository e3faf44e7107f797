#include "nodata.h"

namespace terralume
{

Grid<unsigned char> cell_classes(const Grid<double> &dtab, bool horn)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    Grid<unsigned char> cells(nb_lig, nb_col);
    if (cells.empty())
        return cells;
    const auto known = [&dtab](int32_t i, int32_t j) { return dtab[i][j] != kNoElevation; };
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            if (!known(i, j))
                cells[i][j] = kNoValueCell;
            else if (horn)
                cells[i][j] = kResultCell;
            else if (i == nb_lig - 1 || j == nb_col - 1)
                cells[i][j] = kEdgeCell;
            else
                cells[i][j] = known(i + 1, j) && known(i, j + 1) ? kResultCell : kNoValueCell;
        }
    return cells;
}

} // namespace terralume
