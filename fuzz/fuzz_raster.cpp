// libFuzzer target: a DEM file of any format, read by the command line.
#include "harness.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (const auto problem = terralume::fuzz::raster_input(data, size)) {
        std::fprintf(stderr, "broken promise: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
