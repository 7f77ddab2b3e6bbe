// runEntry's table of kernels: one slot per entry, filled with the portable
// kernels and, on the i686 build, overwritten once at load with the
// hand-written kernel of every entry whose extensions the processor has.
#include "dispatch.h"

#include "kernels.h"

namespace circuit {
namespace {

struct KernelChoice {
    EntryKernel portable;
    EntryKernel native; // nullptr where the build has no hand-written kernel
    EntryFlags flags;
};

#if CIRCUIT_NATIVE_KERNELS
#define CIRCUIT_CHOICE(index, stem, name, flags, native) \
    {&portable::kernel##stem, CIRCUIT_NATIVE_KERNEL_##native(stem), flags},
#else
#define CIRCUIT_CHOICE(index, stem, name, flags, native) {&portable::kernel##stem, nullptr, flags},
#endif
constexpr KernelChoice kChoices[ENTRY_COUNT] = {CIRCUIT_ENTRIES(CIRCUIT_CHOICE)};
#undef CIRCUIT_CHOICE

#define CIRCUIT_PORTABLE(index, stem, name, flags, native) &portable::kernel##stem,
EntryKernel gSelected[ENTRY_COUNT] = {CIRCUIT_ENTRIES(CIRCUIT_PORTABLE)};
#undef CIRCUIT_PORTABLE

} // namespace

void selectKernels(EntryFlags extensions) {
    for (unsigned i = 0; i < ENTRY_COUNT; ++i) {
        const KernelChoice& c = kChoices[i];
        const EntryFlags needed = c.flags & ENTRY_EXTENSION_MASK;
        const bool runnable = (extensions & needed) == needed;
        gSelected[i] = (c.native != nullptr && runnable) ? c.native : c.portable;
    }
}

EntryKernel selectedKernel(uint32_t index) { return gSelected[index]; }

void moduleStartup() {
    setX87DoublePrecision();
    selectKernels(cpuExtensions());
}

} // namespace circuit
