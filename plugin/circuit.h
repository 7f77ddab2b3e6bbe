/* The module's public interface: the entry record, the flags, the kernel
 * shape, the dimensions of the 18 x 36 product and the sizes of the six data
 * blocks that a host passes to runEntry. Hosts, kernels and tests all read
 * this one header. It is plain C so that any host can include it. */
#ifndef CIRCUIT_CIRCUIT_H
#define CIRCUIT_CIRCUIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Dimensions of the task: y[i] = sum over j of M[i][j] * x[j]. */
#define OUTPUT_COUNT 18   /* rows of M, outputs y[0..17] */
#define INPUT_COUNT 36    /* columns of M, inputs x[0..35] */
#define SOA_ROW_FLOATS 20 /* one transposed row: 18 coefficients + 2 pads */
#define SOA_LANES 4       /* copies of every input in the SOA layout */

#define CIRCUIT_SIGNATURE 2 /* the task this module serves */
#define ENTRY_COUNT 14      /* rows of the entry table */
#define ENTRY_NAME_BYTES 64 /* name field of one EntrySpec */
#define CREATOR_SIGNATURE_BYTES 18

/* Floats in each block. AOS: M[i][j] at 36*i + j, x[j] at j, y[i] at i.
 * SOA: M[i][j] at 20*j + i (pads at 20*j + 18 and 20*j + 19), x[j] at
 * 4*j .. 4*j + 3, y[i] at i with pads at 18 and 19. */
#define AOS_COEFFICIENT_FLOATS (OUTPUT_COUNT * INPUT_COUNT)   /* 648 */
#define AOS_INPUT_FLOATS INPUT_COUNT                          /* 36 */
#define AOS_OUTPUT_FLOATS OUTPUT_COUNT                        /* 18 */
#define SOA_COEFFICIENT_FLOATS (INPUT_COUNT * SOA_ROW_FLOATS) /* 720 */
#define SOA_INPUT_FLOATS (INPUT_COUNT * SOA_LANES)            /* 144 */
#define SOA_OUTPUT_FLOATS SOA_ROW_FLOATS                      /* 20 */
#define SOA_BLOCK_ALIGNMENT 16

/* The blocks themselves. The host owns them; the SOA blocks start on
 * 16-byte boundaries. */
typedef struct AosCoefficients { float m[AOS_COEFFICIENT_FLOATS]; } AosCoefficients;
typedef struct AosInput { float x[AOS_INPUT_FLOATS]; } AosInput;
typedef struct AosOutput { float y[AOS_OUTPUT_FLOATS]; } AosOutput;
#ifdef __cplusplus
#define CIRCUIT_ALIGN16 alignas(16)
#else
#define CIRCUIT_ALIGN16 _Alignas(16)
#endif
typedef struct SoaCoefficients { CIRCUIT_ALIGN16 float m[SOA_COEFFICIENT_FLOATS]; } SoaCoefficients;
typedef struct SoaInput { CIRCUIT_ALIGN16 float x[SOA_INPUT_FLOATS]; } SoaInput;
typedef struct SoaOutput { CIRCUIT_ALIGN16 float y[SOA_OUTPUT_FLOATS]; } SoaOutput;

/* Flag bits of EntrySpec.flags: the extensions an entry's kernel executes
 * and the layout it expects. No other bit is ever set. */
typedef uint32_t EntryFlags;
#define ENTRY_FPU 0x001u
#define ENTRY_MMX 0x002u
#define ENTRY_3DNOW 0x004u
#define ENTRY_SSE 0x008u
#define ENTRY_SOA 0x100u
#define ENTRY_EXTENSION_MASK (ENTRY_FPU | ENTRY_MMX | ENTRY_3DNOW | ENTRY_SSE)

/* One entry as the host reads it: 68 bytes, NUL-terminated Shift_JIS name
 * then little-endian flags. */
typedef struct EntrySpec {
    char name[ENTRY_NAME_BYTES];
    EntryFlags flags;
} EntrySpec;

/* Every kernel: coefficients, input, output, repeat count. Kernels are
 * cdecl; only the five exports use the host's calling convention. */
typedef void (*EntryKernel)(const float* coefficients, const float* input, float* output,
                            int32_t count);

/* The exports take their arguments the Windows standard way on 32-bit x86
 * (the callee pops them), on Windows and on the i686 Linux build alike. */
#if defined(__i386__) || defined(_M_IX86)
#define CIRCUIT_CALL __attribute__((stdcall))
#else
#define CIRCUIT_CALL
#endif

typedef int32_t(CIRCUIT_CALL* GetCircuitSignatureFn)(void);
typedef char*(CIRCUIT_CALL* GetCreatorSignatureFn)(char* buffer);
typedef int32_t(CIRCUIT_CALL* GetEntryCountFn)(void);
typedef void(CIRCUIT_CALL* GetEntrySpecsFn)(EntrySpec* specs);
typedef void(CIRCUIT_CALL* RunEntryFn)(uint32_t index, const float* coefficients,
                                       const float* input, float* output, int32_t count);

/* The five exports. */
int32_t CIRCUIT_CALL getCircuitSignature(void);
char* CIRCUIT_CALL getCreatorSignature(char* buffer);
int32_t CIRCUIT_CALL getEntryCount(void);
void CIRCUIT_CALL getEntrySpecs(EntrySpec* specs);
void CIRCUIT_CALL runEntry(uint32_t index, const float* coefficients, const float* input,
                           float* output, int32_t count);

#ifdef __cplusplus
} /* extern "C" */
#define CIRCUIT_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define CIRCUIT_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

CIRCUIT_STATIC_ASSERT(sizeof(EntrySpec) == 68, "EntrySpec is 68 bytes");
CIRCUIT_STATIC_ASSERT(offsetof(EntrySpec, name) == 0, "name at offset 0");
CIRCUIT_STATIC_ASSERT(offsetof(EntrySpec, flags) == 64, "flags at offset 64");
CIRCUIT_STATIC_ASSERT(sizeof(EntryFlags) == 4, "flags are 32 bits");
CIRCUIT_STATIC_ASSERT(sizeof(float) == 4, "floats are IEEE single precision");
CIRCUIT_STATIC_ASSERT(sizeof(AosCoefficients) == 2592, "AosCoefficients is 2592 bytes");
CIRCUIT_STATIC_ASSERT(sizeof(AosInput) == 144, "AosInput is 144 bytes");
CIRCUIT_STATIC_ASSERT(sizeof(AosOutput) == 72, "AosOutput is 72 bytes");
CIRCUIT_STATIC_ASSERT(sizeof(SoaCoefficients) == 2880, "SoaCoefficients is 2880 bytes");
CIRCUIT_STATIC_ASSERT(sizeof(SoaInput) == 576, "SoaInput is 576 bytes");
CIRCUIT_STATIC_ASSERT(sizeof(SoaOutput) == 80, "SoaOutput is 80 bytes");
CIRCUIT_STATIC_ASSERT(ENTRY_COUNT * sizeof(EntrySpec) == 952, "the entry array is 952 bytes");

#endif /* CIRCUIT_CIRCUIT_H */
