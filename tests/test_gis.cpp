// Rasters through GDAL: GeoTIFFs made here, projected and geographic, with
// and without nodata, read into the engine's grid; and what is refused.
#include "gis_support.h"
#include "nodata.h"
#include "output.h"
#include "raster.h"
#include "support.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

namespace terralume
{
namespace
{

using test::make_geotiff;
using test::Scratch;
using test::TiffLayout;

// 30 m cells of UTM zone 17 north, the corner near 36.6 N, 82.2 W.
constexpr std::array<double, 6> kUtm = {400000, 30, 0, 4050000, 0, -30};

std::vector<double> ramp(int32_t n, double start, double step)
{
    std::vector<double> v(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; k++)
        v[static_cast<size_t>(k)] = start + step * k;
    return v;
}

TEST(Gis, UtmZones)
{
    const struct {
        double lat, lon;
        int zone, epsg;
    } cases[] = {{36.6, -84.3, 16, 32616}, {36.6, -84.0, 17, 32617}, {36.6, -83.99, 17, 32617},
                 {-33.9, 18.4, 34, 32734}, {0.0, 0.0, 31, 32631},    {10, -180, 1, 32601},
                 {10, 180, 60, 32660},     {-0.1, 179.9, 60, 32760}, {84, 10, 32, 32632},
                 {84.01, 10, 32, 32661},   {-80, 10, 32, 32732},     {-80.01, 10, 32, 32761}};
    for (const auto &c : cases) {
        EXPECT_EQ(gis::utm_zone(c.lon), c.zone) << c.lon;
        EXPECT_EQ(gis::utm_epsg(c.lat, c.lon), c.epsg) << c.lat << "," << c.lon;
    }
    // A corrupt transform's centre is clamped to an edge zone, never cast out of an int's range.
    EXPECT_EQ(gis::utm_zone(1e300), 60);
    EXPECT_EQ(gis::utm_zone(-1e300), 1);
    EXPECT_EQ(gis::utm_zone(std::nan("")), 1);
}

TEST(Gis, ProjectedInt16)
{
    Scratch s;
    const std::string path = (s.root() / "utm.tif").string();
    make_geotiff(path, {4, 5, GDT_Int16, ramp(20, -3, 7), kUtm, 32617, std::nullopt});
    const gis::Dem dem = gis::read_dem({path, 1, std::nullopt, 10}, 1000);
    ASSERT_EQ(dem.place.lines, 4);
    ASSERT_EQ(dem.place.columns, 5);
    EXPECT_EQ(dem.pixel_size, 30.0);
    EXPECT_EQ(dem.no_elevation, 0);
    EXPECT_TRUE(dem.reprojection.empty());
    EXPECT_EQ(dem.format, "GTiff");
    // Decimetres: the dialogue's quotient of each whole sample.
    EXPECT_EQ(dem.dtab[0][0], -3.0 / 10);
    EXPECT_EQ(dem.dtab[3][4], (-3.0 + 7 * 19) / 10);
    // 400075 E, 4049940 N in zone 17 lies at about 36.59 N, 82.12 W.
    ASSERT_TRUE(dem.latitude && dem.longitude);
    EXPECT_NEAR(*dem.latitude, 36.593, 0.01);
    EXPECT_NEAR(*dem.longitude, -82.117, 0.01);
}

TEST(Gis, Float32WithNodata)
{
    Scratch s;
    const std::string path = (s.root() / "nd.tif").string();
    std::vector<double> v = ramp(12, 100.5, 0.25);
    v[5] = -9999;
    v[7] = NAN;
    make_geotiff(path, {3, 4, GDT_Float32, v, kUtm, 32617, -9999});
    const gis::Dem dem = gis::read_dem({path, 1, std::nullopt, 1}, 1000);
    EXPECT_EQ(dem.nodata, -9999.0);
    EXPECT_EQ(dem.no_elevation, 2);
    EXPECT_EQ(dem.dtab[1][1], kNoElevation);
    EXPECT_EQ(dem.dtab[1][3], kNoElevation); // NaN is never an elevation
    EXPECT_EQ(dem.dtab[0][1], 100.75);
    // --nodata overrides the band's value.
    const gis::Dem other = gis::read_dem({path, 1, 100.5, 1}, 1000);
    EXPECT_EQ(other.no_elevation, 2);
    EXPECT_EQ(other.dtab[0][0], kNoElevation);
    EXPECT_EQ(other.dtab[1][1], -9999);
}

TEST(Gis, GeographicIsReprojectedToTheUtmZoneOfItsCentre)
{
    Scratch s;
    const std::string path = (s.root() / "geo.tif").string();
    // 40 x 50 cells of 3 arc-seconds around 36.6 N, 84.3 W, with one hole.
    std::vector<double> v(2000);
    for (size_t k = 0; k < v.size(); k++)
        v[k] = 300 + static_cast<double>(k % 50) * 2;
    v[1025] = -32768;
    make_geotiff(path, {40, 50, GDT_Int16, v, std::array<double, 6>{-84.32, 1.0 / 1200, 0, 36.62, 0, -1.0 / 1200}, 4326,
                        -32768});
    const gis::Dem dem = gis::read_dem({path, 1, std::nullopt, 1}, 10000);
    EXPECT_NE(dem.reprojection.find("EPSG:32616"), std::string::npos) << dem.reprojection;
    ASSERT_TRUE(dem.pixel_size && dem.latitude);
    EXPECT_NEAR(*dem.latitude, 36.6033, 1e-3);
    EXPECT_NEAR(*dem.pixel_size, 83, 3); // between the cell's 74 m and 93 m sides
    EXPECT_EQ(dem.place.geo.transform[1], -dem.place.geo.transform[5]);
    EXPECT_NE(dem.place.geo.wkt.find("UTM zone 16N"), std::string::npos);
    EXPECT_EQ(dem.source.lines, 40);
    EXPECT_EQ(dem.source.columns, 50);
    // The corners outside the input and the hole have no elevation; the
    // rest is the ramp, bilinear.
    EXPECT_GT(dem.no_elevation, 0);
    int64_t inside = 0;
    for (int32_t i = 0; i < dem.place.lines; i++)
        for (int32_t j = 0; j < dem.place.columns; j++)
            if (dem.dtab[i][j] != kNoElevation) {
                EXPECT_GE(dem.dtab[i][j], 300 - 1e-9);
                EXPECT_LE(dem.dtab[i][j], 398 + 1e-9);
                inside++;
            }
    EXPECT_GT(inside, dem.place.lines * dem.place.columns / 2);
}

// A GeoTIFF of one band made with creation options and a coordinate system
// given as text.
void make_tiff(const std::string &path, int32_t lines, int32_t columns, GDALDataType type,
               const std::vector<double> &values, const std::array<double, 6> &t, const std::string &srs,
               std::optional<double> nodata, std::vector<const char *> options = {})
{
    gis::start_gdal();
    options.push_back(nullptr);
    GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), columns, lines, 1, type, const_cast<char **>(options.data())));
    ASSERT_TRUE(ds);
    std::array<double, 6> transform = t;
    ds->SetGeoTransform(transform.data());
    OGRSpatialReference ref;
    ASSERT_EQ(ref.SetFromUserInput(srs.c_str()), OGRERR_NONE) << srs;
    ds->SetSpatialRef(&ref);
    if (nodata)
        ds->GetRasterBand(1)->SetNoDataValue(*nodata);
    std::vector<double> v = values;
    ASSERT_EQ(
        ds->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, columns, lines, v.data(), columns, lines, GDT_Float64, 0, 0),
        CE_None);
}

TEST(Gis, SamplesAreReadAsGdalMeansThem)
{
    // Signed bytes, a Float32 nodata written with six digits (the float
    // -3.40282e+38, not -FLT_MAX), and infinities, which no elevation is.
    Scratch s;
    const std::string dir = s.root().string() + "/";
    const double low = static_cast<float>(-3.40282e+38);
    const double inf = INFINITY;
    const struct {
        const char *name;
        GDALDataType type;
        std::vector<double> samples; // written as the band's type
        std::optional<double> nodata;
        std::vector<const char *> options;
        std::vector<double> metres; // read; kNoElevation where none
        int64_t without;
        bool warned;
    } cases[] = {
        // Signed bytes are stored as their two's complement: 128 is -128.
        {"signed bytes",
         GDT_Byte,
         {128, 255, 0, 127},
         std::nullopt,
         {"PIXELTYPE=SIGNEDBYTE"},
         {-128, -1, 0, 127},
         0,
         false},
        {"signed bytes with nodata",
         GDT_Byte,
         {251, 255, 3, 100},
         -1.0,
         {"PIXELTYPE=SIGNEDBYTE"},
         {-5, kNoElevation, 3, 100},
         1,
         false},
        {"unsigned bytes", GDT_Byte, {200, 1, 2, 255}, std::nullopt, {}, {200, 1, 2, 255}, 0, false},
        {"Float32 nodata near FLT_MAX",
         GDT_Float32,
         {low, 10.5, low, 7},
         -3.40282e+38,
         {},
         {kNoElevation, 10.5, kNoElevation, 7},
         2,
         false},
        {"infinities", GDT_Float32, {inf, -inf, 4, 5}, std::nullopt, {}, {kNoElevation, kNoElevation, 4, 5}, 2, true},
    };
    for (const auto &c : cases) {
        const std::string path = dir + "case.tif";
        make_tiff(path, 2, 2, c.type, c.samples, kUtm, "EPSG:32617", c.nodata, c.options);
        const gis::Dem dem = gis::read_dem({path, 1, std::nullopt, 1}, 100);
        for (int32_t k = 0; k < 4; k++)
            EXPECT_EQ(dem.dtab[k / 2][k % 2], c.metres[static_cast<size_t>(k)]) << c.name << " " << k;
        EXPECT_EQ(dem.no_elevation, c.without) << c.name;
        EXPECT_EQ(dem.warning.find("2 cells hold an infinite elevation") != std::string::npos, c.warned)
            << c.name << ": " << dem.warning;
        std::filesystem::remove(path);
    }
}

TEST(Gis, GeometryBeyondUtmAndOffTheEarth)
{
    Scratch s;
    const std::string dir = s.root().string() + "/";
    const std::vector<double> flat(100, 50);
    // 10 x 10 cells of 0.01 degree near the pole: UPS North.
    make_tiff(dir + "polar.tif", 10, 10, GDT_Int16, flat, {20, 0.01, 0, 86.1, 0, -0.01}, "EPSG:4326", std::nullopt);
    const gis::Dem polar = gis::read_dem({dir + "polar.tif", 1, std::nullopt, 1}, 10000);
    EXPECT_NE(polar.reprojection.find("UPS North (EPSG:32661)"), std::string::npos) << polar.reprojection;
    make_tiff(dir + "south.tif", 10, 10, GDT_Int16, flat, {20, 0.01, 0, -85, 0, -0.01}, "EPSG:4326", std::nullopt);
    EXPECT_NE(gis::read_dem({dir + "south.tif", 1, std::nullopt, 1}, 10000).reprojection.find("EPSG:32761"),
              std::string::npos);
    // The whole world in one UTM zone: cells that would not be square.
    make_tiff(dir + "world.tif", 10, 20, GDT_Int16, std::vector<double>(200, 50), {-180, 18, 0, 90, 0, -18},
              "EPSG:4326", std::nullopt);
    try {
        gis::read_dem({dir + "world.tif", 1, std::nullopt, 1}, 100000);
        ADD_FAILURE() << "the whole world was read";
    } catch (const gis::GisError &e) {
        EXPECT_NE(std::string(e.what()).find("world.tif: reprojected to EPSG:"), std::string::npos) << e.what();
    }
    // Degrees of Mars: read as they are with --lat and --pixel-size, refused
    // without them.
    const std::string mars = "GEOGCS[\"Mars 2000\",DATUM[\"D_Mars_2000\",SPHEROID[\"Mars_2000_IAU_IAG\","
                             "3396190,169.894447223612]],PRIMEM[\"Reference_Meridian\",0],UNIT[\"degree\","
                             "0.0174532925199433]]";
    make_tiff(dir + "mars.tif", 10, 10, GDT_Int16, flat, {20, 0.01, 0, 10, 0, -0.01}, mars, std::nullopt);
    const gis::Dem placed = gis::read_dem({dir + "mars.tif", 1, std::nullopt, 1, 1, false, true}, 10000);
    EXPECT_EQ(placed.place.lines, 10);
    EXPECT_TRUE(placed.reprojection.empty());
    EXPECT_NE(placed.warning.find("mars.tif: its coordinate system is not placed on the Earth"), std::string::npos)
        << placed.warning;
    try {
        gis::read_dem({dir + "mars.tif", 1, std::nullopt, 1}, 10000);
        ADD_FAILURE() << "Mars was reprojected";
    } catch (const gis::GisError &e) {
        EXPECT_NE(std::string(e.what()).find("with --lat and --pixel-size"), std::string::npos) << e.what();
    }
}

TEST(Gis, WithoutGeoreferenceNothingIsGuessed)
{
    Scratch s;
    const std::string path = (s.root() / "bare.tif").string();
    make_geotiff(path, {2, 3, GDT_Float32, ramp(6, 1, 1), std::nullopt, 0, std::nullopt});
    const gis::Dem dem = gis::read_dem({path, 1, std::nullopt, 1}, 1000);
    EXPECT_FALSE(dem.pixel_size);
    EXPECT_FALSE(dem.latitude);
    EXPECT_FALSE(dem.place.geo.has_transform);
}

TEST(Gis, Refusals)
{
    Scratch s;
    const std::string dir = s.root().string() + "/";
    make_geotiff(dir + "oblong.tif",
                 {3, 3, GDT_Int16, ramp(9, 0, 1), std::array<double, 6>{0, 30, 0, 0, 0, -20}, 32617, std::nullopt});
    make_geotiff(dir + "rotated.tif",
                 {3, 3, GDT_Int16, ramp(9, 0, 1), std::array<double, 6>{0, 30, 5, 0, 5, -30}, 32617, std::nullopt});
    make_geotiff(dir + "southup.tif",
                 {3, 3, GDT_Int16, ramp(9, 0, 1), std::array<double, 6>{0, 30, 0, 0, 0, 30}, 32617, std::nullopt});
    make_geotiff(dir + "big.tif", {3, 20, GDT_Int16, ramp(60, 0, 1), kUtm, 32617, std::nullopt});
    test::write_file(dir + "text.tif", "not a raster");
    make_geotiff(dir + "nan.tif",
                 {3, 3, GDT_Int16, ramp(9, 0, 1), std::array<double, 6>{0, NAN, 0, 0, 0, -30}, 32617, std::nullopt});
    const struct {
        std::string file;
        int band;
        std::string message;
    } cases[] = {
        {"oblong.tif", 1,
         "oblong.tif: its cells are not square (30 by 20 m); make them square with gdalwarp -r "
         "bilinear -tr 20 20 '" +
             dir + "oblong.tif' '" + dir + "oblong_square.tif'"},
        {"rotated.tif", 1, "rotated.tif: the grid is rotated or not north up"},
        {"southup.tif", 1, "southup.tif: the grid is rotated or not north up"},
        {"big.tif", 1, "big.tif: the grid of 3 lines and 20 columns is too large: no side may pass 10 cells"},
        {"big.tif", 2, "big.tif: --band 2: the raster has 1 band"},
        {"missing.tif", 1, "missing.tif: no such file"},
        {"text.tif", 1, "text.tif: "},
        {"nan.tif", 1, "nan.tif: its georeference holds numbers that are not finite"},
        {"none_m2.raw", 1, "none_m2.raw: cannot be read (No such file or directory)"},
    };
    for (const auto &c : cases) {
        try {
            gis::read_dem({dir + c.file, c.band, std::nullopt, 1}, 10);
            ADD_FAILURE() << c.file << " was read";
        } catch (const gis::GisError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
        }
    }
}

TEST(Gis, OutputFormats)
{
    const struct {
        std::string path, of;
        std::vector<std::string> co;
        std::string driver;
        std::vector<std::string> options; // or the error
    } cases[] = {
        {"a.tif", "", {}, "GTiff", {"COMPRESS=DEFLATE", "TILED=YES"}},
        {"a", "", {}, "GTiff", {"COMPRESS=DEFLATE", "TILED=YES"}},
        {"a.TIFF", "", {"compress=LZW"}, "GTiff", {"TILED=YES", "compress=LZW"}},
        {"a.png", "", {}, "PNG", {}},
        {"a.img", "", {}, "HFA", {}},
        {"a.dat", "ENVI", {}, "ENVI", {}},
        {"a.xyz1", "", {}, "", {"a.xyz1: no raster format GDAL writes ends in .xyz1; name one with -of"}},
        {"a.tif", "NoSuch", {}, "", {"-of NoSuch: GDAL has no raster format of that name"}},
        {"a.tif", "", {"TILED"}, "", {"-co TILED: a creation option is NAME=VALUE"}},
    };
    for (const auto &c : cases) {
        try {
            const gis::Format f = gis::output_format(c.path, c.of, c.co);
            EXPECT_EQ(f.driver, c.driver) << c.path;
            EXPECT_EQ(f.creation_options, c.options) << c.path;
        } catch (const gis::GisError &e) {
            EXPECT_TRUE(c.driver.empty()) << c.path << ": " << e.what();
            EXPECT_EQ(e.what(), c.options.at(0));
        }
    }
}

// A grid of 40 x 40 cells of `cell` units centred on (x, y).
gis::GridPlace centred(int epsg, double x, double y, double cell)
{
    gis::start_gdal();
    OGRSpatialReference srs;
    srs.importFromEPSG(epsg);
    char *wkt = nullptr;
    srs.exportToWkt(&wkt);
    gis::GridPlace p;
    p.lines = p.columns = 40;
    p.geo.has_transform = true;
    p.geo.transform = {x - 20 * cell, cell, 0, y + 20 * cell, 0, -cell};
    p.geo.wkt = wkt;
    CPLFree(wkt);
    return p;
}

// The scale of each projection at a grid's centre, against that of the
// ellipsoid's formulas (Web Mercator's x and y are a sphere's, so that its
// meridian scale is not 1 even at the equator); a DEM whose scale is off by
// more than 0.5 % is reprojected, at its ground size: the nominal 3710.65 m
// cell of Web Mercator at 49 N is about 2434 m.
TEST(Gis, ProjectionsFarFromTheirScaleAreReprojected)
{
    Scratch s;
    const struct {
        const char *what;
        int epsg;
        double x, y, cell;
        double parallel, meridian;
        std::string note; // why it is reprojected, empty when it is not
        double side;      // of the cells read [m]
    } cases[] = {
        {"Web Mercator at 49 N", 3857, 700000, 6274861.39, 3710.65, 1.521344, 1.525757,
         "is in WGS 84 / Pseudo-Mercator, whose scale at its centre is 1.521 along the parallel and 1.526 along the "
         "meridian",
         2434},
        {"Web Mercator at the equator", 3857, 700000, 0, 3710.65, 1.0, 1.006739, "1.000 along the parallel", 3698},
        // Cells of 1972 m by 2997 m on the ground: squares of GDAL's choice between.
        {"equidistant cylindrical at 49 N", 4087, 700000, 5454655.05, 3000, 1.521344, 1.000987,
         "is in WGS 84 / World Equidistant Cylindrical, whose scale at its centre is 1.521 along the parallel and "
         "1.001 along the meridian",
         2537},
        {"UTM 31 N on its central meridian", 32631, 500000, 4982950.4, 30, 0.9996, 0.9996, "", 30},
        {"UTM 31 N 300 km east", 32631, 800000, 4982950.4, 30, 1.000707, 1.000707, "", 30},
        {"North Carolina, US survey feet", 2264, 1404774.53, 642898.9, 100, 0.99988, 0.99988, "", 100 * 1200 / 3937.0},
        {"Lambert 93 at 46.5 N", 2154, 700000, 6600000, 25, 0.999051, 0.999051, "", 25},
    };
    for (const auto &c : cases) {
        const gis::GridPlace p = centred(c.epsg, c.x, c.y, c.cell);
        const std::optional<gis::PointScale> scale = gis::scale_at_centre(p);
        ASSERT_TRUE(scale) << c.what;
        EXPECT_NEAR(scale->parallel, c.parallel, 2e-5) << c.what;
        EXPECT_NEAR(scale->meridian, c.meridian, 2e-5) << c.what;
        const std::string path = (s.root() / "dem.tif").string();
        make_geotiff(path, {40, 40, GDT_Float32, ramp(1600, 100, 1), p.geo.transform, c.epsg, std::nullopt});
        const gis::Dem dem = gis::read_dem({path, 1, std::nullopt, 1}, 1000);
        EXPECT_NE(dem.reprojected.find(c.note), std::string::npos) << c.what << ": " << dem.reprojected;
        EXPECT_EQ(dem.reprojected.empty(), c.note.empty()) << c.what;
        EXPECT_EQ(dem.reprojection.substr(0, 9), c.note.empty() ? "" : "UTM zone ") << c.what;
        ASSERT_TRUE(dem.pixel_size) << c.what;
        EXPECT_NEAR(*dem.pixel_size, c.side, c.side * 4e-3) << c.what;
    }
    gis::GridPlace bare = centred(32631, 500000, 4982950.4, 30);
    bare.geo.wkt.clear();
    EXPECT_FALSE(gis::scale_at_centre(bare));
}

// Cells square to 1e-6 of their side are read; others are refused with the
// command that makes them square: a new georeference when that moves no cell
// centre by half a cell, else a resampling.
TEST(Gis, SquareCells)
{
    Scratch s;
    const std::string dir = s.root().string() + "/";
    const struct {
        int32_t lines, columns;
        double dx, dy;
        std::string message; // empty: read
    } cases[] = {
        {10, 10, 30, 30 * (1 + 3.3e-9), ""},
        {10, 10, 30, 30 * (1 + 9e-7), ""},
        {10, 10, 30, 30.0003,
         "its cells are not square (30 by 30.0003 m); make them square with gdal_translate -a_ullr 400000 4050000 "
         "400300.0015 4049699.9985 '" +
             dir + "d.tif' '" + dir + "d_square.tif'"},
        {10, 10, 30, 30.3, "make them square with gdal_translate -a_ullr 400000 4050000 400301.5 4049698.5 '"},
        {1, 1000, 30, 30.02, "make them square with gdal_translate -a_ullr "},
        // Stretched more than a projection may be, or by half a cell.
        {10, 10, 30, 30.4, "make them square with gdalwarp -r bilinear -tr 30 30 '"},
        {1, 1000, 30, 30.04, "make them square with gdalwarp -r bilinear -tr 30 30 '"},
        {10, 10, 30, 20,
         "its cells are not square (30 by 20 m); make them square with gdalwarp -r bilinear -tr 20 20 '"},
    };
    for (const auto &c : cases) {
        make_geotiff(dir + "d.tif", {c.lines, c.columns, GDT_Int16, ramp(c.lines * c.columns, 0, 1),
                                     std::array<double, 6>{400000, c.dx, 0, 4050000, 0, -c.dy}, 32617, std::nullopt});
        try {
            const gis::Dem dem = gis::read_dem({dir + "d.tif", 1, std::nullopt, 1}, 1000);
            EXPECT_EQ(c.message, "") << c.dy;
            EXPECT_EQ(dem.pixel_size, c.dx);
        } catch (const gis::GisError &e) {
            EXPECT_NE(c.message, "") << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// The cells the warp back left without a value take the nearest one's.
TEST(Gis, FillFromTheNearest)
{
    const double X = -9999;
    const double N = NAN;
    const struct {
        const char *what;
        int32_t lines, columns;
        std::vector<double> values;
        std::vector<unsigned char> cells;
        double nodata;
        std::vector<double> filled;
    } cases[] = {
        {"a hole takes its northern neighbour",
         3,
         3,
         {1, 2, 3, 4, X, 6, 7, 8, 9},
         {1, 1, 1, 1, 1, 1, 1, 1, 1},
         X,
         {1, 2, 3, 4, 2, 6, 7, 8, 9}},
        {"a border, ring by ring", 1, 5, {X, X, 5, X, X}, {1, 1, 1, 1, 1}, X, {5, 5, 5, 5, 5}},
        {"the nearest across cells without elevation", 1, 5, {7, X, X, X, 3}, {1, 0, 0, 1, 1}, X, {7, X, X, 3, 3}},
        {"values outside the cells are dropped", 2, 2, {1, 2, 3, 4}, {1, 0, 0, 1}, X, {1, X, X, 4}},
        {"NaN is nodata", 2, 2, {N, 2, N, N}, {1, 1, 1, 0}, N, {2, 2, 2, N}},
        {"a diagonal too", 2, 2, {X, X, X, 5}, {1, 1, 1, 1}, X, {5, 5, 5, 5}},
        {"the sides before the diagonals", 2, 3, {1, X, X, X, X, 2}, {1, 1, 1, 1, 1, 1}, X, {1, 1, 2, 1, 2, 2}},
        {"no value anywhere", 1, 3, {X, X, X}, {1, 1, 0}, X, {X, X, X}},
    };
    for (const auto &c : cases) {
        Grid<unsigned char> cells(c.lines, c.columns);
        for (int32_t i = 0; i < c.lines; i++)
            for (int32_t j = 0; j < c.columns; j++)
                cells[i][j] = c.cells[static_cast<size_t>(i * c.columns + j)];
        std::vector<double> v = c.values;
        gis::fill_from_nearest(v, cells, c.nodata);
        for (size_t k = 0; k < v.size(); k++)
            if (std::isnan(c.filled[k])) {
                EXPECT_TRUE(std::isnan(v[k])) << c.what << " " << k;
            } else {
                EXPECT_EQ(v[k], c.filled[k]) << c.what << " " << k;
            }
    }
}

// The bundled GeoTIFF is the raw model, placed where it lies.
TEST(Gis, ExampleGeoTiffIsTheRawModel)
{
    const gis::Dem raw = gis::read_dem({TL_EXAMPLES "/images/jacksboro/jacksboro_m2.raw", 1, std::nullopt, 1}, 10000);
    gis::start_gdal();
    GDALDatasetUniquePtr ds(GDALDataset::Open(TL_EXAMPLES "/jacksboro.tif", GDAL_OF_RASTER));
    ASSERT_TRUE(ds);
    ASSERT_EQ(ds->GetRasterXSize(), 403);
    ASSERT_EQ(ds->GetRasterYSize(), 344);
    double t[6];
    ASSERT_EQ(ds->GetGeoTransform(t), CE_None);
    EXPECT_EQ(t[0], -84.414);
    EXPECT_EQ(t[3], 36.733);
    EXPECT_EQ(t[1], 3.0 / 3600);
    EXPECT_EQ(t[5], -3.0 / 3600);
    EXPECT_STREQ(ds->GetSpatialRef()->GetAuthorityCode(nullptr), "4326");
    std::vector<double> v(403);
    for (int32_t i = 0; i < 344; i++) {
        ASSERT_EQ(ds->GetRasterBand(1)->RasterIO(GF_Read, 0, i, 403, 1, v.data(), 403, 1, GDT_Float64, 0, 0), CE_None);
        for (int32_t j = 0; j < 403; j++)
            ASSERT_EQ(v[static_cast<size_t>(j)], raw.dtab[i][j]) << i << "," << j;
    }
}

} // namespace
} // namespace terralume
