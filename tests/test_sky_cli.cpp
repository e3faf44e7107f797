// The sky's outputs through the command line: the horizon's bands and their
// azimuths, global = beam + diffuse + reflected, kWh as Wh / 1000, the
// metadata of what was taken; the series of bands a month or a day; the
// albedo and the clear-sky indices from rasters.
#include "cli_support.h"
#include "computation.h"
#include "gis_support.h"
#include "options.h"
#include "support.h"

#include <cmath>
#include <sstream>

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

// Every band of a raster, and the bands' descriptions.
struct Bands {
    std::vector<std::vector<double>> values;
    std::vector<std::string> descriptions;
};

Bands read_bands(const std::string &path)
{
    gis::start_gdal();
    Bands b;
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    EXPECT_TRUE(ds) << path;
    if (!ds)
        return b;
    const int columns = ds->GetRasterXSize(), lines = ds->GetRasterYSize();
    for (int k = 1; k <= ds->GetRasterCount(); k++) {
        GDALRasterBand *band = ds->GetRasterBand(k);
        std::vector<double> v(static_cast<size_t>(columns) * static_cast<size_t>(lines));
        EXPECT_EQ(band->RasterIO(GF_Read, 0, 0, columns, lines, v.data(), columns, lines, GDT_Float64, 0, 0), CE_None);
        b.values.push_back(std::move(v));
        b.descriptions.emplace_back(band->GetDescription());
    }
    return b;
}

TEST(SkySeriesCommandLine, BandsOfTheAdditiveOutputsAddUpToTheWholePeriod)
{
    // Four days of jacksboro, by day and as one period. The bands are
    // written as Float32: their sum is the whole's within 1e-6 of it.
    const Scratch dir;
    const std::string dem = std::string(TL_EXAMPLES) + "/jacksboro.tif";
    const std::vector<std::string> common = {"-q",
                                             "--from",
                                             "2026-01-30",
                                             "--to",
                                             "2026-02-02",
                                             "--step",
                                             "60",
                                             "--horizon-directions",
                                             "4",
                                             "--output",
                                             "sunhours,beam,global,svf,illumination"};
    std::vector<std::string> series = common, whole = common;
    series.insert(series.end(), {"--series", "day", dem, (dir.root() / "s.tif").string()});
    whole.insert(whole.end(), {dem, (dir.root() / "w.tif").string()});
    const CliResult a = run_cli(series), b = run_cli(whole);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const auto path = [&](const char *stem, const char *kind) {
        return (dir.root() / (std::string(stem) + "_" + kind + ".tif")).string();
    };
    for (const char *kind : {"sunhours", "beam", "global"}) {
        const Bands s = read_bands(path("s", kind));
        const Bands w = read_bands(path("w", kind));
        ASSERT_EQ(s.values.size(), 4u) << kind;
        ASSERT_EQ(w.values.size(), 1u) << kind;
        EXPECT_EQ(s.descriptions, (std::vector<std::string>{"2026-01-30 to 2026-01-30", "2026-01-31 to 2026-01-31",
                                                            "2026-02-01 to 2026-02-01", "2026-02-02 to 2026-02-02"}))
            << kind;
        size_t cells = 0;
        for (size_t c = 0; c < w.values[0].size(); c++) {
            const double whole_value = w.values[0][c];
            if (whole_value == -9999) {
                for (const auto &band : s.values)
                    ASSERT_EQ(band[c], -9999) << kind;
                continue;
            }
            cells++;
            double sum = 0;
            for (const auto &band : s.values)
                sum += band[c];
            ASSERT_NEAR(sum, whole_value, 1e-6 * whole_value + 1e-6) << kind << " " << c;
        }
        EXPECT_GT(cells, 100000u) << kind;
        EXPECT_EQ(read_raster(path("s", kind)).metadata("TERRALUME_SERIES"), "day: 4 bands") << kind;
    }
    // The outputs that do not add up keep one band, the very bits of the
    // run without a series.
    for (const char *kind : {"svf", "illumination"}) {
        const Bands s = read_bands(path("s", kind));
        ASSERT_EQ(s.values.size(), 1u) << kind;
        EXPECT_EQ(s.values, read_bands(path("w", kind)).values) << kind;
        EXPECT_EQ(read_raster(path("s", kind)).metadata("TERRALUME_SERIES"), "") << kind;
    }
}

// A projected DEM of rough relief on a UTM grid of 30 m cells, so that
// rasters on its grid are read as they stand.
const std::array<double, 6> kUtm = {500000, 30, 0, 4000000, 0, -30};

void make_utm_dem(const std::string &path)
{
    TiffLayout t;
    t.lines = 40;
    t.columns = 50;
    t.type = GDT_Float32;
    t.transform = kUtm;
    t.epsg = 32617;
    for (int32_t i = 0; i < t.lines; i++)
        for (int32_t j = 0; j < t.columns; j++)
            t.values.push_back(300 + 40 * std::sin(0.21 * i) * std::cos(0.17 * j) + 2.5 * i);
    make_geotiff(path, t);
}

// A raster of `value` on the DEM's grid, or as `shape` says.
void make_value_raster(const std::string &path, double value, TiffLayout t = {})
{
    if (t.lines == 0) {
        t.lines = 40;
        t.columns = 50;
        t.transform = kUtm;
        t.epsg = 32617;
    }
    t.type = GDT_Float64;
    if (t.values.empty())
        t.values.assign(static_cast<size_t>(t.lines) * static_cast<size_t>(t.columns), value);
    make_geotiff(path, t);
}

TEST(SkySeriesCommandLine, TheSimpleSunsMonthsAreThoseOfTheReferenceYear)
{
    const Scratch dir;
    const std::string dem = (dir.root() / "dem.tif").string(), out = (dir.root() / "h.tif").string();
    make_utm_dem(dem);
    const CliResult r = run_cli({"-q", "--sun", "simple", "--from", "01-20", "--to", "03-05", "--series", "month",
                                 "--output", "sunhours", dem, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bands b = read_bands(out);
    EXPECT_EQ(b.descriptions, (std::vector<std::string>{"01-20 to 01-31", "02-01 to 02-28", "03-01 to 03-05"}));
    // Twelve, 28 and 5 days of the simple sun's 11 hours on a cell in the open.
    ASSERT_EQ(b.values.size(), 3u);
    const size_t c = 20 * 50 + 25;
    EXPECT_LT(b.values[0][c], b.values[1][c]);
    EXPECT_GT(b.values[0][c], b.values[2][c]);
}

TEST(SkyRasters, UniformRastersGiveTheBitsOfTheSameValues)
{
    const Scratch dir;
    const std::string dem = (dir.root() / "dem.tif").string();
    make_utm_dem(dem);
    const std::string albedo = (dir.root() / "albedo.tif").string(), kb = (dir.root() / "kb.tif").string(),
                      kd = (dir.root() / "kd.tif").string();
    make_value_raster(albedo, 0.35);
    make_value_raster(kb, 0.8);
    make_value_raster(kd, 1.15);
    const std::vector<std::string> common = {"-q",
                                             "--from",
                                             "2026-05-10",
                                             "--to",
                                             "2026-05-11",
                                             "--step",
                                             "20",
                                             "--horizon-directions",
                                             "8",
                                             "--output",
                                             "beam,diffuse,reflected,global"};
    std::vector<std::string> values = common, rasters = common;
    values.insert(values.end(),
                  {"--albedo", "0.35", "--clear-sky-index", "0.8,1.15", dem, (dir.root() / "v.tif").string()});
    rasters.insert(rasters.end(),
                   {"--albedo", albedo, "--clear-sky-index", kb + "," + kd, dem, (dir.root() / "r.tif").string()});
    const CliResult a = run_cli(values), b = run_cli(rasters);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    for (const char *kind : {"beam", "diffuse", "reflected", "global"}) {
        const Raster v = read_raster((dir.root() / (std::string("v_") + kind + ".tif")).string());
        const Raster r = read_raster((dir.root() / (std::string("r_") + kind + ".tif")).string());
        EXPECT_EQ(v.values, r.values) << kind;
        EXPECT_EQ(r.metadata("TERRALUME_CLEAR_SKY_INDEX"), kb + "," + kd) << kind;
        if (std::string(kind) != "beam") {
            EXPECT_EQ(r.metadata("TERRALUME_ALBEDO"), albedo) << kind;
        }
    }
}

TEST(SkyRasters, ARasterOnTheDemsOwnGridFollowsItsReprojection)
{
    // jacksboro is in degrees and computed in UTM: an albedo raster on its
    // own grid is warped as the DEM is, onto every cell computed; uniform,
    // it stays the value it holds.
    const Scratch dir;
    const std::string dem = std::string(TL_EXAMPLES) + "/jacksboro.tif";
    const Raster source = read_raster(dem);
    TiffLayout t;
    t.lines = source.lines;
    t.columns = source.columns;
    t.transform = source.transform;
    t.epsg = 4326;
    const std::string albedo = (dir.root() / "albedo.tif").string();
    make_value_raster(albedo, 0.3, t);
    const std::vector<std::string> common = {"-q",         "--from",   "2026-06-21", "--to",
                                             "2026-06-21", "--step",   "60",         "--horizon-directions",
                                             "4",          "--output", "reflected"};
    std::vector<std::string> value = common, raster = common;
    value.insert(value.end(), {"--albedo", "0.3", dem, (dir.root() / "v.tif").string()});
    raster.insert(raster.end(), {"--albedo", albedo, dem, (dir.root() / "r.tif").string()});
    const CliResult a = run_cli(value), b = run_cli(raster);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const Raster v = read_raster((dir.root() / "v.tif").string()), r = read_raster((dir.root() / "r.tif").string());
    ASSERT_EQ(v.values.size(), r.values.size());
    for (size_t c = 0; c < v.values.size(); c++)
        ASSERT_NEAR(r.values[c], v.values[c], 1e-6 * std::fabs(v.values[c])) << c;
}

TEST(SkyRasters, BadRastersAndSeriesAreRefusedInOneLine)
{
    const Scratch dir;
    const std::string dem = (dir.root() / "dem.tif").string();
    make_utm_dem(dem);
    const auto at = [&](const char *name) { return (dir.root() / name).string(); };
    make_value_raster(at("one.tif"), 1);
    TiffLayout half;
    half.lines = 20;
    half.columns = 50;
    half.transform = kUtm;
    half.epsg = 32617;
    make_value_raster(at("half.tif"), 0.2, half);
    TiffLayout bright;
    bright.lines = 40;
    bright.columns = 50;
    bright.transform = kUtm;
    bright.epsg = 32617;
    bright.values.assign(2000, 0.2);
    bright.values[417] = 1.5;
    make_value_raster(at("bright.tif"), 0, bright);
    TiffLayout holed = bright;
    holed.values[417] = -1;
    holed.nodata = -1;
    make_value_raster(at("holed.tif"), 0, holed);
    TiffLayout negative = bright;
    negative.values[417] = -0.1;
    make_value_raster(at("negative.tif"), 0, negative);
    TiffLayout bare;
    bare.lines = 10;
    bare.columns = 10;
    make_value_raster(at("bare.tif"), 0.2, bare);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *says;
    };
    const std::string one = at("one.tif");
    const Case cases[] = {
        {{"--albedo", at("half.tif")}, 1, "cells of the DEM with an elevation have no value in it"},
        {{"--albedo", at("bright.tif")}, 1, "1 value lies outside 0 to 1 (the first at line 8, column 17: 1.5"},
        {{"--albedo", at("holed.tif")},
         1,
         "1 cell of the DEM with an elevation has no value in it (the first at line 8"},
        {{"--albedo", at("absent.tif")}, 1, "absent.tif: no such file"},
        {{"--albedo", at("bare.tif")}, 1, "without the georeference"},
        {{"--clear-sky-index", at("negative.tif") + "," + one}, 1, "outside 0 to 2"},
        {{"--clear-sky-index", "0.5," + one}, 2, "is not a number"},
        {{"--albedo", at("o_global.tif")}, 1, "o_global.tif: is the raster of --albedo this run reads"},
        {{"--clear-sky-index", one + "," + at("o_beam.tif")}, 1, "o_beam.tif: is the raster of --clear-sky-index"},
        {{"--series", "week"}, 2, "--series week: the series is month or day"},
        {{"--series", "month", "--tile", "20"}, 1, "--series: tiles write one band"},
        {{"--albedo", one, "--tile", "20"}, 1, "--albedo: tiles read no raster"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"-q",     "--from", "2026-05-10",           "--to", "2026-05-10",
                                         "--step", "60",     "--horizon-directions", "4"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(c.args.begin(), c.args.end(), "--output") == c.args.end())
            args.insert(args.end(), {"--output", "beam,global"});
        args.insert(args.end(), {dem, at("o.tif")});
        const CliResult r = run_cli(args);
        EXPECT_EQ(r.status, c.status) << c.says << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        if (c.status == 1) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

TEST(SkySeriesMemory, ASeriesTooLargeIsRefusedBeforeAnythingIsAllocated)
{
    // 3000 x 3000 cells within 8 GiB: the year whole and by months fits,
    // by days (365 bands of beam, diffuse and horizontal) it does not.
    const auto options = [](const char *series) {
        std::vector<const char *> argv = {"terralume", "--from", "2026-01-01", "--to",   "2026-12-31",
                                          "--output",  "global", "dem.tif",    "out.tif"};
        if (series != nullptr) {
            argv.push_back("--series");
            argv.push_back(series);
        }
        std::ostringstream out;
        return *cli::parse_options(static_cast<int>(argv.size()), argv.data(), out);
    };
    const gis::DemShape shape{3000, 3000, 0, 0, 0};
    const std::vector<gis::Format> formats = {{"GTiff", {}}};
    const uint64_t memory = uint64_t{8} << 30;
    EXPECT_NO_THROW(cli::check_memory(options(nullptr), formats, shape, memory));
    EXPECT_NO_THROW(cli::check_memory(options("month"), formats, shape, memory));
    try {
        cli::check_memory(options("day"), formats, shape, memory);
        ADD_FAILURE() << "365 bands of 3000 x 3000 cells taken within 8 GiB";
    } catch (const cli::Failure &f) {
        EXPECT_TRUE(f.memory);
        EXPECT_NE(f.message.find("dem.tif: the grid of 3000 lines and 3000 columns needs"), std::string::npos)
            << f.message;
    }
}

} // namespace
