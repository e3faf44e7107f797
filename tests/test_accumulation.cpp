#include "accumulation.h"
#include "final_treatment.h"
#include "support.h"

using namespace terralume;
using terralume::test::grid_of;

TEST(Superposition, AttenuatesMarkedCellsAndAccumulates)
{
    const Grid<double> s = grid_of<double>(2, 3, {200, 100, 0, 255.999, 50, 0});
    const Grid<unsigned char> cs = grid_of<unsigned char>(2, 3, {1, 0, 0, 2, 1, 0});
    Grid<double> sp(2, 3);
    Grid<double> res(2, 3);
    superp_cast(s, cs, 0.5, 11, sp, res);
    EXPECT_EQ(sp[0][0], 100);
    EXPECT_EQ(sp[0][1], 100);
    EXPECT_EQ(sp[1][0], 255.999); // only the value 1 marks a cast shadow
    EXPECT_EQ(sp[1][1], 25);
    EXPECT_EQ(res[0][0], 100.0 / 11);
    EXPECT_EQ(res[1][1], 25.0 / 11);
    EXPECT_EQ(res[0][2], 0);

    // Attenuation 0 blacks out, 1 ignores the mask.
    superp_cast(s, cs, 0, 11, sp, res);
    EXPECT_EQ(res[0][0], 100.0 / 11);
    superp_cast(s, cs, 1, 11, sp, res);
    EXPECT_EQ(res[0][0], 200.0 / 11 + 100.0 / 11);

    // Two unshadowed positions at 255.999 with num_spot 22.
    Grid<double> two(2, 3);
    superp_cast(s, cs, 0.5, 22, sp, two);
    superp_cast(s, cs, 0.5, 22, sp, two);
    EXPECT_EQ(two[1][0], 2 * 255.999 / 22);
}

TEST(Normalization, RangeScanLeavesOutLastLineAndColumn)
{
    const Grid<double> res = grid_of<double>(3, 3, {10, 20, 999, 30, 5, 999, 999, 999, 999});
    double dmin = 100000;
    double dmax = 0;
    scan_range(res, dmin, dmax);
    EXPECT_EQ(dmin, 5);
    EXPECT_EQ(dmax, 30);
    // Nothing scanned: the starting values stay.
    const Grid<double> line = grid_of<double>(1, 3, {1, 2, 3});
    dmin = 100000;
    dmax = 0;
    scan_range(line, dmin, dmax);
    EXPECT_EQ(dmin, 100000);
    EXPECT_EQ(dmax, 0);
}

TEST(Normalization, ModesTruncateAndClamp)
{
    // Grey tones: dmax -> 255, dmin -> 0, the unlit border below dmin -> 0.
    EXPECT_EQ(normalized_value(80, 2, 20, 60), 255);
    EXPECT_EQ(normalized_value(20, 2, 20, 60), 0);
    EXPECT_EQ(normalized_value(50, 2, 20, 60), 127);
    EXPECT_EQ(normalized_value(0, 2, 20, 60), 0); // -85 truncated, not 171
    EXPECT_EQ(normalized_value(19.3, 2, 20, 60), 0);
    // Per cent.
    EXPECT_EQ(normalized_value(80, 1, 20, 60), 100);
    EXPECT_EQ(normalized_value(20, 1, 20, 60), 0);
    EXPECT_EQ(normalized_value(0, 1, 20, 60), 0);
    // Raw data keeps the whole part; sums past 255 saturate.
    EXPECT_EQ(normalized_value(200.7, 0, 20, 60), 200);
    EXPECT_EQ(normalized_value(255.9, 0, 20, 60), 255);
    EXPECT_EQ(normalized_value(256.2, 0, 20, 60), 255);
    EXPECT_EQ(normalized_value(1e12, 0, 20, 60), 255);
    // No range: no division by zero.
    EXPECT_EQ(normalized_value(118.6, 2, 118.6, 0), 0);
    EXPECT_EQ(normalized_value(118.6, 1, 118.6, 0), 0);
    EXPECT_EQ(normalized_value(118.6, 0, 118.6, 0), 118);

    const Grid<double> res = grid_of<double>(2, 2, {40, 10, 0, 0});
    Grid<unsigned char> tab(2, 2);
    normalize(res, 2, 10, 30, tab);
    EXPECT_EQ(tab[0][0], 255);
    EXPECT_EQ(tab[0][1], 0);
    EXPECT_EQ(tab[1][0], 0);
}

namespace
{

Grid<unsigned char> final_image(const Grid<unsigned char> &tab)
{
    Grid<int32_t> itab(tab.nb_lig(), tab.nb_col());
    Grid<unsigned char> tab3(tab.nb_lig(), tab.nb_col());
    pins(tab, itab, tab3);
    return tab3;
}

std::vector<int> cells(const Grid<unsigned char> &g)
{
    std::vector<int> v;
    for (int32_t i = 0; i < g.nb_lig(); i++)
        for (int32_t j = 0; j < g.nb_col(); j++)
            v.push_back(g[i][j]);
    return v;
}

} // namespace

TEST(FinalTreatment, UniformImagesBecomeBlack)
{
    for (unsigned char v : {0, 77, 255}) {
        Grid<unsigned char> tab(4, 5);
        tab.fill(v);
        EXPECT_EQ(cells(final_image(tab)), std::vector<int>(20, 0)) << int(v);
    }
}

TEST(FinalTreatment, WindowSumsAndStretch)
{
    // One interior cell at 255: its window sums 255, stretched to 254.
    Grid<unsigned char> tab(5, 5);
    tab[2][2] = 255;
    const Grid<unsigned char> out = final_image(tab);
    for (int32_t i = 0; i < 5; i++)
        for (int32_t j = 0; j < 5; j++) {
            const bool near = i >= 1 && i <= 3 && j >= 1 && j <= 3;
            EXPECT_EQ(out[i][j], near ? 254 : 0) << i << "," << j;
        }

    // A corner at 255 counts six times in its own window.
    Grid<unsigned char> corner(3, 3);
    corner[0][0] = 255;
    Grid<int32_t> sums(3, 3);
    window_sums(corner, sums);
    EXPECT_EQ(sums[0][0], 6 * 255);
    EXPECT_EQ(sums[0][1], 255);
    EXPECT_EQ(sums[1][1], 255);
    EXPECT_EQ(sums[2][2], 0);
    EXPECT_EQ(cells(final_image(corner)), (std::vector<int>{254, 42, 0, 42, 42, 0, 0, 0, 0}));

    // An edge cell counts its own value four times.
    Grid<unsigned char> edge(3, 4);
    edge[0][1] = 10;
    edge[1][1] = 1;
    Grid<int32_t> edge_sums(3, 4);
    window_sums(edge, edge_sums);
    EXPECT_EQ(edge_sums[0][1], 4 * 10 + 1);

    // Sums one apart: 0 and 127.
    Grid<int32_t> s2(2, 2);
    s2[0][0] = 9;
    s2[0][1] = 10;
    s2[1][0] = 10;
    s2[1][1] = 9;
    Grid<unsigned char> t2(2, 2);
    stretch(s2, t2);
    EXPECT_EQ(cells(t2), (std::vector<int>{0, 127, 127, 0}));

    // 2 x 2: every cell is a corner (own value six times, the others once).
    const Grid<unsigned char> small = grid_of<unsigned char>(2, 2, {10, 20, 30, 40});
    Grid<int32_t> s4(2, 2);
    window_sums(small, s4);
    EXPECT_EQ(s4[0][0], 6 * 10 + 20 + 30 + 40);
    EXPECT_EQ(s4[1][1], 6 * 40 + 10 + 20 + 30);
}

TEST(FinalTreatment, SingleLineAndColumnUseTheCentreRule)
{
    const Grid<unsigned char> line = grid_of<unsigned char>(1, 3, {0, 255, 0});
    Grid<int32_t> sums(1, 3);
    window_sums(line, sums);
    EXPECT_EQ(sums[0][0], 255);
    EXPECT_EQ(sums[0][1], 7 * 255);
    EXPECT_EQ(cells(final_image(line)), (std::vector<int>{0, 254, 0}));
    const Grid<unsigned char> column = grid_of<unsigned char>(3, 1, {0, 255, 0});
    EXPECT_EQ(cells(final_image(column)), (std::vector<int>{0, 254, 0}));
    const Grid<unsigned char> one = grid_of<unsigned char>(1, 1, {200});
    EXPECT_EQ(cells(final_image(one)), (std::vector<int>{0}));
}
