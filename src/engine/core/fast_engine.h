// The fast engine: one sun position in two sweeps, the cast-shadow marks by
// rays walked in lockstep (marks.h), then self-shading, masking and
// accumulation fused into one pass over the lines (the sweep below), for
// several positions at once. It gives the same bits as the straightforward
// passes (shadow, cast_border, superp_cast). Runs use it through engine.h;
// the sweep is declared here for the engine and for the benchmarks, which
// time it on its own.
#ifndef TERRALUME_ENGINE_FAST_ENGINE_H
#define TERRALUME_ENGINE_FAST_ENGINE_H

#include "engine.h"
#include "grid.h"
#include "marks.h"
#include "prepare.h"
#include "shading.h"

#include <cstdint>
#include <memory>

namespace terralume
{

// The fast implementation of engine.h (make_engine(EngineKind::Fast)).
std::unique_ptr<Engine> make_fast_engine();

// Up to this many sun positions share one sweep over the grid: the same
// values as one sweep each, in order, for a fraction of the memory traffic.
constexpr int kMaxSweepPositions = 8;

// A sun position whose cast-shadow marks are made: its angles and weight.
struct SunPass {
    double elev;
    double azim;
    Weight weight;
};

// What the beam of a sweep needs: the cells' pressure ratios, the
// accumulation, the fraction kept in cast shadow and the clear sky of each
// pass, skies[q] for passes[q]; the cells' own beam indices, or null.
struct BeamPass {
    const PressureGrid *pressure;
    Grid<double> *beam;
    double attenuation;
    const ClearSky *skies;
    const Grid<double> *index = nullptr;
};

// What the diffuse light of a sweep needs: the cells' pressure ratios, the
// clear sky of each pass, the cells' sky views and Muneer's functions of
// their slopes, their own beam and diffuse indices (or null), and the
// accumulations of the diffuse and of the global horizontal irradiation.
struct DiffusePass {
    const PressureGrid *pressure;
    const ClearSky *skies;
    const Grid<double> *view;
    const Grid<double> *slopes;
    const Grid<double> *beam_index;
    const Grid<double> *diffuse_index;
    Grid<double> *diffuse;
    Grid<double> *horizontal;
};

// Self-shading, masking and accumulation of passes[0 .. count - 1] (count 1
// to kMaxSweepPositions), in order, position q marked in bit q of `marks`,
// which are left cleared. The same values as shadow then superp_cast with
// tab_cs the union of the marks; the hours of direct sun are added to
// `sun_hours` when it is given, the beam when `beam` is, the diffuse light
// (diffuse.h, add_diffuse: the same bits) when `diffuse` is.
// With `rises`, every cell's plane is Horn's (shading.h). Only the cells of
// `wanted` (no lines: all) are swept; the others, and their marks, are left
// as they are.
void shade_and_accumulate(const Grid<double> &dtab, const Grid<double> &bn, const SunPass *passes, int count,
                          double dsizepix, double attenuation, MarkGrids &marks, Grid<double> &dtab_res,
                          Grid<double> *sun_hours = nullptr, const BeamPass *beam = nullptr,
                          const SlopeRises *rises = nullptr, const DiffusePass *diffuse = nullptr,
                          const CellWindow &wanted = {});

// a[k] / b[k] for k < count as the sweep of the chosen instruction set forms
// its quotients (for the tests).
void sweep_quotients(const double *a, const double *b, int32_t count, double *out);

} // namespace terralume

#endif
