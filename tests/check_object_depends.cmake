# Fails unless every NASM object of the module is rebuilt when one of the
# includes changes: asks Ninja for each object's inputs. Run as:
#   cmake -DNINJA=ninja -DBUILD_DIR=dir "-DOBJECTS=a.o;b.o" "-DINCLUDES=x.inc;y.inc"
#         -P check_object_depends.cmake
set(checked 0)
foreach(object IN LISTS OBJECTS)
  if(NOT object MATCHES "\\.asm\\.o(bj)?$")
    continue()
  endif()
  file(RELATIVE_PATH target ${BUILD_DIR} ${object})
  execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t query ${target}
    OUTPUT_VARIABLE inputs RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ninja does not know ${target}")
  endif()
  foreach(include IN LISTS INCLUDES)
    string(FIND "${inputs}" "${include}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${target} does not depend on ${include}: editing it leaves the object stale")
    endif()
  endforeach()
  math(EXPR checked "${checked} + 1")
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no NASM object among: ${OBJECTS}")
endif()
message(STATUS "${checked} NASM objects depend on ${INCLUDES}")
