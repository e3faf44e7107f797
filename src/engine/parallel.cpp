#include "parallel.h"

#include <cstdlib>
#include <unistd.h>

namespace terralume
{

void restart_with_short_waits(char **argv)
{
    if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr)
        return;
    if (setenv("GOMP_SPINCOUNT", "1000", 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    // Where that is impossible the process goes on with the runtime's own waits.
}

} // namespace terralume
