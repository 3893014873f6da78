// Entry point of every unit-test binary: registers the linked-in wording, then runs the tests.
#include <gtest/gtest.h>
#include "wording.h"

int main(int argc, char** argv)
{
    RegisterDefaultWording();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
