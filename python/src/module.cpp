// The compiled part of the Python package: a DEM held in a numpy array run
// through the command line's own computation. The array is read in place,
// through GDAL's virtual files (a raw band over its memory, with the
// georeference given), by the command line's reader, so that every check,
// unit, nodata rule and reprojection is the command line's; the options are
// parsed by the command line's parser from its own option names.
#include "computation.h"
#include "options.h"
#include "parallel.h"
#include "raster.h"
#include "run.h"
#include "sky_options.h"
#include "solar_period.h"

#include <cpl_vsi.h>
#include <ogr_spatialref.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace terralume;

namespace
{

// The threads of a call that gives none: the runtime's, as the module loads.
int default_threads = 1;

// A sun this close to an axis (the sine of its angle to it) shines on no
// side across it.
constexpr double kAxisSide = 1e-9;

std::string exact(double v)
{
    char s[64];
    std::snprintf(s, sizeof s, "%.17g", v);
    return s;
}

std::string xml_escaped(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Every occurrence of `from` in `text` replaced with `to`.
std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (size_t p = 0; (p = text.find(from, p)) != std::string::npos; p += to.size())
        text.replace(p, from.size(), to);
    return text;
}

// GDAL's name of a sample type of numpy, and whether its bytes are signed
// bytes read as such.
struct BandType {
    const char *gdal;
    bool signed_bytes = false;
};

BandType band_type(const py::dtype &dt)
{
    const char kind = dt.kind();
    const auto size = dt.itemsize();
    if (kind == 'f' && size == 4)
        return {"Float32"};
    if (kind == 'f' && size == 8)
        return {"Float64"};
    if (kind == 'i' || kind == 'u') {
        const bool s = kind == 'i';
        switch (size) {
        case 1:
            return {"Byte", s};
        case 2:
            return {s ? "Int16" : "UInt16"};
        case 4:
            return {s ? "Int32" : "UInt32"};
        case 8:
            return {s ? "Int64" : "UInt64"};
        default:
            break;
        }
    }
    throw py::type_error("dem: the samples must be real numbers (integers or floats of 1 to 8 bytes), not " +
                         py::str(static_cast<const py::handle &>(dt)).cast<std::string>());
}

// The array as a DEM GDAL opens: a raw band over its memory in /vsimem/,
// described by a VRT with the georeference given. Removed when destroyed.
class ArrayRaster
{
  public:
    ArrayRaster(const py::array &a, const std::optional<std::array<double, 6>> &transform, const std::string &wkt,
                std::optional<double> band_nodata)
    {
        static std::atomic<unsigned long> serial{0};
        const std::string stem = "/vsimem/terralume/" + std::to_string(serial++);
        data_ = stem + ".bin";
        path_ = stem + ".vrt";
        const BandType type = band_type(a.dtype());
        const py::ssize_t lines = a.shape(0), columns = a.shape(1);
        const py::ssize_t size = a.itemsize();
        const py::ssize_t span = (lines - 1) * a.strides(0) + (columns - 1) * a.strides(1) + size;
        VSILFILE *f = VSIFileFromMemBuffer(data_.c_str(), static_cast<GByte *>(const_cast<void *>(a.data())),
                                           static_cast<vsi_l_offset>(span), FALSE);
        if (f == nullptr)
            throw std::bad_alloc();
        VSIFCloseL(f);
        const char order = a.dtype().byteorder();
        std::ostringstream vrt;
        vrt << "<VRTDataset rasterXSize=\"" << columns << "\" rasterYSize=\"" << lines << "\">\n";
        if (!wkt.empty())
            vrt << "<SRS>" << xml_escaped(wkt) << "</SRS>\n";
        if (transform) {
            vrt << "<GeoTransform>";
            for (size_t k = 0; k < 6; k++)
                vrt << (k ? ", " : "") << exact((*transform)[k]);
            vrt << "</GeoTransform>\n";
        }
        vrt << "<VRTRasterBand dataType=\"" << type.gdal << "\" band=\"1\" subClass=\"VRTRawRasterBand\">\n";
        if (band_nodata)
            vrt << "<NoDataValue>" << (std::isnan(*band_nodata) ? "nan" : exact(*band_nodata)) << "</NoDataValue>\n";
        if (type.signed_bytes)
            vrt << "<Metadata domain=\"IMAGE_STRUCTURE\"><MDI key=\"PIXELTYPE\">SIGNEDBYTE</MDI></Metadata>\n";
        vrt << "<SourceFilename relativeToVRT=\"0\">" << data_ << "</SourceFilename>\n"
            << "<ImageOffset>0</ImageOffset><PixelOffset>" << a.strides(1) << "</PixelOffset><LineOffset>"
            << a.strides(0) << "</LineOffset><ByteOrder>" << (order == '>' ? "MSB" : "LSB") << "</ByteOrder>\n"
            << "</VRTRasterBand>\n</VRTDataset>\n";
        text_ = vrt.str();
        f = VSIFileFromMemBuffer(path_.c_str(), reinterpret_cast<GByte *>(text_.data()), text_.size(), FALSE);
        if (f == nullptr) {
            VSIUnlink(data_.c_str());
            throw std::bad_alloc();
        }
        VSIFCloseL(f);
    }
    ~ArrayRaster()
    {
        VSIUnlink(path_.c_str());
        VSIUnlink(data_.c_str());
    }
    ArrayRaster(const ArrayRaster &) = delete;
    ArrayRaster &operator=(const ArrayRaster &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string data_, path_, text_;
};

// A failure of the call, raised in Python as the exception of its kind.
struct Raised {
    enum Kind { Value, Type, Memory, Python } kind;
    std::string message;
};

// The command line's options from its arguments (after DEM and OUTPUT).
cli::Options options_of(const std::string &dem, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"terralume", dem, "python"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<const char *> c;
    for (const std::string &a : argv)
        c.push_back(a.c_str());
    std::ostringstream out;
    try {
        std::optional<cli::Options> o = cli::parse_options(static_cast<int>(c.size()), c.data(), out);
        if (!o)
            throw Raised{Raised::Value, "no computation is asked"};
        return *o;
    } catch (const cli::UsageError &e) {
        const std::string m = e.what();
        // An option the command line does not have.
        const bool unknown = m.find("not expected") != std::string::npos;
        throw Raised{unknown ? Raised::Type : Raised::Value, m};
    }
}

[[noreturn]] void raise(const Raised &r)
{
    switch (r.kind) {
    case Raised::Type:
        throw py::type_error(r.message);
    case Raised::Memory:
        PyErr_SetString(PyExc_MemoryError, r.message.c_str());
        throw py::error_already_set();
    case Raised::Python:
        throw py::error_already_set();
    default:
        throw py::value_error(r.message);
    }
}

py::dict report_of(const gis::Layer &layer, const std::string &path, const std::string &name)
{
    py::dict d;
    for (const auto &[key, value] : layer.metadata)
        d[py::str(key)] = replaced(value, path, name);
    return d;
}

py::dict georeference(const gis::GridPlace &p)
{
    py::dict d;
    d["lines"] = p.lines;
    d["columns"] = p.columns;
    if (p.geo.has_transform)
        d["transform"] = py::make_tuple(p.geo.transform[0], p.geo.transform[1], p.geo.transform[2], p.geo.transform[3],
                                        p.geo.transform[4], p.geo.transform[5]);
    else
        d["transform"] = py::none();
    d["crs"] = p.geo.wkt.empty() ? py::object(py::none()) : py::object(py::str(p.geo.wkt));
    return d;
}

// The whole computation of one call; see terralume.compute.
py::tuple compute(const py::array &dem, const std::vector<std::string> &args, const std::string &name,
                  std::optional<std::array<double, 6>> transform, const std::string &wkt,
                  std::optional<double> band_nodata, const py::object &progress,
                  std::optional<std::array<int32_t, 4>> origin)
{
    if (dem.ndim() != 2)
        throw py::value_error(name + ": a DEM is a 2-D array, not one of " + std::to_string(dem.ndim()) +
                              (dem.ndim() == 1 ? " dimension" : " dimensions"));
    if (dem.shape(0) == 0 || dem.shape(1) == 0)
        throw py::value_error(name + ": the array holds no cell");
    if (dem.shape(0) > run::kMaxSide || dem.shape(1) > run::kMaxSide)
        throw py::value_error(name + ": the grid of " + std::to_string(dem.shape(0)) + " lines and " +
                              std::to_string(dem.shape(1)) + " columns is too large: no side may pass " +
                              std::to_string(run::kMaxSide) + " cells");
    if (dem.strides(0) < 0 || dem.strides(1) < 0)
        throw py::value_error(name + ": the array's strides must not be negative");
    ArrayRaster raster(dem, transform, wkt, band_nodata);
    cli::Options o;
    try {
        o = options_of(raster.path(), args);
    } catch (const Raised &r) {
        raise(r);
    }
    // A window of a larger raster: the exact shadows' rays stand on that
    // raster's grid, so the window's core gets the whole's bits.
    if (origin)
        o.origin = {(*origin)[0], (*origin)[1], (*origin)[2], (*origin)[3]};
    const int threads = o.threads > 0 ? o.threads : default_threads;

    cli::Results r;
    std::ostringstream err;
    std::optional<Raised> failed;
    std::exception_ptr stopped;
    auto last = std::chrono::steady_clock::now();
    const auto done = [&](size_t n, size_t total) {
        const auto now = std::chrono::steady_clock::now();
        if (n != total && now - last < std::chrono::milliseconds(100))
            return;
        last = now;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (!progress.is_none())
            progress(n, total);
    };
    {
        py::gil_scoped_release released;
        set_threads(threads);
        try {
            cli::load(o, {}, r, err);
            cli::compute(o, {}, r, err, false, done);
        } catch (const cli::Failure &f) {
            failed = Raised{f.memory ? Raised::Memory : Raised::Value, f.message};
        } catch (const std::bad_alloc &) {
            failed = Raised{Raised::Memory, o.dem + ": not enough memory for its grids"};
        } catch (const py::error_already_set &) {
            stopped = std::current_exception();
        }
    }
    if (stopped)
        std::rethrow_exception(stopped);
    if (failed) {
        failed->message = replaced(failed->message, raster.path(), name);
        raise(*failed);
    }
    o.dem = name;

    const int32_t lines = r.dem.place.lines, columns = r.dem.place.columns;
    py::dict outputs, reports;
    for (const cli::OutputKind kind : o.kinds) {
        const gis::Layer layer = cli::layer_of(o, r, kind);
        // A layer of many bands (the horizons) is an array of bands x lines x columns.
        std::vector<const std::function<void(int32_t, double *)> *> bands = {&layer.line};
        for (const gis::Layer::Band &b : layer.more_bands)
            bands.push_back(&b.line);
        // A series is bands x lines x columns, even of one band.
        const bool series = cli::in_series(o, kind);
        std::vector<py::ssize_t> shape = {lines, columns};
        if (bands.size() > 1 || series)
            shape.insert(shape.begin(), static_cast<py::ssize_t>(bands.size()));
        py::array out;
        if (layer.type == gis::SampleType::Byte)
            out = py::array_t<uint8_t>(shape);
        else if (layer.type == gis::SampleType::Float32)
            out = py::array_t<float>(shape);
        else
            out = py::array_t<double>(shape);
        void *data = out.mutable_data();
        {
            py::gil_scoped_release released;
            std::vector<double> row(static_cast<size_t>(columns));
            const size_t cells = static_cast<size_t>(lines) * static_cast<size_t>(columns);
            for (size_t k = 0; k < bands.size(); k++)
                for (int32_t i = 0; i < lines; i++) {
                    (*bands[k])(i, row.data());
                    const size_t at = k * cells + static_cast<size_t>(i) * static_cast<size_t>(columns);
                    if (layer.type == gis::SampleType::Byte)
                        std::transform(row.begin(), row.end(), static_cast<uint8_t *>(data) + at,
                                       [](double v) { return static_cast<uint8_t>(v); });
                    else if (layer.type == gis::SampleType::Float32)
                        std::transform(row.begin(), row.end(), static_cast<float *>(data) + at,
                                       [](double v) { return static_cast<float>(v); });
                    else
                        std::copy(row.begin(), row.end(), static_cast<double *>(data) + at);
                }
        }
        py::dict rep = report_of(layer, raster.path(), name);
        // A series' bands are described by their dates (series_dates).
        rep["description"] = series ? std::string(cli::kind_description(kind)) : layer.description;
        rep["unit"] = layer.unit;
        rep["nodata"] = layer.nodata;
        if (series) {
            // Each band's first and last days, YYYY-MM-DD (of the reference
            // year with the simple sun).
            py::list dates;
            for (const run::SeriesBand &b : r.series)
                dates.append(py::make_tuple(format_date(b.first), format_date(b.last)));
            rep["series_dates"] = dates;
        }
        outputs[cli::kind_name(kind)] = out;
        reports[cli::kind_name(kind)] = rep;
    }
    py::list warnings;
    for (const std::string &w : o.warnings)
        warnings.append(w);
    std::istringstream notes(err.str());
    for (std::string line; std::getline(notes, line);)
        if (!line.empty())
            warnings.append(replaced(line.rfind("terralume: ", 0) == 0 ? line.substr(11) : line, raster.path(), name));
    py::dict settled;
    settled["pixel_size"] = r.pixel_size;
    settled["lat"] = r.lat;
    if (o.solar_sun && !r.solar_report.empty()) {
        settled["lon"] = r.solar.place.lon;
        settled["height"] = r.solar.place.height;
        settled["utc_offset"] = r.solar.utc_offset;
    }
    settled["reprojection"] = r.dem.reprojection;
    settled["grid"] = georeference(r.dem.place);
    return py::make_tuple(outputs, reports, warnings, settled);
}

// What a grid's georeference gives without reading it: the side of its
// cells, the longitude and latitude of its centre, whether it would be
// reprojected (in degrees, or scaled) and the UTM or UPS zone it would be
// reprojected to.
py::dict placement(int32_t lines, int32_t columns, const std::array<double, 6> &transform, const std::string &wkt)
{
    gis::GridPlace p;
    p.lines = lines;
    p.columns = columns;
    p.geo.has_transform = true;
    p.geo.transform = transform;
    p.geo.wkt = wkt;
    py::dict d;
    OGRSpatialReference srs;
    if (srs.importFromWkt(wkt.c_str()) != OGRERR_NONE)
        throw py::value_error("the coordinate system cannot be read");
    const auto centre = gis::centre_lon_lat(p);
    const auto scale = gis::scale_at_centre(p);
    if (centre) {
        d["lon"] = centre->first;
        d["lat"] = centre->second;
        d["epsg"] = gis::utm_epsg(centre->second, centre->first);
    }
    d["geographic"] = srs.IsGeographic() != 0;
    d["projected"] = srs.IsProjected() != 0;
    d["scaled"] = scale && (std::fabs(scale->parallel - 1) > gis::kScaleTolerance ||
                            std::fabs(scale->meridian - 1) > gis::kScaleTolerance);
    const double unit = srs.GetLinearUnits();
    d["pixel_size"] = transform[1] * unit;
    d["square"] = std::fabs(transform[1] * unit + transform[5] * unit) <=
                  gis::kSquareTolerance * std::max(transform[1] * unit, -transform[5] * unit);
    return d;
}

// Where the sun stands over the period of `args`, at the place they give
// (--lat, and --lon and --height with the real sun), and at --sun-position:
// its lowest elevation [degree] (90 when no output needs the sun), and the
// sides of the grid (north, south, east, west) it shines from at some
// position.
py::dict sun_extent(const std::vector<std::string> &args)
{
    cli::Options o;
    try {
        o = options_of("dem", args);
    } catch (const Raised &r) {
        raise(r);
    }
    double lowest = 90;
    bool north = false, south = false, east = false, west = false;
    const auto see = [&](double elev, double azim) {
        lowest = std::min(lowest, elev);
        const double a = azim * std::acos(-1.0) / 180;
        north = north || std::cos(a) > kAxisSide;
        south = south || std::cos(a) < -kAxisSide;
        east = east || std::sin(a) > kAxisSide;
        west = west || std::sin(a) < -kAxisSide;
    };
    if (o.sun_position)
        see(o.sun_position->first, o.sun_position->second);
    bool positions = false;
    for (const cli::OutputKind k : o.kinds)
        positions = positions || (k != cli::OutputKind::Shadow && k != cli::OutputKind::Elevation);
    const auto visit = [&](const run::Positions &p) {
        p.visit({}, [&](const SunPosition &q, const run::Moment &) { see(q.elev, q.azim); });
    };
    if (positions && o.solar_sun) {
        SolarSettings s = o.solar;
        s.place.lat = o.lat.value_or(0);
        s.place.lon = o.lon.value_or(0);
        s.place.height = o.height.value_or(0);
        s.utc_offset = o.utc_offset ? *o.utc_offset : nominal_utc_offset(s.place.lon);
        visit(run::Positions::solar(solar_period(s).positions));
    } else if (positions) {
        const Period period = period_between(o.first_day, o.last_day);
        visit(run::Positions::hourly(period.pieces, o.lat.value_or(0), hourly_weight(period.days())));
    }
    py::dict d;
    d["lowest"] = lowest;
    d["north"] = north;
    d["south"] = south;
    d["east"] = east;
    d["west"] = west;
    return d;
}

} // namespace

PYBIND11_MODULE(_terralume, m)
{
    m.doc() = "The compiled part of terralume: see the package terralume.";
    default_threads = max_threads();
    m.def("compute", &compute, py::arg("dem"), py::arg("args"), py::arg("name"), py::arg("transform"), py::arg("crs"),
          py::arg("band_nodata"), py::arg("progress"), py::arg("origin") = py::none());
    m.def("placement", &placement);
    m.def("sun_extent", &sun_extent);
    m.def("shadow_reach", &run::shadow_reach, py::arg("relief"), py::arg("elevation"), py::arg("curvature"));
    m.def("version", &cli::version);
    m.attr("kinds") = [] {
        std::vector<std::string> k;
        for (const cli::KindName &n : cli::kKindNames)
            k.emplace_back(n.name);
        return k;
    }();
}
