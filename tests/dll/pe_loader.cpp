// Loads the Windows DLL the way the system loader does, inside a 32-bit Linux
// process, and checks it as a host would use it: maps the sections, applies
// the base relocations, insists on an empty import table, finds the five
// exports by name and by ordinal in the export directory, reads the version
// resource from the resource section, calls the entry point (DllMain) with
// every notification, checks the x87 control word after the process attach,
// and runs the functional checks through the loaded code.
//
// The program uses no C library at all (system calls through int 0x80), so
// that it runs on an emulated plain i586 where the distribution's C library,
// built for newer processors, would not. Usage: pe_loader path/to/circuit2.dll
#include "host_checks.h"

#include <initializer_list>

namespace {

// --- system calls and output ------------------------------------------------

int32_t sys(uint32_t number, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, uint32_t d = 0,
            uint32_t e = 0, uint32_t f = 0) {
    int32_t result;
    // ebx and ebp may be reserved by the compiler (PIC register, frame
    // pointer): load them, and the call number, from a block, and restore them.
    const uint32_t block[3] = {a, f, number};
    __asm__ volatile("pushl %%ebp\n\t"
                     "pushl %%ebx\n\t"
                     "movl 0(%%eax), %%ebx\n\t"
                     "movl 4(%%eax), %%ebp\n\t"
                     "movl 8(%%eax), %%eax\n\t"
                     "int $0x80\n\t"
                     "popl %%ebx\n\t"
                     "popl %%ebp"
                     : "=a"(result)
                     : "a"(block), "c"(b), "d"(c), "S"(d), "D"(e)
                     : "memory");
    return result;
}

enum : uint32_t { kRead = 3, kWrite = 4, kOpen = 5, kClose = 6, kMmap2 = 192, kExitGroup = 252 };

unsigned length(const char* s) {
    unsigned n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

[[noreturn]] void quit(int status) {
    for (;;) sys(kExitGroup, static_cast<uint32_t>(status));
}

// --- the PE image -----------------------------------------------------------

uint8_t gFile[1 << 20]; // the DLL as read from disk
uint32_t gFileSize;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

bool sameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// Compares a NUL-terminated UTF-16 string in the image with ASCII text.
bool sameWide(const uint8_t* wide, const char* text) {
    for (;; wide += 2, ++text) {
        if (u16(wide) != static_cast<uint8_t>(*text)) return false;
        if (*text == '\0') return true;
    }
}

struct Image {
    uint8_t* base = nullptr;
    uint32_t size = 0;
    uint32_t directory[16][2] = {};
    uint32_t entryPoint = 0;
    uint8_t* at(uint32_t rva) const { return base + rva; }
};

// What the file headers say besides the image's own fields.
struct Headers {
    uint32_t preferredBase = 0, headerBytes = 0;
    uint16_t sections = 0;
    const uint8_t* sectionTable = nullptr;
};

// The MZ and PE headers of an i386 DLL in PE32 form, into `image` and `h`.
bool readHeaders(host::Tally& tally, Image& image, Headers& h) {
    const uint8_t* f = gFile;
    tally.expect(gFileSize > 0x40 && f[0] == 'M' && f[1] == 'Z', "not an MZ file");
    const uint32_t pe = u32(f + 0x3C);
    tally.expect(gFileSize >= 0xF8 && pe <= gFileSize - 0xF8 && u32(f + pe) == 0x4550, "no PE signature");
    if (tally.failures) return false;
    const uint8_t* header = f + pe + 4;
    tally.expect(u16(header) == 0x014C, "machine is not i386", u16(header));
    tally.expect((u16(header + 18) & 0x2000) != 0, "characteristics do not say DLL", u16(header + 18));
    h.sections = u16(header + 2);
    const uint8_t* optional = header + 20;
    tally.expect(u16(optional) == 0x010B, "optional header is not PE32", u16(optional));
    h.preferredBase = u32(optional + 28);
    image.entryPoint = u32(optional + 16);
    image.size = u32(optional + 56);
    h.headerBytes = u32(optional + 60);
    for (int d = 0; d < 16; ++d) {
        image.directory[d][0] = u32(optional + 96 + 8 * d);
        image.directory[d][1] = u32(optional + 100 + 8 * d);
    }
    h.sectionTable = optional + u16(header + 16);
    return !tally.failures && image.size <= (16u << 20);
}

// The headers and every section copied into fresh memory, anywhere but the
// preferred base, so that the relocations matter.
bool mapSections(host::Tally& tally, Image& image, const Headers& h) {
    const uint8_t* f = gFile;
    const int32_t mapped = sys(kMmap2, 0, image.size, 7 /* read, write, execute */,
                               0x22 /* private, anonymous */, 0xFFFFFFFFu, 0);
    tally.expect(mapped > 0 || mapped < -4096, "mmap failed", static_cast<uint32_t>(mapped));
    if (tally.failures) return false;
    image.base = reinterpret_cast<uint8_t*>(mapped);
    for (uint32_t i = 0; i < h.headerBytes && i < gFileSize && i < image.size; ++i) image.base[i] = f[i];
    const uint8_t* section = h.sectionTable;
    tally.expect(static_cast<uint32_t>(section - f) + 40u * h.sections <= gFileSize, "section table out of range");
    if (tally.failures) return false;
    for (uint16_t s = 0; s < h.sections; ++s, section += 40) {
        const uint32_t rva = u32(section + 12), raw = u32(section + 16), offset = u32(section + 20);
        const uint32_t virtualSize = u32(section + 8);
        const uint32_t bytes = raw < virtualSize ? raw : virtualSize;
        tally.expect(offset <= gFileSize && bytes <= gFileSize - offset && rva <= image.size &&
                         virtualSize <= image.size - rva,
                     "section out of range", s);
        if (tally.failures) return false;
        for (uint32_t i = 0; i < bytes; ++i) image.base[rva + i] = f[offset + i];
    }
    return true;
}

// Base relocations: blocks of (page RVA, block size, 16-bit entries).
bool relocate(host::Tally& tally, Image& image, uint32_t preferredBase) {
    const uint32_t delta = reinterpret_cast<uint32_t>(image.base) - preferredBase;
    uint32_t relocated = 0;
    for (uint32_t at = image.directory[5][0], end = at + image.directory[5][1]; at < end;) {
        tally.expect(image.size >= 8 && at <= image.size - 8, "relocation block outside the image", at);
        if (tally.failures) return false;
        const uint32_t page = u32(image.at(at)), bytes = u32(image.at(at + 4));
        tally.expect(bytes >= 8 && bytes <= image.size - at, "bad relocation block", at);
        if (tally.failures) return false;
        for (uint32_t i = 8; i < bytes; i += 2) {
            const uint16_t entry = u16(image.at(at + i));
            if (entry >> 12 == 0) continue; // padding
            tally.expect(entry >> 12 == 3, "relocation type other than HIGHLOW", entry);
            const uint32_t target = page + (entry & 0xFFF);
            if (page >= image.size || target > image.size - 4) {
                tally.expect(false, "relocation outside the image", target);
                return false;
            }
            uint8_t* p = image.at(target);
            const uint32_t value = u32(p) + delta;
            p[0] = value & 0xFF, p[1] = value >> 8 & 0xFF, p[2] = value >> 16 & 0xFF, p[3] = value >> 24;
            ++relocated;
        }
        at += bytes;
    }
    tally.expect(delta == 0 || relocated > 0, "the DLL has no base relocations");
    return true;
}

// Imports: the module needs nothing from the system.
void checkImports(host::Tally& tally, const Image& image) {
    uint32_t imported = 0;
    if (image.directory[1][0] != 0)
        for (uint32_t at = image.directory[1][0]; u32(image.at(at + 12)) != 0; at += 20) {
            host::say("imports from: ");
            host::say(reinterpret_cast<const char*>(image.at(u32(image.at(at + 12)))));
            host::say("\n");
            ++imported;
        }
    tally.expect(imported == 0, "the DLL imports from other modules", imported);
}

bool load(host::Tally& tally, Image& image) {
    Headers h;
    if (!readHeaders(tally, image, h) || !mapSections(tally, image, h) || !relocate(tally, image, h.preferredBase))
        return false;
    checkImports(tally, image);
    return tally.failures == 0;
}

// The export directory: exactly five names, in the order of the ordinals 1 to
// 5; lookups by name and by ordinal find the same code.
bool findExports(host::Tally& tally, const Image& image, host::Exports& exports) {
    static const char* const kNames[5] = {"getCircuitSignature", "getCreatorSignature", "getEntryCount",
                                          "getEntrySpecs", "runEntry"};
    const uint32_t dir = image.directory[0][0];
    tally.expect(dir != 0, "no export directory");
    if (dir == 0) return false;
    const uint8_t* d = image.at(dir);
    const uint32_t base = u32(d + 16), functions = u32(d + 20), names = u32(d + 24);
    const uint8_t* addresses = image.at(u32(d + 28));
    const uint8_t* namePointers = image.at(u32(d + 32));
    const uint8_t* ordinals = image.at(u32(d + 36));
    tally.expect(base == 1, "ordinal base is not 1", base);
    tally.expect(functions == 5, "export address table does not have 5 entries", functions);
    tally.expect(names == 5, "export name table does not have 5 names", names);
    if (tally.failures) return false;
    const void* found[5] = {};
    for (uint32_t n = 0; n < 5; ++n) {
        const char* name = reinterpret_cast<const char*>(image.at(u32(namePointers + 4 * n)));
        const uint32_t ordinal = base + u16(ordinals + 2 * n);
        tally.expect(sameText(name, kNames[n]), "export name out of place; position", n);
        tally.expect(ordinal == n + 1, "export has the wrong ordinal", ordinal);
        // By ordinal: the address table slot the ordinal names.
        const uint32_t byOrdinal = u32(addresses + 4 * (n + 1 - base));
        // By name: the slot the name's ordinal names.
        const uint32_t byName = u32(addresses + 4 * u16(ordinals + 2 * n));
        tally.expect(byName == byOrdinal && byName != 0 && byName < image.size,
                     "lookup by name and by ordinal disagree; ordinal", n + 1);
        found[n] = image.at(byName);
    }
    exports = {found[0], found[1], found[2], found[3], found[4]};
    return tally.failures == 0;
}

// Walks one level of the resource directory for `id`; returns the offset of
// the entry's target within the resource section, or 0.
uint32_t resourceChild(const uint8_t* rsrc, uint32_t table, uint32_t id) {
    const uint8_t* t = rsrc + table;
    const uint32_t named = u16(t + 12), ids = u16(t + 14);
    for (uint32_t i = named; i < named + ids; ++i) {
        const uint8_t* entry = t + 16 + 8 * i;
        if (u32(entry) == id) return u32(entry + 4);
    }
    return 0;
}

uint32_t align4(uint32_t n) { return (n + 3) & ~3u; }

// Bytes of a NUL-terminated UTF-16 key, the NUL included.
uint32_t keyBytes(const uint8_t* key) {
    uint32_t n = 0;
    while (u16(key + n) != 0) n += 2;
    return n + 2;
}

// The value of a version block: after its length, value length, type and
// key, aligned to 4.
const uint8_t* blockValue(const uint8_t* block) { return block + align4(6 + keyBytes(block + 6)); }

// The version resource: RT_VERSION (16), id 1, language 0x0411; null (and
// a failure) when there is none.
const uint8_t* versionInfo(host::Tally& tally, const Image& image, uint32_t& bytes) {
    const uint8_t* rsrc = image.at(image.directory[2][0]);
    tally.expect(image.directory[2][0] != 0, "no resource section");
    if (image.directory[2][0] == 0) return nullptr;
    const uint32_t type = resourceChild(rsrc, 0, 16);
    const uint32_t name = type & 0x80000000u ? resourceChild(rsrc, type & 0x7FFFFFFFu, 1) : 0;
    const uint32_t language = name & 0x80000000u ? resourceChild(rsrc, name & 0x7FFFFFFFu, 0x0411) : 0;
    tally.expect(language != 0 && !(language & 0x80000000u), "no version resource in language 0x0411");
    if (language == 0 || (language & 0x80000000u)) return nullptr;
    bytes = u32(rsrc + language + 4);
    return image.at(u32(rsrc + language));
}

// VS_VERSIONINFO: length, value length, type, key, padding, fixed part.
void checkFixedInfo(host::Tally& tally, const uint8_t* info) {
    tally.expect(sameWide(info + 6, "VS_VERSION_INFO"), "version resource key");
    const uint8_t* fixed = info + 40; // 6 + 32 bytes of key, aligned to 4
    tally.expect(u16(info + 2) == 52 && u32(fixed) == 0xFEEF04BDu, "VS_FIXEDFILEINFO signature");
    tally.expect(u32(fixed + 8) == 0x00020000u && u32(fixed + 12) == 0x00050000u, "file version 2.0.5.0");
    tally.expect(u32(fixed + 16) == 0x00020000u && u32(fixed + 20) == 0x00050000u, "product version 2.0.5.0");
    tally.expect(u32(fixed + 32) == 0x00000004u, "file OS is not VOS__WINDOWS32", u32(fixed + 32));
    tally.expect(u32(fixed + 36) == 2, "file type is not VFT_DLL", u32(fixed + 36));
}

// StringFileInfo: one table "041104b0"; returns how many of the seven
// strings it holds (the versions "2, 0, 5, 0", the others not empty).
unsigned checkStrings(host::Tally& tally, const uint8_t* child) {
    const char* const kWanted[] = {"FileVersion", "ProductVersion", "FileDescription", "InternalName",
                                   "OriginalFilename", "ProductName", "LegalCopyright"};
    unsigned strings = 0;
    const uint8_t* table = blockValue(child);
    tally.expect(sameWide(table + 6, "041104b0"), "string table is not 041104b0");
    const uint8_t* end = table + u16(table);
    for (const uint8_t* s = blockValue(table); s < end; s += align4(u16(s))) {
        const uint8_t* value = blockValue(s);
        for (const char* key : kWanted) {
            if (!sameWide(s + 6, key)) continue;
            ++strings;
            const bool isVersion = sameText(key, "FileVersion") || sameText(key, "ProductVersion");
            if (isVersion) tally.expect(sameWide(value, "2, 0, 5, 0"), "version string is not 2, 0, 5, 0");
            else tally.expect(u16(value) != 0, "empty descriptive string");
        }
        if (u16(s) == 0) break;
    }
    return strings;
}

// VarFileInfo: the translation 0x0411, 1200.
void checkTranslation(host::Tally& tally, const uint8_t* child) {
    const uint8_t* var = blockValue(child);
    tally.expect(sameWide(var + 6, "Translation"), "VarFileInfo holds no Translation");
    const uint8_t* value = blockValue(var);
    tally.expect(u16(var + 2) == 4 && u16(value) == 0x0411 && u16(value + 2) == 1200,
                 "translation is not 0x0411, 1200", u32(value));
}

// The version resource's fixed part and its children: StringFileInfo with
// the seven strings, and VarFileInfo.
void checkVersion(host::Tally& tally, const Image& image) {
    uint32_t infoBytes = 0;
    const uint8_t* info = versionInfo(tally, image, infoBytes);
    if (!info) return;
    checkFixedInfo(tally, info);
    unsigned strings = 0, translations = 0;
    for (uint32_t at = 92; at + 6 < infoBytes;) {
        const uint8_t* child = info + at;
        const uint32_t childBytes = u16(child);
        if (childBytes == 0) break;
        if (sameWide(child + 6, "StringFileInfo")) {
            strings += checkStrings(tally, child);
        } else if (sameWide(child + 6, "VarFileInfo")) {
            checkTranslation(tally, child);
            ++translations;
        }
        at += align4(childBytes);
    }
    tally.expect(strings == 7, "string table lacks some of the seven strings", strings);
    tally.expect(translations == 1, "no VarFileInfo translation");
}

// DllMain with every notification; after the process attach the control word
// must hold 53-bit precision with rounding and masks as they were, and no
// exception may be pending.
void attach(host::Tally& tally, const Image& image) {
    const void* dllMain = image.at(image.entryPoint);
    for (uint16_t before : host::kAttachSettings) {
        host::setControlWord(before);
        host::raiseZeroDivide();
        tally.expect((host::statusWord() & 0x04) != 0, "could not leave an exception pending");
        const uint32_t args[3] = {reinterpret_cast<uint32_t>(image.base), 1 /* process attach */, 0};
        tally.expect(host::call(tally, "DllMain", dllMain, args, 3) == 1, "DllMain(process attach) failed");
        const uint16_t after = host::controlWord();
        tally.expect(after == host::afterAttach(before), "x87 control word after attach", after);
        tally.expect((host::statusWord() & 0xBF) == 0, "x87 exceptions still pending after attach",
                     host::statusWord());
    }
    host::setControlWord(0x027F); // what the functional checks expect: 53 bits, to nearest
    for (uint32_t reason : {2u, 3u}) { // thread attach, thread detach
        const uint32_t args[3] = {reinterpret_cast<uint32_t>(image.base), reason, 0};
        tally.expect(host::call(tally, "DllMain", dllMain, args, 3) == 1, "DllMain failed for reason", reason);
    }
}

void detach(host::Tally& tally, const Image& image) {
    const uint32_t args[3] = {reinterpret_cast<uint32_t>(image.base), 0 /* process detach */, 0};
    tally.expect(host::call(tally, "DllMain", image.at(image.entryPoint), args, 3) == 1,
                 "DllMain(process detach) failed");
}

} // namespace

void host::say(const char* text) { sys(kWrite, 1, reinterpret_cast<uint32_t>(text), length(text)); }

extern "C" [[noreturn]] void loaderMain(uint32_t* stack) {
    const uint32_t argc = stack[0];
    char** argv = reinterpret_cast<char**>(stack + 1);
    if (argc != 2) {
        host::say("usage: pe_loader path/to/circuit2.dll\n");
        quit(2);
    }
    const int32_t fd = sys(kOpen, reinterpret_cast<uint32_t>(argv[1]), 0 /* read only */);
    if (fd < 0) {
        host::say("pe_loader: cannot open ");
        host::say(argv[1]);
        host::say("\n");
        quit(2);
    }
    for (int32_t got; (got = sys(kRead, fd, reinterpret_cast<uint32_t>(gFile + gFileSize),
                                 sizeof gFile - gFileSize)) > 0;)
        gFileSize += got;
    sys(kClose, fd);

    host::Tally tally;
    Image image;
    host::Exports exports{};
    if (load(tally, image) && findExports(tally, image, exports)) {
        checkVersion(tally, image);
        attach(tally, image);
        host::checkModule(tally, exports);
        detach(tally, image);
    }
    host::sayNumber("pe_loader: checks", tally.checks);
    host::sayNumber("pe_loader: failures", tally.failures);
    quit(tally.failures == 0 ? 0 : 1);
}

// Entry from the kernel: the initial stack holds argc, argv[], envp[].
__asm__(".text\n"
        ".globl _start\n"
        "_start:\n"
        "    xorl %ebp, %ebp\n"
        "    movl %esp, %eax\n"
        "    andl $-16, %esp\n"
        "    subl $12, %esp\n"
        "    pushl %eax\n"
        "    call loaderMain\n"
        "    hlt\n");

// What the compiler may call for block copies and fills.
extern "C" {
void* memcpy(void* to, const void* from, unsigned n) {
    uint8_t* t = static_cast<uint8_t*>(to);
    const uint8_t* f = static_cast<const uint8_t*>(from);
    while (n--) *t++ = *f++;
    return to;
}
void* memmove(void* to, const void* from, unsigned n) {
    uint8_t* t = static_cast<uint8_t*>(to);
    const uint8_t* f = static_cast<const uint8_t*>(from);
    if (t < f) while (n--) *t++ = *f++;
    else while (n--) t[n] = f[n];
    return to;
}
void* memset(void* to, int value, unsigned n) {
    uint8_t* t = static_cast<uint8_t*>(to);
    while (n--) *t++ = static_cast<uint8_t>(value);
    return to;
}
int memcmp(const void* a, const void* b, unsigned n) {
    const uint8_t* x = static_cast<const uint8_t*>(a);
    const uint8_t* y = static_cast<const uint8_t*>(b);
    for (; n--; ++x, ++y)
        if (*x != *y) return *x - *y;
    return 0;
}
}
