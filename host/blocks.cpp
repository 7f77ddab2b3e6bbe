// The guarded blocks an entry runs on: its data in its layout, an output
// block between sentinel floats, and the problem kept apart to see whether
// a call changed the data.
#include <cstdint>
#include <cstring>
#include <new>

#include "blocks.h"
#include "errors.h"
#include "floatbits.h"

namespace host {

namespace {

// The first float of `n` where `a` and `b` differ, or -1.
int firstDifference(const float* a, const float* b, int n) {
    for (int i = 0; i < n; ++i)
        if (!sameBits(a + i, b + i, 1)) return i;
    return -1;
}

circuit::GuardedSpan guardedPages(size_t bytes) {
    try {
        return circuit::GuardedSpan(bytes);
    } catch (const std::exception&) {
        throw Fatal("cannot set up the guarded blocks of an entry");
    }
}

} // namespace

EntryBlocks::EntryBlocks(EntryFlags flags, const circuit::Problem& p)
    : flags_(flags), problem_(p), pages_(guardedPages(sizeof(Storage))) {
    static_assert(sizeof(Storage) % 16 == 0, "the storage ends where a page ends, on a 16-byte boundary");
    s_ = new (pages_.end() - sizeof(Storage)) Storage;
    std::memset(&s_->data, 0, sizeof s_->data);
    circuit::layoutFor(flags, p, s_->data);
    resetOutput();
}

void EntryBlocks::checkAlignment() const {
    for (const void* block : {static_cast<const void*>(s_->data.coefficients), static_cast<const void*>(s_->data.input),
                              static_cast<const void*>(s_->out + kGuardBefore)})
        if (reinterpret_cast<uintptr_t>(block) % 16 != 0)
            throw Fatal("internal error: a data block is not on a 16-byte boundary");
}

void EntryBlocks::resetOutput() {
    fillSentinel(s_->out, sizeof s_->out / sizeof s_->out[0]);
}

// Which of the two data blocks a call changed, laid out again from the
// problem: a write into either is named as such.
std::string EntryBlocks::dataDamage() const {
    circuit::Blocks expected;
    std::memset(&expected, 0, sizeof expected);
    circuit::layoutFor(flags_, problem_, expected);
    const int c = firstDifference(s_->data.coefficients, expected.coefficients, SOA_COEFFICIENT_FLOATS);
    if (c >= 0) return "changed its coefficient block (float " + std::to_string(c) + ")";
    const int x = firstDifference(s_->data.input, expected.input, SOA_INPUT_FLOATS);
    if (x >= 0) return "changed its input block (float " + std::to_string(x) + ")";
    return "";
}

std::string EntryBlocks::damage() const {
    const int floats = circuit::outputFloats(flags_);
    for (int i = kGuardBefore - 1; i >= 0; --i)
        if (!isSentinel(s_->out + i))
            return "wrote before its output block (float " + std::to_string(i - kGuardBefore) + ")";
    for (int i = kGuardBefore + floats; i < kGuardBefore + SOA_OUTPUT_FLOATS + kGuardAfter; ++i)
        if (!isSentinel(s_->out + i))
            return "wrote past its " + std::to_string(floats) + " output floats (float " +
                   std::to_string(i - kGuardBefore) + ")";
    return dataDamage();
}

std::vector<int> EntryBlocks::unwritten() const {
    std::vector<int> list;
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        if (isSentinel(s_->out + kGuardBefore + i)) list.push_back(i);
    return list;
}

} // namespace host
