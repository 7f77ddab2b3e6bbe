// Placeholder: the kernels of this family are not built yet; each returns
// without effect, as runEntry does for an index it does not serve.
#include "kernels.h"

namespace portable {

void kernelSseSoa(const float*, const float*, float*, int32_t) {}
void kernelSseSoaOoo(const float*, const float*, float*, int32_t) {}

} // namespace portable
