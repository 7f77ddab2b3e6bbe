// The checker's data: the problems every row is checked on (data sets drawn
// from a seed), the blocks they are laid out in (against inaccessible pages,
// in every placement) and the output area with its guard floats. To add a
// data set, add a generator and one line to kDataSets in data.cpp.
#ifndef CIRCUIT_CHECKASM_DATA_H
#define CIRCUIT_CHECKASM_DATA_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "circuit.h"
#include "floatbits.h"
#include "guarded.h"
#include "splitmix64.h"

namespace checkasm {

constexpr uint32_t kSentinel = kSentinelBits; // quiet NaN that no kernel produces
constexpr int kGuardFloats = 16;            // guard zone on each side of the output

// bitsOf from common/floatbits.h.
inline float floatOf(uint32_t u) { return floatOfBits(u); }
std::string hexAndValue(uint32_t u); // "0x3F800000 (1)"

// ---------------------------------------------------------------- random

// SplitMix64 (common/splitmix64.h): the same sequence on every compiler and platform.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next() { return splitmix64(state); }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    int range(int lo, int hi) { return lo + below(hi - lo + 1); } // inclusive
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    float uniform(float lo, float hi) { return static_cast<float>(lo + (hi - lo) * unit()); }
    float sign() { return (next() & 1) ? -1.0f : 1.0f; }
    // Sign, exponent in [lo, hi] and a random 24-bit significand.
    float scaled(int lo, int hi) {
        return sign() * static_cast<float>(std::ldexp(1.0 + unit(), range(lo, hi)));
    }
    template <typename T, size_t N> T pick(const T (&a)[N]) { return a[below(static_cast<int>(N))]; }
};

// One problem in plain form plus what the SOA layout adds: the four lanes of
// every input group (equal unless a data set says otherwise) and the two pad
// floats of every coefficient row.
struct Data {
    float m[OUTPUT_COUNT][INPUT_COUNT];
    float x[INPUT_COUNT];
    float lane[INPUT_COUNT][SOA_LANES];
    float pad[INPUT_COUNT][2];
    bool unequalLanes;
};

struct DataSet {
    const char* name;
    void (*make)(Rng&, Data&);
    int repeats; // independent draws per row
};
extern const DataSet kDataSets[];
extern const int kDataSetCount;

// The seed of one draw of one data set for one row, and the draw itself.
uint64_t dataSeed(uint32_t seed, int row, int set, int draw);
void makeData(int set, uint64_t seed, Data& d);

// ---------------------------------------------------------------- memory

// A block placed against an inaccessible page (one page between two guard
// pages, common/guarded.h), so that reading past its end (tail placement)
// or before its start (head placement) faults instead of passing unseen.
// The rest of the accessible page holds poison NaNs.
class PageGuardedBlock {
  public:
    PageGuardedBlock();
    // `misalign` bytes off a 16-byte boundary (0, 4, 8 or 12): at the tail the block
    // then ends `misalign` bytes before the guard page.
    float* place(size_t bytes, bool tail, size_t misalign);

  private:
    std::unique_ptr<circuit::GuardedSpan> span_;
};

// Where the three blocks lie: each `misalign` bytes past a 16-byte boundary
// (at the tail: ending that many bytes before the guard page). Besides the
// placements of every block alike, each block alone sits 4, 8 and 12 bytes
// past a boundary, so that an alignment test that looks at one pointer only,
// or at 8 bytes instead of 16, is caught.
struct Placement {
    bool tail;
    size_t coefficients, input, output; // misalignment of each block
    const char* text;
};
extern const Placement kPlacements[];
extern const int kPlacementCount;


// Output block with guard floats on both sides, all set to the sentinel.
struct OutputArea {
    alignas(16) float area[kGuardFloats + SOA_OUTPUT_FLOATS + kGuardFloats + 4];
    size_t misalign = 0;
    void reset(size_t m) {
        misalign = m;
        for (float& f : area) f = floatOf(kSentinel);
    }
    float* block() { return area + kGuardFloats + misalign / 4; }
    uint32_t bits(int i) { return bitsOf(block()[i]); }
};

// ---------------------------------------------------------------- layout

bool isSoa(EntryFlags flags);
// Floats the row's kernel writes: 20 for the SSE entries on SOA, else 18.
int writtenFloats(EntryFlags flags);
int blockFloats(EntryFlags flags);
size_t coefficientBytes(EntryFlags flags);
size_t inputBytes(EntryFlags flags);
// The problem in the row's layout: coefficients c, input x.
void layout(EntryFlags flags, const Data& d, float* c, float* x);

} // namespace checkasm

#endif // CIRCUIT_CHECKASM_DATA_H
