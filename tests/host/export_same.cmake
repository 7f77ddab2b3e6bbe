# Runs circuit-host once with a format on stdout and the same format exported
# to a file (--export-FORMAT), and checks that the two hold the same bytes.
# Variables: HOST, RUN32 (prefix, "::"-joined), ARGS ("::"-joined), FORMAT, OUT.
string(REPLACE "::" ";" RUN32 "${RUN32}")
string(REPLACE "::" ";" ARGS "${ARGS}")
file(REMOVE "${OUT}" "${OUT}.stdout")
execute_process(COMMAND ${RUN32} ${HOST} ${ARGS} --${FORMAT} --export-${FORMAT} ${OUT}
  OUTPUT_FILE "${OUT}.stdout" RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "exit status ${status}: ${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${OUT}" "${OUT}.stdout" RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "${OUT} differs from what --${FORMAT} printed on stdout (${OUT}.stdout)")
endif()
