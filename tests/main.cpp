// Test entry point. The module sets 53-bit x87 precision on the thread that
// loads it; the tests run the kernels on this thread and on threads of their
// own, so each of those sets it too (support: setX87DoublePrecision).
#include <gtest/gtest.h>

#include "dispatch.h"

int main(int argc, char** argv) {
    circuit::setX87DoublePrecision();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
