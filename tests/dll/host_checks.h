// Checks a host-side program runs on the module it loaded (the DLL through
// LoadLibrary on Windows, or through the small PE loader on Linux): every
// call goes through a function pointer with the stack pointer and the
// callee-saved registers compared before and after, and every result is
// compared with the statically linked module code.
//
// Written without the C++ library so that the PE loader, which runs without
// any C library on a plain i586, can use it too.
#ifndef CIRCUIT_TESTS_HOST_CHECKS_H
#define CIRCUIT_TESTS_HOST_CHECKS_H

#include <stdint.h>

#include "circuit.h"

namespace host {

// Output, supplied by each program: writes the text as it is.
void say(const char* text);

// Counts checks and failures; fail() prints what went wrong.
struct Tally {
    unsigned checks = 0;
    unsigned failures = 0;
    void expect(bool ok, const char* what, uint32_t detail = 0);
};

// Prints "text 0x12345678" and a newline.
void sayHex(const char* text, uint32_t value);
// Prints "text 1234" and a newline.
void sayNumber(const char* text, uint32_t value);

// What a stdcall call did to the stack and to the registers it must keep.
struct CallRecord {
    int32_t stackDelta;         // esp after the call minus esp before the arguments were pushed
    uint32_t registersChanged;  // bit 0 ebx, 1 esi, 2 edi, 3 ebp
};

// Pushes `count` 32-bit arguments (args[0] last, so it is on top), calls fn
// and restores the stack whatever the callee did. Returns eax.
extern "C" uint32_t checkedCall(const void* fn, const uint32_t* args, uint32_t count,
                                CallRecord* record);

// A call that counts as one check: the callee must pop exactly its arguments
// and keep ebx, esi, edi and ebp.
uint32_t call(Tally& tally, const char* name, const void* fn, const uint32_t* args, uint32_t count);

// The five exports, by ordinal order.
struct Exports {
    const void* getCircuitSignature;
    const void* getCreatorSignature;
    const void* getEntryCount;
    const void* getEntrySpecs;
    const void* runEntry;
};

// The queries, the entry records, out-of-range indices and every entry's
// results (against the statically linked portable kernels, bit for bit,
// guard floats included), all through `exports`.
void checkModule(Tally& tally, const Exports& exports);

// The x87 control word and status word of this thread.
uint16_t controlWord();
uint16_t statusWord();
void setControlWord(uint16_t control);
// Leaves a zero-divide exception pending (masked, so nothing traps).
void raiseZeroDivide();

// Control word expected after the module was attached with `before` in
// force: precision 53 bits, rounding and masks unchanged.
inline uint16_t afterAttach(uint16_t before) {
    return static_cast<uint16_t>((before & ~0x0300u) | 0x0200u);
}

// One setting in which to attach the module: extended precision, rounding
// down; the other: single precision, rounding toward zero. Both keep every
// exception masked.
constexpr uint16_t kAttachSettings[2] = {0x077F, 0x0C7F};

} // namespace host

#endif // CIRCUIT_TESTS_HOST_CHECKS_H
