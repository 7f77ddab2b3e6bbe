// Judging an entry's output: the exact product, rounded once, and a bound on
// how far an entry of each kind of arithmetic may lie from it.
#ifndef CIRCUIT_HOST_CHECK_H
#define CIRCUIT_HOST_CHECK_H

#include <string>

#include "layout.h"
#include "model.h"

namespace host {

struct Reference {
    long double y[OUTPUT_COUNT];        // exact sums, rounded once
    long double absSum[OUTPUT_COUNT];   // sum over j of |M[i][j] * x[j]|
    long double fixedBound[OUTPUT_COUNT];
    bool fixedInRange = true;           // every value within the Q15/Q10 ranges
    // Outputs 0..17 of each entry of circuit 2's table by its own rule
    // (reference.h), for a module whose table is that one.
    float rule[ENTRY_COUNT][OUTPUT_COUNT] = {};
};
Reference exactReference(const circuit::Problem& p);
// Why a problem cannot be computed in single precision (a sum of products
// beyond its range), or "".
std::string overflowText(const Reference& ref);

// Output i's distance from the exact sum, as the check measures it (fixed-point
// sums may wrap where they can leave their range).
long double outputError(Arithmetic kind, float y, const Reference& ref, int i);

Check checkOutput(EntryFlags flags, const float* y, const Reference& ref);
// The verdict by entry `index`'s own rule of circuit 2's table: the output
// must have the rule's bits, all 18 of them; the first that differs is named
// with both values. The bound check's figures stay as the second line.
void judgeByRule(int index, const float* y, const Reference& ref, Check& c);

// An entry that ran and ended without an output to judge (it crashed, timed
// out, threw, answered nonsense): `status` and `reason`, no timing, and a
// check whose figures and outputs are NaN.
void endWithoutOutput(EntryResult& e, Status status, const std::string& reason);

} // namespace host

#endif // CIRCUIT_HOST_CHECK_H
