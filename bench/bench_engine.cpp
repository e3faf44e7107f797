// Micro-benchmarks of the engine kernels on synthetic terrain, by grid size.
#include "accumulation.h"
#include "cast_shadow.h"
#include "final_treatment.h"
#include "parallel.h"
#include "shading.h"

#include <benchmark/benchmark.h>
#include <cmath>

using namespace terralume;

namespace
{

// Rolling hills with a ridge: slopes in every direction and long shadows.
Grid<double> hills(int32_t n)
{
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++)
            g[i][j] = 300 + 80 * std::sin(i * 0.05) * std::cos(j * 0.07) + (j == n / 2 ? 150 : 0);
    return g;
}

void BM_Shading(benchmark::State &state)
{
    const int32_t n = static_cast<int32_t>(state.range(0));
    const Grid<double> dem = hills(n);
    Grid<double> out(n, n);
    for (auto _ : state) {
        shadow(dem, 35, 150, 30, out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

void BM_CastShadowPass(benchmark::State &state)
{
    const int32_t n = static_cast<int32_t>(state.range(0));
    const Grid<double> dem = hills(n);
    Grid<unsigned char> marks(n, n);
    const CastGeometry g = cast_geometry(n, n, 20, 135, 30);
    std::vector<RayList> rays = ray_lists(g.n, max_threads());
    for (auto _ : state) {
        marks.fill(0);
        for (Border b : {Border::FirstLine, Border::LastLine, Border::FirstColumn, Border::LastColumn})
            cast_border(b, g, dem, 30, rays, marks);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

void BM_Superposition(benchmark::State &state)
{
    const int32_t n = static_cast<int32_t>(state.range(0));
    Grid<double> s(n, n);
    Grid<unsigned char> cs(n, n);
    Grid<double> sp(n, n);
    Grid<double> res(n, n);
    s.fill(100);
    for (auto _ : state) {
        superp_cast(s, cs, 0.5, 4015, sp, res);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

void BM_FinalTreatment(benchmark::State &state)
{
    const int32_t n = static_cast<int32_t>(state.range(0));
    Grid<unsigned char> tab(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++)
            tab[i][j] = static_cast<unsigned char>((i * 7 + j * 13) % 256);
    Grid<int32_t> sums(n, n);
    Grid<unsigned char> out(n, n);
    for (auto _ : state) {
        pins(tab, sums, out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

} // namespace

BENCHMARK(BM_Shading)->RangeMultiplier(2)->Range(256, 2048);
BENCHMARK(BM_CastShadowPass)->RangeMultiplier(2)->Range(256, 2048);
BENCHMARK(BM_Superposition)->RangeMultiplier(2)->Range(256, 2048);
BENCHMARK(BM_FinalTreatment)->RangeMultiplier(2)->Range(256, 2048);
BENCHMARK_MAIN();
