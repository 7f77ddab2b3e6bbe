// The data every entry runs on: a seeded random problem, or one read from a
// text file.
#ifndef CIRCUIT_HOST_PROBLEM_H
#define CIRCUIT_HOST_PROBLEM_H

#include <cstdint>
#include <string>

#include "layout.h"

namespace host {

// Coefficients and inputs uniformly in (-0.99, 0.99): every sum stays within
// the fixed-point entries' range.
circuit::Problem randomProblem(uint64_t seed);
// Text file: 648 coefficients (row-major, M[0][0] .. M[17][35]) then 36
// inputs, whitespace-separated decimal numbers; '#' starts a comment that
// runs to the end of the line. Anything else is rejected with Fatal.
circuit::Problem readProblem(const std::string& path);
circuit::Problem parseProblem(const std::string& text, const std::string& what);

} // namespace host

#endif // CIRCUIT_HOST_PROBLEM_H
