// The test programs' main. Like terralume, they load the short-waits
// library (app/short_waits.cpp), so that a busy machine does not slow the
// suite several times over.
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
