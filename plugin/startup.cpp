// The x87 half of what happens when the module is loaded: the loading
// thread's x87 precision control goes to 53 bits, the setting under which
// the bit-exact results of the x87 entries are stated. moduleStartup
// (dispatch.cpp) does this and then picks every entry's kernel. The x86-64
// module does the same where it carries the hand-written x87 kernels, which
// compute under the x87 unit's precision as on x86-32; the C++ code of
// x86-64 never uses the x87 unit for the entries.
#include "dispatch.h"

namespace circuit {

void setX87DoublePrecision() {
#if defined(__i386__) || (defined(__x86_64__) && CIRCUIT_NATIVE_KERNELS)
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    // Precision control is bits 8 and 9; 2 (binary 10) selects a 53-bit significand.
    control = static_cast<uint16_t>((control & ~0x0300u) | 0x0200u);
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control));
#endif
}

} // namespace circuit
