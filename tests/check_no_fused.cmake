# Fails when a disassembled file holds a fused multiply-add or -subtract
# (aarch64: FMADD, FMSUB, FNMADD, FNMSUB, FMLA, FMLS): every product the module
# and the tests' reference orders form is rounded before it is added.
# Usage: cmake -DOBJDUMP=... "-DFILES=a;b" -P check_no_fused.cmake
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${file}
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} could not disassemble ${file}")
  endif()
  string(REGEX MATCHALL "\t(fn?madd|fn?msub|fmla|fmls)[ \t][^\n]*" fused "${listing}")
  list(LENGTH fused count)
  string(REGEX MATCHALL "\n +[0-9a-f]+:\t" instructions "${listing}")
  list(LENGTH instructions total)
  if(total EQUAL 0)
    message(FATAL_ERROR "${file}: no instructions found in the listing of ${OBJDUMP}")
  endif()
  if(count GREATER 0)
    list(SUBLIST fused 0 5 first)
    string(REPLACE ";" "\n" first "${first}")
    message(FATAL_ERROR "${file}: ${count} fused multiply-add instructions, among them:\n${first}")
  endif()
  message(STATUS "${file}: ${total} instructions, none fused")
endforeach()
