// The raster harness: arbitrary bytes as the command line's DEM.
#include "command_line.h"
#include "harness.h"
#include "nodata.h"
#include "raster.h"

#include <algorithm>
#include <cmath>
#include <cpl_conv.h>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace terralume::fuzz
{

namespace
{

// No side of a grid read passes this (a few megabytes of doubles); a whole
// run is made only on grids of at most kRunCells cells.
constexpr int32_t kMaxSide = 600;
constexpr int64_t kRunCells = 2500;

fs::path folder()
{
    static const fs::path f = [] {
        const fs::path tmp = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path p = tmp / ("terralume-fuzz-raster-" + std::to_string(getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        // GDAL's block cache kept small, and no side file of statistics.
        CPLSetConfigOption("GDAL_CACHEMAX", "16");
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
        return p;
    }();
    return f;
}

std::string names(const fs::path &dir)
{
    std::vector<std::string> found;
    for (const auto &e : fs::directory_iterator(dir))
        found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    std::string s;
    for (const std::string &n : found)
        s.append(1, ' ').append(n);
    return s;
}

} // namespace

std::optional<std::string> raster_input(const uint8_t *data, size_t size)
{
    const fs::path dir = folder();
    const fs::path dem = dir / "dem.tif";
    {
        std::ofstream f(dem, std::ios::binary);
        f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    std::optional<std::string> problem;
    // The reading: a refusal, or a grid whose every cell is an elevation
    // or the one mark of none, counted.
    bool small = false;
    try {
        const gis::Dem d = gis::read_dem({dem.string(), 1, std::nullopt, 1, 1, false, true}, kMaxSide);
        if (d.dtab.nb_lig() != d.place.lines || d.dtab.nb_col() != d.place.columns)
            problem = "the grid read is not the size its place says";
        int64_t without = 0;
        for (int32_t i = 0; i < d.dtab.nb_lig() && !problem; i++)
            for (int32_t j = 0; j < d.dtab.nb_col(); j++) {
                const double z = d.dtab[i][j];
                if (z == kNoElevation)
                    without++;
                else if (!std::isfinite(z))
                    problem = "a cell read holds " + std::to_string(z);
            }
        if (!problem && without != d.no_elevation)
            problem = "cells without elevation counted " + std::to_string(d.no_elevation) + ", found " +
                      std::to_string(without);
        small = static_cast<int64_t>(d.place.lines) * d.place.columns <= kRunCells;
    } catch (const gis::GisError &e) {
        if (std::string(e.what()).find('\n') != std::string::npos)
            problem = std::string("a refusal of more than one line: ") + e.what();
    } catch (const std::bad_alloc &) {
    }
    // A whole run over a small grid: 0 with its output, or 1 with nothing;
    // never bad usage, and no temporary left.
    if (!problem && small) {
        const std::string out = (dir / "out.tif").string();
        const std::string d = dem.string();
        const char *argv[] = {"terralume", d.c_str(), out.c_str(), "--pixel-size", "30",       "--lat",
                              "45",        "--lon",   "5",         "--from",       "06-21",    "--to",
                              "06-21",     "--step",  "60",        "-q",           "--output", "index,sunhours"};
        std::ostringstream sink_out, sink_err;
        const int status = cli::run_command_line(static_cast<int>(std::size(argv)), argv, sink_out, sink_err, false);
        const std::string left = names(dir);
        if (status != 0 && status != 1)
            problem = "status " + std::to_string(status) + ": " + sink_err.str();
        else if (status == 0 && left != " dem.tif out_index.tif out_sunhours.tif")
            problem = "a run that ended 0 left:" + left;
        else if (status == 1 && left != " dem.tif")
            problem = "a failed run left:" + left;
    }
    for (const auto &e : fs::directory_iterator(dir))
        fs::remove_all(e.path());
    return problem;
}

} // namespace terralume::fuzz
