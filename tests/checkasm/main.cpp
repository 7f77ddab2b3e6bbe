// checkasm: every hand-written kernel of the module against its C++ twin.
// The rows come from the entry table; a row whose `native` column is 0 has no
// hand-written kernel and is reported as such, a row whose extensions this
// CPU lacks is reported as skipped. Neither counts as passed.
#include "checkasm.h"
#include "dispatch.h"
#include "kernels.h"

namespace {

#define CHECKASM_ROW(index, stem, name, flags, native) \
    {index, #stem, flags, CIRCUIT_NATIVE_KERNEL_##native(stem), &portable::kernel##stem},
const checkasm::Row kRows[] = {CIRCUIT_ENTRIES(CHECKASM_ROW)};
#undef CHECKASM_ROW

} // namespace

int main(int argc, char** argv) {
    circuit::moduleStartup(); // start as the loaded module does
    checkasm::Options options;
    if (!checkasm::parseOptions(argc, argv, options)) return 2;
    checkasm::Report report;
    return checkasm::checkRows(kRows, static_cast<int>(sizeof kRows / sizeof kRows[0]), options, report);
}
