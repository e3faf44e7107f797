// The sky's outputs through the command line: the horizon's bands and their
// azimuths, global = beam + diffuse + reflected, kWh as Wh / 1000, the
// metadata of what was taken.
#include "cli_support.h"
#include "gis_support.h"
#include "support.h"

#include <cmath>

using namespace terralume;
using namespace terralume::test;

namespace
{

TEST(SkyCommandLine, OutputsAddUpAndDescribeThemselves)
{
    const Scratch dir;
    const std::string out = (dir.root() / "o.tif").string();
    const std::string dem = std::string(TL_EXAMPLES) + "/jacksboro.tif";
    const CliResult r = run_cli({"-q", "--from", "2026-06-21", "--to", "2026-06-21", "--step", "30",
                                 "--horizon-directions", "8", "--linke", "2,2,2,3,3,3,4,4,3,3,2,2", "--clear-sky-index",
                                 "0.8,1.1", "--output", "horizon,svf,beam,diffuse,reflected,global", dem, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto path = [&](const char *k) { return (dir.root() / (std::string("o_") + k + ".tif")).string(); };
    gis::start_gdal();
    GDALDatasetUniquePtr h(GDALDataset::Open(path("horizon").c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(h);
    ASSERT_EQ(h->GetRasterCount(), 8);
    EXPECT_STREQ(h->GetRasterBand(1)->GetDescription(), "horizon toward azimuth 0 degree");
    EXPECT_STREQ(h->GetRasterBand(3)->GetDescription(), "horizon toward azimuth 90 degree");
    const Raster svf = read_raster(path("svf")), beam = read_raster(path("beam")),
                 diffuse = read_raster(path("diffuse")), reflected = read_raster(path("reflected")),
                 global = read_raster(path("global"));
    size_t cells = 0;
    for (size_t k = 0; k < global.values.size(); k++) {
        if (global.values[k] == -9999)
            continue;
        cells++;
        ASSERT_GE(svf.values[k], 0);
        ASSERT_LE(svf.values[k], 1);
        ASSERT_GT(diffuse.values[k], 0);
        ASSERT_GE(reflected.values[k], 0);
        ASSERT_NEAR(global.values[k], beam.values[k] + diffuse.values[k] + reflected.values[k],
                    1e-5 * global.values[k]);
    }
    EXPECT_GT(cells, 100000u);
    EXPECT_EQ(global.metadata("TERRALUME_CLEAR_SKY_INDEX"), "0.8,1.1");
    EXPECT_EQ(global.metadata("TERRALUME_LINKE_MONTHLY"), "2,2,2,3,3,3,4,4,3,3,2,2");
    EXPECT_EQ(beam.metadata("TERRALUME_CLEAR_SKY_INDEX"), "0.8,1.1");
    EXPECT_EQ(global.metadata("TERRALUME_ALBEDO"), "0.2");

    // In kWh, the same irradiation over 1000.
    const std::string kwh = (dir.root() / "k.tif").string();
    const CliResult k = run_cli({"-q", "--from", "2026-06-21", "--to", "2026-06-21", "--step", "30",
                                 "--horizon-directions", "8", "--linke", "2,2,2,3,3,3,4,4,3,3,2,2", "--clear-sky-index",
                                 "0.8,1.1", "--units", "kWh", "--output", "diffuse", dem, kwh});
    ASSERT_EQ(k.status, 0) << k.err;
    const Raster d = read_raster(kwh);
    for (size_t c = 0; c < d.values.size(); c += 97)
        if (d.values[c] != -9999) {
            ASSERT_NEAR(d.values[c], diffuse.values[c] / 1000, 1e-6 * diffuse.values[c]);
        }
}

} // namespace
