// The data every entry runs on: a seeded random problem, or one read from a
// text file.
#include <cerrno>
#include <cmath>
#include <cctype>
#include <cstdlib>

#include "errors.h"
#include "files.h"
#include "problem.h"
#include "splitmix64.h"
#include "text.h"

namespace host {

namespace {

// A float in (-0.99, 0.99), on a grid of 2^-24 (exact in single precision):
// every input below the fixed-point entries' limit of 32767.5/32768, every
// row sum far inside their -64 .. 64 range.
float uniform(uint64_t& state) {
    const int32_t limit = 16609444; // 0.99 * 2^24, rounded down
    int32_t k = static_cast<int32_t>(splitmix64(state) % (2u * limit - 1)) - (limit - 1);
    return static_cast<float>(std::ldexp(static_cast<double>(k), -24));
}

} // namespace

circuit::Problem randomProblem(uint64_t seed) {
    circuit::Problem p;
    uint64_t state = seed;
    for (auto& row : p.m)
        for (float& v : row) v = uniform(state);
    for (float& v : p.x) v = uniform(state);
    return p;
}

circuit::Problem parseProblem(const std::string& file, const std::string& what) {
    constexpr int kValues = OUTPUT_COUNT * INPUT_COUNT + INPUT_COUNT;
    // A UTF-8 byte-order mark is skipped; UTF-16 (with or without its mark,
    // which shows as NUL bytes) is not text this reader knows.
    const bool bom = file.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (file.compare(0, 2, "\xFF\xFE") == 0 || file.compare(0, 2, "\xFE\xFF") == 0 ||
        file.find('\0') != std::string::npos)
        throw Fatal(what + ": UTF-16 or binary, not text; save it as UTF-8 or ASCII");
    const std::string text = bom ? file.substr(3) : file;
    float values[kValues];
    int n = 0;
    int line = 1;
    size_t i = 0;
    auto where = [&] { return what + ":" + std::to_string(line) + ": "; };
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else {
            size_t end = i;
            while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                   text[end] != '#')
                ++end;
            std::string token = text.substr(i, end - i);
            if (n == kValues)
                throw Fatal(where() + "more than " + std::to_string(kValues) +
                            " numbers (expected 648 coefficients then 36 inputs)");
            char* stop = nullptr;
            errno = 0;
            float v = std::strtof(token.c_str(), &stop);
            // Decimal numbers only: strtof would also take hexadecimal floats.
            if (stop == token.c_str() || *stop != '\0' || token.find_first_of("xX") != std::string::npos)
                throw Fatal(where() + "'" + token + "' is not a number");
            // Values too small for single precision become zero or denormal,
            // which is fine; overflow, infinities and NaN are rejected.
            if (!std::isfinite(v))
                throw Fatal(where() + "'" + token + "' is not a finite single-precision value");
            values[n++] = v;
            i = end;
        }
    }
    if (n != kValues)
        throw Fatal(what + ": " + std::to_string(n) + " numbers; expected " +
                    std::to_string(kValues) + " (648 coefficients M[0][0] .. M[17][35] "
                    "row by row, then 36 inputs x[0] .. x[35])");
    circuit::Problem p;
    for (int r = 0; r < OUTPUT_COUNT; ++r)
        for (int c = 0; c < INPUT_COUNT; ++c) p.m[r][c] = values[INPUT_COUNT * r + c];
    for (int c = 0; c < INPUT_COUNT; ++c) p.x[c] = values[OUTPUT_COUNT * INPUT_COUNT + c];
    return p;
}

circuit::Problem readProblem(const std::string& path) {
    // 684 numbers with comments fit easily; anything larger is not a problem.
    const size_t kLimit = 1 << 20;
    return parseProblem(readFile(path, kLimit, "problem file"), path == "-" ? "standard input" : printable(path));
}

} // namespace host
