// The cast-shadow pass against a brute-force horizon test on real relief.
#include "cast_shadow.h"
#include "support.h"

#include <cmath>

using namespace terralume;
using namespace terralume::test;

namespace
{

Grid<double> jacksboro_crop()
{
    // 100 x 130 cells of the Jacksboro model, metres, 90 m pixels.
    const std::string raw =
        read_file(fs::path(TL_TEST_DATA) / "golden/jacksboro-summer-day/input/jacksboro/jka_m2.raw");
    Grid<double> g(100, 130);
    for (int32_t i = 0; i < 100; i++)
        for (int32_t j = 0; j < 130; j++) {
            const size_t k = 2 * static_cast<size_t>(i * 130 + j);
            g[i][j] = static_cast<unsigned char>(raw[k]) | static_cast<unsigned char>(raw[k + 1]) << 8;
        }
    return g;
}

// A cell is hidden when some point on the straight line toward the sun,
// sampled every tenth of a cell, stands above the sun ray from the cell.
Grid<unsigned char> brute_force(const Grid<double> &dem, double elev, double azim, double px)
{
    const double deg = 4 * std::atan(1.0) / 180;
    const double di = -std::cos(azim * deg); // toward the sun: north is decreasing line
    const double dj = std::sin(azim * deg);
    const double rise = std::tan(elev * deg) * px;
    Grid<unsigned char> hidden(dem.nb_lig(), dem.nb_col());
    for (int32_t i = 0; i < dem.nb_lig(); i++)
        for (int32_t j = 0; j < dem.nb_col(); j++)
            for (double t = 0.1;; t += 0.1) {
                const int32_t k = static_cast<int32_t>(std::lround(i + t * di));
                const int32_t l = static_cast<int32_t>(std::lround(j + t * dj));
                if (k < 0 || k >= dem.nb_lig() || l < 0 || l >= dem.nb_col())
                    break;
                const double d = std::hypot(k - i, l - j); // to the centre of the cell reached
                if (d > 0 && dem[k][l] > dem[i][j] + d * rise) {
                    hidden[i][j] = 1;
                    break;
                }
            }
    return hidden;
}

struct Agreement {
    double overlap;   // cells marked by both / cells marked by either
    double precision; // cells marked by both / cells marked by the pass
};

Agreement agreement(double elev, double azim)
{
    const Grid<double> dem = jacksboro_crop();
    const CastGeometry g = cast_geometry(100, 130, elev, azim, 90);
    std::vector<RayList> rays = ray_lists(g.n, 1);
    Grid<unsigned char> marks(100, 130);
    for (Border b : {Border::FirstLine, Border::LastLine, Border::FirstColumn, Border::LastColumn})
        cast_border(b, g, dem, 90, rays, marks);
    const Grid<unsigned char> truth = brute_force(dem, elev, azim, 90);
    int both = 0;
    int either = 0;
    int ours = 0;
    for (int32_t i = 0; i < 100; i++)
        for (int32_t j = 0; j < 130; j++) {
            both += marks[i][j] && truth[i][j];
            either += marks[i][j] || truth[i][j];
            ours += marks[i][j];
        }
    return {static_cast<double>(both) / either, static_cast<double>(both) / ours};
}

} // namespace

TEST(Horizon, SweepMatchesABruteForceHorizon)
{
    // Along the axes and the diagonals the pass finds nearly every hidden
    // cell. (Were the cell where a shadow ends skipped as a caster, these
    // would fall to about 0.87, 0.55 and 0.86.)
    for (auto [elev, azim] : {std::pair{10.0, 270.0}, std::pair{20.0, 135.0}, std::pair{8.0, 90.0}}) {
        const Agreement a = agreement(elev, azim);
        EXPECT_GT(a.overlap, 0.97) << elev << " " << azim;
        EXPECT_GT(a.precision, 0.99) << elev << " " << azim;
    }
    // Between them the step length 1 + 0.414 x ang / 45 is longer than the
    // true 1 / cos(ang) (1.184 against 1.064 at 20 degrees), so the shadow
    // lines drop faster and the shadows are shorter; the digital rays also
    // stray from the straight line by up to half a cell.
    const Agreement oblique = agreement(15, 200);
    EXPECT_GT(oblique.overlap, 0.7);
    EXPECT_GT(oblique.precision, 0.9);
}
