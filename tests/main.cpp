// Test entry point. It starts the way the loaded module does (53-bit x87
// precision on this thread, the kernels for this processor), through the
// module's own start-up. Tests that run kernels on threads of their own set
// the precision there too (support: setX87DoublePrecision).
#include <gtest/gtest.h>

#include "dispatch.h"

int main(int argc, char** argv) {
    circuit::moduleStartup();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
