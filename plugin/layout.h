// How a host lays one problem (M[i][j], x[j]) out for an entry, by the
// entry's ENTRY_SOA flag: AOS row-major, or SOA transposed rows of 20 floats
// with every input copied into four lanes. The module never converts between
// layouts; the host and the tests do, with these helpers.
#ifndef CIRCUIT_LAYOUT_H
#define CIRCUIT_LAYOUT_H

#include "circuit.h"

namespace circuit {

// One problem in plain form: M[i][j] is the coefficient of output i and input j.
struct Problem {
    float m[OUTPUT_COUNT][INPUT_COUNT];
    float x[INPUT_COUNT];
};

// Blocks for one entry, big and aligned enough for either layout.
struct Blocks {
    alignas(SOA_BLOCK_ALIGNMENT) float coefficients[SOA_COEFFICIENT_FLOATS];
    alignas(SOA_BLOCK_ALIGNMENT) float input[SOA_INPUT_FLOATS];
};

inline void layoutAos(const Problem& p, float* coefficients, float* input) {
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) coefficients[INPUT_COUNT * i + j] = p.m[i][j];
    for (int j = 0; j < INPUT_COUNT; ++j) input[j] = p.x[j];
}

// `pad` goes into the two pad floats of every coefficient row.
inline void layoutSoa(const Problem& p, float* coefficients, float* input, float pad = 0.0f) {
    for (int j = 0; j < INPUT_COUNT; ++j) {
        for (int i = 0; i < OUTPUT_COUNT; ++i) coefficients[SOA_ROW_FLOATS * j + i] = p.m[i][j];
        for (int i = OUTPUT_COUNT; i < SOA_ROW_FLOATS; ++i) coefficients[SOA_ROW_FLOATS * j + i] = pad;
        for (int lane = 0; lane < SOA_LANES; ++lane) input[SOA_LANES * j + lane] = p.x[j];
    }
}

inline void layoutFor(EntryFlags flags, const Problem& p, Blocks& b, float pad = 0.0f) {
    if (flags & ENTRY_SOA)
        layoutSoa(p, b.coefficients, b.input, pad);
    else
        layoutAos(p, b.coefficients, b.input);
}

// Floats an entry may write: 18 for AOS, 20 for SOA.
inline int outputFloats(EntryFlags flags) {
    return (flags & ENTRY_SOA) ? SOA_OUTPUT_FLOATS : AOS_OUTPUT_FLOATS;
}

} // namespace circuit

#endif // CIRCUIT_LAYOUT_H
