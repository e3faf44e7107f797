// The command line against the dialogue, side by side: the same seeded
// 1000 x 1000 model (16-bit, 30 m cells) as a raw model for the dialogue and
// as a GeoTIFF (UTM zone 31 north, latitude 45 at its centre) for the
// command line; a whole year each, `--output sunhours,illumination --sun
// simple --shadows rays --slope dialogue` for the command line. The runs alternate; each program's median wall and
// processor times and their ratios are printed (the processor time varies less on a machine that other work keeps
// busy).
//
//     cli_year TERRALUME [SIDE [RUNS [FOLDER]]]     (1000, 3)
#include "output.h"
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
#include <vector>

namespace fs = std::filesystem;

using terralume::tools::measure_run;
using terralume::tools::median;

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 5) {
        std::fprintf(stderr, "usage: cli_year TERRALUME [SIDE [RUNS [FOLDER]]]\n");
        return 2;
    }
    const std::string program = fs::absolute(argv[1]).string();
    const int side = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    if (side < 2 || side > 20000 || runs < 1) {
        std::fprintf(stderr, "cli_year: SIDE must be 2 to 20000, RUNS at least 1\n");
        return 2;
    }
    const fs::path base = argc > 4 ? fs::path(argv[4]) : fs::temp_directory_path() / "terralume_cli_year";
    const fs::path folder = base / "synthetic";
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "cli_year: cannot create %s\n", folder.c_str());
        return 1;
    }

    const std::vector<int32_t> h = terralume::tools::fractal_terrain(side, side, 2024, 200, 700);
    std::string raw;
    for (int32_t v : h) {
        raw += static_cast<char>(v & 0xFF);
        raw += static_cast<char>((v >> 8) & 0xFF);
    }
    std::ofstream(folder / "fractal_m2.raw", std::ios::binary) << raw;
    std::ofstream(folder / "fractal_m2.txt") << side << "\n" << side << "\n2\n0\n0\n30\n";
    // The dialogue's year: 30 m cells, latitude 45, 50 %, grey tones.
    const std::string answers = (base / "answers.txt").string();
    std::ofstream(answers) << "synthetic\nfractal\n0\n1\nyear\n0\n30\n45\n50\n2\n1\n1\n31\n12\n";

    // The GeoTIFF: UTM zone 31 north, its centre at latitude 45 (to 0.01).
    const std::string tif = (base / "fractal.tif").string();
    try {
        terralume::gis::GridPlace place;
        place.lines = side;
        place.columns = side;
        place.geo.has_transform = true;
        place.geo.transform = {500000 - 15.0 * side, 30, 0, 4983967 + 15.0 * side, 0, -30};
        place.geo.wkt = "EPSG:32631";
        terralume::gis::Layer layer;
        layer.type = terralume::gis::SampleType::UInt16;
        layer.line = [&](int32_t i, double *v) {
            for (int32_t j = 0; j < side; j++)
                v[j] = h[static_cast<size_t>(i) * side + j];
        };
        terralume::gis::write_one(tif, terralume::gis::output_format(tif, "", {}), place, layer);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "cli_year: %s\n", e.what());
        return 1;
    }

    const std::vector<std::string> dialogue = {program};
    // The dialogue's sun, rays and plane, so that both compute the same.
    const std::vector<std::string> cli = {program,
                                          tif,
                                          (base / "year.tif").string(),
                                          "--output",
                                          "sunhours,illumination",
                                          "--lat",
                                          "45",
                                          "--sun",
                                          "simple",
                                          "--shadows",
                                          "rays",
                                          "--slope",
                                          "dialogue",
                                          "-q"};
    std::vector<double> td, tc, cd, cc;
    for (int k = 0; k < runs; k++) {
        const auto d = measure_run(dialogue, answers, base.string());
        const auto c = measure_run(cli, "/dev/null", base.string());
        if (!d.ok || !c.ok) {
            std::fprintf(stderr, "cli_year: a run of %s failed\n", program.c_str());
            return 1;
        }
        td.push_back(d.wall);
        tc.push_back(c.wall);
        cd.push_back(d.cpu);
        cc.push_back(c.cpu);
        std::printf("run %d: dialogue %.2f s (processor %.2f s), command line %.2f s (processor %.2f s)\n", k + 1,
                    d.wall, d.cpu, c.wall, c.cpu);
        std::fflush(stdout);
    }
    std::printf("grid %d x %d, a whole year, medians of %d runs      wall      processor\n", side, side, runs);
    std::printf("dialogue (index)                        %8.2f s  %8.2f s\n", median(td), median(cd));
    std::printf("command line (sunhours, illumination)   %8.2f s  %8.2f s\n", median(tc), median(cc));
    std::printf("ratio                                   %8.3f    %8.3f\n", median(tc) / median(td),
                median(cc) / median(cd));
    return 0;
}
