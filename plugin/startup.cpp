// What happens when the module is loaded: the loading thread's x87 precision
// control goes to 53 bits (the bit-exact results of the x87 entries are
// stated under that setting) and every entry gets its kernel for this
// processor.
//
// The i686 module carries no language runtime: the DLL is linked without
// start files and DllMain is its entry point; the Linux library runs a
// constructor that the dynamic loader calls. Neither needs the runtime's
// help, because the module has no objects that need construction or
// destruction. (The x86-64 module links the usual runtime; it starts the
// same way.)
#include "dispatch.h"

namespace circuit {

void setX87DoublePrecision() {
#if defined(__i386__)
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    // Precision control is bits 8 and 9; 2 (binary 10) selects a 53-bit significand.
    control = static_cast<uint16_t>((control & ~0x0300u) | 0x0200u);
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control));
#endif
}

} // namespace circuit

#if defined(_WIN32)
// The DLL's entry point (the linker's --entry): the system calls it on the
// attaching thread with DLL_PROCESS_ATTACH (1), later with thread attach and
// detach (3, 2) and process detach (0). Only the process attach does
// anything; every notification reports success.
extern "C" int __attribute__((stdcall)) DllMain(void* /*module*/, uint32_t reason, void* /*reserved*/) {
    if (reason == 1) circuit::moduleStartup();
    return 1;
}
#else
// ELF shared objects: the dynamic loader runs this on the loading thread.
__attribute__((constructor)) static void circuitModuleLoaded() { circuit::moduleStartup(); }
#endif
