// A library that the programs load only to ask the OpenMP runtime for short
// waits before the runtime reads its environment, so that they find the short
// waits set and need not start themselves again. The programs name it after
// the runtime among the libraries they need: libraries that do not depend on
// one another are initialized in the reverse order, so this one comes after
// the C library (which would undo an earlier change to the environment) and
// before the runtime. tests/short_waits_test.sh checks that it works.
#include "short_waits.h"

namespace
{

[[gnu::constructor]] void short_waits_first() { terralume::ask_short_waits(); }

} // namespace
