# Decides how the 32-bit Linux build runs its own programs (tests, host,
# benchmarks). Where the kernel runs 32-bit executables they run natively;
# where it does not (some virtual machines leave 32-bit support out), they
# run under qemu-i386 with a processor model that has every extension the
# module knows (x87, MMX, SSE, 3DNow!). CIRCUIT_RUN32 is the command prefix,
# empty when native.
set(CIRCUIT_RUN32 "" CACHE STRING "Command prefix that runs a 32-bit program, empty if native")
set(CIRCUIT_QEMU_CPU phenom CACHE STRING "qemu-i386 processor model for 32-bit programs")
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT WIN32 AND NOT DEFINED CIRCUIT_RUN32_DECIDED)
  try_run(run_result compile_result ${CMAKE_BINARY_DIR}/run32-probe
    ${CMAKE_CURRENT_LIST_DIR}/run32_probe.c)
  if(compile_result AND run_result EQUAL 0)
    set(CIRCUIT_RUN32 "" CACHE STRING "" FORCE)
    message(STATUS "32-bit programs run natively")
  else()
    find_program(QEMU_I386 qemu-i386 REQUIRED)
    set(CIRCUIT_RUN32 "${QEMU_I386};-cpu;${CIRCUIT_QEMU_CPU}" CACHE STRING "" FORCE)
    message(STATUS "32-bit programs run under: ${CIRCUIT_RUN32}")
  endif()
  set(CIRCUIT_RUN32_DECIDED ON CACHE INTERNAL "")
endif()
if(CIRCUIT_RUN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CIRCUIT_RUN32})
endif()

# CIRCUIT_RUN_3DNOW: where 32-bit programs run natively, the processor most
# likely lacks 3DNow! (no current one has it), and the tests of the 3DNow!
# kernels would only report themselves skipped. This prefix runs a test
# program once more under qemu-i386 with the model above; tests/ adds such
# runs as CTest entries of their own. Where qemu-i386 is missing, the prefix
# says so and exits 77, which those entries report as skipped. Empty where
# every program already runs under qemu.
set(CIRCUIT_RUN_3DNOW "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT WIN32 AND NOT CIRCUIT_RUN32)
  find_program(QEMU_I386 qemu-i386)
  if(QEMU_I386)
    set(CIRCUIT_RUN_3DNOW ${QEMU_I386} -cpu ${CIRCUIT_QEMU_CPU})
  else()
    message(STATUS "qemu-i386 not found (Debian package qemu-user): the 3DNow! kernels' tests will report themselves skipped")
    set(CIRCUIT_RUN_3DNOW sh -c "echo 'skipped: qemu-i386 not found (Debian package qemu-user), so the 3DNow! kernels are not run' >&2 && exit 77" --)
  endif()
endif()

# The x86-64 build with the hand-written kernels: its programs run natively,
# and once more under qemu-x86_64 with the same model, for the 3DNow! kernels.
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND CIRCUIT_NATIVE_KERNELS AND NOT WIN32
   AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  find_program(QEMU_X86_64 qemu-x86_64)
  if(QEMU_X86_64)
    set(CIRCUIT_RUN_3DNOW ${QEMU_X86_64} -cpu ${CIRCUIT_QEMU_CPU})
  else()
    message(STATUS "qemu-x86_64 not found (Debian package qemu-user): the 3DNow! kernels' tests will report themselves skipped")
    set(CIRCUIT_RUN_3DNOW sh -c "echo 'skipped: qemu-x86_64 not found (Debian package qemu-user), so the 3DNow! kernels are not run' >&2 && exit 77" --)
  endif()
endif()

# The Windows build runs its test programs under Wine, with a prefix of its
# own in the build folder. The wrapper first starts a trivial 32-bit program
# (tests/wine_probe.exe) and exits 77 when even that cannot run, which the
# tests report as skipped (tests/CMakeLists.txt sets SKIP_RETURN_CODE).
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(CIRCUIT_WINE_PROBE ${CMAKE_BINARY_DIR}/tests/wine_probe.exe)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/../tests/dll/run_wine.sh ${CMAKE_BINARY_DIR}/wineprefix
      ${CIRCUIT_WINE_PROBE})
endif()
