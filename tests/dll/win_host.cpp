// Loads circuit2.dll the way a host does (LoadLibrary by path, GetProcAddress
// by name and by ordinal) and checks it: the x87 control word right after the
// load, the version resource through the version API, and the functional
// checks with the stack pointer compared around every call.
// Usage: win_host path\to\circuit2.dll
#include <windows.h>

#include <stdio.h>

#include "host_checks.h"

void host::say(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

namespace {

void checkVersion(host::Tally& tally, const char* path) {
    DWORD ignored = 0;
    const DWORD bytes = GetFileVersionInfoSizeA(path, &ignored);
    tally.expect(bytes > 0, "no version resource", GetLastError());
    if (bytes == 0) return;
    static char data[4096];
    tally.expect(bytes <= sizeof data && GetFileVersionInfoA(path, 0, bytes, data), "GetFileVersionInfo failed");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    tally.expect(VerQueryValueA(data, "\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr,
                 "no fixed file info");
    if (fixed == nullptr) return;
    tally.expect(fixed->dwFileVersionMS == 0x00020000 && fixed->dwFileVersionLS == 0x00050000, "file version");
    tally.expect(fixed->dwProductVersionMS == 0x00020000 && fixed->dwProductVersionLS == 0x00050000,
                 "product version");
    tally.expect(fixed->dwFileOS == VOS__WINDOWS32, "file OS", fixed->dwFileOS);
    tally.expect(fixed->dwFileType == VFT_DLL, "file type", fixed->dwFileType);
    WORD* translation = nullptr;
    tally.expect(VerQueryValueA(data, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                &length) && length == 4 && translation[0] == 0x0411 && translation[1] == 1200,
                 "translation is not 0x0411, 1200");
    const char* const kStrings[] = {"FileVersion", "ProductVersion", "FileDescription", "InternalName",
                                    "OriginalFilename", "ProductName", "LegalCopyright"};
    for (const char* key : kStrings) {
        char query[64];
        snprintf(query, sizeof query, "\\StringFileInfo\\041104b0\\%s", key);
        char* value = nullptr;
        const bool found = VerQueryValueA(data, query, reinterpret_cast<void**>(&value), &length) &&
                           value != nullptr && value[0] != '\0';
        tally.expect(found, query);
        if (found && (strcmp(key, "FileVersion") == 0 || strcmp(key, "ProductVersion") == 0))
            tally.expect(strcmp(value, "2, 0, 5, 0") == 0, "version string is not 2, 0, 5, 0");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: win_host path\\to\\circuit2.dll\n");
        return 2;
    }
    host::Tally tally;

    // Loading: the attaching thread gets 53-bit precision, the rest of the
    // control word as it was, and no pending exception.
    const uint16_t before = host::kAttachSettings[0];
    host::setControlWord(before);
    host::raiseZeroDivide();
    HMODULE module = LoadLibraryA(argv[1]);
    const uint16_t after = host::controlWord();
    const uint16_t status = host::statusWord();
    if (module == nullptr) {
        fprintf(stderr, "win_host: LoadLibrary(%s) failed: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    tally.expect(after == host::afterAttach(before), "x87 control word after LoadLibrary", after);
    tally.expect((status & 0xBF) == 0, "x87 exceptions still pending after LoadLibrary", status);
    host::setControlWord(0x027F);

    // Every export by name and by ordinal, 1 to 5 in alphabetical order.
    const char* const kNames[5] = {"getCircuitSignature", "getCreatorSignature", "getEntryCount",
                                   "getEntrySpecs", "runEntry"};
    const void* found[5] = {};
    for (int i = 0; i < 5; ++i) {
        FARPROC byName = GetProcAddress(module, kNames[i]);
        FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(i + 1));
        tally.expect(byName != nullptr && byName == byOrdinal, kNames[i]);
        found[i] = reinterpret_cast<const void*>(byName);
    }
    // No decorated twins.
    tally.expect(GetProcAddress(module, "runEntry@20") == nullptr && GetProcAddress(module, "_runEntry@20") == nullptr,
                 "a decorated export name exists");
    tally.expect(GetProcAddress(module, MAKEINTRESOURCEA(6)) == nullptr, "an export with ordinal 6 exists");

    checkVersion(tally, argv[1]);
    if (tally.failures == 0) {
        const host::Exports exports = {found[0], found[1], found[2], found[3], found[4]};
        host::checkModule(tally, exports);
    }
    tally.expect(FreeLibrary(module) != 0, "FreeLibrary failed");
    printf("win_host: %u checks, %u failures\n", tally.checks, tally.failures);
    return tally.failures == 0 ? 0 : 1;
}
