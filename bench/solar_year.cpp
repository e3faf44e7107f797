// A whole year of the solar model through the engine interface: a seeded
// fractal DEM (30 m cells, a few hundred metres of relief), the sun
// positions of 1 January to 31 December 2026 at latitude 45 at the chosen
// step, and the fast engine accumulating the illumination, the hours of sun
// and the clear-sky beam. Prints the number of positions, the time of each
// part and of the whole process, and the peak resident memory.
//
//     solar_year [SIDE [STEP [OUTPUTS [BEAM]]]]
//
// SIDE defaults to 1000, STEP to 10 minutes; OUTPUTS is `all` (the default),
// `hours` (illumination and hours) or `illumination`, to see what each costs;
// BEAM `cells` computes the beam normal irradiance cell by cell, as for a
// model whose elevations take many distinct values (the generated one is in
// whole metres, so by default it goes by levels).
#include "engine.h"
#include "parallel.h"
#include "solar_period.h"
#include "terrain.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace terralume;

namespace
{

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char **argv)
{
    const auto t0 = std::chrono::steady_clock::now();
    if (argc > 5) {
        std::fprintf(stderr, "usage: solar_year [SIDE [STEP [all|hours|illumination [levels|cells]]]]\n");
        return 2;
    }
    const int side = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int step = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::string outputs = argc > 3 ? argv[3] : "all";
    const bool by_cells = argc > 4 && std::string(argv[4]) == "cells";
    if (side < 2 || side > 20000) {
        std::fprintf(stderr, "solar_year: SIDE must be 2 to 20000\n");
        return 2;
    }

    const std::vector<int32_t> h = tools::fractal_terrain(side, side, 2024, 200, 700);
    Grid<double> dtab(side, side);
    for (int32_t i = 0; i < side; i++)
        for (int32_t j = 0; j < side; j++)
            dtab[i][j] = h[static_cast<size_t>(i) * side + j];

    SolarSettings s;
    s.from = {2026, 1, 1};
    s.to = {2026, 12, 31};
    s.step_minutes = step;
    s.place = {45, 5, 500};
    s.utc_offset = nominal_utc_offset(s.place.lon);
    const std::string wrong = check(s);
    if (!wrong.empty()) {
        std::fprintf(stderr, "solar_year: %s\n", wrong.c_str());
        return 2;
    }
    const auto t1 = std::chrono::steady_clock::now();
    const SolarPeriod period = solar_period(s);
    const double t_positions = seconds_since(t1);

    const auto t2 = std::chrono::steady_clock::now();
    EngineOptions o;
    o.sun_hours = outputs != "illumination";
    o.beam = outputs == "all";
    o.beam_by_levels = by_cells ? -1 : 0;
    const auto engine = make_engine(EngineKind::Fast);
    engine->begin(dtab, 30, o);
    for (const SunPosition &p : period.positions)
        engine->add_position(p);
    const Accumulation a = engine->finish();
    const double t_engine = seconds_since(t2);
    const double wall = seconds_since(t0);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cells = static_cast<double>(side) * side;
    const double n = static_cast<double>(period.positions.size());
    std::printf("grid %d x %d, %s, step %d min: %.0f sun positions of %lld steps%s\n", side, side,
                instruction_set().c_str(), step, n, period.report.instants,
                o.beam ? (by_cells ? ", beam cell by cell" : ", beam by levels") : "");
    std::printf("positions          %.2f s\n", t_positions);
    std::printf("engine             %.2f s (%.3f ns per cell and position)\n", t_engine, t_engine / (cells * n) * 1e9);
    std::printf("whole process      %.2f s\n", wall);
    std::printf("peak memory        %.1f MB, %.1f bytes per cell\n", usage.ru_maxrss / 1024.0,
                usage.ru_maxrss * 1024.0 / cells);
    // A cell in the middle, so that the work cannot be left out.
    std::printf("middle cell        %.4f illumination", a.illumination[side / 2][side / 2]);
    if (o.sun_hours)
        std::printf(", %.2f h of sun", a.sun_hours[side / 2][side / 2]);
    if (o.beam)
        std::printf(", %.1f kWh/m2 of beam", a.beam[side / 2][side / 2] / 1000);
    std::printf("\n");
    return 0;
}
