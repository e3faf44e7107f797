// Short waits for the OpenMP runtime's threads, asked in the environment
// (see restart_with_short_waits in parallel.h).
#ifndef TERRALUME_ENGINE_SHORT_WAITS_H
#define TERRALUME_ENGINE_SHORT_WAITS_H

#include <cstdlib>

namespace terralume
{

// Sets the short spins in the environment, unless the user set the waiting
// policy; true when it did.
inline bool ask_short_waits()
{
    if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr)
        return false;
    return setenv("GOMP_SPINCOUNT", "1000", 1) == 0;
}

} // namespace terralume

#endif
