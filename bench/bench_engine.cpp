// Benchmarks of the engine, in nanoseconds per cell per sun position: each
// pass and one whole sun position, for the fast engine and for the
// straightforward passes it is checked against, on seeded fractal terrain
// (30 m cells, a few hundred metres of relief) of 500, 1000 and 2000 cells a
// side and on the Jacksboro example. After the runs a summary compares the
// two engines measured here and now, and the worst case (every cell casting a
// shadow to the end of its ray) with the typical position, and the exact
// cast shadows with the rays.
//
// Threads: arguments of the form /threads:N; OMP_NUM_THREADS does not apply.
// --instruction_set=avx512|avx2|generic chooses the fast engine's kernels.
#include "accumulation.h"
#include "cast_shadow.h"
#include "fast_engine.h"
#include "instruction_set_flag.h"
#include "parallel.h"
#include "shading.h"
#include "sun.h"
#include "terrain.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace terralume;

namespace
{

constexpr double kPixel = 30;

struct Model {
    Grid<double> dtab;
    Grid<double> bn;
    Grid<double> dtab_t;
    Grid<float> rows_f, cols_f; // the elevations as floats, when they all are
    bool floats = false;
};

// The cast-shadow marks of one position as a run makes them: over the
// elevations as floats when they all are (whole metres here).
void rays(const Model &m, double elev, double azim, double pixel, MarkGrids &marks, unsigned char bit = 1)
{
    if (m.floats)
        cast_marks(m.rows_f, m.cols_f, elev, azim, pixel, marks, bit);
    else
        cast_marks(m.dtab, m.dtab_t, elev, azim, pixel, marks, bit);
}

std::unique_ptr<Model> model_from(int32_t nb_lig, int32_t nb_col, const std::vector<int32_t> &samples, double pixel)
{
    auto m = std::make_unique<Model>();
    m->dtab = Grid<double>(nb_lig, nb_col);
    m->bn = Grid<double>(nb_lig, nb_col);
    m->dtab_t = Grid<double>(nb_col, nb_lig);
    for (int32_t i = 0; i < nb_lig; i++)
        for (int32_t j = 0; j < nb_col; j++)
            m->dtab[i][j] = static_cast<double>(samples[static_cast<size_t>(i) * nb_col + j]);
    prepare_cells(m->dtab, pixel, m->bn, m->dtab_t);
    m->floats = prepare_walk(m->dtab, m->rows_f, m->cols_f);
    return m;
}

// Terrain of side n (0: the Jacksboro example, 90 m cells).
const Model &terrain(int32_t n)
{
    static std::map<int32_t, std::unique_ptr<Model>> cache;
    auto &m = cache[n];
    if (m)
        return *m;
    if (n == 0) {
        std::ifstream f(TL_EXAMPLES "/images/jacksboro/jacksboro_m2.raw", std::ios::binary);
        std::vector<int32_t> s(344 * 403);
        for (int32_t &v : s) {
            unsigned char b[2] = {0, 0};
            f.read(reinterpret_cast<char *>(b), 2);
            v = b[0] | b[1] << 8;
        }
        if (!f)
            std::fprintf(stderr, "cannot read the Jacksboro example\n");
        m = model_from(344, 403, s, 90);
    } else {
        m = model_from(n, n, tools::fractal_terrain(n, n, 2024, 200, 700), kPixel);
    }
    return *m;
}

// A steep plane falling toward the north, the sun low in the south: every
// cell stands above its northern neighbour by more than a shadow line drops
// per step, so every cell casts a shadow that runs to the end of its ray.
const Model &slope(int32_t n)
{
    static std::map<int32_t, std::unique_ptr<Model>> cache;
    auto &m = cache[n];
    if (!m) {
        std::vector<int32_t> s(static_cast<size_t>(n) * n);
        for (int32_t i = 0; i < n; i++)
            for (int32_t j = 0; j < n; j++)
                s[static_cast<size_t>(i) * n + j] = 100 + 40 * i + (j % 7);
        m = model_from(n, n, s, kPixel);
    }
    return *m;
}

double pixel_of(int32_t n) { return n == 0 ? 90 : kPixel; }

// The sun positions of one day (21 March, latitude 45): a run's mix of low
// and high suns in every direction.
std::vector<std::pair<double, double>> day_positions()
{
    const SunDay d = sun_positions(80, 45);
    std::vector<std::pair<double, double>> p;
    for (int h = 0; h < kHours; h++)
        if (d.asol[h] > 0.1)
            p.emplace_back(d.asol[h], d.zsol[h]);
    return p;
}

struct Scope {
    explicit Scope(int threads) : saved(max_threads()) { set_threads(threads); }
    ~Scope() { set_threads(saved); }
    int saved;
};

int32_t side(const benchmark::State &state) { return static_cast<int32_t>(state.range(0)); }
int threads(const benchmark::State &state) { return static_cast<int>(state.range(1)); }

// Time per cell and per sun position; an iteration handles `positions`.
void per_cell(benchmark::State &state, const Grid<double> &dtab, int positions = 1)
{
    state.counters["ns_per_cell"] =
        benchmark::Counter(static_cast<double>(dtab.nb_lig()) * dtab.nb_col() * positions,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Sun positions as a run on two threads does them: the marks of several
// positions, then one sweep adding them all.
constexpr int kBatch = kMaxSweepPositions;
struct Batch {
    Batch(int32_t nl, int32_t nc) : marks(mark_grids(nl, nc, mark_grid_count())) {}
    void run(const Model &m, double pixel, const std::pair<double, double> *suns, Grid<double> &res, bool exact = false)
    {
        SunPass passes[kBatch];
        for (int q = 0; q < kBatch; q++) {
            const auto bit = static_cast<unsigned char>(1 << q);
            if (exact)
                exact_marks(m.dtab, m.dtab_t, suns[q].first, suns[q].second, pixel, true, false, marks, bit);
            else
                rays(m, suns[q].first, suns[q].second, pixel, marks, bit);
            passes[q] = {suns[q].first, suns[q].second, {4015, 1}};
        }
        shade_and_accumulate(m.dtab, m.bn, passes, kBatch, pixel, 0.5, marks, res);
    }
    MarkGrids marks;
};

// Times `pass(elev, azim)` once per iteration, the sun positions of a day in
// turn; an iteration handles `positions` positions.
template <typename Pass> void timed(benchmark::State &state, const Grid<double> &dtab, Pass pass, int positions = 1)
{
    const auto suns = day_positions();
    size_t k = 0;
    for (auto _ : state) {
        const auto [elev, azim] = suns[k++ % suns.size()];
        pass(elev, azim);
        benchmark::ClobberMemory();
    }
    per_cell(state, dtab, positions);
}

// Whole positions as a run makes them, the sun positions of a day in turn,
// four to a sweep, with the rays or the exact cast shadows.
void positions(benchmark::State &state, bool exact)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    Batch batch(m.dtab.nb_lig(), m.dtab.nb_col());
    Grid<double> res(m.dtab.nb_lig(), m.dtab.nb_col());
    const auto suns = day_positions();
    size_t k = 0;
    timed(
        state, m.dtab,
        [&](double, double) {
            std::pair<double, double> some[kBatch];
            for (auto &sun : some)
                sun = suns[k++ % suns.size()];
            batch.run(m, pixel_of(side(state)), some, res, exact);
        },
        kBatch);
}

void BM_FastPosition(benchmark::State &state) { positions(state, false); }

// The exact cast shadows (with the Earth's curvature), beside the rays.
void BM_ExactPosition(benchmark::State &state) { positions(state, true); }

void BM_ExactCastShadow(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    MarkGrids tab_cs = mark_grids(m.dtab.nb_lig(), m.dtab.nb_col(), mark_grid_count());
    timed(state, m.dtab, [&](double elev, double azim) {
        exact_marks(m.dtab, m.dtab_t, elev, azim, pixel_of(side(state)), true, false, tab_cs);
    });
}

void BM_FastCastShadow(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    MarkGrids tab_cs = mark_grids(m.dtab.nb_lig(), m.dtab.nb_col(), mark_grid_count());
    timed(state, m.dtab, [&](double elev, double azim) { rays(m, elev, azim, pixel_of(side(state)), tab_cs); });
}

void BM_FastShadeAccumulate(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    MarkGrids tab_cs = mark_grids(m.dtab.nb_lig(), m.dtab.nb_col(), mark_grid_count());
    Grid<double> res(m.dtab.nb_lig(), m.dtab.nb_col());
    timed(state, m.dtab, [&](double elev, double azim) {
        const SunPass pass{elev, azim, {4015, 1}};
        shade_and_accumulate(m.dtab, m.bn, &pass, 1, pixel_of(side(state)), 0.5, tab_cs, res);
    });
}

void BM_FastWorstCase(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = slope(side(state));
    Batch batch(m.dtab.nb_lig(), m.dtab.nb_col());
    Grid<double> res(m.dtab.nb_lig(), m.dtab.nb_col());
    std::pair<double, double> low_south[kBatch];
    for (auto &sun : low_south)
        sun = {10, 180};
    timed(
        state, m.dtab, [&](double, double) { batch.run(m, kPixel, low_south, res); }, kBatch);
}

// The straightforward passes, on grids of their own.
struct Reference {
    explicit Reference(const Grid<double> &dtab)
        : nl(dtab.nb_lig()), nc(dtab.nb_col()), dtab_s(nl, nc), dtab_sp(nl, nc), res(nl, nc), tab_cs(nl, nc),
          rays(ray_lists(cast_geometry(nl, nc, 45, 0, 1).n, max_threads()))
    {
    }
    void cast(const Grid<double> &dtab, double elev, double azim, double pixel)
    {
        const CastGeometry g = cast_geometry(nl, nc, elev, azim, pixel);
        tab_cs.fill(0);
        for (Border b : kBorderOrder)
            cast_border(b, g, dtab, pixel, rays, tab_cs);
    }
    void position(const Grid<double> &dtab, double elev, double azim, double pixel)
    {
        shadow(dtab, elev, azim, pixel, dtab_s);
        cast(dtab, elev, azim, pixel);
        superp_cast(dtab_s, tab_cs, 0.5, 4015, dtab_sp, res);
    }
    int32_t nl, nc;
    Grid<double> dtab_s, dtab_sp, res;
    Grid<unsigned char> tab_cs;
    std::vector<RayList> rays;
};

void BM_ReferencePosition(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    Reference r(m.dtab);
    timed(state, m.dtab, [&](double elev, double azim) { r.position(m.dtab, elev, azim, pixel_of(side(state))); });
}

void BM_ReferenceShading(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    Reference r(m.dtab);
    timed(state, m.dtab, [&](double, double) { shadow(m.dtab, 35, 150, pixel_of(side(state)), r.dtab_s); });
}

void BM_ReferenceCastShadow(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    Reference r(m.dtab);
    timed(state, m.dtab, [&](double elev, double azim) { r.cast(m.dtab, elev, azim, pixel_of(side(state))); });
}

void BM_ReferenceSuperposition(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = terrain(side(state));
    Reference r(m.dtab);
    timed(state, m.dtab, [&](double, double) { superp_cast(r.dtab_s, r.tab_cs, 0.5, 4015, r.dtab_sp, r.res); });
}

void BM_ReferenceWorstCase(benchmark::State &state)
{
    const Scope scope(threads(state));
    const Model &m = slope(side(state));
    Reference r(m.dtab);
    timed(state, m.dtab, [&](double, double) { r.position(m.dtab, 10, 180, kPixel); });
}

void sizes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"side", "threads"});
    for (int64_t n : {0, 500, 1000, 2000})
        for (int64_t t : {1, 2})
            b->Args({n, t});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void worst_sizes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"side", "threads"});
    for (int64_t t : {1, 2})
        b->Args({1000, t});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_FastPosition)->Apply(sizes);
BENCHMARK(BM_FastCastShadow)->Apply(sizes);
BENCHMARK(BM_ExactCastShadow)->Apply(sizes);
BENCHMARK(BM_ExactPosition)->Apply(sizes);
BENCHMARK(BM_FastShadeAccumulate)->Apply(sizes);
BENCHMARK(BM_FastWorstCase)->Apply(worst_sizes);
BENCHMARK(BM_ReferencePosition)->Apply(sizes);
BENCHMARK(BM_ReferenceShading)->Apply(sizes);
BENCHMARK(BM_ReferenceCastShadow)->Apply(sizes);
BENCHMARK(BM_ReferenceSuperposition)->Apply(sizes);
BENCHMARK(BM_ReferenceWorstCase)->Apply(worst_sizes);

// Keeps the console report and remembers ns per cell of every run.
class Collector : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const auto it = r.counters.find("ns_per_cell");
            if (it != r.counters.end() && r.run_type == Run::RT_Iteration)
                ns[r.benchmark_name()] = it->second.value * 1e9;
        }
    }
    std::map<std::string, double> ns;
};

void summary(const std::map<std::string, double> &ns)
{
    auto get = [&](const std::string &name) {
        const auto it = ns.find(name);
        return it == ns.end() ? -1.0 : it->second;
    };
    std::printf("\nOne whole sun position, ns per cell (instruction set %s)\n", instruction_set().c_str());
    std::printf("%-10s %8s %10s %10s %8s\n", "side", "threads", "fast", "reference", "speed-up");
    for (int n : {0, 500, 1000, 2000})
        for (int t : {1, 2}) {
            const std::string args = "/side:" + std::to_string(n) + "/threads:" + std::to_string(t) + "/real_time";
            const double f = get("BM_FastPosition" + args);
            const double r = get("BM_ReferencePosition" + args);
            if (f <= 0 || r <= 0)
                continue;
            std::printf("%-10s %8d %10.3f %10.3f %7.1fx\n", n == 0 ? "jacksboro" : std::to_string(n).c_str(), t, f, r,
                        r / f);
        }
    std::printf("\nCast shadows, ns per cell per sun position: the exact method beside the rays\n");
    std::printf("%-10s %8s %10s %10s %8s %14s %14s %8s\n", "side", "threads", "rays", "exact", "ratio", "rays position",
                "exact position", "ratio");
    for (int n : {0, 500, 1000, 2000})
        for (int t : {1, 2}) {
            const std::string args = "/side:" + std::to_string(n) + "/threads:" + std::to_string(t) + "/real_time";
            const double r = get("BM_FastCastShadow" + args);
            const double e = get("BM_ExactCastShadow" + args);
            const double rp = get("BM_FastPosition" + args);
            const double ep = get("BM_ExactPosition" + args);
            if (r <= 0 || e <= 0)
                continue;
            std::printf("%-10s %8d %10.3f %10.3f %7.2fx %14.3f %14.3f %7.2fx\n",
                        n == 0 ? "jacksboro" : std::to_string(n).c_str(), t, r, e, e / r, rp, ep,
                        rp > 0 && ep > 0 ? ep / rp : 0.0);
        }
    for (int t : {1, 2}) {
        const std::string args = "/side:1000/threads:" + std::to_string(t) + "/real_time";
        const double w = get("BM_FastWorstCase" + args);
        const double f = get("BM_FastPosition" + args);
        const double rw = get("BM_ReferenceWorstCase" + args);
        if (w > 0 && f > 0)
            std::printf("worst case at 1000, %d thread(s): fast %.3f ns per cell, %.2fx the typical position; "
                        "reference %.3f\n",
                        t, w, w / f, rw);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (!terralume::bench::take_instruction_set(argc, argv, "bench_engine"))
        return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    summary(collector.ns);
    benchmark::Shutdown();
    return 0;
}
