# Compile options shared by the module's own code (exports, dispatch and
# kernels). Bits are the contract: no contraction of multiply and add into a
# fused operation, no fast-math, no -march=native. The module needs none of
# the language runtime: no exceptions, no RTTI.
set(CIRCUIT_MODULE_OPTIONS
  -ffp-contract=off -fno-fast-math -fno-exceptions -fno-rtti -fvisibility=hidden
  -fvisibility-inlines-hidden -fno-stack-protector -Wall -Wextra)

# The i686 module runs on a plain i586 with x87 outside the kernels of the
# entries flagged MMX, 3DNow! or SSE: no SSE, no MMX, no CMOV/FCOMI.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "86|x86|amd64|AMD64")
  list(APPEND CIRCUIT_MODULE_OPTIONS -march=pentium -mtune=generic -mfpmath=387
       -mno-mmx -mno-sse -mno-3dnow)
endif()

# Windows: stack probes (___chkstk_ms) live in libgcc, which the DLL does not
# link; the module's frames are small, so none are needed. Nothing in the DLL
# unwinds (no exceptions, no runtime), so it carries no unwind tables. Symbol
# visibility has no meaning for PE (the .def file decides what is exported).
if(WIN32)
  list(APPEND CIRCUIT_MODULE_OPTIONS -mno-stack-arg-probe -fno-asynchronous-unwind-tables
       -fno-unwind-tables -Wno-attributes)
endif()
