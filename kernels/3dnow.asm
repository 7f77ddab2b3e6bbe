; Entries 6 to 9: the 3DNow! kernels. Their C++ twins are in kernels/3dnow.cpp.
;
; Register model: an MMX register holds two single-precision floats, lane 0
; in its low half (the float at the lower address of an 8-byte access) and
; lane 1 in its high half. PFMUL and PFADD work lane by lane and round every
; result to single precision; PFACC a, b gives (a.0 + a.1, b.0 + b.1). The
; kernels execute FEMMS, MOVQ, MOVD, PXOR, PFMUL, PFADD and PFACC and nothing
; else of the x87/MMX/3DNow! sets: no x87 instruction, no EMMS. FEMMS is the
; first MMX-state instruction of each kernel and the last before it returns,
; so the x87 tags are empty on return.
;
; Every repetition reads the same blocks and rewrites the same 18 outputs; the
; repeat loop runs once before it tests the count (KERNEL_BEGIN has already
; returned for a count of 0 or less). Every memory operand is a running
; pointer plus a displacement that fits in a signed byte; the macros below
; track where each pointer stands while they generate the straight-line code
; and stop assembly if a displacement would not fit.
;
; Loop heads (.repeat, .block) start on 32-byte boundaries, padded with
; one-byte NOPs.
;
; Special values are the unit's own business: a 3DNow! unit may flush
; denormal operands and results to zero and does not produce IEEE infinities
; or NaNs, while the twins follow IEEE single precision throughout. The two
; give the same bits whenever every operand, product and partial sum is
; normal or zero, which is what the tests compare.

%include "x86abi.inc"

%define PAIR_BYTES 8                   ; one MOVQ: two floats

; Fails assembly unless %1 fits in a signed byte.
%macro CHECK_DISP8 1
  %if (%1) < -128 || (%1) > 127
    %error "displacement does not fit in a signed byte"
  %endif
%endmacro

;=============================================================================
; Entry 6, kernel3DNow: AOS layout, rows in groups of three.
;
; For a row group t (rows 3t, 3t+1, 3t+2) the accumulators S0, S1, S2 (mm0,
; mm1, mm2) start at +0.0 and collect, for column pair p = 0..17,
; (M[r][2p], M[r][2p+1]) * (x[2p], x[2p+1]): lane 0 the even columns (E),
; lane 1 the odd columns (O). PFACC then forms y[r] = E + O.
;
;   mm0..mm2  S0..S2            mm5, mm6  coefficient pairs of rows 3t, 3t+1
;   mm3, mm4  input pair, taking turns: pair p in mm3 for even p, mm4 for odd p
;   mm7       (x[2], x[3]), loaded once per call
;
;   r4, r5, r3  rows 3t, 3t+1, 3t+2, each 18 floats into its row
;   r6            the input, 18 floats in: pair p lies at 8p - 72
;   r2  output of the row group   r1  row groups left   r0  repeats left
;
; Issue order per column pair p < 17: M0 M1 A0 M2 A1 A2, with the loads of
; pair p + 1 in between; M2 takes row 3t+2's pair from memory and overwrites
; the input pair, whose register then receives pair p + 2.
;
; The same order in the notation of the other kernels, for row group 0 (j the
; column pair, v the row of the group, s(k) the store at output float k); the
; kernel shape check compares the built code with it:
; order kernel3DNow
;   -       x(0) c(0,0) c(0,1)
;   0       m(0,0) m(0,1) a(0,0) c(1,0) m*(0,2) a(0,1) c(1,1) a(0,2)
;   1-16    m(j,0) x(j+1) m(j,1) a(j,0) c(j+1,0) m*(j,2) a(j,1) c(j+1,1) a(j,2)
;   17      m(17,0) m(17,1) a(17,0) a(17,1) m*(17,2) a(17,2) h(0,1) h(2,2) s(0) s(2)
;=============================================================================

%define AOS_BIAS (INPUT_COUNT / 2 * 4)  ; 72: pointers stand 18 floats in

; Operand of column pair %2 through pointer %1.
%define AOS_PAIR(ptr, p) [ptr + PAIR_BYTES * (p) - AOS_BIAS]

; One column pair p = %1, 0 to 16, with the loads of pair p + 1.
%macro AOS_COLUMN_PAIR 1
  %if (%1) % 2 == 0
    %define PAIR_NOW mm3
    %define PAIR_NEXT mm4
  %else
    %define PAIR_NOW mm4
    %define PAIR_NEXT mm3
  %endif
    pfmul mm5, PAIR_NOW                     ; M[3t][2p, 2p+1] * (x[2p], x[2p+1])
  %if (%1) != 0                             ; pair 1 was copied from mm7 at the head
    movq  PAIR_NEXT, AOS_PAIR(r6, (%1) + 1) ; input pair p + 1
  %endif
    pfmul mm6, PAIR_NOW                     ; M[3t+1][2p, 2p+1] * pair p
    pfadd mm0, mm5                          ; S0 = (E, O) of row 3t through pair p
    movq  mm5, AOS_PAIR(r4, (%1) + 1)      ; M[3t][..] of pair p + 1
    pfmul PAIR_NOW, AOS_PAIR(r3, %1)       ; M[3t+2][2p, 2p+1] * pair p, over the pair
    pfadd mm1, mm6                          ; S1 = (E, O) of row 3t+1 through pair p
    movq  mm6, AOS_PAIR(r5, (%1) + 1)      ; M[3t+1][..] of pair p + 1
    pfadd mm2, PAIR_NOW                     ; S2 = (E, O) of row 3t+2 through pair p
%endmacro

KERNEL_BEGIN kernel3DNow
    femms
    mov   r0d, ARG_COUNT
    mov   r6, ARG_INPUT
    add   r6, AOS_BIAS
    movq  mm7, AOS_PAIR(r6, 1)             ; (x[2], x[3]) for the whole call
    align 32, ALIGN_FILL
.repeat:
    mov   r4, ARG_COEFFICIENTS
    add   r4, AOS_BIAS                     ; row 0
    lea   r5, [r4 + AOS_ROW_BYTES]        ; row 1
    lea   r3, [r4 + 2 * AOS_ROW_BYTES]    ; row 2
    mov   r2, ARG_OUTPUT
    mov   r1d, OUTPUT_COUNT / 3
    align 32, ALIGN_FILL
.block:
    pxor  mm0, mm0                          ; S0 = (+0.0, +0.0)
    pxor  mm1, mm1                          ; S1 = (+0.0, +0.0)
    pxor  mm2, mm2                          ; S2 = (+0.0, +0.0)
    movq  mm3, AOS_PAIR(r6, 0)             ; (x[0], x[1])
    movq  mm5, AOS_PAIR(r4, 0)             ; M[3t][0, 1]
    movq  mm6, AOS_PAIR(r5, 0)             ; M[3t+1][0, 1]
    movq  mm4, mm7                          ; (x[2], x[3]), copied, not loaded
  %assign p 0
  %rep INPUT_COUNT / 2 - 1
    AOS_COLUMN_PAIR p
    %assign p p + 1
  %endrep
    ; Column pair 17 (in mm4): the add to S1 moves ahead of the multiply for S2.
    pfmul mm5, mm4                          ; M[3t][34, 35] * (x[34], x[35])
    pfmul mm6, mm4                          ; M[3t+1][34, 35] * (x[34], x[35])
    pfadd mm0, mm5                          ; S0 = (E, O) of row 3t, complete
    pfadd mm1, mm6                          ; S1 = (E, O) of row 3t+1, complete
    pfmul mm4, AOS_PAIR(r3, 17)            ; M[3t+2][34, 35] * (x[34], x[35])
    pfadd mm2, mm4                          ; S2 = (E, O) of row 3t+2, complete
    pfacc mm0, mm1                          ; (y[3t], y[3t+1]) = (E + O, E + O)
    pfacc mm2, mm2                          ; lane 0: y[3t+2] = E + O
    movq  [r2], mm0                        ; y[3t], y[3t+1]
    movd  [r2 + 8], mm2                    ; y[3t+2]
    add   r4, 3 * AOS_ROW_BYTES            ; next row group
    add   r5, 3 * AOS_ROW_BYTES
    add   r3, 3 * AOS_ROW_BYTES
    add   r2, 3 * 4
    dec   r1d
    jnz   .block
    dec   r0d
    jnz   .repeat
    femms                                   ; leave the MMX state
KERNEL_END

;=============================================================================
; Helpers of the SOA kernels (entries 7, 8, 9).
;
; Coefficient pair k of row j (M[2k'][j], M[2k'+1][j], k' the block's pair k)
; is reached through one of two pointers, r4 and r5, standing three rows
; apart at rows SOA_ROW_A and SOA_ROW_B, each at the block's first pair. A
; pointer at row r reaches rows r - 1 to r + 1 (-80 to +96 bytes); once its
; last row is done it moves on by six rows, so the two take turns: r4 at
; rows 0, 6, 12, .., r5 at rows 3, 9, 15, ...
;=============================================================================

%macro SOA_COEF_START 0
  %assign SOA_ROW_A 0
  %assign SOA_ROW_B 3
%endmacro

; %1 %2, [coefficient pair %4 of row %3], e.g. SOA_COEF movq, mm5, j, 0.
%macro SOA_COEF 4
  %assign %%da (%3) - SOA_ROW_A
  %assign %%db (%3) - SOA_ROW_B
  %if %%da >= -1 && %%da <= 1
    CHECK_DISP8 %%da * SOA_ROW_BYTES + PAIR_BYTES * (%4)
    %1 %2, [r4 + %%da * SOA_ROW_BYTES + PAIR_BYTES * (%4)]
  %elif %%db >= -1 && %%db <= 1
    CHECK_DISP8 %%db * SOA_ROW_BYTES + PAIR_BYTES * (%4)
    %1 %2, [r5 + %%db * SOA_ROW_BYTES + PAIR_BYTES * (%4)]
  %else
    %error "coefficient row out of the pointers' reach"
  %endif
%endmacro

; Row %1 is done: the pointer whose last row it was moves on by six rows,
; unless no later row is left for it.
%macro SOA_COEF_DONE 1
  %if (%1) == SOA_ROW_A + 1 && SOA_ROW_A + 5 < INPUT_COUNT
    add   r4, 6 * SOA_ROW_BYTES
    %assign SOA_ROW_A SOA_ROW_A + 6
  %elif (%1) == SOA_ROW_B + 1 && SOA_ROW_B + 5 < INPUT_COUNT
    add   r5, 6 * SOA_ROW_BYTES
    %assign SOA_ROW_B SOA_ROW_B + 6
  %endif
%endmacro

;=============================================================================
; Entry 7, kernel3DNowSoa: SOA layout, three output blocks of six outputs.
;
; For output block b (outputs 6b .. 6b+5) the accumulators S0, S1, S2 (mm0,
; mm1, mm2) hold output pairs (6b, 6b+1), (6b+2, 6b+3), (6b+4, 6b+5). Each
; starts as the product for input 0 and adds the product for input j =
; 1..35 in turn; the multiplier is lanes 0 and 1 of input group j, so even
; outputs take lane 0 and odd outputs lane 1.
;
;   mm0..mm2  S0..S2       mm5, mm6  coefficient pairs of S0 and S1
;   mm3, mm4  multiplier, taking turns: input j in mm3 for odd j, mm4 for even j
;
;   r6  row 0 of the block's first pair (6b)   r4, r5  coefficient pointers
;   r3  input, at group SOA_GROUP (0, 16, 32: it reaches 8 groups back and 7 on)
;   r2  output of the block   r1  blocks left   r0  repeats left
;
; Issue order per input j >= 1: M0 M1 A0 M2 A1 A2, with the loads of input
; j + 1 in between; M2 takes S2's coefficient pair from memory and overwrites
; the multiplier, whose register then receives input j + 2.
;
; The same for output block 0, v the output pair (checked like kernel3DNow's):
; order kernel3DNowSoa
;   0       x(0) c(0,0) c(0,1) m(0,0) m(0,1) m*(0,2) x(1) c(1,0) c(1,1)
;   1-34    m(j,0) x(j+1) m(j,1) a(j,0) c(j+1,0) m*(j,2) a(j,1) c(j+1,1) a(j,2)
;   35      m(35,0) m(35,1) a(35,0) m*(35,2) a(35,1) a(35,2)
;   -       s(0) s(1) s(2)
;=============================================================================

; %1 %2, [lanes 0 and 1 of input group %3], moving r3 on by 16 groups when
; the group is beyond its reach.
%macro SOA7_INPUT 3
  %if (%3) - SOA_GROUP > 7
    add   r3, 16 * SOA_GROUP_BYTES
    %assign SOA_GROUP SOA_GROUP + 16
  %endif
    CHECK_DISP8 ((%3) - SOA_GROUP) * SOA_GROUP_BYTES
    %1 %2, [r3 + ((%3) - SOA_GROUP) * SOA_GROUP_BYTES]
%endmacro

; Input j = %1, 1 to 35, with the loads of input j + 1 (none after input 35).
%macro SOA7_INPUT_STEP 1
  %if (%1) % 2 == 1
    %define PAIR_NOW mm3
    %define PAIR_NEXT mm4
  %else
    %define PAIR_NOW mm4
    %define PAIR_NEXT mm3
  %endif
    pfmul mm5, PAIR_NOW                     ; (M[6b][j], M[6b+1][j]) * x[j]
  %if (%1) < INPUT_COUNT - 1
    SOA7_INPUT movq, PAIR_NEXT, (%1) + 1    ; x[j+1], lanes 0 and 1
  %endif
    pfmul mm6, PAIR_NOW                     ; (M[6b+2][j], M[6b+3][j]) * x[j]
    pfadd mm0, mm5                          ; S0 = y[6b], y[6b+1] through input j
  %if (%1) < INPUT_COUNT - 1
    SOA_COEF movq, mm5, (%1) + 1, 0         ; (M[6b][j+1], M[6b+1][j+1])
  %endif
    SOA_COEF pfmul, PAIR_NOW, %1, 2         ; (M[6b+4][j], M[6b+5][j]) * x[j], over x[j]
    pfadd mm1, mm6                          ; S1 = y[6b+2], y[6b+3] through input j
  %if (%1) < INPUT_COUNT - 1
    SOA_COEF movq, mm6, (%1) + 1, 1         ; (M[6b+2][j+1], M[6b+3][j+1])
  %endif
    pfadd mm2, PAIR_NOW                     ; S2 = y[6b+4], y[6b+5] through input j
    SOA_COEF_DONE %1
%endmacro

KERNEL_BEGIN kernel3DNowSoa
    femms
    mov   r0d, ARG_COUNT
    align 32, ALIGN_FILL
.repeat:
    mov   r6, ARG_COEFFICIENTS             ; block 0: pairs 0, 1, 2 of each row
    mov   r2, ARG_OUTPUT
    mov   r1d, OUTPUT_COUNT / 6
    align 32, ALIGN_FILL
.block:
    mov   r4, r6                          ; row 0
    lea   r5, [r6 + 3 * SOA_ROW_BYTES]    ; row 3
    mov   r3, ARG_INPUT                    ; group 0
  SOA_COEF_START
  %assign SOA_GROUP 0
    ; Input 0: the three products start the three chains.
    SOA7_INPUT movq, mm2, 0                 ; x[0], lanes 0 and 1
    SOA_COEF movq, mm0, 0, 0                ; (M[6b][0], M[6b+1][0])
    SOA_COEF movq, mm1, 0, 1                ; (M[6b+2][0], M[6b+3][0])
    pfmul mm0, mm2                          ; S0 = (M[6b][0], M[6b+1][0]) * x[0]
    pfmul mm1, mm2                          ; S1 = (M[6b+2][0], M[6b+3][0]) * x[0]
    SOA_COEF pfmul, mm2, 0, 2               ; S2 = (M[6b+4][0], M[6b+5][0]) * x[0]
    SOA7_INPUT movq, mm3, 1                 ; x[1]
    SOA_COEF movq, mm5, 1, 0                ; (M[6b][1], M[6b+1][1])
    SOA_COEF movq, mm6, 1, 1                ; (M[6b+2][1], M[6b+3][1])
  %assign j 1
  %rep INPUT_COUNT - 1
    SOA7_INPUT_STEP j
    %assign j j + 1
  %endrep
    movq  [r2], mm0                        ; y[6b], y[6b+1]
    movq  [r2 + 8], mm1                    ; y[6b+2], y[6b+3]
    movq  [r2 + 16], mm2                   ; y[6b+4], y[6b+5]
    add   r6, 3 * PAIR_BYTES               ; next block: six floats along the rows
    add   r2, 3 * PAIR_BYTES
    dec   r1d
    jnz   .block
    dec   r0d
    jnz   .repeat
    femms                                   ; leave the MMX state
KERNEL_END

;=============================================================================
; Entries 8 and 9, kernel3DNowSoaK6 and kernel3DNowSoaK7: entry 7's chains,
; scheduled. One repetition is straight-line code: the first output block
; (output pairs 0 to 4, outputs 0 to 9), then the second (pairs 5 to 8,
; outputs 10 to 17), each in 36 steps j = 0..35 that never overlap. Step j
; loads multiplier j (lanes 0 and 1 of input group j) and, for each output
; pair of the block, multiplies the coefficient pair by it and adds the
; product into the pair's accumulator; at step 0 the product becomes the
; accumulator. The block's last pair takes its coefficients as the memory
; operand of its PFMUL, which overwrites the multiplier.
;
; First block:  mm0..mm4 accumulators of pairs 0..4, mm5 multiplier,
;               mm6, mm7 working. Step 0: multiplier in mm4, pairs' products
;               straight into mm0..mm4.
; Second block: mm0..mm3 accumulators of pairs 5..8, mm4 multiplier,
;               mm5, mm6, mm7 working. Step 0: multiplier in mm3.
;
;   r1  coefficients   r4, r5  coefficient pointers, at the block's first pair
;   r3, r6  input pointers at groups 0 and 16; r3 moves to group 32 after
;             step 7 (each reaches 8 groups back and 7 on)
;   r2  output of the block   r0  repeats left
;
; Per repetition: 324 PFMUL (72 with a memory operand), 315 PFADD, 72
; multiplier loads, 252 coefficient-pair loads, 9 stores.
;=============================================================================

; movq %1, [lanes 0 and 1 of input group %2]
%macro SOA2_INPUT 2
  %assign %%d0 (%2) - SOA_GROUP
  %if %%d0 >= -8 && %%d0 <= 7
    movq  %1, [r3 + %%d0 * SOA_GROUP_BYTES]
  %elif (%2) - 16 >= -8 && (%2) - 16 <= 7
    movq  %1, [r6 + ((%2) - 16) * SOA_GROUP_BYTES]
  %else
    %error "input group out of the pointers' reach"
  %endif
%endmacro

; Between steps %1 and %1 + 1: r3 moves on by 32 groups after step 7, and a
; coefficient pointer whose rows are done moves on by six rows.
%macro SOA2_STEP_DONE 1
  %if (%1) == 7
    add   r3, 32 * SOA_GROUP_BYTES
    %assign SOA_GROUP 32
  %endif
    SOA_COEF_DONE %1
%endmacro

; Operations of step j = %1 by name; at step 0 every add is left out. The
; working register names WK_p and the multiplier MX are set per step.
%macro LOAD_X 0                            ; X: multiplier j into MX
    SOA2_INPUT MX, j
%endmacro
%macro LOADC 1                              ; Lp: coefficient pair p into WK_p
    SOA_COEF movq, WK_%1, j, (%1) - FIRST_PAIR
%endmacro
%macro MULC 1                               ; Mp: WK_p = coefficient pair * x[j]
    pfmul WK_%1, MX
%endmacro
%macro MULC_MEM 1                           ; Mp*: MX = coefficient pair * x[j]
    SOA_COEF pfmul, MX, j, (%1) - FIRST_PAIR
%endmacro
%macro ADDC 1                               ; Ap: y[2p], y[2p+1] through input j
  %if j > 0
    pfadd ACC_%1, WK_%1
  %endif
%endmacro

; Registers of the first block at step j (%1).
%macro FIRST_BLOCK_REGISTERS 1
  %define ACC_0 mm0
  %define ACC_1 mm1
  %define ACC_2 mm2
  %define ACC_3 mm3
  %define ACC_4 mm4
  %assign FIRST_PAIR 0
  %if (%1) == 0                             ; products become the accumulators
    %define MX mm4
    %define WK_0 mm0
    %define WK_1 mm1
    %define WK_2 mm2
    %define WK_3 mm3
  %else
    %define MX mm5
    %define WK_0 mm6
    %define WK_1 mm7
    %define WK_2 mm6
    %define WK_3 mm7
  %endif
  %define WK_4 MX                           ; pair 4's product lands on the multiplier
%endmacro

; Registers of the second block at step j (%1).
%macro SECOND_BLOCK_REGISTERS 1
  %define ACC_5 mm0
  %define ACC_6 mm1
  %define ACC_7 mm2
  %define ACC_8 mm3
  %assign FIRST_PAIR 5
  %if (%1) == 0
    %define MX mm3
    %define WK_5 mm0
    %define WK_6 mm1
    %define WK_7 mm2
  %else
    %define MX mm4
    %define WK_5 mm5
    %define WK_6 mm6
    %define WK_7 mm7
  %endif
  %define WK_8 MX
%endmacro

; K6 order, grouped by kind in batches (pairs 0-1, then 2-4; then 5-8), in
; the notation of entry 7 (x(j) is X, c(j,p) Lp, m(j,p) Mp, a(j,p) Ap):
; order kernel3DNowSoaK6
;   0       x(0) c(0,0) c(0,1) m(0,0) m(0,1) c(0,2) c(0,3) m(0,2) m(0,3) m*(0,4)
;   1-35    x(j) c(j,0) c(j,1) m(j,0) m(j,1) a(j,0) a(j,1) c(j,2) c(j,3) m(j,2)
;           m(j,3) m*(j,4) a(j,2) a(j,3) a(j,4)
;   -       s(0) s(1) s(2) s(3) s(4)
;   0       x(0) c(0,5) c(0,6) c(0,7) m(0,5) m(0,6) m(0,7) m*(0,8)
;   1-35    x(j) c(j,5) c(j,6) c(j,7) m(j,5) m(j,6) m(j,7) m*(j,8) a(j,5) a(j,6)
;           a(j,7) a(j,8)
;   -       s(5) s(6) s(7) s(8)
%macro K6_FIRST_STEP 0
    FIRST_BLOCK_REGISTERS j
    LOAD_X
    LOADC 0
    LOADC 1
    MULC 0
    MULC 1
    ADDC 0
    ADDC 1
    LOADC 2
    LOADC 3
    MULC 2
    MULC 3
    MULC_MEM 4
    ADDC 2
    ADDC 3
    ADDC 4
%endmacro
%macro K6_SECOND_STEP 0
    SECOND_BLOCK_REGISTERS j
    LOAD_X
    LOADC 5
    LOADC 6
    LOADC 7
    MULC 5
    MULC 6
    MULC 7
    MULC_MEM 8
    ADDC 5
    ADDC 6
    ADDC 7
    ADDC 8
%endmacro

; K7 order, staggered by one pair (each add one pair behind its multiply):
; order kernel3DNowSoaK7
;   0       x(0) c(0,0) m(0,0) c(0,1) m(0,1) c(0,2) m(0,2) c(0,3) m(0,3) m*(0,4)
;   1-35    x(j) c(j,0) m(j,0) c(j,1) a(j,0) m(j,1) c(j,2) a(j,1) m(j,2) c(j,3)
;           a(j,2) m(j,3) a(j,3) m*(j,4) a(j,4)
;   -       s(0) s(1) s(2) s(3) s(4)
;   0       x(0) c(0,5) m(0,5) c(0,6) m(0,6) c(0,7) m(0,7) m*(0,8)
;   1-35    x(j) c(j,5) m(j,5) c(j,6) a(j,5) m(j,6) c(j,7) a(j,6) m(j,7) a(j,7)
;           m*(j,8) a(j,8)
;   -       s(5) s(6) s(7) s(8)
; The working registers alternate so that a load never lands on a product
; whose add is still to come.
%macro K7_FIRST_STEP 0
    FIRST_BLOCK_REGISTERS j
    LOAD_X
    LOADC 0
    MULC 0
    LOADC 1
    ADDC 0
    MULC 1
    LOADC 2
    ADDC 1
    MULC 2
    LOADC 3
    ADDC 2
    MULC 3
    ADDC 3
    MULC_MEM 4
    ADDC 4
%endmacro
%macro K7_SECOND_STEP 0
    SECOND_BLOCK_REGISTERS j
    LOAD_X
    LOADC 5
    MULC 5
    LOADC 6
    ADDC 5
    MULC 6
    LOADC 7
    ADDC 6
    MULC 7
    ADDC 7
    MULC_MEM 8
    ADDC 8
%endmacro

; The whole kernel %1, with step macros %2 (first block) and %3 (second).
%macro SCHEDULED_SOA_KERNEL 3
KERNEL_BEGIN %1
    femms
    mov   r0d, ARG_COUNT                    ; read once
    align 32, ALIGN_FILL
.repeat:
    mov   r1, ARG_COEFFICIENTS
    mov   r3, ARG_INPUT                    ; group 0
    mov   r2, ARG_OUTPUT
    mov   r4, r1                          ; row 0, pair 0
    lea   r5, [r1 + 3 * SOA_ROW_BYTES]    ; row 3, pair 0
    lea   r6, [r3 + 16 * SOA_GROUP_BYTES] ; group 16
  SOA_COEF_START
  %assign SOA_GROUP 0
  %assign j 0
  %rep INPUT_COUNT
    %2
    SOA2_STEP_DONE j
    %assign j j + 1
  %endrep
    ; Store outputs 0 to 9, setting the pointers back for the second block.
    movq  [r2], mm0                        ; y[0], y[1]
    lea   r4, [r1 + 5 * PAIR_BYTES]       ; row 0, pair 5
    movq  [r2 + 8], mm1                    ; y[2], y[3]
    lea   r5, [r1 + 3 * SOA_ROW_BYTES + 5 * PAIR_BYTES] ; row 3, pair 5
    movq  [r2 + 16], mm2                   ; y[4], y[5]
    mov   r3, ARG_INPUT                    ; group 0
    movq  [r2 + 24], mm3                   ; y[6], y[7]
    movq  [r2 + 32], mm4                   ; y[8], y[9]
    add   r2, 10 * 4                       ; output 10
  SOA_COEF_START
  %assign SOA_GROUP 0
  %assign j 0
  %rep INPUT_COUNT
    %3
    SOA2_STEP_DONE j
    %assign j j + 1
  %endrep
    dec   r0d
    movq  [r2], mm0                        ; y[10], y[11]
    movq  [r2 + 8], mm1                    ; y[12], y[13]
    movq  [r2 + 16], mm2                   ; y[14], y[15]
    movq  [r2 + 24], mm3                   ; y[16], y[17]
    jnz   .repeat
    femms                                   ; leave the MMX state
KERNEL_END
%endmacro

SCHEDULED_SOA_KERNEL kernel3DNowSoaK6, K6_FIRST_STEP, K6_SECOND_STEP
SCHEDULED_SOA_KERNEL kernel3DNowSoaK7, K7_FIRST_STEP, K7_SECOND_STEP
