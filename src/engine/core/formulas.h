// The formulas of the illumination engine, each written once, over plain
// doubles and over the vectors of the fast kernels alike. The straightforward
// passes and every instruction set's kernels include this file, so they all
// perform the same IEEE operations in the same order and cannot drift apart.
//
// Everything here has internal linkage: each kernel object is built for its
// own instruction set, and a copy compiled for a wider set must never be
// linked in place of another's. A file that uses these templates on vectors
// declares, before including this one, its own `pick`, `both`, `either`,
// `but_not`, `as_bits` and `from_bits` for its vector and mask types; those for
// double and bool are here.
#ifndef TERRALUME_ENGINE_FORMULAS_H
#define TERRALUME_ENGINE_FORMULAS_H

#include <bit>
#include <cmath>
#include <cstdint>

namespace terralume::formulas
{

// What one sun position gives every cell's diffuse (see diffuse_added below): a
// plain aggregate, the same in every translation unit.
template <typename V> struct DiffuseSun {
    V sin_h;     // of the sun's elevation
    V inv_sin_h; // 1 / sin_h
    V inv_g0h;   // 1 / the extraterrestrial irradiance of the horizontal
    V inv_low;   // 1 / (0.1 - 0.008 h) below 0.1 radian, else 0
    V ca, sa;    // cosine and sine of the sun's azimuth
    V hours;
};

namespace
{

// Lane choices, for scalars: a where m holds, else b.
[[maybe_unused]] double pick(bool m, double a, double b) { return m ? a : b; }
[[maybe_unused]] bool both(bool a, bool b) { return a && b; }
[[maybe_unused]] bool either(bool a, bool b) { return a || b; }
[[maybe_unused]] bool but_not(bool a, bool b) { return a && !b; }
// The bits of a double, and back.
[[maybe_unused]] uint64_t as_bits(double v) { return std::bit_cast<uint64_t>(v); }
[[maybe_unused]] double from_bits(uint64_t b) { return std::bit_cast<double>(b); }
// A quotient, correctly rounded (the vectors' version takes a divisor with
// its reciprocal and gives the same bits).
[[maybe_unused]] double quotient(double a, double b) { return a / b; }

// The shading scale: the brightest cell is 255.999, not 255 or 256.
constexpr double kShadingScale = 255.999;

// Cosine of the angle between the sun and a cell's normal. The normal comes
// from the rises to the next line (d2) and the next column (d3) over one cell;
// in the frame (toward line 0, toward increasing column, up) it is
// (d2, -d3, dsizepix) / bn, the sun (cos e cos a, cos e sin a, sin e), and
// cc, cs, sr the sun's terms with its vertical part times dsizepix.
template <typename V, typename D> V incidence(V cc, V cs, V sr, V d2, V d3, const D &bn)
{
    return quotient(cc * d2 - cs * d3 + sr, bn);
}

// One rise of Horn's gradient over one cell, from the three cells on the
// rising side (a, b, c) and the three on the other (d, e, f), the middle ones
// weighing twice: ((a + 2b + c) - (d + 2e + f)) / 8.
template <typename V> V horn_rise(V a, V b, V c, V d, V e, V f) { return ((a + 2 * b + c) - (d + 2 * e + f)) * 0.125; }

// The length of a cell's unnormalized normal; r2 is dsizepix squared.
template <typename V> V normal_length(V d2, V d3, V r2) { return std::sqrt(d2 * d2 + d3 * d3 + r2); }

// The self-shading of a cell: the scale times the cosine, 0 when it is negative.
template <typename V> V shading(V rad, V zero) { return pick(rad < zero, zero, kShadingScale * rad); }

// The light a cell keeps: its shading, times the attenuation in cast shadow.
template <typename V, typename M> V attenuated(V s, M shaded, V attenuation)
{
    return pick(shaded, s * attenuation, s);
}

// One position added to an accumulation: the quotient is formed first.
template <typename V, typename D> V accumulated(V v, const D &divisor, V acc) { return quotient(v, divisor) + acc; }

// Hours of direct sun: the cell faces the sun and is not in cast shadow.
template <typename V, typename M> V sun_hours_added(V s, M shaded, V hours, V zero, V acc)
{
    return pick(but_not(s > zero, shaded), hours, zero) + acc;
}

// e to the power x, from IEEE additions and multiplications and the exponent
// bits alone, so that scalar code and the vectors of every instruction set
// give the same bits (a library's exp may differ between its scalar and
// vector versions, and from one library to the next). x = n ln2 + r with n
// whole and |r| <= ln2 / 2 (ln2 in two parts, so that n ln2 is exact); e^r
// from its Taylor series to the 13th power, whose first neglected term is
// under 4e-18, summed by pairs of terms (Estrin's scheme: a short chain of
// dependent operations); e^x = 2^n e^r, 2^n made in the exponent bits.
// Within 2 ulp of e^x for x in [-708, 709]; outside, the value at the nearer
// end; NaN stays NaN.
template <typename V> [[gnu::always_inline]] inline V exp_ieee(V x)
{
    constexpr double kShift = 6755399441055744.0; // 1.5 x 2^52: adding it rounds to a whole number
    constexpr double kLog2e = 1.4426950408889634;
    constexpr double kLn2Hi = 6.93147180369123816490e-01; // 21 trailing zero bits
    constexpr double kLn2Lo = 1.90821492927058770002e-10;
    const V lo = V{} + -708.0;
    const V hi = V{} + 709.0;
    x = pick(x < lo, lo, x);
    x = pick(x > hi, hi, x);
    const V kd = x * kLog2e + kShift; // kShift + n, exactly
    const V n = kd - kShift;
    const V r = (x - n * kLn2Hi) - n * kLn2Lo;
    const V r2 = r * r;
    const V r4 = r2 * r2;
    const V r8 = r4 * r4;
    // 1 / k! for k = 0 to 13.
    const V q0 = 1.0 + r;
    const V q1 = 1.0 / 2 + r * (1.0 / 6);
    const V q2 = 1.0 / 24 + r * (1.0 / 120);
    const V q3 = 1.0 / 720 + r * (1.0 / 5040);
    const V q4 = 1.0 / 40320 + r * (1.0 / 362880);
    const V q5 = 1.0 / 3628800 + r * (1.0 / 39916800);
    const V q6 = 1.0 / 479001600 + r * (1.0 / 6227020800);
    const V t0 = (q0 + r2 * q1) + r4 * (q2 + r2 * q3);
    const V t1 = (q4 + r2 * q5) + r4 * q6;
    const V p = t0 + r8 * t1;
    // n + 1023 in the exponent field: the bits of kd less those of kShift are n.
    const auto scale = (as_bits(kd) - as_bits(kShift) + uint64_t{1023}) << 52;
    return p * from_bits(scale);
}

// The arc tangent [radian], in the same IEEE operations for scalars and for
// the vectors of every instruction set (a library's atan, like its exp, may
// differ between its scalar and vector versions). With a = |t|: beyond 1,
// atan a = pi/2 - atan(1/a); then beyond tan(pi/12), atan x = pi/6 +
// atan(y), y = (x sqrt3 - 1) / (x + sqrt3), so that |y| <= tan(pi/12) =
// 0.268; there the series y - y^3/3 + y^5/5 - ... to y^27 / 27, whose first
// neglected term is under 4e-18 of y, is summed by Horner's scheme in y^2.
// Within a few ulp of atan t; the sign is t's, -0 and NaN included.
template <typename V> [[gnu::always_inline]] inline V arc_tangent(V t)
{
    constexpr double kSqrt3 = 1.7320508075688772;
    constexpr double kTan15 = 0.26794919243112270; // tan(pi/12) = 2 - sqrt3
    constexpr double kPi6 = 0.52359877559829887;
    constexpr double kPi2 = 1.5707963267948966;
    constexpr uint64_t kSign = uint64_t{1} << 63;
    const V zero = V{};
    const auto sign = as_bits(t) & kSign;
    const V a = from_bits(as_bits(t) & ~kSign);
    const auto big = a > zero + 1.0;
    const V x = pick(big, 1.0 / a, a);
    const auto mid = x > zero + kTan15;
    const V y = pick(mid, (x * kSqrt3 - 1.0) / (x + kSqrt3), x);
    const V z = y * y;
    // The series 1/3 - z/5 + z^2/7 - ... + z^12/27 by Horner's rule, from its
    // last term.
    V s = zero + 1.0 / 27;
    for (int k = 25; k >= 3; k -= 2)
        s = k % 4 == 1 ? s * z - 1.0 / k : s * z + 1.0 / k;
    const V u = y - y * (z * s);
    const V v = pick(mid, u + kPi6, u);
    const V w = pick(big, kPi2 - v, v);
    return from_bits(as_bits(w) | sign);
}

// The clear-sky beam of the ESRA model (Rigollier, Bauer and Wald), cell by
// cell. The pressure ratio p / p0 of a cell at elevation z [metre] corrects
// the air mass for the air above it; a cell without an elevation (not finite)
// is taken at sea level.
[[maybe_unused]] double pressure_ratio(double z) { return std::isfinite(z) ? exp_ieee(-z / 8434.5) : 1.0; }

// Rayleigh optical thickness at air mass m (Kasten 1996), in its two pieces:
// 1 / dR = 6.6296 + 1.7513 m - 0.1202 m^2 + 0.0065 m^3 - 0.00013 m^4 up to
// m = 20, 10.4 + 0.718 m above.
template <typename V> [[gnu::always_inline]] inline V rayleigh_thickness(V m)
{
    const V low = 6.6296 + 1.7513 * m - 0.1202 * (m * m) + 0.0065 * (m * m * m) - 0.00013 * (m * m * m * m);
    const V high = 10.4 + 0.718 * m;
    return 1.0 / pick(m <= 20.0, low, high);
}

// Beam normal irradiance [W/m2] of a cell: the extraterrestrial irradiance
// times exp(-0.8662 linke m dR(m)), m the sea-level air mass m0 times the
// cell's pressure ratio pp0.
template <typename V> [[gnu::always_inline]] inline V beam_normal(V irradiance, V m0, V linke, V pp0)
{
    const V m = m0 * pp0;
    return irradiance * exp_ieee(-0.8662 * linke * m * rayleigh_thickness(m));
}

// Beam irradiation [Wh/m2] of one position added to a cell: the normal
// irradiance times the cosine of incidence (0 facing away), times the
// attenuation in cast shadow, times the position's hours.
template <typename V, typename M> V beam_added(V rad, M shaded, V normal, V attenuation, V hours, V zero, V acc)
{
    const V b = normal * pick(rad < zero, zero, rad);
    return pick(shaded, b * attenuation, b) * hours + acc;
}

// The clear-sky diffuse irradiance of the horizontal [W/m2] of the ESRA model
// (Rigollier, Bauer and Wald 2000): the extraterrestrial irradiance times
// the diffuse transmission at zenith Trd(TL) times the angular function
// Fd = A0 + A1 sin h + A2 sin^2 h of the sun's elevation h, TL the Linke
// turbidity factor for an air mass of 2; A0 is raised so that A0 Trd is at
// least 0.002.
[[maybe_unused]] double esra_diffuse(double irradiance, double linke, double sin_h)
{
    const double tl2 = linke * linke;
    const double trd = -1.5843e-2 + 3.0543e-2 * linke + 3.797e-4 * tl2;
    double a0 = 2.6463e-1 - 6.1581e-2 * linke + 3.1408e-3 * tl2;
    if (a0 * trd < 2e-3)
        a0 = 2e-3 / trd;
    const double a1 = 2.0402 + 1.8945e-2 * linke - 1.1161e-2 * tl2;
    const double a2 = -1.3025 + 3.9231e-2 * linke + 8.5079e-3 * tl2;
    return irradiance * trd * (a0 + a1 * sin_h + a2 * (sin_h * sin_h));
}

// Muneer's (1990) function of the slope S [radian] of a tilted surface:
// sin S - S cos S - pi sin^2(S / 2), which his index N weighs.
[[maybe_unused]] double muneer_slope(double s)
{
    const double pi = 4 * std::atan(1.0);
    const double h = std::sin(s / 2);
    return std::sin(s) - s * std::cos(s) - pi * (h * h);
}

// The diffuse irradiance [W/m2] of a tilted cell in Muneer's (1990) model, as
// the ESRA model takes it: dh the diffuse of the horizontal, kb the beam of
// the horizontal over the extraterrestrial one, view the cell's sky view
// (in place of the bare slope's (1 + cos S) / 2), t = muneer_slope(S).
// In shadow (cast, or facing away from the sun): dh (view + 0.25227 t).
// Sunlit: dh (F (1 - kb) + kb r) with F = view + N t,
// N = 0.00263 - 0.712 kb - 0.6883 kb^2, and r the cosine of incidence over
// sin h, or, for a sun below 0.1 radian on a tilted cell, sin S cos(A - As)
// (`tilt`) over 0.1 - 0.008 h (`low`, when not 0); never below 0.
template <typename V, typename M>
V muneer_diffuse(M sunlit, V dh, V kb, V view, V t, V rad, V inv_sin_h, V tilt, V inv_low, V zero)
{
    const V shade = dh * (view + 0.25227 * t);
    const V n = 0.00263 - 0.712 * kb - 0.6883 * (kb * kb);
    const V f = view + n * t;
    const V r = pick(inv_low != zero, tilt * inv_low, rad * inv_sin_h);
    const V d = dh * (f * (1.0 - kb) + kb * r);
    return pick(sunlit, pick(d > zero, d, zero), shade);
}

// One position's diffuse irradiation [Wh/m2] added to a cell's `diffuse`,
// and its global horizontal irradiation (beam and diffuse of the horizontal)
// to `horizontal`. rad: the cosine of incidence; shaded: in cast shadow;
// d2, d3, bn: the cell's rises and normal length; normal: its beam normal
// irradiance; dh: the horizontal diffuse it takes; view: its sky view;
// slope: Muneer's function of its slope. A level cell keeps the cosine of
// incidence over sin h at any elevation.
template <typename V, typename M, typename D>
void diffuse_added(V rad, M shaded, V d2, V d3, const D &bn, V normal, V dh, V view, V slope, const DiffuseSun<V> &s,
                   V zero, V &diffuse, V &horizontal)
{
    const V bh = normal * s.sin_h;
    const V kb = bh * s.inv_g0h;
    const M level = both(d2 == zero, d3 == zero);
    const V tilt = quotient(d2 * s.ca - d3 * s.sa, bn);
    const V d = muneer_diffuse(but_not(rad > zero, shaded), dh, kb, view, slope, rad, s.inv_sin_h, tilt,
                               pick(level, zero, s.inv_low), zero);
    diffuse = d * s.hours + diffuse;
    horizontal = (bh + dh) * s.hours + horizontal;
}

// The sweep of a cast-shadow ray, one cell at a time. `prev` is the cell met
// before `a`, `second` tells that `prev` is the ray's second cell or later
// (the border cell never casts). A cell strictly lower than the one before it
// makes that one a caster; a caster's shadow line drops `dif` per step and
// holds the following cells strictly below it; the first cell at or above
// the line ends the shadow, and may itself be the next caster. `calt` and
// `ico` are the running caster's altitude and its distance in steps. Returns
// whether `a` lies in shadow; a cell in shadow is marked once the ray goes on
// past it, so the last cell of a ray is never marked.
template <typename V, typename M> M shadow_step(M active, M second, V prev, V a, V dif, V one, V &calt, V &ico)
{
    const M cand = either(active, both(second, a < prev));
    ico = pick(active, ico + one, one);
    calt = pick(active, calt, prev);
    return both(cand, calt - ico * dif > a);
}

// The exact cast-shadow method (exact_shadow.h). The terrain is the
// bilinear surface through the cell centres; rays step one line of centres
// at a time, so each sample lies on such a line, where the surface is the
// straight interpolation between two neighbouring cells a and b, the sample
// standing a fraction phi of a cell past a. A sample touching a cell without
// data (-infinity) is no terrain: -infinity, never NaN.
template <typename V> [[gnu::always_inline]] inline V ray_sample(V a, V b, V phi, V zero, V neg_inf)
{
    const auto aok = a > neg_inf;
    return pick(both(aok, b > neg_inf), a + phi * (b - a), pick(both(aok, phi == zero), a, neg_inf));
}

// The shadow lines of one ray are straight lines in the step count n: a
// sample z at step m, seen from step n, stands at z + p_m + b_m n - d_n,
// where d_n = n dT + n^2 k, p_m = m dT - m^2 k and b_m = 2 m k, dT the drop of
// a sun ray over one step and k the curvature's drop over one step squared.
// Without curvature every slope b_m is 0 and the highest line is the running
// maximum. With it, later lines are steeper: the ray keeps the line highest
// now (its height vf at the step and slope bf) and the one to overtake it next
// (vc, bc; -infinity when none), each height moved on by its slope at every
// step of the ray.
//
// One step of a ray: the held lines move on one step; the line of a sample,
// height v at this step and slope b, steeper than those held, joins them
// where `valid` holds, then the horizon is taken: the height of the highest
// shadow line (-infinity before any sample) less d. The new line replaces
// both when it is the highest; else it replaces the second when it stands
// above it or overtakes the first no later than it (the second is then never
// the highest). The second replaces the first once it stands higher.
template <typename V, typename M>
[[gnu::always_inline]] inline V hull_step(M valid, V v, V b, V d, V &vf, V &bf, V &vc, V &bc, V zero, V neg_inf)
{
    vf = vf + bf;
    vc = vc + bc;
    const auto top = both(valid, both(v >= vf, v >= vc));
    const auto needless = (v - vf) * (bc - bf) >= (vc - vf) * (b - bf);
    const auto second = both(but_not(valid, top), either(v >= vc, needless));
    vf = pick(top, v, vf);
    bf = pick(top, b, bf);
    vc = pick(top, neg_inf, pick(second, v, vc));
    bc = pick(top, zero, pick(second, b, bc));
    const auto up = vc > vf;
    vf = pick(up, vc, vf);
    bf = pick(up, bc, bf);
    vc = pick(up, neg_inf, vc);
    bc = pick(up, zero, bc);
    return vf - d;
}

// The higher of two values, the first when they are equal.
template <typename V> [[gnu::always_inline]] inline V higher(V top, V v) { return pick(v > top, v, top); }

// The horizons' hulls (horizon.cpp): the samples of a ray as points of
// distance x along it [metre] and height w, seen from a point q farther along
// than all of them.
//
// Whether b stands above the line from a to q, a before b before q.
template <typename V> [[gnu::always_inline]] inline auto stands_above(V ax, V aw, V bx, V bw, V qx, V qw)
{
    return (bw - aw) * (qx - ax) > (qw - aw) * (bx - ax);
}

// Whether b stands higher than a, a before b, over a line of rise u toward
// q: w + x u greater.
template <typename V> [[gnu::always_inline]] inline auto higher_under_rise(V ax, V aw, V bx, V bw, V u)
{
    return bw - aw > -u * (bx - ax);
}

// Of the edges a0 a1 and b0 b1 of two hulls, whether the first is at least as
// steep.
template <typename V>
[[gnu::always_inline]] inline auto at_least_as_steep(V ax0, V aw0, V ax1, V aw1, V bx0, V bw0, V bx1, V bw1)
{
    return (aw1 - aw0) * (bx1 - bx0) >= (bw1 - bw0) * (ax1 - ax0);
}

// The rise from q to the point phi l + (1 - phi) r of two rays' samples,
// as a quotient rise / run.
template <typename V> [[gnu::always_inline]] inline V sum_rise(V phi, V rphi, V lw, V rw, V qw)
{
    return (phi * lw + rphi * rw) - qw;
}
template <typename V> [[gnu::always_inline]] inline V sum_run(V phi, V rphi, V lx, V rx, V qx)
{
    return qx - (phi * lx + rphi * rx);
}

// The highest point of a stretch of line toward the sun (exact_shadow.h).
// A stretch runs from P, on one line of centres, to Q on the next line away
// from the sun, moving `delta` columns (|delta| <= 1), u the fraction of the
// way from P; it crosses at most one column of centres, so it lies in at most
// two bilinear cells, along each of which the surface is a quadratic in u.
// What counts is its height over a sun line that reaches a cell J steps past
// P: o(u) = z(u) - (J - u) dT - (J - u)^2 k, dT and k as for the shadow lines.
//
// Where the stretch of a bilinear cell with corners a0, a1 (on P's line, the
// second one column on) and b0, b1 (on Q's), entered at column fraction alpha
// (u = 0, possibly outside the cell), between u = ulo and uhi (open), has its
// top inside: the surface there, and u; -infinity when o has none inside or
// a corner lacks data. jk2 is 2 J k.
template <typename V>
[[gnu::always_inline]] inline V interior_peak(V a0, V a1, V b0, V b1, V alpha, V delta, V ulo, V uhi, V dt, V k, V jk2,
                                              V zero, V neg_inf, V &u)
{
    const V da = a1 - a0;
    const V db = b1 - b0;
    const V w = db - da;
    const V q2 = w * delta - k;
    const V q1 = ((da * delta + (b0 - a0)) + w * alpha) + (dt + jk2);
    u = q1 / (q2 * -2.0);
    const auto inside = both(q2 < zero, both(u > ulo, u < uhi));
    const auto whole = both(both(a0 > neg_inf, a1 > neg_inf), both(b0 > neg_inf, b1 > neg_inf));
    const V fx = alpha + delta * u;
    const V za = a0 + fx * da;
    const V zb = b0 + fx * db;
    return pick(both(inside, whole), za + u * (zb - za), neg_inf);
}

// The shape of a stretch, the same for every ray of a family on a given
// step and for every cell's line on a given line and step back: P stands a
// fraction fp of a cell past its column, Q `shift` columns on (-1, 0 or 1)
// from it. With a shift, the stretch crosses the column of centres between
// them at u = uc; its first piece lies in the cell whose column is entered at
// fraction alpha1, its second in the next (alpha2).
struct Stretch {
    int shift;
    double uc, alpha1, alpha2;
};

[[maybe_unused]] Stretch stretch_of(double fp, int shift, double delta)
{
    Stretch s{shift, 1, fp, fp};
    if (shift > 0) {
        s.uc = (1 - fp) / delta;
        s.alpha2 = fp - 1;
    } else if (shift < 0) {
        s.uc = fp / -delta;
        s.alpha2 = fp + 1;
    }
    return s;
}

// The highest point of a stretch: the elevations of its lines (p for P's, q
// for Q's) at three neighbouring columns, the first one column before P's
// when the shift is -1, else P's own; zq the surface at Q. Gives the surface
// at the stretch's highest point (by o), its u, and o there; Q itself when
// none is higher, and -infinity for o where the stretch has no terrain.
template <typename V>
[[gnu::always_inline]] inline void stretch_peak(const Stretch &s, V p0, V p1, V p2, V q0, V q1, V q2, V zq, V delta,
                                                V jj, V dt, V k, V zero, V one, V neg_inf, V &z, V &u, V &o)
{
    const V jk2 = jj * k * 2.0;
    auto height = [&](V zz, V uu) {
        const V tau = jj - uu;
        return zz - (tau * dt + tau * tau * k);
    };
    z = zq;
    u = one;
    o = height(zq, one);
    auto take = [&](V zz, V uu) {
        const V oo = height(zz, uu);
        const auto up = both(zz > neg_inf, oo > o);
        z = pick(up, zz, z);
        u = pick(up, uu, u);
        o = pick(up, oo, o);
    };
    V ui;
    if (s.shift == 0) {
        const V zi = interior_peak(p0, p1, q0, q1, zero + s.alpha1, delta, zero, one, dt, k, jk2, zero, neg_inf, ui);
        take(zi, ui);
        return;
    }
    const V uc = zero + s.uc;
    if (s.uc > 0 && s.uc < 1)
        take(ray_sample(p1, q1, uc, zero, neg_inf), uc);
    // The first piece, from P to the column crossed; the second, on to Q.
    const V a1 = zero + s.alpha1, a2 = zero + s.alpha2;
    const V zf = s.shift > 0 ? interior_peak(p0, p1, q0, q1, a1, delta, zero, uc, dt, k, jk2, zero, neg_inf, ui)
                             : interior_peak(p1, p2, q1, q2, a1, delta, zero, uc, dt, k, jk2, zero, neg_inf, ui);
    take(zf, ui);
    const V zs = s.shift > 0 ? interior_peak(p1, p2, q1, q2, a2, delta, uc, one, dt, k, jk2, zero, neg_inf, ui)
                             : interior_peak(p0, p1, q0, q1, a2, delta, uc, one, dt, k, jk2, zero, neg_inf, ui);
    take(zs, ui);
}

// The shadow line of a point of a ray at step t (a fraction of a step past a
// line of centres, counted from the whole raster's border), surface z: its
// height at step nd plus d_nd, and its slope (see hull_step).
template <typename V> [[gnu::always_inline]] inline V line_height(V z, V t, V nd, V dt, V k, V &b)
{
    b = t * k * 2.0;
    return z + ((t * dt - t * t * k) + b * nd);
}

// Where the line toward the sun of a cell on the line of step nd (from the
// whole raster's border) meets the line of centres j steps back: columns
// from the cell, as a whole number and a fraction in [0, 1).
[[maybe_unused]] void line_back(double nd, int32_t j, double dcs, int32_t &whole, double &fraction)
{
    const double back = (nd - j) * dcs - nd * dcs;
    const double fl = std::floor(back);
    whole = static_cast<int32_t>(fl);
    fraction = back - fl;
}

// The steps of a ray whose end lies `b` lines and `a` columns from its start:
// one line or one column along the major axis, a fraction along the other.
struct RaySteps {
    double rmax; // steps from start to end; 0 when they coincide
    double dinext;
    double djnext;
};

[[maybe_unused]] RaySteps ray_steps(double a, double b)
{
    RaySteps s;
    s.rmax = std::fabs(a) > std::fabs(b) ? std::fabs(a) : std::fabs(b);
    s.dinext = s.rmax == 0 ? 0 : b / s.rmax;
    s.djnext = s.rmax == 0 ? 0 : a / s.rmax;
    return s;
}

// The cell of a position along a ray: truncation toward zero, so positions
// down to -1.5 still land on line or column 0.
[[maybe_unused]] int32_t cell_of(double x) { return static_cast<int32_t>(x + 0.5); }

} // namespace
} // namespace terralume::formulas

#endif
