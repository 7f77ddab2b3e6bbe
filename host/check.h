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
};
Reference exactReference(const circuit::Problem& p);
// Why a problem cannot be computed in single precision (a sum of products
// beyond its range), or "".
std::string overflowText(const Reference& ref);

Check checkOutput(EntryFlags flags, const float* y, const Reference& ref);

} // namespace host

#endif // CIRCUIT_HOST_CHECK_H
