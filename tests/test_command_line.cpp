// terralume with arguments, run in-process: the dialogue's bytes for the
// index output, GeoTIFFs in and out, nodata, and every refusal.
#include "cli_support.h"
#include "command_line.h"
#include "engine.h"
#include "gis_support.h"
#include "nodata.h"
#include "options.h"
#include "solar_period.h"
#include "support.h"
#include "terrain.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <sstream>

namespace terralume
{
namespace
{

using test::read_file;
using test::Scratch;

using Result = test::CliResult;
constexpr auto run = test::run_cli;

// A seeded model of lines x columns samples, as raw (NAME_m2.raw and its
// descriptor, 30 m cells) and as a GeoTIFF of UTM zone 31 north.
struct Model {
    Model(const Scratch &s, int32_t lines, int32_t columns, uint64_t seed)
        : lines(lines), columns(columns), samples(tools::fractal_terrain(lines, columns, seed, 100, 400, 32))
    {
        folder = s.root() / "site";
        std::vector<uint16_t> v(samples.begin(), samples.end());
        test::write_file(folder / "dem_m2.raw", test::samples16(v));
        test::write_file(folder / "dem_m2.txt",
                         std::to_string(lines) + "\n" + std::to_string(columns) + "\n2\n0\n0\n30\n");
        tif = (s.root() / "dem.tif").string();
        test::make_geotiff(tif, {lines, columns, GDT_Int16, std::vector<double>(samples.begin(), samples.end()),
                                 std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32631, std::nullopt});
    }
    std::string raw() const { return (folder / "dem_m2.raw").string(); }
    int32_t lines, columns;
    std::vector<int32_t> samples;
    fs::path folder;
    std::string tif;
};

std::string bytes_of(const test::Raster &r)
{
    std::string s;
    for (double v : r.values)
        s += static_cast<char>(static_cast<unsigned char>(v));
    return s;
}

TEST(CommandLine, IndexIsTheDialoguesImage)
{
    Scratch s;
    const Model m(s, 47, 61, 7);
    const struct {
        std::string attenuation, norm, first, last; // the dialogue's answers
        std::string from, to, normalization;        // the options
    } cases[] = {
        {"50", "2", "1 1", "31 12", "01-01", "12-31", "grey"},
        {"30", "1", "21 6", "21 6", "06-21", "06-21", "percent"},
        {"0", "0", "1 3", "15 4", "03-01", "04-15", "raw"},
        {"100", "2", "10 11", "31 12", "11-10", "12-31", "grey"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string name = "r" + std::to_string(n++);
        const test::Outcome o = test::run_script(s.base(), "site dem 0 1 " + name + " 0 30 45.5 " + c.attenuation +
                                                               " " + c.norm + " " + c.first + " " + c.last);
        ASSERT_EQ(o.status, 0) << o.transcript;
        const std::string dialogue = read_file(m.folder / (name + "_irra.raw"));
        ASSERT_EQ(dialogue.size(), 47u * 61);
        for (const std::string &dem : {m.raw(), m.tif}) {
            const std::string out = (s.root() / (name + ".tif")).string();
            const Result r = run({dem,
                                  out,
                                  "--output",
                                  "index",
                                  "--lat",
                                  "45.5",
                                  "--attenuation",
                                  c.attenuation,
                                  "--normalization",
                                  c.normalization,
                                  "--from",
                                  c.from,
                                  "--to",
                                  c.to,
                                  "--sun",
                                  "simple",
                                  "--shadows",
                                  "rays",
                                  "--slope",
                                  "dialogue"});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "wrote " + out + " (61 x 47, index)\n");
            EXPECT_EQ(bytes_of(test::read_raster(out)), dialogue) << dem << " " << c.from << " " << c.normalization;
        }
    }
}

TEST(CommandLine, SeveralOutputsOnePassGeoreferenceAndReport)
{
    Scratch s;
    const Model m(s, 30, 40, 3);
    const std::string out = (s.root() / "sun.tif").string();
    const std::vector<std::string> simple = {"--sun", "simple", "--shadows", "rays", "--slope", "dialogue"};
    std::vector<std::string> args = {m.tif,
                                     out,
                                     "--output",
                                     "sunhours,illumination,shadow",
                                     "--sun-position",
                                     "20,135",
                                     "--from",
                                     "12-01",
                                     "--to",
                                     "01-31",
                                     "--threads",
                                     "1"};
    args.insert(args.end(), simple.begin(), simple.end());
    const Result r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string stem = (s.root() / "sun_").string();
    EXPECT_EQ(r.out, "wrote " + stem + "sunhours.tif (40 x 30, sunhours)\nwrote " + stem +
                         "illumination.tif (40 x 30, illumination)\nwrote " + stem + "shadow.tif (40 x 30, shadow)\n");
    EXPECT_EQ(r.err, "");
    const test::Raster hours = test::read_raster(stem + "sunhours.tif");
    const test::Raster shadow = test::read_raster(stem + "shadow.tif");
    EXPECT_EQ(hours.type, GDT_Float32);
    EXPECT_EQ(shadow.type, GDT_Byte);
    EXPECT_EQ(hours.transform, (std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}));
    EXPECT_NE(hours.wkt.find("UTM zone 31N"), std::string::npos);
    EXPECT_EQ(hours.nodata, -9999.0);
    EXPECT_EQ(shadow.nodata, 255.0);
    // December and January: 62 days of 11 positions at about 45 N.
    EXPECT_EQ(hours.metadata("TERRALUME_DAYS"), "62");
    EXPECT_EQ(hours.metadata("TERRALUME_SUN_POSITIONS"), "682");
    EXPECT_EQ(hours.metadata("TERRALUME_PERIOD"), "12-01 to 01-31");
    EXPECT_EQ(shadow.metadata("TERRALUME_SUN_POSITION"), "20.000000 135.000000");
    for (int32_t i = 0; i < 30; i++)
        for (int32_t j = 0; j < 40; j++) {
            const double h = hours.values[static_cast<size_t>(i * 40 + j)];
            const double sh = shadow.values[static_cast<size_t>(i * 40 + j)];
            if (i == 29 || j == 39) { // no slope: no result
                EXPECT_EQ(h, -9999);
                EXPECT_EQ(sh, 255);
            } else {
                EXPECT_TRUE(h >= 0 && h <= 682) << h;
                EXPECT_TRUE(sh == 0 || sh == 1);
            }
        }
    // The same bits with two threads.
    const std::string again = (s.root() / "again.tif").string();
    args = {m.tif, again, "--from", "12-01", "--to", "01-31", "--threads", "2"};
    args.insert(args.end(), simple.begin(), simple.end());
    ASSERT_EQ(run(args).status, 0);
    EXPECT_EQ(test::read_raster(again).values, hours.values);
}

// The wall of test_nodata, as a GeoTIFF with a nodata value.
TEST(CommandLine, NodataCellsCastNoShadowAndHaveNoResult)
{
    Scratch s;
    const double X = -32768;
    const std::string dem = (s.root() / "wall.tif").string();
    test::make_geotiff(dem, {4,
                             9,
                             GDT_Int16,
                             {0, 100, 0, 0, 0, 0, 0, 0, 0, /**/
                              0, X,   0, 0, 0, 0, 0, 0, 0, /**/
                              0, 100, 0, 0, X, 0, 0, 0, 0, /**/
                              0, 100, 0, 0, 0, 0, 0, 0, 0},
                             std::array<double, 6>{500000, 10, 0, 5000000, 0, -10},
                             32631,
                             X});
    const std::string out = (s.root() / "shadow.tif").string();
    const Result r =
        run({dem, out, "--output", "shadow", "--sun-position", "45,270", "--shadows", "rays", "--slope", "dialogue"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<double> expected = {0,   255, 1,   1,   1,   1,   1,   1,   255, /**/
                                          255, 255, 0,   0,   255, 0,   0,   0,   255, /**/
                                          0,   0,   1,   255, 255, 1,   1,   1,   255, /**/
                                          255, 255, 255, 255, 255, 255, 255, 255, 255};
    const test::Raster shadow = test::read_raster(out);
    EXPECT_EQ(shadow.values, expected);
    EXPECT_EQ(shadow.metadata("TERRALUME_CELLS_WITHOUT_ELEVATION"), "2");
    // The index: cells without a value are 255, the rest stretched over the
    // result cells only.
    const std::string index = (s.root() / "index.tif").string();
    ASSERT_EQ(run({dem, index, "--output", "index", "--from", "06-21", "--to", "06-21", "--sun", "simple", "--shadows",
                   "rays", "--slope", "dialogue"})
                  .status,
              0);
    const test::Raster idx = test::read_raster(index);
    for (size_t k : {size_t{10}, size_t{22}})
        EXPECT_EQ(idx.values[k], 255) << k;
    EXPECT_LT(idx.values[0 * 9 + 8], 255); // an edge cell has a value, as in the dialogue
}

// A DEM in degrees is computed in UTM; --keep-grid brings every output back
// onto its grid with a value exactly where it has an elevation.
TEST(CommandLine, GeographicInputAndKeepGridRoundTrip)
{
    Scratch s;
    const std::string dem = (s.root() / "geo.tif").string();
    const std::array<double, 6> t = {-84.32, 1.0 / 1200, 0, 36.62, 0, -1.0 / 1200};
    // A plane rising 2 m a column and 3 m a line, holes in a block, a
    // scattering and along a piece of the western border.
    const double X = -32768;
    std::vector<double> v(30 * 36);
    for (int32_t i = 0; i < 30; i++)
        for (int32_t j = 0; j < 36; j++) {
            const bool hole =
                (i >= 10 && i < 14 && j >= 20 && j < 25) || (i * 7 + j * 3) % 41 == 0 || (j == 0 && i > 20);
            v[static_cast<size_t>(i * 36 + j)] = hole ? X : 300 + 2 * j + 3 * i;
        }
    test::make_geotiff(dem, {30, 36, GDT_Int16, v, t, 4326, X});
    const std::string utm = (s.root() / "utm.tif").string();
    Result r = run({dem, utm, "--from", "06-01", "--to", "06-01", "--step", "60"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("is in degrees: reprojected to UTM zone 16N (EPSG:32616)"), std::string::npos) << r.err;
    EXPECT_NE(test::read_raster(utm).wkt.find("UTM zone 16N"), std::string::npos);
    const std::string back = (s.root() / "back.tif").string();
    r = run({dem, back, "--keep-grid", "--output", "sunhours,illumination,index,shadow,elevation", "--sun-position",
             "20,135", "--from", "06-01", "--to", "06-01", "--step", "60", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    for (const char *kind : {"sunhours", "illumination", "index", "shadow", "elevation"}) {
        const test::Raster b = test::read_raster((s.root() / ("back_" + std::string(kind) + ".tif")).string());
        ASSERT_EQ(b.lines, 30) << kind;
        ASSERT_EQ(b.columns, 36) << kind;
        EXPECT_EQ(b.transform, t) << kind;
        EXPECT_NE(b.wkt.find("WGS 84"), std::string::npos) << kind;
        ASSERT_TRUE(b.nodata) << kind;
        int wrong = 0;
        for (size_t k = 0; k < v.size(); k++) {
            const bool none = std::isnan(b.values[k]) || b.values[k] == *b.nodata;
            wrong += none != (v[k] == X);
            // The plane there and back: to GDAL's warp (which places its
            // samples to an eighth of a cell) two cells from a border or a
            // hole, to a neighbour's step nearer.
            if (std::string(kind) == "elevation" && v[k] != X) {
                const int32_t i = static_cast<int32_t>(k) / 36, j = static_cast<int32_t>(k) % 36;
                bool inner = i > 1 && i < 28 && j > 1 && j < 34;
                for (int32_t di = -2; di <= 2; di++)
                    for (int32_t dj = -2; dj <= 2; dj++)
                        inner = inner && v[static_cast<size_t>((i + di) * 36 + j + dj)] != X;
                EXPECT_NEAR(b.values[k], v[k], inner ? 0.5 : 2 + 3 + 0.5) << i << " " << j;
            }
        }
        EXPECT_EQ(wrong, 0) << kind;
    }
}

TEST(CommandLine, Refusals)
{
    Scratch s;
    const Model m(s, 6, 7, 1);
    const std::string bare = (s.root() / "bare.tif").string();
    test::make_geotiff(bare, {5, 5, GDT_Float32, std::vector<double>(25, 3.5), std::nullopt, 0, std::nullopt});
    const std::string deep = (s.root() / "deep.tif").string();
    test::make_geotiff(deep, {5, 5, GDT_Float32, std::vector<double>(25, -INFINITY),
                              std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32631, std::nullopt});
    const std::string out = (s.root() / "out.tif").string();
    // The solar model over one day, and more options.
    const auto solar_day = [&](std::vector<std::string> more) {
        std::vector<std::string> a = {m.tif, out, "--sun", "solar", "--from", "2026-06-01", "--to", "2026-06-01"};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, 2, "DEM is required"},
        {{m.tif}, 2, "OUTPUT is required"},
        {{m.tif, out, "--lat", "95"}, 2, "--lat: a latitude lies between -90 and 90 degrees"},
        {{m.tif, out, "--lat", "-90.5"}, 2, "--lat: a latitude lies between -90 and 90 degrees"},
        {{m.tif, out, "--lat", "north"}, 2, "--lat"},
        {{m.tif, out, "--from", "02-31"}, 2, "--from 02-31: February has no day 31"},
        {{m.tif, out, "--to", "02-29"},
         2,
         "--to 02-29: the reference year 2025 has no 29 February; give a date of a leap year, such as 2024-02-29"},
        {{m.tif, out, "--sun", "simple", "--to", "02-29"}, 2, "--to 02-29: the simple sun's year has no 29 February"},
        {{m.tif, out, "--to", "13-01"}, 2, "--to 13-01: there is no month 13"},
        {{m.tif, out, "--from", "June 1"},
         2,
         "--from June 1: a date is YYYY-MM-DD, such as 2026-06-01, or MM-DD, such as 06-01, of the reference year "
         "2025"},
        {{m.tif, out, "--sun", "simple", "--from", "June 1"}, 2, "--from June 1: a date is MM-DD, such as 06-21"},
        {{m.tif, out, "--sun", "simple", "--from", "2026-06-01"},
         2,
         "--from 2026-06-01: the simple sun's days are MM-DD, of no year, such as 06-01; a dated day needs the solar "
         "sun (--sun solar, the default)"},
        {{m.tif, out, "--pixel-size", "0"}, 2, "--pixel-size: the side of a cell must be positive"},
        {{m.tif, out, "--pixel-size", "-30"}, 2, "--pixel-size: the side of a cell must be positive"},
        {{m.tif, out, "--attenuation", "-1"}, 2, "--attenuation: a share of light cannot be below 0 per cent"},
        {{m.tif, out, "--z-unit", "yd"}, 2, "--z-unit yd: the unit is m, dm, cm, mm, ft or us-ft"},
        {{m.tif, out, "--normalization", "log"}, 2, "--normalization log: the normalization is raw, percent or grey"},
        {{m.tif, out, "--output", "slope"},
         2,
         "--output slope: the outputs are sunhours, illumination, index, shadow, beam, elevation, horizon, svf, "
         "diffuse, reflected and global"},
        {{m.tif, out, "--output", "svf", "--horizon-directions", "0"}, 2, "--horizon-directions 0: from 1 to 360"},
        {{m.tif, out, "--output", "svf", "--horizon-directions", "361"}, 2, "--horizon-directions 361: from 1 to 360"},
        {{m.tif, out, "--output", "svf", "--horizon-distance", "0"}, 2, "--horizon-distance: a distance in metres"},
        {{m.tif, out, "--output", "diffuse", "--sky-view", "open"}, 2, "--sky-view open: the sky view is terrain or"},
        {{m.tif, out, "--output", "global", "--albedo", "1.5"}, 2, "--albedo: an albedo lies between 0 and 1"},
        {{m.tif, out, "--output", "global", "--units", "MWh"}, 2, "--units MWh: the units are Wh or kWh"},
        {{m.tif, out, "--output", "global", "--linke", "3,4"}, 2, "--linke 3,4: give one value, or 12"},
        {{m.tif, out, "--output", "global", "--linke", "3,x,3,3,3,3,3,3,3,3,3,3"}, 2, "'x' is not a number"},
        {{m.tif, out, "--output", "global", "--clear-sky-index", "0.7"}, 2, "give KB,KD, or 12 such pairs"},
        {{m.tif, out, "--output", "global", "--clear-sky-index", "0.7,3"}, 2, "each ratio lies between 0 and 2"},
        {{m.tif, out, "--output", "diffuse", "--sun", "simple"}, 2, "need the solar sun, not --sun simple"},
        {{m.tif, out, "--output", "index,index"}, 2, "--output: index is named twice"},
        {{m.tif, out, "--output", "shadow"}, 2, "--output shadow: needs --sun-position ELEV,AZIM"},
        {{m.tif, out, "--sun-position", "30,100"}, 2, "--sun-position: only the shadow output uses it"},
        {{m.tif, out, "--output", "shadow", "--sun-position", "0,100"}, 2, "the sun's elevation must be above 0"},
        {{m.tif, out, "--output", "shadow", "--sun-position", "30,361"}, 2, "the azimuth lies between 0 and 360"},
        {{m.tif, out, "--output", "shadow", "--sun-position", "30"}, 2, "--sun-position 30: give ELEV,AZIM"},
        {{m.tif, out, "--band", "0"}, 2, "--band 0: bands are numbered from 1"},
        {{m.tif, out, "--threads", "0"}, 2, "--threads: the number of threads must be positive"},
        {{m.tif, out, "--colour"}, 2, "--colour"},
        {{deep, out}, 1, "deep.tif: no cell has an elevation"},
        {{m.tif, out, "--threads", "100000"}, 2, "--threads 100000: at most 1024 threads"},
        {{m.tif, out, "--threads", "2147483647"}, 2, "--threads 2147483647: at most 1024 threads"},
        {{m.tif, out, "--attenuation", ""}, 2, "--attenuation: an empty value"},
        {{m.tif, out, "--lat", ""}, 2, "--lat: an empty value"},
        {{m.tif, out, "--lat="}, 2, "--lat: an empty value"},
        {{m.tif, out, "--pixel-size", ""}, 2, "--pixel-size: an empty value"},
        {{m.tif, out, "--nodata", ""}, 2, "--nodata: an empty value"},
        {{m.tif, out, "--band", ""}, 2, "--band: an empty value"},
        {{m.tif, out, "--threads", ""}, 2, "--threads: an empty value"},
        {{m.tif, out, "--step", ""}, 2, "--step: an empty value"},
        {{m.tif, out, "-of", ""}, 2, "-of: an empty value"},
        {{m.tif, out, "--output", ","}, 2, "--output ,: an empty kind between commas"},
        {{m.tif, out, "--output", "index,"}, 2, "--output index,: an empty kind between commas"},
        {{m.tif, ""}, 2, "OUTPUT: an empty name"},
        {{"-q", "", out}, 2, "DEM: an empty name"},
        {{m.tif, out, "-of", "MEM"}, 2, "-of MEM: MEM keeps a raster in memory and writes no file"},
        {{m.tif, out, "-of", "VRT"}, 2, "-of VRT: a VRT holds no data of its own"},
        {{m.tif, (s.root() / "o.vrt").string()}, 2, "o.vrt: a VRT holds no data of its own"},
        {{m.tif, (s.root() / "o.png").string()}, 2, "-of PNG: the sunhours output holds Float32 values, which PNG"},
        {{m.tif, (s.root() / "o.jpg").string(), "--output", "index,illumination"},
         2,
         "-of JPEG: the illumination output holds Float32 values"},
        {{m.tif, out, "-of", "NoSuch"}, 2, "-of NoSuch: GDAL has no raster format of that name"},
        {{m.tif, out, "-co", "TILED"}, 2, "-co TILED: a creation option is NAME=VALUE"},
        {{m.tif, out + ".xyz1"}, 2, "out.tif.xyz1: no raster format GDAL writes ends in .xyz1; name one with -of"},
        {{m.tif, out, "--band", "2"}, 1, "dem.tif: --band 2: the raster has 1 band"},
        {{"/no/such.tif", out, "--lat", "-33.9", "--nodata", "-32768"}, 1, "/no/such.tif: no such file"},
        {{bare, out}, 1, "bare.tif: no georeference gives the size of its cells: give --pixel-size METRES"},
        {{bare, out, "--pixel-size", "5"}, 1, "bare.tif: no georeference gives its latitude: give --lat DEGREES"},
        {{m.raw(), out}, 1, "dem_m2.raw: no georeference gives its latitude: give --lat DEGREES"},
        {{bare, out, "--pixel-size", "5", "--lat", "10", "--nodata", "3.5"}, 1, "bare.tif: no cell has an elevation"},
        {{m.tif, (s.root() / "no/out.tif").string()}, 1, "no/out.tif: its folder"},
        {{m.tif, s.root().string()}, 1, ": is a folder"},
        {{m.tif, m.tif}, 1, "dem.tif: is the DEM itself"},
        {{m.tif, out, "--sun", "moon"}, 2, "--sun moon: the sun model is simple or solar"},
        {{m.tif, out, "--from", "06-01", "--to", "2026-06-30"},
         2,
         "--from 06-01, --to 2026-06-30: give both dates as YYYY-MM-DD, or both as MM-DD of the reference year 2025"},
        {{m.tif, out, "--from", "2026-07-01", "--to", "08-31"}, 2, "give both dates as YYYY-MM-DD"},
        {{m.tif, out, "--to", "1899-12-31"}, 2, "--to 1899-12-31: the period must lie within the years 1900 to 2200"},
        {{m.tif, out, "--sun", "solar", "--from", "2026-02-29", "--to", "2026-03-01"},
         2,
         "--from 2026-02-29: there is no such date in the calendar"},
        {{m.tif, out, "--sun", "solar", "--from", "2026-01-01", "--to", "2026-04-31"},
         2,
         "--to 2026-04-31: there is no such date"},
        {{m.tif, out, "--sun", "solar", "--from", "1850-01-01", "--to", "2026-04-30"},
         2,
         "--from 1850-01-01: the period must lie within the years 1900 to 2200"},
        {{m.tif, out, "--sun", "solar", "--from", "2026-06-01", "--to", "2026-05-31"},
         2,
         "--to 2026-05-31: the period ends before it starts"},
        {solar_day({"--step", "7"}), 2, "--step 7: the step must divide a day"},
        {solar_day({"--step", "0"}), 2, "--step 0: the step must divide a day"},
        {solar_day({"--step", "120"}), 2, "--step 120: the step must divide a day"},
        {solar_day({"--utc-offset", "15"}), 2,
         "--utc-offset: the UTC offset must be whole minutes within -14 to 14 hours"},
        {solar_day({"--utc-offset", "5.501"}), 2, "--utc-offset: the UTC offset must be whole minutes"},
        {solar_day({"--lon", "181"}), 2, "--lon: the longitude must be within -180 to 180 degrees"},
        {solar_day({"--height", "20000"}), 2, "--height: the place's height must be within -1000 to 10000 metres"},
        {solar_day({"--pressure", "0"}), 2, "--pressure: the pressure must be within 1 to 2000 hPa"},
        {solar_day({"--temperature", "150"}), 2, "--temperature: the temperature must be within -100 to 100"},
        {solar_day({"--linke", "0"}), 2, "--linke: the Linke turbidity factor must be within 0.5 to 20"},
        {solar_day({"--linke", "nan"}), 2, "--linke"},
        {{m.tif, out, "--sun", "simple", "--step", "5"}, 2, "--step: only the solar sun uses it, not --sun simple"},
        {{m.tif, out, "--sun", "simple", "--linke", "2"}, 2, "--linke: only the solar sun uses it"},
        {{m.tif, out, "--no-refraction", "--sun", "simple"}, 2, "--no-refraction: only the solar sun uses it"},
        {{m.tif, out, "--output", "beam", "--sun", "simple"},
         2,
         "--output beam: the beam needs the solar sun, not --sun simple"},
        {{m.tif, out, "--shadows", "cones"}, 2, "--shadows cones: the cast-shadow method is rays or exact"},
        {{m.tif, out, "--slope", "steep"}, 2, "--slope steep: the plane of a cell is horn or dialogue"},
        {{m.tif, out, "--shadows", "exact", "--curvature", "--no-curvature"},
         2,
         "--curvature, --no-curvature: give one"},
        {{bare, out, "--pixel-size", "5", "--lat", "10", "--sun", "solar", "--from", "2026-06-01", "--to",
          "2026-06-01"},
         1,
         "bare.tif: no georeference gives its longitude, which the solar sun needs: give --lon DEGREES"},
        {{m.raw(), out, "--pixel-size", "150000", "--lat", "10", "--lon", "0", "--sun", "solar", "--from", "2026-06-01",
          "--to", "2026-06-01"},
         1,
         "dem_m2.raw: its corners lie 691 km from its centre: the solar model takes the centre's sun, for at most 500 "
         "km"},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const std::string &a : c.args)
            line += a + " ";
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << line << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << line << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("terralume: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_FALSE(fs::exists(out)) << line;
    }
}

TEST(CommandLine, InfiniteElevationsHaveNoResult)
{
    // A +Inf cell is a cell without elevation, told on standard error: no
    // NaN reaches the illumination.
    Scratch s;
    const Model m(s, 6, 7, 1);
    std::vector<double> z(m.samples.begin(), m.samples.end());
    z[10] = INFINITY;
    const std::string tif = (s.root() / "inf.tif").string();
    test::make_geotiff(
        tif, {6, 7, GDT_Float32, z, std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32631, std::nullopt});
    const std::string out = (s.root() / "o.tif").string();
    const Result r = run({tif, out, "--output", "illumination", "--from", "06-21", "--to", "06-21"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("inf.tif: 1 cell holds an infinite elevation, read as without elevation"), std::string::npos)
        << r.err;
    const test::Raster ill = test::read_raster(out);
    EXPECT_EQ(ill.metadata("TERRALUME_CELLS_WITHOUT_ELEVATION"), "1");
    for (double v : ill.values)
        EXPECT_FALSE(std::isnan(v));
    EXPECT_EQ(ill.values[10], -9999);
}

TEST(CommandLine, HelpAndWarnings)
{
    Result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: terralume [OPTIONS] DEM OUTPUT"), std::string::npos);
    EXPECT_EQ(r.err, "");
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("terralume ") + cli::version() + "\n");
    EXPECT_EQ(r.err, "");
    Scratch s;
    const Model m(s, 6, 7, 1);
    r = run({m.tif, (s.root() / "o.tif").string(), "--normalization", "raw", "--from", "06-21", "--to", "06-21"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: --normalization only changes the index output"), std::string::npos);
    const std::vector<std::string> solar = {"--sun", "solar", "--from", "2026-06-21", "--to", "2026-06-21"};
    const struct {
        std::vector<std::string> args;
        std::string warning;
    } cases[] = {
        {{"--curvature", "--shadows", "rays"}, "warning: --curvature only changes --shadows exact; the rays ignore it"},
        {{"--no-curvature", "--shadows", "rays"}, "warning: --no-curvature only changes --shadows exact"},
        {{"--pixel-size", "15000"}, "warning: " + m.raw() + ": its corners lie 69 km"},
        {{"--no-refraction", "--pressure", "900"}, "warning: --pressure and --temperature only change the refraction"},
        {{"--attenuation", "30"}, "warning: --attenuation only changes the illumination, index and beam outputs"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {m.raw(), (s.root() / "w.tif").string(), "--lat", "45", "--lon", "3"};
        args.insert(args.end(), solar.begin(), solar.end());
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = run(args);
        EXPECT_EQ(r.status, 0) << c.warning << "\n" << r.err;
        EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    }
}

// A flat GeoTIFF of lines x columns cells of 30 m at `z` metres, in UTM zone
// 31 north near 45 N, 3 E, with the wall cells (line, column) at `wall`.
std::string flat_tif(const Scratch &s, const std::string &name, int32_t lines, int32_t columns, double z,
                     const std::vector<std::pair<int32_t, int32_t>> &walls = {}, double wall = 0)
{
    std::vector<double> v(static_cast<size_t>(lines) * columns, z);
    for (const auto &[i, j] : walls)
        v[static_cast<size_t>(i) * columns + j] = wall;
    const std::string path = (s.root() / name).string();
    test::make_geotiff(path, {lines, columns, GDT_Float32, v, std::array<double, 6>{500000, 30, 0, 5000000, 0, -30},
                              32631, std::nullopt});
    return path;
}

double value(const test::Raster &r, int32_t i, int32_t j) { return r.values[static_cast<size_t>(i * r.columns + j)]; }

TEST(CommandLine, SolarSunHoursOnFlatGroundAreTheDayLength)
{
    Scratch s;
    const std::string dem = flat_tif(s, "flat.tif", 6, 7, 250);
    const std::string out = (s.root() / "hours.tif").string();
    const struct {
        std::string from, to;
        int step;
    } cases[] = {
        {"2026-03-20", "2026-03-20", 10}, {"2026-06-21", "2026-06-21", 1},  {"2026-12-21", "2026-12-21", 60},
        {"2026-06-01", "2026-06-30", 10}, {"2025-12-30", "2026-01-02", 15},
    };
    for (const auto &c : cases) {
        const Result r = run({dem, out, "--sun", "solar", "--from", c.from, "--to", c.to, "--step",
                              std::to_string(c.step), "--lat", "45", "--threads", "2"});
        ASSERT_EQ(r.status, 0) << r.err;
        const test::Raster hours = test::read_raster(out);
        // The place: the DEM's centre longitude (about 3 E), its zone, its elevation.
        EXPECT_EQ(hours.metadata("TERRALUME_PLACE").substr(0, 34), "latitude 45.000000, longitude 3.00");
        EXPECT_EQ(hours.metadata("TERRALUME_TIME_ZONE"), "UTC+00:00");
        EXPECT_NE(hours.metadata("TERRALUME_PLACE").find("height 250.0 m"), std::string::npos);
        SolarSettings st;
        ASSERT_TRUE(parse_date(c.from, st.from) && parse_date(c.to, st.to));
        st.place = {45, 3, 250};
        double day_length = 0;
        int days = 0;
        namespace chr = std::chrono;
        const auto sys = [](const CivilDate &d) { return chr::sys_days{chr::year{d.year} / d.month / d.day}; };
        for (chr::sys_days d = sys(st.from); d <= sys(st.to); d += chr::days{1}, days++) {
            const chr::year_month_day ymd{d};
            const SunDayEvents e =
                sun_day_events({static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                                static_cast<int>(static_cast<unsigned>(ymd.day()))},
                               st);
            day_length += e.sunset - e.sunrise;
        }
        ASSERT_EQ(std::to_string(days), hours.metadata("TERRALUME_DAYS")) << c.from;
        // Horn's plane gives the last line and column theirs too.
        for (int32_t i = 0; i < 6; i++)
            for (int32_t j = 0; j < 7; j++)
                EXPECT_NEAR(value(hours, i, j), day_length, days * c.step / 60.0) << c.from << " " << i << j;
    }
}

TEST(CommandLine, SolarReportInTheMetadata)
{
    Scratch s;
    const std::string dem = flat_tif(s, "flat.tif", 5, 5, 0);
    const std::string out = (s.root() / "o.tif").string();
    const Result r = run({dem,
                          out,
                          "--sun",
                          "solar",
                          "--from",
                          "2026-07-01",
                          "--to",
                          "2026-07-03",
                          "--step",
                          "20",
                          "--lat",
                          "46.5",
                          "--lon",
                          "7.25",
                          "--height",
                          "1200",
                          "--utc-offset",
                          "2",
                          "--pressure",
                          "880",
                          "--temperature",
                          "5",
                          "--linke",
                          "4.5",
                          "--output",
                          "illumination,beam"});
    ASSERT_EQ(r.status, 0) << r.err;
    SolarSettings st;
    st.from = {2026, 7, 1};
    st.to = {2026, 7, 3};
    st.step_minutes = 20;
    st.utc_offset = 2;
    st.place = {46.5, 7.25, 1200};
    st.air = {880, 5, true};
    st.linke = 4.5;
    const SolarPeriod period = solar_period(st);
    for (const char *kind : {"illumination", "beam"}) {
        const test::Raster o = test::read_raster((s.root() / (std::string("o_") + kind + ".tif")).string());
        for (const auto &[name, v] : report_items(period.report)) {
            std::string key = "TERRALUME_" + name;
            for (char &ch : key)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            EXPECT_EQ(o.metadata(key.c_str()), v) << key;
        }
        EXPECT_EQ(o.metadata("TERRALUME_SUN_POSITIONS"), std::to_string(period.positions.size()));
        EXPECT_EQ(o.metadata("TERRALUME_PERIOD"), "2026-07-01 to 2026-07-03");
        EXPECT_EQ(o.metadata("TERRALUME_DAYS"), "3");
        EXPECT_EQ(o.metadata("TERRALUME_SHADOWS"), "exact, with the Earth's curvature");
    }
    // Illumination averaged over the positions: flat ground gets the mean of
    // 255.999 sin(elevation).
    double mean = 0;
    for (const SunPosition &p : period.positions)
        mean +=
            255.999 * std::sin(p.elev * 3.14159265358979323846 / 180) / static_cast<double>(period.positions.size());
    EXPECT_NEAR(value(test::read_raster((s.root() / "o_illumination.tif").string()), 1, 1), mean, 1e-3);
}

// A flat floor inside a ring of 10 km walls, which the sun never clears
// at 45 N, beside the same ground without walls: the beam is zero in the
// well, or the attenuation's share of the open ground's when it is given.
TEST(CommandLine, BeamZeroInCastShadowOrAttenuated)
{
    Scratch s;
    std::vector<std::pair<int32_t, int32_t>> ring;
    for (int32_t k = 4; k <= 12; k++)
        ring.insert(ring.end(), {{4, k}, {5, k}, {11, k}, {12, k}, {k, 4}, {k, 5}, {k, 11}, {k, 12}});
    const std::string open = flat_tif(s, "open.tif", 21, 21, 0);
    const std::string well = flat_tif(s, "well.tif", 21, 21, 0, ring, 10000);
    const std::vector<std::string> common = {"--sun",      "solar",  "--from", "2026-06-20", "--to",
                                             "2026-06-22", "--step", "15",     "--output",   "beam,sunhours"};
    auto solar_run = [&](const std::string &dem, const std::string &name, std::vector<std::string> extra) {
        std::vector<std::string> args = {dem, (s.root() / (name + ".tif")).string()};
        args.insert(args.end(), common.begin(), common.end());
        args.insert(args.end(), extra.begin(), extra.end());
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return std::make_pair(test::read_raster((s.root() / (name + "_beam.tif")).string()),
                              test::read_raster((s.root() / (name + "_sunhours.tif")).string()));
    };
    // The plane through the cell and its south and east neighbours, so that
    // the floor's cells beside the walls are flat.
    const auto [flat_beam, flat_hours] = solar_run(open, "open", {"--slope", "dialogue"});
    EXPECT_EQ(flat_beam.type, GDT_Float32);
    EXPECT_EQ(flat_beam.nodata, -9999.0);
    EXPECT_EQ(value(flat_beam, 20, 3), -9999);
    for (int32_t i = 0; i < 20; i++)
        for (int32_t j = 0; j < 20; j++) {
            EXPECT_GT(value(flat_beam, i, j), 3 * 4000) << i << " " << j; // some kWh/m2 a clear June day
            EXPECT_LT(value(flat_beam, i, j), 3 * 12000);
        }
    const double b = value(flat_beam, 7, 7);
    // Horn's plane (the default) gives the last line and column their own,
    // the same on flat ground.
    const auto [horn_beam, horn_hours] = solar_run(open, "open_horn", {});
    EXPECT_EQ(horn_beam.metadata("TERRALUME_SLOPE"), "horn: the 3 x 3 gradient centred on the cell");
    EXPECT_EQ(value(horn_beam, 20, 3), b);
    EXPECT_EQ(value(horn_hours, 20, 20), value(flat_hours, 7, 7));
    const struct {
        std::vector<std::string> options;
        double share;
        std::string recorded;
    } cases[] = {
        {{"--shadows", "rays"}, 0, "0.000000"},
        {{}, 0, "0.000000"},
        {{"--attenuation", "50", "--shadows", "rays"}, 0.5, "50.000000"},
        {{"--attenuation", "100", "--no-curvature"}, 1, "100.000000"},
        {{"--attenuation", "0", "--threads", "1", "--shadows", "rays"}, 0, "0.000000"},
    };
    int n = 0;
    for (const auto &c : cases) {
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--slope", "dialogue"});
        const auto [beam, hours] = solar_run(well, "well" + std::to_string(n++), options);
        EXPECT_EQ(beam.metadata("TERRALUME_BEAM_ATTENUATION"), c.recorded);
        // Every floor cell in shadow at every position; the rays, reading
        // cells along digital lines, may miss one at a position or two.
        const bool exact = std::find(c.options.begin(), c.options.end(), "rays") == c.options.end();
        int always_shadowed = 0;
        for (int32_t i = 6; i <= 9; i++)
            for (int32_t j = 6; j <= 9; j++)
                if (value(hours, i, j) == 0) {
                    EXPECT_NEAR(value(beam, i, j), c.share * b, 1e-6 * b) << i << " " << j;
                    always_shadowed++;
                } else {
                    EXPECT_GT(value(beam, i, j), c.share * b) << i << " " << j;
                }
        EXPECT_GE(always_shadowed, exact ? 16 : 15);
    }
}

// --shadows exact gives the engine's exact marks, with or without the
// Earth's curvature.
TEST(CommandLine, ExactShadowsAreTheEngines)
{
    Scratch s;
    std::vector<std::pair<int32_t, int32_t>> wall;
    for (int32_t i = 3; i <= 11; i++)
        wall.emplace_back(i, 8);
    wall.emplace_back(7, 9);
    const std::string dem = flat_tif(s, "wall.tif", 15, 17, 20, wall, 80);
    Grid<double> dtab(15, 17);
    for (int32_t i = 0; i < 15; i++)
        for (int32_t j = 0; j < 17; j++)
            dtab[i][j] = 20;
    for (const auto &[i, j] : wall)
        dtab[i][j] = 80;
    const struct {
        double elev, azim;
        bool curvature;
        std::string sun; // the shadow of one position under either model
    } cases[] = {{20, 105, true, "simple"},
                 {30, 250, false, "solar"},
                 {10, 200, true, "simple"},
                 {45, 80, true, "solar"},
                 {15, 330, false, "simple"}};
    for (const auto &c : cases) {
        const std::string out = (s.root() / "shadow.tif").string();
        char sun[64];
        std::snprintf(sun, sizeof sun, "%g,%g", c.elev, c.azim);
        const Result r = run({dem, out, "--output", "shadow", "--sun-position", sun, "--shadows", "exact",
                              c.curvature ? "--curvature" : "--no-curvature", "--sun", c.sun});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::unique_ptr<Engine> engine = make_engine(EngineKind::Fast);
        EngineOptions options;
        options.shadows = ShadowMethod::Exact;
        options.curvature = c.curvature;
        engine->begin(dtab, 30, options);
        const Grid<unsigned char> marks = engine->shadow_marks(c.elev, c.azim);
        const test::Raster shadow = test::read_raster(out);
        int marked = 0;
        for (int32_t i = 0; i < 14; i++)
            for (int32_t j = 0; j < 16; j++) {
                EXPECT_EQ(value(shadow, i, j), marks[i][j]) << sun << " " << i << " " << j;
                marked += marks[i][j];
            }
        EXPECT_GT(marked, 3) << sun;
        EXPECT_EQ(shadow.metadata("TERRALUME_SHADOWS"),
                  c.curvature ? "exact, with the Earth's curvature" : "exact, without the Earth's curvature");
    }
}

// The defaults: the real sun, exact shadows and Horn's plane; MM-DD dates
// (or none) of the reference year, or dates of their own.
TEST(CommandLine, DefaultsAndPeriods)
{
    const struct {
        std::vector<std::string> args;
        std::string from, to; // YYYY-MM-DD with the solar sun, day numbers with the simple one
        bool reference_year;
    } cases[] = {
        {{}, "2025-01-01", "2025-12-31", true},
        {{"--from", "06-01", "--to", "08-31"}, "2025-06-01", "2025-08-31", true},
        {{"--from", "12-01", "--to", "01-31"}, "2025-12-01", "2026-01-31", true},
        {{"--from", "7-1"}, "2025-07-01", "2025-12-31", true},
        {{"--to", "03-01"}, "2025-01-01", "2025-03-01", true},
        {{"--from", "2024-02-29"}, "2024-02-29", "2024-12-31", false},
        {{"--to", "2026-03-01"}, "2026-01-01", "2026-03-01", false},
        {{"--from", "2026-12-01", "--to", "2027-01-31"}, "2026-12-01", "2027-01-31", false},
        {{"--sun", "simple", "--from", "12-01", "--to", "01-31"}, "335", "31", false},
        {{"--sun", "simple"}, "1", "365", false},
    };
    for (const auto &c : cases) {
        std::vector<const char *> argv = {"terralume", "dem.tif", "out.tif"};
        for (const std::string &a : c.args)
            argv.push_back(a.c_str());
        std::ostringstream out;
        const std::optional<cli::Options> o = cli::parse_options(static_cast<int>(argv.size()), argv.data(), out);
        ASSERT_TRUE(o) << c.from;
        EXPECT_EQ(o->shadows, ShadowMethod::Exact);
        EXPECT_TRUE(o->curvature);
        EXPECT_EQ(o->slope, Slope::Horn);
        const bool solar = c.from.size() == 10;
        EXPECT_EQ(o->solar_sun, solar) << c.from;
        if (solar) {
            EXPECT_EQ(format_date(o->solar.from), c.from);
            EXPECT_EQ(format_date(o->solar.to), c.to);
            EXPECT_EQ(o->reference_year, c.reference_year) << c.from;
        } else {
            EXPECT_EQ(std::to_string(o->first_day), c.from);
            EXPECT_EQ(std::to_string(o->last_day), c.to);
        }
    }
    // The default run is the year 2025 spelled out, and says so; on any
    // number of threads.
    Scratch s;
    const Model m(s, 12, 14, 9);
    const std::string dflt = (s.root() / "default.tif").string();
    const std::string dated = (s.root() / "dated.tif").string();
    ASSERT_EQ(run({m.tif, dflt, "--step", "60", "--threads", "2"}).status, 0);
    ASSERT_EQ(run({m.tif, dated, "--step", "60", "--sun", "solar", "--from", "2025-01-01", "--to", "2025-12-31",
                   "--shadows", "exact", "--curvature", "--slope", "horn", "--threads", "1"})
                  .status,
              0);
    const test::Raster a = test::read_raster(dflt);
    const test::Raster b = test::read_raster(dated);
    EXPECT_EQ(a.values, b.values);
    EXPECT_EQ(a.metadata("TERRALUME_PERIOD"), "2025-01-01 to 2025-12-31");
    EXPECT_EQ(b.metadata("TERRALUME_PERIOD"), "2025-01-01 to 2025-12-31");
    EXPECT_EQ(a.metadata("TERRALUME_DAYS"), "365");
    EXPECT_EQ(a.metadata("TERRALUME_REFERENCE_YEAR"), "2025");
    EXPECT_EQ(b.metadata("TERRALUME_REFERENCE_YEAR"), "");
    EXPECT_EQ(a.metadata("TERRALUME_SHADOWS"), "exact, with the Earth's curvature");
    EXPECT_EQ(a.metadata("TERRALUME_SLOPE"), "horn: the 3 x 3 gradient centred on the cell");
}

// Each output's metadata holds what applies to its kind, and nothing else.
TEST(CommandLine, MetadataOfEachKind)
{
    Scratch s;
    const Model m(s, 10, 11, 4);
    const std::string out = (s.root() / "k.tif").string();
    const Result r = run({m.tif, out, "--output", "sunhours,illumination,index,shadow,beam,elevation", "--sun-position",
                          "20,135", "--from", "06-21", "--to", "06-21", "--step", "60"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> sun = {"PIXEL_SIZE", "LATITUDE",       "SHADOWS", "SLOPE",
                                          "PERIOD",     "REFERENCE_YEAR", "STEP"};
    const std::vector<std::string> everywhere = {"OUTPUT", "DEM", "BAND", "Z_UNIT", "CELLS_WITHOUT_ELEVATION"};
    const struct {
        const char *kind;
        std::vector<std::string> has, lacks;
    } cases[] = {
        {"sunhours", sun, {"ATTENUATION", "BEAM_ATTENUATION", "SUN_POSITION", "NORMALIZATION"}},
        {"illumination", {"ATTENUATION", "SHADOWS", "PERIOD"}, {"BEAM_ATTENUATION", "SUN_POSITION"}},
        {"index", {"ATTENUATION", "NORMALIZATION", "ACCUMULATION_RANGE", "PERIOD"}, {"BEAM_ATTENUATION"}},
        {"beam", {"BEAM_ATTENUATION", "PERIOD", "SHADOWS"}, {"ATTENUATION", "NORMALIZATION"}},
        {"shadow",
         {"SUN_POSITION", "SHADOWS", "SLOPE", "PIXEL_SIZE"},
         {"ATTENUATION", "LATITUDE", "PERIOD", "STEP", "REFERENCE_YEAR"}},
        {"elevation", {}, {"PIXEL_SIZE", "LATITUDE", "ATTENUATION", "SHADOWS", "SLOPE", "PERIOD", "SUN_POSITION"}},
    };
    for (const auto &c : cases) {
        const test::Raster k = test::read_raster((s.root() / ("k_" + std::string(c.kind) + ".tif")).string());
        for (const std::vector<std::string> *keys : {&everywhere, &c.has})
            for (const std::string &key : *keys)
                EXPECT_NE(k.metadata(("TERRALUME_" + key).c_str()), "") << c.kind << " lacks " << key;
        for (const std::string &key : c.lacks)
            EXPECT_EQ(k.metadata(("TERRALUME_" + key).c_str()), "") << c.kind << " has " << key;
    }
}

// --output elevation writes the grid computed, in metres: of any unit,
// reprojected, and read again it gives the same results.
TEST(CommandLine, ElevationIsTheGridComputed)
{
    Scratch s;
    const std::string dem = (s.root() / "feet.tif").string();
    const std::vector<double> samples = {1000, 2500.5, -9999, 14505, 0, 3, 7, 12000, 40};
    test::make_geotiff(
        dem, {3, 3, GDT_Float32, samples, std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32631, -9999.0});
    const struct {
        const char *unit;
        double metre; // of a sample
    } units[] = {{"m", 1}, {"dm", 0.1}, {"mm", 0.001}, {"ft", 0.3048}, {"us-ft", 0.3048006096012192}};
    for (const auto &u : units) {
        const std::string out = (s.root() / "z.tif").string();
        const Result r = run({dem, out, "--output", "elevation", "--z-unit", u.unit});
        ASSERT_EQ(r.status, 0) << r.err;
        const test::Raster z = test::read_raster(out);
        EXPECT_EQ(z.type, GDT_Float64);
        EXPECT_TRUE(z.nodata && std::isnan(*z.nodata));
        EXPECT_EQ(z.metadata("TERRALUME_Z_UNIT"), u.unit);
        for (size_t k = 0; k < samples.size(); k++)
            if (samples[k] == -9999) {
                EXPECT_TRUE(std::isnan(z.values[k]));
            } else {
                EXPECT_NEAR(z.values[k], samples[k] * u.metre, 1e-12 * std::fabs(samples[k])) << u.unit << " " << k;
            }
    }
    // In degrees: the UTM grid, which gives the same hours of sun as the DEM
    // it came from, at the same place.
    const std::string geo = (s.root() / "geo.tif").string();
    const std::vector<int32_t> h = tools::fractal_terrain(24, 30, 5, 300, 300, 16);
    test::make_geotiff(geo, {24, 30, GDT_Int16, std::vector<double>(h.begin(), h.end()),
                             std::array<double, 6>{-84.32, 1.0 / 1200, 0, 36.62, 0, -1.0 / 1200}, 4326, std::nullopt});
    const std::vector<std::string> day = {"--from", "06-21", "--to", "06-21", "--step",
                                          "30",     "--lat", "36.6", "--lon", "-84.3"};
    auto hours = [&](const std::string &from, const std::string &name) {
        std::vector<std::string> args = {from, (s.root() / name).string()};
        args.insert(args.end(), day.begin(), day.end());
        EXPECT_EQ(run(args).status, 0);
        return test::read_raster((s.root() / name).string());
    };
    const std::string grid = (s.root() / "grid.tif").string();
    ASSERT_EQ(run({geo, grid, "--output", "elevation"}).status, 0);
    const test::Raster g = test::read_raster(grid);
    const gis::Dem read = gis::read_dem({geo, 1, std::nullopt, 1}, 1000);
    ASSERT_EQ(g.lines, read.place.lines);
    ASSERT_EQ(g.columns, read.place.columns);
    EXPECT_EQ(g.transform, read.place.geo.transform);
    for (int32_t i = 0; i < g.lines; i++)
        for (int32_t j = 0; j < g.columns; j++)
            if (read.dtab[i][j] == kNoElevation) {
                EXPECT_TRUE(std::isnan(value(g, i, j)));
            } else {
                EXPECT_EQ(value(g, i, j), read.dtab[i][j]);
            }
    EXPECT_EQ(hours(grid, "from_grid.tif").values, hours(geo, "from_geo.tif").values);
}

} // namespace
} // namespace terralume

namespace terralume
{
namespace
{

// A DEM too large for the memory is refused from its header, before any of it
// is read: these DEMs could not even be read (their samples are missing), so
// a refusal that names the memory was made before reading.
TEST(CommandLine, MemoryIsCheckedBeforeTheDemIsRead)
{
    Scratch s;
    const std::string vrt = (s.root() / "huge.vrt").string();
    test::write_file(vrt, "<VRTDataset rasterXSize=\"60000\" rasterYSize=\"60000\">"
                          "<SRS>EPSG:32631</SRS><GeoTransform>500000, 30, 0, 5000000, 0, -30</GeoTransform>"
                          "<VRTRasterBand dataType=\"Int16\" band=\"1\"><SimpleSource>"
                          "<SourceFilename relativeToVRT=\"1\">missing.tif</SourceFilename><SourceBand>1</SourceBand>"
                          "</SimpleSource></VRTRasterBand></VRTDataset>");
    const std::string geo = (s.root() / "huge_degrees.vrt").string();
    test::write_file(geo, "<VRTDataset rasterXSize=\"60000\" rasterYSize=\"60000\">"
                          "<SRS>EPSG:4326</SRS><GeoTransform>5, 0.00001, 0, 45, 0, -0.00001</GeoTransform>"
                          "<VRTRasterBand dataType=\"Int16\" band=\"1\"><SimpleSource>"
                          "<SourceFilename relativeToVRT=\"1\">missing.tif</SourceFilename><SourceBand>1</SourceBand>"
                          "</SimpleSource></VRTRasterBand></VRTDataset>");
    test::write_file(s.root() / "big_m2.txt", "60000 60000 2 0 0 30");
    test::write_file(s.root() / "big_m2.raw", "");
    for (const std::string &dem : {vrt, geo, (s.root() / "big_m2.raw").string()}) {
        const Result r = run({"--lat", "45", dem, (s.root() / "out.tif").string()});
        EXPECT_EQ(r.status, 1) << dem;
        EXPECT_NE(r.err.find("columns needs "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("bytes of memory"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(s.root() / "out.tif"));
    }
}

} // namespace
} // namespace terralume
