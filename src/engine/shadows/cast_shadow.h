// Cast shadows of one sun position: parallel rays from every border cell,
// laid in the direction in which shadows fall, each walked across the grid
// and swept once for the cells that the relief before them hides.
//
// Grid orientation: line index grows toward the south, column index toward
// the east; azimuths are degrees clockwise from north.
#ifndef TERRALUME_ENGINE_CAST_SHADOW_H
#define TERRALUME_ENGINE_CAST_SHADOW_H

#include "grid.h"

#include <cstdint>
#include <vector>

namespace terralume
{

// Geometry shared by every ray of one pass.
struct CastGeometry {
    int32_t max_im;    // the larger grid dimension
    double distance;   // length of every ray [cell]: sqrt(2) x max_im
    int32_t n;         // ray-list length: trunc(distance) + 2
    double angle_trig; // direction toward the sun, degrees counter-clockwise from east
    double gama;       // direction of the rays (where shadows fall), 0 <= gama < 360
    double ang;        // angle between gama and the nearest grid axis, 0..45
    double rap;        // length of one ray step [pixel], 1 + 0.414 x ang / 45
    double dist2;      // length of one ray step [metre]
    double dif_alt;    // drop of a shadow line over one step [metre]
    int32_t di_fin;    // line offset from a ray's start to its end cell
    int32_t dj_fin;    // column offset from a ray's start to its end cell
};

// elev, azim [degree]; dsizepix [metre].
CastGeometry cast_geometry(int32_t nb_lig, int32_t nb_col, double elev, double azim, double dsizepix);

// The cells of one ray, entries 1..point (entry 0 unused), in order from the
// start cell away from the sun: line, column and elevation [metre]. Each
// worker thread has its own, on a cache line of its own.
struct alignas(64) RayList {
    explicit RayList(int32_t n) : tab_alti(n), coord_i(n), coord_j(n) {}
    bool allocated() const { return !tab_alti.empty() && !coord_i.empty() && !coord_j.empty(); }
    Vector<double> tab_alti;
    Vector<int32_t> coord_i;
    Vector<int32_t> coord_j;
    int32_t point = 0;
};

// Walks the digital line from (ideb, jdeb) toward (ifin, jfin): one cell per
// step along the major axis, a fraction along the other, each position taken
// to the cell trunc(x + 0.5). Truncation goes toward zero, so positions down
// to -1.5 still land on line or column 0: at the northern and western edges a
// ray stays one step longer than rounding would allow. Records every cell
// reached at a non-zero distance from the start, and stops on the end cell or
// at the first position outside the grid. When start and end coincide the
// list is left as it was.
void trace_droite(RayList &ray, int32_t ideb, int32_t jdeb, int32_t ifin, int32_t jfin, const Grid<double> &dtab,
                  double dsizepix);

// One ray list per worker thread, each of n entries; empty when any cannot
// be allocated.
std::vector<RayList> ray_lists(int32_t n, int threads);

// Sweeps entries 1..point: every cell strictly higher than the next one casts
// a shadow line dropping dif_alt per step, and marks with 1 the following
// cells strictly below it. Entry 1 (the border cell) is never a caster and
// entry `point` is never marked. Where a shadow ends, that cell is the next
// caster examined.
void traject(const RayList &ray, double dif_alt, Grid<unsigned char> &tab_cs);

enum class Border { FirstLine, LastLine, FirstColumn, LastColumn };

// Every pass walks the rays of all four borders, in this order, whichever
// way the sun stands.
constexpr Border kBorderOrder[4] = {Border::FirstLine, Border::LastLine, Border::FirstColumn, Border::LastColumn};
// Rays of the line borders start at every column, those of the column
// borders at every line.
constexpr bool starts_on_line(Border b) { return b == Border::FirstLine || b == Border::LastLine; }
constexpr bool last_of_axis(Border b) { return b == Border::LastLine || b == Border::LastColumn; }

// Traces and sweeps the rays that start on one border of the grid, shared
// among as many threads as there are ray lists. A ray only ever writes 1
// into tab_cs, so the marks do not depend on which thread sweeps which ray.
void cast_border(Border border, const CastGeometry &g, const Grid<double> &dtab, double dsizepix,
                 std::vector<RayList> &rays, Grid<unsigned char> &tab_cs);

} // namespace terralume

#endif
