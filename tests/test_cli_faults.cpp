// The command line's outputs against faults: one table of formats (each a
// set of three outputs, with the files their drivers write beside them)
// against one table of injected faults (a full disk at each size, a failed
// link or rename, a failed flush, a stopping signal, a concurrent run). Every
// failed run leaves the earlier set as it was; every run that ends 0 leaves
// the new set whole.
#include "cli_support.h"
#include "command_line.h"
#include "gis_support.h"
#include "seams.h"
#include "support.h"
#include "terrain.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace terralume
{
namespace
{

using test::read_file;
using test::Scratch;

using Result = test::CliResult;
constexpr auto run = test::run_cli;

// A seeded 12 x 14 GeoTIFF of UTM zone 31 north, 30 m cells.
std::string make_dem(const fs::path &folder)
{
    const std::vector<int32_t> z = tools::fractal_terrain(12, 14, 5, 100, 400, 8);
    const std::string tif = (folder / "dem.tif").string();
    test::make_geotiff(tif, {12, 14, GDT_Int16, std::vector<double>(z.begin(), z.end()),
                             std::array<double, 6>{500000, 30, 0, 5000000, 0, -30}, 32631, std::nullopt});
    return tif;
}

// Every file and folder under `dir` but the DEM, with the bytes of the files.
std::map<std::string, std::string> snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> m;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.path().filename() != "dem.tif")
            m[fs::relative(e.path(), dir).string()] = e.is_directory()      ? "<folder>"
                                                      : e.is_regular_file() ? read_file(e.path())
                                                                            : "<not a file>";
    return m;
}

// The formats of the table: the option, OUTPUT's name, and whether its three
// outputs are Byte (the formats that hold no Float32).
struct FormatCase {
    const char *driver;
    const char *output;
    bool bytes_only;
};
const FormatCase kFormats[] = {
    {"GTiff", "set.tif", false}, {"PNG", "set.png", true},      {"COG", "set_cog.tif", false},
    {"ENVI", "set.bil", false},  {"AAIGrid", "set.asc", false}, {"Zarr", "set.zarr", false},
};

// The arguments of a run writing the format's set over day `day` of June.
std::vector<std::string> set_args(const FormatCase &f, const std::string &dem, const fs::path &dir, int day)
{
    const std::string date = (day < 10 ? "06-0" : "06-") + std::to_string(day);
    return {dem,
            (dir / f.output).string(),
            "-of",
            f.driver,
            "-q",
            "--sun",
            "simple",
            "--shadows",
            "rays",
            "--from",
            date,
            "--to",
            date,
            "--output",
            f.bytes_only ? "index,shadow" : "index,shadow,sunhours",
            "--sun-position",
            std::to_string(10 + day) + ",100"};
}

// The day each main output of the set says it was computed for: one day for
// a whole set.
std::set<std::string> days_of_set(const FormatCase &f, const fs::path &dir)
{
    std::set<std::string> days;
    const fs::path p(f.output);
    for (const char *kind : {"index", "shadow", "sunhours"}) {
        if (f.bytes_only && std::string(kind) == "sunhours")
            continue;
        const fs::path file = dir / (p.stem().string() + "_" + kind + p.extension().string());
        if (!fs::exists(file)) {
            days.insert("missing " + file.filename().string());
            continue;
        }
        // The shadow's sun stands 10 + day degrees high; the others give
        // their period.
        const test::Raster r = test::read_raster(file.string());
        days.insert(std::string(kind) == "shadow"
                        ? "day " + std::to_string(std::stoi(r.metadata("TERRALUME_SUN_POSITION")) - 10)
                        : "day " + std::to_string(std::stoi(r.metadata("TERRALUME_PERIOD").substr(3))));
    }
    return days;
}

// The file-size limit (ulimit -f) for the run in this process, SIGXFSZ
// ignored as the programs ignore it.
struct SizeLimit {
    explicit SizeLimit(rlim_t bytes)
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit l = saved;
        l.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &l);
    }
    ~SizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
};

} // namespace

TEST(CommandLineFaults, EveryFaultLeavesTheEarlierSetOrTheNewOneWhole)
{
    // The faults injected in-process, each at its n-th occasion, n counting
    // up until the run succeeds.
    const struct {
        const char *name;
        std::function<std::unique_ptr<SizeLimit>(long n)> inject;
    } faults[] = {
        {"full disk", [](long n) { return std::make_unique<SizeLimit>(static_cast<rlim_t>(n - 1) * 700); }},
        {"failed link or rename",
         [](long n) {
             seams::fail_commit_step(n);
             return nullptr;
         }},
        {"failed flush",
         [](long n) {
             seams::fail_sync(n);
             return nullptr;
         }},
    };
    for (const FormatCase &f : kFormats)
        for (const auto &fault : faults) {
            const std::string what = std::string(f.driver) + ", " + fault.name;
            Scratch s;
            const std::string dem = make_dem(s.root());
            const fs::path dir = s.root() / "out";
            fs::create_directories(dir);
            Result r = run(set_args(f, dem, dir, 1));
            ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
            const auto before = snapshot(dir);
            long n = 1;
            for (;; n++) {
                {
                    const auto limit = fault.inject(n);
                    r = run(set_args(f, dem, dir, 2));
                }
                seams::fail_commit_step(0);
                seams::fail_sync(0);
                if (r.status == 0)
                    break;
                ASSERT_EQ(r.status, 1) << what << " " << n << "\n" << r.err;
                EXPECT_NE(r.err.find("cannot be written"), std::string::npos) << what << " " << n << "\n" << r.err;
                EXPECT_EQ(r.err.find(".tmp"), std::string::npos) << what << " " << n << "\n" << r.err;
                ASSERT_TRUE(snapshot(dir) == before) << what << " " << n << "\n" << r.err;
                ASSERT_LT(n, 400) << what;
            }
            EXPECT_GT(n, 2) << what;
            EXPECT_EQ(days_of_set(f, dir), (std::set<std::string>{"day 2"})) << what;
            for (const auto &[name, bytes] : snapshot(dir))
                EXPECT_EQ(name.find(".tmp"), std::string::npos) << what << " " << name;
        }
}

namespace
{

// Starts terralume-cli with `args`, its output and errors to /dev/null.
pid_t start_cli(const std::vector<std::string> &args)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char *> argv = {const_cast<char *>(TL_TERRALUME_CLI)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        setenv("OMP_NUM_THREADS", "1", 1);
        execv(TL_TERRALUME_CLI, argv.data());
        _exit(127);
    }
    return pid;
}

int status_of(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

TEST(CommandLineFaults, SignalsAndConcurrentRunsLeaveOneWholeSet)
{
    // The program itself: SIGTERM sent after a delay that moves through the
    // run, and two runs started together onto one OUTPUT. The set found is
    // one run's, whole; a stopped run leaves no temporary folder; the second
    // of two concurrent runs is refused (status 1) or runs after the first.
    const struct {
        const char *name;
        bool concurrent;
    } faults[] = {{"signal", false}, {"concurrent run", true}};
    for (const FormatCase &f : {kFormats[0], kFormats[1], kFormats[5]})
        for (const auto &fault : faults) {
            const std::string what = std::string(f.driver) + ", " + fault.name;
            Scratch s;
            const std::string dem = make_dem(s.root());
            const fs::path dir = s.root() / "out";
            fs::create_directories(dir);
            const auto t0 = std::chrono::steady_clock::now();
            ASSERT_EQ(status_of(start_cli(set_args(f, dem, dir, 1))), 0) << what;
            // The delays of the signal run through a whole run and past it.
            const auto whole = std::chrono::steady_clock::now() - t0;
            std::set<int> statuses;
            for (int trial = 0; trial < 12; trial++) {
                const auto before = snapshot(dir);
                const pid_t a = start_cli(set_args(f, dem, dir, 2 + trial));
                if (fault.concurrent) {
                    const pid_t b = start_cli(set_args(f, dem, dir, 15 + trial));
                    const int sa = status_of(a), sb = status_of(b);
                    statuses.insert(sa);
                    statuses.insert(sb);
                    EXPECT_TRUE((sa == 0 || sa == 1) && (sb == 0 || sb == 1) && (sa == 0 || sb == 0))
                        << what << " " << sa << " " << sb;
                } else {
                    // The last trial lets the run end: both outcomes are seen
                    // whatever the machine's pace.
                    std::this_thread::sleep_for(whole * trial / 8);
                    if (trial < 11)
                        kill(a, SIGTERM);
                    const int st = status_of(a);
                    statuses.insert(st);
                    EXPECT_TRUE(st == 0 || st == 128 + SIGTERM) << what << " " << st;
                    // A signal during the commit waits for it: the new set is
                    // then whole, the status still the signal's.
                    const auto days = days_of_set(f, dir);
                    EXPECT_TRUE(snapshot(dir) == before ||
                                days == std::set<std::string>{"day " + std::to_string(2 + trial)})
                        << what << " " << trial;
                    if (st == 0) {
                        EXPECT_EQ(days, std::set<std::string>{"day " + std::to_string(2 + trial)}) << what;
                    }
                }
                EXPECT_EQ(days_of_set(f, dir).size(), 1u) << what << " " << trial;
                for (const auto &[name, bytes] : snapshot(dir))
                    EXPECT_TRUE(name.find(".tmp") == std::string::npos && name.find(".lock") == std::string::npos)
                        << what << " " << name;
            }
            // The faults struck at least once.
            EXPECT_GT(statuses.size(), 1u) << what;
        }
}

} // namespace terralume

namespace terralume
{

namespace
{

// A stream buffer that takes nothing: a standard output that cannot be
// written (a full disk, a reader gone).
struct Unwritable : std::streambuf {
    int overflow(int) override { return EOF; }
};

Result run_into(std::ostream &out, std::vector<std::string> args)
{
    args.insert(args.begin(), "terralume");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    std::ostringstream err;
    const int status = cli::run_command_line(static_cast<int>(argv.size()), argv.data(), out, err, false);
    return {status, "", err.str()};
}

} // namespace

TEST(CommandLineFaults, OutputsThatAreNotFilesOrAreTheInputsAreRefused)
{
    // Each case made in a folder of its own: what it refuses, with the exit
    // status and the message; nothing in the folder changes.
    Scratch s;
    const std::string dem = make_dem(s.root());
    const fs::path dir = s.root() / "cases";
    const struct {
        const char *name;
        std::function<std::vector<std::string>(const fs::path &)> make; // the arguments
        int status;
        std::string message;
    } cases[] = {
        {"a FIFO as OUTPUT",
         [&](const fs::path &d) {
             mkfifo((d / "o.tif").c_str(), 0666);
             return std::vector<std::string>{dem, (d / "o.tif").string()};
         },
         1, "o.tif: is not a regular file (a device, a pipe or a socket), which would be replaced"},
        {"a device as OUTPUT",
         [&](const fs::path &) {
             return std::vector<std::string>{dem, "/dev/null"};
         },
         1, "/dev/null: is not a regular file"},
        {"a symbolic link as OUTPUT",
         [&](const fs::path &d) {
             test::write_file(d / "real.tif", "earlier");
             fs::create_symlink(d / "real.tif", d / "o.tif");
             return std::vector<std::string>{dem, (d / "o.tif").string()};
         },
         1, "o.tif: is a symbolic link, which would be replaced by a file"},
        {"a FIFO as DEM",
         [&](const fs::path &d) {
             mkfifo((d / "dem.tif").c_str(), 0666);
             return std::vector<std::string>{(d / "dem.tif").string(), (d / "o.tif").string()};
         },
         1, "dem.tif: is not a regular file (a pipe, a device or a socket): a DEM is read from files"},
        {"a FIFO as a raw model's descriptor",
         [&](const fs::path &d) {
             test::write_file(d / "m_m2.raw", std::string(8, '\1'));
             mkfifo((d / "m_m2.txt").c_str(), 0666);
             return std::vector<std::string>{(d / "m_m2.raw").string(), (d / "o.tif").string()};
         },
         1, "m_m2.txt: is not a regular file (a pipe, a device or a socket), and the DEM"},
        {"an ENVI output onto an ENVI DEM's header",
         [&](const fs::path &d) {
             const Result r = run({dem, (d / "dem.bil").string(), "-of", "ENVI", "-q", "--output", "index"});
             EXPECT_EQ(r.status, 0) << r.err;
             return std::vector<std::string>{(d / "dem.bil").string(), (d / "dem.tif").string(), "-of", "ENVI"};
         },
         1, "dem.hdr: is a file of the DEM"},
        {"XYZ onto a raw model's descriptor",
         [&](const fs::path &d) {
             test::write_file(d / "m_m2.raw", std::string(2 * 12, '\1'));
             test::write_file(d / "m_m2.txt", "3\n4\n2\n0\n0\n30\n");
             return std::vector<std::string>{
                 (d / "m_m2.raw").string(), (d / "m_m2.txt").string(), "-of", "XYZ", "--lat", "45"};
         },
         1, "m_m2.txt: is a file of the DEM"},
        {"onto the file a VRT DEM points at",
         [&](const fs::path &d) {
             fs::copy_file(dem, d / "src.tif");
             test::write_file(d / "v.vrt",
                              "<VRTDataset rasterXSize=\"14\" rasterYSize=\"12\"><VRTRasterBand dataType=\"Int16\" "
                              "band=\"1\"><SimpleSource><SourceFilename relativeToVRT=\"1\">src.tif</SourceFilename>"
                              "<SourceBand>1</SourceBand></SimpleSource></VRTRasterBand></VRTDataset>");
             return std::vector<std::string>{
                 (d / "v.vrt").string(), (d / "src.tif").string(), "--pixel-size", "30", "--lat", "45"};
         },
         1, "src.tif: is a file of the DEM"},
    };
    for (const auto &c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::vector<std::string> args = c.make(dir);
        args.insert(args.end(), {"--sun", "simple", "--from", "06-21", "--to", "06-21"});
        const auto before = snapshot(dir);
        const Result r = run(args);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_TRUE(snapshot(dir) == before) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
    }
    EXPECT_TRUE(fs::exists("/dev/null") && !fs::is_regular_file("/dev/null"));
}

TEST(CommandLineFaults, AConsoleThatCannotBeWrittenAfterTheCommit)
{
    // The outputs are in place when the wrote lines fail: status 3, as the
    // dialogue's, and standard error says the outputs are written. The help
    // that cannot be written is a failure.
    Scratch s;
    const std::string dem = make_dem(s.root());
    Unwritable sink;
    std::ostream out(&sink);
    Result r = run_into(out, {dem, (s.root() / "o.tif").string(), "--from", "06-21", "--to", "06-21"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("standard output cannot be written"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the outputs are written all the same"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(s.root() / "o.tif"));
    std::ostream help(&sink);
    r = run_into(help, {"--help"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("standard output: the help cannot be written"), std::string::npos) << r.err;
}

TEST(CommandLineFaults, AZarrStoreIsReplacedWholeOnTheSecondRun)
{
    // A format that writes folders: the second run replaces the first one's
    // store; a plain folder of that name is not taken for one.
    Scratch s;
    const std::string dem = make_dem(s.root());
    const std::string out = (s.root() / "o.zarr").string();
    for (const char *day : {"06-01", "06-02"}) {
        const Result r = run({dem, out, "-of", "Zarr", "-q", "--from", day, "--to", day});
        ASSERT_EQ(r.status, 0) << day << "\n" << r.err;
        EXPECT_EQ(test::read_raster(out).metadata("TERRALUME_PERIOD"), "2025-" + std::string(day) + " to 2025-" + day);
    }
    const std::string plain = (s.root() / "plain").string();
    test::write_file(fs::path(plain) / "keep", "mine");
    const Result r = run({dem, plain, "-of", "Zarr", "-q", "--from", "06-01", "--to", "06-01"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("plain: is a folder"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(fs::path(plain) / "keep"), "mine");
}

} // namespace terralume

namespace terralume
{

TEST(CommandLineFaults, TheFileSizeLimitIsAFailedWrite)
{
    // ulimit -f under the default SIGXFSZ: the program ignores the signal,
    // so the write fails, is told on one line, and the status is 1; the
    // earlier set stays and no temporary folder is left.
    Scratch s;
    const std::string dem = make_dem(s.root());
    const fs::path dir = s.root() / "out";
    fs::create_directories(dir);
    ASSERT_EQ(run(set_args(kFormats[0], dem, dir, 1)).status, 0);
    const auto before = snapshot(dir);
    const std::string errors = (s.root() / "err.txt").string();
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(err, STDERR_FILENO);
        signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{500, 500};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<std::string> args = set_args(kFormats[0], dem, dir, 2);
        std::vector<char *> argv = {const_cast<char *>(TL_TERRALUME_CLI)};
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(TL_TERRALUME_CLI, argv.data());
        _exit(127);
    }
    EXPECT_EQ(status_of(pid), 1);
    const std::string told = read_file(errors);
    EXPECT_NE(told.find("cannot be written"), std::string::npos) << told;
    EXPECT_NE(told.find("File too large"), std::string::npos) << told;
    EXPECT_TRUE(snapshot(dir) == before);
}

} // namespace terralume
