# 64-bit Arm Linux (aarch64), cross-built with clang and Debian's cross
# libraries (packages clang, lld, libc6-dev-arm64-cross,
# libstdc++-12-dev-arm64-cross, binutils-aarch64-linux-gnu), which install
# beside the i686 build's gcc-multilib where Debian's gcc cross compilers do
# not. Programs run under qemu-aarch64 with the cross libraries as their root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CIRCUIT_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${CIRCUIT_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${CIRCUIT_TRIPLE})
# clang contracts a * b + c into one fused instruction by default on this
# target; every program of this build (the module, the tests' reference
# orders, the host) rounds the product and the sum separately.
set(CMAKE_C_FLAGS_INIT "-ffp-contract=off")
set(CMAKE_CXX_FLAGS_INIT "-ffp-contract=off")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()
set(CMAKE_OBJDUMP /usr/bin/${CIRCUIT_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_NM /usr/bin/${CIRCUIT_TRIPLE}-nm CACHE FILEPATH "")

# Libraries and packages come from the cross root only: the machine's own
# (x86-64) Google Benchmark, for one, cannot link here.
set(CMAKE_FIND_ROOT_PATH /usr/${CIRCUIT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(CIRCUIT_QEMU_AARCH64 qemu-aarch64)
if(NOT CIRCUIT_QEMU_AARCH64)
  message(FATAL_ERROR "The aarch64 build runs its programs under qemu-aarch64 (Debian package qemu-user)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CIRCUIT_QEMU_AARCH64} -L /usr/${CIRCUIT_TRIPLE})
