// Keeps kernels/constants.inc in step with the chief header: CMake turns the
// NASM constants into nasm_constants.h, and the build fails here if any
// differs from the header's value.
#include "circuit.h"
#include "nasm_constants.h"

static_assert(NASM_OUTPUT_COUNT == OUTPUT_COUNT, "OUTPUT_COUNT differs in constants.inc");
static_assert(NASM_INPUT_COUNT == INPUT_COUNT, "INPUT_COUNT differs in constants.inc");
static_assert(NASM_SOA_ROW_FLOATS == SOA_ROW_FLOATS, "SOA_ROW_FLOATS differs in constants.inc");
static_assert(NASM_SOA_LANES == SOA_LANES, "SOA_LANES differs in constants.inc");
