// The sweep of the fast engine (sweep.cpp), compiled once for each
// instruction set (see CMakeLists.txt) and chosen at run time with the other
// kernels (dispatch.h); and what every kernel shares: the layout of the
// cast-shadow marks. Every variant performs the same IEEE operations in the
// same order as the straightforward passes, so all of them give the same bits.
//
// Nothing here may be an inline function shared with other translation units:
// a copy built for a wider instruction set could be linked in its place.
#ifndef TERRALUME_KERNELS_KERNELS_H
#define TERRALUME_KERNELS_KERNELS_H

#include <cstdint>

namespace terralume::kernels
{

// The most grids of cast-shadow marks (one per thread of that pass).
constexpr int kMaxMarkGrids = 8;
// The most sun positions one sweep adds to the accumulation.
constexpr int kSweepPositions = 8;

// Per-position constants of the fused shading and accumulation sweep.
struct SweepTerms {
    double cc, cs, sr; // sun vector, as in the straightforward shading
    double attenuation;
    double spots; // the divisor of the position's weight
    double hours; // the time the position stands for [hour]
    // The clear sky, for the beam (see ClearSky in engine.h).
    double irradiance, air_mass, linke;
    double beam_attenuation;
    double beam_index;         // real skies: the ratio of real to clear-sky beam
    const double *beam_levels; // the beam normal irradiance of each level, when the cells have levels
    // The diffuse (see DiffuseSun in formulas.h): the horizontal's diffuse
    // irradiance, the sun's elevation and azimuth terms, and the square of
    // the cell's side, of which a level cell's normal length is made.
    double dh, sin_h, inv_sin_h, inv_g0h, inv_low, ca, sa, r2;
};

// The grids the sweep reads and writes, by lines; nb_lig x nb_col each.
struct SweepGrids {
    const double *const *dtab;
    const double *const *bn; // normal lengths of the cells (last line and column unused with the dialogue's plane)
    // The rises of every cell's Horn plane; null with the dialogue's plane,
    // whose rises are made from the elevations.
    const double *const *d2;
    const double *const *d3;
    // The marks of every worker of the cast-shadow pass, position q of the
    // sweep in bit q: read, then cleared.
    unsigned char *const *const *marks;
    int32_t mark_grids;
    double *const *dtab_res;
    double *const *sun_hours;    // null unless the hours of direct sun are wanted
    const double *const *pp0;    // pressure ratios of the cells, when the beam or the diffuse is wanted
    const int32_t *const *level; // or their levels (see PressureGrid), when not null
    double *const *beam;         // null unless the beam is wanted
    // Every cell's ratio of real to clear-sky beam, multiplying its beam
    // normal irradiance after the position's; null for none.
    const double *const *beam_index;
    // The diffuse light and the global horizontal irradiation, null unless
    // wanted; every cell's sky view, Muneer's function of its slope, and its
    // ratio of real to clear-sky diffuse (null for none).
    double *const *diffuse;
    double *const *horizontal;
    const double *const *view;
    const double *const *slopes;
    const double *const *diffuse_index;
    int32_t nb_lig;
    int32_t nb_col;
    // The columns swept, col_first .. col_last - 1 (0 .. nb_col - 1 when
    // col_last is 0); the others are left as they are, marks included.
    int32_t col_first = 0;
    int32_t col_last = 0;
};

// The entry points of one instruction set.
struct Sweep {
    const char *name;
    // Lines first .. last - 1 of 1 to kSweepPositions sun positions, in order,
    // over the columns of SweepGrids.
    void (*sweep_lines)(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last);
    // The beam normal irradiance of one position at `count` pressure ratios.
    void (*beam_table)(const SweepTerms &t, const double *pp0, int32_t count, double *out);
    // a[k] / b[k] for k < count, formed as the sweep forms its quotients (for
    // the tests: the bits of the division, whatever the operands).
    void (*quotients)(const double *a, const double *b, int32_t count, double *out);
};

namespace generic
{
extern const Sweep sweep;
} // namespace generic
namespace avx2
{
extern const Sweep sweep;
} // namespace avx2
namespace avx512
{
extern const Sweep sweep;
} // namespace avx512

} // namespace terralume::kernels

#endif
