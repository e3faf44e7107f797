// The inner loops of the fast engine, the ray walk (walk.cpp) and the sweep
// (sweep.cpp), compiled once for each instruction set (each file is built as
// several objects; see CMakeLists.txt) and chosen at run time. Every variant performs the same IEEE operations in the
// same order as the straightforward kernels, so all of them give the same bits.
//
// Nothing here may be an inline function shared with other translation units:
// a copy built for a wider instruction set could be linked in its place.
#ifndef TERRALUME_ENGINE_KERNELS_H
#define TERRALUME_ENGINE_KERNELS_H

#include <cstdint>

namespace terralume::kernels
{

// The most grids of cast-shadow marks (one per thread of that pass).
constexpr int kMaxMarkGrids = 8;
// The most sun positions one sweep adds to the accumulation.
constexpr int kSweepPositions = 8;

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

// Per-position constants of the fused shading and accumulation sweep.
struct SweepTerms {
    double cc, cs, sr; // sun vector, as in the straightforward shading
    double attenuation;
    double spots; // the divisor of the position's weight
    double hours; // the time the position stands for [hour]
    // The clear sky, for the beam (see ClearSky in engine.h).
    double irradiance, air_mass, linke;
    double beam_attenuation;
    const double *beam_levels; // the beam normal irradiance of each level, when the cells have levels
};

// The grids the sweep reads and writes, by lines; nb_lig x nb_col each.
struct SweepGrids {
    const double *const *dtab;
    const double *const *bn; // normal lengths of the cells (last line and column unused)
    // The marks of every worker of the cast-shadow pass, position q of the
    // sweep in bit q: read, then cleared.
    unsigned char *const *const *marks;
    int32_t mark_grids;
    double *const *dtab_res;
    double *const *sun_hours;    // null unless the hours of direct sun are wanted
    const double *const *pp0;    // pressure ratios of the cells, when the beam is wanted
    const int32_t *const *level; // or their levels (see PressureGrid), when not null
    double *const *beam;         // null unless the beam is wanted
    int32_t nb_lig;
    int32_t nb_col;
};

// Steps of each cell's own line toward the sun that the exact cast-shadow
// method tests on that line itself (exact_shadow.h).
constexpr int kOwnSteps = 3;

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
    bool holes;        // some cells lack data (-infinity); false only when none does
    unsigned char bit; // the bit of the position in the marks
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
struct Sweep {
    const char *name;
    // Lines first .. last - 1 of 1 to kSweepPositions sun positions, in order.
    void (*sweep_lines)(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last);
    // The beam normal irradiance of one position at `count` pressure ratios.
    void (*beam_table)(const SweepTerms &t, const double *pp0, int32_t count, double *out);
    // a[k] / b[k] for k < count, formed as the sweep forms its quotients (for
    // the tests: the bits of the division, whatever the operands).
    void (*quotients)(const double *a, const double *b, int32_t count, double *out);
};

namespace generic
{
extern const Walk walk;
extern const Sweep sweep;
extern const Exact exact;
} // namespace generic
namespace avx2
{
extern const Walk walk;
extern const Sweep sweep;
extern const Exact exact;
} // namespace avx2
namespace avx512
{
extern const Walk walk;
extern const Sweep sweep;
extern const Exact exact;
} // namespace avx512

} // namespace terralume::kernels

#endif
