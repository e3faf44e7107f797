// The memory budget against what whole runs really take: terralume runs one
// day on square, thin and reprojected models, through the dialogue and the
// command line, and its peak resident memory must stay within what the
// budget counts (the run's grids and the engine's, allocator overhead
// included) plus the program itself, without counting much more than that.
#include "gis_support.h"
#include "output.h"
#include "phases.h"
#include "run.h"
#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

// Peak resident bytes of terralume run with `args` (none: the dialogue, its
// answers from `answers`) on `base`; -1 when it failed.
long long peak_of_run(const std::string &base, const fs::path &answers, const std::vector<std::string> &args = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(answers.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        setenv("TERRALUME_IMAGES", base.c_str(), 1);
        std::vector<char *> argv{const_cast<char *>(TL_TERRALUME)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TL_TERRALUME, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

// A dialogue model of nb_lig x nb_col samples and the answers of a one-day
// run on it; the same samples as a GeoTIFF of 30 m cells in UTM, or of
// 0.0003 degree cells in WGS 84.
void write_model(const Scratch &s, int32_t nb_lig, int32_t nb_col)
{
    const size_t cells = static_cast<size_t>(nb_lig) * static_cast<size_t>(nb_col);
    std::vector<uint16_t> samples(cells);
    std::vector<double> values(cells);
    for (size_t k = 0; k < cells; k++)
        values[k] = samples[k] = static_cast<uint16_t>(200 + (k * 7919) % 500);
    write_file(s.root() / "m/d_m2.raw", samples16(samples));
    write_file(s.root() / "m/d_m2.txt", strf("%d %d 2 200 700 30", nb_lig, nb_col));
    write_file(s.root() / "answers.txt", "m d 0 0 0 30 45 50 2 21 6 21 6");
    TiffLayout t;
    t.lines = nb_lig;
    t.columns = nb_col;
    t.values = values;
    t.transform = std::array<double, 6>{500000, 30, 0, 4000000, 0, -30};
    t.epsg = 32616;
    make_geotiff((s.root() / "utm.tif").string(), t);
    t.transform = std::array<double, 6>{-84.3, 0.0003, 0, 36.6, 0, -0.0003};
    t.epsg = 4326;
    make_geotiff((s.root() / "wgs84.tif").string(), t);
}

struct Case {
    const char *name;
    int32_t nb_lig, nb_col;
    std::vector<std::string> args; // none: the dialogue
};

} // namespace

TEST(Memory, TheBudgetCoversWhatRunsTake)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's own memory would be counted as the run's";
#endif
    // The simple sun's day, the rays and the dialogue's plane.
    const std::vector<std::string> day = {"--from", "06-21",     "--to", "06-21",   "--sun",
                                          "simple", "--shadows", "rays", "--slope", "dialogue"};
    auto cli = [&](std::vector<std::string> more, const char *dem) {
        more.insert(more.begin(), day.begin(), day.end());
        more.push_back(dem);
        more.push_back("out.tif");
        return more;
    };
    const std::vector<std::string> solar = {"--sun",     "solar",      "--from",   "2026-06-21",
                                            "--to",      "2026-06-21", "--output", "sunhours,beam,illumination,index",
                                            "--shadows", "exact"};
    auto solar_cli = [&](const char *dem) {
        std::vector<std::string> a = solar;
        a.push_back(dem);
        a.push_back("out.tif");
        return a;
    };
    // Thin models stay short: at noon the rays from their long sides run
    // along one another, so a run's work grows with the square of the side.
    const std::vector<Case> cases = {
        {"dialogue", 700, 700, {}},
        {"dialogue", 30000, 1, {}},
        {"dialogue", 1, 30000, {}},
        {"command line", 700, 700, cli({"--output", "sunhours,illumination,index"}, "utm.tif")},
        {"command line", 30000, 1, cli({"--output", "sunhours,index"}, "utm.tif")},
        {"command line, raw model", 700, 700, cli({"--output", "sunhours", "--lat", "45"}, "m/d_m2.raw")},
        {"command line, reprojected", 600, 600, cli({"--output", "sunhours,index"}, "wgs84.tif")},
        {"command line, solar, exact", 600, 600, solar_cli("utm.tif")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.nb_lig) + " x " + std::to_string(c.nb_col));
        // The program itself, its libraries and its threads' stacks: the same
        // run on a model of four cells.
        long long program = 0;
        {
            Scratch s;
            write_model(s, 2, 2);
            fs::current_path(s.root());
            program = peak_of_run(s.base(), s.root() / "answers.txt", c.args);
            ASSERT_GT(program, 0);
        }
        Scratch s;
        write_model(s, c.nb_lig, c.nb_col);
        fs::current_path(s.root());
        const long long peak = peak_of_run(s.base(), s.root() / "answers.txt", c.args);
        fs::current_path(fs::temp_directory_path());
        ASSERT_GT(peak, 0);

        run::Footprint f;
        f.lines = c.nb_lig;
        f.columns = c.nb_col;
        if (!c.args.empty()) {
            const gis::Dem dem =
                gis::read_dem({(s.root() / c.args[c.args.size() - 2]).string(), 1, std::nullopt, 1}, run::kMaxSide);
            f.face = run::Face::CommandLine;
            f.lines = dem.place.lines;
            f.columns = dem.place.columns;
            f.reading_bytes = dem.read_bytes;
            const std::string outputs =
                c.args[std::find(c.args.begin(), c.args.end(), "--output") - c.args.begin() + 1];
            f.index = outputs.find("index") != std::string::npos;
            f.options.sun_hours = outputs.find("sunhours") != std::string::npos;
            f.options.beam = outputs.find("beam") != std::string::npos;
            const bool floats = outputs != "index";
            f.writing_bytes = gis::writing_bytes(gis::output_format("out.tif", "", {}), dem.place,
                                                 floats ? gis::SampleType::Float32 : gis::SampleType::Byte);
            if (std::find(c.args.begin(), c.args.end(), "exact") != c.args.end()) {
                f.options.shadows = ShadowMethod::Exact;
                f.position_bytes = 1440 / 10 * sizeof(SunPosition);
            }
        }
        const long long counted = static_cast<long long>(run::run_bytes(f));
        EXPECT_LE(peak - program, counted + (1 << 20)) << "peak " << peak << ", program " << program;
        // Not much more either, or runs that fit would be refused.
        EXPECT_LE(counted, 2 * (peak - program) + (4 << 20)) << "peak " << peak << ", program " << program;
    }
    // A thin grid costs more a cell than a square one: a line pointer a line
    // in every grid.
    run::Footprint square, thin;
    square.lines = square.columns = 700;
    thin.lines = 30000;
    thin.columns = 1;
    EXPECT_GT(run::run_bytes(thin) / 30000, run::run_bytes(square) / 490000 + 40);
}
