// Seeded terrain classes for the cast-shadow agreement studies and tests:
// ten kinds of relief, from 1 m to 5 km cells, smooth and rough, gentle and
// steep, with cliffs, crests, pits and spikes one cell wide. Each is an n x n
// grid of elevations in metres, the same on every machine for a given seed.
#ifndef TERRALUME_TOOLS_TERRAIN_CLASSES_H
#define TERRALUME_TOOLS_TERRAIN_CLASSES_H

#include "grid.h"
#include "terrain.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace terralume::tools
{

struct TerrainClass {
    const char *name;
    double pixel; // cell size [metre]
    Grid<double> (*make)(int32_t n, uint64_t seed);
};

namespace classes
{

// Fractal value noise in [0, 1) at a resolution of 2^-20.
inline std::vector<double> noise(int32_t n, uint64_t seed, int32_t period)
{
    const std::vector<int32_t> s = fractal_terrain(n, n, seed, 0, 1 << 20, period);
    std::vector<double> v(s.size());
    for (size_t k = 0; k < s.size(); k++)
        v[k] = s[k] * 0x1p-20;
    return v;
}

inline Grid<double> from(int32_t n, const std::vector<double> &v)
{
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++)
            g[i][j] = v[static_cast<size_t>(i) * n + j];
    return g;
}

// Rough hills: 900 m of fractal relief on 30 m cells, as whole metres.
inline Grid<double> rough(int32_t n, uint64_t seed)
{
    std::vector<double> v = noise(n, seed, 16);
    for (double &x : v)
        x = std::floor(200 + 900 * x);
    return from(n, v);
}

// High mountains seen coarsely: 4500 m of relief on 2.5 km cells, the
// slopes of neighbouring cells up to 60 %.
inline Grid<double> alpine(int32_t n, uint64_t seed)
{
    std::vector<double> v = noise(n, seed, 8);
    for (double &x : v)
        x = std::floor(300 + 4500 * x * x);
    return from(n, v);
}

// A continent on 5 km cells: ranges up to 7000 m high, where the Earth's
// curvature matters over the shadows' lengths.
inline Grid<double> continental(int32_t n, uint64_t seed)
{
    std::vector<double> v = noise(n, seed, 4);
    for (double &x : v)
        x = std::floor(7000 * x * x * x);
    return from(n, v);
}

// A gentle plain: 60 m of smooth relief on 30 m cells, in decimetres,
// shaded only by a low sun.
inline Grid<double> plain(int32_t n, uint64_t seed)
{
    std::vector<double> v = noise(n, seed, 32);
    for (double &x : v)
        x = std::round(10 * (50 + 60 * x)) / 10;
    return from(n, v);
}

// A volcano on 10 m cells: a cone 250 m high with a crater, on a rough
// apron.
inline Grid<double> volcano(int32_t n, uint64_t seed)
{
    const std::vector<double> v = noise(n, seed, 8);
    Random rnd(seed);
    const double ci = n * (0.4 + 0.2 * rnd.uniform()), cj = n * (0.4 + 0.2 * rnd.uniform());
    const double radius = 0.42 * n, crater = 0.12 * n;
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++) {
            const double r = std::hypot(i - ci, j - cj);
            double h = r < radius ? 250 * (1 - r / radius) : 0;
            if (r < crater)
                h = 250 * (1 - crater / radius) - 90 * (1 - r * r / (crater * crater));
            g[i][j] = std::round(10 * (20 + h + 25 * v[static_cast<size_t>(i) * n + j])) / 10;
        }
    return g;
}

// Sharp parallel ridges on 20 m cells, 300 m high, at a slant, their crests
// a cusp.
inline Grid<double> ridges(int32_t n, uint64_t seed)
{
    const std::vector<double> v = noise(n, seed, 16);
    Random rnd(seed);
    const double a = 3.14159 * rnd.uniform(), period = 9 + 6 * rnd.uniform();
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++) {
            const double u = (i * std::cos(a) + j * std::sin(a)) / period;
            const double crest = 1 - std::fabs(std::sin(3.14159 * u));
            g[i][j] = std::floor(100 + 300 * crest + 60 * v[static_cast<size_t>(i) * n + j]);
        }
    return g;
}

// A plateau on 2 m cells cut by a winding canyon 60 m deep, its walls a
// cell or two wide.
inline Grid<double> canyon(int32_t n, uint64_t seed)
{
    const std::vector<double> v = noise(n, seed, 32);
    Random rnd(seed);
    const double phase = 6.28318 * rnd.uniform();
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++) {
        const double centre = n * (0.5 + 0.25 * std::sin(phase + 6.28318 * i / n * 1.3));
        for (int32_t j = 0; j < n; j++) {
            const double w = std::fabs(j - centre) - 0.06 * n;
            const double depth = w < 0 ? 60 : w < 2 ? 60 * (1 - w / 2) : 0;
            g[i][j] = std::round(100 * (200 - depth + 8 * v[static_cast<size_t>(i) * n + j])) / 100;
        }
    }
    return g;
}

// Terraced slopes on 1 m cells: 30 m of relief in steps of 2 m.
inline Grid<double> terraces(int32_t n, uint64_t seed)
{
    std::vector<double> v = noise(n, seed, 32);
    for (double &x : v)
        x = 2 * std::floor(15 * x);
    return from(n, v);
}

// Mesas on 25 m cells: plateaus 350 m above the plain, their cliffs two
// cells wide.
inline Grid<double> mesas(int32_t n, uint64_t seed)
{
    std::vector<double> v = noise(n, seed, 32);
    const std::vector<double> r = noise(n, seed + 1, 8);
    for (size_t k = 0; k < v.size(); k++) {
        const double t = std::clamp((v[k] - 0.5) * 12 + 0.5, 0.0, 1.0);
        v[k] = std::floor(500 + 350 * t * t * (3 - 2 * t) + 30 * r[k]);
    }
    return from(n, v);
}

// A town on 1 m cells: gently sloping ground with blocks 3 to 30 m high
// and lone masts one cell wide.
inline Grid<double> town(int32_t n, uint64_t seed)
{
    const std::vector<double> v = noise(n, seed, 64);
    Random rnd(seed);
    Grid<double> g(n, n);
    for (int32_t i = 0; i < n; i++)
        for (int32_t j = 0; j < n; j++)
            g[i][j] = std::round(100 * (50 + 6 * v[static_cast<size_t>(i) * n + j])) / 100;
    const int blocks = n * n / 300;
    for (int k = 0; k < blocks; k++) {
        const int32_t i0 = rnd.below(n), j0 = rnd.below(n);
        const int32_t h = 2 + rnd.below(12), w = 2 + rnd.below(12);
        const double top = 3 + 27 * rnd.uniform();
        for (int32_t i = i0; i < std::min(n, i0 + h); i++)
            for (int32_t j = j0; j < std::min(n, j0 + w); j++)
                g[i][j] += top;
    }
    for (int k = 0; k < blocks / 2; k++)
        g[rnd.below(n)][rnd.below(n)] += 10 + rnd.below(30);
    return g;
}

} // namespace classes

inline const std::vector<TerrainClass> &terrain_classes()
{
    static const std::vector<TerrainClass> all = {
        {"rough hills", 30, classes::rough},
        {"alpine", 2500, classes::alpine},
        {"continental", 5000, classes::continental},
        {"plain", 30, classes::plain},
        {"volcano", 10, classes::volcano},
        {"ridges", 20, classes::ridges},
        {"canyon", 2, classes::canyon},
        {"terraces", 1, classes::terraces},
        {"mesas", 25, classes::mesas},
        {"town", 1, classes::town},
    };
    return all;
}

} // namespace terralume::tools

#endif
