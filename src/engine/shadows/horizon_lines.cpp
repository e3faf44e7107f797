// The horizons' work along one line of the grid walked (horizon.cpp), built
// once per instruction set with TL_ISA naming it; see shadow_kernels.h. The
// cells of a line stand side by side, and so do the points where their lines
// toward the azimuth meet each line of centres before them: every step is
// straight vector loads, and the cells near the line's ends go one at a time
// through the same formulas, in the same order.
#include "shadow_kernels.h"
#include "vectors.h"
// After the vectors, so that its templates take them.
#include "formulas.h"

#include <cstring>
#include <limits>

namespace terralume::kernels::TL_ISA
{

namespace
{

using formulas::arc_tangent;
using formulas::higher;
using formulas::pick;
using formulas::ray_sample;

constexpr double kInf = std::numeric_limits<double>::infinity();

vd load(const double *p)
{
    vd v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store(double *p, vd v) { std::memcpy(p, &v, sizeof v); }

// Column c of a line of ncols cells; -infinity beyond them.
double cell(const double *line, int32_t ncols, int32_t c) { return c >= 0 && c <= ncols - 1 ? line[c] : -kInf; }

void samples(const double *line, int32_t ncols, double phi, double *z)
{
    // z[i], i = 0 .. ncols, is the ray standing at column i - 1 + phi.
    auto one = [&](int32_t i) { z[i] = ray_sample(cell(line, ncols, i - 1), cell(line, ncols, i), phi, 0.0, -kInf); };
    const vd zero = splat(0.0), ninf = splat(-kInf), vphi = splat(phi);
    one(0);
    // The rays between two cells of the line: i - 1 >= 0 and i <= ncols - 1.
    int32_t i = 1;
    for (; i + W - 1 <= ncols - 1; i += W)
        store(z + i, ray_sample(load(line + i - 1), load(line + i), vphi, zero, ninf));
    for (; i <= ncols; i++)
        one(i);
}

void own_rises(const OwnLines &o, double *best)
{
    const int32_t count = o.hi - o.lo + 1;
    for (int32_t i = 0; i < count; i++)
        best[i] = -kInf;
    const vd zero = splat(0.0), ninf = splat(-kInf);
    for (int k = 0; k < o.steps; k++) {
        const double *back = o.back[k];
        const int32_t jb = o.jb[k];
        const double psi = o.psi[k], drop = o.drop[k], d = o.d[k];
        auto one = [&](int32_t c) {
            const int32_t j = c + jb;
            const double own = ray_sample(cell(back, o.ncols, j), cell(back, o.ncols, j + 1), psi, 0.0, -kInf);
            if (own > -kInf) {
                double &b = best[c - o.lo];
                b = higher(b, (own - o.line[c] - drop) / d);
            }
        };
        // Cells whose two neighbours on that line lie inside it: c + jb >= 0
        // and c + jb + 1 <= ncols - 1.
        const int32_t first = o.lo > -jb ? o.lo : -jb;
        const int32_t last = o.hi < o.ncols - 2 - jb ? o.hi : o.ncols - 2 - jb;
        int32_t c = o.lo;
        for (; c <= o.hi && c < first; c++)
            one(c);
        const vd vpsi = splat(psi), vdrop = splat(drop), vdist = splat(d);
        for (; c + W - 1 <= last; c += W) {
            const vd own = ray_sample(load(back + c + jb), load(back + c + jb + 1), vpsi, zero, ninf);
            const vd b = load(best + (c - o.lo));
            store(best + (c - o.lo), pick(own > ninf, higher(b, (own - load(o.line + c) - vdrop) / vdist), b));
        }
        for (; c <= o.hi; c++)
            one(c);
    }
}

void degrees(const double *t, int32_t count, double per_radian, float *out)
{
    int32_t i = 0;
    const vd scale = splat(per_radian);
    for (; i + W <= count; i += W) {
        const vd v = arc_tangent(load(t + i)) * scale;
        for (int l = 0; l < W; l++)
            out[i + l] = static_cast<float>(v[l]);
    }
    for (; i < count; i++)
        out[i] = static_cast<float>(arc_tangent(t[i]) * per_radian);
}

} // namespace

const Horizon horizon = {TL_ISA_NAME, samples, own_rises, degrees};

} // namespace terralume::kernels::TL_ISA
