// Seeded synthetic terrain for tests and benchmarks: fractal value noise
// (octaves of smoothly interpolated random lattices, each half the period and
// half the amplitude of the one before), given as whole samples as a DEM file
// would hold them. The same seed gives the same terrain on every machine.
#ifndef TERRALUME_TOOLS_TERRAIN_H
#define TERRALUME_TOOLS_TERRAIN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace terralume::tools
{

// splitmix64: a small, fully specified generator.
class Random
{
  public:
    explicit Random(uint64_t seed) : s_(seed) {}
    uint64_t next()
    {
        uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1), from the top 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    int32_t below(int32_t n) { return static_cast<int32_t>(next() % static_cast<uint64_t>(n)); }

  private:
    uint64_t s_;
};

// nb_lig x nb_col samples, row-major, from base to about base + relief.
// The coarsest octave has a period of `period` cells.
inline std::vector<int32_t> fractal_terrain(int32_t nb_lig, int32_t nb_col, uint64_t seed, int32_t base, int32_t relief,
                                            int32_t period = 256)
{
    std::vector<double> h(static_cast<size_t>(nb_lig) * nb_col, 0.0);
    Random rnd(seed);
    double amplitude = 1.0;
    double total = 0.0;
    for (int32_t p = period; p >= 2; p /= 2) {
        const int32_t gl = nb_lig / p + 2;
        const int32_t gc = nb_col / p + 2;
        std::vector<double> lattice(static_cast<size_t>(gl) * gc);
        for (double &v : lattice)
            v = rnd.uniform();
        for (int32_t i = 0; i < nb_lig; i++) {
            const int32_t li = i / p;
            double fi = static_cast<double>(i % p) / p;
            fi = fi * fi * (3 - 2 * fi);
            for (int32_t j = 0; j < nb_col; j++) {
                const int32_t lj = j / p;
                double fj = static_cast<double>(j % p) / p;
                fj = fj * fj * (3 - 2 * fj);
                const double *r0 = &lattice[static_cast<size_t>(li) * gc + lj];
                const double *r1 = r0 + gc;
                const double top = r0[0] + (r0[1] - r0[0]) * fj;
                const double bottom = r1[0] + (r1[1] - r1[0]) * fj;
                h[static_cast<size_t>(i) * nb_col + j] += amplitude * (top + (bottom - top) * fi);
            }
        }
        total += amplitude;
        amplitude *= 0.5;
    }
    std::vector<int32_t> out(h.size());
    for (size_t k = 0; k < h.size(); k++)
        out[k] = base + static_cast<int32_t>(h[k] / total * relief);
    return out;
}

} // namespace terralume::tools

#endif
