// Result grids written as rasters of any format GDAL creates: georeference,
// nodata, the report of the run as metadata; each written under a temporary
// name and given its own only when complete.
#ifndef TERRALUME_GIS_OUTPUT_H
#define TERRALUME_GIS_OUTPUT_H

#include "raster.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace terralume::gis
{

enum class SampleType { Byte, UInt16, Float32, Float64 };

// One band of results.
struct Layer {
    SampleType type = SampleType::Float32;
    // Fills `values` (columns long) with line i; cells without a value get
    // `nodata`.
    std::function<void(int32_t i, double *values)> line;
    double nodata = 0;
    std::string description; // the band's description
    std::string unit;        // the band's unit, empty when none
    // Warped back onto the input's grid: bilinear, or nearest for classes.
    bool classes = false;
    std::vector<std::pair<std::string, std::string>> metadata;
};

struct Format {
    std::string driver;                        // GDAL's short name
    std::vector<std::string> creation_options; // NAME=VALUE
};

// The driver for `path`: `requested` (-of) when given, else the one whose
// extension `path` bears, GeoTIFF when it has none. Checks that the driver
// exists and can create rasters; adds the defaults of GeoTIFF (DEFLATE,
// tiled) under the options given. Throws GisError naming the option or path.
Format output_format(const std::string &path, const std::string &requested,
                     const std::vector<std::string> &creation_options);

// A raster written completely under a temporary name in its folder; commit()
// gives it (and any file beside it that the driver wrote) its name, and the
// destructor removes what was not committed.
class PendingRaster
{
  public:
    PendingRaster(std::string path, std::string folder) : path_(std::move(path)), folder_(std::move(folder)) {}
    PendingRaster(const PendingRaster &) = delete;
    PendingRaster &operator=(const PendingRaster &) = delete;
    ~PendingRaster();
    const std::string &path() const { return path_; }
    void commit();

  private:
    std::string path_;   // the final name
    std::string folder_; // the temporary folder beside it, holding the files under their final names
};

// Writes `layer` over `place` (lines x columns) to `path`. With `back`, the
// layer is first warped from `place` onto that grid; with `back_cells` too
// (1 where a cell of that grid has an elevation), exactly those cells have a
// value: any the warp left without one takes the nearest value
// (fill_from_nearest), the others are nodata. Throws GisError naming `path`.
std::unique_ptr<PendingRaster> write_raster(const std::string &path, const Format &format, const GridPlace &place,
                                            const Layer &layer, const GridPlace *back = nullptr,
                                            const Grid<unsigned char> *back_cells = nullptr);

// Gives every cell of `cells` that holds `nodata` (or NaN) in `values`
// (row-major, lines x columns) the value of the nearest cell that holds one,
// nearest in steps to any of the 8 neighbours, ring by ring from the cells
// with a value: each ring reaches the cells beside its own (north, west,
// east, south), then those on their diagonals, and a cell takes the value of
// the first to reach it (the cells of the first ring in order of lines and
// columns, of a later one in the order they were reached). Every cell
// outside `cells` becomes nodata. When no cell holds a value, none gets one.
void fill_from_nearest(std::vector<double> &values, const Grid<unsigned char> &cells, double nodata);

// The bytes writing a layer of `type` over `place` holds (the layer in
// memory, the output's blocks in GDAL's cache; with `back`, the layer warped
// onto that grid and what filling it takes), for the memory budget.
uint64_t writing_bytes(const Format &format, const GridPlace &place, SampleType type, const GridPlace *back = nullptr);

// Checks, before any computation, that `path` can be created: its folder
// exists and is writable, and it is not a folder.
void check_creatable(const std::string &path);

} // namespace terralume::gis

#endif
