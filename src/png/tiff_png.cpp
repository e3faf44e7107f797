#include "memory.h"
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
    const uint64_t needed = cells + 16 * static_cast<uint64_t>(size.columns);
    const uint64_t available = memory_available();
    if (needed > available)
        throw PngError("the image " + tiff_path + " needs " + std::to_string(needed) + " bytes of memory, " +
                       std::to_string(available) + " are available");
    GDALRasterBand *band = ds->GetRasterBand(1);
    const bool bytes = band->GetRasterDataType() == GDT_Byte;
    int has = 0;
    const double nodata = band->GetNoDataValue(&has);
    const auto valued = [&](double x) { return std::isfinite(x) && !(has && x == nodata); };
    std::vector<double> line(static_cast<size_t>(size.columns));
    const auto read_line = [&](int32_t i) {
        if (band->RasterIO(GF_Read, 0, i, size.columns, 1, line.data(), size.columns, 1, GDT_Float64, 0, 0) != CE_None)
            throw PngError("cannot read the image " + tiff_path + " (" + CPLGetLastErrorMsg() + ")");
    };
    // Line by line: the range first, then the grey levels.
    double lo = INFINITY, hi = -INFINITY;
    int64_t infinite = 0;
    if (!bytes)
        for (int32_t i = 0; i < size.lines; i++) {
            read_line(i);
            for (const double x : line) {
                infinite += std::isinf(x) && !(has && x == nodata);
                if (valued(x)) {
                    lo = std::min(lo, x);
                    hi = std::max(hi, x);
                }
            }
        }
    std::vector<unsigned char> grey(cells, 0);
    for (int32_t i = 0; i < size.lines; i++) {
        read_line(i);
        unsigned char *g = grey.data() + static_cast<size_t>(i) * static_cast<size_t>(size.columns);
        for (int32_t j = 0; j < size.columns; j++) {
            const double x = line[static_cast<size_t>(j)];
            if (bytes)
                g[j] = static_cast<unsigned char>(x);
            else if (valued(x) && hi > lo)
                g[j] = static_cast<unsigned char>(std::floor((x - lo) / (hi - lo) * 255 + 0.5));
        }
    }
    if (infinite > 0 && warning != nullptr)
        *warning = tiff_path + ": " + std::to_string(infinite) + (infinite == 1 ? " cell is" : " cells are") +
                   " infinite, black as cells without a value";
    const std::unique_ptr<FILE, MemoryCloser> in(fmemopen(grey.data(), grey.size(), "rb"));
    if (!in)
        throw PngError("not enough memory for " + tiff_path);
    write_png(in.get(), size, tiff_path, png_path);
    return size;
}

} // namespace terralume
