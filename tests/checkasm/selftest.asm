; Kernels for the checker's self-test only (never linked into the module).
; selftestOk computes entry 1's rule (a double-precision running sum per row,
; from +0.0, terms in ascending order, one rounding at the store), so its C++
; twin is portable::kernelCTemp. Every other kernel here is the same code with
; one deliberate fault, and the self-test proves that the checker names it.
; The chain kernels compute one single-precision running sum per row, started
; from the first product, with SSE and with 3DNow!.

%include "x86abi.inc"

%define F_NONE        0
%define F_ORDER       1   ; sums the terms in descending order
%define F_EBX         2   ; returns with ebx, esi, edi or ebp not restored
%define F_ESI         3
%define F_EDI         4
%define F_EBP         5
%define F_ESP         6   ; pops its arguments (ret 4)
%define F_CANARY      7   ; writes the stack word above its arguments
%define F_X87_LEFT    8   ; leaves a value on the x87 stack
%define F_MMX         9   ; uses MMX and returns without EMMS
%define F_STACK_FAULT 10  ; pops an empty x87 register
%define F_CW          11  ; changes the x87 precision control
%define F_MXCSR       12  ; sets flush-to-zero
%define F_DF          13  ; returns with the direction flag set
%define F_PAST        14  ; writes the float after the 18 outputs
%define F_BEFORE      15  ; writes the float before the outputs
%define F_ADVANCE     16  ; moves the output pointer on by one float per repetition
%define F_UNWRITTEN   17  ; never stores output 5
%define F_INPUT       18  ; flips a bit of the input block
%define F_COEFF       19  ; flips a bit of the coefficient block
%define F_OVERREAD    20  ; reads the float after the coefficient block
%define F_UD2         21  ; executes an undefined instruction
%define F_COUNT0      22  ; runs once for a count of 0 or less

; Where the faults above find the saved registers and the caller's frame,
; from the stack pointer of the kernel's body. On x86-64 the faults F_ESI and
; F_EDI clobber r12 and r15, callee-saved registers no kernel saves.
%if CIRCUIT_X86_64
    %define SAVED_AT HOME_BYTES
    %define SAVED_EBX 0
    %define SAVED_EBP 8
    %define CANARY_AT (HOME_BYTES + 16 + 8)   ; above the return address
%else
    %define SAVED_AT 0
    %define SAVED_EBX 8
    %define SAVED_EBP 12
    %define CANARY_AT 36                      ; above count, the last argument
%endif

; The loops: esi coefficient row, edi input, ebp output, ebx row, ecx term,
; edx repetitions left.
%macro CTEMP_LOOPS 1
    mov r2d, ARG_COUNT
%if %1 == F_ADVANCE
    mov r6, ARG_OUTPUT
%endif
.repeat:
    mov r4, ARG_COEFFICIENTS
    mov r5, ARG_INPUT
%if %1 != F_ADVANCE
    mov r6, ARG_OUTPUT
%endif
    xor r3d, r3d
.row:
    fldz                                ; sum = +0.0
%if %1 == F_ORDER
    mov r1d, INPUT_COUNT - 1
.term:
    fld dword [r4 + r1 * 4]
    fmul dword [r5 + r1 * 4]
    faddp st1, st0                      ; sum += p(i, j), j descending
    dec r1d
    jns .term
%else
    xor r1d, r1d
.term:
    fld dword [r4 + r1 * 4]
    fmul dword [r5 + r1 * 4]
    faddp st1, st0                      ; sum += p(i, j), j ascending
    inc r1d
    cmp r1d, INPUT_COUNT
    jb .term
%endif
%if %1 == F_UNWRITTEN
    cmp r3d, 5
    jne .store
    fstp st0
    jmp .stored
.store:
    fstp dword [r6 + r3 * 4]
.stored:
%else
    fstp dword [r6 + r3 * 4]          ; y[i] = sum rounded to single
%endif
    add r4, AOS_ROW_BYTES
    inc r3d
    cmp r3d, OUTPUT_COUNT
    jb .row
%if %1 == F_ADVANCE
    add r6, 4
%endif
%if %1 == F_COUNT0
    dec r2d
    jg .repeat
%else
    dec r2d
    jnz .repeat
%endif
%endmacro

; The kernel's one fault after the loops, if it is one planted there.
%macro CTEMP_FAULT 1
%if %1 == F_EBX
    mov dword [rsp + SAVED_AT + SAVED_EBX], 0x0BADB0B5 ; the saved ebx
%elif %1 == F_ESI && CIRCUIT_X86_64
    mov r12d, 0x0BADB0B5                ; callee-saved, never saved here
%elif %1 == F_ESI
    mov dword [rsp + 4], 0x0BADB0B5
%elif %1 == F_EDI && CIRCUIT_X86_64
    mov r15d, 0x0BADB0B5
%elif %1 == F_EDI
    mov dword [rsp + 0], 0x0BADB0B5
%elif %1 == F_EBP
    mov dword [rsp + SAVED_AT + SAVED_EBP], 0x0BADB0B5
%elif %1 == F_CANARY
    mov dword [rsp + CANARY_AT], 0      ; the caller's frame above the arguments
%elif %1 == F_X87_LEFT
    fld1
%elif %1 == F_MMX
    pxor mm0, mm0
%elif %1 == F_STACK_FAULT
    fstp st0
%elif %1 == F_CW
    sub rsp, 4
    fnstcw [rsp]
    xor word [rsp], 0x0100
    fldcw [rsp]
    add rsp, 4
%elif %1 == F_MXCSR
    sub rsp, 4
    stmxcsr [rsp]
    or dword [rsp], 0x8000
    ldmxcsr [rsp]
    add rsp, 4
%elif %1 == F_DF
    std
%elif %1 == F_PAST
    fldz
    fstp dword [r6 + OUTPUT_COUNT * 4]
%elif %1 == F_BEFORE
    fldz
    fstp dword [r6 - 4]
%elif %1 == F_INPUT
    xor dword [r5 + 8], 1
%elif %1 == F_COEFF
    xor dword [r4 - 4], 1
%elif %1 == F_OVERREAD
    fld dword [r4]                     ; esi is one row past the last
    fstp st0
%elif %1 == F_UD2
    ud2
%endif
%endmacro

; Body: entry 1's rule with the fault %1.
%macro CTEMP_BODY 1
    CTEMP_LOOPS %1
    CTEMP_FAULT %1
%endmacro

%macro CTEMP_KERNEL 2
KERNEL_BEGIN %1
    CTEMP_BODY %2
%if %2 == F_ESP && CIRCUIT_X86_64
.circuit_return:
    add rsp, HOME_BYTES
    pop rbx
    pop rbp
    ret 4
%elif %2 == F_ESP
.circuit_return:
    pop edi
    pop esi
    pop ebx
    pop ebp
    ret 4
%else
KERNEL_END
%endif
%endmacro

CTEMP_KERNEL selftestOk, F_NONE
CTEMP_KERNEL selftestOrder, F_ORDER
CTEMP_KERNEL selftestEbx, F_EBX
CTEMP_KERNEL selftestEsi, F_ESI
CTEMP_KERNEL selftestEdi, F_EDI
CTEMP_KERNEL selftestEbp, F_EBP
CTEMP_KERNEL selftestEsp, F_ESP
CTEMP_KERNEL selftestCanary, F_CANARY
CTEMP_KERNEL selftestX87Left, F_X87_LEFT
CTEMP_KERNEL selftestMmx, F_MMX
CTEMP_KERNEL selftestStackFault, F_STACK_FAULT
CTEMP_KERNEL selftestControlWord, F_CW
CTEMP_KERNEL selftestMxcsr, F_MXCSR
CTEMP_KERNEL selftestDirection, F_DF
CTEMP_KERNEL selftestPast, F_PAST
CTEMP_KERNEL selftestBefore, F_BEFORE
CTEMP_KERNEL selftestAdvance, F_ADVANCE
CTEMP_KERNEL selftestUnwritten, F_UNWRITTEN
CTEMP_KERNEL selftestInput, F_INPUT
CTEMP_KERNEL selftestCoefficients, F_COEFF
CTEMP_KERNEL selftestOverread, F_OVERREAD
CTEMP_KERNEL selftestUd2, F_UD2

; No count test at the top: runs once for a count of 0 or less.
    section .text
    align 16, nop
    GLOBAL_FUNCTION selftestCount0
  %if CIRCUIT_X86_64
    push rbp
    push rbx
    sub rsp, HOME_BYTES
    mov [rsp + 0], rdi
    mov [rsp + 8], rsi
    mov [rsp + 16], rdx
    mov [rsp + 24], rcx
    CTEMP_BODY F_COUNT0
    add rsp, HOME_BYTES
    pop rbx
    pop rbp
  %else
    push ebp
    push ebx
    push esi
    push edi
    CTEMP_BODY F_COUNT0
    pop edi
    pop esi
    pop ebx
    pop ebp
  %endif
    ret

; Single-precision chain per row, y[i] = (..(p0 + p1) + ..) + p35, in SSE
; scalar code: esi coefficient row, edi input, ebp output, ebx row, ecx term.
KERNEL_BEGIN selftestSseChain
    mov r2d, ARG_COUNT
.repeat:
    mov r4, ARG_COEFFICIENTS
    mov r5, ARG_INPUT
    mov r6, ARG_OUTPUT
    xor r3d, r3d
.row:
    movss xmm0, [r4]
    mulss xmm0, [r5]                   ; sum = p0
    mov r1d, 1
.term:
    movss xmm1, [r4 + r1 * 4]
    mulss xmm1, [r5 + r1 * 4]
    addss xmm0, xmm1                    ; sum += pj
    inc r1d
    cmp r1d, INPUT_COUNT
    jb .term
    movss [r6 + r3 * 4], xmm0
    add r4, AOS_ROW_BYTES
    inc r3d
    cmp r3d, OUTPUT_COUNT
    jb .row
    dec r2d
    jnz .repeat
KERNEL_END

; The SSE chain behind a faulty alignment test: it takes an "aligned path"
; (here one MOVAPS of the coefficient block) whenever the block is on an
; 8-byte boundary, so that a block 8 bytes past a 16-byte boundary faults.
KERNEL_BEGIN selftestSseAlign8
    mov r0, ARG_COEFFICIENTS
    test r0d, 7                         ; the fault: 16-byte alignment wants 15
    jnz .repeat_setup
    movaps xmm2, [r0]
.repeat_setup:
    mov r2d, ARG_COUNT
.repeat:
    mov r4, ARG_COEFFICIENTS
    mov r5, ARG_INPUT
    mov r6, ARG_OUTPUT
    xor r3d, r3d
.row:
    movss xmm0, [r4]
    mulss xmm0, [r5]
    mov r1d, 1
.term:
    movss xmm1, [r4 + r1 * 4]
    mulss xmm1, [r5 + r1 * 4]
    addss xmm0, xmm1
    inc r1d
    cmp r1d, INPUT_COUNT
    jb .term
    movss [r6 + r3 * 4], xmm0
    add r4, AOS_ROW_BYTES
    inc r3d
    cmp r3d, OUTPUT_COUNT
    jb .row
    dec r2d
    jnz .repeat
KERNEL_END

; The same chain in lane 0 of 3DNow! registers.
KERNEL_BEGIN selftest3DNowChain
    femms
    mov r2d, ARG_COUNT
.repeat:
    mov r4, ARG_COEFFICIENTS
    mov r5, ARG_INPUT
    mov r6, ARG_OUTPUT
    xor r3d, r3d
.row:
    movd mm0, [r4]
    movd mm1, [r5]
    pfmul mm0, mm1                      ; sum = p0
    mov r1d, 1
.term:
    movd mm1, [r4 + r1 * 4]
    movd mm2, [r5 + r1 * 4]
    pfmul mm1, mm2
    pfadd mm0, mm1                      ; sum += pj
    inc r1d
    cmp r1d, INPUT_COUNT
    jb .term
    movd [r6 + r3 * 4], mm0
    add r4, AOS_ROW_BYTES
    inc r3d
    cmp r3d, OUTPUT_COUNT
    jb .row
    dec r2d
    jnz .repeat
    femms
KERNEL_END

; The SSE chain again, but every NaN result is replaced by the default NaN
; 0xFFC00000: a difference in NaN payloads alone, which the checker excuses
; for the SSE and 3DNow! families and for no other.
KERNEL_BEGIN selftestSseNanPayload
    mov r2d, ARG_COUNT
.repeat:
    mov r4, ARG_COEFFICIENTS
    mov r5, ARG_INPUT
    mov r6, ARG_OUTPUT
    xor r3d, r3d
.row:
    movss xmm0, [r4]
    mulss xmm0, [r5]
    mov r1d, 1
.term:
    movss xmm1, [r4 + r1 * 4]
    mulss xmm1, [r5 + r1 * 4]
    addss xmm0, xmm1
    inc r1d
    cmp r1d, INPUT_COUNT
    jb .term
    movss [r6 + r3 * 4], xmm0
    mov r0d, [r6 + r3 * 4]
    and r0d, 0x7FFFFFFF
    cmp r0d, 0x7F800000
    jbe .stored
    mov dword [r6 + r3 * 4], -0x00400000       ; 0xFFC00000 as a signed immediate, for both word sizes
.stored:
    add r4, AOS_ROW_BYTES
    inc r3d
    cmp r3d, OUTPUT_COUNT
    jb .row
    dec r2d
    jnz .repeat
KERNEL_END

; The 3DNow! chain with subnormal coefficients read as zero, as the
; processors of that family do: differences the checker excuses for 3DNow!.
KERNEL_BEGIN selftest3DNowFlush
    femms
    mov r2d, ARG_COUNT
.repeat:
    mov r4, ARG_COEFFICIENTS
    mov r5, ARG_INPUT
    mov r6, ARG_OUTPUT
    xor r3d, r3d
.row:
    movd mm0, [r4]
    movd mm1, [r5]
    pfmul mm0, mm1
    mov r1d, 1
.term:
    mov r0d, [r4 + r1 * 4]
    test r0d, 0x7F800000
    jnz .normal
    and r0d, 0x80000000                 ; subnormal: signed zero
.normal:
    movd mm1, r0d
    movd mm2, [r5 + r1 * 4]
    pfmul mm1, mm2
    pfadd mm0, mm1
    inc r1d
    cmp r1d, INPUT_COUNT
    jb .term
    movd [r6 + r3 * 4], mm0
    add r4, AOS_ROW_BYTES
    inc r3d
    cmp r3d, OUTPUT_COUNT
    jb .row
    dec r2d
    jnz .repeat
    femms
KERNEL_END

; int selftestStackFaultsFlagged(void): 1 when this x87 unit sets the stack
; fault flag on an underflow (hardware does; some emulators do not).
    section .text
    GLOBAL_FUNCTION selftestStackFaultsFlagged
    sub rsp, 4
    fnclex
    fstp st0                            ; the stack is empty: underflow
    fnstsw ax
    fnclex
    add rsp, 4
    shr r0, 6
    and r0d, 1
    ret
