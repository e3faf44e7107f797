// Runs by tiles against the whole-raster run, bit for bit, and the tiles'
// refusals.
#include "cli_support.h"
#include "gis_support.h"
#include "support.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace terralume
{
namespace
{

using test::Scratch;

using Result = test::CliResult;

Result run(std::vector<std::string> args) { return test::run_cli(std::move(args)); }

constexpr int32_t kLines = 56;
constexpr int32_t kColumns = 64;

// Ridges and valleys about 100 m high in UTM zone 16 (36 N), 30 m cells;
// with `seams`, cells without elevation along lines and columns where tiles
// of 8 and 16 cells meet, and a hole across several.
void make_dem(const std::string &path, bool seams)
{
    test::TiffLayout t;
    t.lines = kLines;
    t.columns = kColumns;
    t.type = GDT_Float32;
    t.transform = std::array<double, 6>{700000, 30, 0, 4000020, 0, -30};
    t.epsg = 32616;
    t.nodata = -9999;
    for (int32_t i = 0; i < kLines; i++)
        for (int32_t j = 0; j < kColumns; j++) {
            double z = 400 + 45 * std::sin(i / 4.3) * std::cos(j / 6.1) + 0.9 * j +
                       30 * std::exp(-((i - 30) * (i - 30) + (j - 20) * (j - 20)) / 40.0) +
                       0.37 * ((i * 7 + j * 13) % 11);
            if (seams && (i == 16 || j == 32 || (i >= 38 && i < 43 && j >= 6 && j < 27)))
                z = -9999;
            t.values.push_back(z);
        }
    test::make_geotiff(path, t);
}

// The samples of every band of a raster, as bytes of its own type.
std::string samples(const std::string &path)
{
    gis::start_gdal();
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    EXPECT_TRUE(ds) << path;
    if (!ds)
        return "";
    std::string all;
    for (int k = 1; k <= ds->GetRasterCount(); k++) {
        GDALRasterBand *b = ds->GetRasterBand(k);
        const GDALDataType type = b->GetRasterDataType();
        std::string bytes(
            static_cast<size_t>(ds->GetRasterXSize()) * ds->GetRasterYSize() * GDALGetDataTypeSizeBytes(type), '\0');
        EXPECT_EQ(b->RasterIO(GF_Read, 0, 0, ds->GetRasterXSize(), ds->GetRasterYSize(), bytes.data(),
                              ds->GetRasterXSize(), ds->GetRasterYSize(), type, 0, 0),
                  CE_None);
        all += bytes;
    }
    return all;
}

std::string path_of(const std::string &output, const std::string &kind, size_t kinds)
{
    if (kinds == 1)
        return output;
    const size_t dot = output.rfind('.');
    return output.substr(0, dot) + "_" + kind + output.substr(dot);
}

struct TiledCase {
    const char *name;
    int tile;
    bool array; // plan, run every index, merge; else --tile in one process
    bool seams; // cells without elevation along the seams
    std::vector<std::string> options;
    std::vector<std::string> kinds;
    const char *threads; // of the tiles; the whole run takes 1
};

class TilesMatchWhole : public ::testing::TestWithParam<TiledCase>
{
};

TEST_P(TilesMatchWhole, BitForBit)
{
    const TiledCase &c = GetParam();
    Scratch s(c.name);
    const std::string dem = s.base() + "dem.tif";
    make_dem(dem, c.seams);
    std::string kinds;
    for (const std::string &k : c.kinds)
        kinds += (kinds.empty() ? "" : ",") + k;
    std::vector<std::string> common = c.options;
    common.insert(common.end(), {"--output", kinds, "-q"});

    std::vector<std::string> whole = {dem, s.base() + "whole.tif", "--threads", "1"};
    whole.insert(whole.end(), common.begin(), common.end());
    const Result w = run(whole);
    ASSERT_EQ(w.status, 0) << w.err;

    const std::string tiled = s.base() + "tiled.tif";
    std::vector<std::string> args = {dem, tiled, "--tile", std::to_string(c.tile)};
    args.insert(args.end(), common.begin(), common.end());
    if (c.array) {
        const std::string plan = s.base() + "plan.json";
        std::vector<std::string> p = {"tiles", "plan"};
        p.insert(p.end(), args.begin(), args.end());
        p.push_back(plan);
        const Result r = run(p);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string text = test::read_file(plan);
        const size_t tiles = test::count(text, "\"core\"");
        ASSERT_GT(tiles, 3u);
        for (size_t k = 0; k < tiles; k++) {
            const Result t = run({"tiles", "run", plan, "--index", std::to_string(k), "--threads", c.threads, "-q"});
            ASSERT_EQ(t.status, 0) << "tile " << k << ": " << t.err;
        }
        const Result m = run({"tiles", "merge", plan, "-q"});
        ASSERT_EQ(m.status, 0) << m.err;
    } else {
        args.insert(args.end(), {"--threads", c.threads});
        const Result r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    for (const std::string &k : c.kinds) {
        const std::string a = samples(path_of(s.base() + "whole.tif", k, c.kinds.size()));
        const std::string b = samples(path_of(tiled, k, c.kinds.size()));
        ASSERT_FALSE(a.empty());
        EXPECT_TRUE(a == b) << k << ": the tiled result differs from the whole run's";
        const test::Raster x = test::read_raster(path_of(s.base() + "whole.tif", k, c.kinds.size()));
        const test::Raster y = test::read_raster(path_of(tiled, k, c.kinds.size()));
        EXPECT_EQ(x.transform, y.transform) << k;
        ASSERT_TRUE(x.nodata && y.nodata) << k;
        EXPECT_TRUE(*x.nodata == *y.nodata || (std::isnan(*x.nodata) && std::isnan(*y.nodata))) << k;
        EXPECT_EQ(x.items, y.items) << k << ": the report differs";
    }
}

const std::vector<std::string> kSimpleJune = {"--sun", "simple", "--from", "06-21", "--to", "06-21"};
const std::vector<std::string> kSimpleDecember = {"--sun", "simple", "--from",        "12-01",
                                                  "--to",  "12-03",  "--attenuation", "20"};

INSTANTIATE_TEST_SUITE_P(
    Tiles, TilesMatchWhole,
    ::testing::Values(
        TiledCase{"one_cell_wide_column", 63, false, false, kSimpleJune, {"sunhours"}, "1"},
        TiledCase{"one_cell_high_row", 55, true, true, kSimpleJune, {"illumination"}, "2"},
        TiledCase{"tiny_tiles", 3, false, true, kSimpleDecember, {"sunhours"}, "1"},
        TiledCase{"smaller_than_halo", 10, true, false, kSimpleJune, {"sunhours", "illumination"}, "2"},
        TiledCase{"seams_with_nodata", 16, true, true, kSimpleDecember, {"illumination", "elevation"}, "1"},
        TiledCase{"seams_one_process", 8, false, true, kSimpleDecember, {"sunhours", "illumination"}, "2"},
        TiledCase{"low_sun_east", 9, false, true, {"--sun-position", "12,95"}, {"shadow"}, "2"},
        TiledCase{"sun_north_west", 11, true, false, {"--sun-position", "16,315", "--no-curvature"}, {"shadow"}, "1"},
        TiledCase{"larger_than_raster", 500, false, false, kSimpleJune, {"sunhours"}, "1"},
        TiledCase{"merged_as_cog",
                  12,
                  true,
                  true,
                  {"--sun", "simple", "--from", "06-21", "--to", "06-21", "-of", "COG"},
                  {"sunhours", "illumination"},
                  "2"},
        TiledCase{"solar_beam",
                  20,
                  true,
                  true,
                  {"--from", "06-21", "--to", "06-21", "--step", "30", "--halo", "900"},
                  {"beam", "sunhours"},
                  "2"},
        // The horizons out to a distance, on the raster's rays: the halo
        // covers that distance (--halo, shorter, counts for the shadows).
        TiledCase{"horizons_and_sky_view",
                  16,
                  true,
                  false,
                  {"--sun", "simple", "--halo", "100", "--horizon-distance", "240", "--horizon-directions", "12"},
                  {"horizon", "svf"},
                  "2"},
        TiledCase{"sky_view_tiny_tiles_with_nodata",
                  5,
                  false,
                  true,
                  {"--sun", "simple", "--halo", "0", "--horizon-distance", "150", "--no-curvature",
                   "--horizon-directions", "8"},
                  {"svf", "horizon"},
                  "1"},
        TiledCase{"diffuse_reflected_global",
                  20,
                  false,
                  true,
                  {"--from", "06-21", "--to", "06-21", "--step", "60", "--halo", "900", "--horizon-distance", "200"},
                  {"diffuse", "reflected", "global"},
                  "2"}),
    [](const ::testing::TestParamInfo<TiledCase> &info) { return std::string(info.param.name); });

// Each refusal: one line naming the option, file or value, exit 1.
struct Refusal {
    const char *name;
    std::vector<std::string> plan_options;
    const char *says;
};

class PlanRefusals : public ::testing::TestWithParam<Refusal>
{
};

TEST_P(PlanRefusals, OneLine)
{
    const Refusal &c = GetParam();
    Scratch s(c.name);
    make_dem(s.base() + "dem.tif", false);
    std::vector<std::string> args = {"tiles", "plan", s.base() + "dem.tif", s.base() + "out.tif"};
    args.insert(args.end(), c.plan_options.begin(), c.plan_options.end());
    args.push_back(s.base() + "plan.json");
    const Result r = run(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(test::count(r.err, "\n"), 1u) << r.err;
    EXPECT_FALSE(fs::exists(s.base() + "plan.json"));
}

INSTANTIATE_TEST_SUITE_P(
    Tiles, PlanRefusals,
    ::testing::Values(Refusal{"rays", {"--tile", "10", "--shadows", "rays"}, "--shadows rays"},
                      Refusal{"index", {"--tile", "10", "--output", "index"}, "--output index"},
                      Refusal{"memory", {"--tile", "60", "--memory", "0.0001"}, "does not fit --memory"},
                      Refusal{"no_tile", {"--sun", "simple"}, "--tile CELLS is needed"},
                      Refusal{"keep_grid", {"--tile", "10", "--keep-grid"}, "--keep-grid"},
                      Refusal{"svf", {"--tile", "10", "--output", "sunhours,svf"}, "--output svf: its horizons reach"},
                      Refusal{"global", {"--tile", "10", "--output", "global"}, "give --horizon-distance METRES"}),
    [](const ::testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

// A plan and its tiles, for the refusals of run and merge.
class PlannedRun : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_dem(dem, false);
        const Result r = run({"tiles", "plan", dem, s.base() + "out.tif", "--tile", "32", "--sun", "simple", "--from",
                              "06-21", "--to", "06-21", "-q", plan});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    Result tile(int k) { return run({"tiles", "run", plan, "--index", std::to_string(k), "-q"}); }
    void expect_refused(const Result &r, const std::string &says)
    {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(test::count(r.err, "\n"), 1u) << r.err;
    }
    Scratch s;
    std::string dem = s.base() + "dem.tif";
    std::string plan = s.base() + "plan.json";
};

TEST_F(PlannedRun, IndexOutOfRangeOrMissing)
{
    expect_refused(tile(4), "--index 4: " + plan + " has tiles 0 to 3");
    expect_refused(run({"tiles", "run", plan, "--index", "-1"}), "has tiles 0 to 3");
    unsetenv("SLURM_ARRAY_TASK_ID");
    setenv("JOB_COMPLETION_INDEX", "9", 1);
    expect_refused(run({"tiles", "run", plan}), "$JOB_COMPLETION_INDEX 9");
    setenv("SLURM_ARRAY_TASK_ID", "2x", 1);
    expect_refused(run({"tiles", "run", plan}), "$SLURM_ARRAY_TASK_ID 2x: not a tile number");
    setenv("SLURM_ARRAY_TASK_ID", "1", 1);
    EXPECT_EQ(run({"tiles", "run", plan, "-q"}).status, 0);
    unsetenv("SLURM_ARRAY_TASK_ID");
    unsetenv("JOB_COMPLETION_INDEX");
    expect_refused(run({"tiles", "run", plan}), "neither $SLURM_ARRAY_TASK_ID nor $JOB_COMPLETION_INDEX");
    EXPECT_TRUE(fs::exists(s.base() + "out.tif.tiles/tile_000001_sunhours.tif"));
}

TEST_F(PlannedRun, DemChangedSincePlanning)
{
    ASSERT_EQ(tile(0).status, 0);
    make_dem(dem, true);
    expect_refused(tile(1), "the DEM has changed since");
    fs::remove(dem);
    expect_refused(tile(1), "the DEM's file is gone");
}

TEST_F(PlannedRun, EditedPlan)
{
    std::string text = test::read_file(plan);
    text.replace(text.find("\"tile\":32"), 9, "\"tile\":31");
    test::write_file(plan, text);
    expect_refused(tile(0), "its digest does not match its content");
    test::write_file(plan, "{\"terralume_plan\":1");
    expect_refused(tile(0), "not a plan");
}

TEST_F(PlannedRun, MergeNeedsEveryTileOfThisPlan)
{
    for (int k = 0; k < 3; k++)
        ASSERT_EQ(tile(k).status, 0);
    expect_refused(run({"tiles", "merge", plan}), "tile 3 is missing: run terralume tiles run " + plan + " --index 3");
    EXPECT_FALSE(fs::exists(s.base() + "out.tif"));
    // A tile of another plan of the same DEM and outputs.
    const std::string other = s.base() + "other.json";
    ASSERT_EQ(run({"tiles", "plan", dem, s.base() + "out.tif", "--tile", "32", "--sun", "simple", "--from", "06-22",
                   "--to", "06-22", "-q", other})
                  .status,
              0);
    ASSERT_EQ(run({"tiles", "run", other, "--index", "3", "-q"}).status, 0);
    expect_refused(run({"tiles", "merge", plan}), "belongs to another plan (or tile), not a tile of " + plan);
    // Run again, the foreign tile is replaced; the done ones are kept.
    const auto before = fs::last_write_time(s.base() + "out.tif.tiles/tile_000000_sunhours.tif");
    const Result again = run({"tiles", "run", plan, "--index", "0"});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("is done already"), std::string::npos) << again.out;
    EXPECT_EQ(before, fs::last_write_time(s.base() + "out.tif.tiles/tile_000000_sunhours.tif"));
    ASSERT_EQ(tile(3).status, 0);
    const Result m = run({"tiles", "merge", plan});
    EXPECT_EQ(m.status, 0) << m.err;
    EXPECT_NE(m.out.find("wrote " + s.base() + "out.tif (64 x 56, sunhours, 4 tiles)"), std::string::npos) << m.out;
}

TEST_F(PlannedRun, BadUsageOfTheTilesCommands)
{
    const std::vector<std::vector<std::string>> cases = {{"tiles"},
                                                         {"tiles", "split", plan},
                                                         {"tiles", "run"},
                                                         {"tiles", "run", plan, "--index"},
                                                         {"tiles", "run", plan, "--threads", "0"},
                                                         {"tiles", "merge", plan, "--index", "1"}};
    for (const std::vector<std::string> &args : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args.size() << ": " << r.err;
        EXPECT_NE(r.err.find("tiles"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(s.base() + "out.tif.tiles/tile_000000_sunhours.tif"));
}

TEST(TilesVrt, MergedAsAMosaicOfTheTiles)
{
    Scratch s;
    make_dem(s.base() + "dem.tif", true);
    const std::string plan = s.base() + "plan.json";
    ASSERT_EQ(run({"tiles", "plan", s.base() + "dem.tif", s.base() + "out.vrt", "--tile", "20", "--sun", "simple",
                   "--from", "06-21", "--to", "06-21", "-q", plan})
                  .status,
              0);
    for (int k = 0; k < 12; k++)
        ASSERT_EQ(run({"tiles", "run", plan, "--index", std::to_string(k), "-q"}).status, 0);
    ASSERT_EQ(run({"tiles", "merge", plan, "-q"}).status, 0);
    ASSERT_EQ(
        run({s.base() + "dem.tif", s.base() + "whole.tif", "--sun", "simple", "--from", "06-21", "--to", "06-21", "-q"})
            .status,
        0);
    EXPECT_TRUE(samples(s.base() + "out.vrt") == samples(s.base() + "whole.tif"));
    const test::Raster v = test::read_raster(s.base() + "out.vrt");
    EXPECT_EQ(v.metadata("TERRALUME_OUTPUT"), "sunhours");
    EXPECT_EQ(v.metadata("TERRALUME_PLAN_DIGEST"), "");
}

} // namespace
} // namespace terralume
