# Fails unless the module's dynamic symbol table defines exactly the five
# exports. Run as: cmake -DNM=nm -DMODULE=path -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* ([^ ]+)$" "\\1" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected getCircuitSignature getCreatorSignature getEntryCount getEntrySpecs runEntry)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "dynamic symbols of ${MODULE}: ${names}; expected exactly ${expected}")
endif()
message(STATUS "exports: ${names}")
