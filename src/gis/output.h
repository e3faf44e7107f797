// Result grids written as rasters of any format GDAL creates: georeference,
// nodata, the report of the run as metadata; each written under a temporary
// name and given its own only when complete.
#ifndef TERRALUME_GIS_OUTPUT_H
#define TERRALUME_GIS_OUTPUT_H

#include "raster.h"

class GDALDataset;

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
    // The bands after the first, in order: each its lines and description,
    // with the first's type, nodata and unit.
    struct Band {
        std::function<void(int32_t i, double *values)> line;
        std::string description;
    };
    std::vector<Band> more_bands;
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

// Writes `layer` over `place` (lines x columns) into the folder `area` (a
// staged set's, commit.h) under `path`'s file name, with the files the driver
// writes beside it. With `back`, the layer is first warped from `place` onto
// that grid; with `back_cells` too (1 where a cell of that grid has an
// elevation), exactly those cells have a value: any the warp left without one
// takes the nearest value (fill_from_nearest), the others are nodata. Every write, flush and close is checked, and the
// written raster is read back whole before it is taken as complete: a file cut short (a full disk, a file-size limit)
// is a failure. Throws GisError naming `path`.
void write_raster(const std::string &path, const std::string &area, const Format &format, const GridPlace &place,
                  const Layer &layer, const GridPlace *back = nullptr, const Grid<unsigned char> *back_cells = nullptr);

// Gives every cell of `cells` that holds `nodata` (or NaN) in `values`
// (row-major, lines x columns) the value of the nearest cell that holds one,
// nearest in steps to any of the 8 neighbours, ring by ring from the cells
// with a value: each ring reaches the cells beside its own (north, west,
// east, south), then those on their diagonals, and a cell takes the value of
// the first to reach it (the cells of the first ring in order of lines and
// columns, of a later one in the order they were reached). Every cell
// outside `cells` becomes nodata. When no cell holds a value, none gets one.
void fill_from_nearest(std::vector<double> &values, const Grid<unsigned char> &cells, double nodata);

// write_raster through a staged set of its own, committed under the lock
// beside `path` (commit.h): for the programs that write one raster.
void write_one(const std::string &path, const Format &format, const GridPlace &place, const Layer &layer);

// Copies `source` (a mosaic of files, say) to `path` in `format` through a
// staged set of its own under the lock beside `path`, block by block as the
// driver reads them, so a raster larger than memory can be written; checked
// and read back as write_raster does. Throws GisError naming `path`.
void write_copy(const std::string &path, const Format &format, GDALDataset &source);

// The layer's sample type is one the format can hold; throws GisError naming
// the format and `kind` otherwise.
void check_holds(const Format &format, const Layer &layer, const std::string &kind);

// True when the driver writes a folder rather than a file (Zarr).
bool writes_folder(const Format &format);

// The bytes writing a layer of `type` over `place` holds (the layer in
// memory, the output's blocks in GDAL's cache; with `back`, the layer warped
// onto that grid and what filling it takes), for the memory budget.
uint64_t writing_bytes(const Format &format, const GridPlace &place, SampleType type, const GridPlace *back = nullptr);

// Checks, before any computation, that `path` can be created: its folder
// exists and is writable; it is not a folder (but the earlier store of a
// format that writes folders), a symbolic link, a device, a pipe or a socket.
void check_creatable(const std::string &path, const Format &format);

// Checks that the file or folder `path`, which an output is about to
// replace, is a regular file (or, for `folder`, the earlier store of a
// format that writes folders) or is not there.
void check_replaceable(const std::string &path, bool folder);

} // namespace terralume::gis

#endif
