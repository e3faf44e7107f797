// The cost of a run by tiles against the whole-raster run, side by side, in
// one process: the same seeded SIDE x SIDE GeoTIFF (30 m cells, UTM zone 31
// north, latitude 45, 500 m of relief), the same options, whole and with
// --tile CELLS. Each tiled case reports the cells read (core and halo) over
// the cells of the raster as `read_share`; the tiled run should cost at most
// read_share x 1.1 the whole run. Both the wall time and the processor time
// of the whole process are reported.
//
//     tiles_cost [--benchmark_...]   (TL_TILES_SIDE, default 1000; TL_TILES_DAYS, default 7, 365 the
//                                     whole year; TL_TILES_TILE, a tile side instead of 250 and 500;
//                                     TL_TILES_REPEATS, default 3)
#include "command_line.h"
#include "output.h"
#include "terrain.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

int side()
{
    const char *s = std::getenv("TL_TILES_SIDE");
    return s != nullptr ? std::atoi(s) : 1000;
}

int repeats()
{
    const char *s = std::getenv("TL_TILES_REPEATS");
    return s != nullptr ? std::max(1, std::atoi(s)) : 3;
}

int days()
{
    const char *s = std::getenv("TL_TILES_DAYS");
    return s != nullptr ? std::atoi(s) : 7;
}

const fs::path &folder()
{
    static const fs::path f = [] {
        const fs::path p = fs::temp_directory_path() / ("terralume_tiles_cost_" + std::to_string(side()));
        fs::create_directories(p);
        const std::string tif = (p / "dem.tif").string();
        if (!fs::exists(tif)) {
            const int n = side();
            const std::vector<int32_t> h = terralume::tools::fractal_terrain(n, n, 2024, 200, 700);
            terralume::gis::GridPlace place;
            place.lines = n;
            place.columns = n;
            place.geo.has_transform = true;
            place.geo.transform = {500000 - 15.0 * n, 30, 0, 4983967 + 15.0 * n, 0, -30};
            place.geo.wkt = "EPSG:32631";
            terralume::gis::Layer layer;
            layer.type = terralume::gis::SampleType::UInt16;
            layer.line = [&](int32_t i, double *v) {
                for (int32_t j = 0; j < n; j++)
                    v[j] = h[static_cast<size_t>(i) * n + j];
            };
            terralume::gis::write_one(tif, terralume::gis::output_format(tif, "", {}), place, layer);
        }
        return p;
    }();
    return f;
}

int run(const std::vector<std::string> &args)
{
    std::vector<const char *> argv = {"terralume"};
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = terralume::cli::run_command_line(static_cast<int>(argv.size()), argv.data(), out, err, false);
    if (status != 0)
        std::fprintf(stderr, "tiles_cost: %s\n", err.str().c_str());
    return status;
}

std::vector<std::string> options(const std::string &output)
{
    // Days of June from the 21st, or (365) the whole year.
    char to[16];
    std::snprintf(to, sizeof to, "06-%02d", std::clamp(20 + days(), 21, 30));
    const bool year = days() >= 365;
    return {(folder() / "dem.tif").string(),
            (folder() / output).string(),
            "--sun",
            "simple",
            "--from",
            year ? "01-01" : "06-21",
            "--to",
            year ? "12-31" : to,
            "--output",
            "sunhours,illumination",
            "-q"};
}

void BM_Whole(benchmark::State &state)
{
    const std::vector<std::string> args = options("whole.tif");
    for (auto _ : state)
        if (run(args) != 0)
            state.SkipWithError("the whole run failed");
    state.counters["read_share"] = 1;
}

void BM_Tiled(benchmark::State &state)
{
    std::vector<std::string> args = options("tiled.tif");
    args.insert(args.end(), {"--tile", std::to_string(state.range(0))});
    for (auto _ : state)
        if (run(args) != 0)
            state.SkipWithError("the tiled run failed");
    // The halo of the plan: the longest shadow of 500 m of relief under the
    // lowest simple sun of these days, plus the margin.
    std::vector<std::string> plan = {"tiles", "plan"};
    plan.insert(plan.end(), args.begin(), args.end());
    const std::string path = (folder() / "plan.json").string();
    plan.push_back(path);
    run(plan);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = text.find("\"halo\":");
    const long halo = at != std::string::npos ? std::atol(text.c_str() + at + 7) : 0;
    const long n = side(), t = state.range(0);
    double read = 0;
    for (long i = 0; i < n; i += t)
        for (long j = 0; j < n; j += t) {
            const long l = std::min(n, i + t + halo) - std::max(0L, i - halo);
            const long c = std::min(n, j + t + halo) - std::max(0L, j - halo);
            read += static_cast<double>(l) * static_cast<double>(c);
        }
    state.counters["read_share"] = read / (static_cast<double>(n) * static_cast<double>(n));
    state.counters["halo"] = static_cast<double>(halo);
}

// The CPU column is the processor time of the whole process, every thread's:
// the work the tiles cost, apart from how well two threads share a small
// tile.
BENCHMARK(BM_Whole)
    ->Unit(benchmark::kSecond)
    ->MeasureProcessCPUTime()
    ->Iterations(1)
    ->Repetitions(repeats())
    ->ReportAggregatesOnly(true);
// The tile sides: TL_TILES_TILE, or 250 and 500.
void tile_sides(benchmark::internal::Benchmark *b)
{
    const char *t = std::getenv("TL_TILES_TILE");
    if (t != nullptr) {
        b->Arg(std::atoi(t));
    } else {
        b->Arg(250);
        b->Arg(500);
    }
}

BENCHMARK(BM_Tiled)
    ->Apply(tile_sides)
    ->Unit(benchmark::kSecond)
    ->MeasureProcessCPUTime()
    ->Iterations(1)
    ->Repetitions(repeats())
    ->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
