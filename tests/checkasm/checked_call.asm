; The checked call: runs one kernel the way a caller would, and records what
; the caller would find broken afterwards. The checker (call.cpp) reads
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
; That is the x86-32 trampoline; the x86-64 one (System V) below does the
; same with rbx, rbp and r12 to r15, a 16-byte-aligned stack and the
; canaries above the return address.
;
; The record lives at a fixed address, not on the stack: a kernel that returns
; with esp moved must not take the checker's bookkeeping with it.

%include "x86abi.inc"

%define SYM(x) CNAME(x)

; Offsets in struct CheckedCallState (checkasm.h); the C++ side asserts them.
; Word-sized fields first: SAVED registers of PTR_BYTES each, twice, then
; three stack pointers; 32-bit fields after them.
%if CIRCUIT_X86_64
    %define SAVED 6                 ; rbx, rbp, r12, r13, r14, r15
%else
    %define SAVED 4                 ; ebx, esi, edi, ebp
%endif
%define ST_SEED             0                          ; in: for the kernel
%define ST_AFTER           (SAVED * PTR_BYTES)         ; out: the same on return
%define ST_ESP_EXPECTED    (2 * SAVED * PTR_BYTES)     ; stack pointer at the call
%define ST_ESP_AFTER       (ST_ESP_EXPECTED + PTR_BYTES)
%define ST_SAVED_ESP       (ST_ESP_EXPECTED + 2 * PTR_BYTES) ; the trampoline's own
%define ST_CANARY          (ST_ESP_EXPECTED + 3 * PTR_BYTES) ; in: canary k is ST_CANARY + k * CANARY_STEP
%define ST_SKEW            (ST_CANARY + 4)   ; in: skew of the kernel's stack
%define ST_USE_MXCSR       (ST_CANARY + 8)   ; in: non-zero when the CPU has SSE
%define ST_MXCSR_BEFORE    (ST_CANARY + 12)
%define ST_MXCSR_AFTER     (ST_CANARY + 16)
%define ST_FPU_ENV         (ST_CANARY + 20)  ; 7 words: FNSTENV image after the call
%define ST_CW_BEFORE       (ST_CANARY + 48)
%define ST_CANARIES_BAD    (ST_CANARY + 52)  ; bit k: canary k changed
%define ST_EFLAGS_AFTER    (ST_CANARY + 56)

%define CANARIES            8
%define CANARY_STEP         0x9E3779B9

extern SYM(checkasm_state)
%define STATE SYM(checkasm_state)

section .text

; The steps both trampolines share.

; Before the call: the x87 exception flags cleared (so that a stack fault
; flag is the kernel's), the x87 control word and, when asked, MXCSR.
%macro RECORD_BEFORE 0
    fnclex
    mov dword [STATE + ST_CW_BEFORE], 0
    fnstcw [STATE + ST_CW_BEFORE]
    cmp dword [STATE + ST_USE_MXCSR], 0
    je %%done
    stmxcsr [STATE + ST_MXCSR_BEFORE]
%%done:
%endmacro

; After the call, without touching the stack: bit k of ST_CANARIES_BAD for
; canary k, the first at [%1] (%2: the index register, ecx at full width).
%macro CHECK_CANARIES 2
    xor ecx, ecx
    xor edi, edi                        ; edi: bit mask of changed canaries
%%check:
    imul edx, ecx, CANARY_STEP
    add edx, [STATE + ST_CANARY]
    cmp edx, [%1 + %2 * 4]
    je %%next
    mov eax, 1
    shl eax, cl
    or edi, eax
%%next:
    inc ecx
    cmp ecx, CANARIES
    jb %%check
    mov [STATE + ST_CANARIES_BAD], edi
%endmacro

; On the trampoline's own stack again: the x87 environment (control, status
; and tag word as left) and, when asked, MXCSR; then both put back.
%macro RECORD_AFTER 0
    fnstenv [STATE + ST_FPU_ENV]
    cmp dword [STATE + ST_USE_MXCSR], 0
    je %%restore
    stmxcsr [STATE + ST_MXCSR_AFTER]
%%restore:
    call SYM(checkasm_restore_fpu)
%endmacro

%if CIRCUIT_X86_64
; x86-64 (System V): the kernel in rdi, its four arguments in rsi, rdx, rcx
; and r8d. The kernel is called with rsp on a 16-byte boundary, as the ABI
; requires, skewed by 0 or 16 bytes; the eight canary words sit just above
; its return address, in the caller's frame it must not touch. rbx, rbp and
; r12 to r15 carry the seeds.

; The stack for the call: the ABI's alignment, then the skew, then the
; canaries (canary k at rsp + 4k); r9d holds the count meanwhile.
%macro PLANT_CANARIES 0
    and rsp, -16
    mov eax, [STATE + ST_SKEW]
    and eax, 1
    shl eax, 4
    sub rsp, rax
    sub rsp, 4 * CANARIES
    xor ecx, ecx
%%plant:
    imul r8d, ecx, CANARY_STEP
    add r8d, [STATE + ST_CANARY]
    mov [rsp + rcx * 4], r8d
    inc ecx
    cmp ecx, CANARIES
    jb %%plant
%endmacro

%macro SEED_SAVED 0
    mov rbx, [STATE + ST_SEED + 0]
    mov rbp, [STATE + ST_SEED + 8]
    mov r12, [STATE + ST_SEED + 16]
    mov r13, [STATE + ST_SEED + 24]
    mov r14, [STATE + ST_SEED + 32]
    mov r15, [STATE + ST_SEED + 40]
%endmacro

%macro RECORD_SAVED 0
    mov [STATE + ST_AFTER + 0], rbx
    mov [STATE + ST_AFTER + 8], rbp
    mov [STATE + ST_AFTER + 16], r12
    mov [STATE + ST_AFTER + 24], r13
    mov [STATE + ST_AFTER + 32], r14
    mov [STATE + ST_AFTER + 40], r15
%endmacro

global SYM(checkasm_checked_call)
SYM(checkasm_checked_call):
    push rbp
    push rbx
    push r12
    push r13
    push r14
    push r15
    mov [STATE + ST_SAVED_ESP], rsp
    mov r11, rdi                        ; the kernel
    mov rdi, rsi                        ; coefficients
    mov rsi, rdx                        ; input
    mov rdx, rcx                        ; output
    mov r9d, r8d                        ; count, until the plant loop is done
    PLANT_CANARIES
    mov ecx, r9d                        ; count
    mov [STATE + ST_ESP_EXPECTED], rsp
    RECORD_BEFORE
    SEED_SAVED

    call r11

    ; Registers first, then the canaries, both without touching the stack.
    RECORD_SAVED
    mov [STATE + ST_ESP_AFTER], rsp
    mov rsi, [STATE + ST_ESP_EXPECTED]  ; first canary
    CHECK_CANARIES rsi, rcx

    mov rsp, [STATE + ST_SAVED_ESP]     ; a stack of our own again
    pushfq                              ; nothing above has changed DF
    pop rax
    mov [STATE + ST_EFLAGS_AFTER], eax
    cld
    RECORD_AFTER

    pop r15
    pop r14
    pop r13
    pop r12
    pop rbx
    pop rbp
    ret

%else
; The stack for the call: a known alignment, then the skew of 0 to 3 words,
; then the canaries (canary k at esp + 16 + 4k once the arguments are pushed).
%macro PLANT_CANARIES 0
    and esp, -16
    mov eax, [STATE + ST_SKEW]
    and eax, 3
    shl eax, 2
    sub esp, eax
    mov ecx, CANARIES - 1
%%plant:
    imul edx, ecx, CANARY_STEP
    add edx, [STATE + ST_CANARY]
    push edx
    dec ecx
    jns %%plant
%endmacro

global SYM(checkasm_checked_call)
SYM(checkasm_checked_call):
    push ebp
    push ebx
    push esi
    push edi
    mov [STATE + ST_SAVED_ESP], esp
    mov esi, esp                        ; esi: arguments at esi + 20 ... + 36
    PLANT_CANARIES
    push dword [esi + 36]               ; count
    push dword [esi + 32]               ; output
    push dword [esi + 28]               ; input
    push dword [esi + 24]               ; coefficients
    mov eax, [esi + 20]                 ; the kernel
    mov [STATE + ST_ESP_EXPECTED], esp
    RECORD_BEFORE
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
    CHECK_CANARIES esi, ecx

    mov esp, [STATE + ST_SAVED_ESP]     ; a stack of our own again
    pushfd                              ; nothing above has changed DF
    pop dword [STATE + ST_EFLAGS_AFTER]
    cld
    RECORD_AFTER

    pop edi
    pop esi
    pop ebx
    pop ebp
    ret

%endif

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
