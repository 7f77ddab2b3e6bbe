// The module's load hooks, linked into the shared module only. The static
// library that our own programs link carries none of them: those programs
// call moduleStartup() first thing in main, so a test, checkasm or the bench
// runs the kernels the module would choose on every target, whether or not
// the platform runs a hook for an executable (Windows never calls DllMain
// for one).
//
// The i686 module carries no language runtime: the DLL is linked without
// start files and DllMain is its entry point; the Linux library runs a
// constructor that the dynamic loader calls. Neither needs the runtime's
// help, because the module has no objects that need construction or
// destruction. (The x86-64 module links the usual runtime; it starts the
// same way.)
#include "dispatch.h"

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
