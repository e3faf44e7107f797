// The command line against the dialogue, side by side: the same seeded
// 1000 x 1000 model (16-bit, 30 m cells) as a raw model for the dialogue and
// as a GeoTIFF (UTM zone 31 north, latitude 45 at its centre) for the
// command line; a whole year each, `--output sunhours,illumination` for the
// command line. The runs alternate; each program's median wall and processor
// times and their ratios are printed (the processor time varies less on a
// machine that other work keeps busy).
//
//     cli_year TERRALUME [SIDE [RUNS [FOLDER]]]     (1000, 3)
#include "output.h"
#include "terrain.h"

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

namespace
{

struct Times {
    double wall = -1;
    double cpu = -1; // user and system time of the process
};

// The times of one run of `args` with standard input from `in`; -1 when it failed.
Times timed(const std::vector<std::string> &args, const std::string &in, const std::string &images)
{
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return {};
    if (pid == 0) {
        const int i = open(in.c_str(), O_RDONLY);
        const int o = open("/dev/null", O_WRONLY);
        if (i < 0 || o < 0 || dup2(i, STDIN_FILENO) < 0 || dup2(o, STDOUT_FILENO) < 0)
            _exit(127);
        setenv("TERRALUME_IMAGES", images.c_str(), 1);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    const double cpu =
        usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), cpu};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

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
        terralume::gis::write_raster(tif, terralume::gis::output_format(tif, "", {}), place, layer)->commit();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "cli_year: %s\n", e.what());
        return 1;
    }

    const std::vector<std::string> dialogue = {program};
    const std::vector<std::string> cli = {
        program, tif, (base / "year.tif").string(), "--output", "sunhours,illumination", "--lat", "45", "-q"};
    std::vector<double> td, tc, cd, cc;
    for (int k = 0; k < runs; k++) {
        const Times d = timed(dialogue, answers, base.string());
        const Times c = timed(cli, "/dev/null", base.string());
        if (d.wall < 0 || c.wall < 0) {
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
