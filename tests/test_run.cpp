// The run layer: the positions of a period as every face visits them, one
// computation with the marks of another position, and the shared checks.
#include "fast_engine.h"
#include "run.h"
#include "support.h"
#include "terrain.h"

#include <cmath>
#include <limits>

namespace terralume
{
namespace
{

using namespace test;

TEST(RunPositions, HourlyDaysAreVisitedInOrderWithTheirHours)
{
    const struct {
        std::vector<DayRange> days;
        int64_t max_days;
        std::vector<int32_t> visited; // the days on_day sees
    } cases[] = {
        {{{172, 172}}, INT64_MAX, {172}},
        {{{364, 365}, {1, 2}}, INT64_MAX, {364, 365, 1, 2}},
        // A model's days are computed as they stand, past 365 and before 1.
        {{{-2, 0}, {366, 367}}, INT64_MAX, {-2, -1, 0, 366, 367}},
        {{{10, 20}}, 3, {10, 11, 12}},
        {{}, INT64_MAX, {}},
    };
    for (const auto &c : cases) {
        const run::Positions positions = run::Positions::hourly(c.days, 45, Weight{77, 1}, c.max_days);
        std::vector<int32_t> days;
        size_t visited = 0;
        positions.visit([&](int32_t day) { days.push_back(day); },
                        [&](const SunPosition &p, const run::Moment &when) {
                            ASSERT_FALSE(days.empty());
                            EXPECT_EQ(when.day, days.back());
                            const SunDay sun = sun_positions(when.day, 45);
                            EXPECT_EQ(p.elev, sun.asol[when.hour]);
                            EXPECT_EQ(p.azim, sun.zsol[when.hour]);
                            EXPECT_EQ(p.weight.divisor, 77);
                            visited++;
                        });
        EXPECT_EQ(days, c.visited);
        EXPECT_EQ(positions.count(), visited);
        // At latitude 45 the simplified sun is up at hours 7 to 17.
        EXPECT_EQ(visited, 11 * c.visited.size());
    }
    // The command line's periods are the same positions as hourly_positions.
    const Period across = period_between(360, 5);
    const std::vector<SunPosition> all = hourly_positions(across, 50);
    size_t k = 0;
    run::Positions::hourly(across.pieces, 50, hourly_weight(across.days()))
        .visit({}, [&](const SunPosition &p, const run::Moment &) {
            ASSERT_LT(k, all.size());
            EXPECT_EQ(p.elev, all[k].elev);
            EXPECT_EQ(p.weight.divisor, all[k++].weight.divisor);
        });
    EXPECT_EQ(k, all.size());
}

TEST(RunCompute, OneComputationGivesTheEnginesAccumulationAndMarks)
{
    const std::vector<int32_t> z = tools::fractal_terrain(41, 37, 5, 300, 400, 16);
    Grid<double> dtab(41, 37);
    for (int32_t i = 0; i < 41; i++)
        for (int32_t j = 0; j < 37; j++)
            dtab[i][j] = z[static_cast<size_t>(i * 37 + j)];
    EngineOptions options;
    options.sun_hours = true;
    const std::vector<SunPosition> solar = {{20, 100, {3, 0.5}}, {35, 180, {3, 0.5}}, {15, 250, {3, 0.5}}};
    size_t done = 0;
    run::Progress progress;
    progress.done = [&](size_t n) { EXPECT_EQ(n, ++done); };
    const auto engine = make_engine(EngineKind::Fast);
    const run::Computed c =
        run::compute(*engine, dtab, 30, options, run::Positions::solar(solar), progress, run::SunAngles{12, 300});
    EXPECT_EQ(done, solar.size());

    const auto direct = make_engine(EngineKind::Fast);
    direct->begin(dtab, 30, options);
    const Grid<unsigned char> marks = direct->shadow_marks(12, 300);
    for (const SunPosition &p : solar)
        direct->add_position(p);
    const Accumulation acc = direct->finish();
    EXPECT_EQ(bytes_of(c.marks), bytes_of(marks));
    EXPECT_EQ(bytes_of(c.acc.illumination), bytes_of(acc.illumination));
    EXPECT_EQ(bytes_of(c.acc.sun_hours), bytes_of(acc.sun_hours));
}

TEST(RunChecks, PixelSizesAndGridSizes)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (const double ok : {1e-150, 0.5, 30.0, 2147483647.0})
        EXPECT_TRUE(run::usable_pixel_size(ok)) << ok;
    for (const double bad : {0.0, -1.0, 1e-170, 2147483648.0, inf, std::nan("")})
        EXPECT_FALSE(run::usable_pixel_size(bad)) << bad;

    run::Footprint f;
    f.face = run::Face::CommandLine;
    f.lines = 1000;
    f.columns = 1000;
    EXPECT_FALSE(run::size_problem(f, UINT64_MAX));
    const auto memory = run::size_problem(f, 1000);
    ASSERT_TRUE(memory);
    EXPECT_EQ(memory->kind, run::SizeProblem::Memory);
    EXPECT_EQ(memory->bytes, run::run_bytes(f));
    // What the command line keeps of its outputs and solar positions counts.
    run::Footprint more = f;
    more.position_bytes = 1 << 30;
    EXPECT_GE(run::run_bytes(more), run::run_bytes(f) + (1 << 30) - (64 << 20));
    f.columns = run::kMaxSide + 1;
    EXPECT_EQ(run::size_problem(f, UINT64_MAX)->kind, run::SizeProblem::Side);
    f.columns = f.lines = run::kMaxSide;
    EXPECT_EQ(run::size_problem(f, UINT64_MAX)->kind, run::SizeProblem::Overflow);
}

TEST(RunChecks, ShadowReach)
{
    // Flat earth: the relief over the tangent; a 1000 m relief with the sun
    // at 2 degrees or higher needs about 27 km with the curvature.
    EXPECT_DOUBLE_EQ(run::shadow_reach(100, 45, false), 100 / std::tan(std::atan(1.0)));
    EXPECT_NEAR(run::shadow_reach(1000, 2, true), 26900, 300);
    EXPECT_LT(run::shadow_reach(1000, 2, true), run::shadow_reach(1000, 2, false));
    for (const double e : {-1.0, 0.0, 0.5, 10.0}) {
        const double d = run::shadow_reach(1000, e, true);
        const double t = std::tan(e * std::atan(1.0) / 45);
        EXPECT_NEAR(d * t + d * d / (2 * 6371000.0), 1000, 1e-6) << e;
    }
    EXPECT_TRUE(std::isinf(run::shadow_reach(10, 0, false)));
    EXPECT_EQ(run::shadow_reach(0, 10, true), 0);
}

} // namespace
} // namespace terralume
