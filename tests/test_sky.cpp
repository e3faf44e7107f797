// Horizons and the sky-view factor: against planes and valleys whose
// horizons are known, against their own brute force, and their bits on any
// number of threads.
#include "diffuse.h"
#include "engine.h"
#include "exact_reference.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "horizon.h"
#include "parallel.h"
#include "run.h"
#include "sky_view.h"
#include "solar_period.h"
#include "support.h"
#include "terrain.h"

#include <bit>
#include <cmath>
#include <limits>

using namespace terralume;
using namespace terralume::test;

namespace
{

const double kPi = 4 * std::atan(1.0);
const double kDeg = kPi / 180;

Grid<double> plane(int32_t nl, int32_t nc, double per_line, double per_column)
{
    Grid<double> g(nl, nc);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++)
            g[i][j] = 500 + per_line * i + per_column * j;
    return g;
}

Grid<double> rough(int32_t nl, int32_t nc, uint64_t seed)
{
    const std::vector<int32_t> f = tools::fractal_terrain(nl, nc, seed, 200, 900, 16);
    Grid<double> g(nl, nc);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++)
            g[i][j] = f[static_cast<size_t>(i) * nc + j];
    return g;
}

// The horizon of a cell by brute force on the bilinear surface: the line
// from its centre toward azim sampled every twentieth of a cell, from where
// it meets the next line of centres.
double brute_horizon(const Grid<double> &dem, int32_t i, int32_t j, double azim, double px)
{
    const double ur = -std::cos(azim * kDeg), uc = std::sin(azim * kDeg);
    const double t0 = 1 / std::max(std::fabs(ur), std::fabs(uc));
    double best = -std::numeric_limits<double>::infinity();
    for (int k = 0;; k++) {
        const double t = t0 + k * 0.05;
        const double y = i + t * ur, x = j + t * uc;
        if (y < 0 || y > dem.nb_lig() - 1 || x < 0 || x > dem.nb_col() - 1)
            break;
        best = std::max(best, std::atan((tools::bilinear(dem, y, x) - dem[i][j]) / (t * px)));
    }
    return best;
}

// The sky-view factor's integral by brute force: the horizon clipped to the
// level and to the cell's plane, the integrand summed over `count` azimuths.
double brute_sky_view(const Normal &n, const std::vector<double> &elevation)
{
    const size_t count = elevation.size();
    double sum = 0;
    for (size_t k = 0; k < count; k++) {
        const double phi = 2 * kPi * static_cast<double>(k) / static_cast<double>(count);
        const double a = n.north * std::cos(phi) + n.east * std::sin(phi);
        const double e = std::max({elevation[k], 0.0, std::atan2(-a, n.up)});
        const double zen = kPi / 2 - e;
        sum += n.up * std::sin(zen) * std::sin(zen) + a * (zen - std::sin(zen) * std::cos(zen));
    }
    return sum / static_cast<double>(count);
}

// The horizons of one direction the straightforward way, cell by cell, on
// the rays of the cast shadows: the highest rise to the cell's own samples
// over the first steps, and beyond them to every point between a sample of
// the left ray and one of the right ray, weighted as the shadows interpolate
// (every pair of samples, both within the distance when one is given).
Grid<float> scanned_horizons(const Grid<double> &dem, double px, double azim, double distance, bool curvature)
{
    using formulas::ray_sample;
    const double inf = std::numeric_limits<double>::infinity();
    const ExactGeometry g = exact_geometry(dem.nb_lig(), dem.nb_col(), 0, azim, px, false);
    const double kc = curvature ? 1 / (2 * kEarthRadius) : 0;
    auto at = [&](int32_t r, int32_t c) {
        if (c < 0 || c > g.ncols - 1)
            return -inf;
        return g.transposed ? dem.at(c, r) : dem.at(r, c);
    };
    // Ray i's sample at step s.
    auto sample = [&](int32_t i, int32_t s) {
        const int32_t c = i + g.kmin + g.base[s];
        return ray_sample(at(g.r0 + g.dr * s, c), at(g.r0 + g.dr * s, c + 1), g.phi[s], 0.0, -inf);
    };
    Grid<float> out(dem.nb_lig(), dem.nb_col());
    for (int32_t i = 0; i < dem.nb_lig(); i++)
        for (int32_t j = 0; j < dem.nb_col(); j++)
            out[i][j] = dem[i][j] > -inf ? 0.0f : std::numeric_limits<float>::quiet_NaN();
    for (int32_t n = 0; n < g.nrows; n++) {
        const int32_t r = g.r0 + g.dr * n;
        const double phi = g.phi[n];
        const int32_t first = distance > 0 ? std::max<int32_t>(0, n - static_cast<int32_t>(distance / g.step)) : 0;
        for (int32_t c = g.lo[n]; c <= g.hi[n]; c++) {
            const double h = at(r, c);
            if (!(h > -inf))
                continue;
            double best = -inf;
            for (int k = 0; k < kOwnSteps && k < n; k++) {
                const double d = (k + 1) * g.step;
                const int32_t back = r - g.dr * (k + 1), col = c + g.jb[k][n];
                const double own = ray_sample(at(back, col), at(back, col + 1), g.psi[k][n], 0.0, -inf);
                if (own > -inf && !(distance > 0 && d > distance))
                    best = std::max(best, (own - h - kc * d * d) / d);
            }
            const int32_t ir = c - g.base[n] - g.kmin, il = ir - 1;
            bool left = false, right = false;
            for (int32_t s = first; s <= n - 1 - kOwnSteps; s++) {
                left = left || sample(il, s) > -inf;
                right = right || sample(ir, s) > -inf;
            }
            for (int32_t a = first; a <= n - 1 - kOwnSteps; a++)
                for (int32_t b = first; b <= n - 1 - kOwnSteps; b++) {
                    const double za = sample(il, a), zb = sample(ir, b);
                    const double da = (n - a) * g.step, db = (n - b) * g.step;
                    if (left && right && za > -inf && zb > -inf)
                        best = std::max(best, (phi * (za - kc * da * da) + (1 - phi) * (zb - kc * db * db) - h) /
                                                  (phi * da + (1 - phi) * db));
                    else if (left != right && a == b && (left ? za : zb) > -inf)
                        best = std::max(best, ((left ? za : zb) - h - kc * da * da) / da);
                }
            if (best > -inf) {
                const float v = static_cast<float>(std::atan(best) / kDeg);
                if (g.transposed)
                    out[c][r] = v;
                else
                    out[r][c] = v;
            }
        }
    }
    return out;
}

TEST(Horizon, OnAPlaneEveryDirectionSeesThePlanesOwnSlope)
{
    // Rises per line and per column [metre], cells of 10 m, no curvature:
    // toward azimuth A the plane rises (-dl cos A + dc sin A) / 10 per metre.
    struct Case {
        double dl, dc;
    };
    for (const Case c : {Case{0, 0}, Case{3, 0}, Case{-2, 5}, Case{7, -7}, Case{0.5, 1}})
        for (const double azim : {0.0, 30.0, 45.0, 90.0, 137.0, 200.0, 270.0, 315.0, 359.0}) {
            const Grid<double> g = plane(40, 50, c.dl, c.dc);
            Grid<float> h(40, 50);
            horizon_pass(g, 10, azim, 0, false, h);
            const double want = std::atan((-c.dl * std::cos(azim * kDeg) + c.dc * std::sin(azim * kDeg)) / 10) / kDeg;
            for (int32_t i = 8; i < 32; i++)
                for (int32_t j = 8; j < 42; j++)
                    ASSERT_NEAR(h[i][j], want, 1e-4) << c.dl << " " << c.dc << " " << azim << " " << i << " " << j;
            // The cells at the grid's edge facing out see a level horizon.
            const int32_t edge_i = std::cos(azim * kDeg) > 0.5 ? 0 : std::cos(azim * kDeg) < -0.5 ? 39 : 20;
            const int32_t edge_j = std::sin(azim * kDeg) > 0.5 ? 49 : std::sin(azim * kDeg) < -0.5 ? 0 : 25;
            if (edge_i != 20 || edge_j != 25) {
                EXPECT_EQ(h[edge_i][edge_j], 0.0f) << azim;
            }
        }
}

TEST(Horizon, TheHullGivesWhatEverySampleOneByOneGives)
{
    // Out to a distance beyond the grid the samples are read one by one:
    // the same angles as the hull's, with and without the curvature, on
    // 30 m and 5 km cells.
    for (const uint64_t seed : {2u, 3u, 7u})
        for (const double px : {30.0, 5000.0})
            for (const bool curvature : {false, true})
                for (const double azim : {0.0, 22.5, 45.0, 100.0, 251.0, 333.0}) {
                    const Grid<double> g = rough(47, 61, seed);
                    Grid<float> hull(47, 61), one(47, 61);
                    horizon_pass(g, px, azim, 0, curvature, hull);
                    horizon_pass(g, px, azim, px * 1e6, curvature, one);
                    for (int32_t i = 0; i < 47; i++)
                        for (int32_t j = 0; j < 61; j++)
                            ASSERT_NEAR(hull[i][j], one[i][j], 2e-5) << seed << " " << px << " " << azim;
                }
}

TEST(Horizon, TheHullsGiveWhatAScanOfEverySampleGives)
{
    // Rough terrain, with cells lacking data, 30 m and 5 km cells, with and
    // without the curvature, over the whole grid and out to a distance; a
    // grid wide enough for the distance's hulls to be made in several
    // batches of rays.
    struct Size {
        int32_t lines, columns;
    };
    for (const Size size : {Size{31, 37}, Size{12, 150}})
        for (const uint64_t seed : {2u, 11u})
            for (const double px : {30.0, 5000.0})
                for (const bool curvature : {false, true})
                    for (const double reach : {0.0, 9.5, 1e9})
                        for (const double azim : {0.0, 45.0, 100.0, 200.0, 333.0}) {
                            Grid<double> g = rough(size.lines, size.columns, seed);
                            for (int32_t j = 5; j < 9; j++)
                                g[7][j] = -std::numeric_limits<double>::infinity();
                            Grid<float> fast(size.lines, size.columns);
                            horizon_pass(g, px, azim, reach * px, curvature, fast);
                            const Grid<float> scan = scanned_horizons(g, px, azim, reach * px, curvature);
                            for (int32_t i = 0; i < size.lines; i++)
                                for (int32_t j = 0; j < size.columns; j++) {
                                    if (std::isnan(scan[i][j])) {
                                        ASSERT_TRUE(std::isnan(fast[i][j]));
                                        continue;
                                    }
                                    ASSERT_NEAR(fast[i][j], scan[i][j], 2e-5)
                                        << seed << " " << px << " " << curvature << " " << reach << " " << azim << " "
                                        << i << " " << j;
                                }
                        }
}

TEST(Horizon, AWindowOnTheRastersRaysGivesTheRastersBitsWithinTheDistance)
{
    // Out to 5 cells, a window of the raster placed by its origin gives the
    // raster's angles wherever it holds the distance and a cell more.
    const Grid<double> whole = rough(40, 48, 9);
    struct Window {
        int32_t line, column, lines, columns;
    };
    for (const Window w : {Window{7, 5, 26, 30}, Window{0, 13, 21, 35}, Window{19, 0, 21, 17}})
        for (const bool curvature : {false, true})
            for (const double azim : {0.0, 7.3, 45.0, 100.0, 181.5, 251.0, 333.0}) {
                Grid<double> part(w.lines, w.columns);
                for (int32_t i = 0; i < w.lines; i++)
                    for (int32_t j = 0; j < w.columns; j++)
                        part[i][j] = whole[w.line + i][w.column + j];
                Grid<float> a(40, 48), b(w.lines, w.columns);
                horizon_pass(whole, 5000, azim, 5 * 5000, curvature, a);
                horizon_pass(part, 5000, azim, 5 * 5000, curvature, b, {w.line, w.column, 40, 48});
                // Inside by the distance, or at the raster's own border.
                auto inside = [](int32_t k, int32_t first, int32_t size, int32_t all) {
                    return (first == 0 || k >= 7) && (first + size == all || k < size - 7);
                };
                for (int32_t i = 0; i < w.lines; i++)
                    for (int32_t j = 0; j < w.columns; j++)
                        if (inside(i, w.line, w.lines, 40) && inside(j, w.column, w.columns, 48)) {
                            ASSERT_EQ(std::bit_cast<uint32_t>(b[i][j]),
                                      std::bit_cast<uint32_t>(a[w.line + i][w.column + j]))
                                << azim << " " << curvature << " " << i << " " << j;
                        }
            }
}

TEST(Horizon, ADistanceHidesTheTerrainBeyondIt)
{
    // A wall 100 m high 300 m north of a level plain of 10 m cells: seen
    // from 200 m within reach, out of it from 400 m and more.
    Grid<double> g(80, 20);
    for (int32_t i = 0; i < 80; i++)
        for (int32_t j = 0; j < 20; j++)
            g[i][j] = i == 10 ? 100 : 0;
    Grid<float> h(80, 20);
    horizon_pass(g, 10, 0, 350, false, h);
    EXPECT_NEAR(h[30][10], std::atan(100.0 / 200) / kDeg, 1e-4);
    EXPECT_EQ(h[50][10], 0.0f);
    horizon_pass(g, 10, 0, 0, false, h);
    EXPECT_NEAR(h[50][10], std::atan(100.0 / 400) / kDeg, 1e-4);
}

TEST(Horizon, TheCurvatureLowersFarTerrain)
{
    // On a level sphere the horizon d metres away stands -d / (2 R) radian.
    Grid<double> g(30, 400);
    for (int32_t i = 0; i < 30; i++)
        for (int32_t j = 0; j < 400; j++)
            g[i][j] = 0;
    Grid<float> h(30, 400);
    horizon_pass(g, 1000, 90, 0, true, h);
    // The nearest point is the steepest: 1 km away.
    EXPECT_NEAR(h[15][100], -1000 / (2 * 6371000.0) / kDeg, 1e-6);
}

// The horizons of g on every instruction set and 1, 2 and 3 threads, each
// against the first.
void expect_the_same_bits_everywhere(const Grid<double> &g, const HorizonSettings &s, const std::string &what)
{
    const int saved = max_threads();
    const std::string saved_set = instruction_set();
    std::string first;
    for (const std::string &set : instruction_sets())
        for (const int threads : {1, 2, 3}) {
            set_threads(threads);
            ASSERT_TRUE(use_instruction_set(set));
            const std::vector<Grid<float>> h = horizons(g, 30, s);
            std::string bits;
            for (const Grid<float> &b : h)
                bits += bytes_of(b);
            if (first.empty())
                first = bits;
            EXPECT_EQ(bits, first) << what << " " << set << " " << threads << " " << s.distance;
        }
    use_instruction_set(saved_set);
    set_threads(saved);
}

// White noise of heights 0 to 300, from a seed.
Grid<double> white_noise(int32_t nl, int32_t nc, uint64_t state)
{
    Grid<double> g(nl, nc);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            g[i][j] = static_cast<double>(state >> 40) / (1 << 24) * 300;
        }
    return g;
}

TEST(Horizon, TheSameBitsOnAnyNumberOfThreadsAndInstructionSet)
{
    // The portable build searches every hull one cell at a time; the vector
    // kernels take the cells whose searches end near where they start, and
    // add the samples that pop at most one point. On terrains that take
    // every path: rough with cells lacking data; white noise, whose samples
    // pop several points at once and move the tangents far; terraces and a
    // plane, whose samples lie exactly on the lines the tests compare with;
    // a dome, whose tangents lie far from their hulls' last points. Over the
    // whole grid and out to 300 m, on grids whose lines are no whole number
    // of vectors.
    const int32_t nl = 70, nc = 93;
    auto each = [&](auto f) {
        Grid<double> g(nl, nc);
        for (int32_t i = 0; i < nl; i++)
            for (int32_t j = 0; j < nc; j++)
                g[i][j] = f(i, j);
        return g;
    };
    Grid<double> holes = rough(nl, nc, 5);
    for (int32_t j = 20; j < 31; j++)
        holes[40][j] = -std::numeric_limits<double>::infinity();
    const Grid<double> noise = white_noise(nl, nc, 12345);
    const Grid<double> r = rough(nl, nc, 9);
    const Grid<double> terraces = each([&](int32_t i, int32_t j) { return std::floor(r[i][j] / 40) * 40; });
    const Grid<double> level = plane(nl, nc, 2.5, -1);
    const Grid<double> dome = each([&](int32_t i, int32_t j) {
        const double y = i - 35.0, x = j - 46.0;
        return 3000 - 0.4 * (x * x + y * y);
    });
    const struct {
        const char *name;
        const Grid<double> &g;
    } terrains[] = {{"holes", holes}, {"noise", noise}, {"terraces", terraces}, {"plane", level}, {"dome", dome}};
    // Without the curvature, the plane's samples stand exactly on one line.
    for (const auto &t : terrains)
        for (const double distance : {0.0, 300.0})
            for (const bool curvature : {true, false})
                expect_the_same_bits_everywhere(t.g, {24, distance, curvature},
                                                std::string(t.name) + (curvature ? "" : " flat"));
}

TEST(Horizon, NarrowGridsGiveTheSameBitsOnAnyInstructionSet)
{
    // Lines of 1 to 19 cells, and as many lines: fewer cells than a
    // vector's lanes, and a few vectors with every remainder, whichever
    // way the rays walk the grid.
    for (int32_t n = 1; n <= 19; n++) {
        expect_the_same_bits_everywhere(white_noise(7, n, 77 + n), {16, 0, true}, std::to_string(n) + " columns");
        expect_the_same_bits_everywhere(white_noise(n, 7, 99 + n), {16, 0, true}, std::to_string(n) + " lines");
    }
}

TEST(Horizon, ArcTangentWithinAFewUlpOfTheLibrarys)
{
    // Across the reductions' boundaries (tan 15 degrees, 1) and far out,
    // both signs, signed zeros, infinities.
    auto ulps = [](double a, double b) {
        const auto ia = std::bit_cast<int64_t>(a), ib = std::bit_cast<int64_t>(b);
        return ia > ib ? ia - ib : ib - ia;
    };
    std::vector<double> t = {0.0,
                             1e-300,
                             1e-8,
                             0.2679491924311227,
                             0.26794919243112275,
                             0.5773502691896257,
                             0.9999999999999999,
                             1.0,
                             1.0000000000000002,
                             3.7320508075688772,
                             1e8,
                             1e300};
    for (double x = 1e-6; x < 1e6; x *= 1.0137)
        t.push_back(x);
    for (const double v : t)
        for (const double s : {v, -v}) {
            ASSERT_LE(ulps(formulas::arc_tangent(s), std::atan(s)), 2) << s;
        }
    EXPECT_EQ(std::bit_cast<uint64_t>(formulas::arc_tangent(-0.0)), std::bit_cast<uint64_t>(-0.0));
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(formulas::arc_tangent(inf), 2 * std::atan(1.0));
    EXPECT_EQ(formulas::arc_tangent(-inf), -2 * std::atan(1.0));
    EXPECT_TRUE(std::isnan(formulas::arc_tangent(std::nan(""))));
}

TEST(SkyView, AnalyticCases)
{
    // A tilted plane seeing only itself and the level, a level cell in a pit
    // of uniform horizon, a level cell in a V-shaped valley of walls at w
    // (horizon atan(tan w |sin(phi - axis)|), the sky view cos w).
    for (const int count : {8, 36, 360}) {
        for (const double slope : {0.0, 10.0, 35.0, 60.0, 89.0})
            for (const double aspect : {0.0, 75.0, 180.0, 290.0}) {
                const double s = slope * kDeg, a = aspect * kDeg;
                const Normal n{std::sin(s) * std::cos(a), std::sin(s) * std::sin(a), std::cos(s)};
                std::vector<double> e(static_cast<size_t>(count));
                for (int k = 0; k < count; k++) {
                    const double phi = 2 * kPi * k / count;
                    e[static_cast<size_t>(k)] = -std::atan(std::tan(s) * std::cos(phi - a));
                }
                EXPECT_NEAR(sky_view_factor(n, e.data(), count), (1 + std::cos(s)) / 2, 1e-12) << slope << " " << count;
            }
        const Normal level{0, 0, 1};
        for (const double h : {0.0, 5.0, 30.0, 70.0}) {
            const std::vector<double> e(static_cast<size_t>(count), h * kDeg);
            EXPECT_NEAR(sky_view_factor(level, e.data(), count), std::pow(std::cos(h * kDeg), 2), 1e-12) << h;
        }
        for (const double w : {10.0, 30.0, 60.0})
            for (const double axis : {0.0, 40.0}) {
                std::vector<double> e(static_cast<size_t>(count));
                for (int k = 0; k < count; k++)
                    e[static_cast<size_t>(k)] =
                        std::atan(std::tan(w * kDeg) * std::fabs(std::sin(2 * kPi * k / count - axis * kDeg)));
                if (count >= 36) {
                    EXPECT_NEAR(sky_view_factor(level, e.data(), count), std::cos(w * kDeg), 2e-4) << w << " " << count;
                }
            }
    }
}

TEST(SkyView, FromTheHorizonsOfPlanesAndValleys)
{
    // The whole chain on grids: a tilted plane's inner cells, and the floor
    // of a V-shaped valley 200 cells long.
    const Grid<double> p = plane(40, 40, 4, -3);
    const Grid<double> vp = sky_view(p, 10, Slope::Horn, horizons(p, 10, {36, 0, false}), false);
    const double slope = std::atan(5.0 / 10);
    for (int32_t i = 10; i < 30; i++)
        for (int32_t j = 10; j < 30; j++)
            ASSERT_NEAR(vp[i][j], (1 + std::cos(slope)) / 2, 1e-6);
    const Grid<double> bare = sky_view(p, 10, Slope::Horn, {}, true);
    EXPECT_NEAR(bare[0][0], (1 + std::cos(slope)) / 2, 1e-12);
    for (const double w : {20.0, 45.0}) {
        Grid<double> v(200, 41);
        for (int32_t i = 0; i < 200; i++)
            for (int32_t j = 0; j < 41; j++)
                v[i][j] = std::abs(j - 20) * 10 * std::tan(w * kDeg);
        const Grid<double> vv = sky_view(v, 10, Slope::Horn, horizons(v, 10, {72, 0, false}), false);
        EXPECT_NEAR(vv[100][20], std::cos(w * kDeg), 5e-3) << w;
    }
}

TEST(SkyView, AgreesWithABruteForceIntegralOnRoughTerrain)
{
    // 360 horizons against 720 found by brute force on the bilinear
    // surface, each cell's integral summed independently.
    const Grid<double> g = rough(60, 70, 4);
    const double px = 30;
    const Grid<double> ours = sky_view(g, px, Slope::Horn, horizons(g, px, {360, 0, false}), false);
    const std::vector<Normal> normals = cell_normals(g, px, Slope::Horn);
    double worst = 0;
    for (int32_t i = 15; i < 45; i += 3)
        for (int32_t j = 15; j < 55; j += 3) {
            std::vector<double> e(720);
            for (size_t k = 0; k < e.size(); k++)
                e[k] = brute_horizon(g, i, j, 0.5 * static_cast<double>(k), px);
            const double truth = brute_sky_view(normals[static_cast<size_t>(i * 70 + j)], e);
            worst = std::max(worst, std::fabs(ours[i][j] - truth));
            ASSERT_LT(truth, 1.0);
        }
    // 0.0028 when written.
    EXPECT_LT(worst, 0.005);
}

// The positions of a few days at 36.6 N, every 20 minutes.
std::vector<SunPosition> days(const char *from, const char *to, double linke)
{
    SolarSettings s;
    EXPECT_TRUE(parse_date(from, s.from));
    EXPECT_TRUE(parse_date(to, s.to));
    s.place = {36.6, -83.7, 0};
    s.utc_offset = nominal_utc_offset(-83.7);
    s.step_minutes = 20;
    s.linke = linke;
    return solar_period(s).positions;
}

Accumulation run(EngineKind kind, const Grid<double> &dem, double px, const Grid<double> &view,
                 const std::vector<SunPosition> &positions, bool beam = true, int by_levels = 0,
                 Slope slope = Slope::Horn)
{
    EngineOptions o;
    o.beam_by_levels = by_levels;
    o.beam = beam;
    o.diffuse = true;
    o.sky_view = &view;
    o.shadows = ShadowMethod::Exact;
    o.slope = slope;
    const auto e = make_engine(kind);
    e->begin(dem, px, o);
    for (const SunPosition &p : positions)
        e->add_position(p);
    return e->finish();
}

TEST(Diffuse, OnAnOpenPlainGlobalIsTheIntegralOfTheClearSkysHorizontal)
{
    // The ESRA global horizontal irradiance written here again: the beam
    // exp(-0.8662 TL m dR) on the horizontal (Kasten's Rayleigh thickness)
    // and the diffuse I0 Trd Fd, summed over the positions' hours.
    for (const double linke : {2.0, 3.0, 5.5}) {
        const std::vector<SunPosition> ps = days("2026-03-18", "2026-03-22", linke);
        const double z = 300;
        Grid<double> dem(20, 20), view(20, 20);
        for (int32_t i = 0; i < 20; i++)
            for (int32_t j = 0; j < 20; j++) {
                dem[i][j] = z;
                view[i][j] = 1;
            }
        const Accumulation a = run(EngineKind::Reference, dem, 30, view, ps);
        double ghi = 0;
        for (const SunPosition &p : ps) {
            const double sh = std::sin(p.elev * kDeg);
            const double m = p.sky.air_mass * std::exp(-z / 8434.5);
            const double dr =
                m <= 20 ? 1 / (6.6296 + 1.7513 * m - 0.1202 * m * m + 0.0065 * m * m * m - 0.00013 * m * m * m * m)
                        : 1 / (10.4 + 0.718 * m);
            const double beam = p.sky.irradiance * std::exp(-0.8662 * linke * m * dr) * sh;
            const double tl = linke;
            const double trd = -1.5843e-2 + 3.0543e-2 * tl + 3.797e-4 * tl * tl;
            const double a0 = std::max(2.6463e-1 - 6.1581e-2 * tl + 3.1408e-3 * tl * tl, 2e-3 / trd);
            const double a1 = 2.0402 + 1.8945e-2 * tl - 1.1161e-2 * tl * tl;
            const double a2 = -1.3025 + 3.9231e-2 * tl + 8.5079e-3 * tl * tl;
            ghi += (beam + p.sky.irradiance * trd * (a0 + a1 * sh + a2 * sh * sh)) * p.weight.hours;
        }
        EXPECT_NEAR(a.beam[10][10] + a.diffuse[10][10], ghi, ghi * 1e-9) << linke;
        EXPECT_NEAR(a.horizontal[10][10], ghi, ghi * 1e-9) << linke;
    }
}

TEST(Diffuse, ATiltedPlaneTakesMuneersFormulaWorkedByHand)
{
    // A plane rising 40 m per 100 m cell toward the north (facing south),
    // its bare slope's sky view, one position sunlit above 0.1 radian and
    // one below.
    const double rise = 40, px = 100;
    const Grid<double> dem = plane(15, 15, -rise, 0);
    const double s = std::atan(rise / px);
    Grid<double> view(15, 15);
    for (int32_t i = 0; i < 15; i++)
        for (int32_t j = 0; j < 15; j++)
            view[i][j] = (1 + std::cos(s)) / 2;
    for (const double elev : {35.0, 4.0})
        for (const double azim : {180.0, 150.0, 250.0}) {
            SunPosition p(elev, azim, Weight{1, 0.5}, clear_sky(100, elev, 3.5));
            const Accumulation a = run(EngineKind::Reference, dem, px, view, {p}, false);
            const double h = elev * kDeg, sh = std::sin(h);
            const double m = p.sky.air_mass * std::exp(-dem[7][7] / 8434.5);
            const double dr = 1 / (6.6296 + 1.7513 * m - 0.1202 * m * m + 0.0065 * m * m * m - 0.00013 * m * m * m * m);
            const double bh = p.sky.irradiance * std::exp(-0.8662 * 3.5 * m * dr) * sh;
            const double kb = bh / (p.sky.irradiance * sh);
            const double tl = 3.5, trd = -1.5843e-2 + 3.0543e-2 * tl + 3.797e-4 * tl * tl;
            const double a0 = 2.6463e-1 - 6.1581e-2 * tl + 3.1408e-3 * tl * tl;
            const double a1 = 2.0402 + 1.8945e-2 * tl - 1.1161e-2 * tl * tl;
            const double a2 = -1.3025 + 3.9231e-2 * tl + 8.5079e-3 * tl * tl;
            const double dh = p.sky.irradiance * trd * (a0 + a1 * sh + a2 * sh * sh);
            // The surface faces south: aspect 180.
            const double ci = std::cos(s) * sh + std::sin(s) * std::cos(h) * std::cos((azim - 180) * kDeg);
            const double n = 0.00263 - 0.712 * kb - 0.6883 * kb * kb;
            const double f =
                (1 + std::cos(s)) / 2 + n * (std::sin(s) - s * std::cos(s) - kPi * std::pow(std::sin(s / 2), 2));
            const double circ = h >= 0.1 ? ci / sh : std::sin(s) * std::cos((azim - 180) * kDeg) / (0.1 - 0.008 * h);
            const double want = std::max(0.0, dh * (f * (1 - kb) + kb * circ)) * 0.5;
            EXPECT_NEAR(a.diffuse[7][7], want, want * 1e-9) << elev << " " << azim;
        }
}

TEST(Diffuse, NeverNegativeNorAboveTheUnobstructedSky)
{
    // Rough relief: under its horizons every cell has at least nothing and
    // at most what the bare slope's sky view gives it.
    const Grid<double> g = rough(50, 60, 6);
    const std::vector<SunPosition> ps = days("2026-12-20", "2026-12-21", 3);
    const Grid<double> terrain = sky_view(g, 30, Slope::Horn, horizons(g, 30, {36, 0, true}), false);
    const Grid<double> bare = sky_view(g, 30, Slope::Horn, {}, true);
    const Accumulation a = run(EngineKind::Fast, g, 30, terrain, ps, false);
    const Accumulation b = run(EngineKind::Fast, g, 30, bare, ps, false);
    double hidden = 0;
    for (int32_t i = 0; i < 50; i++)
        for (int32_t j = 0; j < 60; j++) {
            ASSERT_GE(a.diffuse[i][j], 0);
            ASSERT_LE(a.diffuse[i][j], b.diffuse[i][j] * (1 + 1e-12));
            hidden += b.diffuse[i][j] - a.diffuse[i][j];
        }
    EXPECT_GT(hidden, 0);
}

class DiffuseBits : public SetsAndThreads
{
};

TEST_P(DiffuseBits, FastEngineGivesTheStraightforwardPassesBits)
{
    // Rough relief with holes, the pressure by the fast engine's levels or
    // by cells, under real skies; Horn's plane or the dialogue's (whose last
    // line and column are level), with the beam or the diffuse alone. The
    // grid's 70 columns leave a remainder past every width of lanes.
    for (const Slope slope : {Slope::Horn, Slope::Dialogue})
        for (const bool beam : {true, false})
            for (const bool levels : {false, true}) {
                Grid<double> g = rough(45, 70, 3);
                g[20][30] = g[20][31] = g[5][60] = -std::numeric_limits<double>::infinity();
                std::vector<SunPosition> ps = days("2026-07-01", "2026-07-02", 4);
                for (size_t k = 0; k < ps.size(); k++) {
                    ps[k].sky.beam_index = 0.6 + 0.01 * static_cast<double>(k % 7);
                    ps[k].sky.diffuse_index = 1.2;
                }
                const Grid<double> view = sky_view(g, 25, slope, horizons(g, 25, {24, 0, true}), false);
                const Accumulation a = run(EngineKind::Fast, g, 25, view, ps, beam, levels ? 1 : -1, slope);
                const Accumulation b = run(EngineKind::Reference, g, 25, view, ps, beam, 0, slope);
                const std::string where = strf("slope %d, beam %d, levels %d", static_cast<int>(slope), beam, levels);
                EXPECT_EQ(bytes_of(a.diffuse), bytes_of(b.diffuse)) << where;
                EXPECT_EQ(bytes_of(a.horizontal), bytes_of(b.horizontal)) << where;
                EXPECT_EQ(bytes_of(a.beam), bytes_of(b.beam)) << where;
            }
}

INSTANTIATE_TEST_SUITE_P(SetsAndThreads, DiffuseBits, ::testing::ValuesIn(test::sets_and_threads({1, 3})),
                         test::set_and_threads_name);

// Cell by cell ratios of real to clear sky, smooth over the grid and
// different in every cell.
Grid<double> index_grid(int32_t nl, int32_t nc, double base, double spread)
{
    Grid<double> g(nl, nc);
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++)
            g[i][j] = base + spread * std::sin(0.37 * i + 0.11 * j * j);
    return g;
}

Accumulation run_indexed(EngineKind kind, const Grid<double> &dem, const Grid<double> &view,
                         const std::vector<SunPosition> &positions, const Grid<double> *kb, const Grid<double> *kd,
                         int by_levels)
{
    EngineOptions o;
    o.beam_by_levels = by_levels;
    o.beam = true;
    o.sun_hours = true;
    o.diffuse = true;
    o.sky_view = &view;
    o.beam_index = kb;
    o.diffuse_index = kd;
    o.shadows = ShadowMethod::Exact;
    o.slope = Slope::Horn;
    const auto e = make_engine(kind);
    e->begin(dem, 25, o);
    for (const SunPosition &p : positions)
        e->add_position(p);
    return e->finish();
}

TEST_P(DiffuseBits, CellByCellIndicesGiveTheSameBitsInBothEngines)
{
    for (const int levels : {1, -1}) {
        Grid<double> g = rough(37, 53, 8);
        g[11][12] = -std::numeric_limits<double>::infinity();
        const std::vector<SunPosition> ps = days("2026-04-10", "2026-04-11", 3.5);
        const Grid<double> view = sky_view(g, 25, Slope::Horn, horizons(g, 25, {16, 0, true}), false);
        const Grid<double> kb = index_grid(37, 53, 0.7, 0.25), kd = index_grid(37, 53, 1.1, 0.3);
        const Accumulation a = run_indexed(EngineKind::Fast, g, view, ps, &kb, &kd, levels);
        const Accumulation b = run_indexed(EngineKind::Reference, g, view, ps, &kb, &kd, levels);
        EXPECT_EQ(bytes_of(a.beam), bytes_of(b.beam)) << levels;
        EXPECT_EQ(bytes_of(a.diffuse), bytes_of(b.diffuse)) << levels;
        EXPECT_EQ(bytes_of(a.horizontal), bytes_of(b.horizontal)) << levels;
        // The indices reach every cell: a lower beam index, a lower beam.
        const Accumulation clear = run_indexed(EngineKind::Fast, g, view, ps, nullptr, nullptr, levels);
        EXPECT_LT(a.beam[20][20], clear.beam[20][20] * kb[20][20] * 1.000001);
        EXPECT_GT(a.beam[20][20], clear.beam[20][20] * kb[20][20] * 0.999999);
    }
}

TEST(SkyIndexGrids, UniformGridsGiveTheBitsOfTheSameScalars)
{
    // A grid of one value in every cell, in place of the positions' index:
    // the very bits, in both engines, by levels and by cells.
    const Grid<double> g = rough(30, 41, 4);
    const Grid<double> view = sky_view(g, 25, Slope::Horn, horizons(g, 25, {12, 0, true}), false);
    const std::vector<SunPosition> clear = days("2026-09-01", "2026-09-02", 3);
    for (const auto &[kbv, kdv] : {std::pair{0.73, 1.17}, std::pair{0.1, 0.0}, std::pair{1.9, 0.55}}) {
        std::vector<SunPosition> scalar = clear;
        for (SunPosition &p : scalar) {
            p.sky.beam_index = kbv;
            p.sky.diffuse_index = kdv;
        }
        Grid<double> kb(30, 41), kd(30, 41);
        for (int32_t i = 0; i < 30; i++)
            for (int32_t j = 0; j < 41; j++) {
                kb[i][j] = kbv;
                kd[i][j] = kdv;
            }
        for (const EngineKind kind : {EngineKind::Fast, EngineKind::Reference})
            for (const int levels : {1, -1}) {
                const Accumulation a = run_indexed(kind, g, view, scalar, nullptr, nullptr, levels);
                const Accumulation b = run_indexed(kind, g, view, clear, &kb, &kd, levels);
                EXPECT_EQ(bytes_of(a.beam), bytes_of(b.beam)) << kbv << " " << levels;
                EXPECT_EQ(bytes_of(a.diffuse), bytes_of(b.diffuse)) << kdv << " " << levels;
                EXPECT_EQ(bytes_of(a.horizontal), bytes_of(b.horizontal)) << kdv << " " << levels;
            }
    }
}

TEST(SkySeries, TheBandsOfAPeriod)
{
    struct Case {
        run::Series series;
        const char *from, *to;
        std::vector<std::pair<const char *, const char *>> bands;
    };
    const Case cases[] = {
        {run::Series::Month,
         "2026-01-20",
         "2026-03-05",
         {{"2026-01-20", "2026-01-31"}, {"2026-02-01", "2026-02-28"}, {"2026-03-01", "2026-03-05"}}},
        {run::Series::Month, "2024-02-03", "2024-02-29", {{"2024-02-03", "2024-02-29"}}},
        {run::Series::Month, "2025-12-15", "2026-01-10", {{"2025-12-15", "2025-12-31"}, {"2026-01-01", "2026-01-10"}}},
        {run::Series::Day,
         "2024-02-28",
         "2024-03-01",
         {{"2024-02-28", "2024-02-28"}, {"2024-02-29", "2024-02-29"}, {"2024-03-01", "2024-03-01"}}},
        {run::Series::Whole, "2026-01-20", "2026-03-05", {{"2026-01-20", "2026-03-05"}}},
    };
    for (const Case &c : cases) {
        CivilDate from, to;
        ASSERT_TRUE(parse_date(c.from, from));
        ASSERT_TRUE(parse_date(c.to, to));
        const std::vector<run::SeriesBand> b = run::series_bands(c.series, from, to);
        ASSERT_EQ(b.size(), c.bands.size()) << c.from;
        EXPECT_EQ(run::series_band_count(c.series, from, to), static_cast<int64_t>(b.size())) << c.from;
        for (size_t k = 0; k < b.size(); k++) {
            EXPECT_EQ(format_date(b[k].first), c.bands[k].first) << c.from << " " << k;
            EXPECT_EQ(format_date(b[k].last), c.bands[k].second) << c.from << " " << k;
        }
    }
    // A whole year: 12 months, 365 days; a leap year 366.
    CivilDate a{2026, 1, 1}, z{2026, 12, 31}, la{2024, 1, 1}, lz{2024, 12, 31};
    EXPECT_EQ(run::series_bands(run::Series::Month, a, z).size(), 12u);
    EXPECT_EQ(run::series_band_count(run::Series::Day, a, z), 365);
    EXPECT_EQ(run::series_bands(run::Series::Day, la, lz).size(), 366u);
}

// The positions of a period at `lat` with their dates.
SolarPeriod dated_period(const char *from, const char *to, double lat)
{
    SolarSettings s;
    EXPECT_TRUE(parse_date(from, s.from));
    EXPECT_TRUE(parse_date(to, s.to));
    s.place = {lat, 15, 0};
    s.utc_offset = 1;
    s.step_minutes = 30;
    return solar_period(s);
}

TEST(SkySeries, TheBandsAddUpToTheWholePeriodAndTheIlluminationKeepsItsBits)
{
    // Rough relief, by months and by days; at 78 N the first days of
    // February have no sun, and their bands are zero. The bands add up to
    // the whole, summed in their own order, within 1e-12 of it (the whole
    // adds the same terms in one sum); the illumination is the whole's to
    // the bit, and both engines give the same bands.
    struct Case {
        const char *from, *to;
        double lat;
        run::Series series;
        size_t bands;
    };
    const Case cases[] = {{"2026-01-27", "2026-03-03", 36.6, run::Series::Month, 3},
                          {"2026-06-29", "2026-07-02", 46, run::Series::Day, 4},
                          {"2026-02-08", "2026-02-24", 78, run::Series::Day, 17}};
    const Grid<double> g = rough(24, 31, 9);
    const Grid<double> view = sky_view(g, 25, Slope::Horn, horizons(g, 25, {12, 0, true}), false);
    EngineOptions o;
    o.beam = o.sun_hours = o.diffuse = true;
    o.sky_view = &view;
    o.shadows = ShadowMethod::Exact;
    o.slope = Slope::Horn;
    for (const Case &c : cases) {
        SolarPeriod period = dated_period(c.from, c.to, c.lat);
        CivilDate from, to;
        ASSERT_TRUE(parse_date(c.from, from));
        ASSERT_TRUE(parse_date(c.to, to));
        const std::vector<run::SeriesBand> bands = run::series_bands(c.series, from, to);
        ASSERT_EQ(bands.size(), c.bands) << c.from;
        const run::Positions whole = run::Positions::solar(period.positions);
        const run::Positions dated = run::Positions::solar(period.positions, period.dates);
        const auto fast = make_engine(EngineKind::Fast), reference = make_engine(EngineKind::Reference);
        const run::Computed w = run::compute(*fast, g, 25, o, whole);
        const run::Computed s = run::compute(*fast, g, 25, o, dated, {}, std::nullopt, &bands);
        const run::Computed r = run::compute(*reference, g, 25, o, dated, {}, std::nullopt, &bands);
        ASSERT_EQ(s.bands.size(), c.bands);
        ASSERT_EQ(r.bands.size(), c.bands);
        EXPECT_EQ(bytes_of(s.acc.illumination), bytes_of(w.acc.illumination)) << c.from;
        EXPECT_TRUE(s.acc.beam.empty());
        size_t empty = 0;
        for (size_t k = 0; k < c.bands; k++) {
            EXPECT_EQ(bytes_of(s.bands[k].beam), bytes_of(r.bands[k].beam)) << c.from << " " << k;
            EXPECT_EQ(bytes_of(s.bands[k].diffuse), bytes_of(r.bands[k].diffuse)) << c.from << " " << k;
            EXPECT_EQ(bytes_of(s.bands[k].sun_hours), bytes_of(r.bands[k].sun_hours)) << c.from << " " << k;
            EXPECT_EQ(bytes_of(s.bands[k].horizontal), bytes_of(r.bands[k].horizontal)) << c.from << " " << k;
            empty += s.bands[k].horizontal[12][15] == 0 ? 1 : 0;
        }
        EXPECT_EQ(empty > 0, c.lat > 70) << c.from;
        for (int32_t i = 0; i < 24; i++)
            for (int32_t j = 0; j < 31; j++) {
                double hours = 0, beam = 0, diffuse = 0, horizontal = 0;
                for (const Accumulation &b : s.bands) {
                    hours += b.sun_hours[i][j];
                    beam += b.beam[i][j];
                    diffuse += b.diffuse[i][j];
                    horizontal += b.horizontal[i][j];
                }
                ASSERT_NEAR(hours, w.acc.sun_hours[i][j], 1e-12 * w.acc.sun_hours[i][j]) << c.from;
                ASSERT_NEAR(beam, w.acc.beam[i][j], 1e-12 * w.acc.beam[i][j]) << c.from;
                ASSERT_NEAR(diffuse, w.acc.diffuse[i][j], 1e-12 * w.acc.diffuse[i][j]) << c.from;
                ASSERT_NEAR(horizontal, w.acc.horizontal[i][j], 1e-12 * w.acc.horizontal[i][j]) << c.from;
            }
    }
}

TEST_P(DiffuseBits, SeriesBandsAreTheSameInBothEngines)
{
    // Day bands under cell by cell skies, sweeps of 3 positions cut across
    // the days' ends.
    const Grid<double> g = rough(26, 33, 12);
    const Grid<double> view = sky_view(g, 25, Slope::Horn, horizons(g, 25, {12, 0, true}), false);
    const Grid<double> kb = index_grid(26, 33, 0.8, 0.15), kd = index_grid(26, 33, 1.0, 0.2);
    SolarPeriod period = dated_period("2026-10-30", "2026-11-02", 52);
    const std::vector<run::SeriesBand> bands =
        run::series_bands(run::Series::Day, CivilDate{2026, 10, 30}, CivilDate{2026, 11, 2});
    const run::Positions dated = run::Positions::solar(period.positions, period.dates);
    EngineOptions o;
    o.beam = o.sun_hours = o.diffuse = true;
    o.sky_view = &view;
    o.beam_index = &kb;
    o.diffuse_index = &kd;
    o.shadows = ShadowMethod::Exact;
    o.slope = Slope::Horn;
    o.sweep_batch = 3;
    const auto fast = make_engine(EngineKind::Fast), reference = make_engine(EngineKind::Reference);
    const run::Computed a = run::compute(*fast, g, 25, o, dated, {}, std::nullopt, &bands);
    const run::Computed b = run::compute(*reference, g, 25, o, dated, {}, std::nullopt, &bands);
    ASSERT_EQ(a.bands.size(), 4u);
    ASSERT_EQ(b.bands.size(), 4u);
    EXPECT_EQ(bytes_of(a.acc.illumination), bytes_of(b.acc.illumination));
    for (size_t k = 0; k < 4; k++) {
        EXPECT_EQ(bytes_of(a.bands[k].sun_hours), bytes_of(b.bands[k].sun_hours)) << k;
        EXPECT_EQ(bytes_of(a.bands[k].beam), bytes_of(b.bands[k].beam)) << k;
        EXPECT_EQ(bytes_of(a.bands[k].diffuse), bytes_of(b.bands[k].diffuse)) << k;
        EXPECT_EQ(bytes_of(a.bands[k].horizontal), bytes_of(b.bands[k].horizontal)) << k;
    }
}

TEST(SkySeries, TheHourlySunsDaysDatedAcrossTheYearsEnd)
{
    // The simple sun over 12-30 .. 01-02 of a common year: four day bands,
    // the last two in the next year, every position in its own day's band.
    const Period period = period_between(364, 2);
    run::Positions p = run::Positions::hourly(period.pieces, 45, hourly_weight(period.days()));
    p.dated(2025);
    const std::vector<run::SeriesBand> bands =
        run::series_bands(run::Series::Day, CivilDate{2025, 12, 30}, CivilDate{2026, 1, 2});
    ASSERT_EQ(bands.size(), 4u);
    std::vector<std::string> seen;
    p.visit({}, [&](const SunPosition &, const run::Moment &m) {
        const std::string d = format_date(m.date);
        if (seen.empty() || seen.back() != d)
            seen.push_back(d);
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"2025-12-30", "2025-12-31", "2026-01-01", "2026-01-02"}));
    Grid<double> g(12, 14);
    g.fill(100);
    EngineOptions o;
    o.sun_hours = true;
    o.slope = Slope::Horn;
    const auto e = make_engine(EngineKind::Fast);
    const run::Computed c = run::compute(*e, g, 25, o, p, {}, std::nullopt, &bands);
    ASSERT_EQ(c.bands.size(), 4u);
    // The simple sun stands 11 hours a day over a plain.
    for (const Accumulation &b : c.bands)
        EXPECT_EQ(b.sun_hours[6][7], 11);
}

} // namespace
