// Whole runs: the recorded runs of tests/golden, runs whose result is worked
// out here independently, and the period dialogue.
#include "engine.h"
#include "parallel.h"
#include "phases.h"
#include "sun.h"
#include "support.h"

#include <cmath>
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

void expect_same_tree(const fs::path &expected, const fs::path &actual)
{
    std::vector<std::string> want;
    std::vector<std::string> got;
    for (const auto &e : fs::recursive_directory_iterator(expected))
        want.push_back(fs::relative(e.path(), expected).string());
    for (const auto &e : fs::recursive_directory_iterator(actual))
        got.push_back(fs::relative(e.path(), actual).string());
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    for (const std::string &rel : want)
        if (fs::is_regular_file(expected / rel)) {
            const std::string a = read_file(actual / rel);
            EXPECT_TRUE(a == read_file(expected / rel)) << rel << " differs";
        }
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
    const fs::path dir = fs::path(TL_TEST_DATA) / "golden" / std::get<0>(GetParam());
    Scratch s;
    fs::copy(dir / "input", s.root(), fs::copy_options::recursive);
    const Outcome o = run_script(s.base(), read_file(dir / "answers.txt"));
    EXPECT_EQ(std::to_string(o.status) + "\n", read_file(dir / "expected/exit_code"));
    const std::string transcript = replace_all(o.transcript, s.base(), "@BASE@/");
    EXPECT_EQ(mask_credits(transcript), mask_credits(read_file(dir / "expected/transcript.txt")));
    expect_same_tree(dir / "expected/files", s.root());
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
