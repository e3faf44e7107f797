#include "horizon.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

namespace terralume
{

namespace
{

constexpr double kInf = std::numeric_limits<double>::infinity();

// A sample of a ray: its distance along the ray [metre] and its height
// lowered by the curvature's drop over that distance from the origin of x.
struct Point {
    double x, w;
};

// The steepest rise from q to p, q farther along than p.
double rise_to(const Point &p, const Point &q) { return (p.w - q.w) / (q.x - p.x); }

// The upper convex hull of a ray's samples, in order of distance: a stack
// that each sample enters once and leaves at most once.
class Hull
{
  public:
    void clear() { p_.clear(); }
    bool empty() const { return p_.empty(); }
    size_t size() const { return p_.size(); }
    const Point &operator[](size_t i) const { return p_[i]; }

    // A sample farther than all before it.
    void add(Point q)
    {
        // The last point goes when it stands on or below the line from the
        // one before it to q.
        while (p_.size() >= 2) {
            const Point &a = p_[p_.size() - 2];
            const Point &b = p_.back();
            if ((b.w - a.w) * (q.x - a.x) > (q.w - a.w) * (b.x - a.x))
                break;
            p_.pop_back();
        }
        p_.push_back(q);
    }

    // The point of steepest rise from q, farther than all of them (not
    // empty). Along the hull the rise grows, then falls: the point is the
    // first whose successor lies on or below the line from it to q. It is
    // looked for from point `from` on (the last one found on this hull, which
    // the next query usually shares).
    size_t tangent(Point q, size_t from) const
    {
        const size_t n = p_.size();
        size_t j = from < n ? from : n - 1;
        // Whether the successor of point i lies above the line from it to q.
        auto rises = [&](size_t i) {
            const Point &a = p_[i];
            const Point &b = p_[i + 1];
            return (b.w - a.w) * (q.x - a.x) > (q.w - a.w) * (b.x - a.x);
        };
        if (j + 1 < n && rises(j)) {
            do
                j++;
            while (j + 1 < n && rises(j));
            return j;
        }
        while (j > 0 && !rises(j - 1))
            j--;
        return j;
    }

    // Of points 0 .. from, the one with the highest w + x u, looked for back
    // from `from`: the first whose successor is not higher.
    size_t support(double u, size_t from) const
    {
        size_t j = from;
        while (j > 0 && !(p_[j].w - p_[j - 1].w > -u * (p_[j].x - p_[j - 1].x)))
            j--;
        return j;
    }

  private:
    std::vector<Point> p_;
};

// The steepest rise from q (farther than every sample) at which the shadow
// line interpolated between two rays, phi of the left one's and 1 - phi of
// the right one's, passes through q: the tangent from q to the weighted sum
// phi L + (1 - phi) R of the two hulls, whose edges are those of both hulls
// merged in order of slope. With one hull empty, the tangent to the other;
// -infinity with both.
//
// The tangent lies between the rises to either hull alone. The walk starts
// from the sum's point that stands highest at the lower of them, and goes
// along the sum's edges while the rise to its points does not fall.
//
// tl and tr: where the tangents to each hull were last found, moved on to
// where they are found now.
double interpolated_rise(const Hull &l, const Hull &r, double phi, Point q, size_t &tl, size_t &tr)
{
    if (l.empty() || r.empty()) {
        if (l.empty() && r.empty())
            return -kInf;
        if (l.empty()) {
            tr = r.tangent(q, tr);
            return rise_to(r[tr], q);
        }
        tl = l.tangent(q, tl);
        return rise_to(l[tl], q);
    }
    size_t a = l.tangent(q, tl), b = r.tangent(q, tr);
    tl = a;
    tr = b;
    // The rises to the two tangent points compared without dividing, their
    // run q.x - x positive.
    const double nl = l[a].w - q.w, dl = q.x - l[a].x, nr = r[b].w - q.w, dr = q.x - r[b].x;
    if (nl * dr < nr * dl)
        b = r.support(nl / dl, b);
    else if (nr * dl < nl * dr)
        a = l.support(nr / dr, a);
    const double rphi = 1 - phi;
    // The rise to the sum's point of l[i] and r[j] is rise(i, j) / run(i, j).
    auto rise = [&](size_t i, size_t j) { return (phi * l[i].w + rphi * r[j].w) - q.w; };
    auto run = [&](size_t i, size_t j) { return q.x - (phi * l[i].x + rphi * r[j].x); };
    double top = rise(a, b), under = run(a, b);
    for (;;) {
        const bool more_l = a + 1 < l.size(), more_r = b + 1 < r.size();
        if (!more_l && !more_r)
            break;
        // The steeper of the two next edges comes first.
        bool left = more_l;
        if (more_l && more_r)
            left = (l[a + 1].w - l[a].w) * (r[b + 1].x - r[b].x) >= (r[b + 1].w - r[b].w) * (l[a + 1].x - l[a].x);
        const size_t na = left ? a + 1 : a, nb = left ? b : b + 1;
        const double t = rise(na, nb), u = run(na, nb);
        // Equal rises go on: an edge of a hull of weight 0 (phi = 0) moves
        // no point of the sum.
        if (!(t * under >= top * u))
            break;
        top = t;
        under = u;
        a = na;
        b = nb;
    }
    return top / under;
}

// The angle [degree] of a rise, from its tangent.
float degrees(double t) { return static_cast<float>(std::atan(t) * (45 / std::atan(1.0))); }

} // namespace

void horizon_pass(const Grid<double> &dtab, double dsizepix, double azim, double distance, bool curvature,
                  Grid<float> &out, const GridOrigin &origin)
{
    using formulas::ray_sample;
    const ExactGeometry g = exact_geometry(dtab.nb_lig(), dtab.nb_col(), 0, azim, dsizepix, false, origin);
    // The curvature's drop over d metres is kc d^2.
    const double kc = curvature ? 1 / (2 * kEarthRadius) : 0;
    const bool limited = distance > 0;
    // Steps of a ray within the distance.
    const int32_t reach =
        limited ? static_cast<int32_t>(std::min<double>(std::floor(distance / g.step), g.nrows)) : g.nrows;
    const auto nrays = static_cast<size_t>(g.kmax - g.kmin + 1);
    // The samples of the last `kept` steps, step n in ring[n % kept].
    const int32_t kept = limited ? std::max(reach + 1, kOwnSteps + 2) : kOwnSteps + 2;
    std::vector<std::vector<double>> ring(static_cast<size_t>(kept), std::vector<double>(nrays, -kInf));
    // Over the whole grid every ray's hull; out to a distance, the hulls of
    // kBatch rays from ray `first` on, made anew at each step for the cells
    // they bracket.
    constexpr size_t kBatch = 64;
    std::vector<Hull> hulls(limited ? kBatch : nrays);
    size_t first = 0, held = 0;
    // Out to a distance: the samples of the steps within it, their distance
    // from this step (x = -d) and their curvature's drop.
    std::vector<const double *> rows;
    std::vector<double> xs, drops;
    // Where each ray's tangent was last found, over the whole grid. Out to
    // a distance every search starts from the hull's nearest point, so that
    // even where rounding leaves two candidates the angle depends on nothing
    // the steps before have met.
    std::vector<size_t> last(limited ? 0 : nrays, 0);
    auto at = [&](int32_t r, int32_t c) {
        if (c < 0 || c > g.ncols - 1)
            return -kInf;
        return g.transposed ? dtab.at(c, r) : dtab.at(r, c);
    };
    auto put = [&](int32_t r, int32_t c, float v) {
        if (g.transposed)
            out.at(c, r) = v;
        else
            out.at(r, c) = v;
    };
    for (int32_t i = 0; i < out.nb_lig(); i++)
        for (int32_t j = 0; j < out.nb_col(); j++)
            out.at(i, j) = dtab.at(i, j) > -kInf ? 0.0f : std::numeric_limits<float>::quiet_NaN();

    for (int32_t n = 0; n < g.nrows; n++) {
        const int32_t r = g.r0 + g.dr * n;
        const double phi = g.phi[n];
        std::vector<double> &z = ring[static_cast<size_t>(n % kept)];
        std::fill(z.begin(), z.end(), -kInf);
        for (int32_t k = -1 - g.base[n]; k <= g.ncols - 1 - g.base[n]; k++) {
            const int32_t c = k + g.base[n];
            z[static_cast<size_t>(k - g.kmin)] = ray_sample(at(r, c), at(r, c + 1), phi, 0.0, -kInf);
        }
        // Samples up to step m lie beyond the cells' own steps.
        const int32_t m = n - 1 - kOwnSteps;
        // Over the whole grid the hulls grow by step m's samples, x measured
        // from the rays' start and the query from this step; out to a
        // distance each hull is made anew from the samples within it, x
        // measured from this step (so that it depends on nothing beyond
        // them), the rises then needing no shift for the curvature.
        Point q{n * g.step, 0};
        double shift = 0;
        if (!limited) {
            if (m >= 0) {
                const double xm = m * g.step;
                const std::vector<double> &zm = ring[static_cast<size_t>(m % kept)];
                for (size_t i = 0; i < nrays; i++)
                    if (zm[i] > -kInf)
                        hulls[i].add({xm, zm[i] - kc * xm * xm});
            }
            shift = 2 * kc * q.x;
        } else {
            q.x = 0;
            rows.clear();
            xs.clear();
            drops.clear();
            for (int32_t s = std::max(0, n - reach); s <= m; s++) {
                const double d = (n - s) * g.step;
                rows.push_back(ring[static_cast<size_t>(s % kept)].data());
                xs.push_back(-d);
                drops.push_back(kc * d * d);
            }
            held = 0;
        }
        // The hulls of rays i - 1 and i at this step (i at least 1), i never
        // below the last asked for.
        auto pair = [&](size_t i) {
            if (!limited)
                return std::pair<const Hull *, const Hull *>{&hulls[i - 1], &hulls[i]};
            if (held == 0 || i - 1 < first || i >= first + held) {
                first = i - 1;
                held = std::min(kBatch, nrays - first);
                for (size_t b = 0; b < held; b++)
                    hulls[b].clear();
                // Step by step, each ray's sample of that step.
                for (size_t k = 0; k < rows.size(); k++)
                    for (size_t b = 0; b < held; b++)
                        if (rows[k][first + b] > -kInf)
                            hulls[b].add({xs[k], rows[k][first + b] - drops[k]});
            }
            return std::pair<const Hull *, const Hull *>{&hulls[i - 1 - first], &hulls[i - first]};
        };
        const double wq = kc * q.x * q.x;
        for (int32_t c = g.lo[n]; c <= g.hi[n]; c++) {
            const double h = at(r, c);
            if (!(h > -kInf))
                continue;
            double best = -kInf;
            for (int k = 0; k < kOwnSteps && k < n; k++) {
                const double d = (k + 1) * g.step;
                if (limited && d > distance)
                    break;
                const int32_t back = r - g.dr * (k + 1);
                const int32_t j = c + g.jb[k][n];
                const double own = ray_sample(at(back, j), at(back, j + 1), g.psi[k][n], 0.0, -kInf);
                if (own > -kInf)
                    best = formulas::higher(best, (own - h - kc * d * d) / d);
            }
            // The rays on either side: at columns c - 1 + phi and c + phi.
            const auto ir = static_cast<size_t>(c - g.base[n] - g.kmin);
            q.w = h - wq;
            const auto [left, right] = pair(ir);
            size_t near[2] = {left->size(), right->size()};
            size_t &from_l = limited ? near[0] : last[ir - 1], &from_r = limited ? near[1] : last[ir];
            const double far = interpolated_rise(*left, *right, phi, q, from_l, from_r);
            if (far > -kInf)
                best = formulas::higher(best, far - shift);
            if (best > -kInf)
                put(r, c, degrees(best));
        }
    }
}

std::vector<Grid<float>> horizons(const Grid<double> &dtab, double dsizepix, const HorizonSettings &s,
                                  const GridOrigin &origin)
{
    std::vector<Grid<float>> out;
    for (int k = 0; k < s.directions; k++) {
        out.emplace_back(dtab.nb_lig(), dtab.nb_col());
        if (out.back().empty())
            throw std::bad_alloc();
    }
    bool failed = false;
#pragma omp parallel for schedule(dynamic, 1)
    for (int k = 0; k < s.directions; k++) {
        try {
            horizon_pass(dtab, dsizepix, horizon_azimuth(k, s.directions), s.distance, s.curvature,
                         out[static_cast<size_t>(k)], origin);
        } catch (const std::bad_alloc &) {
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed)
        throw std::bad_alloc();
    return out;
}

uint64_t horizon_bytes(int32_t nb_lig, int32_t nb_col, const HorizonSettings &s, int threads)
{
    const uint64_t cells = static_cast<uint64_t>(nb_lig) * static_cast<uint64_t>(nb_col);
    const uint64_t rays = static_cast<uint64_t>(nb_lig) + static_cast<uint64_t>(nb_col) + 2;
    const uint64_t steps = static_cast<uint64_t>(std::max(nb_lig, nb_col));
    // The ring of samples: a few steps, or every step within the distance;
    // the hulls: every ray's, counted at a few points, or 64 of every step
    // within the distance.
    const uint64_t kept = s.distance > 0 ? steps + 1 : static_cast<uint64_t>(kOwnSteps) + 2;
    const uint64_t hulls = s.distance > 0 ? 64 * 16 * (steps + 1) + 24 * (steps + 1) : rays * (32 + 16 * 8);
    const uint64_t per_thread = rays * kept * 8 + rays * 8 + hulls + exact_bytes(nb_lig, nb_col, 1);
    return cells * 4 * static_cast<uint64_t>(s.directions) + per_thread * static_cast<uint64_t>(threads);
}

} // namespace terralume
