#include "parallel.h"

#include <cstdlib>
#include <unistd.h>

namespace terralume
{

bool ask_short_waits()
{
    if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr)
        return false;
    return setenv("GOMP_SPINCOUNT", "1000", 1) == 0;
}

void restart_with_short_waits(char **argv)
{
    if (ask_short_waits())
        execv("/proc/self/exe", argv);
    // Where that is impossible the process goes on with the runtime's own waits.
}

} // namespace terralume
