#include "raster.h"
#include "elevation.h"
#include "gdal_support.h"
#include "nodata.h"
#include "raw_model.h"

#include <algorithm>
#include <cmath>
#include <cpl_conv.h>
#include <cpl_error.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gdalwarper.h>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <ogr_spatialref.h>
#include <sys/stat.h>

namespace terralume::gis
{

namespace
{

void CPL_STDCALL on_gdal_message(CPLErr level, CPLErrorNum, const char *message)
{
    // Failures come back to the caller, which names the file; warnings would
    // otherwise be lost.
    if (level == CE_Warning)
        std::cerr << "terralume: warning: " << message << "\n";
}

GridPlace place_of(GDALDataset &ds)
{
    GridPlace p;
    p.lines = ds.GetRasterYSize();
    p.columns = ds.GetRasterXSize();
    p.geo.has_transform = ds.GetGeoTransform(p.geo.transform.data()) == CE_None;
    if (const OGRSpatialReference *srs = ds.GetSpatialRef())
        if (char *wkt = nullptr; srs->exportToWkt(&wkt) == OGRERR_NONE) {
            p.geo.wkt = wkt;
            CPLFree(wkt);
        }
    return p;
}

// The centre of the grid in WGS 84, as (longitude, latitude).
std::optional<std::pair<double, double>> centre_wgs84(const GridPlace &p, const OGRSpatialReference &srs)
{
    const std::array<double, 6> &t = p.geo.transform;
    double x = t[0] + p.columns / 2.0 * t[1] + p.lines / 2.0 * t[2];
    double y = t[3] + p.columns / 2.0 * t[4] + p.lines / 2.0 * t[5];
    OGRSpatialReference from(srs);
    from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    OGRSpatialReference wgs84;
    if (wgs84.SetWellKnownGeogCS("WGS84") != OGRERR_NONE)
        return std::nullopt;
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    const std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&from, &wgs84));
    if (!ct || !ct->Transform(1, &x, &y) || !std::isfinite(x) || !std::isfinite(y))
        return std::nullopt;
    return std::make_pair(x, y);
}

std::string quoted(const std::string &path)
{
    std::string q = "'";
    for (char c : path)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The command that makes the cells of a grid square and north up. Cells
// nearly square are given a square side (the mean) without touching the
// samples, when that moves no cell centre by half a cell nor stretches the
// grid more than a projection may (kScaleTolerance); others are resampled
// to the shorter side `side`.
std::string squaring_command(const std::string &path, const GridPlace &p, double side)
{
    const std::array<double, 6> &t = p.geo.transform;
    std::string out = path;
    const size_t dot = out.find_last_of('.');
    const size_t slash = out.find_last_of('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        out.erase(dot);
    const double dx = t[1], dy = -t[5];
    const double mean = (dx + dy) / 2;
    const bool north_up = t[2] == 0 && t[4] == 0 && dx > 0 && dy > 0;
    if (north_up && std::fabs(dx - dy) / 2 * std::max(p.lines, p.columns) < mean / 2 &&
        std::fabs(dx - dy) / 2 <= kScaleTolerance * mean) {
        const auto g = [](double v) {
            char s[64];
            std::snprintf(s, sizeof s, "%.15g", v);
            return std::string(s);
        };
        return "gdal_translate -a_ullr " + g(t[0]) + " " + g(t[3]) + " " + g(t[0] + p.columns * mean) + " " +
               g(t[3] - p.lines * mean) + " " + quoted(path) + " " + quoted(out + "_square.tif");
    }
    char s[64];
    std::snprintf(s, sizeof s, "%.10g", side);
    return "gdalwarp -r bilinear -tr " + std::string(s) + " " + s + " " + quoted(path) + " " +
           quoted(out + "_square.tif");
}

// The scale at the grid's centre, from steps of 1e-4 degree along the
// parallel and the meridian of the projection's own geographic system.
std::optional<PointScale> scale_at(const GridPlace &p, const OGRSpatialReference &srs)
{
    if (!p.geo.has_transform || !srs.IsProjected())
        return std::nullopt;
    const std::array<double, 6> &t = p.geo.transform;
    OGRSpatialReference projected(srs);
    projected.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    const std::unique_ptr<OGRSpatialReference> geographic(srs.CloneGeogCS());
    if (!geographic)
        return std::nullopt;
    geographic->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    const std::unique_ptr<OGRCoordinateTransformation> to_geographic(
        OGRCreateCoordinateTransformation(&projected, geographic.get()));
    const std::unique_ptr<OGRCoordinateTransformation> to_map(
        OGRCreateCoordinateTransformation(geographic.get(), &projected));
    double lon = t[0] + p.columns / 2.0 * t[1] + p.lines / 2.0 * t[2];
    double lat = t[3] + p.columns / 2.0 * t[4] + p.lines / 2.0 * t[5];
    if (!to_geographic || !to_map || !to_geographic->Transform(1, &lon, &lat))
        return std::nullopt;
    const double radian = geographic->GetAngularUnits(); // radians a unit
    const double step = 1e-4 * M_PI / 180 / radian;
    double x[4] = {lon - step, lon + step, lon, lon};
    double y[4] = {lat, lat, lat - step, lat + step};
    if (!to_map->Transform(4, x, y))
        return std::nullopt;
    const double inverse_flattening = geographic->GetInvFlattening();
    const double f = inverse_flattening > 0 ? 1 / inverse_flattening : 0;
    const double e2 = f * (2 - f);
    const double phi = lat * radian;
    const double w = std::sqrt(1 - e2 * std::sin(phi) * std::sin(phi));
    const double a = geographic->GetSemiMajor();
    const double along = 2 * step * radian; // [radian]
    const double unit = projected.GetLinearUnits();
    PointScale s;
    s.parallel = std::hypot(x[1] - x[0], y[1] - y[0]) * unit / (a / w * std::cos(phi) * along);
    s.meridian = std::hypot(x[3] - x[2], y[3] - y[2]) * unit / (a * (1 - e2) / (w * w * w) * along);
    if (!std::isfinite(s.parallel) || !std::isfinite(s.meridian) || !(s.parallel > 0) || !(s.meridian > 0))
        return std::nullopt;
    return s;
}

bool scaled(const PointScale &s)
{
    return std::fabs(s.parallel - 1) > kScaleTolerance || std::fabs(s.meridian - 1) > kScaleTolerance;
}

std::string scale_text(const PointScale &s)
{
    char text[128];
    if (std::fabs(s.parallel - s.meridian) < 5e-4)
        std::snprintf(text, sizeof text, "%.3f", (s.parallel + s.meridian) / 2);
    else
        std::snprintf(text, sizeof text, "%.3f along the parallel and %.3f along the meridian", s.parallel, s.meridian);
    return text;
}

// What GDAL's cache may keep of band `band` as it is read.
uint64_t band_bytes(GDALDataset &ds, int band)
{
    GDALRasterBand *b = ds.GetRasterBand(band);
    int bx = 0, by = 0;
    b->GetBlockSize(&bx, &by);
    return cached_bytes(ds.GetRasterYSize(), ds.GetRasterXSize(), by, bx,
                        GDALGetDataTypeSizeBytes(b->GetRasterDataType()));
}

// Reads band `band` of `ds` into dem.dtab: NaN, infinities and the nodata
// value (when given) mark cells without elevation; the rest is turned into metres from
// the request's unit. A band of signed bytes is read as such, and a Float32 band's
// nodata is compared as a float, as GDAL compares it.
void read_band(GDALDataset &ds, int band, std::optional<double> nodata, const DemRequest &r, Dem &dem)
{
    GDALRasterBand *b = ds.GetRasterBand(band);
    const int32_t line0 = r.window ? r.window->line : 0;
    const int32_t column0 = r.window ? r.window->column : 0;
    const int32_t lines = r.window ? r.window->lines : ds.GetRasterYSize();
    const int32_t columns = r.window ? r.window->columns : ds.GetRasterXSize();
    dem.read_bytes = saturating_sum({dem.read_bytes, band_bytes(ds, band)});
    const char *pixel_type = b->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    const bool signed_bytes =
        b->GetRasterDataType() == GDT_Byte && pixel_type != nullptr && std::string(pixel_type) == "SIGNEDBYTE";
    if (nodata && b->GetRasterDataType() == GDT_Float32) {
        const float as_float = static_cast<float>(*nodata);
        nodata = std::isfinite(as_float) || std::isinf(*nodata) ? std::optional<double>(as_float) : std::nullopt;
    }
    dem.dtab = Grid<double>(lines, columns);
    if (dem.dtab.empty())
        throw std::bad_alloc();
    int64_t infinite = 0;
    for (int32_t i = 0; i < lines; i++) {
        CPLErrorReset();
        if (b->RasterIO(GF_Read, column0, line0 + i, columns, 1, dem.dtab[i], columns, 1, GDT_Float64, 0, 0) != CE_None)
            throw GisError(r.path + ": cannot read line " + std::to_string(line0 + i) + " (" +
                           gdal_error("read error") + ")");
        double *row = dem.dtab[i];
        for (int32_t j = 0; j < columns; j++) {
            if (signed_bytes && row[j] > 127)
                row[j] -= 256;
            if (std::isnan(row[j]) || std::isinf(row[j]) || (nodata && row[j] == *nodata)) {
                if (std::isinf(row[j]) && !(nodata && row[j] == *nodata))
                    infinite++;
                row[j] = kNoElevation;
                dem.no_elevation++;
            }
        }
    }
    if (infinite > 0) {
        const std::string note = r.path + ": " + std::to_string(infinite) +
                                 (infinite == 1 ? " cell holds" : " cells hold") +
                                 " an infinite elevation, read as without elevation";
        dem.warning = dem.warning.empty() ? note : dem.warning + "; " + note;
    }
    to_metres(dem.dtab, r.z_multiplier, r.rescale);
}

// A DEM is read from regular files (or folders, for formats made of them):
// a pipe or a device would be waited on forever, or read as anything.
void check_input(const std::string &path, const std::string &dem)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0)
        return; // GDAL says what it makes of it
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        throw GisError(path + ": is not a regular file (a pipe, a device or a socket)" +
                       (path == dem ? std::string() : ", and the DEM " + dem + " reads it") +
                       ": a DEM is read from files");
}

void check_side(int32_t lines, int32_t columns, int32_t max_side, const std::string &path)
{
    if (lines > max_side || columns > max_side)
        throw GisError(path + ": the grid of " + std::to_string(lines) + " lines and " + std::to_string(columns) +
                       " columns is too large: no side may pass " + std::to_string(max_side) + " cells");
}

Dem read_raw(const DemRequest &r, int32_t max_side, const std::function<void(const DemShape &)> &before_reading)
{
    const std::string descriptor = r.path.substr(0, r.path.size() - 4) + ".txt";
    check_input(r.path, r.path);
    check_input(descriptor, r.path);
    RawModel m;
    try {
        m = read_raw_model(r.path, max_side, [&](int32_t lines, int32_t columns) {
            if (before_reading)
                before_reading({lines, columns, matrix_bytes(columns, lines, sizeof(int32_t)), 0, 0});
        });
    } catch (const RawModelError &e) {
        throw GisError(e.what());
    }
    Dem dem;
    dem.format = "raw";
    dem.warning = m.warning;
    dem.files = {r.path, descriptor};
    dem.place.lines = m.itab.nb_lig();
    dem.place.columns = m.itab.nb_col();
    dem.source = dem.place;
    if (m.pix_size > 0)
        dem.pixel_size = m.pix_size;
    dem.nodata = r.nodata;
    dem.dtab = Grid<double>(dem.place.lines, dem.place.columns);
    if (dem.dtab.empty())
        throw std::bad_alloc();
    to_metres(m.itab, 1, dem.dtab);
    to_metres(dem.dtab, r.z_multiplier, r.rescale);
    dem.read_bytes = matrix_bytes(dem.place.columns, dem.place.lines, sizeof(int32_t));
    if (r.nodata)
        for (int32_t i = 0; i < dem.place.lines; i++)
            for (int32_t j = 0; j < dem.place.columns; j++)
                if (m.itab[i][j] == *r.nodata) {
                    dem.dtab[i][j] = kNoElevation;
                    dem.no_elevation++;
                }
    return dem;
}

} // namespace

GdalErrors::GdalErrors() { CPLPushErrorHandlerEx(on_message, this); }

GdalErrors::~GdalErrors() { CPLPopErrorHandler(); }

void CPL_STDCALL GdalErrors::on_message(CPLErr level, CPLErrorNum number, const char *message)
{
    auto *e = static_cast<GdalErrors *>(CPLGetErrorHandlerUserData());
    std::string text = message != nullptr ? message : "";
    if (!e->from_.empty())
        for (size_t p; (p = text.find(e->from_)) != std::string::npos;)
            text.replace(p, e->from_.size(), e->to_);
    // A side file of metadata that cannot be saved is only a warning to
    // GDAL, and a lost part of the output here.
    const bool lost = text.find("Unable to save auxiliary information") != std::string::npos;
    if (level != CE_Failure && level != CE_Fatal && !lost) {
        on_gdal_message(level, number, text.c_str());
        return;
    }
    if (!e->failed_)
        e->first_ = text;
    e->failed_ = true;
}

std::string gdal_error(const std::string &otherwise)
{
    const char *m = CPLGetLastErrorMsg();
    return m != nullptr && m[0] != '\0' ? std::string(m) : otherwise;
}

std::vector<char *> c_strings(std::vector<std::string> &args)
{
    std::vector<char *> v;
    for (std::string &a : args)
        v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

GDALDatasetUniquePtr warp_in_memory(GDALDataset *source, std::vector<std::string> args, const std::string &what)
{
    args.insert(args.begin(), {"-of", "MEM", "-q"});
    std::vector<char *> argv = c_strings(args);
    CPLErrorReset();
    GDALWarpAppOptions *options = GDALWarpAppOptionsNew(argv.data(), nullptr);
    if (options == nullptr)
        throw GisError(what + ": " + gdal_error("bad warp options"));
    GDALDatasetH src = GDALDataset::ToHandle(source);
    int usage_error = 0;
    GDALDatasetH out = GDALWarp("", nullptr, 1, &src, options, &usage_error);
    GDALWarpAppOptionsFree(options);
    if (out == nullptr || CPLGetLastErrorType() == CE_Failure) {
        if (out != nullptr)
            GDALClose(out);
        throw GisError(what + ": " + gdal_error("the warp failed"));
    }
    return GDALDatasetUniquePtr(GDALDataset::FromHandle(out));
}

std::string exact(double v)
{
    char s[64];
    for (int digits = 15; digits <= 17; digits++) {
        std::snprintf(s, sizeof s, "%.*g", digits, v);
        if (std::strtod(s, nullptr) == v)
            break;
    }
    return s;
}

void start_gdal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        GDALAllRegister();
        CPLSetErrorHandler(on_gdal_message);
    });
}

uint64_t cached_bytes(int32_t lines, int32_t columns, int32_t block_lines, int32_t block_columns, int sample)
{
    const auto padded = [](int32_t n, int32_t block) {
        const uint64_t b = static_cast<uint64_t>(std::max(block, 1));
        return (static_cast<uint64_t>(n) + b - 1) / b * b;
    };
    const uint64_t blocks = padded(lines, block_lines) * padded(columns, block_columns) * static_cast<uint64_t>(sample);
    return std::min<uint64_t>(blocks, static_cast<uint64_t>(GDALGetCacheMax64()));
}

int utm_zone(double longitude)
{
    // Clamp before the cast: a corrupt transform can put the centre at 1e300 or NaN, which no int holds.
    const double zone = std::floor((longitude + 180) / 6) + 1;
    if (!(zone >= 1))
        return 1;
    return zone > 60 ? 60 : static_cast<int>(zone);
}

int utm_epsg(double latitude, double longitude)
{
    if (latitude > 84)
        return 32661;
    if (latitude < -80)
        return 32761;
    return (latitude < 0 ? 32700 : 32600) + utm_zone(longitude);
}

namespace
{

// Tells the caller the shape of a grid read as it is.
void tell_shape(const std::function<void(const DemShape &)> &before_reading, GDALDataset &ds, int band,
                const std::optional<DemRequest::Window> &window = std::nullopt)
{
    if (before_reading && window)
        before_reading({window->lines, window->columns, band_bytes(ds, band), 0, 0});
    else if (before_reading)
        before_reading({ds.GetRasterYSize(), ds.GetRasterXSize(), band_bytes(ds, band), 0, 0});
}

// The grid a warp of `source` to `wkt` makes, as the warp itself sizes it.
std::pair<int32_t, int32_t> warped_size(GDALDataset &source, const std::string &wkt)
{
    void *transform =
        GDALCreateGenImgProjTransformer(GDALDataset::ToHandle(&source), nullptr, nullptr, wkt.c_str(), FALSE, 0, 1);
    if (transform == nullptr)
        return {0, 0};
    double geo[6];
    int pixels = 0, lines = 0;
    const CPLErr e = GDALSuggestedWarpOutput(GDALDataset::ToHandle(&source), GDALGenImgProjTransform, transform, geo,
                                             &pixels, &lines);
    GDALDestroyGenImgProjTransformer(transform);
    return e == CE_None ? std::make_pair(lines, pixels) : std::make_pair(0, 0);
}

// Reprojects the DEM `ds` to the UTM zone of its centre (WGS 84), bilinear,
// at the resolution GDAL suggests; with r.source_cells, notes which cells of
// the source have an elevation.
void reproject(GDALDataset &ds, const DemRequest &r, const std::pair<double, double> &centre, int32_t max_side,
               const std::function<void(const DemShape &)> &before_reading, Dem &dem)
{
    const int epsg = utm_epsg(centre.second, centre.first);
    // The band alone, with the nodata value given on the command line.
    std::vector<std::string> pick = {"-of", "VRT", "-b", std::to_string(r.band)};
    if (r.nodata)
        pick.insert(pick.end(), {"-a_nodata", exact(*r.nodata)});
    std::vector<char *> argv = c_strings(pick);
    GDALTranslateOptions *options = GDALTranslateOptionsNew(argv.data(), nullptr);
    CPLErrorReset();
    GDALDatasetUniquePtr one(
        options == nullptr ? nullptr
                           : GDALDataset::FromHandle(GDALTranslate("", GDALDataset::ToHandle(&ds), options, nullptr)));
    GDALTranslateOptionsFree(options);
    if (!one)
        throw GisError(r.path + ": " + gdal_error("cannot take band " + std::to_string(r.band)));
    if (before_reading) {
        OGRSpatialReference target;
        target.importFromEPSG(epsg);
        char *wkt = nullptr;
        target.exportToWkt(&wkt);
        const auto [lines, columns] = warped_size(*one, wkt != nullptr ? wkt : "");
        CPLFree(wkt);
        check_side(lines, columns, max_side, r.path);
        before_reading({lines, columns,
                        saturating_sum({band_bytes(ds, r.band), matrix_bytes(columns, lines, sizeof(double)),
                                        r.source_cells ? matrix_bytes(dem.source.columns, dem.source.lines, 1) : 0}),
                        dem.source.lines, dem.source.columns});
    }
    GDALDatasetUniquePtr warped = warp_in_memory(one.get(),
                                                 {"-t_srs", "EPSG:" + std::to_string(epsg), "-r", "bilinear", "-ot",
                                                  "Float64", "-wt", "Float64", "-dstnodata", "nan"},
                                                 r.path + ": cannot reproject to EPSG:" + std::to_string(epsg));
    dem.place = place_of(*warped);
    check_side(dem.place.lines, dem.place.columns, max_side, r.path);
    const std::array<double, 6> &w = dem.place.geo.transform;
    if (w[2] != 0 || w[4] != 0 || !(std::fabs(w[1] + w[5]) <= 1e-9 * std::fabs(w[1])))
        throw GisError(r.path + ": reprojected to EPSG:" + std::to_string(epsg) + ", its cells would be " +
                       exact(w[1]) + " by " + exact(-w[5]) +
                       " m, not square: it spans more than one projection holds; cut it into smaller rasters");
    GDALRasterBand *b = ds.GetRasterBand(r.band);
    dem.read_bytes =
        saturating_sum({band_bytes(ds, r.band), matrix_bytes(dem.place.columns, dem.place.lines, sizeof(double)),
                        r.source_cells ? matrix_bytes(dem.source.columns, dem.source.lines, 1) : 0});
    if (r.source_cells) {
        dem.source_cells = Grid<unsigned char>(dem.source.lines, dem.source.columns);
        if (dem.source_cells.empty())
            throw std::bad_alloc();
        std::vector<double> line(static_cast<size_t>(dem.source.columns));
        for (int32_t i = 0; i < dem.source.lines; i++) {
            CPLErrorReset();
            if (b->RasterIO(GF_Read, 0, i, dem.source.columns, 1, line.data(), dem.source.columns, 1, GDT_Float64, 0,
                            0) != CE_None)
                throw GisError(r.path + ": cannot read line " + std::to_string(i) + " (" + gdal_error("read error") +
                               ")");
            for (int32_t j = 0; j < dem.source.columns; j++) {
                const double v = line[static_cast<size_t>(j)];
                dem.source_cells[i][j] = !std::isnan(v) && !(dem.nodata && v == *dem.nodata);
            }
        }
    }
    read_band(*warped, 1, std::nullopt, r, dem);
    dem.pixel_size = dem.place.geo.transform[1];
    dem.latitude = centre.second;
    dem.longitude = centre.first;
    char note[256];
    if (epsg == 32661 || epsg == 32761)
        std::snprintf(note, sizeof note, "UPS %s (EPSG:%d), %d x %d cells of %.6g m", epsg == 32661 ? "North" : "South",
                      epsg, dem.place.columns, dem.place.lines, *dem.pixel_size);
    else
        std::snprintf(note, sizeof note, "UTM zone %d%s (EPSG:%d), %d x %d cells of %.6g m", utm_zone(centre.first),
                      centre.second < 0 ? "S" : "N", epsg, dem.place.columns, dem.place.lines, *dem.pixel_size);
    dem.reprojection = note;
}

} // namespace

std::optional<PointScale> scale_at_centre(const GridPlace &place)
{
    start_gdal();
    OGRSpatialReference srs;
    if (place.geo.wkt.empty() || srs.importFromWkt(place.geo.wkt.c_str()) != OGRERR_NONE)
        return std::nullopt;
    return scale_at(place, srs);
}

std::optional<std::pair<double, double>> centre_lon_lat(const GridPlace &place)
{
    start_gdal();
    OGRSpatialReference srs;
    if (!place.geo.has_transform || place.geo.wkt.empty() || srs.importFromWkt(place.geo.wkt.c_str()) != OGRERR_NONE)
        return std::nullopt;
    return centre_wgs84(place, srs);
}

namespace
{

// Whether `a` and `b` lie on the same grid: the same size, transform (to a
// millionth of a cell) and coordinate system.
bool same_grid(const GridPlace &a, const GridPlace &b)
{
    if (a.lines != b.lines || a.columns != b.columns || !a.geo.has_transform || !b.geo.has_transform)
        return false;
    const double cell = std::max(std::fabs(a.geo.transform[1]), std::fabs(a.geo.transform[5]));
    for (size_t k = 0; k < 6; k++)
        if (!(std::fabs(a.geo.transform[k] - b.geo.transform[k]) <= 1e-6 * cell))
            return false;
    if (a.geo.wkt.empty() || b.geo.wkt.empty())
        return a.geo.wkt.empty() && b.geo.wkt.empty();
    OGRSpatialReference x, y;
    return x.importFromWkt(a.geo.wkt.c_str()) == OGRERR_NONE && y.importFromWkt(b.geo.wkt.c_str()) == OGRERR_NONE &&
           x.IsSame(&y) != 0;
}

// Band 1 of `ds` into a grid, NaN where it has no value.
Grid<double> values_of(GDALDataset &ds, const std::string &path)
{
    GDALRasterBand *b = ds.GetRasterBand(1);
    int has_nodata = 0;
    const double nodata = b->GetNoDataValue(&has_nodata);
    const int32_t lines = ds.GetRasterYSize(), columns = ds.GetRasterXSize();
    Grid<double> g(lines, columns);
    if (g.empty())
        throw std::bad_alloc();
    for (int32_t i = 0; i < lines; i++) {
        CPLErrorReset();
        if (b->RasterIO(GF_Read, 0, i, columns, 1, g[i], columns, 1, GDT_Float64, 0, 0) != CE_None)
            throw GisError(path + ": cannot read line " + std::to_string(i) + " (" + gdal_error("read error") + ")");
        for (int32_t j = 0; j < columns; j++)
            if (has_nodata != 0 && g[i][j] == nodata)
                g[i][j] = std::numeric_limits<double>::quiet_NaN();
    }
    return g;
}

} // namespace

Grid<double> read_onto(const std::string &path, const GridPlace &place)
{
    start_gdal();
    std::error_code ec;
    if (path.rfind("/vsi", 0) != 0 && !std::filesystem::exists(path, ec))
        throw GisError(path + ": no such file");
    if (path.rfind("/vsi", 0) != 0)
        check_input(path, path);
    CPLErrorReset();
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR));
    if (!ds)
        throw GisError(path + ": " + gdal_error("not a raster GDAL can read"));
    if (ds->GetRasterCount() < 1)
        throw GisError(path + ": holds no raster band");
    const GridPlace own = place_of(*ds);
    const bool sized = own.lines == place.lines && own.columns == place.columns;
    if ((sized && (!own.geo.has_transform || !place.geo.has_transform)) || same_grid(own, place))
        return values_of(*ds, path);
    const std::string grid = std::to_string(place.columns) + " x " + std::to_string(place.lines);
    if (!place.geo.has_transform || place.geo.wkt.empty())
        throw GisError(path + ": its " + std::to_string(own.columns) + " x " + std::to_string(own.lines) +
                       " cells are not the DEM's " + grid + ", which has no georeference to warp it onto");
    if (!own.geo.has_transform || own.geo.wkt.empty())
        throw GisError(path + ": not on the DEM's grid of " + grid +
                       " cells, and without the georeference (a transform and a coordinate system) to warp it from");
    const std::array<double, 6> &t = place.geo.transform;
    if (t[2] != 0 || t[4] != 0)
        throw GisError(path + ": the grid computed is rotated, and the raster is not on it");
    const double x0 = t[0], x1 = t[0] + t[1] * place.columns;
    const double y0 = t[3] + t[5] * place.lines, y1 = t[3];
    GDALDatasetUniquePtr warped = warp_in_memory(
        ds.get(),
        {"-t_srs", place.geo.wkt, "-te", exact(std::min(x0, x1)), exact(std::min(y0, y1)), exact(std::max(x0, x1)),
         exact(std::max(y0, y1)), "-ts", std::to_string(place.columns), std::to_string(place.lines), "-r", "bilinear",
         "-ot", "Float64", "-wt", "Float64", "-dstnodata", "nan"},
        path + ": cannot be warped onto the DEM's grid");
    return values_of(*warped, path);
}

Dem read_dem(const DemRequest &r, int32_t max_side, const std::function<void(const DemShape &)> &before_reading)
{
    if (is_raw_model_name(r.path))
        return read_raw(r, max_side, before_reading);
    start_gdal();
    std::error_code ec;
    const bool virtual_file = r.path.rfind("/vsi", 0) == 0;
    if (!virtual_file && !std::filesystem::exists(r.path, ec))
        throw GisError(r.path + ": no such file");
    if (!virtual_file)
        check_input(r.path, r.path);
    CPLErrorReset();
    GDALDatasetUniquePtr ds(
        GDALDataset::Open(r.path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR));
    if (!ds)
        throw GisError(r.path + ": " + gdal_error("not a raster GDAL can read"));
    const int bands = ds->GetRasterCount();
    if (bands < 1)
        throw GisError(r.path + ": holds no raster band");
    if (r.band > bands)
        throw GisError(r.path + ": --band " + std::to_string(r.band) + ": the raster has " + std::to_string(bands) +
                       (bands == 1 ? " band" : " bands"));

    Dem dem;
    dem.format = ds->GetDriver() != nullptr ? ds->GetDriver()->GetDescription() : "";
    dem.files.push_back(r.path);
    if (char **list = ds->GetFileList()) {
        for (char **f = list; *f != nullptr; f++)
            dem.files.emplace_back(*f);
        CSLDestroy(list);
    }
    for (const std::string &f : dem.files)
        if (f.rfind("/vsi", 0) != 0)
            check_input(f, r.path);
    dem.source = place_of(*ds);
    check_side(dem.source.lines, dem.source.columns, max_side, r.path);
    if (const auto &w = r.window) {
        if (w->lines < 1 || w->columns < 1 || w->line < 0 || w->column < 0 || w->line > dem.source.lines - w->lines ||
            w->column > dem.source.columns - w->columns)
            throw GisError(r.path + ": the window of " + std::to_string(w->columns) + " x " + std::to_string(w->lines) +
                           " cells at column " + std::to_string(w->column) + ", line " + std::to_string(w->line) +
                           " lies outside its " + std::to_string(dem.source.columns) + " x " +
                           std::to_string(dem.source.lines) + " cells");
    }
    // The grid read: the window's place when there is one.
    const auto read_place = [&r](const GridPlace &whole) {
        GridPlace p = whole;
        if (const auto &w = r.window) {
            p.lines = w->lines;
            p.columns = w->columns;
            std::array<double, 6> &t = p.geo.transform;
            t[0] = t[0] + w->column * t[1] + w->line * t[2];
            t[3] = t[3] + w->column * t[4] + w->line * t[5];
        }
        return p;
    };
    int has_nodata = 0;
    const double band_nodata = ds->GetRasterBand(r.band)->GetNoDataValue(&has_nodata);
    dem.nodata = r.nodata ? r.nodata : has_nodata ? std::optional<double>(band_nodata) : std::nullopt;

    const OGRSpatialReference *srs = ds->GetSpatialRef();
    const std::array<double, 6> &t = dem.source.geo.transform;
    if (!dem.source.geo.has_transform) {
        dem.place = read_place(dem.source);
        tell_shape(before_reading, *ds, r.band, r.window);
        read_band(*ds, r.band, dem.nodata, r, dem);
        return dem;
    }
    for (const double v : t)
        if (!std::isfinite(v))
            throw GisError(r.path + ": its georeference holds numbers that are not finite");
    if (t[2] != 0 || t[4] != 0 || !(t[1] > 0) || !(t[5] < 0)) {
        const double side = std::min(std::hypot(t[1], t[4]), std::hypot(t[2], t[5]));
        throw GisError(r.path + ": the grid is rotated or not north up; make it north up with " +
                       squaring_command(r.path, dem.source, side));
    }
    const std::optional<PointScale> scale = srs != nullptr ? scale_at(dem.source, *srs) : std::nullopt;
    if (srs != nullptr && (srs->IsGeographic() || (scale && scaled(*scale)))) {
        const auto centre = centre_wgs84(dem.source, *srs);
        if (!centre && r.placed && srs->IsGeographic()) {
            // Degrees of another body: no Earth projection fits; the grid is
            // read as it is, its cells as --pixel-size gives them.
            dem.place = read_place(dem.source);
            const std::string note = r.path + ": its coordinate system is not placed on the Earth (" +
                                     gdal_error("no transformation to WGS 84") +
                                     "): read as it is, with square cells of --pixel-size and --lat";
            tell_shape(before_reading, *ds, r.band, r.window);
            read_band(*ds, r.band, dem.nodata, r, dem);
            dem.warning = dem.warning.empty() ? note : note + "; " + dem.warning;
            return dem;
        }
        if (!centre)
            throw GisError(r.path + ": the centre of the grid cannot be placed in WGS 84 (" +
                           gdal_error("no transformation") +
                           "); a grid of another body is read as it is with --lat and --pixel-size");
        if (r.window)
            throw GisError(r.path + ": " + (srs->IsGeographic() ? "is in degrees" : "has a scaled projection") +
                           " and would be reprojected, which cannot be done a window at a time; reproject it first " +
                           "(gdalwarp -t_srs EPSG:" + std::to_string(utm_epsg(centre->second, centre->first)) + ")");
        dem.reprojected = srs->IsGeographic() ? "is in degrees"
                                              : std::string("is in ") + srs->GetName() +
                                                    ", whose scale at its centre is " + scale_text(*scale);
        reproject(*ds, r, *centre, max_side, before_reading, dem);
        return dem;
    }

    dem.place = read_place(dem.source);
    if (srs != nullptr) {
        if (!srs->IsProjected() && !srs->IsLocal())
            throw GisError(r.path + ": its coordinate system is neither projected nor geographic");
        const double unit = srs->GetLinearUnits();
        const double dx = t[1] * unit;
        const double dy = -t[5] * unit;
        if (std::fabs(dx - dy) > kSquareTolerance * std::max(dx, dy))
            throw GisError(r.path + ": its cells are not square (" + exact(dx) + " by " + exact(dy) +
                           " m); make them square with " + squaring_command(r.path, dem.source, std::min(t[1], -t[5])));
        dem.pixel_size = dx;
        if (srs->IsProjected())
            if (const auto centre = centre_wgs84(dem.source, *srs)) {
                dem.longitude = centre->first;
                dem.latitude = centre->second;
            }
    }
    tell_shape(before_reading, *ds, r.band, r.window);
    read_band(*ds, r.band, dem.nodata, r, dem);
    return dem;
}

} // namespace terralume::gis
