# The same commit gives the same module wherever it is built: copies the
# source tree to another folder, configures it as this build was configured
# (toolchain, build type, kernels, compiler launchers), builds the shipped
# targets there and compares the files byte for byte with this build's.
#
# cmake -DSETTINGS=file -P reproducible.cmake, where the file sets SOURCE_DIR,
# BINARY_DIR, WORK_DIR (the second folder), TARGETS, FILES (relative to
# either build folder) and CONFIGURE_ARGS.
include(${SETTINGS})
foreach(var SOURCE_DIR BINARY_DIR WORK_DIR TARGETS FILES)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "reproducible.cmake needs -D${var}=...")
  endif()
endforeach()

# A fresh copy of the tree, without build folders or the repository itself,
# with its build folder where this one is in this tree: the compiler's
# command lines, relative to the cache's base folder, are then the same and
# the compiler cache gives what it already holds.
set(copy ${WORK_DIR}/tree)
file(RELATIVE_PATH inside ${SOURCE_DIR} ${BINARY_DIR})
if(inside MATCHES "^\\.\\.")
  set(inside build)
endif()
set(build ${copy}/${inside})
file(GLOB old RELATIVE ${copy} ${copy}/*)
list(REMOVE_ITEM old build)
foreach(child IN LISTS old)
  file(REMOVE_RECURSE ${copy}/${child})
endforeach()
file(MAKE_DIRECTORY ${copy})
file(GLOB children RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
foreach(child IN LISTS children)
  if(NOT child MATCHES "^(build|out|\\.git)$")
    file(COPY ${SOURCE_DIR}/${child} DESTINATION ${copy})
  endif()
endforeach()

# The cache's base folder holds both trees.
if(NOT DEFINED ENV{CCACHE_BASEDIR})
  set(ENV{CCACHE_BASEDIR} ${SOURCE_DIR})
endif()
string(REPLACE "${SOURCE_DIR}/" "${copy}/" args "${CONFIGURE_ARGS}")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${copy} -B ${build} ${args} -DBUILD_TESTING=OFF
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring the copy in ${build} failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target ${TARGETS}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building ${TARGETS} in ${build} failed:\n${out}")
endif()

set(differ "")
foreach(file IN LISTS FILES)
  file(SHA256 ${BINARY_DIR}/${file} here)
  file(SHA256 ${build}/${file} there)
  message(STATUS "${here}  ${BINARY_DIR}/${file}")
  message(STATUS "${there}  ${build}/${file}")
  if(NOT here STREQUAL there)
    list(APPEND differ ${file})
  endif()
endforeach()
if(differ)
  # Name what differs (strings that hold either folder) to start the search.
  foreach(file IN LISTS differ)
    file(STRINGS ${build}/${file} leaks REGEX "${WORK_DIR}|${SOURCE_DIR}")
    message(STATUS "${file}: folder names inside: ${leaks}")
  endforeach()
  message(FATAL_ERROR "built in two folders, these differ: ${differ}")
endif()
message(STATUS "identical in both folders: ${FILES}")
