// The test programs' main: threads wait briefly, as in terralume itself, so
// that a busy machine does not slow the suite several times over.
#include "parallel.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    terralume::restart_with_short_waits(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
