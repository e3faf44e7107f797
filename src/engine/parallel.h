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
