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

// While alive, GDAL's failures on this thread are gathered, the first one's
// message kept, and its warnings go to standard error as elsewhere: a failure
// that a later message would hide from CPLGetLastErrorType is still seen.
class GdalErrors
{
  public:
    GdalErrors();
    GdalErrors(const GdalErrors &) = delete;
    GdalErrors &operator=(const GdalErrors &) = delete;
    ~GdalErrors();
    bool failed() const { return failed_; }
    // The first failure's message, or `otherwise`.
    std::string first(const std::string &otherwise) const { return first_.empty() ? otherwise : first_; }
    // Messages name `to` where GDAL names `from` (a temporary name).
    void rename(const std::string &from, const std::string &to)
    {
        from_ = from;
        to_ = to;
    }

  private:
    static void CPL_STDCALL on_message(CPLErr level, CPLErrorNum, const char *message);
    bool failed_ = false;
    std::string first_;
    std::string from_, to_;
};

// Shortest decimal text that reads back as the same double.
std::string exact(double v);

} // namespace terralume::gis

#endif
