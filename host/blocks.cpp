// The guarded blocks an entry runs on: its data in its layout, an output
// block between sentinel floats, and a pristine copy of the data to see
// whether a call changed it.
#include <cstdint>
#include <cstring>
#include <new>

#include "blocks.h"
#include "errors.h"
#include "floatbits.h"

namespace host {

EntryBlocks::EntryBlocks(EntryFlags flags, const circuit::Problem& p)
    : flags_(flags), raw_(sizeof(Storage) + 16) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(raw_.data());
    s_ = new (raw_.data() + ((16 - at % 16) % 16)) Storage;
    std::memset(&s_->data, 0, sizeof s_->data);
    circuit::layoutFor(flags, p, s_->data);
    s_->pristine = s_->data;
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

std::string EntryBlocks::damage() const {
    const int floats = circuit::outputFloats(flags_);
    std::string what;
    for (int i = 0; i < kGuardBefore; ++i)
        if (!isSentinel(s_->out + i)) what = "wrote before its output block";
    for (int i = kGuardBefore + floats; i < kGuardBefore + SOA_OUTPUT_FLOATS + kGuardAfter; ++i)
        if (!isSentinel(s_->out + i)) {
            what = "wrote past its " + std::to_string(floats) + " output floats (float " +
                   std::to_string(i - kGuardBefore) + ")";
            break;
        }
    if (what.empty() && std::memcmp(&s_->data, &s_->pristine, sizeof s_->data) != 0)
        what = "changed its coefficient or input block";
    return what;
}

std::vector<int> EntryBlocks::unwritten() const {
    std::vector<int> list;
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        if (isSentinel(s_->out + kGuardBefore + i)) list.push_back(i);
    return list;
}

} // namespace host
