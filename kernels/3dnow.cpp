// Placeholder: the kernels of this family are not built yet; each returns
// without effect, as runEntry does for an index it does not serve.
#include "kernels.h"

namespace portable {

void kernel3DNow(const float*, const float*, float*, int32_t) {}
void kernel3DNowSoa(const float*, const float*, float*, int32_t) {}
void kernel3DNowSoaK6(const float*, const float*, float*, int32_t) {}
void kernel3DNowSoaK7(const float*, const float*, float*, int32_t) {}

} // namespace portable
