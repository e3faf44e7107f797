#include "shading.h"
#include "support.h"

#include <cmath>
#include <limits>

using namespace terralume;
using terralume::test::grid_of;

namespace
{

// A plane rising by `per_line` metres per line and `per_col` per column.
Grid<double> plane(int32_t lig, int32_t col, double per_line, double per_col)
{
    Grid<double> g(lig, col);
    for (int32_t i = 0; i < lig; i++)
        for (int32_t j = 0; j < col; j++)
            g[i][j] = 100 + i * per_line + j * per_col;
    return g;
}

void expect_written_cells(const Grid<double> &s, double value, double tol)
{
    for (int32_t i = 0; i < s.nb_lig(); i++)
        for (int32_t j = 0; j < s.nb_col(); j++) {
            const bool written = i < s.nb_lig() - 1 && j < s.nb_col() - 1;
            if (written) {
                EXPECT_NEAR(s[i][j], value, tol) << i << "," << j;
            } else {
                EXPECT_EQ(s[i][j], 0.0) << i << "," << j;
            }
        }
}

} // namespace

TEST(Shading, FlatGroundIsSineOfElevationWhateverTheAzimuth)
{
    const Grid<double> flat = plane(5, 6, 0, 0);
    for (double azim : {0.0, 77.0, 180.0, 300.0}) {
        Grid<double> s(5, 6);
        shadow(flat, 30, azim, 25, s);
        expect_written_cells(s, 255.999 / 2, 1e-9);
    }
    Grid<double> s(5, 6);
    shadow(flat, 41.122961, 97.2, 10, s);
    const double pi = 4 * std::atan(1.0);
    EXPECT_EQ(s[2][2], 255.999 * std::sin(41.122961 * (pi * (1.0 / 180))));
}

TEST(Shading, TiltedPlanesFaceTheirSun)
{
    const double px = 10;
    Grid<double> s(4, 4);
    // Rising toward increasing line index: faces line 0 (north).
    shadow(plane(4, 4, px, 0), 45, 0, px, s);
    expect_written_cells(s, 255.999, 1e-9);
    shadow(plane(4, 4, px, 0), 30, 180, px, s);
    expect_written_cells(s, 0, 0);
    // Rising toward increasing column index: faces column 0 (west).
    shadow(plane(4, 4, 0, px), 45, 270, px, s);
    expect_written_cells(s, 255.999, 1e-9);
    // Falling toward increasing line index: faces south.
    shadow(plane(4, 4, -px, 0), 30, 0, px, s);
    expect_written_cells(s, 0, 0);
    shadow(plane(4, 4, -px, 0), 45, 180, px, s);
    expect_written_cells(s, 255.999, 1e-9);
}

TEST(Shading, ShadingUsesOnlyTheNextLineAndNextColumn)
{
    // One raised cell changes the shading of itself and of the cells before
    // it on its line and column, nothing else.
    Grid<double> dem = plane(5, 5, 0, 0);
    dem[2][2] = 130;
    Grid<double> s(5, 5);
    shadow(dem, 40, 135, 30, s);
    const double flat = s[0][0];
    for (int32_t i = 0; i < 4; i++)
        for (int32_t j = 0; j < 4; j++) {
            const bool touched = (i == 2 && j == 2) || (i == 1 && j == 2) || (i == 2 && j == 1);
            if (!touched) {
                EXPECT_EQ(s[i][j], flat) << i << "," << j;
            }
        }
    // The cell itself falls to the south and the east: it faces the
    // south-east sun. The cell north of it rises to the south (faces north),
    // the cell west of it rises to the east (faces west): both are dimmer.
    EXPECT_GT(s[2][2], flat);
    EXPECT_LT(s[1][2], flat);
    EXPECT_LT(s[2][1], flat);
}

TEST(Shading, SingleLineOrColumnWritesNothing)
{
    for (auto [lig, col] : {std::pair{1, 6}, std::pair{6, 1}, std::pair{1, 1}}) {
        Grid<double> s(lig, col);
        shadow(plane(lig, col, 3, 2), 50, 180, 10, s);
        expect_written_cells(s, 0, 0);
    }
}

namespace terralume
{
namespace
{

// Horn's plane: exact on a tilted plane to the very corners, around holes
// and on a single line; the slope and aspect of a cone.
TEST(HornPlane, TiltedPlanesConesAndHoles)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        int32_t lines, columns;
        std::vector<std::pair<int32_t, int32_t>> holes;
    } planes[] = {{7, 9, {}}, {2, 2, {}}, {6, 5, {{2, 2}, {0, 4}, {5, 0}}}, {1, 6, {}}, {5, 1, {}}};
    for (const auto &c : planes) {
        Grid<double> z(c.lines, c.columns);
        for (int32_t i = 0; i < c.lines; i++)
            for (int32_t j = 0; j < c.columns; j++)
                z[i][j] = 100 + 3.5 * i - 1.25 * j;
        for (const auto &[i, j] : c.holes)
            z[i][j] = -inf;
        const SlopeRises r = horn_rises(z);
        for (int32_t i = 0; i < c.lines; i++)
            for (int32_t j = 0; j < c.columns; j++) {
                if (!std::isfinite(z[i][j])) {
                    EXPECT_TRUE(std::isnan(r.d2[i][j]));
                    continue;
                }
                // Along a single line or column there is no rise across it.
                EXPECT_EQ(r.d2[i][j], c.lines > 1 ? 3.5 : 0.0) << c.lines << "x" << c.columns << " " << i << "," << j;
                EXPECT_EQ(r.d3[i][j], c.columns > 1 ? -1.25 : 0.0)
                    << c.lines << "x" << c.columns << " " << i << "," << j;
            }
    }
    // A cone 1 m high a cell out: slope 45 degrees, facing away from its top.
    const int32_t n = 41;
    Grid<double> cone(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++)
            cone[i][j] = -std::hypot(i - 20.0, j - 20.0);
    const SlopeRises r = horn_rises(cone);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++) {
            const double d = std::hypot(i - 20.0, j - 20.0);
            if (d < 4 || d > 19)
                continue;
            EXPECT_NEAR(std::hypot(r.d2[i][j], r.d3[i][j]), 1.0, 0.02) << i << "," << j;
            // Downhill is away from the top: the rises point back toward it.
            EXPECT_LT(r.d2[i][j] * (i - 20.0) + r.d3[i][j] * (j - 20.0), 0) << i << "," << j;
        }
    // The sun square on the cone's sunward side lights it fully.
    Grid<double> s(n, n);
    shadow(r, 45, 180, 1, s); // sun in the south, 45 degrees up
    EXPECT_NEAR(s[35][20], 255.999, 0.2);
    EXPECT_NEAR(s[5][20], 0, 0.5);
}

} // namespace
} // namespace terralume
