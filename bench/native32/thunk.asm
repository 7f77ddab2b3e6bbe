; Switch from 64-bit mode into 32-bit compatibility mode, call a 32-bit
; function there, and come back. Assembled as a flat binary, position
; independent, and copied by compat32_probe into memory below 4 GB.
;
; offset 0: uint64_t call32(uint32_t function [edi], uint32_t stack [esi],
;                           uint32_t selector [edx])   (System V, 64-bit)
;   `stack` is the 32-bit stack pointer, pointing at the 32-bit function's
;   arguments; `selector` the 32-bit code segment (0x23 on Linux x86-64).
;   Returns edx:eax of the 32-bit function.
; offset ANSWER_OFFSET (a table entry at offset 8): a 32-bit function that
;   returns 42.
bits 64
    jmp short call32
    align 8
answer_offset: dd answer           ; read by the probe
    align 16
call32:
    push rbx
    push rbp
    push r12
    push r13
    push r14
    push r15
    mov [rel saved_rsp], rsp
    mov ax, ds
    mov [rel saved_ds], ax
    mov ax, es
    mov [rel saved_es], ax
    mov ebx, edi                 ; the 32-bit function, kept across the switch
    lea rdi, [rel landing64]     ; where the 32-bit side returns to (below 4 GB)
    mov esp, esi                 ; the 32-bit stack (zero-extended)
    push rdx                     ; far return frame: selector, then target
    lea rax, [rel code32]
    push rax
    o64 retf                     ; into compatibility mode
bits 32
code32:
    mov eax, ss                  ; flat data segments for 32-bit addressing
    mov ds, eax
    mov es, eax
    mov esi, esp                 ; callee-saved in the 32-bit conventions
    call ebx
    mov esp, esi
    push 0x33                    ; back to the 64-bit user code segment
    push edi
    retf
bits 64
landing64:
    mov rsp, [rel saved_rsp]
    mov cx, [rel saved_ds]
    mov ds, cx
    mov cx, [rel saved_es]
    mov es, cx
    shl rdx, 32
    mov eax, eax
    or rax, rdx
    pop r15
    pop r14
    pop r13
    pop r12
    pop rbp
    pop rbx
    ret
    align 8
saved_rsp: dq 0
saved_ds: dw 0
saved_es: dw 0
    align 16
bits 32
answer:
    mov eax, 42
    xor edx, edx
    ret
