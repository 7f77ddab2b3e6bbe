// Loads the i686 Linux library the way a host does (dlopen by path, dlsym by
// name) and runs the same checks as the Windows host: the x87 control word
// right after loading, then every export through stdcall pointers with the
// stack checked around each call. Usage: so_host path/to/circuit2.so
#include <dlfcn.h>
#include <stdio.h>

#include "host_checks.h"

void host::say(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: so_host path/to/circuit2.so\n");
        return 2;
    }
    host::Tally tally;
    const uint16_t before = host::kAttachSettings[1];
    host::setControlWord(before);
    host::raiseZeroDivide();
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const uint16_t after = host::controlWord();
    const uint16_t status = host::statusWord();
    if (module == nullptr) {
        fprintf(stderr, "so_host: %s\n", dlerror());
        return 1;
    }
    tally.expect(after == host::afterAttach(before), "x87 control word after dlopen", after);
    tally.expect((status & 0xBF) == 0, "x87 exceptions still pending after dlopen", status);
    host::setControlWord(0x027F);

    const char* const kNames[5] = {"getCircuitSignature", "getCreatorSignature", "getEntryCount",
                                   "getEntrySpecs", "runEntry"};
    const void* found[5] = {};
    for (int i = 0; i < 5; ++i) {
        found[i] = dlsym(module, kNames[i]);
        tally.expect(found[i] != nullptr, kNames[i]);
    }
    if (tally.failures == 0) {
        const host::Exports exports = {found[0], found[1], found[2], found[3], found[4]};
        host::checkModule(tally, exports);
    }
    dlclose(module);
    printf("so_host: %u checks, %u failures\n", tally.checks, tally.failures);
    return tally.failures == 0 ? 0 : 1;
}
