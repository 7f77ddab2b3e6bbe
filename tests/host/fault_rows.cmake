# The fault table: one run of the host per row over the stand-in module
# (stand_in.cpp), with the faults CIRCUIT_STAND_IN names planted.
#
#   fault_row(NAME FAULT fault[,fault...] [ARGS host-options...] [EXIT n]
#             [ONLY posix|x86|root|linux...] [TIMEOUT s]
#             [OUT re...] [ERR re...] [NOT_OUT re...] [JSON path=re...] [TIMED path=re...])
#
# FAULT: names of stand_in.cpp's fault table ("none" plants nothing; "name@N"
# moves an entry's fault to entry N). ARGS replaces the default options
# (--json --all, short timing, seed 7); the stand-in's path is appended, and
# "--timeout s" with TIMEOUT. EXIT defaults to 1. ONLY leaves the row out
# where a condition does not hold: posix (fork, process groups, signals),
# x86 (the x87, MMX and SSE state), root, linux, windows, seccomp (the host's
# build has the entries' system-call filter). OUT, ERR, NOT_OUT, JSON and
# TIMED (figures only a quiet machine guarantees: up to three runs) are
# run_host.cmake's checks. Each row asserts the faulty entry's status and
# reason and that the other entries were still reported.
#
# Adding a fault is two lines: its row in stand_in.cpp's kFaults and its
# fault_row line below (the test is host.fault.NAME).
#
# Included with `stand_in` (the stand-in's path as the host sees it),
# `problems` (the problem files' folder, likewise), `fast`, `run_fpu`,
# `ok_fpu` and `clk` set.

execute_process(COMMAND id -u OUTPUT_VARIABLE fault_uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
function(fault_row name)
  cmake_parse_arguments(R "" "FAULT;EXIT;TIMEOUT" "ARGS;ONLY;OUT;ERR;NOT_OUT;JSON;TIMED" ${ARGN})
  foreach(only IN LISTS R_ONLY)
    if((only STREQUAL "posix" AND WIN32) OR (only STREQUAL "x86" AND CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64")
       OR (only STREQUAL "root" AND NOT fault_uid STREQUAL "0") OR (only STREQUAL "linux" AND NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
       OR (only STREQUAL "seccomp" AND NOT CIRCUIT_HAVE_SECCOMP) OR (only STREQUAL "windows" AND NOT WIN32))
      return()
    endif()
  endforeach()
  if(NOT R_ARGS)
    set(R_ARGS --json --all ${fast} --seed 7)
  endif()
  if(DEFINED R_TIMEOUT)
    list(APPEND R_ARGS --timeout ${R_TIMEOUT})
  endif()
  if(NOT DEFINED R_EXIT)
    set(R_EXIT 1)
  endif()
  host_test(fault.${name} ARGS ${R_ARGS} ${stand_in} ENV CIRCUIT_STAND_IN=${R_FAULT} EXIT ${R_EXIT}
    OUT ${R_OUT} ERR ${R_ERR} NOT_OUT ${R_NOT_OUT} JSON ${R_JSON} TIMED ${R_TIMED})
endfunction()

# What the rows share: entry 1 carries the fault; 0 and 2 are still checked and timed.
# The timeout of rows whose entry never returns: long enough for every good
# entry's process on a busy machine (under Wine one takes a second or more to start).
set(hang 10)
set(others "entries.0.status=ok" "entries.0.count=[1-9][0-9]*" "entries.2.status=ok")
set(ok_others EXIT 0 JSON "entries.1.status=ok" "entries.1.reason=" ${others})
string(REPEAT "-2 " 648 minus_twos)
string(REPEAT "0.9 " 36 nines)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/problems/wrap_negative.txt "${minus_twos}\n${nines}\n")

# The module's table: refused with exit status 2 before anything is printed.
fault_row(missing_export FAULT no_run_export EXIT 2 ERR "does not export runEntry" NOT_OUT ".")
fault_row(circuit3       FAULT circuit3      EXIT 2 ERR "serves circuit 3; this host runs circuit 2" NOT_OUT ".")
fault_row(count0         FAULT count0        EXIT 2 ERR "announces 0 entries; this host accepts 1 to 64" NOT_OUT ".")
fault_row(count1000      FAULT count1000     EXIT 2 ERR "announces 1000 entries" NOT_OUT ".")
fault_row(specs_overrun  FAULT specs_overrun EXIT 2 ERR "wrote more than the 14 entry records" NOT_OUT ".")
fault_row(specs_far      FAULT specs_far     EXIT 3 ARGS --check-only ERR "memory access violation while asking the module")
fault_row(exit_query     FAULT exit_query    EXIT 3 ARGS --json ERR "the module ended the program while asking the module" NOT_OUT ".")
fault_row(creator        FAULT creator_long  EXIT 0 ARGS --json --check-only ${run_fpu} JSON "module.creator_fits_field=OFF" "failed=0")
# Entry 0 renamed: no entry's own rule is known, the entries that must give
# the same bits are compared instead.
fault_row(renamed        FAULT renamed,ulp   JSON "failed=1" "entries.0.status=ok" "entries.9.status=failed"
  "entries.9.reason=output differs from entry 7, which must give the same bits, and lies farther from the exact sums.*"
  "entries.8.status=ok")

# Entries that crash (1: null pointer, 4: illegal instruction), never return
# (2) or end the process (5) mark only themselves; 0 (which prints on stdout)
# and 3 are still checked and timed, in the table, CSV and JSON alike. A busy
# machine may leave an entry without core clocks ("-"): what counts here is
# that the good entries were timed beside the faulty ones.
set(several FAULT print@0,segv@1,spin@2,ud2@4,exit0@5 TIMEOUT ${hang})
fault_row(several_table ${several} ARGS --all --entries 0-5 ${fast}
  OUT "\n 0  C[^\n]+ ${ok_fpu} +[0-9.]+ +${clk} " "\n 1  C[^\n]+ crashed: memory access violation"
      "\n 2  C[^\n]+ timed out after ${hang} s" "\n 3  x87 [^\n]+ ${ok_fpu} +[0-9.]+ +${clk} "
      "\n 4  x87 \\(with fxch\\) [^\n]+ crashed: illegal instruction"
      "\n 5  x87 \\(SOA\\)\\(OoO\\) [^\n]+ crashed: exited with status 0 inside the module" "4 entries FAILED"
  NOT_OUT "a module that prints")
fault_row(several_csv ${several} ARGS --all --entries 0-5 ${fast} --csv
  OUT "\n0,[^\n]+,ok,,[^,]+,[^,]+,[^,]+,[0-9]+,[0-9.e+-]+," "\n1,C[^,]+,[^\n]+,crashed,memory access violation,"
      "\n2,C[^,]+,[^\n]+,timed out,after ${hang} s," "\n3,x87,[^\n]+,ok,,[^,]+,[^,]+,[^,]+,[0-9]+,")
fault_row(several_json ${several} ARGS --all --entries 0-5 ${fast} --json
  JSON "failed=4" "entries.0.status=ok" "entries.0.median_ns=[0-9.e+-]+" "entries.3.status=ok"
       "entries.3.count=[1-9][0-9]*" "entries.1.status=crashed" "entries.1.reason=memory access violation"
       "entries.2.status=timed out" "entries.2.reason=after ${hang} s" "entries.2.output=" "entries.6.ran=OFF"
       "timing.isolated_entries=(1[4-9]|2[0-4])" "timing.timeout_s=${hang}")

# One fault in entry 1, each kind of ending a host must survive.
fault_row(segv           FAULT segv       JSON "entries.1.status=crashed" "entries.1.reason=memory access violation" ${others})
fault_row(ud2            FAULT ud2        JSON "entries.1.status=crashed" "entries.1.reason=illegal instruction" ${others})
fault_row(abort          FAULT abort      JSON "entries.1.status=crashed" "entries.1.reason=abort|.*0x40000015.*|.*status 3 .*" ${others})
fault_row(exit0          FAULT exit0      JSON "entries.1.status=crashed" "entries.1.reason=exited with status 0 inside the module" ${others})
fault_row(spin           FAULT spin       TIMEOUT ${hang} JSON "entries.1.status=timed out" "entries.1.reason=after ${hang} s" ${others})
fault_row(far_write      FAULT far_write  JSON "entries.1.status=crashed" "entries.1.reason=memory access violation|access violation.*" ${others})
# On Windows the stand-in carries a runtime of its own, which ends the process
# (abort) on an exception it does not catch: named as such.
fault_row(throw          FAULT throw      JSON "entries.1.status=crashed" "entries.1.reason=threw an exception|abort .an exception the module's own runtime did not catch.*" ${others})
fault_row(bad_alloc      FAULT bad_alloc  JSON "entries.1.status=crashed" "entries.1.reason=ran out of memory|abort .an exception the module's own runtime did not catch.*" ${others})
fault_row(close_spin     FAULT close_spin ONLY posix TIMEOUT ${hang} JSON "entries.1.status=timed out" "entries.1.reason=after ${hang} s" ${others})
fault_row(helper         FAULT helper     ONLY posix ${ok_others})
fault_row(ignore_sigchld FAULT ignore_sigchld ONLY posix JSON "entries.1.status=crashed" "entries.1.reason=abort" ${others})
fault_row(print          FAULT print      ONLY posix ${ok_others})
# An entry's signals cannot reach the host: it goes on and ends the entry at its deadline.
fault_row(sigterm        FAULT sigterm    ONLY seccomp TIMEOUT ${hang} JSON "entries.1.status=timed out" ${others})
fault_row(sighup         FAULT sighup     ONLY seccomp TIMEOUT ${hang} JSON "entries.1.status=timed out" ${others})
# A slow entry (20 ms a call) is timed with the calls that fit in the planned
# time (at least 5 a round), not with every planned call, and says so.
fault_row(slow           FAULT slow EXIT 0 ARGS --entries 1 ${run_fpu} --json --trials 50 --time-per-entry 5 --rounds 3
  JSON "entries.1.status=ok" "entries.1.calls=(1[5-9]|[2-9][0-9]|[1-4][0-9][0-9])" "entries.1.planned_calls=(51|68|85|102)")

# Figures: one slow call while the count is sought neither shrinks the count
# nor makes the entry slow (every planned call is taken); a second, faster
# mode is flagged; an entry slower on some rounds is seen, on most rounds
# retried, on every round but the first flagged. What a busy machine can
# spoil is TIMED.
set(one_entry EXIT 0 ARGS --entries 1 ${run_fpu} --json --trials 50 --time-per-entry 10)
set(load_reasons "((noise|two modes|rounds disagree|busy CPUs|core shared)(, )?)*")
fault_row(slow_search FAULT slow_search ${one_entry} --rounds 1
  JSON "entries.1.status=ok" "entries.1.planned_calls=(50|100)" "entries.1.calls=([5-9][0-9]|[1-3][0-9][0-9]|400)"
       "entries.1.count=[0-9][0-9]+" "entries.1.unstable_reason=${load_reasons}")
fault_row(two_modes   FAULT two_modes ${one_entry} JSON "entries.1.status=ok" "entries.1.calls=([5-9][0-9]|[1-9][0-9][0-9]+)"
  TIMED "entries.1.unstable_reason=(.*, )?two modes(, .*)?")
set(round_checks "entries.1.status=ok" "entries.1.round_spread=[1-9][0-9.e+-]*")
# The slow rounds are seen and retried (that they are outvoted, as the
# rounds' unit rows show, a busy machine can spoil by slowing others).
fault_row(slow_rounds FAULT slow_rounds ONLY posix ${one_entry} JSON ${round_checks} "entries.1.rounds=([5-9]|10)")
fault_row(slow_middle FAULT slow_middle ONLY posix ${one_entry} JSON ${round_checks} "entries.1.rounds=([6-9]|10)")
fault_row(slow_later  FAULT slow_later ONLY posix ${one_entry} JSON ${round_checks}
  TIMED "entries.1.rounds=10" "entries.1.unstable_reason=(.*, )?rounds disagree(, .*)?")

# Verdicts the host must get right.
set(seventh --json --entries 3-5 ${run_fpu} --time-per-entry 7 --trials 7)
fault_row(good      FAULT none    EXIT 0 JSON "failed=0" "cross_entry_check=" "entries.9.status=ok" "entries.13.status=ok" "entries.13.exact=ON")
fault_row(wrong     FAULT wrong   ARGS --all ${fast} OUT "\\* entry 2 failed: y\\[5\\] = " "1 entry FAILED"
  NOT_OUT "entry [013-9] failed" "entry 1[0-3] failed")
fault_row(spill     FAULT spill   ARGS --all --check-only OUT "entry 4 failed: wrote past its 18 output floats \\(float 18\\)")
fault_row(ulp       FAULT ulp     JSON "failed=1" "entries.9.status=failed" "entries.9.exact=OFF" "entries.9.reason=y\\[17\\] = [0-9.e+-]+ \\(bits 0x[0-9A-F]+\\), its rule gives [0-9.e+-]+ \\(bits 0x[0-9A-F]+\\)" "entries.7.status=ok" "entries.8.status=ok")
fault_row(exit7     FAULT exit7   JSON "failed=1" "entries.3.status=crashed" "entries.3.reason=exited with status 7 inside the module" "entries.4.status=ok")
fault_row(off128    FAULT off128  JSON "failed=1" "entries.12.status=failed" "entries.12.reason=y\\[[0-9]+\\] = .*" "entries.13.status=ok")
fault_row(wrap_neg  FAULT none    EXIT 0 ARGS --json --all --check-only --problem ${problems}/wrap_negative.txt JSON "failed=0" "entries.12.status=ok" "entries.13.status=ok" "entries.12.output.0=63.171875" "entries.1.output.0=-64.79[0-9]*")
fault_row(x87cw     FAULT x87cw    ONLY x86 JSON "failed=1" "entries.1.status=failed" "entries.1.reason=left the x87 control word changed.*" "entries.0.status=ok" "entries.2.status=ok")
fault_row(x87stack  FAULT x87stack ONLY x86 JSON "failed=1" "entries.2.status=failed" "entries.2.reason=left 1 value on the x87 stack" "entries.3.status=ok")
fault_row(mmx       FAULT mmx      ONLY x86 JSON "failed=1" "entries.6.status=failed" "entries.6.reason=left the MMX state.*" "entries.7.status=ok")
fault_row(mxcsr     FAULT mxcsr    ONLY x86 JSON "failed=1" "entries.10.status=failed" "entries.10.reason=left MXCSR changed.*" "entries.11.status=ok")
fault_row(seventh   FAULT seventh  ARGS ${seventh} JSON "failed=1" "entries.4.status=failed" "entries.4.reason=timed call [0-9]+ gave y\\[0\\] = .*" "entries.3.status=ok" "entries.5.status=ok")
fault_row(ctor_traps  FAULT ctor_traps  EXIT 0 ARGS --json --entries 0-3 ${run_fpu} ${fast} JSON "failed=0" "entries.3.status=ok" "entries.5.mmac_per_s=" "entries.5.ran=OFF")
fault_row(ctor_single FAULT ctor_single EXIT 0 ARGS --json --entries 0-5 ${run_fpu} ${fast} JSON "failed=0" "entries.1.status=ok" "entries.1.median_ns=[0-9.e+-]+")

# Each entry judged by its own rule: the most accurate answer is not the right one.
fault_row(seven_double FAULT seven_double JSON "failed=1" "entries.7.status=failed" "entries.7.reason=y\\[0\\] = .*, its rule gives .*" "entries.8.status=ok" "entries.9.status=ok")
fault_row(ten_double   FAULT ten_double   JSON "failed=1" "entries.10.status=failed" "entries.10.reason=y\\[0\\] = .*, its rule gives .*" "entries.11.status=ok")
# Figures that were not measured, and a contract broken only when timed.
fault_row(count_ignored    FAULT count_ignored    JSON "entries.1.status=failed" "entries.1.reason=its time does not grow with the count.*" ${others})
fault_row(memo             FAULT memo             JSON "entries.1.status=failed" "entries.1.reason=timed call [0-9]+ did not write y\\[0\\]" ${others})
fault_row(before_output    FAULT before_output    JSON "entries.1.status=failed" "entries.1.reason=wrote before its output block \\(float -8\\)" ${others})
fault_row(input_when_timed FAULT input_when_timed JSON "entries.1.status=failed" "entries.1.reason=changed its input block \\(float 0\\) \\(timed call [0-9]+\\)" ${others})
# An entry's process that attacks its answer or the host marks only itself.
fault_row(forged      FAULT forged      ONLY posix JSON "entries.1.status=failed" "entries.1.reason=y\\[0\\] = 0 \\(bits 0x00000000\\), its rule gives.*" ${others})
fault_row(stray_byte  FAULT stray_byte  ONLY posix JSON "entries.1.status=crashed" "entries.1.reason=answered nonsense.*" ${others})
fault_row(escapes     FAULT escapes     ERR "x1B.0.owned.x07" ${ok_others})
fault_row(descriptors FAULT descriptors ONLY posix ${ok_others})
fault_row(reach_host  FAULT reach_host  ONLY linux ${ok_others}) # as root: only the change of user keeps it out
fault_row(signal_host FAULT signal_host ONLY seccomp ${ok_others})
fault_row(end_host    FAULT end_host    ONLY windows ${ok_others})
fault_row(daemon      FAULT daemon      ONLY linux ${ok_others})
fault_row(read_tty    FAULT read_tty    ONLY posix TIMEOUT 20 ${ok_others})
# x86 only: under qemu-aarch64 the limit stops the emulator itself, and the
# entry hangs to its timeout instead of running out of memory.
fault_row(oom         FAULT oom         ONLY linux x86 JSON "entries.1.status=crashed" "entries.1.reason=ran out of memory" ${others})
# The module while loading and answering queries.
fault_row(ctor_fork   FAULT ctor_fork   ONLY posix EXIT 0 JSON "failed=0" "entries.1.status=ok")
fault_row(ctor_block  FAULT ctor_block  ONLY posix EXIT 0 JSON "failed=0" "entries.1.status=ok")
fault_row(hang_query  FAULT hang_query  EXIT 3 ARGS --json --timeout 3 ERR "did not return in time while asking the module" NOT_OUT ".")

# The outputs: a run that checked nothing is no success; an output that names
# an input or another output is refused before any work.
fault_row(nothing_ran FAULT none ARGS --entries 6-9 --check-only ONLY x86 OUT "No entry ran: .*--all" ERR "No entry ran: .*--all")
fault_row(export_twice FAULT none EXIT 2 ARGS --check-only --export-json ${CMAKE_CURRENT_BINARY_DIR}/twice --export-csv ${CMAKE_CURRENT_BINARY_DIR}/twice
  ERR "--export-csv .*twice is the output of --export-json" NOT_OUT ".")
fault_row(export_module FAULT none EXIT 2 ARGS --check-only --export-markdown ${stand_in} ERR "--export-markdown .* is the module" NOT_OUT ".")
fault_row(svg_stdout FAULT none EXIT 2 ONLY posix ARGS ${fast} --svg /dev/stdout ERR "--svg /dev/stdout is where standard output goes" NOT_OUT ".")
