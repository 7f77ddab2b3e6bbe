; The hand-written kernels of this family are added here.
%include "x86abi.inc"
