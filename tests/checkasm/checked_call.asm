; The checked call: runs one kernel the way a caller would, and records what
; the caller would find broken afterwards. The checker (checkasm.cpp) reads
; the record in checkasm_state and turns every difference into its own
; failure text; this code only observes and never decides.
;
;   void checkasm_checked_call(EntryKernel kernel, const float* coefficients,
;                              const float* input, float* output, int32_t count);
;
; Before the call: the caller's stack is realigned and then skewed by 0 to 3
; words (the kernels may assume only 4-byte stack alignment, as a Win32 caller
; gives), eight canary words are planted just above the four arguments, the
; x87 exception flags are cleared, and ebx, esi, edi and ebp are loaded with
; the seeds from checkasm_state. After it: the four registers, esp, EFLAGS,
; the canaries, the x87 environment (FNSTENV: control, status and tag word)
; and, when asked, MXCSR are recorded. Then the x87 unit (and MXCSR) are put
; back as they were, so that a faulty kernel cannot upset the checker itself.
;
; The record lives at a fixed address, not on the stack: a kernel that returns
; with esp moved must not take the checker's bookkeeping with it.

%include "x86abi.inc"

%ifidn __OUTPUT_FORMAT__, win32
    %define SYM(x) _ %+ x
%else
    %define SYM(x) x
%endif

; Offsets in struct CheckedCallState (checkasm.h); the C++ side asserts them.
%define ST_SEED             0   ; 4 words in: ebx, esi, edi, ebp for the kernel
%define ST_AFTER           16   ; 4 words out: the same registers on return
%define ST_CANARY          32   ; in: canary k is ST_CANARY + k * CANARY_STEP
%define ST_SKEW            36   ; in: 0..3 extra words below the canaries
%define ST_USE_MXCSR       40   ; in: non-zero when the CPU has SSE
%define ST_MXCSR_BEFORE    44
%define ST_MXCSR_AFTER     48
%define ST_FPU_ENV         52   ; 7 words: FNSTENV image after the call
%define ST_CW_BEFORE       80
%define ST_ESP_EXPECTED    84   ; esp at the call instruction
%define ST_ESP_AFTER       88
%define ST_CANARIES_BAD    92   ; bit k: canary k changed
%define ST_EFLAGS_AFTER    96
%define ST_SAVED_ESP      100   ; the trampoline's own esp

%define CANARIES            8
%define CANARY_STEP         0x9E3779B9

extern SYM(checkasm_state)
%define STATE SYM(checkasm_state)

section .text

global SYM(checkasm_checked_call)
SYM(checkasm_checked_call):
    push ebp
    push ebx
    push esi
    push edi
    mov [STATE + ST_SAVED_ESP], esp
    mov esi, esp                        ; esi: arguments at esi + 20 ... + 36

    and esp, -16                        ; a known alignment, then the skew
    mov eax, [STATE + ST_SKEW]
    and eax, 3
    shl eax, 2
    sub esp, eax

    mov ecx, CANARIES - 1               ; canary k at esp + 16 + 4k after the pushes
.plant:
    imul edx, ecx, CANARY_STEP
    add edx, [STATE + ST_CANARY]
    push edx
    dec ecx
    jns .plant

    push dword [esi + 36]               ; count
    push dword [esi + 32]               ; output
    push dword [esi + 28]               ; input
    push dword [esi + 24]               ; coefficients
    mov eax, [esi + 20]                 ; the kernel
    mov [STATE + ST_ESP_EXPECTED], esp

    fnclex                              ; so that a stack fault flag is the kernel's
    mov dword [STATE + ST_CW_BEFORE], 0
    fnstcw [STATE + ST_CW_BEFORE]
    cmp dword [STATE + ST_USE_MXCSR], 0
    je .seed
    stmxcsr [STATE + ST_MXCSR_BEFORE]
.seed:
    mov ebx, [STATE + ST_SEED + 0]
    mov esi, [STATE + ST_SEED + 4]
    mov edi, [STATE + ST_SEED + 8]
    mov ebp, [STATE + ST_SEED + 12]

    call eax

    ; Registers first, then the canaries, both without touching the stack:
    ; esp may be wrong, and a push could land on a canary.
    mov [STATE + ST_AFTER + 0], ebx
    mov [STATE + ST_AFTER + 4], esi
    mov [STATE + ST_AFTER + 8], edi
    mov [STATE + ST_AFTER + 12], ebp
    mov [STATE + ST_ESP_AFTER], esp

    mov esi, [STATE + ST_ESP_EXPECTED]
    add esi, 16                         ; first canary, above the four arguments
    xor ecx, ecx
    xor edi, edi                        ; edi: bit mask of changed canaries
.check:
    imul edx, ecx, CANARY_STEP
    add edx, [STATE + ST_CANARY]
    cmp edx, [esi + ecx * 4]
    je .next
    mov eax, 1
    shl eax, cl
    or edi, eax
.next:
    inc ecx
    cmp ecx, CANARIES
    jb .check
    mov [STATE + ST_CANARIES_BAD], edi

    mov esp, [STATE + ST_SAVED_ESP]     ; a stack of our own again
    pushfd                              ; nothing above has changed DF
    pop dword [STATE + ST_EFLAGS_AFTER]
    cld

    fnstenv [STATE + ST_FPU_ENV]        ; control, status and tag word as left
    cmp dword [STATE + ST_USE_MXCSR], 0
    je .restore
    stmxcsr [STATE + ST_MXCSR_AFTER]
.restore:
    call SYM(checkasm_restore_fpu)

    pop edi
    pop esi
    pop ebx
    pop ebp
    ret

; Empties the x87 register stack (leaving the MMX state too), clears its
; flags and puts back the control word and MXCSR recorded before the last
; checked call. Also called by the checker after a kernel crashed.
global SYM(checkasm_restore_fpu)
SYM(checkasm_restore_fpu):
    fninit
    fldcw [STATE + ST_CW_BEFORE]
    cmp dword [STATE + ST_USE_MXCSR], 0
    je .done
    ldmxcsr [STATE + ST_MXCSR_BEFORE]
.done:
    ret
