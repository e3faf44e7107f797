// GeoTIFFs made through GDAL for the tests, and reading rasters back.
#ifndef TERRALUME_TESTS_GIS_SUPPORT_H
#define TERRALUME_TESTS_GIS_SUPPORT_H

#include "raster.h"

#include <array>
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>
#include <optional>
#include <string>
#include <vector>

namespace terralume::test
{

struct TiffLayout {
    int32_t lines = 0;
    int32_t columns = 0;
    GDALDataType type = GDT_Int16;
    std::vector<double> values; // row-major
    std::optional<std::array<double, 6>> transform;
    int epsg = 0; // 0: no coordinate system
    std::optional<double> nodata;
    int bands = 1;
};

inline void make_geotiff(const std::string &path, const TiffLayout &s)
{
    gis::start_gdal();
    GDALDriver *d = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDatasetUniquePtr ds(d->Create(path.c_str(), s.columns, s.lines, s.bands, s.type, nullptr));
    ASSERT_TRUE(ds) << path;
    if (s.transform) {
        std::array<double, 6> t = *s.transform;
        ds->SetGeoTransform(t.data());
    }
    if (s.epsg != 0) {
        OGRSpatialReference srs;
        srs.importFromEPSG(s.epsg);
        ds->SetSpatialRef(&srs);
    }
    for (int b = 1; b <= s.bands; b++) {
        GDALRasterBand *band = ds->GetRasterBand(b);
        if (s.nodata)
            band->SetNoDataValue(*s.nodata);
        std::vector<double> v = s.values;
        ASSERT_EQ(band->RasterIO(GF_Write, 0, 0, s.columns, s.lines, v.data(), s.columns, s.lines, GDT_Float64, 0, 0),
                  CE_None);
    }
}

// A raster read back: its samples as doubles, row-major, and where it lies.
struct Raster {
    int32_t lines = 0;
    int32_t columns = 0;
    std::vector<double> values;
    std::array<double, 6> transform{};
    std::string wkt;
    std::optional<double> nodata;
    GDALDataType type = GDT_Unknown;
    std::string metadata(const char *key) const
    {
        for (const auto &[k, v] : items)
            if (k == key)
                return v;
        return "";
    }
    std::vector<std::pair<std::string, std::string>> items;
};

inline Raster read_raster(const std::string &path)
{
    gis::start_gdal();
    Raster r;
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    EXPECT_TRUE(ds) << path;
    if (!ds)
        return r;
    r.lines = ds->GetRasterYSize();
    r.columns = ds->GetRasterXSize();
    ds->GetGeoTransform(r.transform.data());
    r.wkt = ds->GetProjectionRef();
    GDALRasterBand *b = ds->GetRasterBand(1);
    r.type = b->GetRasterDataType();
    int has = 0;
    const double nd = b->GetNoDataValue(&has);
    if (has)
        r.nodata = nd;
    r.values.resize(static_cast<size_t>(r.lines) * r.columns);
    EXPECT_EQ(b->RasterIO(GF_Read, 0, 0, r.columns, r.lines, r.values.data(), r.columns, r.lines, GDT_Float64, 0, 0),
              CE_None);
    if (char **md = ds->GetMetadata())
        for (char **p = md; *p != nullptr; p++) {
            const std::string item = *p;
            const size_t eq = item.find('=');
            r.items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
    return r;
}

} // namespace terralume::test

#endif
