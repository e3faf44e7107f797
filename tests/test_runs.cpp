// Whole runs: the recorded runs of tests/golden, runs whose result is worked
// out here independently, and the period dialogue.
#include "engine.h"
#include "parallel.h"
#include "phases.h"
#include "sun.h"
#include "support.h"

#include <cmath>
#include <set>
#include <sys/resource.h>
#include <unistd.h>

using namespace terralume;
using namespace terralume::test;

namespace
{

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);)
        v.push_back(line);
    return v;
}

// The 8th and 9th lines of the banner's frame are each build's own words.
std::string mask_credits(const std::string &transcript)
{
    std::vector<std::string> v = lines_of(transcript);
    if (v.size() > 10)
        v[9] = v[10] = "<credits>";
    std::string out;
    for (const std::string &l : v)
        out += l + "\n";
    return out;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

// The names in one tree and not the other, and the files whose bytes differ,
// one line each; nothing when the trees are the same.
std::string tree_differences(const fs::path &expected, const fs::path &actual)
{
    std::set<std::string> want;
    std::set<std::string> got;
    for (const auto &e : fs::recursive_directory_iterator(expected))
        want.insert(fs::relative(e.path(), expected).string());
    for (const auto &e : fs::recursive_directory_iterator(actual))
        got.insert(fs::relative(e.path(), actual).string());
    std::string d;
    for (const std::string &rel : want)
        if (got.count(rel) == 0)
            d += "files/" + rel + ": recorded, not written\n";
    for (const std::string &rel : got)
        if (want.count(rel) == 0)
            d += "files/" + rel + ": written, not recorded\n";
    for (const std::string &rel : want)
        if (got.count(rel) != 0 && fs::is_regular_file(expected / rel) &&
            read_file(actual / rel) != read_file(expected / rel))
            d += "files/" + rel + " differs\n";
    return d;
}

// The first line where a text parts from the recorded one; nothing when
// they are the same.
std::string first_difference(const std::string &recorded, const std::string &text)
{
    const std::vector<std::string> want = lines_of(recorded);
    const std::vector<std::string> got = lines_of(text);
    for (size_t k = 0; k < std::max(want.size(), got.size()); k++) {
        const std::string w = k < want.size() ? "\"" + want[k] + "\"" : "nothing";
        const std::string g = k < got.size() ? "\"" + got[k] + "\"" : "nothing";
        if (w != g)
            return "line " + std::to_string(k + 1) + ": recorded " + w + ", run " + g;
    }
    return recorded == text ? "" : "the last line's end";
}

struct Replay {
    std::string differences; // one line each; nothing when the run is the recorded one
    fs::path work;           // the run's work folder, left in place only when the run differs
};

// Replays the recorded run of `dir` in a work folder laid out as the
// recording's expected/: exit_code, transcript.txt (paths written @BASE@/)
// and files/, the base folder after the run. When the run differs from the
// recording the folder is kept, and the differences end by naming it, so
// that `diff -r DIR/expected WORK` shows what the run did; otherwise it is
// removed.
Replay replay(const fs::path &dir)
{
    Scratch s("replay");
    const fs::path files = s.root() / "files";
    fs::create_directories(files);
    fs::copy(dir / "input", files, fs::copy_options::recursive);
    const Outcome o = run_script(files.string() + "/", read_file(dir / "answers.txt"));
    const std::string status = std::to_string(o.status) + "\n";
    const std::string transcript = replace_all(o.transcript, files.string() + "/", "@BASE@/");
    std::string d;
    const std::string recorded_status = read_file(dir / "expected/exit_code");
    if (status != recorded_status)
        d += "exit status " + std::to_string(o.status) + ", recorded " +
             recorded_status.substr(0, recorded_status.find('\n')) + "\n";
    const std::string t =
        first_difference(mask_credits(read_file(dir / "expected/transcript.txt")), mask_credits(transcript));
    if (!t.empty())
        d += "transcript.txt " + t + "\n";
    d += tree_differences(dir / "expected/files", files);
    if (d.empty())
        return {d, s.root()};
    write_file(s.root() / "exit_code", status);
    write_file(s.root() / "transcript.txt", transcript);
    s.keep();
    d += "the run's output is kept in " + s.root().string() + " (diff -r " + (dir / "expected").string() + " " +
         s.root().string() + "; lines 10 and 11 of the transcript are each build's own)\n";
    return {d, s.root()};
}

// A recorded run, with the engine on a given number of threads.
class Golden : public ::testing::TestWithParam<std::tuple<const char *, int>>
{
  protected:
    void SetUp() override { set_threads(std::get<1>(GetParam())); }
    void TearDown() override { set_threads(saved_); }
    int saved_ = max_threads();
};

} // namespace

TEST_P(Golden, TranscriptAndFilesAreExact)
{
    const Replay r = replay(fs::path(TL_TEST_DATA) / "golden" / std::get<0>(GetParam()));
    EXPECT_TRUE(r.differences.empty()) << r.differences;
}

// Every cell is written by one thread, or only ever receives the same value:
// the files are the same for any number of threads.
INSTANTIATE_TEST_SUITE_P(Runs, Golden,
                         ::testing::Combine(::testing::Values("grid-2x2", "crater-menu-retries",
                                                              "jacksboro-summer-day"),
                                            ::testing::Values(1, 2, 3, 7)),
                         [](const auto &info) {
                             std::string n = std::get<0>(info.param);
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n + "_threads_" + std::to_string(std::get<1>(info.param));
                         });

TEST(GoldenReplay, AFailedRunKeepsItsOutputAPassingOneDoesNot)
{
    const fs::path golden = fs::path(TL_TEST_DATA) / "golden/grid-2x2";
    Scratch s("recording");
    const fs::path rec = s.root() / "grid-2x2";
    fs::copy(golden, rec, fs::copy_options::recursive);
    const Replay same = replay(rec);
    EXPECT_EQ(same.differences, "");
    ASSERT_FALSE(same.work.empty());
    EXPECT_FALSE(fs::exists(same.work));

    // A recording the run no longer matches: another status, a line of the
    // transcript, a byte of the image, a file the run does not write.
    write_file(rec / "expected/exit_code", "1\n");
    std::vector<std::string> lines = lines_of(read_file(golden / "expected/transcript.txt"));
    const auto end = std::find(lines.begin(), lines.end(), "\tFinal treatment ");
    ASSERT_NE(end, lines.end());
    *end = "\tFinal treatments ";
    std::string transcript;
    for (const std::string &l : lines)
        transcript += l + "\n";
    write_file(rec / "expected/transcript.txt", transcript);
    std::string image = read_file(golden / "expected/files/tiny/g22_irra.raw");
    image[0] = static_cast<char>(image[0] ^ 1);
    write_file(rec / "expected/files/tiny/g22_irra.raw", image);
    write_file(rec / "expected/files/tiny/extra.txt", "x");

    const Replay differs = replay(rec);
    const std::string &d = differs.differences;
    EXPECT_NE(d.find("exit status 0, recorded 1\n"), std::string::npos) << d;
    EXPECT_NE(d.find("transcript.txt line " + std::to_string(end - lines.begin() + 1) +
                     ": recorded \"\tFinal treatments \", run \"\tFinal treatment \"\n"),
              std::string::npos)
        << d;
    EXPECT_NE(d.find("files/tiny/g22_irra.raw differs\n"), std::string::npos) << d;
    EXPECT_NE(d.find("files/tiny/extra.txt: recorded, not written\n"), std::string::npos) << d;
    EXPECT_EQ(d.find("g22_irra.txt"), std::string::npos) << d;
    ASSERT_TRUE(fs::is_directory(differs.work));
    EXPECT_NE(d.find("the run's output is kept in " + differs.work.string() + " "), std::string::npos) << d;

    // The output is there, laid out as the recording's expected/.
    EXPECT_EQ(read_file(differs.work / "exit_code"), "0\n");
    EXPECT_EQ(mask_credits(read_file(differs.work / "transcript.txt")),
              mask_credits(read_file(golden / "expected/transcript.txt")));
    EXPECT_EQ(tree_differences(golden / "expected/files", differs.work / "files"), "");
    fs::remove_all(differs.work);
}

TEST(WholeRun, BannerFrame)
{
    Scratch s;
    const Outcome o = run_script(s.base(), "");
    const std::vector<std::string> v = lines_of(o.transcript);
    ASSERT_GT(v.size(), 13u);
    EXPECT_EQ(v[2], "\t" + std::string(62, '*'));
    for (size_t k = 3; k <= 11; k++) {
        EXPECT_EQ(v[k].size(), 63u) << k;
        EXPECT_EQ(v[k].substr(0, 2), "\t*");
        EXPECT_EQ(v[k].back(), '*');
    }
    EXPECT_EQ(v[5], "\t*                        TERRALUME                           *");
    EXPECT_EQ(v[12], "\t" + std::string(62, '*'));
}

TEST(WholeRun, FlatGroundOverOneDay)
{
    // Flat ground casts no shadow and every written cell's shading is
    // 255.999 x sin(elevation); the raw mean then goes through the 3 x 3
    // window with the last line and column at 0.
    Scratch s;
    const int32_t lig = 5;
    const int32_t col = 6;
    write_file(s.root() / "f/flat_m2.raw", samples16(std::vector<uint16_t>(lig * col, 300)));
    write_file(s.root() / "f/flat_m2.txt", "5 6 2 300 300 30");
    const Outcome o = run_script(s.base(), "f flat 0 0 0 30 45 50 0 21 6 21 6");
    ASSERT_EQ(o.status, 0) << o.transcript;

    const SunDay sun = sun_positions(172, 45);
    const double pi = 4 * std::atan(1.0);
    double mean = 0;
    for (int h = 7; h <= 17; h++)
        mean = 255.999 * std::sin(sun.asol[h] * (pi * (1.0 / 180))) / 11 + mean;
    const int v = static_cast<int>(mean);
    std::vector<int> tab(lig * col, 0);
    for (int32_t i = 0; i < lig - 1; i++)
        for (int32_t j = 0; j < col - 1; j++)
            tab[i * col + j] = v;
    std::vector<int> sums(lig * col);
    for (int32_t i = 0; i < lig; i++)
        for (int32_t j = 0; j < col; j++) {
            int sum = 0;
            for (int di = -1; di <= 1; di++)
                for (int dj = -1; dj <= 1; dj++) {
                    const int k = i + di;
                    const int l = j + dj;
                    sum += (k < 0 || k >= lig || l < 0 || l >= col) ? tab[i * col + j] : tab[k * col + l];
                }
            sums[i * col + j] = sum;
        }
    const int lo = *std::min_element(sums.begin(), sums.end());
    const int hi = *std::max_element(sums.begin(), sums.end());
    std::string expected;
    for (int sum : sums)
        expected += static_cast<char>(sum == 0 ? 0 : (sum - lo) * 255 / (hi - lo + 1));
    EXPECT_EQ(read_file(s.root() / "f/flat_irra.raw"), expected);
    EXPECT_NE(
        read_file(s.root() / "f/flat_irra.txt").find(strf("\n\n\n\tRaw data : Min = %lf Max = %lf \n\n", mean, mean)),
        std::string::npos);
    EXPECT_EQ(count(o.transcript, "\n\tCast shadow computation \n\t\tfirst line      \r     \t\tlast line     \r     "
                                  "\t\tfirst column     \r     \t\tlast column     \r     "),
              11u);
}

TEST(WholeRun, TowerShadowOnlyTakesLightAway)
{
    // One June day at latitude 45 on a 3 m tower, 1 m pixels, attenuation 0,
    // against the same ground without the tower. The sun goes from the
    // east-north-east through the south to the west-north-west, so the
    // shadow sweeps from the west through the north to the east of the tower
    // and never falls due south of it.
    Scratch s;
    std::vector<int32_t> cells(9 * 9, 0);
    write_file(s.root() / "t/flat_m4.raw", samples32(cells));
    cells[4 * 9 + 4] = 3;
    write_file(s.root() / "t/tower_m4.raw", samples32(cells));
    // 32-bit samples, descriptor created (9 lines, 9 columns, pixel 1),
    // metres, 1 m pixels, latitude 45, attenuation 0, raw data, 21 June.
    const std::string rest = " 1 9 9 1 0 0 1 45 0 0 21 6 21 6";
    Phases tower(s.base(), "t tower" + rest);
    Phases flat(s.base(), "t flat" + rest);
    for (Phases *p : {&tower, &flat}) {
        opening(p->run);
        lecture(p->run);
        parameters(p->run);
        pos_sol(p->run);
    }
    const Grid<double> &t = tower.run.dtab_res;
    const Grid<double> &f = flat.run.dtab_res;
    for (int32_t i = 0; i < 9; i++)
        for (int32_t j = 0; j < 9; j++) {
            const bool own_slope = (i == 4 && j == 4) || (i == 3 && j == 4) || (i == 4 && j == 3);
            if (!own_slope) {
                EXPECT_LE(t[i][j], f[i][j]) << i << "," << j;
            }
        }
    // Never due south of it, and the shadows of a 3 m tower at 13.9 degrees
    // or more do not reach two lines north of it.
    double west = 0;
    double east = 0;
    for (int32_t i = 0; i < 9; i++)
        for (int32_t j = 0; j < 9; j++) {
            if (i >= 5 && j == 4) {
                EXPECT_EQ(t[i][j], f[i][j]) << i << "," << j;
            }
            if (i <= 2) {
                EXPECT_EQ(t[i][j], f[i][j]) << i << "," << j;
            }
            if (j < 3)
                west += f[i][j] - t[i][j];
            if (j > 4)
                east += f[i][j] - t[i][j];
        }
    // Morning shadows fall west, evening shadows east.
    EXPECT_GT(west, 0);
    EXPECT_GT(east, 0);
    // The north face sees the sun only early and late: darker than flat.
    EXPECT_LT(t[3][4], f[3][4]);
}

TEST(Period, DatesAndDayCounts)
{
    Scratch s;
    write_file(s.root() / "p/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "p/d_m2.txt", "2 2 2 1 4 10");
    const std::string head = "p d 0 0 0 10 45 50 0 ";

    Outcome o = run_script(s.base(), head + "1 1 31 12");
    EXPECT_NE(o.transcript.find("\n\n\tfirst_date 1 last_date 365 \n\tnumber_of_days 365 num_spot 4015 "),
              std::string::npos);
    EXPECT_EQ(count(o.transcript, "\n\tShadow computation "), 4015u);

    o = run_script(s.base(), head + "15 1 14 2");
    EXPECT_NE(o.transcript.find("first_date 15 last_date 45 \n\tnumber_of_days 31 num_spot 341 "), std::string::npos);

    // Months outside 1..12, and days beyond ten million either way, ask the
    // whole date again; words are dropped.
    o = run_script(s.base(), head + "21 13 21 0 21 six 6 -2147483648 6 30 2");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(count(o.transcript, "\n\t\t\tday ? "), 5u);
    EXPECT_EQ(count(o.transcript, "\t\t\tmonth ? "), 6u);
    EXPECT_NE(o.transcript.find("first_date 172 last_date 61 "), std::string::npos);
}

TEST(Period, LastDateBeforeFirstRunsNoPosition)
{
    Scratch s;
    write_file(s.root() / "p/d_m2.raw", samples16({1, 2, 3, 4, 5, 6, 7, 8, 9}));
    write_file(s.root() / "p/d_m2.txt", "3 3 2 1 9 10");
    const Outcome o = run_script(s.base(), "p d 0 0 0 10 45 50 0 1 12 31 1");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.transcript.find("first_date 335 last_date 31 \n\tnumber_of_days -303 num_spot -3333 "),
              std::string::npos);
    EXPECT_EQ(o.transcript.find("Date :"), std::string::npos);
    EXPECT_NE(o.transcript.find("\n\tdmax 0.000000 dmin 0.000000 ddif 0.000000 "), std::string::npos);
    const std::string d = read_file(s.root() / "p/d_irra.txt");
    EXPECT_NE(d.find("\n\n\tNumber of days : -303 from 335 to 31 \n\n\tSun position :\n\n\n\tRaw data : Min = "
                     "0.000000 Max = 0.000000 \n\n"),
              std::string::npos);
    EXPECT_EQ(read_file(s.root() / "p/d_irra.raw"), std::string(9, '\0'));
}

TEST(Period, CastShadowMarksDescribeOnePositionOnly)
{
    Grid<double> dtab(6, 6);
    dtab[3][3] = 4;
    for (EngineKind kind : {EngineKind::Reference, EngineKind::Fast}) {
        const std::unique_ptr<Engine> engine = make_engine(kind);
        engine->begin(dtab, 1, EngineOptions{});
        EXPECT_EQ(engine->shadow_marks(45, 180)[2][3], 1);
        // The sun moves west: the marks north of the tower are gone.
        const Grid<unsigned char> west = engine->shadow_marks(45, 270);
        EXPECT_EQ(west[2][3], 0);
        EXPECT_EQ(west[3][4], 1);
    }
}

#ifndef __SANITIZE_ADDRESS__
namespace
{

// Caps the address space of this (forked) process a little above what it
// uses now, so that the next large allocations fail.
void cap_address_space(size_t headroom)
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + headroom;
    const rlimit r{limit, limit};
    setrlimit(RLIMIT_AS, &r);
}

} // namespace

TEST(OutOfMemory, GridsThatCannotBeAllocated)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Scratch s;
    write_file(s.root() / "big/d_m2.raw", samples16({1, 2, 3, 4}));
    write_file(s.root() / "big/d_m2.txt", "3000 3000 2 1 4 10");
    // Past the check of the memory available, which would see the cap.
    const auto run_past_the_check = [&] {
        std::istringstream in("big d 0 0 0 10 45 50 2 21 6 21 6");
        std::ostringstream out;
        Console con{in, out, false};
        const int status = run_terralume(con, s.base(), RunLimits{uint64_t{1} << 40, INT64_MAX});
        return Outcome{status, out.str()};
    };
    EXPECT_EXIT(
        {
            cap_address_space(64 << 20);
            const Outcome o = run_past_the_check();
            const bool told = o.transcript.find("\n\tNot enough memory for the grids of 3000 lines and 3000 columns "
                                                "\n") != std::string::npos;
            const bool clean = !fs::exists(s.root() / "big/d_irra.raw");
            // The child made its own scratch folder and leaves without its destructor.
            fs::remove_all(s.root());
            std::_Exit(o.status == 1 && told && clean ? 3 : 4);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(OutOfMemory, RayListThatCannotBeAllocated)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Scratch s;
    const Grid<double> dtab(1, 4000000);
    ASSERT_FALSE(dtab.empty());
    EXPECT_EXIT(
        {
            fs::remove_all(s.root()); // the child's own; it leaves without destructors
            cap_address_space(16 << 20);
            try {
                make_engine(EngineKind::Reference)->begin(dtab, 1, EngineOptions{});
            } catch (const std::bad_alloc &) {
                std::_Exit(3);
            }
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(3), "");
}
#endif
