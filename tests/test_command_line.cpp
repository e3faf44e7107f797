// terralume with arguments, run in-process: the dialogue's bytes for the
// index output, GeoTIFFs in and out, nodata, and every refusal.
#include "command_line.h"
#include "gis_support.h"
#include "support.h"
#include "terrain.h"

#include <gtest/gtest.h>
#include <sstream>

namespace terralume
{
namespace
{

using test::read_file;
using test::Scratch;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result run(std::vector<std::string> args)
{
    args.insert(args.begin(), "terralume");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = cli::run_command_line(static_cast<int>(argv.size()), argv.data(), out, err, false);
    return {status, out.str(), err.str()};
}

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
            const Result r = run({dem, out, "--output", "index", "--lat", "45.5", "--attenuation", c.attenuation,
                                  "--normalization", c.normalization, "--from", c.from, "--to", c.to});
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
    const Result r = run({m.tif, out, "--output", "sunhours,illumination,shadow", "--sun-position", "20,135", "--from",
                          "12-01", "--to", "01-31", "--threads", "1"});
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
    ASSERT_EQ(run({m.tif, again, "--from", "12-01", "--to", "01-31", "--threads", "2"}).status, 0);
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
    const Result r = run({dem, out, "--output", "shadow", "--sun-position", "45,270"});
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
    ASSERT_EQ(run({dem, index, "--output", "index", "--from", "06-21", "--to", "06-21"}).status, 0);
    const test::Raster idx = test::read_raster(index);
    for (size_t k : {size_t{10}, size_t{22}})
        EXPECT_EQ(idx.values[k], 255) << k;
    EXPECT_LT(idx.values[0 * 9 + 8], 255); // an edge cell has a value, as in the dialogue
}

TEST(CommandLine, GeographicInputAndKeepGrid)
{
    Scratch s;
    const std::string dem = (s.root() / "geo.tif").string();
    const std::array<double, 6> t = {-84.32, 1.0 / 1200, 0, 36.62, 0, -1.0 / 1200};
    const std::vector<int32_t> h = tools::fractal_terrain(30, 36, 5, 300, 300, 16);
    test::make_geotiff(dem, {30, 36, GDT_Int16, std::vector<double>(h.begin(), h.end()), t, 4326, std::nullopt});
    const std::string utm = (s.root() / "utm.tif").string();
    Result r = run({dem, utm, "--from", "06-01", "--to", "06-30"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("is in degrees: reprojected to UTM zone 16N (EPSG:32616)"), std::string::npos) << r.err;
    EXPECT_NE(test::read_raster(utm).wkt.find("UTM zone 16N"), std::string::npos);
    const std::string back = (s.root() / "back.tif").string();
    r = run({dem, back, "--keep-grid", "--output", "index", "--from", "06-01", "--to", "06-30", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const test::Raster b = test::read_raster(back);
    EXPECT_EQ(b.lines, 30);
    EXPECT_EQ(b.columns, 36);
    EXPECT_EQ(b.transform, t);
    EXPECT_NE(b.wkt.find("WGS 84"), std::string::npos);
}

TEST(CommandLine, Refusals)
{
    Scratch s;
    const Model m(s, 6, 7, 1);
    const std::string bare = (s.root() / "bare.tif").string();
    test::make_geotiff(bare, {5, 5, GDT_Float32, std::vector<double>(25, 3.5), std::nullopt, 0, std::nullopt});
    const std::string out = (s.root() / "out.tif").string();
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
        {{m.tif, out, "--to", "02-29"}, 2, "--to 02-29: the sun model's year has no 29 February"},
        {{m.tif, out, "--to", "13-01"}, 2, "--to 13-01: there is no month 13"},
        {{m.tif, out, "--from", "June 1"}, 2, "--from June 1: a date is MM-DD"},
        {{m.tif, out, "--pixel-size", "0"}, 2, "--pixel-size: the side of a cell must be positive"},
        {{m.tif, out, "--pixel-size", "-30"}, 2, "--pixel-size: the side of a cell must be positive"},
        {{m.tif, out, "--attenuation", "-1"}, 2, "--attenuation: a share of light cannot be below 0 per cent"},
        {{m.tif, out, "--z-unit", "ft"}, 2, "--z-unit ft: the unit is m, dm, cm or mm"},
        {{m.tif, out, "--normalization", "log"}, 2, "--normalization log: the normalization is raw, percent or grey"},
        {{m.tif, out, "--output", "slope"}, 2, "--output slope: the outputs are index, illumination, sunhours and"},
        {{m.tif, out, "--output", "index,index"}, 2, "--output: index is named twice"},
        {{m.tif, out, "--output", "shadow"}, 2, "--output shadow: needs --sun-position ELEV,AZIM"},
        {{m.tif, out, "--sun-position", "30,100"}, 2, "--sun-position: only the shadow output uses it"},
        {{m.tif, out, "--output", "shadow", "--sun-position", "0,100"}, 2, "the sun's elevation must be above 0"},
        {{m.tif, out, "--output", "shadow", "--sun-position", "30,361"}, 2, "the azimuth lies between 0 and 360"},
        {{m.tif, out, "--output", "shadow", "--sun-position", "30"}, 2, "--sun-position 30: give ELEV,AZIM"},
        {{m.tif, out, "--band", "0"}, 2, "--band 0: bands are numbered from 1"},
        {{m.tif, out, "--threads", "0"}, 2, "--threads: the number of threads must be positive"},
        {{m.tif, out, "--colour"}, 2, "--colour"},
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

TEST(CommandLine, HelpAndWarnings)
{
    Result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: terralume [OPTIONS] DEM OUTPUT"), std::string::npos);
    EXPECT_EQ(r.err, "");
    Scratch s;
    const Model m(s, 6, 7, 1);
    r = run({m.tif, (s.root() / "o.tif").string(), "--normalization", "raw", "--from", "06-21", "--to", "06-21"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: --normalization only changes the index output"), std::string::npos);
}

} // namespace
} // namespace terralume
