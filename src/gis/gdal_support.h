// What the files of tl_gis share about GDAL: owning handles, its last error
// as text, the argument lists of its library utilities.
#ifndef TERRALUME_GIS_GDAL_SUPPORT_H
#define TERRALUME_GIS_GDAL_SUPPORT_H

#include "raster.h"

#include <gdal_priv.h>
#include <gdal_utils.h>
#include <string>
#include <vector>

namespace terralume::gis
{

// GDAL's last error message, or `otherwise` when it left none.
std::string gdal_error(const std::string &otherwise);

// A NULL-terminated list of C strings over `args`, which must outlive it.
std::vector<char *> c_strings(std::vector<std::string> &args);

// The MEM dataset that GDALWarp makes of `source` with the gdalwarp options
// `args`; throws GisError starting with `what` when it fails.
GDALDatasetUniquePtr warp_in_memory(GDALDataset *source, std::vector<std::string> args, const std::string &what);

// Shortest decimal text that reads back as the same double.
std::string exact(double v);

} // namespace terralume::gis

#endif
