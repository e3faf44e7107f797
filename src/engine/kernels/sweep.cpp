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
using formulas::beam_added;
using formulas::beam_normal;
using formulas::both;
using formulas::either;
using formulas::incidence;
using formulas::shading;
using formulas::sun_hours_added;

// Lines first .. last - 1; with kHours the hours of direct sun too, with
// kBeam the beam irradiation; with kHorn every cell's plane from its rises,
// else from the elevations of the cell, its next line and its next column.
template <bool kHours, bool kBeam, bool kHorn>
void sweep(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    const int32_t jmax = kHorn ? g.nb_col : g.nb_col - 1;
    const bool by_levels = kBeam && g.level != nullptr;
    const vd zero = splat(0.0);
    vd cc[kSweepPositions], cs[kSweepPositions], sr[kSweepPositions], att[kSweepPositions], hours[kSweepPositions],
        irr[kSweepPositions], m0[kSweepPositions], tl[kSweepPositions], batt[kSweepPositions], bidx[kSweepPositions];
    formulas::Divisor spots[kSweepPositions];
    vm dark[kSweepPositions]; // all lanes set when cast shadow keeps no beam
    vb bit[kSweepPositions];  // the position's bit in the marks, in every lane
    for (int32_t q = 0; q < positions; q++) {
        for (int l = 0; l < W; l++)
            bit[q][l] = static_cast<signed char>(1 << q);
        cc[q] = splat(t[q].cc);
        cs[q] = splat(t[q].cs);
        sr[q] = splat(t[q].sr);
        att[q] = splat(t[q].attenuation);
        spots[q] = formulas::divisor_of(splat(t[q].spots));
        hours[q] = splat(t[q].hours);
        irr[q] = splat(t[q].irradiance);
        m0[q] = splat(t[q].air_mass);
        tl[q] = splat(t[q].linke);
        batt[q] = splat(t[q].beam_attenuation);
        bidx[q] = splat(t[q].beam_index);
        dark[q] = t[q].beam_attenuation == 0 ? ~vm{} : vm{};
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
        double *bm = kBeam ? g.beam[i] : nullptr;
        const double *pp0 = kBeam && !by_levels ? g.pp0[i] : nullptr;
        const double *kb = kBeam && g.beam_index != nullptr ? g.beam_index[i] : nullptr;
        const int32_t *lv = by_levels ? g.level[i] : nullptr;
        int32_t j = 0;
        if (kHorn || i < g.nb_lig - 1) {
            const double *row = kHorn ? g.d2[i] : g.dtab[i];
            const double *next = kHorn ? g.d3[i] : g.dtab[i + 1];
            const double *bn = g.bn[i];
            for (; j + W <= jmax; j += W) {
                vd r0, r1 = {}, nx, b, acc, acc_h, acc_b, p = {};
                vi lvs = {};
                std::memcpy(&r0, row + j, sizeof r0);
                if (!kHorn)
                    std::memcpy(&r1, row + j + 1, sizeof r1);
                std::memcpy(&nx, next + j, sizeof nx);
                std::memcpy(&b, bn + j, sizeof b);
                std::memcpy(&acc, res + j, sizeof acc);
                if (kHours)
                    std::memcpy(&acc_h, hrs + j, sizeof acc_h);
                if (kBeam) {
                    std::memcpy(&acc_b, bm + j, sizeof acc_b);
                    if (by_levels)
                        std::memcpy(&lvs, lv + j, sizeof lvs);
                    else
                        std::memcpy(&p, pp0 + j, sizeof p);
                }
                const vd d2 = kHorn ? r0 : nx - r0;
                const vd d3 = kHorn ? nx : r1 - r0;
                const vb mk = marks_at(j);
                const formulas::Divisor nl = formulas::divisor_of(b);
                for (int32_t q = 0; q < positions; q++) {
                    const vd rad = incidence(cc[q], cs[q], sr[q], d2, d3, nl);
                    const vd s = shading(rad, zero);
                    const vm shaded = __builtin_convertvector((mk & bit[q]) != 0, vm);
                    acc = accumulated(attenuated(s, shaded, att[q]), spots[q], acc);
                    if (kHours)
                        acc_h = sun_hours_added(s, shaded, hours[q], zero, acc_h);
                    // Cells facing away, or in cast shadow that keeps no beam,
                    // would add exactly 0; a vector of them is left as it is.
                    if (kBeam && bits(either(rad < zero, both(shaded, dark[q]))) != kAllLanes) {
                        vd normal;
                        if (by_levels)
                            for (int l = 0; l < W; l++)
                                normal[l] = t[q].beam_levels[lvs[l]];
                        else
                            normal = beam_normal(irr[q], m0[q], tl[q], p) * bidx[q];
                        if (kb != nullptr) {
                            vd cell;
                            std::memcpy(&cell, kb + j, sizeof cell);
                            normal = normal * cell;
                        }
                        acc_b = beam_added(rad, shaded, normal, batt[q], hours[q], zero, acc_b);
                    }
                }
                std::memcpy(res + j, &acc, sizeof acc);
                if (kHours)
                    std::memcpy(hrs + j, &acc_h, sizeof acc_h);
                if (kBeam)
                    std::memcpy(bm + j, &acc_b, sizeof acc_b);
            }
            for (; j < jmax; j++) {
                const double d2 = kHorn ? row[j] : next[j] - row[j];
                const double d3 = kHorn ? next[j] : row[j + 1] - row[j];
                const unsigned char mk = marked(j);
                for (int32_t q = 0; q < positions; q++) {
                    const double rad = incidence(t[q].cc, t[q].cs, t[q].sr, d2, d3, bn[j]);
                    const double s = shading(rad, 0.0);
                    const bool shaded = (mk >> q & 1) != 0;
                    res[j] = accumulated(attenuated(s, shaded, t[q].attenuation), t[q].spots, res[j]);
                    if (kHours)
                        hrs[j] = sun_hours_added(s, shaded, t[q].hours, 0.0, hrs[j]);
                    if (kBeam && !(rad < 0 || (shaded && t[q].beam_attenuation == 0))) {
                        double normal = by_levels ? t[q].beam_levels[lv[j]]
                                                  : beam_normal(t[q].irradiance, t[q].air_mass, t[q].linke, pp0[j]) *
                                                        t[q].beam_index;
                        if (kb != nullptr)
                            normal = normal * kb[j];
                        bm[j] = beam_added(rad, shaded, normal, t[q].beam_attenuation, t[q].hours, 0.0, bm[j]);
                    }
                }
            }
        }
        // With the dialogue's plane, the last column and the last line have no
        // shading (nor hours, nor beam).
        for (; j < g.nb_col; j++) {
            const unsigned char mk = marked(j);
            for (int32_t q = 0; q < positions; q++)
                res[j] = accumulated(attenuated(0.0, (mk >> q & 1) != 0, t[q].attenuation), t[q].spots, res[j]);
        }
    }
}

template <bool kHorn>
void sweep_of(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    if (g.beam != nullptr) {
        if (g.sun_hours != nullptr)
            sweep<true, true, kHorn>(g, t, positions, first, last);
        else
            sweep<false, true, kHorn>(g, t, positions, first, last);
    } else if (g.sun_hours != nullptr) {
        sweep<true, false, kHorn>(g, t, positions, first, last);
    } else {
        sweep<false, false, kHorn>(g, t, positions, first, last);
    }
}

void sweep_lines(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    if (g.d2 != nullptr)
        sweep_of<true>(g, t, positions, first, last);
    else
        sweep_of<false>(g, t, positions, first, last);
}

void beam_table(const SweepTerms &t, const double *pp0, int32_t count, double *out)
{
    const vd irr = splat(t.irradiance), m0 = splat(t.air_mass), tl = splat(t.linke);
    int32_t k = 0;
    for (; k + W <= count; k += W) {
        vd p;
        std::memcpy(&p, pp0 + k, sizeof p);
        const vd n = beam_normal(irr, m0, tl, p) * splat(t.beam_index);
        std::memcpy(out + k, &n, sizeof n);
    }
    for (; k < count; k++)
        out[k] = beam_normal(t.irradiance, t.air_mass, t.linke, pp0[k]) * t.beam_index;
}

void quotients(const double *a, const double *b, int32_t count, double *out)
{
    int32_t k = 0;
    for (; k + W <= count; k += W) {
        vd va, vb;
        std::memcpy(&va, a + k, sizeof va);
        std::memcpy(&vb, b + k, sizeof vb);
        const vd q = formulas::quotient(va, formulas::divisor_of(vb));
        std::memcpy(out + k, &q, sizeof q);
    }
    for (; k < count; k++)
        out[k] = formulas::quotient(a[k], b[k]);
}

} // namespace

const Sweep sweep = {TL_ISA_NAME, sweep_lines, beam_table, quotients};

} // namespace terralume::kernels::TL_ISA
