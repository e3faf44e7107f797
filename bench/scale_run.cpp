// Whole runs at scale, measured from outside: for each side given, writes a
// seeded fractal DEM (16-bit, 30 m cells, a few hundred metres of relief),
// then runs terralume on it over an empty period (the fixed cost of a run:
// loading, conversion, preparation, final treatment, saving) and over one day
// at latitude 45 (11 sun positions), alternately, `repeat` times each. Prints
// the fixed cost per cell, the cost per cell and sun position (the day less
// the empty run, over 11), and the peak resident memory per cell; medians.
//
//     scale_run TERRALUME [SIDE ...] [--repeat N] [--year SIDE] [--folder F] [--keep]
//
// --year SIDE also runs the whole year (4015 positions) once on SIDE x SIDE.
// --keep leaves the folder (the last model and its answer files) for profiling.
#include "terrain.h"
#include "whole_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{

// The model of `side` cells a side in base/synthetic, as a 16-bit DEM.
bool write_model(const fs::path &base, int side)
{
    const fs::path folder = base / "synthetic";
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        return false;
    const std::vector<int32_t> h = terralume::tools::fractal_terrain(side, side, 2024, 200, 700);
    int32_t lo = h[0], hi = h[0];
    std::vector<unsigned char> raw(h.size() * 2);
    for (size_t k = 0; k < h.size(); k++) {
        lo = std::min(lo, h[k]);
        hi = std::max(hi, h[k]);
        raw[2 * k] = static_cast<unsigned char>(h[k] & 0xFF);
        raw[2 * k + 1] = static_cast<unsigned char>((h[k] >> 8) & 0xFF);
    }
    std::ofstream(folder / "fractal_m2.raw", std::ios::binary)
        .write(reinterpret_cast<const char *>(raw.data()), static_cast<std::streamsize>(raw.size()));
    std::ofstream(folder / "fractal_m2.txt") << side << "\n" << side << "\n2\n" << lo << "\n" << hi << "\n30\n";
    // Folder, model, 16 bits, a new result name, metres, 30 m cells, latitude
    // 45, 50 % attenuation, grey tones; then the period.
    const std::string head = "synthetic\nfractal\n0\n1\nout\n0\n30\n45\n50\n2\n";
    std::ofstream(base / "empty.txt") << head << "2\n1\n1\n1\n";
    std::ofstream(base / "day.txt") << head << "21\n3\n21\n3\n";
    std::ofstream(base / "year.txt") << head << "1\n1\n31\n12\n";
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: scale_run TERRALUME [SIDE ...] [--repeat N] [--year SIDE] [--folder F] [--keep]\n");
        return 2;
    }
    const std::string program = argv[1];
    std::vector<int> sides;
    int repeat = 3;
    int year = 0;
    bool keep = false;
    fs::path base = fs::temp_directory_path() / "terralume_scale_run";
    for (int a = 2; a < argc; a++) {
        const std::string arg = argv[a];
        if (arg == "--repeat" && a + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++a]));
        else if (arg == "--year" && a + 1 < argc)
            year = std::atoi(argv[++a]);
        else if (arg == "--folder" && a + 1 < argc)
            base = argv[++a];
        else if (arg == "--keep")
            keep = true;
        else
            sides.push_back(std::atoi(arg.c_str()));
    }
    if (sides.empty() && year == 0)
        sides = {1000, 4000, 8000, 12000};
    for (int side : sides)
        if (side < 2 || side > 30000) {
            std::fprintf(stderr, "scale_run: sides must be 2 to 30000\n");
            return 2;
        }

    std::printf("%8s %12s %12s %14s %12s %10s\n", "side", "empty run", "fixed cost", "per position", "peak", "");
    std::printf("%8s %12s %12s %14s %12s %10s\n", "", "[s]", "[ns/cell]", "[ns/cell]", "[B/cell]", "day [s]");
    for (int side : sides) {
        if (!write_model(base, side)) {
            std::fprintf(stderr, "scale_run: cannot write the model in %s\n", base.c_str());
            return 1;
        }
        std::vector<double> empty, day, peak;
        for (int r = 0; r < repeat; r++) {
            const terralume::tools::RunMeasure e = terralume::tools::measure_run({program}, base / "empty.txt", base);
            const terralume::tools::RunMeasure d = terralume::tools::measure_run({program}, base / "day.txt", base);
            if (!e.ok || !d.ok) {
                std::fprintf(stderr, "scale_run: %s failed at side %d\n", program.c_str(), side);
                return 1;
            }
            empty.push_back(e.wall);
            day.push_back(d.wall);
            peak.push_back(std::max(e.peak, d.peak));
        }
        const double cells = static_cast<double>(side) * side;
        const double fixed = terralume::tools::median(empty);
        const double per = (terralume::tools::median(day) - fixed) / (11 * cells) * 1e9;
        std::printf("%8d %12.3f %12.2f %14.3f %12.1f %10.3f\n", side, fixed, fixed / cells * 1e9, per,
                    terralume::tools::median(peak) / cells, terralume::tools::median(day));
        std::fflush(stdout);
    }
    if (year > 0) {
        if (!write_model(base, year))
            return 1;
        const terralume::tools::RunMeasure y = terralume::tools::measure_run({program}, base / "year.txt", base);
        if (!y.ok) {
            std::fprintf(stderr, "scale_run: %s failed on the year\n", program.c_str());
            return 1;
        }
        const double cells = static_cast<double>(year) * year;
        std::printf("whole year on %d x %d: %.1f s, %.3f ns per cell and position, peak %.1f bytes per cell\n", year,
                    year, y.wall, y.wall / (4015 * cells) * 1e9, y.peak / cells);
    }
    if (!keep)
        fs::remove_all(base);
    return 0;
}
