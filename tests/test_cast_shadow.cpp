#include "cast_shadow.h"
#include "support.h"

#include <cmath>
#include <limits>
#include <utility>

using namespace terralume;

namespace
{

using Cells = std::vector<std::pair<int32_t, int32_t>>;

Cells recorded(const RayList &ray)
{
    Cells c;
    for (int32_t k = 1; k <= ray.point; k++)
        c.emplace_back(ray.coord_i[k], ray.coord_j[k]);
    return c;
}

Cells walk(int32_t ideb, int32_t jdeb, int32_t ifin, int32_t jfin, double dsizepix = 10)
{
    Grid<double> dem(10, 10);
    for (int32_t i = 0; i < 10; i++)
        for (int32_t j = 0; j < 10; j++)
            dem[i][j] = 100 * i + j;
    RayList ray(16);
    trace_droite(ray, ideb, jdeb, ifin, jfin, dem, dsizepix);
    for (int32_t k = 1; k <= ray.point; k++)
        EXPECT_EQ(ray.tab_alti[k], dem[ray.coord_i[k]][ray.coord_j[k]]);
    return recorded(ray);
}

// Sweeps a ray list of the given elevations (entries 1..n) laid along line 0.
std::vector<int32_t> sweep(const std::vector<double> &alti, double dif_alt)
{
    const int32_t n = static_cast<int32_t>(alti.size());
    RayList ray(n + 2);
    for (int32_t k = 1; k <= n; k++) {
        ray.tab_alti[k] = alti[static_cast<size_t>(k - 1)];
        ray.coord_i[k] = 0;
        ray.coord_j[k] = k;
    }
    ray.point = n;
    Grid<unsigned char> tab_cs(1, n + 1);
    traject(ray, dif_alt, tab_cs);
    std::vector<int32_t> marked;
    for (int32_t k = 1; k <= n; k++) {
        EXPECT_LE(tab_cs[0][k], 1);
        if (tab_cs[0][k] == 1)
            marked.push_back(k);
    }
    return marked;
}

Cells whole_pass(const Grid<double> &dem, double elev, double azim, double dsizepix)
{
    const CastGeometry g = cast_geometry(dem.nb_lig(), dem.nb_col(), elev, azim, dsizepix);
    std::vector<RayList> rays = ray_lists(g.n, 1);
    Grid<unsigned char> tab_cs(dem.nb_lig(), dem.nb_col());
    for (Border b : {Border::FirstLine, Border::LastLine, Border::FirstColumn, Border::LastColumn})
        cast_border(b, g, dem, dsizepix, rays, tab_cs);
    Cells c;
    for (int32_t i = 0; i < dem.nb_lig(); i++)
        for (int32_t j = 0; j < dem.nb_col(); j++)
            if (tab_cs[i][j] != 0)
                c.emplace_back(i, j);
    return c;
}

} // namespace

TEST(CastGeometry, WorkedSetUp)
{
    const CastGeometry g = cast_geometry(100, 100, 30, 200, 10);
    EXPECT_EQ(g.max_im, 100);
    EXPECT_NEAR(g.distance, 141.421356, 1e-6);
    EXPECT_EQ(g.n, 143);
    EXPECT_EQ(g.angle_trig, 250);
    EXPECT_EQ(g.gama, 70);
    EXPECT_NEAR(g.ang, 20, 1e-12);
    EXPECT_NEAR(g.rap, 1.184, 1e-12);
    EXPECT_NEAR(g.dist2, 11.84, 1e-12);
    EXPECT_NEAR(g.dif_alt, 6.8358, 1e-4);
    EXPECT_EQ(g.di_fin, -132);
    EXPECT_EQ(g.dj_fin, 48);
}

TEST(CastGeometry, SectorsAndAxes)
{
    // Sun due south: rays run north along the columns.
    CastGeometry g = cast_geometry(20, 30, 40, 180, 5);
    EXPECT_EQ(g.gama, 90);
    EXPECT_EQ(g.ang, 0);
    EXPECT_EQ(g.rap, 1);
    EXPECT_EQ(g.dif_alt, std::tan(40 * (4 * std::atan(1.0) * (1.0 / 180))) * 5);
    EXPECT_EQ(g.dj_fin, 0);
    EXPECT_LT(g.di_fin, -30);

    // South-east: rays run north-west, a diagonal step of 1.414 pixels.
    g = cast_geometry(20, 30, 40, 135, 5);
    EXPECT_EQ(g.gama, 135);
    EXPECT_EQ(g.ang, 45);
    EXPECT_NEAR(g.rap, 1.414, 1e-15);
    EXPECT_LT(g.di_fin, 0);
    EXPECT_LT(g.dj_fin, 0);

    // Due west: rays run east.
    g = cast_geometry(20, 30, 40, 270, 5);
    EXPECT_EQ(g.angle_trig, 180);
    EXPECT_EQ(g.gama, 0);
    EXPECT_EQ(g.ang, 0);
    EXPECT_EQ(g.di_fin, 0);
    EXPECT_GT(g.dj_fin, 30);

    // North, written 0 or 360: the same rays, running south.
    const CastGeometry a = cast_geometry(20, 30, 40, 0, 5);
    const CastGeometry b = cast_geometry(20, 30, 40, 360, 5);
    EXPECT_EQ(a.gama, 270);
    EXPECT_EQ(b.gama, 270);
    EXPECT_EQ(a.di_fin, b.di_fin);
    EXPECT_EQ(a.dj_fin, b.dj_fin);
    EXPECT_GT(a.di_fin, 30);

    // Angles past 45 within a sector fold back toward the nearer axis.
    EXPECT_NEAR(cast_geometry(10, 10, 30, 10, 1).ang, 10, 1e-12);  // gama 260
    EXPECT_NEAR(cast_geometry(10, 10, 30, 300, 1).ang, 30, 1e-12); // gama 330
    EXPECT_EQ(cast_geometry(1, 1, 30, 180, 1).n, 3);
}

TEST(TraceDroite, WalksAndEdges)
{
    Cells line5;
    for (int32_t j = 0; j < 10; j++)
        line5.emplace_back(5, j);
    EXPECT_EQ(walk(5, 0, 5, 14), line5);

    Cells diag;
    for (int32_t k = 0; k < 10; k++)
        diag.emplace_back(9 - k, k);
    EXPECT_EQ(walk(9, 0, -1, 10), diag);

    // Truncation toward zero keeps positions down to -1.5 on line 0.
    EXPECT_EQ(walk(0, 3, -14, 3), (Cells{{0, 3}}));
    EXPECT_EQ(walk(1, 3, -13, 3), (Cells{{1, 3}, {0, 3}, {0, 3}}));
    EXPECT_EQ(walk(2, 3, -12, 10), (Cells{{2, 3}, {1, 4}, {0, 4}, {0, 5}}));
    Cells line0;
    for (int32_t j = 0; j < 10; j++)
        line0.emplace_back(0, j);
    EXPECT_EQ(walk(0, 0, -2, 14), line0);
    // The western edge likewise; the southern and eastern edges round.
    EXPECT_EQ(walk(4, 1, 4, -13), (Cells{{4, 1}, {4, 0}, {4, 0}}));
    EXPECT_EQ(walk(4, 8, 4, 22), (Cells{{4, 8}, {4, 9}}));

    EXPECT_EQ(walk(5, 0, 5, 14, 0), (Cells{{5, 0}}));
    EXPECT_EQ(walk(0, 0, 3, 3), (Cells{{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
}

TEST(TraceDroite, SameStartAndEndLeavesTheListAlone)
{
    Grid<double> dem(1, 1);
    RayList ray(3);
    ray.point = 7;
    trace_droite(ray, 0, 0, 0, 0, dem, 10);
    EXPECT_EQ(ray.point, 7);
}

TEST(Traject, ShadowLines)
{
    EXPECT_EQ(sweep({0, 5, 0, 0, 0, 0}, 2), (std::vector<int32_t>{3, 4}));
    EXPECT_EQ(sweep({0, 0, 0, 5, 0, 0, 0, 0}, 2), (std::vector<int32_t>{5, 6}));
    // The line reaches exactly 0 m at the second cell: level is lit.
    EXPECT_EQ(sweep({0, 4, 0, 0, 0}, 2), (std::vector<int32_t>{3}));
    // The last entry is never marked, the first never casts.
    EXPECT_EQ(sweep({0, 10, 0, 0}, 1), (std::vector<int32_t>{3}));
    EXPECT_TRUE(sweep({10, 0, 0, 0}, 1).empty());
    EXPECT_TRUE(sweep({3, 3, 3, 3, 3}, 0.5).empty());
}

TEST(Traject, CellWhereAShadowEndsCastsItsOwn)
{
    // The shadow of entry 2 ends on the 9 m cell, which then shades the two
    // cells after it (lines at 5 m and 1 m).
    EXPECT_EQ(sweep({0, 10, 0, 9, 0, 0, 0}, 4), (std::vector<int32_t>{3, 5, 6}));
    // A shadow that runs to the end leaves nothing for later casters.
    EXPECT_EQ(sweep({0, 20, 9, 8, 7, 6, 5}, 1), (std::vector<int32_t>{3, 4, 5, 6}));
    // A rising ridge: each shadow ends on the next, higher step.
    EXPECT_EQ(sweep({0, 6, 0, 8, 0, 10, 0, 0}, 3), (std::vector<int32_t>{3, 5, 7}));
}

TEST(CastShadowPass, FlatGroundCastsNothing)
{
    Grid<double> dem(12, 17);
    dem.fill(250);
    for (double azim : {0.0, 45.0, 135.0, 180.0, 200.0, 270.0, 333.0})
        EXPECT_TRUE(whole_pass(dem, 5, azim, 30).empty()) << azim;
}

TEST(CastShadowPass, TowerOnFlatGround)
{
    Grid<double> dem(10, 10);
    dem[5][5] = 3.5;
    // Sun due south at 45 degrees, 1 m pixels: the line drops 1 m a cell,
    // 2.5, 1.5 and 0.5 m above the three cells north of the tower.
    EXPECT_EQ(whole_pass(dem, 45, 180, 1), (Cells{{2, 5}, {3, 5}, {4, 5}}));
    // Sun due west: the shadow falls east.
    EXPECT_EQ(whole_pass(dem, 45, 270, 1), (Cells{{5, 6}, {5, 7}, {5, 8}}));
    // Sun due north (noon south of the tropic of Capricorn): south.
    EXPECT_EQ(whole_pass(dem, 45, 360, 1), (Cells{{6, 5}, {7, 5}, {8, 5}}));
    // Sun in the south-east: diagonal steps drop 1.414 m, two cells shaded.
    EXPECT_EQ(whole_pass(dem, 45, 135, 1), (Cells{{3, 3}, {4, 4}}));
    // A tower on the border casts along the rays that cross it.
    Grid<double> edge(10, 10);
    edge[9][4] = 2.5;
    EXPECT_EQ(whole_pass(edge, 45, 180, 1), (Cells{}));
    edge[8][4] = 2.5;
    edge[9][4] = 0;
    EXPECT_EQ(whole_pass(edge, 45, 180, 1), (Cells{{6, 4}, {7, 4}}));
}

TEST(TraceDroite, SameCellsAsTheWalkWithDistances)
{
    // The walk as first written: a cell is recorded when its distance from
    // the start, in metres, is not 0.
    auto literal = [](int32_t ideb, int32_t jdeb, int32_t ifin, int32_t jfin, const Grid<double> &dtab,
                      double dsizepix) {
        Cells c;
        const double a = static_cast<double>(jfin) - jdeb;
        const double b = static_cast<double>(ifin) - ideb;
        const double rmax = std::max(std::fabs(a), std::fabs(b));
        double id = ideb;
        double jd = jdeb;
        int32_t i = ideb;
        int32_t j = jdeb;
        c.emplace_back(i, j);
        while (i != ifin || j != jfin) {
            id += b / rmax;
            jd += a / rmax;
            i = static_cast<int32_t>(id + 0.5);
            j = static_cast<int32_t>(jd + 0.5);
            if (i < 0 || i > dtab.nb_lig() - 1 || j < 0 || j > dtab.nb_col() - 1)
                break;
            const double dist = std::sqrt(std::pow(i - ideb, 2.0) + std::pow(j - jdeb, 2.0)) * dsizepix;
            if (dist != 0)
                c.emplace_back(i, j);
        }
        return c;
    };
    Grid<double> dem(23, 31);
    uint32_t state = 12345;
    auto next = [&state](uint32_t n) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int32_t>((state >> 8) % n);
    };
    const double pixels[] = {
        30, 0.25, 0, -5, 4.9e-324, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    for (double px : pixels)
        for (int k = 0; k < 400; k++) {
            const int32_t i0 = next(23);
            const int32_t j0 = next(31);
            const int32_t i1 = i0 + next(90) - 45;
            const int32_t j1 = j0 + next(90) - 45;
            if (i0 == i1 && j0 == j1)
                continue;
            RayList ray(120);
            trace_droite(ray, i0, j0, i1, j1, dem, px);
            EXPECT_EQ(recorded(ray), literal(i0, j0, i1, j1, dem, px))
                << px << ": " << i0 << "," << j0 << " -> " << i1 << "," << j1;
        }
}
