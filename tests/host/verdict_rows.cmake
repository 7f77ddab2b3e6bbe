# The verdicts' fault table: the stand-in fake_verdict.cpp with one fault
# per row, chosen by FAKE_VERDICT_FAULT. A row is one line:
#   verdict_row(NAME FAULT [ARGS host options...] [EXIT n] [ERR re...] JSON path=re...)
# ARGS replaces the default options (--json --all, short timing, seed 7);
# each row asserts the faulty entry's status and that others were reported.
# Included with `vmodule` (the stand-in's path as the host sees it) and
# `vproblems` (folder of the problem files, likewise) set.
function(verdict_row name fault)
  cmake_parse_arguments(R "X86" "EXIT" "ARGS;ERR;JSON" ${ARGN})
  if(R_X86 AND CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64")
    return() # the x87 and SSE state of an x86 processor: nothing of it on aarch64
  endif()
  if(NOT R_ARGS)
    set(R_ARGS --json --all --time-per-entry 2 --trials 2 --seed 7)
  endif()
  if(NOT DEFINED R_EXIT)
    set(R_EXIT 1)
  endif()
  host_test(verdict_${name} ARGS ${R_ARGS} ${vmodule} EXIT ${R_EXIT} ERR ${R_ERR} JSON ${R_JSON})
  set_tests_properties(host.verdict_${name} PROPERTIES ENVIRONMENT FAKE_VERDICT_FAULT=${fault})
endfunction()

string(REPEAT "-2 " 648 minus_twos)
string(REPEAT "0.9 " 36 nines)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/problems/wrap_negative.txt "${minus_twos}\n${nines}\n")
set(seventh --json --entries 3-5 ${run_fpu} --time-per-entry 7 --trials 7)

verdict_row(none        none         EXIT 0 JSON "failed=0" "cross_entry_check=" "entries.9.status=ok" "entries.13.status=ok")
verdict_row(ulp         ulp          JSON "failed=1" "entries.9.status=failed" "entries.9.reason=output differs from entry 7, which must give the same bits, and lies farther from the exact sums \\(y\\[17\\].*" "entries.7.status=ok" "entries.8.status=ok")
verdict_row(renamed     renamed      EXIT 0 JSON "failed=0" "entries.9.status=ok" "cross_entry_check=no cross-entry check.*")
verdict_row(exit7       exit7        JSON "failed=1" "entries.3.status=crashed" "entries.3.reason=exited with status 7 inside the module" "entries.4.status=ok")
verdict_row(off128      off128       JSON "failed=1" "entries.12.status=failed" "entries.12.reason=y\\[[0-9]+\\] = .*" "entries.13.status=ok")
verdict_row(wrap_neg    none         EXIT 0 ARGS --json --all --check-only --problem ${vproblems}/wrap_negative.txt JSON "failed=0" "entries.12.status=ok" "entries.13.status=ok" "entries.12.output.0=63.171875" "entries.1.output.0=-64.79[0-9]*")
verdict_row(x87cw       x87cw        X86 JSON "failed=1" "entries.1.status=failed" "entries.1.reason=left the x87 control word changed.*" "entries.0.status=ok" "entries.2.status=ok")
verdict_row(x87stack    x87stack     X86 JSON "failed=1" "entries.2.status=failed" "entries.2.reason=left 1 value on the x87 stack" "entries.3.status=ok")
verdict_row(mmx         mmx          X86 JSON "failed=1" "entries.6.status=failed" "entries.6.reason=left the MMX state.*" "entries.7.status=ok")
verdict_row(mxcsr       mxcsr        X86 JSON "failed=1" "entries.10.status=failed" "entries.10.reason=left MXCSR changed.*" "entries.11.status=ok")
verdict_row(seventh     seventh      ARGS ${seventh} JSON "failed=1" "entries.4.status=failed" "entries.4.reason=timed call [0-9]+ gave y\\[0\\] = .*" "entries.3.status=ok" "entries.5.status=ok")
verdict_row(specs_far   specs_far    EXIT 3 ARGS --check-only ERR "memory access violation while asking the module")
verdict_row(creator     creator_long EXIT 0 ARGS --json --check-only JSON "module.creator_fits_field=OFF" "failed=0")
verdict_row(ctor_traps  ctor_traps   EXIT 0 ARGS --json --entries 0-3 ${run_fpu} --time-per-entry 2 --trials 2 JSON "failed=0" "entries.3.status=ok" "entries.5.mmac_per_s=" "entries.5.ran=OFF")
verdict_row(ctor_single ctor_single  EXIT 0 ARGS --json --entries 0-5 ${run_fpu} --time-per-entry 2 --trials 2 JSON "failed=0" "entries.1.status=ok" "entries.1.median_ns=[0-9.e+-]+")
