// A whole run, measured from outside: writes a seeded fractal DEM (16-bit,
// 30 m cells, a few hundred metres of relief) into a scratch base folder,
// runs terralume on it for the whole year at latitude 45 with its console to
// /dev/null, and prints the wall time, the time per cell per sun position and
// the peak resident memory per cell of the process.
//
//     year_run TERRALUME [SIDE [FOLDER]]      (SIDE defaults to 1000)
#include "terrain.h"
#include "whole_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: year_run TERRALUME [SIDE [FOLDER]]\n");
        return 2;
    }
    const std::string program = argv[1];
    const int side = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (side < 2 || side > 20000) {
        std::fprintf(stderr, "year_run: SIDE must be 2 to 20000\n");
        return 2;
    }
    const fs::path base = argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path() / "terralume_year_run";
    const fs::path folder = base / "synthetic";
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "year_run: cannot create %s\n", folder.c_str());
        return 1;
    }

    // The model: samples in metres, 200 to about 900.
    const std::vector<int32_t> h = terralume::tools::fractal_terrain(side, side, 2024, 200, 700);
    int32_t lo = h[0], hi = h[0];
    std::string raw;
    raw.reserve(h.size() * 2);
    for (int32_t v : h) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        raw += static_cast<char>(v & 0xFF);
        raw += static_cast<char>((v >> 8) & 0xFF);
    }
    std::ofstream(folder / "fractal_m2.raw", std::ios::binary) << raw;
    std::ofstream(folder / "fractal_m2.txt") << side << "\n" << side << "\n2\n" << lo << "\n" << hi << "\n30\n";
    // Folder, model, 16 bits, a new result name, metres, 30 m cells, latitude
    // 45, 50 % attenuation, grey tones, 1 January to 31 December.
    std::ofstream(base / "answers.txt") << "synthetic\nfractal\n0\n1\nyear\n0\n30\n45\n50\n2\n1\n1\n31\n12\n";
    fs::remove(folder / "year_irra.raw", ec);

    const terralume::tools::RunMeasure m = terralume::tools::measure_run({program}, base / "answers.txt", base);
    if (!m.ok || !fs::exists(folder / "year_irra.raw")) {
        std::fprintf(stderr, "year_run: %s failed\n", program.c_str());
        return 1;
    }
    const double cells = static_cast<double>(side) * side;
    const double positions = 4015; // 365 days x 11 hours with the sun up at latitude 45
    std::printf("grid %d x %d, %g sun positions\n", side, side, positions);
    std::printf("wall time          %.2f s (processor time %.2f s)\n", m.wall, m.cpu);
    std::printf("per cell, position %.3f ns\n", m.wall / (cells * positions) * 1e9);
    std::printf("peak memory        %.1f MB, %.1f bytes per cell\n", m.peak / (1024.0 * 1024.0), m.peak / cells);
    return 0;
}
