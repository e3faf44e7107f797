// Short waits for the OpenMP runtime's threads, the one place they are asked.
//
// Unless told otherwise, the runtime's threads wait for one another by
// spinning for a long while; on a machine whose other cores are busy, threads
// spinning for a partner that is not running slow a run several times over.
// The runtime reads its settings once, as it loads, before main, so they are
// set here, in the constructor of a small shared library that every program
// (terralume, terralume-cli, the tests and the benchmarks) names after the
// runtime on its link line: libraries that do not depend on one another are
// initialized in the reverse order, so this one runs after the C library
// (which would undo an earlier change to the environment) and before the
// runtime. A policy the user set stands. tests/short_waits_test.sh checks it.
#include <cstdlib>

namespace
{

[[gnu::constructor]] void ask_short_waits()
{
    if (std::getenv("OMP_WAIT_POLICY") == nullptr && std::getenv("GOMP_SPINCOUNT") == nullptr)
        setenv("GOMP_SPINCOUNT", "1000", 1);
}

} // namespace
