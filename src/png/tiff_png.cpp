#include "raster.h"
#include "result_png.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gdal_priv.h>
#include <memory>
#include <vector>

namespace terralume
{

namespace
{

struct MemoryCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

bool is_tiff_name(const std::string &path)
{
    const std::string p = lower(path);
    for (const std::string ext : {".tif", ".tiff"})
        if (p.size() > ext.size() && p.compare(p.size() - ext.size(), ext.size(), ext) == 0 &&
            p[p.size() - ext.size() - 1] != '/')
            return true;
    return false;
}

std::string png_beside_tiff(const std::string &tiff_path)
{
    return tiff_path.substr(0, tiff_path.find_last_of('.')) + ".png";
}

ResultSize tiff_to_png(const std::string &tiff_path, const std::string &png_path)
{
    gis::start_gdal();
    std::error_code ec;
    if (!std::filesystem::exists(tiff_path, ec))
        throw PngError("no image " + tiff_path);
    CPLErrorReset();
    GDALDatasetUniquePtr ds(GDALDataset::Open(tiff_path.c_str(), GDAL_OF_RASTER | GDAL_OF_VERBOSE_ERROR));
    if (!ds)
        throw PngError("cannot read the image " + tiff_path + " (" + CPLGetLastErrorMsg() + ")");
    if (ds->GetRasterCount() != 1)
        throw PngError("the image " + tiff_path + " holds " + std::to_string(ds->GetRasterCount()) +
                       " bands; a single band is turned into a PNG");
    if (std::filesystem::equivalent(png_path, tiff_path, ec))
        throw PngError("the PNG " + png_path + " would overwrite its own input");
    const ResultSize size{ds->GetRasterYSize(), ds->GetRasterXSize()};
    GDALRasterBand *band = ds->GetRasterBand(1);
    const size_t cells = static_cast<size_t>(size.lines) * static_cast<size_t>(size.columns);
    std::vector<double> v(cells);
    if (band->RasterIO(GF_Read, 0, 0, size.columns, size.lines, v.data(), size.columns, size.lines, GDT_Float64, 0,
                       0) != CE_None)
        throw PngError("cannot read the image " + tiff_path + " (" + CPLGetLastErrorMsg() + ")");

    std::vector<unsigned char> grey(cells, 0);
    if (band->GetRasterDataType() == GDT_Byte) {
        std::transform(v.begin(), v.end(), grey.begin(), [](double x) { return static_cast<unsigned char>(x); });
    } else {
        int has = 0;
        const double nodata = band->GetNoDataValue(&has);
        const auto valued = [&](double x) { return !std::isnan(x) && !(has && x == nodata); };
        double lo = INFINITY, hi = -INFINITY;
        for (double x : v)
            if (valued(x)) {
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
        for (size_t k = 0; k < cells; k++)
            if (valued(v[k]) && hi > lo)
                grey[k] = static_cast<unsigned char>(std::floor((v[k] - lo) / (hi - lo) * 255 + 0.5));
    }
    const std::unique_ptr<FILE, MemoryCloser> in(fmemopen(grey.data(), grey.size(), "rb"));
    if (!in)
        throw PngError("not enough memory for " + tiff_path);
    write_png(in.get(), size, tiff_path, png_path);
    return size;
}

} // namespace terralume
