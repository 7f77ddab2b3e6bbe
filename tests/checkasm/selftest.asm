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

; Body: esi coefficient row, edi input, ebp output, ebx row, ecx term,
; edx repetitions left.
%macro CTEMP_BODY 1
    mov edx, ARG_COUNT
%if %1 == F_ADVANCE
    mov ebp, ARG_OUTPUT
%endif
.repeat:
    mov esi, ARG_COEFFICIENTS
    mov edi, ARG_INPUT
%if %1 != F_ADVANCE
    mov ebp, ARG_OUTPUT
%endif
    xor ebx, ebx
.row:
    fldz                                ; sum = +0.0
%if %1 == F_ORDER
    mov ecx, INPUT_COUNT - 1
.term:
    fld dword [esi + ecx * 4]
    fmul dword [edi + ecx * 4]
    faddp st1, st0                      ; sum += p(i, j), j descending
    dec ecx
    jns .term
%else
    xor ecx, ecx
.term:
    fld dword [esi + ecx * 4]
    fmul dword [edi + ecx * 4]
    faddp st1, st0                      ; sum += p(i, j), j ascending
    inc ecx
    cmp ecx, INPUT_COUNT
    jb .term
%endif
%if %1 == F_UNWRITTEN
    cmp ebx, 5
    jne .store
    fstp st0
    jmp .stored
.store:
    fstp dword [ebp + ebx * 4]
.stored:
%else
    fstp dword [ebp + ebx * 4]          ; y[i] = sum rounded to single
%endif
    add esi, AOS_ROW_BYTES
    inc ebx
    cmp ebx, OUTPUT_COUNT
    jb .row
%if %1 == F_ADVANCE
    add ebp, 4
%endif
%if %1 == F_COUNT0
    dec edx
    jg .repeat
%else
    dec edx
    jnz .repeat
%endif

%if %1 == F_EBX
    mov dword [esp + 8], 0x0BADB0B5     ; the saved ebx
%elif %1 == F_ESI
    mov dword [esp + 4], 0x0BADB0B5
%elif %1 == F_EDI
    mov dword [esp + 0], 0x0BADB0B5
%elif %1 == F_EBP
    mov dword [esp + 12], 0x0BADB0B5
%elif %1 == F_CANARY
    mov dword [esp + 36], 0             ; above count, the last argument
%elif %1 == F_X87_LEFT
    fld1
%elif %1 == F_MMX
    pxor mm0, mm0
%elif %1 == F_STACK_FAULT
    fstp st0
%elif %1 == F_CW
    sub esp, 4
    fnstcw [esp]
    xor word [esp], 0x0100
    fldcw [esp]
    add esp, 4
%elif %1 == F_MXCSR
    sub esp, 4
    stmxcsr [esp]
    or dword [esp], 0x8000
    ldmxcsr [esp]
    add esp, 4
%elif %1 == F_DF
    std
%elif %1 == F_PAST
    fldz
    fstp dword [ebp + OUTPUT_COUNT * 4]
%elif %1 == F_BEFORE
    fldz
    fstp dword [ebp - 4]
%elif %1 == F_INPUT
    xor dword [edi + 8], 1
%elif %1 == F_COEFF
    xor dword [esi - 4], 1
%elif %1 == F_OVERREAD
    fld dword [esi]                     ; esi is one row past the last
    fstp st0
%elif %1 == F_UD2
    ud2
%endif
%endmacro

%macro CTEMP_KERNEL 2
KERNEL_BEGIN %1
    CTEMP_BODY %2
%if %2 == F_ESP
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
  %ifidn __OUTPUT_FORMAT__, elf32
    global selftestCount0:function hidden
selftestCount0:
  %else
    global _selftestCount0
_selftestCount0:
  %endif
    push ebp
    push ebx
    push esi
    push edi
    CTEMP_BODY F_COUNT0
    pop edi
    pop esi
    pop ebx
    pop ebp
    ret

; Single-precision chain per row, y[i] = (..(p0 + p1) + ..) + p35, in SSE
; scalar code: esi coefficient row, edi input, ebp output, ebx row, ecx term.
KERNEL_BEGIN selftestSseChain
    mov edx, ARG_COUNT
.repeat:
    mov esi, ARG_COEFFICIENTS
    mov edi, ARG_INPUT
    mov ebp, ARG_OUTPUT
    xor ebx, ebx
.row:
    movss xmm0, [esi]
    mulss xmm0, [edi]                   ; sum = p0
    mov ecx, 1
.term:
    movss xmm1, [esi + ecx * 4]
    mulss xmm1, [edi + ecx * 4]
    addss xmm0, xmm1                    ; sum += pj
    inc ecx
    cmp ecx, INPUT_COUNT
    jb .term
    movss [ebp + ebx * 4], xmm0
    add esi, AOS_ROW_BYTES
    inc ebx
    cmp ebx, OUTPUT_COUNT
    jb .row
    dec edx
    jnz .repeat
KERNEL_END

; The same chain in lane 0 of 3DNow! registers.
KERNEL_BEGIN selftest3DNowChain
    femms
    mov edx, ARG_COUNT
.repeat:
    mov esi, ARG_COEFFICIENTS
    mov edi, ARG_INPUT
    mov ebp, ARG_OUTPUT
    xor ebx, ebx
.row:
    movd mm0, [esi]
    movd mm1, [edi]
    pfmul mm0, mm1                      ; sum = p0
    mov ecx, 1
.term:
    movd mm1, [esi + ecx * 4]
    movd mm2, [edi + ecx * 4]
    pfmul mm1, mm2
    pfadd mm0, mm1                      ; sum += pj
    inc ecx
    cmp ecx, INPUT_COUNT
    jb .term
    movd [ebp + ebx * 4], mm0
    add esi, AOS_ROW_BYTES
    inc ebx
    cmp ebx, OUTPUT_COUNT
    jb .row
    dec edx
    jnz .repeat
    femms
KERNEL_END

; The SSE chain again, but every NaN result is replaced by the default NaN
; 0xFFC00000: a difference in NaN payloads alone, which the checker excuses
; for the SSE and 3DNow! families and for no other.
KERNEL_BEGIN selftestSseNanPayload
    mov edx, ARG_COUNT
.repeat:
    mov esi, ARG_COEFFICIENTS
    mov edi, ARG_INPUT
    mov ebp, ARG_OUTPUT
    xor ebx, ebx
.row:
    movss xmm0, [esi]
    mulss xmm0, [edi]
    mov ecx, 1
.term:
    movss xmm1, [esi + ecx * 4]
    mulss xmm1, [edi + ecx * 4]
    addss xmm0, xmm1
    inc ecx
    cmp ecx, INPUT_COUNT
    jb .term
    movss [ebp + ebx * 4], xmm0
    mov eax, [ebp + ebx * 4]
    and eax, 0x7FFFFFFF
    cmp eax, 0x7F800000
    jbe .stored
    mov dword [ebp + ebx * 4], 0xFFC00000
.stored:
    add esi, AOS_ROW_BYTES
    inc ebx
    cmp ebx, OUTPUT_COUNT
    jb .row
    dec edx
    jnz .repeat
KERNEL_END

; The 3DNow! chain with subnormal coefficients read as zero, as the
; processors of that family do: differences the checker excuses for 3DNow!.
KERNEL_BEGIN selftest3DNowFlush
    femms
    mov edx, ARG_COUNT
.repeat:
    mov esi, ARG_COEFFICIENTS
    mov edi, ARG_INPUT
    mov ebp, ARG_OUTPUT
    xor ebx, ebx
.row:
    movd mm0, [esi]
    movd mm1, [edi]
    pfmul mm0, mm1
    mov ecx, 1
.term:
    mov eax, [esi + ecx * 4]
    test eax, 0x7F800000
    jnz .normal
    and eax, 0x80000000                 ; subnormal: signed zero
.normal:
    movd mm1, eax
    movd mm2, [edi + ecx * 4]
    pfmul mm1, mm2
    pfadd mm0, mm1
    inc ecx
    cmp ecx, INPUT_COUNT
    jb .term
    movd [ebp + ebx * 4], mm0
    add esi, AOS_ROW_BYTES
    inc ebx
    cmp ebx, OUTPUT_COUNT
    jb .row
    dec edx
    jnz .repeat
    femms
KERNEL_END

; int selftestStackFaultsFlagged(void): 1 when this x87 unit sets the stack
; fault flag on an underflow (hardware does; some emulators do not).
    section .text
  %ifidn __OUTPUT_FORMAT__, elf32
    global selftestStackFaultsFlagged:function hidden
selftestStackFaultsFlagged:
  %else
    global _selftestStackFaultsFlagged
_selftestStackFaultsFlagged:
  %endif
    sub esp, 4
    fnclex
    fstp st0                            ; the stack is empty: underflow
    fnstsw ax
    fnclex
    add esp, 4
    shr eax, 6
    and eax, 1
    ret
