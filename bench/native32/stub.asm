; The flat-binary thunk as data of a 64-bit object, for compat32_probe.
section .rodata
global compat32Stub
global compat32StubEnd
compat32Stub:
    incbin "compat32_thunk.bin"          ; found through -I
compat32StubEnd:
section .note.GNU-stack noalloc noexec nowrite progbits
