#include "cast_shadow.h"
#include "formulas.h"
#include "parallel.h"

#include <atomic>
#include <cassert>
#include <cmath>

namespace terralume
{

CastGeometry cast_geometry(int32_t nb_lig, int32_t nb_col, double elev, double azim, double dsizepix)
{
    CastGeometry g;
    g.max_im = 0;
    if (g.max_im < nb_lig)
        g.max_im = nb_lig;
    if (g.max_im < nb_col)
        g.max_im = nb_col;
    const double pi = 4 * std::atan(1.0);
    const double papi = pi * (1.0 / 180);
    g.distance = std::sqrt(2.0) * g.max_im;
    g.n = static_cast<int32_t>(g.distance) + 2;

    g.angle_trig = 90 - azim;
    if (g.angle_trig < 0)
        g.angle_trig = g.angle_trig + 360;
    g.gama = g.angle_trig + 180;
    if (g.gama >= 360)
        g.gama = g.gama - 360;

    // Angle to the nearest axis; each sector's lower bound is included.
    if (g.gama < 90) {
        g.ang = g.gama;
        if (g.ang > 45)
            g.ang = 90 - g.gama;
    } else if (g.gama < 180) {
        g.ang = g.gama - 90;
        if (g.ang > 45)
            g.ang = 180 - g.gama;
    } else if (g.gama < 270) {
        g.ang = g.gama - 180;
        if (g.ang > 45)
            g.ang = 270 - g.gama;
    } else {
        g.ang = g.gama - 270;
        if (g.ang > 45)
            g.ang = 360 - g.gama;
    }
    // A straight-line stand-in for 1 / cos(ang); 0.414, not sqrt(2) - 1.
    g.rap = 1 + 0.414 * (g.ang / 45);
    g.dist2 = dsizepix * g.rap;
    g.dif_alt = std::tan(elev * papi) * g.dist2;

    // Every ray has the same offset from its start to its end cell; the
    // offset is truncated toward zero before it is added to the start.
    g.di_fin = static_cast<int32_t>(-std::sin(g.gama * papi) * g.distance);
    g.dj_fin = static_cast<int32_t>(std::cos(g.gama * papi) * g.distance);
    return g;
}

void trace_droite(RayList &ray, int32_t ideb, int32_t jdeb, int32_t ifin, int32_t jfin, const Grid<double> &dtab,
                  double dsizepix)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const formulas::RaySteps steps =
        formulas::ray_steps(static_cast<double>(jfin) - jdeb, static_cast<double>(ifin) - ideb);
    if (steps.rmax == 0)
        return;
    double icrrnt_d = ideb;
    double jcrrnt_d = jdeb;
    int32_t icrrnt = ideb;
    int32_t jcrrnt = jdeb;

    double *tab_alti = &ray.tab_alti[0];
    int32_t *coord_i = &ray.coord_i[0];
    int32_t *coord_j = &ray.coord_j[0];
    int32_t point = 1;
    tab_alti[1] = dtab[ideb][jdeb];
    coord_i[1] = ideb;
    coord_j[1] = jdeb;

    // A cell is recorded when its distance from the start,
    // sqrt((icrrnt - ideb)^2 + (jcrrnt - jdeb)^2) x dsizepix, is not 0. The
    // root is at least 1 for any other cell, so the product is 0 only for the
    // start cell or a pixel size of 0, and never for a pixel size that is
    // not finite (0 x inf is NaN): the test below is that, without the root.
    const bool never = dsizepix == 0;
    const bool always = !std::isfinite(dsizepix);

    while (icrrnt != ifin || jcrrnt != jfin) {
        icrrnt_d += steps.dinext;
        jcrrnt_d += steps.djnext;
        icrrnt = formulas::cell_of(icrrnt_d);
        jcrrnt = formulas::cell_of(jcrrnt_d);
        if (icrrnt < 0 || icrrnt > nb_lig - 1 || jcrrnt < 0 || jcrrnt > nb_col - 1)
            break;
        if (always || (!never && (icrrnt != ideb || jcrrnt != jdeb))) {
            point = point + 1;
            assert(point < ray.tab_alti.size());
            coord_i[point] = icrrnt;
            coord_j[point] = jcrrnt;
            tab_alti[point] = dtab[icrrnt][jcrrnt];
        }
    }
    ray.point = point;
}

void traject(const RayList &ray, double dif_alt, Grid<unsigned char> &tab_cs)
{
    const int32_t point = ray.point;
    const Vector<double> &tab_alti = ray.tab_alti;
    bool active = false; // the cell before lies in a shadow
    double calt = 0;
    double ico = 0;
    for (int32_t k = 2; k <= point; k++) {
        // The walk goes on past cell k - 1: marked when in shadow.
        if (active)
            std::atomic_ref<unsigned char>(tab_cs.at(ray.coord_i[k - 1], ray.coord_j[k - 1]))
                .store(1, std::memory_order_relaxed);
        active = formulas::shadow_step(active, k > 2, tab_alti[k - 1], tab_alti[k], dif_alt, 1.0, calt, ico);
    }
}

std::vector<RayList> ray_lists(int32_t n, int threads)
{
    std::vector<RayList> rays;
    for (int t = 0; t < threads; t++) {
        rays.emplace_back(n);
        if (!rays.back().allocated())
            return {};
    }
    return rays;
}

void cast_border(Border border, const CastGeometry &g, const Grid<double> &dtab, double dsizepix,
                 std::vector<RayList> &rays, Grid<unsigned char> &tab_cs)
{
    const int32_t nb_lig = dtab.nb_lig();
    const int32_t nb_col = dtab.nb_col();
    const int32_t count = starts_on_line(border) ? nb_col : nb_lig;
    const int threads = static_cast<int>(rays.size());
#pragma omp parallel for num_threads(threads) schedule(dynamic, 16) if (worth_threads(nb_lig, nb_col))
    for (int32_t k = 0; k < count; k++) {
        const int32_t edge = last_of_axis(border) ? (starts_on_line(border) ? nb_lig : nb_col) - 1 : 0;
        const int32_t i0 = starts_on_line(border) ? edge : k;
        const int32_t j0 = starts_on_line(border) ? k : edge;
        RayList &ray = rays[static_cast<size_t>(thread_index())];
        trace_droite(ray, i0, j0, i0 + g.di_fin, j0 + g.dj_fin, dtab, dsizepix);
        traject(ray, g.dif_alt, tab_cs);
    }
}

} // namespace terralume
