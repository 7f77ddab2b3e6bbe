; Entries 12 and 13: the product in 16-bit fixed point with MMX.
;
; Each call: the x87 unit converts the input (Q15) and the coefficients (Q10)
; to words with FMUL and FISTP (rounding in the mode in force); the MMX
; multiply-accumulate runs `count` times over those words; EMMS; the x87 unit
; converts the 18 results (Q9) back with FILD, FMUL and FSTP. Only the
; multiply-accumulate is repeated. PMULHW keeps the upper half of each 32-bit
; product (rounded toward minus infinity) and PADDW wraps modulo 2^16.
;
; The words live in scratch on the kernel's own stack, aligned to 32 bytes
; here whatever the caller's alignment, so calls on different threads do not
; share anything. Every float is read before the first output is written.
; The x87 stack is empty on entry to the MMX phase and on return; the control
; word is never touched.
%include "x86abi.inc"

; Conversion factors (single precision, powers of two: every FMUL by them is
; exact).
%define INPUT_SCALE  __float32__(32768.0)     ; input -> Q15
%define COEFF_SCALE  __float32__(1024.0)      ; coefficient -> Q10
%define OUTPUT_SCALE __float32__(0.001953125) ; Q9 result -> float, 2^16 / (2^15 * 2^10)

%define AOS_ROW_WORD_BYTES (INPUT_COUNT * 2)    ; one row of coefficient words, entry 12
%define SOA_ROW_WORD_BYTES (SOA_ROW_FLOATS * 2) ; one row of coefficient words, entry 13
%define SOA_GROUP_WORD_BYTES (SOA_LANES * 2)    ; one group of input words, entry 13

%if OUTPUT_COUNT != 18 || INPUT_COUNT != 36 || SOA_ROW_FLOATS != 20 || SOA_LANES != 4
    %error "the MMX kernels are written for 18 x 36 and four-lane groups"
%endif

; Rounds %1 up to a multiple of 32.
%define UP32(n) (((n) + 31) & ~31)

; Converts %2 floats at [%1] to words at [rsp + %3], ascending: each float is
; multiplied by the factor %5 (exact: a power of two) and stored with FISTP,
; which rounds in the mode in force and stores 0x8000 for anything out of
; range, NaN or infinite. [rsp + %4] is a float slot for the factor. Uses r1;
; the x87 stack is empty before and after.
%macro TO_WORDS 5
    mov dword [rsp + %4], %5
    fld dword [rsp + %4]                                 ; st0 = factor
    xor r1d, r1d
%%next:
    fld dword [%1 + 4*r1]                               ; float n
    fmul st0, st1                                        ; float n * factor, exact
    fistp word [rsp + %3 + 2*r1]                        ; word n
    inc r1d
    cmp r1d, %2
    jb %%next
    fstp st0                                             ; x87 stack empty
%endmacro

; Writes outputs 0..17 = result word / 512 from the words at [rsp + %1] to
; [r2]; [rsp + %2] is a float slot for the factor. Uses r1; the x87 stack is
; empty before and after.
%macro TO_FLOATS 2
    mov dword [rsp + %2], OUTPUT_SCALE
    fld dword [rsp + %2]                                 ; st0 = OUTPUT_SCALE
    xor r1d, r1d
%%next:
    fild word [rsp + %1 + 2*r1]                         ; result word i
    fmul st0, st1                                        ; word / 512, exact
    fstp dword [r2 + 4*r1]                             ; output[i]
    inc r1d
    cmp r1d, OUTPUT_COUNT
    jb %%next
    fstp st0                                             ; x87 stack empty on return
%endmacro

; ---------------------------------------------------------------------------
; void kernelMmxFixed(const float* coefficients, const float* input,
;                     float* output, int32_t count)      entry 12, AOS
;
; Scratch, from rsp (32-byte aligned), each array on a 32-byte boundary:
%define F12_COEF   0                                        ; 648 coefficient words, row i at 36i
%define F12_INPUT  (F12_COEF + UP32(AOS_COEFFICIENT_WORDS * 2)) ; 36 input words
%define F12_RESULT (F12_INPUT + UP32(INPUT_COUNT * 2))       ; 18 result words (+2 spare)
%define F12_SCALE  (F12_RESULT + UP32(SOA_ROW_FLOATS * 2))   ; one float: the factor in use
%define F12_BYTES  (F12_SCALE + 32)
%define AOS_COEFFICIENT_WORDS (OUTPUT_COUNT * INPUT_COUNT)

; One step t of a row group: input words 4t..4t+3 against words 4t..4t+3 of
; the group's three rows; the three PMULHW go before the three PADDW.
%macro MAC12_STEP 1
    movq mm3, [rsp + F12_INPUT + 8*%1]                   ; X = input words 4t..4t+3
    movq mm4, [r4 + 8*%1]                               ; row 3g, words 4t..4t+3
    movq mm5, [r4 + AOS_ROW_WORD_BYTES + 8*%1]          ; row 3g+1
    movq mm6, [r4 + 2*AOS_ROW_WORD_BYTES + 8*%1]        ; row 3g+2
    pmulhw mm4, mm3                                      ; P0 = row 3g (x) X, upper halves
    pmulhw mm5, mm3                                      ; P1 = row 3g+1 (x) X
    pmulhw mm6, mm3                                      ; P2 = row 3g+2 (x) X
    paddw mm0, mm4                                       ; S0 += P0, lane k: columns k, k+4, ..
    paddw mm1, mm5                                       ; S1 += P1
    paddw mm2, mm6                                       ; S2 += P2
%endmacro

; Issue order of row group 0, by step t (j below): x(j) loads input words
; 4t..4t+3, c(j,v) row v's words of them, m(j,v) the PMULHW, a(j,v) the PADDW
; into S_v; then the horizontal sums, u(...) an unpack and h(...) a PADDW of
; the sums named, s(k) the store at result word k. The kernel shape check
; compares the built code with it:
; order kernelMmxFixed
;   0-8     x(j) c(j,0) c(j,1) c(j,2) m(j,0) m(j,1) m(j,2) a(j,0) a(j,1) a(j,2)
;   -       u(0,2) u(0,2) h(0,2) u(0,2) h(0,2) u(1) u(1) h(1) u(1) h(1)
;           u(0,1,2) s(0) u(0,1,2) s(2)
KERNEL_BEGIN kernelMmxFixed, 32
    mov r4, ARG_INPUT
    mov r3, ARG_COEFFICIENTS
    ALIGNED_FRAME F12_BYTES, 32

    ; Input words 0..35, then coefficient words 0..647, ascending.
    TO_WORDS r4, INPUT_COUNT, F12_INPUT, F12_SCALE, INPUT_SCALE
    TO_WORDS r3, AOS_COEFFICIENT_WORDS, F12_COEF, F12_SCALE, COEFF_SCALE

    mov r0d, FRAME_ARG_COUNT                             ; repetitions, >= 1
    pxor mm7, mm7                                        ; Z = 0, for the horizontal sums
    align 32, ALIGN_FILL
.repeat:
    lea r4, [rsp + F12_COEF]                            ; row group 0: rows 0, 1, 2
    lea r5, [rsp + F12_RESULT]                          ; result words 0, 1, 2
    mov r1d, OUTPUT_COUNT / 3                            ; six row groups
.rows:
    pxor mm0, mm0                                        ; S0 = 0 (row 3g)
    pxor mm1, mm1                                        ; S1 = 0 (row 3g+1)
    pxor mm2, mm2                                        ; S2 = 0 (row 3g+2)
%assign t 0
%rep INPUT_COUNT / 4
    MAC12_STEP t                                         ; t = 0..8 ascending
%assign t t+1
%endrep
    ; Horizontal sums, lanes l0..l3 of an accumulator as (l3 + l1) + (l2 + l0);
    ; S0 (lanes a) and S2 (lanes c) side by side, S1 (lanes b) against Z.
    movq mm3, mm0
    punpcklwd mm3, mm2                                   ; a0 c0 a1 c1
    punpckhwd mm0, mm2                                   ; a2 c2 a3 c3
    paddw mm3, mm0                                       ; a2+a0 c2+c0 a3+a1 c3+c1
    movq mm4, mm3
    punpckhdq mm4, mm7                                   ; a3+a1 c3+c1 0 0
    paddw mm4, mm3                                       ; sum(S0) sum(S2) a3+a1 c3+c1
    movq mm5, mm1
    punpcklwd mm5, mm7                                   ; b0 0 b1 0
    punpckhwd mm1, mm7                                   ; b2 0 b3 0
    paddw mm5, mm1                                       ; b2+b0 0 b3+b1 0
    movq mm6, mm5
    punpckhdq mm6, mm7                                   ; b3+b1 0 0 0
    paddw mm6, mm5                                       ; sum(S1) 0 b3+b1 0
    punpcklwd mm4, mm6                                   ; sum(S0) sum(S1) sum(S2) 0
    movd [r5], mm4                                      ; result words 3g, 3g+1
    punpckhdq mm4, mm7                                   ; sum(S2) 0 0 0
    movd [r5 + 4], mm4                                  ; result word 3g+2 (3g+3 is rewritten next)
    add r4, 3 * AOS_ROW_WORD_BYTES                      ; next row group
    add r5, 3 * 2
    dec r1d
    jnz .rows
    dec r0d
    jnz .repeat
    emms                                                 ; leave the MMX state before the x87 work

    ; Outputs 0..17 = result word / 512, written only now.
    mov r2, FRAME_ARG_OUTPUT
    TO_FLOATS F12_RESULT, F12_SCALE
    ALIGNED_FRAME_END
KERNEL_END

; ---------------------------------------------------------------------------
; void kernelMmxFixedSoa(const float* coefficients, const float* input,
;                        float* output, int32_t count)   entry 13, SOA
;
; Scratch, from rsp (32-byte aligned), each array on a 32-byte boundary:
%define F13_COEF   0                                         ; 720 coefficient words, row j at 20j
%define F13_INPUT  (F13_COEF + UP32(SOA_COEFFICIENT_WORDS * 2)) ; 144 input words, group j at 4j
%define F13_RESULT (F13_INPUT + UP32(SOA_INPUT_WORDS * 2))   ; 20 result words
%define F13_SCALE  (F13_RESULT + UP32(SOA_ROW_FLOATS * 2))   ; one float: the factor in use
%define F13_BYTES  (F13_SCALE + 32)
%define SOA_COEFFICIENT_WORDS (INPUT_COUNT * SOA_ROW_FLOATS)
%define SOA_INPUT_WORDS (INPUT_COUNT * SOA_LANES)

; Issue order of one pass of the group loop (input group j = 0; every pass
; runs the same code), in entry 12's notation with v the result vector R_v,
; then the stores; checked like entry 12's:
; order kernelMmxFixedSoa
;   0       x(0) c(0,0) c(0,1) m(0,0) m(0,1) a(0,0) a(0,1) c(0,2) m(0,2) a(0,2)
;           c(0,3) m(0,3) a(0,3) c(0,4) m(0,4) a(0,4)
;   -       s(0) s(1) s(2) s(3) s(4)
KERNEL_BEGIN kernelMmxFixedSoa, 32
    mov r4, ARG_INPUT
    mov r3, ARG_COEFFICIENTS
    ALIGNED_FRAME F13_BYTES, 32

    ; Input words 0..143 (every lane), then coefficient words 0..719 (pads
    ; included), ascending.
    TO_WORDS r4, SOA_INPUT_WORDS, F13_INPUT, F13_SCALE, INPUT_SCALE
    TO_WORDS r3, SOA_COEFFICIENT_WORDS, F13_COEF, F13_SCALE, COEFF_SCALE

    mov r0d, FRAME_ARG_COUNT                             ; repetitions, >= 1
    align 32, ALIGN_FILL
.repeat:
    pxor mm0, mm0                                        ; R0 = 0, results 0..3
    pxor mm1, mm1                                        ; R1 = 0, results 4..7
    pxor mm2, mm2                                        ; R2 = 0, results 8..11
    pxor mm3, mm3                                        ; R3 = 0, results 12..15
    pxor mm4, mm4                                        ; R4 = 0, results 16..19
    lea r4, [rsp + F13_COEF]                            ; coefficient row 0
    lea r5, [rsp + F13_INPUT]                           ; input group 0
    mov r1d, INPUT_COUNT                                 ; 36 input groups
    align 32, ALIGN_FILL
.group:
    movq mm5, [r5]                                      ; X = group j, lanes 0..3
    movq mm6, [r4]                                      ; words 20j+0..3
    movq mm7, [r4 + 8]                                  ; words 20j+4..7
    pmulhw mm6, mm5                                      ; products for results 0..3
    pmulhw mm7, mm5                                      ; products for results 4..7
    paddw mm0, mm6                                       ; R0 += row j (x) X
    paddw mm1, mm7                                       ; R1 += row j (x) X
    movq mm6, [r4 + 16]                                 ; words 20j+8..11
    pmulhw mm6, mm5                                      ; products for results 8..11
    paddw mm2, mm6                                       ; R2 += row j (x) X
    movq mm7, [r4 + 24]                                 ; words 20j+12..15
    pmulhw mm7, mm5                                      ; products for results 12..15
    paddw mm3, mm7                                       ; R3 += row j (x) X
    movq mm6, [r4 + 32]                                 ; words 20j+16..19 (18, 19: pads)
    pmulhw mm6, mm5                                      ; products for results 16..19
    paddw mm4, mm6                                       ; R4 += row j (x) X
    add r4, SOA_ROW_WORD_BYTES                          ; next coefficient row
    add r5, SOA_GROUP_WORD_BYTES                        ; next input group
    dec r1d
    jnz .group
    movq [rsp + F13_RESULT], mm0                         ; result words 0..3
    movq [rsp + F13_RESULT + 8], mm1                     ; result words 4..7
    movq [rsp + F13_RESULT + 16], mm2                    ; result words 8..11
    movq [rsp + F13_RESULT + 24], mm3                    ; result words 12..15
    movq [rsp + F13_RESULT + 32], mm4                    ; result words 16..19 (18, 19 stay here)
    dec r0d
    jnz .repeat
    emms                                                 ; leave the MMX state before the x87 work

    ; Outputs 0..17 = result word / 512, written only now; 18 and 19 never.
    mov r2, FRAME_ARG_OUTPUT
    TO_FLOATS F13_RESULT, F13_SCALE
    ALIGNED_FRAME_END
KERNEL_END
