#include "memory.h"
#include "raster.h"
#include "result_png.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gdal_priv.h>
#include <limits>
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

Greys tiff_greys(const std::vector<double> &values, bool bytes, std::optional<double> nodata)
{
    Greys g;
    g.grey.assign(values.size(), 0);
    g.valued.assign(values.size(), 0);
    double lo = INFINITY, hi = -INFINITY;
    bool mask = true;
    for (size_t k = 0; k < values.size(); k++) {
        const double x = values[k];
        if (std::isnan(x) || (nodata && x == *nodata)) {
            g.any_without = true;
            continue;
        }
        g.valued[k] = 1;
        mask = mask && (x == 0 || x == 1);
        if (std::isfinite(x)) {
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
    }
    for (size_t k = 0; k < values.size(); k++) {
        const double x = values[k];
        if (!g.valued[k])
            continue;
        if (bytes)
            g.grey[k] = static_cast<unsigned char>(mask ? x * 255 : x);
        else if (std::isinf(x))
            g.grey[k] = x > 0 ? 255 : 0;
        else if (hi > lo)
            // Halves, so that no difference of two values overflows.
            g.grey[k] = static_cast<unsigned char>(std::floor((x / 2 - lo / 2) / (hi / 2 - lo / 2) * 255 + 0.5));
        else
            g.grey[k] = 128;
    }
    return g;
}

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

ResultSize tiff_to_png(const std::string &tiff_path, const std::string &png_path, std::string *warning)
{
    gis::start_gdal();
    std::error_code ec;
    if (!std::filesystem::exists(tiff_path, ec))
        throw PngError("no image " + tiff_path);
    if (!std::filesystem::is_regular_file(tiff_path, ec))
        throw PngError("the image " + tiff_path + " is not a regular file");
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
    // From the header, before anything is read or allocated: what a PNG
    // holds, and the image's bytes against the memory there is.
    if (size.lines > kPngMaxSide || size.columns > kPngMaxSide)
        throw PngError("the image " + tiff_path + " has " + std::to_string(size.lines) + " lines and " +
                       std::to_string(size.columns) + " columns; a PNG holds at most " + std::to_string(kPngMaxSide) +
                       " of either");
    const size_t cells = static_cast<size_t>(size.lines) * static_cast<size_t>(size.columns);
    // The samples as doubles, the grey levels, their marks and the pixels.
    const uint64_t needed = static_cast<uint64_t>(cells) * (8 + 1 + 1 + 2);
    const uint64_t available = memory_available();
    if (needed > available)
        throw PngError("the image " + tiff_path + " needs " + std::to_string(needed) + " bytes of memory, " +
                       std::to_string(available) + " are available");
    GDALRasterBand *band = ds->GetRasterBand(1);
    std::vector<double> v(cells);
    if (band->RasterIO(GF_Read, 0, 0, size.columns, size.lines, v.data(), size.columns, size.lines, GDT_Float64, 0,
                       0) != CE_None)
        throw PngError("cannot read the image " + tiff_path + " (" + CPLGetLastErrorMsg() + ")");

    int has = 0;
    double nodata = band->GetNoDataValue(&has);
    if (band->GetRasterDataType() == GDT_Float32 && std::fabs(nodata) <= std::numeric_limits<float>::max())
        nodata = static_cast<float>(nodata); // as the samples hold it
    const Greys g =
        tiff_greys(v, band->GetRasterDataType() == GDT_Byte, has ? std::optional<double>(nodata) : std::nullopt);
    int64_t infinite = 0;
    for (const double x : v)
        infinite += std::isinf(x) && !(has && x == nodata);
    if (infinite > 0 && warning != nullptr)
        *warning = tiff_path + ": " + std::to_string(infinite) + (infinite == 1 ? " cell is" : " cells are") +
                   " infinite: white for +infinity, black for -infinity";
    std::vector<double>().swap(v);
    std::vector<unsigned char> pixels;
    if (g.any_without) {
        pixels.resize(2 * cells);
        for (size_t k = 0; k < cells; k++) {
            pixels[2 * k] = g.grey[k];
            pixels[2 * k + 1] = g.valued[k] ? 255 : 0;
        }
    } else {
        pixels = g.grey;
    }
    const std::unique_ptr<FILE, MemoryCloser> in(fmemopen(pixels.data(), pixels.size(), "rb"));
    if (!in)
        throw PngError("not enough memory for " + tiff_path);
    write_png(in.get(), size, tiff_path, png_path, g.any_without);
    return size;
}

} // namespace terralume
