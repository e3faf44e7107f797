// The kernels of the cast-shadow methods, the ray walk (walk.cpp) and the
// exact method (exact.cpp), and of the horizons' lines (horizon_lines.cpp),
// compiled once for each instruction set like the sweep (kernels.h) and
// chosen with it (dispatch.h).
//
// Nothing here may be an inline function shared with other translation units:
// a copy built for a wider instruction set could be linked in its place.
#ifndef TERRALUME_SHADOWS_SHADOW_KERNELS_H
#define TERRALUME_SHADOWS_SHADOW_KERNELS_H

#include "kernels.h"

#include <cstddef>
#include <cstdint>

namespace terralume::kernels
{

// One family of parallel rays that start on one border of a grid stored by
// rows: the elevations themselves, or their transpose for rays that start on
// a column border. Ray k starts at (r0, k); every ray advances dr rows and dc
// columns per step and ends at (r_fin, k + dc_fin).
struct RayFamily {
    const double *const *g; // rows of the grid walked, or null when gf is set
    const float *const *gf; // the same as floats, when every elevation is one
    int32_t nrows;
    int32_t ncols;
    int32_t r0;
    double dr;
    double dc;
    int32_t r_fin;
    int32_t dc_fin;
    double dif_alt;    // drop of a shadow line per step [metre]
    bool transposed;   // the grid walked is the transpose of the marks
    unsigned char bit; // the bit of the position in the marks
};

// Steps of each cell's own line toward the sun that the horizons
// (horizon.h) test on that line itself.
constexpr int kOwnSteps = 3;
// Stretches of each cell's own line toward the sun that the exact cast-shadow
// method tests on that line itself before it asks the rays (exact_shadow.h).
constexpr int kNearSteps = 4;

// One family of rays of the exact cast-shadow method (exact_shadow.h), over
// a grid stored by rows: the elevations, or their transpose.
struct ExactFamily {
    const double *const *g; // rows of the grid walked
    int32_t nrows;
    int32_t ncols;
    int32_t r0;
    int32_t dr;
    bool transposed; // the grid walked is the transpose of the marks
    // Per step: see ExactGeometry.
    const int32_t *base;
    const double *phi;
    const double *d;
    const double *p;
    const double *b;
    const int32_t *lo;
    const int32_t *hi;
    const int32_t *jb[kOwnSteps];
    const double *psi[kOwnSteps];
    // Where each cell's line toward the sun meets the lines 1 .. kNearSteps + 1
    // steps back (ExactGeometry::ob, of).
    const int32_t *ob[kNearSteps + 1];
    const double *of[kNearSteps + 1];
    double dcs;        // columns a ray moves per step
    double dt;         // the sun line's rise over one step [metre]
    double kc;         // the curvature's drop over one step, squared [metre]
    double top;        // the highest elevation of the grid
    double slack;      // the margin of the own lines' shortcut (exact_line.h)
    double n0;         // steps from the whole raster's border to line r0
    bool holes;        // some cells lack data (-infinity); false only when none does
    unsigned char bit; // the bit of the position in the marks
    // The cells tested: rows row_lo .. row_hi and columns col_lo .. col_hi of
    // the grid walked; the rays walk every row all the same.
    int32_t row_lo;
    int32_t row_hi;
    int32_t col_lo;
    int32_t col_hi;
};

// The cells lo .. hi of one line of the grid walked by the horizons
// (horizon.h), and the lines before it toward the azimuth where their own
// lines meet them.
struct OwnLines {
    const double *line; // the cells' line
    int32_t ncols;
    int32_t lo, hi;
    int32_t steps; // lines tested, at most kOwnSteps
    // Line k + 1 before, which cell c's line meets at column c + jb[k] +
    // psi[k], d[k] metres away, where the curvature lowers it by drop[k].
    const double *back[kOwnSteps];
    int32_t jb[kOwnSteps];
    double psi[kOwnSteps];
    double d[kOwnSteps];
    double drop[kOwnSteps];
};

// The last points of the horizons' hulls over the whole grid, ray by ray:
// x[k][i] and w[k][i] are the distance and height of ray i's point k places
// before its hull's last (horizon.cpp), for k below the hull's size.
constexpr int kHullEnds = 6;
struct HullEnds {
    const double *x[kHullEnds];
    const double *w[kHullEnds];
};

// A point of a horizon's hull (horizon.cpp): a sample's distance x along
// its ray [metre] and its height w, lowered by the curvature's drop.
struct HullPoint {
    double x, w;
};

// The hulls of the horizons over the whole grid, ray i's points at
// points + off[i], size[i] of them in room for cap[i], and their ends
// (HullEnds).
struct Hulls {
    HullPoint *points;
    const size_t *off;
    const size_t *cap;
    size_t *size;
    double *x[kHullEnds];
    double *w[kHullEnds];
};

// The rises from cells lo .. hi of one line to the terrain beyond their own
// lines: to the sum phi L + (1 - phi) R of the hulls of the rays either side
// of each, ray c + ray0 - 1 as L and ray c + ray0 as R (horizon.cpp).
struct FarRises {
    const double *line; // the cells' line
    int32_t lo, hi;
    int64_t ray0;
    HullEnds ends;
    const size_t *size; // the hulls' sizes, ray by ray
    // Where each ray's tangent was last found as L and as R.
    size_t *last_l;
    size_t *last_r;
    double qx;    // the line's distance along the rays
    double wq;    // the curvature's drop there
    double phi;   // L's weight, not 0
    double shift; // the curvature's correction of the rises
};

// The entry points of one instruction set.
struct Walk {
    const char *name;
    int32_t rays; // rays walked together, one per vector lane
    // Rays k0 .. k0 + lanes - 1 of a family (lanes <= rays), marking the
    // hidden cells in `marks` (lines of the elevation grid), a grid that no
    // other thread writes meanwhile.
    void (*walk_rays)(const RayFamily &f, unsigned char *const *marks, int32_t k0, int32_t lanes);
};
struct Exact {
    const char *name;
    // Rays k0 - 1 .. k1 - 1 of a family, marking in `marks` (lines of the
    // elevation grid), a grid no other thread writes meanwhile, the cells
    // whose right-hand ray is one of k0 .. k1 - 1.
    void (*exact_rays)(const ExactFamily &f, unsigned char *const *marks, int32_t k0, int32_t k1);
};
struct Horizon {
    const char *name;
    // Cells taken together, one per vector lane; 1 in the portable build,
    // whose far_rises and grow_hulls leave every cell and ray.
    int32_t lanes;
    // z[i], i = 0 .. ncols: the surface of a line of ncols cells a fraction
    // phi of a cell past column i - 1 (-infinity where it has no terrain).
    void (*samples)(const double *line, int32_t ncols, double phi, double *z);
    // best[c - lo]: the highest rise from cell c to its own line over the
    // lines before it, -infinity for none.
    void (*own_rises)(const OwnLines &o, double *best);
    // out[i]: the angle of rise t[i] in degrees, per_radian degrees a radian.
    void (*degrees)(const double *t, int32_t count, double per_radian, float *out);
    // best[c - lo] raised to each cell's rise to the hulls (FarRises) where
    // it is found within a point of where the searches start, and their last
    // tangents moved on: the searches horizon.cpp makes, in the same
    // operations. The cells with data it leaves go into `rest`, in order;
    // returns their count.
    int32_t (*far_rises)(const FarRises &f, double *best, int32_t *rest);
    // Samples z[i] - drop at distance x of rays i0 .. i1 added to their
    // hulls (horizon.cpp) where they pop at most one point and find room;
    // the rays with samples it leaves go into `rest`, in order; returns
    // their count.
    int32_t (*grow_hulls)(const Hulls &h, const double *z, double x, double drop, int64_t i0, int64_t i1,
                          int64_t *rest);
};

namespace generic
{
extern const Walk walk;
extern const Exact exact;
extern const Horizon horizon;
} // namespace generic
namespace avx2
{
extern const Walk walk;
extern const Exact exact;
extern const Horizon horizon;
} // namespace avx2
namespace avx512
{
extern const Walk walk;
extern const Exact exact;
extern const Horizon horizon;
} // namespace avx512

} // namespace terralume::kernels

#endif
