#include "horizon.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace terralume
{

namespace
{

constexpr double kInf = std::numeric_limits<double>::infinity();

// A sample of a ray: its distance from the ray's start [metre] and its
// height lowered by the curvature's drop over that distance.
struct Point {
    double x, w;
};

// The upper convex hull of a ray's samples, in order of distance.
class Hull
{
  public:
    void clear() { p_.clear(); }

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

    // The steepest rise (w - wq) / (xq - x) to a point of the hull from q,
    // farther than all of them; -infinity when empty. Along the hull the
    // rise grows, then falls: the point is the first whose successor lies
    // on or below the line from it to q.
    double tangent(Point q) const
    {
        if (p_.empty())
            return -kInf;
        size_t lo = 0, hi = p_.size() - 1;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            const Point &a = p_[mid];
            const Point &b = p_[mid + 1];
            if ((b.w - a.w) * (q.x - a.x) > (q.w - a.w) * (b.x - a.x))
                lo = mid + 1;
            else
                hi = mid;
        }
        return (p_[lo].w - q.w) / (q.x - p_[lo].x);
    }

    // The point of the hull with the highest w + x u: the first whose
    // successor is not higher.
    Point support(double u) const
    {
        size_t lo = 0, hi = p_.size() - 1;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (p_[mid + 1].w - p_[mid].w > -u * (p_[mid + 1].x - p_[mid].x))
                lo = mid + 1;
            else
                hi = mid;
        }
        return p_[lo];
    }

  private:
    std::vector<Point> p_;
};

// The angle [degree] of a rise, from its tangent.
float degrees(double t) { return static_cast<float>(std::atan(t) * (45 / std::atan(1.0))); }

} // namespace

void horizon_pass(const Grid<double> &dtab, double dsizepix, double azim, double distance, bool curvature,
                  Grid<float> &out)
{
    using formulas::ray_sample;
    const ExactGeometry g = exact_geometry(dtab.nb_lig(), dtab.nb_col(), 0, azim, dsizepix, false);
    // The curvature's drop over d metres is kc d^2.
    const double kc = curvature ? 1 / (2 * kEarthRadius) : 0;
    const bool limited = distance > 0 && distance < g.step * g.nrows;
    // Steps of a ray within the distance.
    const int32_t reach = limited ? static_cast<int32_t>(std::floor(distance / g.step)) : g.nrows;
    const auto nrays = static_cast<size_t>(g.kmax - g.kmin + 1);
    // The samples of the last `kept` steps, step n in ring[n % kept].
    const int32_t kept = limited ? std::max(reach + 1, kOwnSteps + 2) : kOwnSteps + 2;
    std::vector<std::vector<double>> ring(static_cast<size_t>(kept), std::vector<double>(nrays, -kInf));
    std::vector<Hull> hulls(limited ? 0 : nrays);
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
        const double xn = n * g.step;
        std::vector<double> &z = ring[static_cast<size_t>(n % kept)];
        std::fill(z.begin(), z.end(), -kInf);
        for (int32_t k = -1 - g.base[n]; k <= g.ncols - 1 - g.base[n]; k++) {
            const int32_t c = k + g.base[n];
            z[static_cast<size_t>(k - g.kmin)] = ray_sample(at(r, c), at(r, c + 1), phi, 0.0, -kInf);
        }
        // Over the whole grid, the samples of step m join the hulls now.
        const int32_t m = n - 1 - kOwnSteps;
        if (!limited && m >= 0) {
            const double xm = m * g.step;
            const std::vector<double> &zm = ring[static_cast<size_t>(m % kept)];
            for (size_t i = 0; i < nrays; i++)
                if (zm[i] > -kInf)
                    hulls[i].add({xm, zm[i] - kc * xm * xm});
        }
        // The steepest rise from height h at step n to the samples of ray i.
        auto rise = [&](size_t i, double h) {
            if (!limited)
                return hulls[i].tangent({xn, h - kc * xn * xn}) - 2 * kc * xn;
            double best = -kInf;
            for (int32_t q = std::max(0, n - reach); q <= m; q++) {
                const double v = ring[static_cast<size_t>(q % kept)][i];
                const double d = (n - q) * g.step;
                if (v > -kInf)
                    best = formulas::higher(best, (v - h - kc * d * d) / d);
            }
            return best;
        };
        // The highest shadow line of ray i at step n for a rise t per metre:
        // the highest of z - d t - kc d^2 over its samples, d metres away, and
        // that d.
        auto line = [&](size_t i, double t) {
            if (!limited) {
                // z - d t - kc d^2 = (w + x u) - xn t - kc xn^2, u = t + 2 kc xn.
                const Point p = hulls[i].support(t + 2 * kc * xn);
                return Point{xn - p.x, (p.w + p.x * (t + 2 * kc * xn)) - xn * t - kc * xn * xn};
            }
            Point best{0, -kInf};
            for (int32_t q = std::max(0, n - reach); q <= m; q++) {
                const double v = ring[static_cast<size_t>(q % kept)][i];
                const double d = (n - q) * g.step;
                const double y = v - d * t - kc * d * d;
                if (v > -kInf && y > best.w)
                    best = {d, y};
            }
            return best;
        };
        // Beyond the own steps, the rise at which the shadow line interpolated
        // between the rays on either side, as the shadows interpolate it,
        // passes through the cell. Each ray's line falls as the rise grows,
        // and their interpolation is convex: from the lower of the two rays'
        // own rises, where it stands at or above the cell, Newton's steps
        // rise to it without passing it, and stop on its last piece.
        auto beyond = [&](size_t il, size_t ir, double h) {
            const double tl = rise(il, h), tr = rise(ir, h);
            const bool okl = tl > -kInf, okr = tr > -kInf;
            if (!okl || !okr)
                return okl ? tl : tr;
            double t = tl < tr ? tl : tr;
            for (int k = 0; k < 64; k++) {
                const Point a = line(il, t), b = line(ir, t);
                const double over = (phi * a.w + (1 - phi) * b.w) - h;
                const double fall = phi * a.x + (1 - phi) * b.x;
                if (!(over > 0) || !(fall > 0))
                    break;
                const double next = t + over / fall;
                if (!(next > t))
                    break;
                t = next;
            }
            return t;
        };
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
            best = formulas::higher(best, beyond(ir - 1, ir, h));
            if (best > -kInf)
                put(r, c, degrees(best));
        }
    }
}

std::vector<Grid<float>> horizons(const Grid<double> &dtab, double dsizepix, const HorizonSettings &s)
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
                         out[static_cast<size_t>(k)]);
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
    // The ring of samples: a few steps, or every step within the distance.
    const uint64_t kept = s.distance > 0 ? steps + 1 : static_cast<uint64_t>(kOwnSteps) + 2;
    const uint64_t per_thread = rays * kept * 8 + rays * (32 + 8 * 16) + exact_bytes(nb_lig, nb_col, 1);
    return cells * 4 * static_cast<uint64_t>(s.directions) + per_thread * static_cast<uint64_t>(threads);
}

} // namespace terralume
