; Entries 10 and 11: the SOA product with SSE packed single-precision
; arithmetic, four lanes per instruction (C++ twin: kernels/sse.cpp).
;
; Both kernels keep one four-lane chain per output group v = 0 to 4 (outputs
; 4v to 4v + 3; group 4 holds outputs 16 and 17 and the pad results 18 and
; 19). A chain starts as its first product and adds the products of input
; groups 1 to 35 in ascending order, each MULPS and ADDPS rounding every lane
; to single precision:
;     y(v) = p(0,v) + p(1,v) + ... + p(35,v),   p(j,v) = c(j,v) * x(j)
; c(j,v) being coefficient group (j, v) (floats 20j + 4v to 20j + 4v + 3) and
; x(j) input group j (floats 4j to 4j + 3). The two kernels perform the same
; operations per lane and differ only in the order they issue them:
;   kernelSseSoa     two software-pipelined passes, chains 0-2 then 3-4;
;   kernelSseSoaOoo  one pass with all five chains, one input group per step.
;
; Notation in the comments: x(j) load of input group j; c(j,v) load of
; coefficient group (j, v); m(j,v) MULPS forming p(j,v) with the coefficients
; in a register; m*(j,v) the same with the coefficients read straight from
; memory; a(j,v) ADDPS of p(j,v) into chain v; s(v) store of output group v.
;
; Only MOVAPS, MULPS and ADDPS touch the SSE registers, and every memory
; operand is an aligned 16-byte access. MXCSR is neither read nor written:
; the arithmetic follows the caller's rounding and denormal settings.
;
; Blocks off a 16-byte boundary would fault, so each kernel tests the three
; pointers once at entry. Misaligned blocks are copied, with integer moves,
; to 16-byte-aligned copies on the stack, and the kernel calls itself on the
; copies and copies the 20 output floats back (MISALIGNED_COPY, beside the
; kernel and outside its repeat loop). The same SSE code then computes under
; the same MXCSR, so aligned and misaligned blocks give the same bits under
; every setting, and the repeat loop is the same for both.

%include "x86abi.inc"

; Pointers while a repetition runs: r4 the coefficient block, r3 the input
; block, r5 the output block; r6 counts the repetitions left.
%define COEF(j, v)  [r4 + ((j) * SOA_ROW_FLOATS + (v) * SOA_LANES) * 4]
%define INPUT(j)    [r3 + (j) * SOA_GROUP_BYTES]
%define OUTPUT(v)   [r5 + (v) * SOA_GROUP_BYTES]

; Chain v lives in xmm<v> in both kernels.
%define Y0 xmm0
%define Y1 xmm1
%define Y2 xmm2
%define Y3 xmm3
%define Y4 xmm4

; Entry checks, after KERNEL_BEGIN has returned for a count of 0 or less:
; misaligned blocks go to .misaligned; the aligned path loads the count.
%macro ENTRY_CHECKS 0
    mov     r0, ARG_COEFFICIENTS
    or      r0, ARG_INPUT
    or      r0, ARG_OUTPUT
    test    r0d, 15                       ; any pointer off a 16-byte boundary
    jnz     .misaligned
    mov     r6d, ARG_COUNT
%endmacro

; Head of the repeat loop, on a 32-byte boundary (one-byte NOPs before it).
; Every repetition starts again from the blocks the caller passed.
%macro REPEAT_HEAD 0
    align   32
.repeat:
    mov     r4, ARG_COEFFICIENTS
    mov     r3, ARG_INPUT
    mov     r5, ARG_OUTPUT
%endmacro

%macro REPEAT_TAIL 0
    dec     r6d
    jnz     .repeat
%endmacro

; The stack copies of MISALIGNED_COPY: coefficients, input, output, each on
; a 16-byte boundary (3536 bytes in all, less than a page, so no stack probe
; is needed on Windows).
%define COPY_INPUT   (INPUT_COUNT * SOA_ROW_BYTES)
%define COPY_OUTPUT  (COPY_INPUT + INPUT_COUNT * SOA_GROUP_BYTES)
%define COPY_BYTES   (COPY_OUTPUT + SOA_ROW_BYTES)

; .misaligned, placed after KERNEL_END of kernel %1 (whose saved registers
; are still on the stack): copies the blocks, calls %1 on the copies with the caller's
; count, copies the 20 output floats back and returns through KERNEL_END. Only
; i586 integer instructions; the direction flag is clear, as the calling
; convention guarantees.
%macro MISALIGNED_COPY 1
.misaligned:
    ALIGNED_FRAME COPY_BYTES, 16
    mov     r4, FRAME_ARG_COEFFICIENTS
    mov     r5, rsp
    mov     r1d, COPY_INPUT / 4
    rep movsd
    mov     r4, FRAME_ARG_INPUT
    lea     r5, [rsp + COPY_INPUT]
    mov     r1d, (COPY_OUTPUT - COPY_INPUT) / 4
    rep movsd
  %if CIRCUIT_X86_64
    mov     rdi, rsp                      ; the four arguments in their registers
    lea     rsi, [rsp + COPY_INPUT]
    lea     rdx, [rsp + COPY_OUTPUT]
    mov     ecx, FRAME_ARG_COUNT
    call    CNAME(%1)                     ; aligned now: the kernel's own path
  %else
    mov     r0, rsp
    push    FRAME_ARG_COUNT
    lea     r1, [r0 + COPY_OUTPUT]
    push    r1
    lea     r1, [r0 + COPY_INPUT]
    push    r1
    push    r0
    call    CNAME(%1)                     ; aligned now: the kernel's own path
    add     rsp, 16
  %endif
    lea     r4, [rsp + COPY_OUTPUT]
    mov     r5, FRAME_ARG_OUTPUT
    mov     r1d, SOA_ROW_FLOATS
    rep movsd
    ALIGNED_FRAME_END
    jmp     .circuit_return
%endmacro

; ---------------------------------------------------------------------------
; kernelSseSoa (entry 10): two passes over the input groups. Pass A carries
; chains 0 to 2 and stores them; pass B reads the input again for chains 3
; and 4. Both are software-pipelined: the input group of step j + 1 is loaded
; in the middle of step j, so its latency hides behind step j's multiplies.
;
; Input groups alternate between xmm5 (even j) and xmm6 (odd j). The product
; of the last chain of a pass is formed in place of its input group, whose
; last use it is, from memory coefficients (m*).
;
; Issue order of one repetition, by step j (the kernel shape check compares
; the built code with it):
; order kernelSseSoa
;   0       x(0) c(0,0) c(0,1) c(0,2) m(0,0) x(1) m(0,1)
;   1       c(1,0) m(0,2) c(1,1) m(1,0) x(2) m(1,1) a(1,0) m*(1,2) a(1,1)
;   2-34    c(j,0) a(j-1,2) c(j,1) m(j,0) x(j+1) m(j,1) a(j,0) m*(j,2) a(j,1)
;   35      c(35,0) a(34,2) c(35,1) m(35,0) m(35,1) a(35,0) m*(35,2) a(35,1)
;           s(0) a(35,2) s(1) s(2)
;   0       x(0) c(0,3) c(0,4) x(1) m(0,3) c(1,3) m(0,4)
;   1-34    m(j,3) x(j+1) a(j,3) m*(j,4) c(j+1,3) a(j,4)
;   35      m(35,3) a(35,3) m*(35,4) s(3) a(35,4) s(4)

; X_J: the register of input group %1; X_OTHER: that of groups %1 - 1 and %1 + 1.
%macro INPUT_REGISTERS 1
  %if ((%1) & 1) == 0
    %define X_J     xmm5
    %define X_OTHER xmm6
  %else
    %define X_J     xmm6
    %define X_OTHER xmm5
  %endif
%endmacro

; Pass A products of chains 0 and 1 (chains 3 and 4 are not live yet).
%define P0 xmm3
%define P1 xmm4
; Pass B product of chain 3.
%define P3 xmm7

KERNEL_BEGIN kernelSseSoa
    ENTRY_CHECKS
    REPEAT_HEAD

    ; Pass A, step 0: chains 0 to 2 start as their first products.
    INPUT_REGISTERS 0
    movaps  X_J, INPUT(0)                 ; x(0)
    movaps  Y0, COEF(0, 0)                ; c(0,0)
    movaps  Y1, COEF(0, 1)                ; c(0,1)
    movaps  Y2, COEF(0, 2)                ; c(0,2)
    mulps   Y0, X_J                       ; m(0,0): y0 = p(0,0)
    movaps  X_OTHER, INPUT(1)             ; x(1)
    mulps   Y1, X_J                       ; m(0,1): y1 = p(0,1)

    ; Pass A, step 1: chain 2's first product takes the place of a(0,2).
    INPUT_REGISTERS 1
    movaps  P0, COEF(1, 0)                ; c(1,0)
    mulps   Y2, X_OTHER                   ; m(0,2): y2 = p(0,2)
    movaps  P1, COEF(1, 1)                ; c(1,1)
    mulps   P0, X_J                       ; m(1,0): p(1,0)
    movaps  X_OTHER, INPUT(2)             ; x(2)
    mulps   P1, X_J                       ; m(1,1): p(1,1)
    addps   Y0, P0                        ; a(1,0): y0 = p(0,0) + p(1,0)
    mulps   X_J, COEF(1, 2)               ; m*(1,2): p(1,2)
    addps   Y1, P1                        ; a(1,1): y1 = p(0,1) + p(1,1)

    ; Pass A, steps 2 to 34. Chain 2's add of step j - 1 waits until step
    ; j's first coefficient load has issued.
%assign j 2
%rep 33
    INPUT_REGISTERS j
    movaps  P0, COEF(j, 0)                ; c(j,0)
    addps   Y2, X_OTHER                   ; a(j-1,2): y2 = p(0,2) + ... + p(j-1,2)
    movaps  P1, COEF(j, 1)                ; c(j,1)
    mulps   P0, X_J                       ; m(j,0): p(j,0)
    movaps  X_OTHER, INPUT(j + 1)         ; x(j+1)
    mulps   P1, X_J                       ; m(j,1): p(j,1)
    addps   Y0, P0                        ; a(j,0): y0 = p(0,0) + ... + p(j,0)
    mulps   X_J, COEF(j, 2)               ; m*(j,2): p(j,2)
    addps   Y1, P1                        ; a(j,1): y1 = p(0,1) + ... + p(j,1)
  %assign j j + 1
%endrep

    ; Pass A, step 35 and the stores of output groups 0 to 2.
    INPUT_REGISTERS 35
    movaps  P0, COEF(35, 0)               ; c(35,0)
    addps   Y2, X_OTHER                   ; a(34,2): y2 = p(0,2) + ... + p(34,2)
    movaps  P1, COEF(35, 1)               ; c(35,1)
    mulps   P0, X_J                       ; m(35,0): p(35,0)
    mulps   P1, X_J                       ; m(35,1): p(35,1)
    addps   Y0, P0                        ; a(35,0): y0 complete
    mulps   X_J, COEF(35, 2)              ; m*(35,2): p(35,2)
    addps   Y1, P1                        ; a(35,1): y1 complete
    movaps  OUTPUT(0), Y0                 ; s(0): outputs 0-3
    addps   Y2, X_J                       ; a(35,2): y2 complete
    movaps  OUTPUT(1), Y1                 ; s(1): outputs 4-7
    movaps  OUTPUT(2), Y2                 ; s(2): outputs 8-11

    ; Pass B, step 0: chains 3 and 4 start as their first products.
    INPUT_REGISTERS 0
    movaps  X_J, INPUT(0)                 ; x(0)
    movaps  Y3, COEF(0, 3)                ; c(0,3)
    movaps  Y4, COEF(0, 4)                ; c(0,4)
    movaps  X_OTHER, INPUT(1)             ; x(1)
    mulps   Y3, X_J                       ; m(0,3): y3 = p(0,3)
    movaps  P3, COEF(1, 3)                ; c(1,3)
    mulps   Y4, X_J                       ; m(0,4): y4 = p(0,4)

    ; Pass B, steps 1 to 34. The coefficients of step j + 1's chain 3 are
    ; loaded before step j's last add.
%assign j 1
%rep 34
    INPUT_REGISTERS j
    mulps   P3, X_J                       ; m(j,3): p(j,3)
    movaps  X_OTHER, INPUT(j + 1)         ; x(j+1)
    addps   Y3, P3                        ; a(j,3): y3 = p(0,3) + ... + p(j,3)
    mulps   X_J, COEF(j, 4)               ; m*(j,4): p(j,4)
    movaps  P3, COEF(j + 1, 3)            ; c(j+1,3)
    addps   Y4, X_J                       ; a(j,4): y4 = p(0,4) + ... + p(j,4)
  %assign j j + 1
%endrep

    ; Pass B, step 35 and the stores of output groups 3 and 4.
    INPUT_REGISTERS 35
    mulps   P3, X_J                       ; m(35,3): p(35,3)
    addps   Y3, P3                        ; a(35,3): y3 complete
    mulps   X_J, COEF(35, 4)              ; m*(35,4): p(35,4)
    movaps  OUTPUT(3), Y3                 ; s(3): outputs 12-15
    addps   Y4, X_J                       ; a(35,4): y4 complete
    movaps  OUTPUT(4), Y4                 ; s(4): outputs 16-17, pads 18-19

    REPEAT_TAIL
KERNEL_END
    MISALIGNED_COPY kernelSseSoa

; ---------------------------------------------------------------------------
; kernelSseSoaOoo (entry 11): one pass, five chains, one input group per
; step. A step's loads, multiplies and adds all issue before the next step's
; input group is loaded; within a step each chain's add follows the next
; chain's coefficient load. Overlap between steps is left to the processor.
;
; Step 0 loads input group 0 into chain 4's register, so that m*(0,4) leaves
; chain 4's first product there. From step 1 on the input group is in XIN,
; the products of chains 0 to 3 alternate between PA and PB, and chain 4's
; product is formed in place of the input group, its last use.
;
; Issue order of one repetition, by step j (checked like kernelSseSoa's):
; order kernelSseSoaOoo
;   0       x(0) c(0,0) m(0,0) c(0,1) m(0,1) c(0,2) m(0,2) c(0,3) m(0,3) m*(0,4)
;   1-35    x(j) c(j,0) m(j,0) c(j,1) a(j,0) m(j,1) c(j,2) a(j,1) m(j,2) c(j,3)
;           a(j,2) m(j,3) a(j,3) m*(j,4) a(j,4)
;   -       s(0) s(1) s(2) s(3) s(4)

%define XIN xmm5
%define PA  xmm6
%define PB  xmm7

KERNEL_BEGIN kernelSseSoaOoo
    ENTRY_CHECKS
    REPEAT_HEAD

    ; Step 0: all five chains start as their first products.
    movaps  Y4, INPUT(0)                  ; x(0)
    movaps  Y0, COEF(0, 0)                ; c(0,0)
    mulps   Y0, Y4                        ; m(0,0): y0 = p(0,0)
    movaps  Y1, COEF(0, 1)                ; c(0,1)
    mulps   Y1, Y4                        ; m(0,1): y1 = p(0,1)
    movaps  Y2, COEF(0, 2)                ; c(0,2)
    mulps   Y2, Y4                        ; m(0,2): y2 = p(0,2)
    movaps  Y3, COEF(0, 3)                ; c(0,3)
    mulps   Y3, Y4                        ; m(0,3): y3 = p(0,3)
    mulps   Y4, COEF(0, 4)                ; m*(0,4): y4 = p(0,4)

    ; Steps 1 to 35: y(v) = p(0,v) + ... + p(j,v) for every chain v.
%assign j 1
%rep 35
    movaps  XIN, INPUT(j)                 ; x(j)
    movaps  PA, COEF(j, 0)                ; c(j,0)
    mulps   PA, XIN                       ; m(j,0): p(j,0)
    movaps  PB, COEF(j, 1)                ; c(j,1)
    addps   Y0, PA                        ; a(j,0): y0 += p(j,0)
    mulps   PB, XIN                       ; m(j,1): p(j,1)
    movaps  PA, COEF(j, 2)                ; c(j,2)
    addps   Y1, PB                        ; a(j,1): y1 += p(j,1)
    mulps   PA, XIN                       ; m(j,2): p(j,2)
    movaps  PB, COEF(j, 3)                ; c(j,3)
    addps   Y2, PA                        ; a(j,2): y2 += p(j,2)
    mulps   PB, XIN                       ; m(j,3): p(j,3)
    addps   Y3, PB                        ; a(j,3): y3 += p(j,3)
    mulps   XIN, COEF(j, 4)               ; m*(j,4): p(j,4)
    addps   Y4, XIN                       ; a(j,4): y4 += p(j,4)
  %assign j j + 1
%endrep

    movaps  OUTPUT(0), Y0                 ; s(0): outputs 0-3
    movaps  OUTPUT(1), Y1                 ; s(1): outputs 4-7
    movaps  OUTPUT(2), Y2                 ; s(2): outputs 8-11
    movaps  OUTPUT(3), Y3                 ; s(3): outputs 12-15
    movaps  OUTPUT(4), Y4                 ; s(4): outputs 16-17, pads 18-19

    REPEAT_TAIL
KERNEL_END
    MISALIGNED_COPY kernelSseSoaOoo
