#include "output.h"
#include "commit.h"
#include "gdal_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cpl_string.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace terralume::gis
{

namespace
{

namespace fs = std::filesystem;

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool writes_rasters(GDALDriver *d)
{
    return d->GetMetadataItem(GDAL_DCAP_RASTER) != nullptr &&
           (d->GetMetadataItem(GDAL_DCAP_CREATE) != nullptr || d->GetMetadataItem(GDAL_DCAP_CREATECOPY) != nullptr);
}

// The driver that writes files ending in `ext`, GeoTIFF first.
GDALDriver *driver_for_extension(const std::string &ext)
{
    GDALDriverManager *m = GetGDALDriverManager();
    if (ext == "tif" || ext == "tiff")
        return m->GetDriverByName("GTiff");
    for (int k = 0; k < m->GetDriverCount(); k++) {
        GDALDriver *d = m->GetDriver(k);
        const char *exts = d->GetMetadataItem(GDAL_DMD_EXTENSIONS);
        if (exts == nullptr || !writes_rasters(d))
            continue;
        std::istringstream words(exts);
        for (std::string w; words >> w;)
            if (lower(w) == ext)
                return d;
    }
    return nullptr;
}

std::string option_name(const std::string &option) { return lower(option.substr(0, option.find('='))); }

fs::path folder_of(const std::string &path)
{
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

bool without_value(double v, double nodata) { return std::isnan(v) || v == nodata; }

void set_band(GDALRasterBand *b, const Layer &layer, const std::string &description)
{
    b->SetNoDataValue(layer.nodata);
    b->SetDescription(description.c_str());
    if (!layer.unit.empty())
        b->SetUnitType(layer.unit.c_str());
}

// Every band's nodata, description and unit.
void set_bands(GDALDataset *ds, const Layer &layer)
{
    set_band(ds->GetRasterBand(1), layer, layer.description);
    for (size_t k = 0; k < layer.more_bands.size(); k++)
        set_band(ds->GetRasterBand(static_cast<int>(k) + 2), layer, layer.more_bands[k].description);
}

} // namespace

Format output_format(const std::string &path, const std::string &requested,
                     const std::vector<std::string> &creation_options)
{
    start_gdal();
    Format f;
    GDALDriver *d = nullptr;
    if (!requested.empty()) {
        d = GetGDALDriverManager()->GetDriverByName(requested.c_str());
        if (d == nullptr || d->GetMetadataItem(GDAL_DCAP_RASTER) == nullptr)
            throw GisError("-of " + requested + ": GDAL has no raster format of that name");
        if (!writes_rasters(d))
            throw GisError("-of " + requested + ": GDAL cannot write this format");
    } else {
        const std::string ext = lower(fs::path(path).extension().string());
        if (ext.size() <= 1) {
            d = GetGDALDriverManager()->GetDriverByName("GTiff");
        } else {
            d = driver_for_extension(ext.substr(1));
            if (d == nullptr)
                throw GisError(path + ": no raster format GDAL writes ends in " + ext + "; name one with -of");
        }
    }
    f.driver = d->GetDescription();
    // A VRT would only point at the run's memory, and MEM writes no file.
    if (f.driver == "VRT")
        throw GisError((requested.empty() ? path : "-of " + requested) +
                       ": a VRT holds no data of its own, only a reference to the run's memory, gone when it ends; "
                       "write a GeoTIFF (.tif)");
    if (f.driver == "MEM")
        throw GisError("-of " + requested +
                       ": MEM keeps a raster in memory and writes no file; write a GeoTIFF (.tif)");
    for (const std::string &o : creation_options)
        if (o.find('=') == std::string::npos || o.front() == '=')
            throw GisError("-co " + o + ": a creation option is NAME=VALUE");
    if (f.driver == "GTiff")
        for (const char *o : {"COMPRESS=DEFLATE", "TILED=YES"})
            if (std::none_of(creation_options.begin(), creation_options.end(),
                             [&](const std::string &given) { return option_name(given) == option_name(o); }))
                f.creation_options.emplace_back(o);
    f.creation_options.insert(f.creation_options.end(), creation_options.begin(), creation_options.end());
    return f;
}

uint64_t writing_bytes(const Format &format, const GridPlace &place, SampleType type, const GridPlace *back)
{
    const int sample = type == SampleType::Byte      ? 1
                       : type == SampleType::UInt16  ? 2
                       : type == SampleType::Float32 ? 4
                                                     : 8;
    const GridPlace &out = back != nullptr ? *back : place;
    // A tiled GeoTIFF keeps its tiles (256 x 256 unless told) until it is
    // closed; other formats, a line of blocks, or the whole raster at most.
    int32_t block = format.driver == "GTiff" ? 256 : 1;
    for (const std::string &o : format.creation_options)
        if (option_name(o) == "blockxsize" || option_name(o) == "blockysize")
            block = std::max(block, std::atoi(o.c_str() + o.find('=') + 1));
    const uint64_t layer = static_cast<uint64_t>(place.lines) * static_cast<uint64_t>(place.columns) * sample;
    // Warped back: the layer, its values as doubles, a mark and a place in
    // a ring of the fill a cell.
    const uint64_t warped = back != nullptr ? static_cast<uint64_t>(back->lines) *
                                                  static_cast<uint64_t>(back->columns) * (sample + 8 + 1 + 8)
                                            : 0;
    return saturating_sum({layer, warped, cached_bytes(out.lines, out.columns, block, block, sample)});
}

bool writes_folder(const Format &format) { return format.driver == "Zarr"; }

void check_holds(const Format &format, const Layer &layer, const std::string &kind)
{
    GDALDriver *d = GetGDALDriverManager()->GetDriverByName(format.driver.c_str());
    const char *types = d != nullptr ? d->GetMetadataItem(GDAL_DMD_CREATIONDATATYPES) : nullptr;
    const char *type = layer.type == SampleType::Byte      ? "Byte"
                       : layer.type == SampleType::UInt16  ? "UInt16"
                       : layer.type == SampleType::Float32 ? "Float32"
                                                           : "Float64";
    if (types == nullptr)
        return; // the driver does not say: it is taken at its word when writing
    std::istringstream words(types);
    for (std::string w; words >> w;)
        if (w == type)
            return;
    throw GisError("-of " + format.driver + ": the " + kind + " output holds " + type + " values, which " +
                   format.driver + " cannot hold (it takes " + types + "); write a GeoTIFF (.tif), which " +
                   "terralume-png turns into a picture");
}

namespace
{

// An earlier Zarr store: a folder holding the files that start one.
bool is_store(const std::string &path)
{
    std::error_code ec;
    for (const char *mark : {".zgroup", ".zarray", "zarr.json"})
        if (fs::exists(fs::path(path) / mark, ec))
            return true;
    return false;
}

} // namespace

void check_replaceable(const std::string &path, bool folder)
{
    struct stat st {
    };
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISLNK(st.st_mode))
        throw GisError(path + ": is a symbolic link, which would be replaced by a file: name the file itself");
    if (S_ISDIR(st.st_mode) && !(folder && is_store(path)))
        throw GisError(path + ": is a folder");
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        throw GisError(path + ": is not a regular file (a device, a pipe or a socket), which would be replaced: an "
                              "output is a file");
    if (S_ISREG(st.st_mode) && folder)
        throw GisError(path + ": is a file, where " + "the output is a folder");
}

void check_creatable(const std::string &path, const Format &format)
{
    check_replaceable(path, writes_folder(format));
    const fs::path folder = folder_of(path);
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        throw GisError(path + ": its folder " + folder.string() + " does not exist");
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        throw GisError(path + ": its folder " + folder.string() + " is not writable (" + std::strerror(errno) + ")");
}

namespace
{

// Reads the raster written at `target` back whole: a file cut short, or a
// side file that cannot be read, fails. Every file written must hold data.
void verify(const std::string &path, const std::string &target, const std::string &area, const GridPlace &grid)
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(area, ec); !ec && it != fs::end(it); it.increment(ec))
        if (it->is_regular_file(ec) && it->file_size(ec) == 0)
            throw GisError(path + ": cannot be written (" + it->path().filename().string() + " was left empty)");
    if (ec)
        throw GisError(path + ": cannot be written (" + ec.message() + ")");
    GdalErrors errors;
    errors.rename(target, path);
    GDALDatasetUniquePtr ds(
        GDALDataset::Open(target.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR));
    if (!ds || errors.failed())
        throw GisError(path + ": cannot be written (" + errors.first("it cannot be read back") + ")");
    if (ds->GetRasterXSize() != grid.columns || ds->GetRasterYSize() != grid.lines || ds->GetRasterCount() < 1)
        throw GisError(path + ": cannot be written (it reads back with another size)");
    GDALRasterBand *band = ds->GetRasterBand(1);
    std::vector<double> line(static_cast<size_t>(grid.columns));
    for (int32_t i = 0; i < grid.lines; i++)
        if (band->RasterIO(GF_Read, 0, i, grid.columns, 1, line.data(), grid.columns, 1, GDT_Float64, 0, 0) !=
                CE_None ||
            errors.failed())
            throw GisError(path + ": cannot be written (" + errors.first("line " + std::to_string(i) + " reads back") +
                           ")");
    ds.reset();
    if (errors.failed())
        throw GisError(path + ": cannot be written (" + errors.first("it cannot be read back") + ")");
}

// Writes `source` in the staging area under the very name of the output, so
// that the files a driver writes beside it are named right, and reads it
// back.
void copy_into(const std::string &path, const std::string &area, const Format &format, GDALDataset &source,
               const GridPlace &grid, GdalErrors &errors)
{
    const auto failed = [&](const std::string &what) {
        return GisError(path + ": " + what + " (" + errors.first(gdal_error("GDAL gave no reason")) + ")");
    };
    const std::string target = area + fs::path(path).filename().string();
    errors.rename(target, path);
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName(format.driver.c_str());
    CPLStringList options;
    for (const std::string &o : format.creation_options)
        options.AddString(o.c_str());
    GDALDataset *out = driver->CreateCopy(target.c_str(), &source, FALSE, options.List(), nullptr, nullptr);
    if (out == nullptr || errors.failed()) {
        if (out != nullptr)
            GDALClose(GDALDataset::ToHandle(out));
        throw failed("cannot be written");
    }
    // GDAL 3.6 tells of a failed flush or close only through its errors.
    out->FlushCache(true);
    GDALClose(GDALDataset::ToHandle(out));
    if (errors.failed())
        throw failed("cannot be written");
    verify(path, target, area, grid);
}

} // namespace

void fill_from_nearest(std::vector<double> &values, const Grid<unsigned char> &cells, double nodata)
{
    const int32_t lines = cells.nb_lig();
    const int32_t columns = cells.nb_col();
    const auto at = [columns](int32_t i, int32_t j) { return static_cast<size_t>(i) * columns + j; };
    std::vector<unsigned char> reached(values.size());
    std::vector<size_t> ring;
    for (int32_t i = 0; i < lines; i++)
        for (int32_t j = 0; j < columns; j++)
            if (!without_value(values[at(i, j)], nodata)) {
                reached[at(i, j)] = 1;
                ring.push_back(at(i, j));
            }
    // The sides of every cell of a ring, then their diagonals.
    static const int32_t steps[2][4][2] = {{{-1, 0}, {0, -1}, {0, 1}, {1, 0}}, {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}}};
    std::vector<size_t> next;
    while (!ring.empty()) {
        next.clear();
        for (const auto &side : steps)
            for (size_t k : ring) {
                const int32_t i = static_cast<int32_t>(k / columns);
                const int32_t j = static_cast<int32_t>(k % columns);
                for (const auto &d : side) {
                    const int32_t ni = i + d[0], nj = j + d[1];
                    if (ni < 0 || ni >= lines || nj < 0 || nj >= columns || reached[at(ni, nj)])
                        continue;
                    reached[at(ni, nj)] = 1;
                    values[at(ni, nj)] = values[k];
                    next.push_back(at(ni, nj));
                }
            }
        ring.swap(next);
    }
    for (int32_t i = 0; i < lines; i++)
        for (int32_t j = 0; j < columns; j++)
            if (!cells[i][j])
                values[at(i, j)] = nodata;
}

void write_raster(const std::string &path, const std::string &area, const Format &format, const GridPlace &place,
                  const Layer &layer, const GridPlace *back, const Grid<unsigned char> *back_cells)
{
    start_gdal();
    GdalErrors errors;
    const auto failed = [&](const std::string &what) {
        return GisError(path + ": " + what + " (" + errors.first(gdal_error("GDAL gave no reason")) + ")");
    };
    GDALDriver *mem = GetGDALDriverManager()->GetDriverByName("MEM");
    const GDALDataType type = layer.type == SampleType::Byte      ? GDT_Byte
                              : layer.type == SampleType::UInt16  ? GDT_UInt16
                              : layer.type == SampleType::Float32 ? GDT_Float32
                                                                  : GDT_Float64;
    const int bands = 1 + static_cast<int>(layer.more_bands.size());
    GDALDatasetUniquePtr ds(mem->Create("", place.columns, place.lines, bands, type, nullptr));
    if (!ds)
        throw GisError(path + ": " + errors.first("not enough memory for the result"));
    std::vector<double> values(static_cast<size_t>(place.columns));
    for (int b = 1; b <= bands; b++) {
        GDALRasterBand *band = ds->GetRasterBand(b);
        const auto &line = b == 1 ? layer.line : layer.more_bands[static_cast<size_t>(b - 2)].line;
        for (int32_t i = 0; i < place.lines; i++) {
            line(i, values.data());
            if (band->RasterIO(GF_Write, 0, i, place.columns, 1, values.data(), place.columns, 1, GDT_Float64, 0, 0) !=
                CE_None)
                throw failed("cannot fill the result");
        }
    }
    if (place.geo.has_transform && ds->SetGeoTransform(const_cast<double *>(place.geo.transform.data())) != CE_None)
        throw failed("cannot take its georeference");
    if (!place.geo.wkt.empty() && ds->SetProjection(place.geo.wkt.c_str()) != CE_None)
        throw failed("cannot take its coordinate system");
    set_bands(ds.get(), layer);

    if (back != nullptr) {
        const std::array<double, 6> &t = back->geo.transform;
        const double x0 = t[0];
        const double x1 = t[0] + back->columns * t[1];
        const double y0 = t[3] + back->lines * t[5];
        const double y1 = t[3];
        ds = warp_in_memory(ds.get(),
                            {"-t_srs", back->geo.wkt, "-te", exact(x0), exact(y0), exact(x1), exact(y1), "-ts",
                             std::to_string(back->columns), std::to_string(back->lines), "-r",
                             layer.classes ? "near" : "bilinear", "-srcnodata", exact(layer.nodata), "-dstnodata",
                             exact(layer.nodata)},
                            path + ": cannot warp back onto the input's grid");
        // The very numbers of the input, not their quotient by the size.
        std::array<double, 6> same = t;
        ds->SetGeoTransform(same.data());
        set_bands(ds.get(), layer);
        if (back_cells != nullptr) {
            if (back_cells->nb_lig() != back->lines || back_cells->nb_col() != back->columns)
                throw GisError(path + ": the input's cells do not match its grid");
            for (int k = 1; k <= bands; k++) {
                GDALRasterBand *b = ds->GetRasterBand(k);
                std::vector<double> v(static_cast<size_t>(back->lines) * static_cast<size_t>(back->columns));
                if (b->RasterIO(GF_Read, 0, 0, back->columns, back->lines, v.data(), back->columns, back->lines,
                                GDT_Float64, 0, 0) != CE_None)
                    throw failed("cannot read the warped result");
                fill_from_nearest(v, *back_cells, layer.nodata);
                if (b->RasterIO(GF_Write, 0, 0, back->columns, back->lines, v.data(), back->columns, back->lines,
                                GDT_Float64, 0, 0) != CE_None)
                    throw failed("cannot fill the warped result");
            }
        }
    }
    for (const auto &[key, value] : layer.metadata)
        ds->SetMetadataItem(key.c_str(), value.c_str());
    if (errors.failed())
        throw failed("cannot be made");

    copy_into(path, area, format, *ds, back != nullptr ? *back : place, errors);
}

void write_copy(const std::string &path, const Format &format, GDALDataset &source)
{
    start_gdal();
    try {
        ResultLock lock;
        lock.acquire(ResultLock::path_beside(path), path);
        StagedSet set;
        set.create(path);
        GridPlace grid;
        grid.lines = source.GetRasterYSize();
        grid.columns = source.GetRasterXSize();
        GdalErrors errors;
        copy_into(path, set.area(0), format, source, grid, errors);
        set.commit(lock);
    } catch (const OutputError &e) {
        throw GisError(e.file + ": cannot be written (" + std::strerror(e.error) + ")");
    } catch (const LockHeld &e) {
        throw GisError(path + ": is being written by another run (pid " + std::to_string(e.pid) + ")");
    }
}

void write_one(const std::string &path, const Format &format, const GridPlace &place, const Layer &layer)
{
    try {
        ResultLock lock;
        lock.acquire(ResultLock::path_beside(path), path);
        StagedSet set;
        set.create(path);
        write_raster(path, set.area(0), format, place, layer);
        set.commit(lock);
    } catch (const OutputError &e) {
        throw GisError(e.file + ": cannot be written (" + std::strerror(e.error) + ")");
    } catch (const LockHeld &e) {
        throw GisError(path + ": is being written by another run (pid " + std::to_string(e.pid) + ")");
    }
}

} // namespace terralume::gis
