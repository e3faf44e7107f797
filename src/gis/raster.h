// Elevation models in any raster format GDAL reads, and the dialogue's raw
// models, turned into the engine's grid: elevations in metres, line 0 north,
// cells without elevation at kNoElevation (nodata.h), with where the grid
// lies on the Earth.
#ifndef TERRALUME_GIS_RASTER_H
#define TERRALUME_GIS_RASTER_H

#include "grid.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace terralume::gis
{

// A raster that cannot be read, written or placed; the message is one line
// naming the file and the reason.
class GisError : public std::runtime_error
{
  public:
    explicit GisError(const std::string &message) : std::runtime_error(message) {}
};

// Registers GDAL's drivers and sends its warnings to standard error, once.
void start_gdal();

// Where a grid lies: GDAL's affine transform (x = t0 + column t1 + line t2,
// y = t3 + column t4 + line t5, at cell corners) and the coordinate system as
// WKT; either may be missing.
struct Georeference {
    bool has_transform = false;
    std::array<double, 6> transform{};
    std::string wkt;
};

// A grid of lines x columns with its georeference.
struct GridPlace {
    int32_t lines = 0;
    int32_t columns = 0;
    Georeference geo;
};

// The grid a DEM will be computed on and what reading it takes, known from
// its header before it is read.
struct DemShape {
    int32_t lines = 0;
    int32_t columns = 0;
    uint64_t read_bytes = 0; // see Dem::read_bytes
    // The grid read, when it is reprojected (0 otherwise).
    int32_t source_lines = 0;
    int32_t source_columns = 0;
};

struct DemRequest {
    std::string path;
    int band = 1;                 // 1..bands
    std::optional<double> nodata; // overrides the band's nodata value
    // The unit of the samples: metres = sample x z_multiplier / rescale.
    double rescale = 1;
    double z_multiplier = 1;
    bool source_cells = false; // keep Dem::source_cells of a reprojected DEM
    // The latitude and the pixel size are given: a grid in the degrees of a
    // body other than the Earth is then read as it is.
    bool placed = false;
    // Only this window of the grid is read (column, line, columns, lines):
    // Dem::place is the window's, the pixel size, latitude and longitude
    // those of the whole grid. A DEM that would be reprojected is refused.
    struct Window {
        int32_t column = 0;
        int32_t line = 0;
        int32_t columns = 0;
        int32_t lines = 0;
    };
    std::optional<Window> window = std::nullopt;
};

struct Dem {
    Grid<double> dtab;                // [metre]; kNoElevation where there is none
    int64_t no_elevation = 0;         // cells without elevation
    GridPlace place;                  // of dtab
    GridPlace source;                 // of the input, which outputs may be warped back to
    std::optional<double> nodata;     // the value that marked cells without elevation
    std::optional<double> pixel_size; // [metre], from the georeference or the raw descriptor
    std::optional<double> latitude;   // of the grid's centre, WGS 84 [degree]
    std::optional<double> longitude;
    std::string format;       // GDAL's short name of the input's driver, or "raw"
    std::string reprojection; // what the input was reprojected to; empty when it was not
    std::string reprojected;  // why: "is in degrees", or the projection and its scale
    // Of a reprojected input, when asked: 1 where a cell of the source grid
    // has an elevation, 0 where it has none.
    Grid<unsigned char> source_cells;
    std::string warning; // about the input, read anyway; empty when none
    // What reading took besides dtab: the samples of a raw model, the blocks
    // of a raster that GDAL's cache keeps, a reprojection's grids.
    uint64_t read_bytes = 0;
    // The files the DEM is made of, its own name first: no output may take
    // the place of one.
    std::vector<std::string> files;
};

// The bytes GDAL's cache may hold for a raster of lines x columns of
// `sample` bytes stored in blocks of block_lines x block_columns: every block
// it touches, as far as the cache goes.
uint64_t cached_bytes(int32_t lines, int32_t columns, int32_t block_lines, int32_t block_columns, int sample);

// Reads a DEM. A name ending in _m2.raw or _m4.raw is a raw model read as the
// dialogue reads it; anything else goes through GDAL. A geographic raster, or
// a projected one whose scale at its centre differs from 1 by more than
// kScaleTolerance, is reprojected, bilinear, to the UTM zone of its centre at
// the resolution GDAL suggests for it (square cells); any other projected
// one must have square (to kSquareTolerance), north-up cells. `max_side`
// bounds either side of the grid. Beyond UTM's band (84 N, 80 S) the
// projection is the polar stereographic one of the pole (UPS). Signed bytes
// are read as such; a Float32 band's nodata is matched as a float, as GDAL
// does; infinite samples have no elevation. Files that are not regular files
// (a pipe, a device) are refused before they are read. `before_reading(shape)`,
// when given, is called before anything large is read, allocated or
// reprojected; it may throw, to refuse a DEM too large for the memory.
Dem read_dem(const DemRequest &request, int32_t max_side,
             const std::function<void(const DemShape &)> &before_reading = {});

// A raster of values beside a DEM (an albedo, a clear-sky index): its first
// band on the grid `place` computed. Read as it stands when it has that
// grid's lines and columns and either of them has no georeference, or it
// has the grid's own (the same transform, to a millionth of a cell, and
// coordinate system);
// else warped onto the grid, bilinear, from its own coordinate system. NaN
// where it has no value (its nodata, NaN, or beyond its extent). Throws
// GisError naming `path`: no such file, no band, no georeference to place
// it with when it is not on the grid.
Grid<double> read_onto(const std::string &path, const GridPlace &place);

inline constexpr double kScaleTolerance = 0.005;
inline constexpr double kSquareTolerance = 1e-6; // relative to the cell

// The scale of a projected grid's coordinate system at the grid's centre:
// a metre of its coordinates (in its linear unit) over a metre on its
// ellipsoid, along the parallel and along the meridian. Nothing when the
// grid has no transform or projection, or its centre cannot be placed.
struct PointScale {
    double parallel = 1;
    double meridian = 1;
};
std::optional<PointScale> scale_at_centre(const GridPlace &place);

// The WGS 84 longitude and latitude of the grid's centre, as a DEM on that
// grid gets them; nothing without a transform or a coordinate system, or
// when the centre cannot be placed.
std::optional<std::pair<double, double>> centre_lon_lat(const GridPlace &place);

// The UTM zone (1..60) of a longitude [degree], and the EPSG code of that zone
// north (326zz) or south (327zz) of the equator; beyond 84 N and 80 S, UPS
// North (32661) or South (32761).
int utm_zone(double longitude);
int utm_epsg(double latitude, double longitude);

} // namespace terralume::gis

#endif
