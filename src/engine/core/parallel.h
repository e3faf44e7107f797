// Worker threads of the engine (OpenMP). Work is split so that every output
// cell is written by one thread, or only ever receives the same value, so the
// results do not depend on the number of threads. OMP_NUM_THREADS sets it.
#ifndef TERRALUME_ENGINE_PARALLEL_H
#define TERRALUME_ENGINE_PARALLEL_H

#ifdef _OPENMP
#include <omp.h>
#endif

namespace terralume
{

// Grids smaller than this many cells stay on one thread: the work of a pass
// would not pay for waking the others.
constexpr long kParallelCells = 4096;

inline bool worth_threads(int nb_lig, int nb_col) { return static_cast<long>(nb_lig) * nb_col >= kParallelCells; }

inline int max_threads()
{
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

inline int thread_index()
{
#ifdef _OPENMP
    return omp_get_thread_num();
#else
    return 0;
#endif
}

inline void set_threads(int n)
{
#ifdef _OPENMP
    omp_set_num_threads(n);
#else
    (void)n;
#endif
}

} // namespace terralume

#endif
