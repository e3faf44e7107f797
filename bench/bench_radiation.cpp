// The sky beyond the beam against the beam alone, side by side, on a
// generated 1000 x 1000 terrain of 30 m cells:
//   - the 36 horizons against 36 exact cast-shadow passes, and the 36
//     horizons out to 900 m (30 cells), each writing into grids made before
//     the clock starts;
//   - one day of the solar sun every 10 minutes (21 June at 36.6 N) with
//     beam, diffuse and the global horizontal, under horizons computed
//     beforehand, against the same day with the beam alone. A year is
//     about 365 such days: the ratio of the two carries over.
// --instruction_set=avx512|avx2|generic chooses the kernels.
#include "engine.h"
#include "horizon.h"
#include "instruction_set_flag.h"
#include "marks.h"
#include "sky_view.h"
#include "solar_period.h"
#include "terrain.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <string>

using namespace terralume;

namespace
{

constexpr int32_t kSide = 1000;
constexpr double kPixel = 30;

const Grid<double> &dem()
{
    static Grid<double> g = [] {
        const std::vector<int32_t> f = tools::fractal_terrain(kSide, kSide, 7, 200, 900, 256);
        Grid<double> d(kSide, kSide);
        for (int32_t i = 0; i < kSide; i++)
            for (int32_t j = 0; j < kSide; j++)
                d[i][j] = f[static_cast<size_t>(i) * kSide + j];
        return d;
    }();
    return g;
}

const std::vector<SunPosition> &day()
{
    static std::vector<SunPosition> p = [] {
        SolarSettings s;
        parse_date("2026-06-21", s.from);
        parse_date("2026-06-21", s.to);
        s.place = {36.6, -83.7, 0};
        s.utc_offset = -6;
        return solar_period(s).positions;
    }();
    return p;
}

// The angles go into grids made before the clock starts, as the cast
// shadows' marks below do.
std::vector<Grid<float>> angle_grids()
{
    std::vector<Grid<float>> out;
    for (int k = 0; k < 36; k++) {
        out.emplace_back(kSide, kSide);
        out.back().fill(0);
    }
    return out;
}

void BM_Horizons36(benchmark::State &state)
{
    dem(); // made before the clock starts
    std::vector<Grid<float>> out = angle_grids();
    for (auto _ : state) {
        horizons(dem(), kPixel, {36, 0, true}, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_Horizons36Within900m(benchmark::State &state)
{
    std::vector<Grid<float>> out = angle_grids();
    for (auto _ : state) {
        horizons(dem(), kPixel, {36, 900, true}, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_ExactPasses36(benchmark::State &state)
{
    const Grid<double> &g = dem();
    Grid<double> t(kSide, kSide);
    for (int32_t i = 0; i < kSide; i++)
        for (int32_t j = 0; j < kSide; j++)
            t[j][i] = g[i][j];
    MarkGrids marks = mark_grids(kSide, kSide, mark_grid_count());
    for (auto _ : state)
        for (int k = 0; k < 36; k++)
            exact_marks(g, t, 0.001, k * 10.0, kPixel, true, false, marks);
}

void day_run(benchmark::State &state, bool diffuse)
{
    static const Grid<double> view =
        sky_view(dem(), kPixel, Slope::Horn, horizons(dem(), kPixel, {36, 0, true}), false);
    EngineOptions o;
    o.beam = true;
    o.diffuse = diffuse;
    o.sky_view = &view;
    o.shadows = ShadowMethod::Exact;
    o.slope = Slope::Horn;
    for (auto _ : state) {
        const auto e = make_engine(EngineKind::Fast);
        e->begin(dem(), kPixel, o);
        for (const SunPosition &p : day())
            e->add_position(p);
        benchmark::DoNotOptimize(e->finish());
    }
    state.counters["positions"] = static_cast<double>(day().size());
}

void BM_DayBeam(benchmark::State &state) { day_run(state, false); }
void BM_DayBeamDiffuse(benchmark::State &state) { day_run(state, true); }

BENCHMARK(BM_Horizons36)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ExactPasses36)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Horizons36Within900m)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_DayBeam)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_DayBeamDiffuse)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char **argv)
{
    if (!terralume::bench::take_instruction_set(argc, argv, "bench_radiation"))
        return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
