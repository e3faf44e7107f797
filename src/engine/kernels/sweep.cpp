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
using formulas::diffuse_added;
using formulas::either;
using formulas::incidence;
using formulas::normal_length;
using formulas::shading;
using formulas::sun_hours_added;

// The diffuse terms of a position, in lanes or as doubles.
template <typename V> formulas::DiffuseSun<V> diffuse_sun(const SweepTerms &t, V (*make)(double))
{
    return {.sin_h = make(t.sin_h),
            .inv_sin_h = make(t.inv_sin_h),
            .inv_g0h = make(t.inv_g0h),
            .inv_low = make(t.inv_low),
            .ca = make(t.ca),
            .sa = make(t.sa),
            .hours = make(t.hours)};
}

double same(double v) { return v; }

// Lines first .. last - 1; with kHours the hours of direct sun too, with
// kBeam the beam irradiation, with kDiffuse the diffuse and the global
// horizontal irradiation; with kHorn every cell's plane from its rises,
// else from the elevations of the cell, its next line and its next column.
template <bool kHours, bool kBeam, bool kDiffuse, bool kHorn>
void sweep(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    const int32_t jend = g.col_last > 0 ? g.col_last : g.nb_col;
    const int32_t jmax = kHorn || jend < g.nb_col ? jend : g.nb_col - 1;
    constexpr bool kNormal = kBeam || kDiffuse;
    const bool by_levels = kNormal && g.level != nullptr;
    const vd zero = splat(0.0);
    vd cc[kSweepPositions], cs[kSweepPositions], sr[kSweepPositions], att[kSweepPositions], hours[kSweepPositions],
        irr[kSweepPositions], m0[kSweepPositions], tl[kSweepPositions], batt[kSweepPositions], bidx[kSweepPositions];
    formulas::Divisor spots[kSweepPositions];
    vm dark[kSweepPositions]; // all lanes set when cast shadow keeps no beam
    formulas::DiffuseSun<vd> dsun[kSweepPositions];
    vd dh[kSweepPositions];
    vb bit[kSweepPositions]; // the position's bit in the marks, in every lane
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
        if (kDiffuse) {
            dsun[q] = diffuse_sun<vd>(t[q], splat);
            dh[q] = splat(t[q].dh);
        }
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
        const double *pp0 = kNormal && !by_levels ? g.pp0[i] : nullptr;
        const int32_t *lv = by_levels ? g.level[i] : nullptr;
        const double *kb = kNormal && g.beam_index != nullptr ? g.beam_index[i] : nullptr;
        double *dif = kDiffuse ? g.diffuse[i] : nullptr;
        double *hz = kDiffuse ? g.horizontal[i] : nullptr;
        const double *view = kDiffuse ? g.view[i] : nullptr;
        const double *slope = kDiffuse ? g.slopes[i] : nullptr;
        const double *kd = kDiffuse && g.diffuse_index != nullptr ? g.diffuse_index[i] : nullptr;
        // The beam normal irradiance of cell j at position q, and its
        // horizontal diffuse.
        auto normal_at = [&](int32_t q, int32_t j) {
            double n = by_levels ? t[q].beam_levels[lv[j]]
                                 : beam_normal(t[q].irradiance, t[q].air_mass, t[q].linke, pp0[j]) * t[q].beam_index;
            if (kb != nullptr)
                n = n * kb[j];
            return n;
        };
        auto dh_at = [&](int32_t q, int32_t j) { return kd != nullptr ? t[q].dh * kd[j] : t[q].dh; };
        int32_t j = g.col_first;
        if (kHorn || i < g.nb_lig - 1) {
            const double *row = kHorn ? g.d2[i] : g.dtab[i];
            const double *next = kHorn ? g.d3[i] : g.dtab[i + 1];
            const double *bn = g.bn[i];
            for (; j + W <= jmax; j += W) {
                vd r0, r1 = {}, nx, b, acc, acc_h, acc_b, p = {}, acc_d, acc_z, vw, sl, kbv = {}, kdv = {};
                vi lvs = {};
                std::memcpy(&r0, row + j, sizeof r0);
                if (!kHorn)
                    std::memcpy(&r1, row + j + 1, sizeof r1);
                std::memcpy(&nx, next + j, sizeof nx);
                std::memcpy(&b, bn + j, sizeof b);
                std::memcpy(&acc, res + j, sizeof acc);
                if (kHours)
                    std::memcpy(&acc_h, hrs + j, sizeof acc_h);
                if (kBeam)
                    std::memcpy(&acc_b, bm + j, sizeof acc_b);
                if (kNormal) {
                    if (by_levels)
                        std::memcpy(&lvs, lv + j, sizeof lvs);
                    else
                        std::memcpy(&p, pp0 + j, sizeof p);
                    if (kb != nullptr)
                        std::memcpy(&kbv, kb + j, sizeof kbv);
                }
                if (kDiffuse) {
                    std::memcpy(&acc_d, dif + j, sizeof acc_d);
                    std::memcpy(&acc_z, hz + j, sizeof acc_z);
                    std::memcpy(&vw, view + j, sizeof vw);
                    std::memcpy(&sl, slope + j, sizeof sl);
                    if (kd != nullptr)
                        std::memcpy(&kdv, kd + j, sizeof kdv);
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
                    const bool beam = kBeam && bits(either(rad < zero, both(shaded, dark[q]))) != kAllLanes;
                    if (beam || kDiffuse) {
                        vd normal;
                        if (by_levels)
                            for (int l = 0; l < W; l++)
                                normal[l] = t[q].beam_levels[lvs[l]];
                        else
                            normal = beam_normal(irr[q], m0[q], tl[q], p) * bidx[q];
                        if (kb != nullptr)
                            normal = normal * kbv;
                        if (beam)
                            acc_b = beam_added(rad, shaded, normal, batt[q], hours[q], zero, acc_b);
                        if (kDiffuse)
                            diffuse_added(rad, shaded, d2, d3, nl, normal, kd != nullptr ? dh[q] * kdv : dh[q], vw, sl,
                                          dsun[q], zero, acc_d, acc_z);
                    }
                }
                std::memcpy(res + j, &acc, sizeof acc);
                if (kHours)
                    std::memcpy(hrs + j, &acc_h, sizeof acc_h);
                if (kBeam)
                    std::memcpy(bm + j, &acc_b, sizeof acc_b);
                if (kDiffuse) {
                    std::memcpy(dif + j, &acc_d, sizeof acc_d);
                    std::memcpy(hz + j, &acc_z, sizeof acc_z);
                }
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
                    if (kBeam && !(rad < 0 || (shaded && t[q].beam_attenuation == 0)))
                        bm[j] = beam_added(rad, shaded, normal_at(q, j), t[q].beam_attenuation, t[q].hours, 0.0, bm[j]);
                    if (kDiffuse)
                        diffuse_added(rad, shaded, d2, d3, bn[j], normal_at(q, j), dh_at(q, j), view[j], slope[j],
                                      diffuse_sun<double>(t[q], same), 0.0, dif[j], hz[j]);
                }
            }
        }
        // With the dialogue's plane, the last column and the last line have no
        // shading (nor hours, nor beam).
        // Their diffuse is a level cell's.
        for (; j < jend; j++) {
            const unsigned char mk = marked(j);
            for (int32_t q = 0; q < positions; q++) {
                const bool shaded = (mk >> q & 1) != 0;
                res[j] = accumulated(attenuated(0.0, shaded, t[q].attenuation), t[q].spots, res[j]);
                if (kDiffuse) {
                    const double bn = normal_length(0.0, 0.0, t[q].r2);
                    const double rad = incidence(t[q].cc, t[q].cs, t[q].sr, 0.0, 0.0, bn);
                    diffuse_added(rad, shaded, 0.0, 0.0, bn, normal_at(q, j), dh_at(q, j), view[j], slope[j],
                                  diffuse_sun<double>(t[q], same), 0.0, dif[j], hz[j]);
                }
            }
        }
    }
}

template <bool kDiffuse, bool kHorn>
void sweep_of(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    if (g.beam != nullptr) {
        if (g.sun_hours != nullptr)
            sweep<true, true, kDiffuse, kHorn>(g, t, positions, first, last);
        else
            sweep<false, true, kDiffuse, kHorn>(g, t, positions, first, last);
    } else if (g.sun_hours != nullptr) {
        sweep<true, false, kDiffuse, kHorn>(g, t, positions, first, last);
    } else {
        sweep<false, false, kDiffuse, kHorn>(g, t, positions, first, last);
    }
}

template <bool kHorn>
void sweep_with(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    if (g.diffuse != nullptr)
        sweep_of<true, kHorn>(g, t, positions, first, last);
    else
        sweep_of<false, kHorn>(g, t, positions, first, last);
}

void sweep_lines(const SweepGrids &g, const SweepTerms *t, int32_t positions, int32_t first, int32_t last)
{
    if (g.d2 != nullptr)
        sweep_with<true>(g, t, positions, first, last);
    else
        sweep_with<false>(g, t, positions, first, last);
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
