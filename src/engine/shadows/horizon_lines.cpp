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

#include <bit>
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

vm splat_index(int64_t v)
{
    vm r;
    for (int l = 0; l < W; l++)
        r[l] = v;
    return r;
}

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

vm load_index(const size_t *p)
{
    vm v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_index(size_t *p, vm v) { std::memcpy(p, &v, sizeof v); }

vm pick_index(vm m, vm a, vm b) { return (m & a) | (~m & b); }

// A point of a hull, lane by lane.
struct Points {
    vd x, w;
};

Points pick(vm m, const Points &a, const Points &b)
{
    return {formulas::pick(m, a.x, b.x), formulas::pick(m, a.w, b.w)};
}

// The hull of ray i + l in lane l, near where its tangent was last found:
// points j - 2 .. j + 2 (those before its first and after its last hold
// anything), j that place, at most the last point, and e = size - 1 - j its
// distance from the last. Only lanes with e <= kNear hold the points; the
// others may hold anything.
constexpr int kNear = kHullEnds - 3;
struct Near {
    Points p[5]; // p[2 + k] is point j + k
    vm j, e, n;
};

[[gnu::always_inline]] inline Near near_points(const HullEnds &ends, const size_t *size, const size_t *last, int64_t i)
{
    Near h;
    const vm one = splat_index(1);
    h.n = load_index(size + i);
    const vm from = load_index(last + i);
    h.j = pick_index(from < h.n, from, h.n - one);
    h.e = h.n - one - h.j;
    Points end[kHullEnds];
    for (int k = 0; k < kHullEnds; k++)
        end[k] = {load(ends.x[k] + i), load(ends.w[k] + i)};
    // Point j + k is the end's point e - k; beyond the last (e - k < 0) any.
    auto at = [&](int m) { return end[m < 0 ? 0 : m]; };
    for (int k = -2; k <= 2; k++) {
        Points p = at(kNear - k);
        for (int e = kNear - 1; e >= 0; e--)
            p = pick(h.e == splat_index(e), at(e - k), p);
        h.p[2 + k] = p;
    }
    return h;
}

// The tangent from q to a hull near its last: lanes where the search of
// HullView::tangent ends within a point of where it starts. There, `t` its
// point, `before` and `after` the points either side, and `j` its place.
struct Tangent {
    Points t, before, after;
    vm j, has_before, has_after, found;
};

[[gnu::always_inline]] inline Tangent tangent_near(const Near &h, vd qx, vd qw)
{
    const vm zero = splat_index(0), one = splat_index(1), two = splat_index(2);
    auto above = [&](int k) {
        const Points &a = h.p[2 + k], &b = h.p[3 + k];
        return formulas::stands_above(a.x, a.w, b.x, b.w, qx, qw);
    };
    // Whether the rise grows along edge j + k (from point j + k to the next):
    // never past the last point, always before the first.
    const vm on = (h.e >= one) & above(0), on_next = (h.e >= two) & above(1);
    const vm stop_back = (h.j == zero) | above(-1), stop_back2 = (h.j <= one) | above(-2);
    Tangent t;
    // On along the hull by one, stay, or back by one.
    t.t = pick(on, h.p[3], pick(stop_back, h.p[2], h.p[1]));
    t.before = pick(on, h.p[2], pick(stop_back, h.p[1], h.p[0]));
    t.after = pick(on, h.p[4], pick(stop_back, h.p[3], h.p[2]));
    t.j = pick_index(on, h.j + one, pick_index(stop_back, h.j, h.j - one));
    t.has_before = t.j >= one;
    t.has_after = t.j < h.n - one;
    t.found = pick_index(on, ~on_next, stop_back | stop_back2);
    return t;
}

int32_t far_rises(const FarRises &f, double *best, int32_t *rest)
{
    int32_t count = 0;
    // One lane at a time the searches themselves cost less: the portable
    // build leaves every cell (horizon.cpp does not call it).
    if (W == 1) {
        for (int32_t c = f.lo; c <= f.hi; c++)
            if (f.line[c] > -kInf)
                rest[count++] = c;
        return count;
    }
    const vd qx = splat(f.qx), wq = splat(f.wq), phi = splat(f.phi), rphi = splat(1 - f.phi), shift = splat(f.shift),
             ninf = splat(-kInf);
    const vm zero = splat_index(0), most = splat_index(kNear);
    int32_t c = f.lo;
    for (; c + W - 1 <= f.hi; c += W) {
        const vd h = load(f.line + c);
        const int64_t ir = c + f.ray0;
        const vd qw = h - wq;
        const Near hl = near_points(f.ends, f.size, f.last_l, ir - 1), hr = near_points(f.ends, f.size, f.last_r, ir);
        const vm ok = (h > ninf) & (hl.n > zero) & (hr.n > zero) & (hl.e <= most) & (hr.e <= most);
        const Tangent l = tangent_near(hl, qx, qw), r = tangent_near(hr, qx, qw);
        // As interpolated_rise: the hull of the higher rise goes back to its
        // point highest at the lower rise, which must be the tangent itself.
        const vd nl = l.t.w - qw, dl = qx - l.t.x, nr = r.t.w - qw, dr = qx - r.t.x;
        const vm left_lower = nl * dr < nr * dl, right_lower = nr * dl < nl * dr;
        const vd u = formulas::pick(left_lower, nl, nr) / formulas::pick(left_lower, dl, dr);
        const Points s = pick(left_lower, r.t, l.t), sb = pick(left_lower, r.before, l.before);
        const vm sh = pick_index(left_lower, r.has_before, l.has_before);
        const vm stays = ~(left_lower | right_lower) | ~sh | formulas::higher_under_rise(sb.x, sb.w, s.x, s.w, u);
        // The sum's point of the two tangents, and the next along its edges.
        const vd top = formulas::sum_rise(phi, rphi, l.t.w, r.t.w, qw),
                 under = formulas::sum_run(phi, rphi, l.t.x, r.t.x, qx);
        const vm left = l.has_after & (~r.has_after | formulas::at_least_as_steep(l.t.x, l.t.w, l.after.x, l.after.w,
                                                                                  r.t.x, r.t.w, r.after.x, r.after.w));
        const Points next_l = pick(left, l.after, l.t), next_r = pick(left, r.t, r.after);
        const vd t = formulas::sum_rise(phi, rphi, next_l.w, next_r.w, qw),
                 v = formulas::sum_run(phi, rphi, next_l.x, next_r.x, qx);
        const vm ends_here = ~(l.has_after | r.has_after) | ~(t * under >= top * v);
        const vm done = ok & l.found & r.found & stays & ends_here;
        const vd far = top / under;
        const vd b = load(best + (c - f.lo));
        store(best + (c - f.lo), formulas::pick(done & (far > ninf), higher(b, far - shift), b));
        store_index(f.last_l + ir - 1, pick_index(done, l.j, load_index(f.last_l + ir - 1)));
        store_index(f.last_r + ir, pick_index(done, r.j, load_index(f.last_r + ir)));
        for (uint32_t m = bits((h > ninf) & ~done); m != 0; m &= m - 1)
            rest[count++] = c + std::countr_zero(m);
    }
    for (; c <= f.hi; c++)
        if (f.line[c] > -kInf)
            rest[count++] = c;
    return count;
}

int32_t grow_hulls(const Hulls &hs, const double *z, double x, double drop, int64_t i0, int64_t i1, int64_t *rest)
{
    int32_t count = 0;
    int64_t i = i0;
    // One lane at a time HullPool::add itself costs less: the portable
    // build leaves every ray (horizon.cpp does not call it).
    if (W > 1) {
        const vd qx = splat(x), vdrop = splat(drop), ninf = splat(-kInf);
        const vm one = splat_index(1), two = splat_index(2), three = splat_index(3);
        for (; i + W - 1 <= i1; i += W) {
            const vd zi = load(z + i);
            const vd qw = zi - vdrop;
            const vm n = load_index(hs.size + i);
            const vd x0 = load(hs.x[0] + i), w0 = load(hs.w[0] + i), x1 = load(hs.x[1] + i), w1 = load(hs.w[1] + i),
                     x2 = load(hs.x[2] + i), w2 = load(hs.w[2] + i);
            // As HullPool::add: the last point goes while it stands on or
            // below the line from the one before it to the sample.
            const vm keep_last = (n < two) | formulas::stands_above(x1, w1, x0, w0, qx, qw);
            const vm keep_next = (n < three) | formulas::stands_above(x2, w2, x1, w1, qx, qw);
            const vm place = n - (~keep_last & one);
            const vm fits = place < load_index(hs.cap + i);
            const vm has = zi > ninf;
            const vm added = has & (keep_last | keep_next) & fits;
            const uint32_t mask = bits(added);
            if (mask != 0) {
                for (int k = kHullEnds - 1; k > 0; k--) {
                    const vd xk = load(hs.x[k] + i), wk = load(hs.w[k] + i);
                    const vd xs = load(hs.x[k - 1] + i), ws = load(hs.w[k - 1] + i);
                    const vm moved = added & keep_last;
                    store(hs.x[k] + i, formulas::pick(moved, xs, xk));
                    store(hs.w[k] + i, formulas::pick(moved, ws, wk));
                }
                store(hs.x[0] + i, formulas::pick(added, qx, x0));
                store(hs.w[0] + i, formulas::pick(added, qw, w0));
                store_index(hs.size + i, pick_index(added, place + one, n));
                for (uint32_t m = mask; m != 0; m &= m - 1) {
                    const int l = std::countr_zero(m);
                    hs.points[hs.off[i + l] + static_cast<size_t>(place[l])] = {x, qw[l]};
                }
            }
            for (uint32_t m = bits(has & ~added); m != 0; m &= m - 1)
                rest[count++] = i + std::countr_zero(m);
        }
    }
    for (; i <= i1; i++)
        if (z[i] > -kInf)
            rest[count++] = i;
    return count;
}

} // namespace

const Horizon horizon = {TL_ISA_NAME, W, samples, own_rises, degrees, far_rises, grow_hulls};

} // namespace terralume::kernels::TL_ISA
