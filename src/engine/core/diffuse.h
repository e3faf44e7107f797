// The diffuse light of the sky on every cell, and the global irradiation of
// the horizontal that the reflected light takes, for one sun position. Both
// engines add it through add_diffuse below, so they give the same bits.
//
// The diffuse of the horizontal is the ESRA clear sky's (formulas.h,
// esra_diffuse), with the position's Linke factor, times the diffuse
// clear-sky index; the beam is the beam's own (beam_normal) times the beam
// index. On the tilted cell the diffuse takes Muneer's model (muneer_diffuse),
// the cell's sky view in place of the bare slope's, in the shaded form where
// the cell is in cast shadow or faces away from the sun. A level cell takes
// the cosine of incidence over sin h at any elevation of the sun (the low
// sun's form would leave it only the diffuse's isotropic part), so that on an
// open plain the diffuse is the horizontal's own.
#ifndef TERRALUME_ENGINE_DIFFUSE_H
#define TERRALUME_ENGINE_DIFFUSE_H

#include "engine.h"
#include "formulas.h"
#include "grid.h"
#include "parallel.h"
#include "shading.h"

#include <cmath>

namespace terralume
{

// What one position gives every cell.
struct DiffuseTerms {
    ShadingTerms shading;
    double dh; // diffuse irradiance of the horizontal [W/m2]
    formulas::DiffuseSun<double> sun;
};

DiffuseTerms diffuse_terms(const SunPosition &p, double dsizepix);

// The rises of cell (i, j) along its line and its column: Horn's from
// `rises`, or (null) the dialogue's plane, the last line and column level.
inline void cell_rises(const Grid<double> &dtab, const SlopeRises *rises, int32_t i, int32_t j, double &d2, double &d3)
{
    d2 = 0;
    d3 = 0;
    if (rises != nullptr) {
        d2 = rises->d2[i][j];
        d3 = rises->d3[i][j];
    } else if (i + 1 < dtab.nb_lig() && j + 1 < dtab.nb_col()) {
        d2 = dtab[i + 1][j] - dtab[i][j];
        d3 = dtab[i][j + 1] - dtab[i][j];
    }
}

// Muneer's function of every cell's slope (formulas.h, muneer_slope), from
// its rises (null: the dialogue's plane, the last line and column level).
Grid<double> muneer_slopes(const Grid<double> &dtab, const SlopeRises *rises, double dsizepix);

// Adds one position to the diffuse and horizontal accumulations.
// shaded(i, j): the cell is in cast shadow; normal(i, j): its beam normal
// irradiance, beam_normal() at its pressure ratio times the beam indices;
// `index`, when given, every cell's diffuse index, multiplying t.dh.
template <typename Shaded, typename Normal>
void add_diffuse(const Grid<double> &dtab, const SlopeRises *rises, const Grid<double> &view,
                 const Grid<double> &slopes, const DiffuseTerms &t, Shaded shaded, Normal normal_at,
                 const Grid<double> *index, Grid<double> &diffuse, Grid<double> &horizontal)
{
    const int32_t nl = dtab.nb_lig(), nc = dtab.nb_col();
#pragma omp parallel for schedule(static) if (worth_threads(nl, nc))
    for (int32_t i = 0; i < nl; i++)
        for (int32_t j = 0; j < nc; j++) {
            double d2, d3;
            cell_rises(dtab, rises, i, j, d2, d3);
            const double bn = formulas::normal_length(d2, d3, t.shading.r2);
            const double rad = formulas::incidence(t.shading.cc, t.shading.cs, t.shading.sr, d2, d3, bn);
            const double dh = index != nullptr ? t.dh * (*index)[i][j] : t.dh;
            formulas::diffuse_added(rad, shaded(i, j), d2, d3, bn, normal_at(i, j), dh, view[i][j], slopes[i][j], t.sun,
                                    0.0, diffuse[i][j], horizontal[i][j]);
        }
}

} // namespace terralume

#endif
