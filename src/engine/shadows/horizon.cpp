#include "horizon.h"
#include "dispatch.h"
#include "exact_shadow.h"
#include "formulas.h"
#include "parallel.h"
#include "shadow_kernels.h"

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
using Point = kernels::HullPoint;

// The steepest rise from q to p, q farther along than p.
double rise_to(const Point &p, const Point &q) { return (p.w - q.w) / (q.x - p.x); }

// Whether b stands above the line from a to q, a before b before q.
bool above(const Point &a, const Point &b, const Point &q)
{
    return formulas::stands_above(a.x, a.w, b.x, b.w, q.x, q.w);
}

// The upper convex hull of a ray's samples, in order of distance, as it
// stands: points p[0] .. p[n - 1], the farthest first.
struct HullView {
    const Point *p;
    size_t n;

    bool empty() const { return n == 0; }
    size_t size() const { return n; }
    const Point &operator[](size_t i) const { return p[i]; }

    // The point of steepest rise from q, farther than all of them (not
    // empty). Along the hull the rise grows, then falls: the point is the
    // first whose successor lies on or below the line from it to q. It is
    // looked for from point `from` on (where the last query on this hull
    // found it, which the next one usually shares).
    size_t tangent(Point q, size_t from) const
    {
        size_t j = from < n ? from : n - 1;
        if (j + 1 < n && above(p[j], p[j + 1], q)) {
            do
                j++;
            while (j + 1 < n && above(p[j], p[j + 1], q));
            return j;
        }
        while (j > 0 && !above(p[j - 1], p[j], q))
            j--;
        return j;
    }

    // Of points 0 .. from, the one with the highest w + x u, looked for back
    // from `from`: the first whose successor is not higher.
    size_t support(double u, size_t from) const
    {
        size_t j = from;
        while (j > 0 && !formulas::higher_under_rise(p[j - 1].x, p[j - 1].w, p[j].x, p[j].w, u))
            j--;
        return j;
    }
};

// A hull that each sample, farther than all before it, enters once and
// leaves at most once: the last point goes when it stands on or below the
// line from the one before it to the new one.
class Hull
{
  public:
    void clear() { p_.clear(); }
    HullView view() const { return {p_.data(), p_.size()}; }

    void add(Point q)
    {
        while (p_.size() >= 2 && !above(p_[p_.size() - 2], p_.back(), q))
            p_.pop_back();
        p_.push_back(q);
    }

  private:
    std::vector<Point> p_;
};

// Over the whole grid, every ray's hull in one pool: ray i's points at off[i]
// .. off[i] + size[i] - 1, with room for cap[i], so that the hulls a line's
// cells ask for lie close together. A hull that outgrows its room moves to
// the pool's end with twice as much; the pool is packed again when the room
// left behind outgrows the room in use.
//
// Beside it, for the vector kernels, the last kernels::kHullEnds points of
// every hull side by side, ray by ray (kernels::HullEnds).
class HullPool
{
  public:
    HullPool(size_t rays, bool ends)
        : off_(rays, 0), size_(rays, 0), cap_(rays, 0), ends_(ends ? 2 * kernels::kHullEnds * rays : 0, 0.0)
    {
    }

    HullView view(size_t i) const { return {p_.data() + off_[i], size_[i]}; }
    const size_t *sizes() const { return size_.data(); }
    // For the vector kernels, valid until the next add.
    kernels::Hulls hulls()
    {
        kernels::Hulls h{};
        h.points = p_.data();
        h.off = off_.data();
        h.cap = cap_.data();
        h.size = size_.data();
        for (int k = 0; k < kernels::kHullEnds; k++) {
            h.x[k] = end(k);
            h.w[k] = end(kernels::kHullEnds + k);
        }
        return h;
    }
    kernels::HullEnds ends() const
    {
        kernels::HullEnds e{};
        for (int k = 0; k < kernels::kHullEnds; k++) {
            e.x[k] = end(k);
            e.w[k] = end(kernels::kHullEnds + k);
        }
        return e;
    }

    // A sample of ray i, as Hull::add.
    void add(size_t i, Point q)
    {
        const size_t was = size_[i];
        size_t n = was;
        const Point *p = p_.data() + off_[i];
        // Most samples pop one point or none: the last two points are
        // tested at once, without a branch on each.
        if (n >= 3) {
            const bool keep_last = above(p[n - 2], p[n - 1], q), keep_next = above(p[n - 3], p[n - 2], q);
            n -= !keep_last;
            if (!(keep_last | keep_next))
                for (n--; n >= 2 && !above(p[n - 2], p[n - 1], q);)
                    n--;
        } else
            while (n >= 2 && !above(p[n - 2], p[n - 1], q))
                n--;
        if (n == cap_[i])
            grow(i);
        p_[off_[i] + n] = q;
        size_[i] = n + 1;
        if (ends_.empty())
            return;
        // The ends: moved on by one point, the last replaced, or read again.
        const size_t rays = size_.size();
        double *ex = end(0) + i, *ew = end(kernels::kHullEnds) + i;
        if (n == was)
            for (size_t k = kernels::kHullEnds - 1; k > 0; k--) {
                ex[k * rays] = ex[(k - 1) * rays];
                ew[k * rays] = ew[(k - 1) * rays];
            }
        else if (n + 1 != was) {
            const Point *e = p_.data() + off_[i] + n;
            for (size_t k = 1; k < kernels::kHullEnds && k <= n; k++) {
                ex[k * rays] = e[-static_cast<std::ptrdiff_t>(k)].x;
                ew[k * rays] = e[-static_cast<std::ptrdiff_t>(k)].w;
            }
        }
        ex[0] = q.x;
        ew[0] = q.w;
    }

  private:
    // Row k of the ends: x of point k before each hull's last for k below
    // kHullEnds, w of point k - kHullEnds after them.
    double *end(int k) { return ends_.data() + static_cast<size_t>(k) * size_.size(); }
    const double *end(int k) const { return ends_.data() + static_cast<size_t>(k) * size_.size(); }

    void grow(size_t i)
    {
        const size_t cap = cap_[i] == 0 ? 8 : 2 * cap_[i];
        if (p_.size() - used_ > used_ + 4096)
            pack();
        const size_t from = off_[i], to = p_.size();
        p_.resize(to + cap);
        std::copy_n(p_.begin() + static_cast<std::ptrdiff_t>(from), size_[i],
                    p_.begin() + static_cast<std::ptrdiff_t>(to));
        off_[i] = to;
        used_ += cap - cap_[i];
        cap_[i] = cap;
    }

    void pack()
    {
        std::vector<Point> p;
        p.reserve(2 * used_);
        for (size_t i = 0; i < off_.size(); i++) {
            const auto from = p_.begin() + static_cast<std::ptrdiff_t>(off_[i]);
            off_[i] = p.size();
            p.insert(p.end(), from, from + static_cast<std::ptrdiff_t>(cap_[i]));
        }
        p_.swap(p);
    }

    std::vector<Point> p_;
    std::vector<size_t> off_, size_, cap_;
    std::vector<double> ends_; // rows of end(k), ray by ray
    size_t used_ = 0;          // the room of every hull
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
double interpolated_rise(const HullView &l, const HullView &r, double phi, Point q, size_t &tl, size_t &tr)
{
    // With phi 0 the sum is the right hull itself (its edges alone move
    // its points): its tangent, without walking the left hull's edges.
    if (l.empty() || r.empty() || phi == 0) {
        if (l.empty() && r.empty())
            return -kInf;
        if (l.empty() || (phi == 0 && !r.empty())) {
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
    auto rise = [&](size_t i, size_t j) { return formulas::sum_rise(phi, rphi, l[i].w, r[j].w, q.w); };
    auto run = [&](size_t i, size_t j) { return formulas::sum_run(phi, rphi, l[i].x, r[j].x, q.x); };
    double top = rise(a, b), under = run(a, b);
    for (;;) {
        const bool more_l = a + 1 < l.size(), more_r = b + 1 < r.size();
        if (!more_l && !more_r)
            break;
        // The steeper of the two next edges comes first.
        bool left = more_l;
        if (more_l && more_r)
            left = formulas::at_least_as_steep(l[a].x, l[a].w, l[a + 1].x, l[a + 1].w, r[b].x, r[b].w, r[b + 1].x,
                                               r[b + 1].w);
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

// The transpose of a grid, or an empty grid when memory lacks.
Grid<double> transposed(const Grid<double> &g)
{
    Grid<double> t(g.nb_col(), g.nb_lig());
    if (t.empty())
        return t;
    constexpr int32_t kBlock = 64;
    for (int32_t i0 = 0; i0 < g.nb_lig(); i0 += kBlock)
        for (int32_t j0 = 0; j0 < g.nb_col(); j0 += kBlock)
            for (int32_t i = i0; i < std::min(i0 + kBlock, g.nb_lig()); i++)
                for (int32_t j = j0; j < std::min(j0 + kBlock, g.nb_col()); j++)
                    t[j][i] = g[i][j];
    return t;
}

} // namespace

void horizon_pass(const Grid<double> &dtab, double dsizepix, double azim, double distance, bool curvature,
                  Grid<float> &out, const GridOrigin &origin, const Grid<double> *dtab_t)
{
    const kernels::Horizon &kernel = TL_CHOSEN_KERNELS(horizon);
    const ExactGeometry g = exact_geometry(dtab.nb_lig(), dtab.nb_col(), 0, azim, dsizepix, false, origin);
    // The grid walked, by lines.
    Grid<double> own_t;
    if (g.transposed && dtab_t == nullptr) {
        own_t = transposed(dtab);
        if (own_t.empty())
            throw std::bad_alloc();
        dtab_t = &own_t;
    }
    const double *const *lines = g.transposed ? dtab_t->rows() : dtab.rows();
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
    std::vector<Hull> hulls(limited ? kBatch : 0);
    // The portable build searches every cell's hulls one at a time, and
    // its hulls keep no ends.
    const bool lanes = kernel.lanes > 1;
    HullPool pool(limited ? 0 : nrays, lanes);
    size_t first = 0, held = 0;
    // Out to a distance: the samples of the steps within it, their distance
    // from this step (x = -d) and their curvature's drop.
    std::vector<const double *> rows;
    std::vector<double> xs, drops;
    // Where each ray's tangent was last found as a cell's left or right ray,
    // over the whole grid: a cell's search starts from where the cell one
    // step before on the same two rays found them (so that it depends on no
    // other cell of its line). Out to a distance every search starts from
    // the hull's nearest point, so that even where rounding leaves two
    // candidates the angle depends on nothing the steps before have met.
    std::vector<size_t> last_l(limited ? 0 : nrays, 0), last_r(limited ? 0 : nrays, 0);
    // A line's cells: their highest rises, then their angles.
    std::vector<double> best(static_cast<size_t>(g.ncols));
    std::vector<float> angle(static_cast<size_t>(g.ncols));
    std::vector<int32_t> rest(static_cast<size_t>(g.ncols));
    std::vector<int64_t> grown(static_cast<size_t>(g.ncols) + 1);
    const double per_radian = 45 / std::atan(1.0);
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
        // The rays on columns -1 .. ncols - 1 of the line; out to a distance
        // the hulls read every ray, the others having no terrain.
        if (limited)
            std::fill(z.begin(), z.end(), -kInf);
        kernel.samples(lines[r], g.ncols, phi, z.data() + (-1 - g.base[n] - g.kmin));
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
                const auto i0 = static_cast<size_t>(-1 - g.base[m] - g.kmin);
                // The vector kernels add the samples that pop at most one
                // point, and leave the others here.
                const double drop = kc * xm * xm;
                const auto last = static_cast<int64_t>(i0) + g.ncols;
                int32_t left = 0;
                if (lanes)
                    left = kernel.grow_hulls(pool.hulls(), zm.data(), xm, drop, static_cast<int64_t>(i0), last,
                                             grown.data());
                else
                    for (auto i = static_cast<int64_t>(i0); i <= last; i++)
                        if (zm[static_cast<size_t>(i)] > -kInf)
                            grown[static_cast<size_t>(left++)] = i;
                for (int32_t k = 0; k < left; k++) {
                    const auto i = static_cast<size_t>(grown[static_cast<size_t>(k)]);
                    pool.add(i, {xm, zm[i] - drop});
                }
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
        // Out to a distance, the hulls of rays i - 1 and i at this step (i
        // at least 1), i never below the last asked for.
        auto pair = [&](size_t i) {
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
            return std::pair<HullView, HullView>{hulls[i - 1 - first].view(), hulls[i - first].view()};
        };
        const double wq = kc * q.x * q.x;
        if (g.lo[n] > g.hi[n])
            continue;
        // The surface on each cell's own line, over the first lines of
        // centres it meets within the distance.
        kernels::OwnLines own{};
        own.line = lines[r];
        own.ncols = g.ncols;
        own.lo = g.lo[n];
        own.hi = g.hi[n];
        for (int k = 0; k < kOwnSteps && k < n; k++) {
            const double d = (k + 1) * g.step;
            if (limited && d > distance)
                break;
            own.back[k] = lines[r - g.dr * (k + 1)];
            own.jb[k] = g.jb[k][n];
            own.psi[k] = g.psi[k][n];
            own.d[k] = d;
            own.drop[k] = kc * d * d;
            own.steps = k + 1;
        }
        kernel.own_rises(own, best.data());
        // Over the whole grid the vector kernels take the cells whose
        // searches end near where they start, and leave the others here;
        // out to a distance, where L weighs nothing and in the portable
        // build, every cell is here.
        int32_t left = 0;
        if (!limited && phi != 0 && lanes) {
            kernels::FarRises fr{};
            fr.line = lines[r];
            fr.lo = g.lo[n];
            fr.hi = g.hi[n];
            fr.ray0 = -g.base[n] - g.kmin;
            fr.ends = pool.ends();
            fr.size = pool.sizes();
            fr.last_l = last_l.data();
            fr.last_r = last_r.data();
            fr.qx = q.x;
            fr.wq = wq;
            fr.phi = phi;
            fr.shift = shift;
            left = kernel.far_rises(fr, best.data(), rest.data());
        } else
            for (int32_t c = g.lo[n]; c <= g.hi[n]; c++)
                rest[static_cast<size_t>(left++)] = c;
        for (int32_t k = 0; k < left; k++) {
            const int32_t c = rest[static_cast<size_t>(k)];
            const double h = lines[r][c];
            if (!(h > -kInf))
                continue;
            // The rays on either side: at columns c - 1 + phi and c + phi.
            const auto ir = static_cast<size_t>(c - g.base[n] - g.kmin);
            q.w = h - wq;
            double far;
            if (!limited)
                far = interpolated_rise(pool.view(ir - 1), pool.view(ir), phi, q, last_l[ir - 1], last_r[ir]);
            else {
                const auto [left, right] = pair(ir);
                size_t from_l = left.size(), from_r = right.size();
                far = interpolated_rise(left, right, phi, q, from_l, from_r);
            }
            double &b = best[static_cast<size_t>(c - g.lo[n])];
            if (far > -kInf)
                b = formulas::higher(b, far - shift);
        }
        const int32_t count = g.hi[n] - g.lo[n] + 1;
        kernel.degrees(best.data(), count, per_radian, angle.data());
        for (int32_t c = g.lo[n]; c <= g.hi[n]; c++) {
            const auto i = static_cast<size_t>(c - g.lo[n]);
            if (lines[r][c] > -kInf && best[i] > -kInf)
                put(r, c, angle[i]);
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
    horizons(dtab, dsizepix, s, out, origin);
    return out;
}

void horizons(const Grid<double> &dtab, double dsizepix, const HorizonSettings &s, std::vector<Grid<float>> &out,
              const GridOrigin &origin)
{
    // The elevations by columns, for the directions whose rays step from
    // column to column.
    const Grid<double> dtab_t = transposed(dtab);
    if (dtab_t.empty())
        throw std::bad_alloc();
    bool failed = false;
#pragma omp parallel for schedule(dynamic, 1)
    for (int k = 0; k < s.directions; k++) {
        try {
            horizon_pass(dtab, dsizepix, horizon_azimuth(k, s.directions), s.distance, s.curvature,
                         out[static_cast<size_t>(k)], origin, &dtab_t);
        } catch (const std::bad_alloc &) {
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed)
        throw std::bad_alloc();
}

uint64_t horizon_bytes(int32_t nb_lig, int32_t nb_col, const HorizonSettings &s, int threads)
{
    const uint64_t cells = static_cast<uint64_t>(nb_lig) * static_cast<uint64_t>(nb_col);
    const uint64_t rays = static_cast<uint64_t>(nb_lig) + static_cast<uint64_t>(nb_col) + 2;
    const uint64_t steps = static_cast<uint64_t>(std::max(nb_lig, nb_col));
    // The ring of samples: a few steps, or every step within the distance;
    // the hulls: every ray's, counted at a few points, with their last
    // points side by side, or 64 of every step within the distance.
    const uint64_t kept = s.distance > 0 ? steps + 1 : static_cast<uint64_t>(kOwnSteps) + 2;
    const uint64_t hulls = s.distance > 0 ? 64 * 16 * (steps + 1) + 24 * (steps + 1)
                                          : rays * (32 + 16 * 8 + 16 * static_cast<uint64_t>(kernels::kHullEnds));
    const uint64_t per_thread = rays * kept * 8 + rays * 8 + hulls + exact_bytes(nb_lig, nb_col, 1);
    // The angles, the elevations by columns, and per thread a line's rises,
    // angles and the cells and rays the vector kernels leave.
    return cells * 4 * static_cast<uint64_t>(s.directions) + cells * 8 +
           (per_thread + steps * 24) * static_cast<uint64_t>(threads);
}

} // namespace terralume
