// The sweep of the fast engine, built once per instruction set with TL_ISA
// naming it; see kernels.h. One pass over the lines does the self-shading,
// the masking by the cast-shadow marks and the accumulation of up to
// kSweepPositions sun positions: each cell's elevations, normal length and
// accumulation are read once and the positions added in order, so the
// accumulation takes the same values as with one pass each.
#include "kernels.h"
#include "vectors.h"
// After the vectors, so that its templates take them.
#include "formulas.h"

#include <cstring>

namespace terralume::kernels::TL_ISA
{

namespace
{

using formulas::accumulated;
using formulas::attenuated;
using formulas::incidence;
using formulas::shading;
using formulas::sun_hours_added;

// Lines first .. last - 1; with kHours the hours of direct sun too.
template <bool kHours>
void sweep(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    const int32_t jmax = g.nb_col - 1;
    const vd zero = splat(0.0);
    vd cc[kSweepPositions], cs[kSweepPositions], sr[kSweepPositions], att[kSweepPositions], spots[kSweepPositions],
        hours[kSweepPositions];
    for (int32_t q = 0; q < positions; q++) {
        cc[q] = splat(t[q].cc);
        cs[q] = splat(t[q].cs);
        sr[q] = splat(t[q].sr);
        att[q] = splat(t[q].attenuation);
        spots[q] = splat(t[q].spots);
        hours[q] = splat(t[q].hours);
    }
    for (int32_t i = first; i < last; i++) {
        // A cell is marked for position q when any worker set its bit q;
        // the marks are cleared for the next sweep as they are read.
        unsigned char *m[kMaxMarkGrids];
        for (int32_t k = 0; k < g.mark_grids; k++)
            m[k] = g.marks[k][i];
        auto marks_at = [&](int32_t j) {
            vb mk = {};
            for (int32_t k = 0; k < g.mark_grids; k++) {
                vb o;
                std::memcpy(&o, m[k] + j, sizeof o);
                mk |= o;
                std::memset(m[k] + j, 0, sizeof o);
            }
            return mk;
        };
        auto marked = [&](int32_t j) {
            unsigned char v = 0;
            for (int32_t k = 0; k < g.mark_grids; k++) {
                v = static_cast<unsigned char>(v | m[k][j]);
                m[k][j] = 0;
            }
            return v;
        };
        double *res = g.dtab_res[i];
        double *hrs = kHours ? g.sun_hours[i] : nullptr;
        int32_t j = 0;
        if (i < g.nb_lig - 1) {
            const double *row = g.dtab[i];
            const double *next = g.dtab[i + 1];
            const double *bn = g.bn[i];
            for (; j + W <= jmax; j += W) {
                vd r0, r1, nx, b, acc, acc_h;
                std::memcpy(&r0, row + j, sizeof r0);
                std::memcpy(&r1, row + j + 1, sizeof r1);
                std::memcpy(&nx, next + j, sizeof nx);
                std::memcpy(&b, bn + j, sizeof b);
                std::memcpy(&acc, res + j, sizeof acc);
                if (kHours)
                    std::memcpy(&acc_h, hrs + j, sizeof acc_h);
                const vd d2 = nx - r0;
                const vd d3 = r1 - r0;
                const vb mk = marks_at(j);
                for (int32_t q = 0; q < positions; q++) {
                    const vd s = shading(incidence(cc[q], cs[q], sr[q], d2, d3, b), zero);
                    const vm shaded = __builtin_convertvector((mk & static_cast<signed char>(1 << q)) != 0, vm);
                    acc = accumulated(attenuated(s, shaded, att[q]), spots[q], acc);
                    if (kHours)
                        acc_h = sun_hours_added(s, shaded, hours[q], zero, acc_h);
                }
                std::memcpy(res + j, &acc, sizeof acc);
                if (kHours)
                    std::memcpy(hrs + j, &acc_h, sizeof acc_h);
            }
            for (; j < jmax; j++) {
                const double d2 = next[j] - row[j];
                const double d3 = row[j + 1] - row[j];
                const unsigned char mk = marked(j);
                for (int32_t q = 0; q < positions; q++) {
                    const double s = shading(incidence(t[q].cc, t[q].cs, t[q].sr, d2, d3, bn[j]), 0.0);
                    const bool shaded = (mk >> q & 1) != 0;
                    res[j] = accumulated(attenuated(s, shaded, t[q].attenuation), t[q].spots, res[j]);
                    if (kHours)
                        hrs[j] = sun_hours_added(s, shaded, t[q].hours, 0.0, hrs[j]);
                }
            }
        }
        // The last column and the last line have no shading.
        for (; j < g.nb_col; j++) {
            const unsigned char mk = marked(j);
            for (int32_t q = 0; q < positions; q++)
                res[j] = accumulated(attenuated(0.0, (mk >> q & 1) != 0, t[q].attenuation), t[q].spots, res[j]);
        }
    }
}

void sweep_lines(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    if (g.sun_hours != nullptr)
        sweep<true>(g, t, positions, first, last);
    else
        sweep<false>(g, t, positions, first, last);
}

} // namespace

const Sweep sweep = {TL_ISA_NAME, sweep_lines};

} // namespace terralume::kernels::TL_ISA
