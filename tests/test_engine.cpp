// The fast engine against the straightforward passes, both through the
// engine interface: the same marks and the same accumulations, bit for bit,
// on seeded random terrains of many shapes, for sun directions in every
// sector and on the axes and diagonals, low and high suns, every instruction
// set of this processor and 1, 2 and 4 threads; the hours of sun and the
// clear-sky beam too.
#include "engine.h"
#include "fast_engine.h"
#include "parallel.h"
#include "period.h"
#include "solar_period.h"
#include "support.h"
#include "terrain.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

using namespace terralume;
using terralume::test::bytes_of;
using terralume::tools::Random;

namespace
{

struct Terrain {
    int32_t nb_lig;
    int32_t nb_col;
    Grid<double> dtab;
};

enum class Shape { Fractal, Noise, Slope, Towers };

// Elevations as a run makes them: whole samples over a unit divisor, 10
// (decimetres: most are not floats, and the rays walk doubles) or 4 (quarters:
// all are floats, and the rays walk those).
Terrain terrain(int32_t nb_lig, int32_t nb_col, Shape shape, uint64_t seed, double rescale = 10)
{
    Terrain t{nb_lig, nb_col, Grid<double>(nb_lig, nb_col)};
    Random rnd(seed);
    const std::vector<int32_t> fractal = tools::fractal_terrain(nb_lig, nb_col, seed, 2000, 6000, 32);
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++) {
            int32_t v = 0;
            switch (shape) {
            case Shape::Fractal:
                v = fractal[static_cast<size_t>(i) * nb_col + j];
                break;
            case Shape::Noise:
                v = rnd.below(3000);
                break;
            case Shape::Slope: // falls steeply toward the north-east
                v = 40000 + 900 * i - 700 * j + rnd.below(5);
                break;
            case Shape::Towers:
                v = rnd.below(40) == 0 ? 5000 + rnd.below(20000) : 1000 + rnd.below(3);
                break;
            }
            t.dtab[i][j] = static_cast<double>(v) / rescale;
        }
    return t;
}

struct Sun {
    double elev;
    double azim;
};

std::vector<Sun> suns(uint64_t seed)
{
    std::vector<Sun> s;
    // Axes and diagonals, and each side of them.
    for (double a : {0.0, 45.0, 90.0, 135.0, 180.0, 225.0, 270.0, 315.0, 360.0, 0.3, 44.9, 90.2, 179.7, 269.9, 314.6})
        for (double e : {0.2, 7.0, 35.0, 89.9})
            s.push_back({e, a});
    Random rnd(seed);
    for (int k = 0; k < 24; k++)
        s.push_back({0.1 + 89.8 * rnd.uniform(), 360 * rnd.uniform()});
    return s;
}

// Both engines over a series of sun positions, the fast one adding them
// `together` to a sweep; returns a failure description or an empty string.
std::string compare(const Terrain &t, const std::vector<Sun> &positions, double dsizepix, double attenuation,
                    int together, Slope slope = Slope::Dialogue)
{
    EngineOptions options;
    options.slope = slope;
    options.attenuation = attenuation;
    options.sun_hours = true;
    options.beam = true;
    options.beam_attenuation = attenuation / 2;
    options.sweep_batch = together;
    // The beam by levels of elevation, cell by cell, or as the engine chooses.
    options.beam_by_levels = together == 1 ? 1 : (together == 2 ? -1 : 0);
    const std::unique_ptr<Engine> ref = make_engine(EngineKind::Reference);
    const std::unique_ptr<Engine> fast = make_engine(EngineKind::Fast);
    ref->begin(t.dtab, dsizepix, options);
    fast->begin(t.dtab, dsizepix, options);
    const Weight weight{static_cast<double>(positions.size()), 0.25};
    int day = 1;
    for (const Sun &s : positions) {
        if (bytes_of(fast->shadow_marks(s.elev, s.azim)) != bytes_of(ref->shadow_marks(s.elev, s.azim)))
            return strf("marks differ at elevation %.17g azimuth %.17g", s.elev, s.azim);
        // Clear skies of every season, air masses of 1 to 38, turbidities of 2 to 6.
        day = day * 37 % 366 + 1;
        const ClearSky sky = clear_sky(day, s.elev, 2 + day % 5);
        ref->add_position({s.elev, s.azim, weight, sky});
        fast->add_position({s.elev, s.azim, weight, sky});
    }
    const Accumulation a = ref->finish();
    const Accumulation b = fast->finish();
    if (bytes_of(a.illumination) != bytes_of(b.illumination))
        return "the accumulations differ";
    if (bytes_of(a.sun_hours) != bytes_of(b.sun_hours))
        return "the hours of sun differ";
    if (bytes_of(a.beam) != bytes_of(b.beam))
        return "the beams differ";
    return "";
}

class EngineExactness : public test::SetsAndThreads
{
};

TEST_P(EngineExactness, SmallAndDegenerateGrids)
{
    const std::vector<Sun> s = suns(7);
    const int32_t sizes[][2] = {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {1, 37}, {29, 1}, {3, 5}, {7, 3}, {8, 8}, {9, 17}};
    for (const auto &sz : sizes)
        for (Shape shape : {Shape::Noise, Shape::Towers})
            for (double rescale : {10.0, 4.0}) {
                const Terrain t = terrain(sz[0], sz[1], shape, 11 + sz[0] * 100 + sz[1], rescale);
                EXPECT_EQ(compare(t, s, 30, 0.5, 1), "") << sz[0] << " x " << sz[1] << " over " << rescale;
                EXPECT_EQ(compare(t, s, 30, 0.5, 2), "")
                    << sz[0] << " x " << sz[1] << " over " << rescale << ", two by two";
                EXPECT_EQ(compare(t, s, 30, 0.5, 8, Slope::Horn), "")
                    << sz[0] << " x " << sz[1] << " over " << rescale << ", Horn's plane";
            }
}

TEST_P(EngineExactness, RandomTerrains)
{
    const std::vector<Sun> s = suns(3);
    const int32_t sizes[][2] = {{64, 64}, {37, 101}, {130, 45}, {97, 96}};
    uint64_t seed = 1;
    for (const auto &sz : sizes)
        for (Shape shape : {Shape::Fractal, Shape::Noise, Shape::Slope, Shape::Towers})
            for (double rescale : {10.0, 4.0}) {
                const Terrain t = terrain(sz[0], sz[1], shape, seed++, rescale);
                for (double pixel : {30.0, 1.0, 92.5})
                    EXPECT_EQ(compare(t, s, pixel, 0.35,
                                      pixel == 30.0  ? 1
                                      : pixel == 1.0 ? 2
                                                     : 8,
                                      pixel == 30.0 ? Slope::Dialogue : Slope::Horn),
                              "")
                        << sz[0] << " x " << sz[1] << " shape " << static_cast<int>(shape) << " pixel " << pixel
                        << " over " << rescale;
            }
}

TEST_P(EngineExactness, LargerGridEveryHourOfADay)
{
    // One day of sun positions at 45 degrees on a 300 x 257 fractal terrain.
    std::vector<Sun> day;
    for (int h = 5; h <= 19; h++)
        day.push_back({0.2 + 4.3 * (h - 5), 60.0 + 17.1 * (h - 5)});
    const Terrain t = terrain(300, 257, Shape::Fractal, 99);
    EXPECT_EQ(compare(t, day, 25, 0.0, 4), "");
}

TEST_P(EngineExactness, CellsWithoutElevation)
{
    // Cells at -infinity (no data): the beam stays finite wherever a cell and
    // its neighbours to the south and east have elevations, and both engines
    // agree there.
    Terrain t = terrain(61, 53, Shape::Fractal, 41);
    Random rnd(43);
    for (int k = 0; k < 60; k++)
        t.dtab[static_cast<int32_t>(rnd.below(61))][static_cast<int32_t>(rnd.below(53))] = -INFINITY;
    for (int by_levels : {-1, 1}) {
        const bool horn = by_levels == 1;
        EngineOptions options;
        options.beam = true;
        options.beam_by_levels = by_levels;
        options.slope = horn ? Slope::Horn : Slope::Dialogue;
        const std::unique_ptr<Engine> ref = make_engine(EngineKind::Reference);
        const std::unique_ptr<Engine> fast = make_engine(EngineKind::Fast);
        ref->begin(t.dtab, 25, options);
        fast->begin(t.dtab, 25, options);
        for (const Sun &s : suns(5)) {
            ref->add_position({s.elev, s.azim, {1, 0.5}, clear_sky(200, s.elev, 3)});
            fast->add_position({s.elev, s.azim, {1, 0.5}, clear_sky(200, s.elev, 3)});
        }
        const Accumulation a = ref->finish();
        const Accumulation b = fast->finish();
        int checked = 0;
        // With Horn's plane, every cell with an elevation has a beam.
        for (int32_t i = 0; i + (horn ? 0 : 1) < t.nb_lig; i++)
            for (int32_t j = 0; j + (horn ? 0 : 1) < t.nb_col; j++)
                if (std::isfinite(t.dtab[i][j]) &&
                    (horn || (std::isfinite(t.dtab[i + 1][j]) && std::isfinite(t.dtab[i][j + 1])))) {
                    ASSERT_TRUE(std::isfinite(b.beam[i][j])) << i << " " << j;
                    ASSERT_EQ(std::memcmp(&a.beam[i][j], &b.beam[i][j], sizeof(double)), 0) << i << " " << j;
                    checked++;
                }
        EXPECT_GT(checked, 2500);
    }
}

TEST(EngineInterface, AnEngineCanBeBegunAgainAndShadowMarksLeaveTheAccumulation)
{
    // One engine over two computations, with a shadow asked between
    // positions, gives what two fresh engines give without it.
    const Terrain first = terrain(40, 70, Shape::Towers, 3);
    const Terrain second = terrain(55, 31, Shape::Fractal, 4);
    const std::vector<Sun> positions = suns(9);
    for (EngineKind kind : {EngineKind::Reference, EngineKind::Fast}) {
        const std::unique_ptr<Engine> reused = make_engine(kind);
        for (const Terrain *t : {&first, &second}) {
            EngineOptions options;
            options.sun_hours = true;
            const std::unique_ptr<Engine> fresh = make_engine(kind);
            reused->begin(t->dtab, 30, options);
            fresh->begin(t->dtab, 30, options);
            for (const Sun &s : positions) {
                reused->add_position({s.elev, s.azim, {5, 0.5}});
                reused->shadow_marks(90 - s.elev, 360 - s.azim);
                fresh->add_position({s.elev, s.azim, {5, 0.5}});
            }
            const Accumulation a = reused->finish();
            const Accumulation b = fresh->finish();
            EXPECT_EQ(bytes_of(a.illumination), bytes_of(b.illumination));
            EXPECT_EQ(bytes_of(a.sun_hours), bytes_of(b.sun_hours));
            EXPECT_EQ(a.illumination.nb_lig(), t->nb_lig);
        }
    }
}

TEST_P(EngineExactness, ThinGridsWithTheSunOnAnAxis)
{
    // The rays along one line of the grid walked together: thin and wide
    // grids, the sun on each axis, terrains whose shadows nest (steep ramps
    // falling away from the sun, ramps falling at the very drop of a shadow
    // line, which rounding alone decides), towers, and cells without data.
    const double pi = 4 * std::atan(1.0);
    std::vector<Sun> s;
    for (double a : {0.0, 90.0, 180.0, 270.0, 360.0})
        for (double e : {0.2, 7.0, 35.0, 89.9})
            s.push_back({e, a});
    const int32_t sizes[][2] = {{700, 1}, {1, 700}, {500, 2}, {3, 400}, {64, 64}};
    enum class Kind { Noise, Towers, Steep, AtTheDrop, Holes };
    for (const auto &sz : sizes)
        for (Kind kind : {Kind::Noise, Kind::Towers, Kind::Steep, Kind::AtTheDrop, Kind::Holes}) {
            Terrain t = terrain(sz[0], sz[1], kind == Kind::Towers ? Shape::Towers : Shape::Noise, 5 + sz[0] + sz[1]);
            Random rnd(static_cast<uint64_t>(sz[0] * 7 + sz[1]));
            for (const Sun &sun : s) {
                // The drop of a shadow line over one step along an axis.
                const double drop = std::tan(sun.elev * (pi * (1.0 / 180))) * 30;
                for (int32_t i = 0; i < t.nb_lig; i++)
                    for (int32_t j = 0; j < t.nb_col; j++) {
                        const double along = sun.azim == 90 || sun.azim == 270 ? j : i;
                        const double toward = sun.azim == 90 || sun.azim == 180 ? -along : along;
                        if (kind == Kind::Steep)
                            t.dtab[i][j] = 5000 + toward * drop * 1.5 + rnd.below(3);
                        else if (kind == Kind::AtTheDrop)
                            t.dtab[i][j] = 5000 + toward * drop + (rnd.below(50) == 0 ? 0.5 : 0);
                        else if (kind == Kind::Holes && rnd.below(9) == 0)
                            t.dtab[i][j] = -std::numeric_limits<double>::infinity();
                    }
                EXPECT_EQ(compare(t, {sun}, 30, 0.5, 1), "")
                    << sz[0] << " x " << sz[1] << " kind " << static_cast<int>(kind);
            }
        }
}

TEST_P(EngineExactness, AWantedWindowKeepsTheBitsOfItsCellsAndLeavesTheOthersZero)
{
    // The exact method over the whole grid and over a window of it (a tile's
    // core in its halo): the window's cells take the same bits, the others
    // stay zero. Windows inside, at each edge and corner, one line, one
    // column, one cell, the whole grid; both planes, cells without data.
    const struct {
        CellWindow w;
        const char *what;
    } windows[] = {
        {{9, 11, 30, 25}, "inside"},   {{0, 0, 20, 17}, "the first corner"}, {{25, 30, 36, 39}, "the last corner"},
        {{0, 5, 61, 9}, "every line"}, {{13, 0, 1, 69}, "one line"},         {{0, 40, 61, 1}, "one column"},
        {{30, 34, 1, 1}, "one cell"},  {{0, 0, 61, 69}, "the whole grid"},
    };
    Terrain t = terrain(61, 69, Shape::Fractal, 57);
    Random rnd(59);
    for (int k = 0; k < 40; k++)
        t.dtab[static_cast<int32_t>(rnd.below(61))][static_cast<int32_t>(rnd.below(69))] = -INFINITY;
    const std::vector<Sun> positions = suns(13);
    for (Slope slope : {Slope::Dialogue, Slope::Horn}) {
        EngineOptions options;
        options.shadows = ShadowMethod::Exact;
        options.slope = slope;
        options.sun_hours = true;
        options.beam = true;
        options.origin = {100, 200, 400, 500};
        const auto run = [&](const EngineOptions &o) {
            const std::unique_ptr<Engine> fast = make_engine(EngineKind::Fast);
            fast->begin(t.dtab, 30, o);
            const Weight weight{static_cast<double>(positions.size()), 0.25};
            for (const Sun &p : positions)
                fast->add_position({p.elev, p.azim, weight, clear_sky(172, p.elev, 3)});
            return fast->finish();
        };
        const Accumulation whole = run(options);
        for (const auto &c : windows) {
            EngineOptions o = options;
            o.wanted = c.w;
            const Accumulation part = run(o);
            int differ = 0, stray = 0;
            for (int32_t i = 0; i < t.nb_lig; i++)
                for (int32_t j = 0; j < t.nb_col; j++) {
                    const bool in =
                        i >= c.w.line && i < c.w.line + c.w.lines && j >= c.w.column && j < c.w.column + c.w.columns;
                    for (Grid<double> Accumulation::*g :
                         {&Accumulation::illumination, &Accumulation::sun_hours, &Accumulation::beam}) {
                        const double a = (whole.*g)[i][j], b = (part.*g)[i][j];
                        if (in && std::memcmp(&a, &b, sizeof a) != 0)
                            differ++;
                        if (!in && b != 0)
                            stray++;
                    }
                }
            EXPECT_EQ(differ, 0) << c.what << (slope == Slope::Horn ? ", Horn's plane" : "");
            EXPECT_EQ(stray, 0) << c.what << (slope == Slope::Horn ? ", Horn's plane" : "");
        }
    }
}

TEST(EngineSpeed, AThinGridWithTheSunOnAnAxisTakesTimeLinearInItsCells)
{
    // 100000 x 1 over a day of the dialogue's sun, whose noon stands due
    // south: the rays along the column were walked each to its end, a
    // quadratic cost (seconds a position); now well under a second a day.
    const Terrain t = terrain(100000, 1, Shape::Noise, 3);
    const std::vector<SunPosition> day = hourly_positions(period_between(172, 172), 45);
    const std::unique_ptr<Engine> fast = make_engine(EngineKind::Fast);
    EngineOptions options;
    options.attenuation = 0.5;
    const auto start = std::chrono::steady_clock::now();
    fast->begin(t.dtab, 30, options);
    for (const SunPosition &p : day)
        fast->add_position(p);
    fast->finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(seconds, 20) << "the sanitizers slow every step";
#else
    EXPECT_LT(seconds, 1.0);
#endif
}

INSTANTIATE_TEST_SUITE_P(SetsAndThreads, EngineExactness, ::testing::ValuesIn(test::sets_and_threads({1, 2, 4})),
                         test::set_and_threads_name);

class SweepQuotients : public test::SetsAndThreads
{
};

TEST_P(SweepQuotients, HaveTheDivisionsBits)
{
    // Every pair of these, each alone in a vector and beside others: the
    // ends of the fused path's range and past them, zeros, subnormals,
    // infinities and NaN; then quotients that fall next to a midpoint.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double special[] = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              3.0,
                              44.0,
                              255.999,
                              1.0 / 3,
                              0x1.fffffffffffffp0,
                              0x1p-400,
                              0x1p-401,
                              -0x1p-400,
                              0x1p400,
                              0x1p401,
                              -0x1p400,
                              1e-310,
                              2.2250738585072014e-308,
                              1.7976931348623157e308,
                              kInf,
                              -kInf,
                              std::nan("")};
    std::vector<double> a, b;
    for (double x : special)
        for (double y : special)
            for (int lane = 0; lane < 8; lane++) {
                a.push_back(x);
                b.push_back(y);
            }
    for (double x : special)
        for (double y : special) {
            a.push_back(x);
            b.push_back(y);
        }
    Random rnd(5);
    for (int k = 0; k < 200000; k++) {
        const double y = (1 + rnd.uniform()) * std::ldexp(1.0, static_cast<int>(rnd.below(40)) - 20);
        const double x = y * (rnd.below(100000) + (rnd.below(2) != 0 ? 0.5 : 0.0));
        a.push_back(std::nextafter(x, rnd.below(2) != 0 ? kInf : -kInf));
        b.push_back(y);
    }
    std::vector<double> q(a.size());
    sweep_quotients(a.data(), b.data(), static_cast<int32_t>(a.size()), q.data());
    int wrong = 0;
    for (size_t k = 0; k < a.size(); k++) {
        const double d = a[k] / b[k];
        if (std::memcmp(&d, &q[k], sizeof d) != 0 && wrong++ < 5)
            ADD_FAILURE() << a[k] << " / " << b[k] << ": " << q[k] << " instead of " << d;
    }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(SetsAndThreads, SweepQuotients, ::testing::ValuesIn(test::sets_and_threads({1})),
                         test::set_and_threads_name);

} // namespace

namespace
{

struct RunCase {
    const char *name;
    int32_t nb_lig, nb_col;
    bool wide;           // 32-bit samples, some below sea level
    const char *answers; // after folder, model name and sample width
};

// Whole runs through the dialogue: the result image, its descriptor and the
// transcript are the same with either engine, on any number of threads.
class WholeRunExactness : public ::testing::TestWithParam<std::tuple<int, std::string>>
{
  protected:
    void SetUp() override
    {
        saved_set_ = instruction_set();
        saved_threads_ = max_threads();
        if (!use_instruction_set(std::get<1>(GetParam())))
            GTEST_SKIP() << "this processor does not run " << std::get<1>(GetParam());
    }
    void TearDown() override
    {
        use_instruction_set(saved_set_);
        set_threads(saved_threads_);
    }
    std::string saved_set_;
    int saved_threads_ = 1;
};

TEST_P(WholeRunExactness, SameFilesAsTheStraightforwardPasses)
{
    const RunCase cases[] = {
        {"dm16", 83, 61, false, "1\nresult\n1\n25\n45\n35\n0\n20\n3\n25\n3\n"},
        {"neg32", 40, 97, true, "1\nresult\n2\n12.5\n-30\n80\n2\n1\n12\n3\n12\n"},
        {"flat16", 9, 300, false, "0\n3\n90\n66.5\n0\n1\n21\n6\n21\n6\n"},
    };
    for (const RunCase &c : cases) {
        std::vector<int32_t> h = tools::fractal_terrain(c.nb_lig, c.nb_col, 5, c.wide ? -800 : 100, 5000, 16);
        std::string raw;
        if (c.wide) {
            raw = test::samples32(h);
        } else {
            std::vector<uint16_t> u(h.begin(), h.end());
            raw = test::samples16(u);
        }
        const std::string answers = std::string("d\n") + c.name + "\n" + (c.wide ? "1\n" : "0\n") + c.answers;
        std::string files[2];
        std::string transcripts[2];
        for (int e = 0; e < 2; e++) {
            test::Scratch s;
            const std::string suffix = c.wide ? "_m4" : "_m2";
            test::write_file(s.root() / "d" / (c.name + suffix + ".raw"), raw);
            test::write_file(s.root() / "d" / (c.name + suffix + ".txt"),
                             strf("%d\n%d\n%d\n0\n0\n10\n", c.nb_lig, c.nb_col, c.wide ? 4 : 2));
            set_threads(e == 0 ? 1 : std::get<0>(GetParam()));
            std::istringstream in(answers);
            std::ostringstream out;
            Console con{in, out, false};
            const int status = run_terralume(con, s.base(), {}, e == 0 ? EngineKind::Reference : EngineKind::Fast);
            ASSERT_EQ(status, 0) << c.name << "\n" << out.str();
            const std::string result = std::string(c.name) == "flat16" ? c.name : "result";
            files[e] = test::read_file(s.root() / "d" / (result + "_irra.raw")) + "\n--\n" +
                       test::read_file(s.root() / "d" / (result + "_irra.txt"));
            transcripts[e] = out.str();
        }
        EXPECT_TRUE(files[0] == files[1]) << c.name;
        EXPECT_EQ(transcripts[0], transcripts[1]) << c.name;
        EXPECT_GT(files[0].size(), static_cast<size_t>(c.nb_lig) * c.nb_col);
    }
}

TEST(WalkFloats, OnlyWhenEveryElevationIsAFloat)
{
    // One cell of a grid of whole metres set to each value: the rays walk
    // floats only when every elevation is one exactly.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        const char *name;
        double value;
        bool floats;
    } cases[] = {
        {"whole metres", 1234, true},      {"a quarter", 0.25, true},    {"no data", -kInf, true},
        {"minus zero", -0.0, true},        {"a tenth", 0.1, false},      {"2^24 + 1", 16777217, false},
        {"past the floats", 1e300, false}, {"NaN", std::nan(""), false}, {"a float's neighbour", 1 + 0x1p-40, false},
    };
    for (const auto &c : cases) {
        Grid<double> dtab(40, 33);
        for (int32_t i = 0; i < 40; i++)
            for (int32_t j = 0; j < 33; j++)
                dtab[i][j] = static_cast<double>((i * 7919 + j * 104729) % 3001);
        dtab[17][29] = c.value;
        Grid<float> rows, cols;
        ASSERT_EQ(prepare_walk(dtab, rows, cols), c.floats) << c.name;
        if (!c.floats) {
            EXPECT_TRUE(rows.empty() && cols.empty()) << c.name;
            continue;
        }
        bool same = true;
        for (int32_t i = 0; i < 40; i++)
            for (int32_t j = 0; j < 33; j++)
                same = same && static_cast<double>(rows[i][j]) == dtab[i][j] &&
                       static_cast<double>(cols[j][i]) == dtab[i][j] &&
                       std::signbit(rows[i][j]) == std::signbit(dtab[i][j]);
        EXPECT_TRUE(same) << c.name;
    }
}

std::vector<std::tuple<int, std::string>> run_params()
{
    std::vector<std::tuple<int, std::string>> p;
    for (int threads : {1, 2, 4})
        p.emplace_back(threads, instruction_sets().front());
    p.emplace_back(2, "generic");
    return p;
}

INSTANTIATE_TEST_SUITE_P(Threads, WholeRunExactness, ::testing::ValuesIn(run_params()), [](const auto &info) {
    return std::get<1>(info.param) + "_" + std::to_string(std::get<0>(info.param)) + "threads";
});

} // namespace
