// The five exports. The queries answer from the constant entry table; runEntry
// hands its operands to the kernel chosen for the entry at load time.
//
// Sound behaviour beyond the bare contract: a null buffer pointer is never
// read or written through, and a count of 0 or less leaves the output alone
// (every kernel returns at once for it).
#include "circuit.h"
#include "dispatch.h"
#include "entries.h"

#define CIRCUIT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct TableRow {
    const char* name;
    EntryFlags flags;
};

constexpr TableRow kTable[ENTRY_COUNT] = {
#define CIRCUIT_TABLE_ROW(index, stem, name, flags, native) {name, flags},
    CIRCUIT_ENTRIES(CIRCUIT_TABLE_ROW)
#undef CIRCUIT_TABLE_ROW
};

constexpr char kCreator[] = CIRCUIT_CREATOR_SIGNATURE;
static_assert(sizeof(kCreator) == CREATOR_SIGNATURE_BYTES, "creator signature is 18 bytes");

constexpr bool namesFit() {
    for (const TableRow& row : kTable) {
        unsigned n = 0;
        while (row.name[n] != '\0') ++n;
        if (n + 1 > ENTRY_NAME_BYTES) return false;
    }
    return true;
}
static_assert(namesFit(), "every name and its NUL fit the 64-byte field");

#define CIRCUIT_CHECK_INDEX(index, stem, name, flags, native) \
    static_assert(index < ENTRY_COUNT, "entry index within the table");
CIRCUIT_ENTRIES(CIRCUIT_CHECK_INDEX)
#undef CIRCUIT_CHECK_INDEX

// Byte copy with the NUL; bytes after it are left as the caller had them.
// Written out rather than calling memcpy: the i686 module carries no C library.
void copyString(char* to, const char* from) {
    unsigned i = 0;
    do {
        to[i] = from[i];
    } while (from[i++] != '\0');
}

} // namespace

CIRCUIT_EXPORT int32_t CIRCUIT_CALL getCircuitSignature(void) { return CIRCUIT_SIGNATURE; }

CIRCUIT_EXPORT char* CIRCUIT_CALL getCreatorSignature(char* buffer) {
    if (buffer != nullptr) copyString(buffer, kCreator);
    return buffer;
}

CIRCUIT_EXPORT int32_t CIRCUIT_CALL getEntryCount(void) { return ENTRY_COUNT; }

CIRCUIT_EXPORT void CIRCUIT_CALL getEntrySpecs(EntrySpec* specs) {
    if (specs == nullptr) return;
    for (unsigned i = 0; i < ENTRY_COUNT; ++i) {
        copyString(specs[i].name, kTable[i].name);
        specs[i].flags = kTable[i].flags;
    }
}

CIRCUIT_EXPORT void CIRCUIT_CALL runEntry(uint32_t index, const float* coefficients,
                                          const float* input, float* output, int32_t count) {
    if (index >= ENTRY_COUNT) return;
    if (coefficients == nullptr || input == nullptr || output == nullptr || count <= 0) return;
    circuit::selectedKernel(index)(coefficients, input, output, count);
}
