// Cells without elevation in the engine: their classes, the range scan and
// final treatment that skip them (the same bits as the dialogue's without
// any), and the light and shadows of the cells around them.
#include "accumulation.h"
#include "engine.h"
#include "final_treatment.h"
#include "nodata.h"
#include "period.h"
#include "support.h"
#include "terrain.h"

#include <cmath>
#include <gtest/gtest.h>

namespace terralume
{
namespace
{

using test::grid_of;

constexpr double X = kNoElevation;

Grid<double> random_grid(int32_t lines, int32_t columns, uint64_t seed, double scale)
{
    tools::Random rnd(seed);
    Grid<double> g(lines, columns);
    for (int32_t i = 0; i < lines; i++)
        for (int32_t j = 0; j < columns; j++)
            g[i][j] = rnd.uniform() * scale;
    return g;
}

TEST(Nodata, CellClasses)
{
    // 0 no value, 1 result, 2 edge.
    const Grid<double> dtab = grid_of<double>(3, 4, {5, 5, 5, 5, /**/ 5, X, 5, 5, /**/ 5, 5, 5, X});
    const Grid<unsigned char> cells = cell_classes(dtab);
    const std::vector<unsigned char> expected = {1, 0, 1, 2, /**/ 0, 0, 1, 2, /**/ 2, 2, 2, 0};
    for (int32_t i = 0; i < 3; i++)
        for (int32_t j = 0; j < 4; j++)
            EXPECT_EQ(cells[i][j], expected[static_cast<size_t>(i * 4 + j)]) << i << "," << j;
}

// Without nodata, the variants that skip cells give the originals' bits.
TEST(Nodata, VariantsWithEveryElevationKnownAreTheOriginals)
{
    const struct {
        int32_t lines, columns;
        int32_t norm;
    } cases[] = {{2, 2, 2}, {2, 7, 1}, {9, 3, 0}, {31, 17, 2}, {64, 65, 1}, {1, 5, 2}, {5, 1, 2}};
    uint64_t seed = 1;
    for (const auto &c : cases) {
        const Grid<double> dtab = random_grid(c.lines, c.columns, seed++, 500);
        const Grid<double> res = random_grid(c.lines, c.columns, seed++, 300);
        const Grid<unsigned char> cells = cell_classes(dtab);
        double min1 = 100000, max1 = 0, min2 = 100000, max2 = 0;
        scan_range(res, min1, max1);
        scan_range(res, cells, min2, max2);
        EXPECT_EQ(min1, min2);
        EXPECT_EQ(max1, max2);
        Grid<unsigned char> tab(c.lines, c.columns), tab3a(c.lines, c.columns), tab3b(c.lines, c.columns);
        Grid<int32_t> itab(c.lines, c.columns);
        normalize(res, c.norm, min1, max1 - min1, tab);
        pins(tab, itab, tab3a);
        pins(tab, cells, 255, itab, tab3b);
        for (int32_t i = 0; i < c.lines; i++)
            for (int32_t j = 0; j < c.columns; j++)
                ASSERT_EQ(tab3a[i][j], tab3b[i][j]) << c.lines << "x" << c.columns << " at " << i << "," << j;
    }
}

TEST(Nodata, WindowAndStretchSkipCellsWithoutValue)
{
    // Column 0 has no elevation: the middle column's cells are results, the
    // last column and line edges. A window position on a cell without value
    // counts the centre's, as one outside the grid does.
    const Grid<double> dtab = grid_of<double>(3, 3, {X, 0, 0, X, 0, 0, X, 0, 0});
    const Grid<unsigned char> cells = cell_classes(dtab);
    const Grid<unsigned char> tab = grid_of<unsigned char>(3, 3, {99, 10, 20, 99, 10, 20, 99, 10, 20});
    Grid<int32_t> itab(3, 3);
    Grid<unsigned char> tab3(3, 3);
    pins(tab, cells, 255, itab, tab3);
    // Sums 110, 120, 110 in the middle, 160, 150, 160 on the right: the span
    // 51 gives (sum - 110) x 255 / 51.
    const int32_t sums[3][2] = {{110, 160}, {120, 150}, {110, 160}};
    const int bytes[3][2] = {{0, 250}, {50, 200}, {0, 250}};
    for (int32_t i = 0; i < 3; i++) {
        EXPECT_EQ(tab3[i][0], 255);
        for (int32_t k = 0; k < 2; k++) {
            EXPECT_EQ(itab[i][k + 1], sums[i][k]) << i << "," << k + 1;
            EXPECT_EQ(tab3[i][k + 1], bytes[i][k]) << i << "," << k + 1;
        }
    }
    // The range scan sees the result cells only: (0, 1) and (1, 1).
    const Grid<double> res = grid_of<double>(3, 3, {1e9, 7, 8, 1e9, 9, 8, 1e9, 1, 8});
    double dmin = 100000, dmax = 0;
    scan_range(res, cells, dmin, dmax);
    EXPECT_EQ(dmin, 7);
    EXPECT_EQ(dmax, 9);
}

// A wall of 100 m on a flat plain of 10 m cells, the sun at 45 degrees in the
// west: the wall's shadow line drops 10 m a cell, so it covers the six cells
// east of it. Lines 0 to 3 have the wall at column 1; line 1 has a hole in it
// (no elevation), line 2 a hole inside the shadow at column 4.
TEST(Nodata, CellsWithoutElevationCastNoShadowAndEndNone)
{
    const Grid<double> dtab = grid_of<double>(4, 9, {0, 100, 0, 0, 0, 0, 0, 0, 0, /**/
                                                     0, X,   0, 0, 0, 0, 0, 0, 0, /**/
                                                     0, 100, 0, 0, X, 0, 0, 0, 0, /**/
                                                     0, 100, 0, 0, 0, 0, 0, 0, 0});
    for (EngineKind kind : {EngineKind::Fast, EngineKind::Reference}) {
        const auto engine = make_engine(kind);
        EngineOptions options;
        options.sun_hours = true;
        engine->begin(dtab, 10, options);
        const Grid<unsigned char> marks = engine->shadow_marks(45, 270);
        engine->add_position({45, 270, Weight{1, 1}});
        const Accumulation acc = engine->finish();
        const Grid<unsigned char> cells = cell_classes(dtab);
        // Marks of the result cells (-1: no result), then hours of sun.
        const std::vector<int> expected_marks = {0,  -1, 1,  1,  1,  1,  1,  1,  -1, /**/
                                                 -1, -1, 0,  0,  -1, 0,  0,  0,  -1, /**/
                                                 0,  0,  1,  -1, -1, 1,  1,  1,  -1, /**/
                                                 -1, -1, -1, -1, -1, -1, -1, -1, -1};
        for (int32_t i = 0; i < 4; i++)
            for (int32_t j = 0; j < 9; j++) {
                const int want = expected_marks[static_cast<size_t>(i * 9 + j)];
                if (want < 0) {
                    EXPECT_NE(cells[i][j], kResultCell) << i << "," << j;
                    continue;
                }
                ASSERT_EQ(cells[i][j], kResultCell) << i << "," << j;
                EXPECT_EQ(marks[i][j], want) << i << "," << j;
                // A cell facing the sun and not in cast shadow has its hour;
                // the wall's eastern face (column 1) faces away.
                const double hours = j == 1 || want == 1 ? 0 : 1;
                EXPECT_EQ(acc.sun_hours[i][j], hours) << i << "," << j;
                EXPECT_TRUE(std::isfinite(acc.illumination[i][j]));
            }
    }
}

TEST(Nodata, PeriodsAcrossTheNewYearAreTwoPieces)
{
    const Period p = period_between(335, 31);
    ASSERT_EQ(p.pieces.size(), 2u);
    EXPECT_EQ(p.days(), 62);
    const std::vector<SunPosition> across = hourly_positions(p, 45);
    EXPECT_EQ(across.size(), 62u * 11);
    EXPECT_EQ(across.front().weight.divisor, 62 * 11);
    // December first, then January: the same positions as the two pieces.
    const std::vector<SunPosition> december = hourly_positions(period_between(335, 365), 45);
    EXPECT_EQ(across[0].elev, december[0].elev);
    EXPECT_EQ(across[december.size()].elev, hourly_positions(period_between(1, 1), 45)[0].elev);
}

} // namespace
} // namespace terralume
