// Guarded blocks for one entry: the data laid out by the entry's layout, and
// an output block with sentinel floats (common/floatbits.h) before and after
// it. The storage sits on pages of its own, between inaccessible pages and
// ending where the page after it begins (common/guarded.h), so that a write
// far outside the blocks is a crash of the entry rather than damage to the
// host; it is on a 16-byte boundary by that placement, not by the heap's (8
// bytes on 32-bit Windows) or a caller's stack.
#ifndef CIRCUIT_HOST_BLOCKS_H
#define CIRCUIT_HOST_BLOCKS_H

#include <string>
#include <vector>

#include "guarded.h"
#include "layout.h"

namespace host {

class EntryBlocks {
  public:
    // Sentinel floats before the output (a multiple of 4: the output stays
    // 16-byte aligned) and after it.
    static constexpr int kGuardBefore = 64;
    static constexpr int kGuardAfter = 12;
    EntryBlocks(EntryFlags flags, const circuit::Problem& p);
    EntryFlags flags() const { return flags_; }
    EntryBlocks(const EntryBlocks&) = delete;
    EntryBlocks& operator=(const EntryBlocks&) = delete;
    const float* coefficients() const { return s_->data.coefficients; }
    const float* input() const { return s_->data.input; }
    float* output() { return s_->out + kGuardBefore; }
    void resetOutput();
    // "" when the call wrote nothing outside its output floats and left the
    // coefficient and input blocks as the problem lays them out, else what
    // it did wrong.
    std::string damage() const;
    // Output floats 0..17 that still hold the sentinel.
    std::vector<int> unwritten() const;
    // Fatal unless the three blocks start on 16-byte boundaries; called
    // before every call of the module.
    void checkAlignment() const;

  private:
    struct Storage {
        circuit::Blocks data;
        alignas(16) float out[kGuardBefore + SOA_OUTPUT_FLOATS + kGuardAfter];
    };
    std::string dataDamage() const;
    EntryFlags flags_;
    circuit::Problem problem_;  // what the data must still say, outside the entry's reach
    circuit::GuardedSpan pages_;
    Storage* s_;
};

} // namespace host

#endif // CIRCUIT_HOST_BLOCKS_H
