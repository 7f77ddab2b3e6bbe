# 32-bit Windows DLL, cross-built with Debian's mingw-w64 (i686-w64-mingw32,
# posix thread model, whose C++ library has std::mutex for GoogleTest; the
# DLL links no runtime library, so the model does not reach it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CIRCUIT_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${CIRCUIT_MINGW_PREFIX}-gcc-posix ${CIRCUIT_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${CIRCUIT_MINGW_PREFIX}-g++-posix ${CIRCUIT_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CIRCUIT_MINGW_PREFIX}-windres REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${CIRCUIT_MINGW_PREFIX}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${CIRCUIT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_ASM_NASM_OBJECT_FORMAT win32)
# Test programs carry their runtime inside: no libstdc++/libgcc DLLs to ship
# beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
