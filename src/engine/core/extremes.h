// The lowest and highest of a grid's values, the same on any number of
// threads: each line is scanned on its own, from its first value that counts,
// by strict comparisons, then the lines' extremes are taken in order by the
// same comparisons. That finds the values one scan of every cell in turn
// finds, signed zeros included.
#ifndef TERRALUME_ENGINE_EXTREMES_H
#define TERRALUME_ENGINE_EXTREMES_H

#include <cstdint>
#include <vector>

namespace terralume
{

template <typename T> struct Extremes {
    bool any = false; // some cell counted
    T lo{};
    T hi{};
};

// Over lines 0..lines-1 and columns 0..columns-1, the cells for which
// take(i, j, v) sets v and returns true; on several threads when `threads`.
template <typename T, typename Take>
Extremes<T> extremes_by_lines(int32_t lines, int32_t columns, bool threads, Take take)
{
    if (lines <= 0 || columns <= 0)
        return {};
    std::vector<Extremes<T>> line(static_cast<size_t>(lines));
#pragma omp parallel for schedule(static) if (threads)
    for (int32_t i = 0; i < lines; i++) {
        Extremes<T> e;
        for (int32_t j = 0; j < columns; j++) {
            T v;
            if (!take(i, j, v))
                continue;
            if (!e.any) {
                e = {true, v, v};
                continue;
            }
            if (v > e.hi)
                e.hi = v;
            if (v < e.lo)
                e.lo = v;
        }
        line[static_cast<size_t>(i)] = e;
    }
    Extremes<T> all;
    for (const Extremes<T> &e : line) {
        if (!e.any)
            continue;
        if (!all.any) {
            all = e;
            continue;
        }
        if (e.hi > all.hi)
            all.hi = e.hi;
        if (e.lo < all.lo)
            all.lo = e.lo;
    }
    return all;
}

} // namespace terralume

#endif
