// The exact cast-shadow method: against the brute-force model
// (tools/exact_reference.h), on analytic cases (tilted planes, towers and
// walls, the Earth's curvature) and on seeded terrain, and the fast engine
// against the straightforward pass, bit for bit, for every instruction set
// and thread count.
#include "engine.h"
#include "exact_reference.h"
#include "parallel.h"
#include "support.h"
#include "terrain.h"
#include "terrain_classes.h"

#include <cmath>
#include <limits>
#include <string>

using namespace terralume;
using terralume::test::bytes_of;
using terralume::tools::Random;

namespace
{

const double kInf = std::numeric_limits<double>::infinity();
const double kDeg = 4 * std::atan(1.0) / 180;

Grid<unsigned char> marks(const Grid<double> &dem, double px, double elev, double azim, bool curvature,
                          EngineKind kind = EngineKind::Fast)
{
    EngineOptions o;
    o.shadows = ShadowMethod::Exact;
    o.curvature = curvature;
    const auto e = make_engine(kind);
    e->begin(dem, px, o);
    Grid<unsigned char> m = e->shadow_marks(elev, azim);
    e->finish();
    return m;
}

std::string diff(const Grid<unsigned char> &a, const Grid<unsigned char> &b)
{
    int n = 0;
    std::string first;
    for (int32_t i = 0; i < a.nb_lig(); i++)
        for (int32_t j = 0; j < a.nb_col(); j++)
            if (a[i][j] != b[i][j] && n++ == 0)
                first = strf(" first at (%d, %d): %d against %d", i, j, a[i][j], b[i][j]);
    return n == 0 ? "" : strf("%d cells differ;", n) + first;
}

// A plane rising `slope` (metres per metre) toward azimuth `up`.
Grid<double> plane(int32_t nl, int32_t nc, double px, double up, double slope)
{
    Grid<double> g(nl, nc);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++)
            g[i][j] = 1000 + slope * px * (-i * std::cos(up * kDeg) + j * std::sin(up * kDeg));
    return g;
}

TEST(ExactShadow, TiltedPlanesAreLitOrShadedAsTheGeometrySays)
{
    // The sun 20 degrees above the horizon; a plane rising 0.6 toward the
    // sun hides it (tan 20 = 0.36), one rising 0.2 does not, nor one
    // falling. In shadow: every cell but those whose line toward the sun
    // leaves the grid before the next line of centres.
    struct Case {
        double up, sun, slope;
        bool shaded;
    };
    std::vector<Case> cases;
    for (double up : {0.0, 22.0, 45.0, 71.0, 90.0, 100.0, 135.0, 163.0, 180.0, 212.0, 250.0, 270.0, 301.0, 333.0})
        for (double off : {0.0, 17.0, -38.0}) {
            cases.push_back({up, up + off, 0.6, true});
            cases.push_back({up, up + off, 0.2, false});
            cases.push_back({up, up + off + 180, 0.6, false});
        }
    cases.push_back({100, 165, 0.4, false}); // lit, though the rays mark a third of it
    cases.push_back({100, 120, 0.4, true});
    for (const Case &c : cases)
        for (bool curvature : {false, true}) {
            const Grid<double> g = plane(23, 31, 30, c.up, c.slope);
            const Grid<unsigned char> m = marks(g, 30, 20, c.sun, curvature);
            const Grid<unsigned char> truth = tools::exact_reference(g, 20, c.sun, 30, curvature, 0.25);
            const double ur = -std::cos(c.sun * kDeg), uc = std::sin(c.sun * kDeg);
            const double t0 = 1 / std::max(std::fabs(ur), std::fabs(uc));
            int marked = 0;
            for (int32_t i = 0; i < 23; i++)
                for (int32_t j = 0; j < 31; j++) {
                    const double y = i + t0 * ur, x = j + t0 * uc;
                    const bool inside = y > -1e-9 && y < 22 + 1e-9 && x > -1e-9 && x < 30 + 1e-9;
                    const bool edge =
                        std::fabs(y - std::round(y)) < 1e-9 && std::fabs(x - std::round(x)) < 1e-9 &&
                        (std::round(y) == 0 || std::round(y) == 22 || std::round(x) == 0 || std::round(x) == 30);
                    marked += m[i][j];
                    if (!edge) {
                        ASSERT_EQ(m[i][j], c.shaded && inside ? 1 : 0)
                            << "up " << c.up << " sun " << c.sun << " slope " << c.slope << " at " << i << ", " << j;
                    }
                }
            EXPECT_EQ(diff(m, truth), "") << "up " << c.up << " sun " << c.sun << " slope " << c.slope;
            EXPECT_EQ(marked > 0, c.shaded);
        }
}

// Flat ground at 100 m with a block of 3 x 3 cells `height` metres higher,
// centred on (ci, cj), or with a wall 3 cells thick along the lines
// (`along_lines`) or the columns through it.
enum class Feature { Tower, WallAlongLines, WallAlongColumns };

Grid<double> ground(int32_t n, int32_t ci, int32_t cj, double height, Feature f)
{
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++) {
            const bool in_i = std::abs(i - ci) <= 1, in_j = std::abs(j - cj) <= 1;
            const bool up = f == Feature::Tower ? in_i && in_j : f == Feature::WallAlongLines ? in_i : in_j;
            g[i][j] = 100 + (up ? height : 0);
        }
    return g;
}

TEST(ExactShadow, TowersAndWallsCastShadowsOfHeightOverTanElevation)
{
    const int32_t n = 61;
    const double px = 10, height = 80;
    for (double elev : {25.0, 40.0})
        for (int a = 0; a < 24; a++) {
            const double azim = 15.0 * a + (a % 3 == 1 ? 4.0 : 0.0);
            const double length = height / std::tan(elev * kDeg) / px; // [cell]
            // Shadows fall toward (cos azim, -sin azim) in lines and columns.
            const double sr = std::cos(azim * kDeg), sc = -std::sin(azim * kDeg);
            {
                const int32_t c = n / 2 - static_cast<int32_t>(std::lround(14 * sr)),
                              d = n / 2 - static_cast<int32_t>(std::lround(14 * sc));
                const Grid<double> g = ground(n, c, d, height, Feature::Tower);
                const Grid<unsigned char> m = marks(g, px, elev, azim, true);
                const Grid<unsigned char> truth = tools::exact_reference(g, elev, azim, px, true, 0.1);
                // The farthest marked cell along the shadow, from the block's
                // farthest corner (the plateau between the centres reaches
                // one cell from the tower's centre each way).
                const double corner = std::fabs(sr) + std::fabs(sc);
                double reach = 0, model = 0;
                for (int32_t i = 0; i < n; i++)
                    for (int32_t j = 0; j < n; j++) {
                        const double along = (i - c) * sr + (j - d) * sc;
                        if (m[i][j])
                            reach = std::max(reach, along - corner);
                        if (truth[i][j])
                            model = std::max(model, along - corner);
                    }
                // Within one cell: the shadow's tip is a corner, which the
                // nearest cell centre may miss by up to a cell's diagonal.
                EXPECT_NEAR(reach, length, std::sqrt(2.0)) << "tower, elevation " << elev << " azimuth " << azim;
                EXPECT_NEAR(reach, model, 1.0) << "tower, elevation " << elev << " azimuth " << azim;
            }
            // A wall across the shadows' major axis: across its middle lines,
            // shadows reach length x the sine of the sun's angle to the wall.
            const bool lines = std::fabs(sr) >= std::fabs(sc);
            const int32_t w =
                n / 2 - static_cast<int32_t>(std::lround(14 * (lines ? sr : sc) / std::fabs(lines ? sr : sc)));
            const Grid<unsigned char> m =
                marks(ground(n, w, w, height, lines ? Feature::WallAlongLines : Feature::WallAlongColumns), px, elev,
                      azim, true);
            const double expected = length * std::fabs(lines ? sr : sc);
            for (int32_t k = 25; k <= 35; k++) {
                double reach = 0;
                for (int32_t x = 0; x < n; x++)
                    if (lines ? m[x][k] : m[k][x])
                        reach = std::max(reach, (x - w) * (lines ? sr : sc) / std::fabs(lines ? sr : sc) - 1);
                EXPECT_NEAR(reach, expected, 1.0) << "wall, elevation " << elev << " azimuth " << azim << " at " << k;
            }
        }
}

TEST(ExactShadow, TheEarthsCurvatureShortensLongShadows)
{
    // A wall 2000 m high on 1 km cells, the sun 1 degree high in the west:
    // the shadow ends where h - d^2 / 2R = d tan 1 (about 93 km), not at
    // h / tan 1 (115 km).
    const double px = 1000, height = 2000, t = std::tan(1 * kDeg);
    Grid<double> g(5, 160);
    for (int32_t i = 0; i < 5; i++)
        for (int32_t j = 0; j < 160; j++)
            g[i][j] = j >= 1 && j <= 3 ? height : 0;
    const double r = 6371000;
    const double with = (-t + std::sqrt(t * t + 4 * height / (2 * r))) * r / px;
    for (bool curvature : {false, true}) {
        const Grid<unsigned char> m = marks(g, px, 1, 270, curvature);
        int32_t last = 0;
        for (int32_t j = 0; j < 160; j++)
            if (m[2][j])
                last = j;
        EXPECT_NEAR(last - 3, curvature ? with : height / t / px, 1.0) << curvature;
        EXPECT_EQ(diff(m, tools::exact_reference(g, 1, 270, px, curvature, 0.25)), "") << curvature;
    }
}

TEST(ExactShadow, ATwistedCellsTopBetweenTheCentresCastsItsShadow)
{
    // Two cells 40 m high corner to corner on flat ground: along the other
    // diagonal through their shared cell, the surface is 0 at both corners
    // and 20 m at the middle. The sun along that diagonal (the rays on it
    // meet only those corners on the lines of centres) shades the cells
    // behind the middle for 20 / tan(elevation) metres.
    const int32_t n = 25, i0 = 8, j0 = 12;
    const double px = 10;
    for (double azim : {45.0, 135.0, 225.0, 315.0})
        for (double elev : {12.0, 25.0})
            for (bool curvature : {false, true}) {
                const double sr = std::cos(azim * kDeg), sc = -std::sin(azim * kDeg); // away from the sun
                Grid<double> g(n, n);
                for (int32_t i = 0; i < n; i++)
                    for (int32_t j = 0; j < n; j++)
                        g[i][j] = 100;
                // The diagonal through (i0, j0 + 1) and (i0 + 1, j0) when the
                // shadows fall toward more lines and fewer columns or back.
                const bool anti = (sr > 0) != (sc > 0);
                g[i0][anti ? j0 : j0 + 1] += 40;
                g[i0 + 1][anti ? j0 + 1 : j0] += 40;
                // The sun's side of the cell: the shadows fall from the middle
                // across the far corner, from the grid's middle.
                const int32_t ci = sr > 0 ? i0 + 1 : i0, cj = sc > 0 ? j0 + 1 : j0;
                const Grid<unsigned char> m = marks(g, px, elev, azim, curvature);
                const Grid<unsigned char> truth = tools::exact_reference(g, elev, azim, px, curvature, 0.01);
                const double reach = 20 / std::tan(elev * kDeg) / (px * std::sqrt(2.0)) - 0.5; // cells along
                int shaded = 0;
                for (int32_t q = 1; q < 8; q++) {
                    const int32_t i = ci + q * (sr > 0 ? 1 : -1), j = cj + q * (sc > 0 ? 1 : -1);
                    EXPECT_EQ(m[i][j], truth[i][j]) << azim << " " << elev << " " << curvature << " at " << q;
                    if (q < reach - 0.1) {
                        EXPECT_EQ(m[i][j], 1) << azim << " " << elev << " " << curvature << " at " << q;
                    }
                    if (q > reach + 0.1) {
                        EXPECT_EQ(m[i][j], 0) << azim << " " << elev << " " << curvature << " at " << q;
                    }
                    shaded += m[i][j];
                }
                EXPECT_GE(shaded, 2) << azim << " " << elev;
                EXPECT_EQ(diff(m, truth), "") << azim << " " << elev << " " << curvature;
            }
}

// Seeded terrains: fractal relief, or noise with towers; holes without data.
Grid<double> terrain(int32_t nl, int32_t nc, uint64_t seed, bool holes)
{
    const std::vector<int32_t> f = tools::fractal_terrain(nl, nc, seed, 200, 900, 16);
    Random rnd(seed);
    Grid<double> g(nl, nc);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++) {
            g[i][j] = f[static_cast<size_t>(i) * nc + j];
            if (seed % 2 == 1 && rnd.below(30) == 0)
                g[i][j] += 150 + rnd.below(300);
        }
    if (holes)
        for (int k = 0; k < 6; k++) {
            const int32_t i0 = rnd.below(nl), j0 = rnd.below(nc), s = 1 + rnd.below(5);
            for (int32_t i = i0; i < std::min(nl, i0 + s); i++)
                for (int32_t j = j0; j < std::min(nc, j0 + 2 * s); j++)
                    g[i][j] = -kInf;
        }
    return g;
}

TEST(ExactShadow, AgreesWithTheBruteForceModelOnTerrain)
{
    // Smooth relief (even seeds), or relief with spikes one cell wide (odd
    // seeds), whose tent-shaped shadows the horizon interpolated between two
    // rays blurs: they agree less.
    struct Case {
        uint64_t seed;
        double px, elev, azim;
        bool curvature;
    };
    const Case cases[] = {
        {2, 30, 10, 33, true},   {2, 30, 20, 200, false}, {4, 30, 35, 290, true},  {4, 30, 8, 118, true},
        {6, 500, 3, 75, true},   {6, 500, 3, 75, false},  {3, 30, 20, 250, true},  {5, 30, 12, 160, true},
        {8, 30, 15, 315, false}, {8, 30, 25, 5, true},    {10, 30, 40, 100, true}, {10, 30, 5, 260, true},
    };
    for (const Case &c : cases) {
        const Grid<double> g = terrain(90, 110, c.seed, false);
        const Grid<unsigned char> m = marks(g, c.px, c.elev, c.azim, c.curvature);
        const Grid<unsigned char> truth = tools::exact_reference(g, c.elev, c.azim, c.px, c.curvature);
        tools::MaskScore score;
        score.add(m, truth);
        ASSERT_GT(score.truth, 200) << c.seed << " " << c.azim;
        ASSERT_GT(score.ours, 0) << c.seed << " " << c.azim;
        const bool spikes = c.seed % 2 == 1;
        EXPECT_GT(score.iou(), spikes ? 0.92 : 0.96) << c.seed << " " << c.elev << " " << c.azim;
        EXPECT_GT(score.precision(), spikes ? 0.95 : 0.98) << c.seed << " " << c.elev << " " << c.azim;
    }
}

TEST(ExactShadow, HoldsOnEveryTerrainClass)
{
    // Each generated class (1 m to 5 km cells) under a low, a middling and a
    // high sun from several sides, with and without curvature: IoU over the
    // positions with more than 1 % of the cells in shadow, and precision.
    struct Case {
        double elev, azim;
        bool curvature;
    };
    const Case suns[] = {{3, 37, true}, {10, 142, true}, {25, 248, true}, {10, 301, false}, {45, 95, false}};
    const double floor_iou = 0.97, floor_precision = 0.99;
    for (const tools::TerrainClass &tc : tools::terrain_classes()) {
        const Grid<double> g = tc.make(48, 3);
        for (const Case &c : suns) {
            const Grid<unsigned char> m = marks(g, tc.pixel, c.elev, c.azim, c.curvature);
            const Grid<unsigned char> truth = tools::exact_reference(g, c.elev, c.azim, tc.pixel, c.curvature);
            tools::MaskScore score;
            score.add(m, truth);
            const std::string where = strf("%s, sun %g, %g, curvature %d", tc.name, c.elev, c.azim, c.curvature);
            if (score.truth > 48 * 48 / 100) {
                EXPECT_GE(score.iou(), floor_iou) << where;
            }
            if (score.ours > 0) {
                EXPECT_GE(score.precision(), floor_precision) << where;
            }
        }
    }
}

TEST(ExactShadow, WindowsWithAHaloGiveTheWholeRastersBits)
{
    // A window of the raster read with a halo as deep as the longest shadow,
    // its rays anchored to the whole raster's grid: its core gets the whole
    // raster's marks, cells whose rays disagree and whose lines are walked
    // (to the window's border, not the raster's) included. Rough classes of
    // low relief, so that the halo is small.
    struct Case {
        const char *terrain;
        double elev;
    };
    const Case cases[] = {{"plain", 6}, {"terraces", 40}, {"canyon", 55}};
    const int32_t n = 64, core = 16;
    for (const Case &c : cases) {
        const tools::TerrainClass *tc = nullptr;
        for (const tools::TerrainClass &t : tools::terrain_classes())
            if (std::string(t.name) == c.terrain)
                tc = &t;
        ASSERT_NE(tc, nullptr) << c.terrain;
        const Grid<double> g = tc->make(n, 7);
        double lo = g[0][0], hi = g[0][0];
        for (int32_t i = 0; i < n; i++)
            for (int32_t j = 0; j < n; j++) {
                lo = std::min(lo, g[i][j]);
                hi = std::max(hi, g[i][j]);
            }
        const auto halo = static_cast<int32_t>(std::ceil((hi - lo) / std::tan(c.elev * kDeg) / tc->pixel)) + 2;
        for (double azim : {20.0, 135.0, 200.0, 290.0})
            for (bool curvature : {false, true}) {
                const Grid<unsigned char> whole = marks(g, tc->pixel, c.elev, azim, curvature);
                for (int32_t ci = 0; ci < n; ci += core)
                    for (int32_t cj = 0; cj < n; cj += core) {
                        const int32_t i0 = std::max(0, ci - halo), j0 = std::max(0, cj - halo);
                        const int32_t i1 = std::min(n, ci + core + halo), j1 = std::min(n, cj + core + halo);
                        Grid<double> w(i1 - i0, j1 - j0);
                        for (int32_t i = i0; i < i1; i++)
                            for (int32_t j = j0; j < j1; j++)
                                w[i - i0][j - j0] = g[i][j];
                        for (EngineKind kind : {EngineKind::Fast, EngineKind::Reference}) {
                            EngineOptions o;
                            o.shadows = ShadowMethod::Exact;
                            o.curvature = curvature;
                            o.origin = {i0, j0, n, n};
                            const auto e = make_engine(kind);
                            e->begin(w, tc->pixel, o);
                            const Grid<unsigned char> m = e->shadow_marks(c.elev, azim);
                            e->finish();
                            int differ = 0;
                            for (int32_t i = ci; i < ci + core; i++)
                                for (int32_t j = cj; j < cj + core; j++)
                                    differ += m[i - i0][j - j0] != whole[i][j];
                            EXPECT_EQ(differ, 0) << c.terrain << " azimuth " << azim << " curvature " << curvature
                                                 << " core at " << ci << ", " << cj;
                        }
                    }
            }
    }
}

TEST(ExactShadow, CellsWithoutDataCastNothingAndReceiveNothing)
{
    // The tower replaced by a hole: nothing is marked. A hole in a shaded
    // plane: the hole is not marked, and cells away from it are.
    Grid<double> g = ground(31, 15, 15, 200, Feature::Tower);
    for (int32_t i = 14; i <= 16; i++)
        for (int32_t j = 14; j <= 16; j++)
            g[i][j] = -kInf;
    for (double azim : {0.0, 37.0, 135.0, 250.0}) {
        const Grid<unsigned char> m = marks(g, 10, 10, azim, true);
        EXPECT_EQ(diff(m, Grid<unsigned char>(31, 31)), "") << azim;
    }
    Grid<double> p = plane(31, 31, 30, 100, 0.6);
    for (int32_t i = 10; i <= 20; i++)
        for (int32_t j = 12; j <= 14; j++)
            p[i][j] = -kInf;
    const Grid<unsigned char> m = marks(p, 30, 20, 110, true);
    int marked = 0;
    for (int32_t i = 0; i < 31; i++)
        for (int32_t j = 0; j < 31; j++) {
            if (p[i][j] == -kInf) {
                EXPECT_EQ(m[i][j], 0) << i << ", " << j;
            }
            marked += m[i][j];
        }
    EXPECT_GT(marked, 31 * 31 - 33 - 2 * 31 - 40);
}

class ExactShadowBits : public test::SetsAndThreads
{
};

TEST_P(ExactShadowBits, FastEngineGivesTheStraightforwardPassesBits)
{
    // Grids of many shapes, some with holes, the sun on the axes, the
    // diagonals, beside them and anywhere; marks and whole accumulations.
    const int32_t sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 5}, {17, 4}, {64, 64}, {37, 131}, {140, 45}};
    std::vector<std::pair<double, double>> suns;
    for (double a : {0.0, 45.0, 90.0, 135.0, 180.0, 225.0, 270.0, 315.0, 0.3, 44.9, 90.2, 269.9})
        suns.emplace_back(a < 100 ? 6.0 : 30.0, a);
    Random rnd(17);
    for (int k = 0; k < 10; k++)
        suns.emplace_back(0.5 + 60 * rnd.uniform(), 360 * rnd.uniform());
    uint64_t seed = 1;
    for (const auto &sz : sizes)
        for (bool holes : {false, true}) {
            const Grid<double> g = terrain(sz[0], sz[1], seed++, holes);
            for (bool curvature : {false, true}) {
                EngineOptions o;
                o.shadows = ShadowMethod::Exact;
                o.curvature = curvature;
                o.sun_hours = true;
                const auto ref = make_engine(EngineKind::Reference);
                const auto fast = make_engine(EngineKind::Fast);
                const double px = curvature ? 250 : 30;
                ref->begin(g, px, o);
                fast->begin(g, px, o);
                for (const auto &[elev, azim] : suns) {
                    ASSERT_EQ(diff(fast->shadow_marks(elev, azim), ref->shadow_marks(elev, azim)), "")
                        << sz[0] << " x " << sz[1] << " holes " << holes << " sun " << elev << ", " << azim;
                    ref->add_position({elev, azim, {3, 1}});
                    fast->add_position({elev, azim, {3, 1}});
                }
                const Accumulation a = ref->finish();
                const Accumulation b = fast->finish();
                EXPECT_TRUE(bytes_of(a.illumination) == bytes_of(b.illumination)) << sz[0] << " x " << sz[1];
                EXPECT_TRUE(bytes_of(a.sun_hours) == bytes_of(b.sun_hours)) << sz[0] << " x " << sz[1];
            }
        }
}

TEST_P(ExactShadowBits, FastEngineGivesTheStraightforwardPassesBitsOnEveryTerrainClass)
{
    // Cliffs, crests, pits and spikes one cell wide, where the rays on either
    // side of a cell disagree most and its own line is walked on.
    for (const tools::TerrainClass &tc : tools::terrain_classes()) {
        const Grid<double> g = tc.make(40, 5);
        for (bool curvature : {false, true}) {
            EngineOptions o;
            o.shadows = ShadowMethod::Exact;
            o.curvature = curvature;
            const auto ref = make_engine(EngineKind::Reference);
            const auto fast = make_engine(EngineKind::Fast);
            ref->begin(g, tc.pixel, o);
            fast->begin(g, tc.pixel, o);
            for (const auto &[elev, azim] : {std::pair{3.0, 17.0}, {8.0, 100.0}, {20.0, 210.0}, {35.0, 333.0}}) {
                ASSERT_EQ(diff(fast->shadow_marks(elev, azim), ref->shadow_marks(elev, azim)), "")
                    << tc.name << " curvature " << curvature << " sun " << elev << ", " << azim;
            }
            ref->finish();
            fast->finish();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SetsAndThreads, ExactShadowBits, ::testing::ValuesIn(test::sets_and_threads({1, 2, 3})),
                         test::set_and_threads_name);

} // namespace
