#!/usr/bin/env python3
"""Static audit of the code shapes of the hand-written kernels in a built
i686 module: per kernel, the instructions issued per repetition against the
counts its entry is defined by, the loop heads on their boundaries, and no
instruction outside the extensions the entry declares.

Usage: kernel_shapes.py [--objdump OBJDUMP] [--entries plugin/entries.h]
                        [--sources kernels/] MODULE

Issue order. Given the kernel sources (--sources), every kernel has its
loads, multiplies, adds, horizontal steps and stores followed through the
registers, in address order (one pass of any inner loop), and named in the
notation of the sources' comments: x(j) load of input j, c(j,v) load of
coefficients (j, v), m(j,v) multiply of the two, m*(j,v) the same with a
memory operand, a(j,v) add of product (j, v) into chain v, t(j,k) an add
within a tree (see LAYOUTS), u(...) and h(...) unpacks and adds of values
that mix the chains named, s(k) store k of the output. That sequence must
equal the kernel's "order" description in its source (see read_orders),
step for step.

How it counts. The disassembly (objdump -d -M intel) of each kernel runs from
its symbol to the next symbol that is not one of its local labels. Loops are
found from backward branches (head = branch target). The repeat loop is the
outermost loop that holds the kernel's anchor instruction (FMUL, PFMUL,
MULPS or PMULHW); loops inside it are weighted by the trip counts of the
table below, by nesting depth, so a loop body counts once per trip.
Instructions outside the repeat loop count per call. Memory operands are
attributed to a block by following the registers loaded from the argument
slots (mov r, [esp+d] after the kernel's pushes) through mov, lea, add and sub.
An x86-64 module (elf64) is read the same way: its registers are named by
their 32-bit halves, pushes move the stack by 8 bytes, and the argument slots
are the home area the kernels fill below their two pushes.

Kernels missing from the module (their row still has native 0) are reported
as skipped; given the entry table (--entries), a kernel whose row says native 1
but which is missing (a stripped module, a renamed symbol) fails instead.
Exit status 1 when any kernel differs from its row.

To correct an expectation, edit EXPECTATIONS: each count is a number or a
(low, high) range, None leaves a counter unchecked (it is still printed).
"""

import argparse
import os
import re
import subprocess
import sys

# ------------------------------------------------------------------ table

# Counter names (per repetition unless under "per_call"):
#   fmul, fadd, fxch         x87 multiplies (FMUL/FMULP), adds (FADD/FADDP), exchanges
#   pfmul, pfadd, pfacc      3DNow! arithmetic; pfmul_mem: PFMUL with a memory operand
#   mulps, addps             SSE arithmetic; mulps_mem: MULPS with a memory operand
#   pmulhw, paddw            MMX arithmetic
#   load_coefficients        separate loads (FLD, MOVQ, MOVD, MOVAPS, MOVSS) from the coefficient block
#   load_input               the same from the input block
#   read_coefficients        every read of the coefficient block (loads and memory operands)
#   read_input               the same for the input block
#   output_stores            stores into the output block
#   stores                   every store to memory (MMX entries: their scratch words, wherever they live)
#   femms, emms              (per call) leaving the MMX state
EXPECTATIONS = {
    # Entry 3: per output 36 products (one FMUL each) and 7 additions in each
    # of 5 groups; rows loop 18 times; each coefficient read once, the inputs
    # once per row; 18 output stores; no FXCH.
    "kernelX87": dict(entry=3, family="x87", layout="aos1", align=dict(start=16, repeat=16, inner=16), trips=[18],
                      per_rep=dict(fmul=648, fadd=630, fxch=0, read_coefficients=648,
                                   read_input=648, output_stores=18)),
    # Entry 4: the same products; additions L+N, T+a, N=b+c in blocks 1..11
    # (33) and (L+T)+N (2): 35 per output; 2 FXCH per block: 22 per output.
    "kernelX87Fxch": dict(entry=4, family="x87", layout="aos1", align=dict(start=16, repeat=16, inner=16), trips=[18],
                          per_rep=dict(fmul=648, fadd=630, fxch=396, read_coefficients=648,
                                       read_input=648, output_stores=18)),
    # Entry 5: three blocks of six outputs (block loop, 3 trips). Per block
    # and input j: one FLD of x[j] (lane 0), six multiplies; six additions
    # from j = 1 on. Per repetition: 648 FMUL, 3 * 6 * 35 = 630 additions,
    # 108 input loads, 648 coefficient reads, 18 stores.
    "kernelX87SoaOoo": dict(entry=5, family="x87", layout="soa1", align=dict(start=16, repeat=16, inner=16), trips=[3],
                            per_rep=dict(fmul=648, fadd=630, fxch=None, load_input=108,
                                         read_coefficients=648, output_stores=18)),
    # Entry 6: six row groups (loop, 6 trips) of three rows; per group 18 pair
    # steps of 3 PFMUL and 3 PFADD (accumulators start at +0.0), the S2
    # multiply taking its coefficients from memory; 2 PFACC; a MOVQ and a
    # MOVD store. Input pairs: 17 loads per group, (x[2], x[3]) copied from a
    # register instead (loaded once per call, outside the repeat loop).
    "kernel3DNow": dict(entry=6, family="3dnow", layout="aos2", align=dict(start=None, repeat=32, inner=32), trips=[6],
                        per_rep=dict(pfmul=324, pfadd=324, pfacc=12, pfmul_mem=108,
                                     load_coefficients=216, load_input=102, output_stores=12),
                        per_call=dict(femms=2)),
    # Entry 7: three output blocks (loop, 3 trips) of three accumulators; per
    # block 36 inputs with 3 PFMUL each (one from memory) and 3 PFADD from
    # input 1 on; one input pair load per input; three MOVQ stores per block.
    "kernel3DNowSoa": dict(entry=7, family="3dnow", layout="soa2", align=dict(start=None, repeat=32, inner=32), trips=[3],
                           per_rep=dict(pfmul=324, pfadd=315, pfacc=0, pfmul_mem=108,
                                        load_coefficients=216, load_input=108, output_stores=9),
                           per_call=dict(femms=2)),
    # Entries 8 and 9: straight-line repetition; per output block and input
    # one multiplier load and a PFMUL per output pair (5 + 4 = 9 pairs), the
    # last pair's from memory; PFADD from input 1 on; nine MOVQ stores.
    "kernel3DNowSoaK6": dict(entry=8, family="3dnow", layout="soa2", align=dict(start=None, repeat=32, inner=32), trips=[],
                             per_rep=dict(pfmul=324, pfadd=315, pfacc=0, pfmul_mem=72,
                                          load_input=72, load_coefficients=252, output_stores=9),
                             per_call=dict(femms=2)),
    "kernel3DNowSoaK7": dict(entry=9, family="3dnow", layout="soa2", align=dict(start=None, repeat=32, inner=32), trips=[],
                             per_rep=dict(pfmul=324, pfadd=315, pfacc=0, pfmul_mem=72,
                                          load_input=72, load_coefficients=252, output_stores=9),
                             per_call=dict(femms=2)),
    # Entries 10 and 11: straight-line repetition; five chains of 36 MULPS
    # and 35 ADDPS; entry 10 reads the input twice (two passes), folds the
    # third vector's load into MULPS from step 1 of pass A and the second's in
    # pass B (70 in all); entry 11 reads it once and folds the fifth vector's
    # load (36).
    "kernelSseSoa": dict(entry=10, family="sse", layout="soa4", align=dict(start=None, repeat=32, inner=32), trips=[],
                         per_rep=dict(load_input=72, load_coefficients=110, mulps_mem=70,
                                      mulps=180, addps=175, output_stores=5)),
    "kernelSseSoaOoo": dict(entry=11, family="sse", layout="soa4", align=dict(start=None, repeat=32, inner=32), trips=[],
                            per_rep=dict(load_input=36, load_coefficients=144, mulps_mem=36,
                                         mulps=180, addps=175, output_stores=5)),
    # Entry 12: six row groups of three rows (loop, 6 trips; if the nine
    # steps of four columns are a loop too, 9 trips inside it); per group
    # 9 * 3 PMULHW and as many PADDW, then the horizontal sums (l3 + l1) +
    # (l2 + l0): two PADDW for S0 and S2 side by side, two for S1 alone, so
    # 162 + 6 * 4 = 186 PADDW; two 4-byte stores of result words per group.
    # The conversions run once per call, outside the repeat loop.
    # Scratch (bytes from the realigned stack pointer, as mmx.asm places it):
    # coefficient words, input words, result words.
    "kernelMmxFixed": dict(entry=12, family="mmx", layout="aos4w",
                           scratch=dict(coefficients=(0, 1312), input=(1312, 1408), output=(1408, 1472)), align=dict(start=None, repeat=32, inner=None), trips=[6, 9],
                           per_rep=dict(pmulhw=162, paddw=186, stores=12),
                           per_call=dict(emms=1)),
    # Entry 13: one pass over the 36 input groups (loop, 36 trips, head on 32
    # bytes); per group 5 PMULHW and 5 PADDW; five MOVQ stores of result words.
    "kernelMmxFixedSoa": dict(entry=13, family="mmx", layout="soa4w",
                              scratch=dict(coefficients=(0, 1440), input=(1440, 1728), output=(1728, 1792)), align=dict(start=None, repeat=32, inner=32), trips=[36],
                              per_rep=dict(pmulhw=180, paddw=180, stores=5),
                              per_call=dict(emms=1)),
}

# Layouts for the issue order: byte offset into the coefficients -> (j, v);
# bytes of input per j; bytes of output per store index k; whether adds name
# a tree. soa4: four-lane groups (j = input group, v = output group); soa2:
# output pairs of the SOA rows (v = pair); soa1: single floats of the SOA rows
# (v = output); aos2: column pairs of the AOS rows (j = column pair, v = row);
# aos1: single columns of the AOS rows, whose adds t(j,k) join the partial
# sums whose first products are j and k (j < k), so that any tree of
# additions is named; soa4w and aos4w: the fixed-point words of the MMX
# entries in their scratch (j = input group or step of four columns).
LAYOUTS = {
    "soa4": (lambda b: (b // 80, b % 80 // 16), 16, 16, False),
    "soa2": (lambda b: (b // 80, b % 80 // 8), 16, 8, False),
    "soa1": (lambda b: (b // 80, b % 80 // 4), 16, 4, False),
    "aos2": (lambda b: (b % 144 // 8, b // 144), 8, 4, False),
    "aos1": (lambda b: (b % 144 // 4, b // 144), 4, 4, True),
    "soa4w": (lambda b: (b // 40, b % 40 // 8), 8, 8, False),
    "aos4w": (lambda b: (b % 72 // 8, b // 72), 8, 2, False),
}

ANCHORS = {"x87": {"fmul", "fmulp"}, "3dnow": {"pfmul"}, "sse": {"mulps"}, "mmx": {"pmulhw"},
           "scalar": {"mulss", "fmul", "pfmul"}}

X87_CONTROL = {"fldcw", "fnstcw", "fstcw", "fldenv", "fnstenv", "fstenv", "frstor", "fnsave",
               "fsave", "fninit", "finit", "fnclex", "fclex", "fxrstor", "fxsave"}
ALLOWED_SIMD = {
    "x87": set(),
    "3dnow": {"movq", "movd", "pxor", "pfmul", "pfadd", "pfacc", "femms"},
    "sse": {"movaps", "mulps", "addps"},
    "mmx": {"movq", "movd", "pxor", "pmulhw", "paddw", "punpcklwd", "punpckhwd", "punpckldq",
            "punpckhdq", "emms"},
}
FAMILY_USES_X87 = {"x87": True, "3dnow": False, "sse": False, "mmx": True}

# ------------------------------------------------------------------ parsing

INSN = re.compile(r"^\s*([0-9a-f]+):\s+(.*?)\s*$")
HEADER = re.compile(r"^([0-9a-f]+) <([^>]+)>:\s*$")
REG32 = ("eax", "ebx", "ecx", "edx", "esi", "edi", "ebp", "esp")
PREFIXES = {"rep", "repz", "repe", "repnz", "repne", "lock", "data16", "addr16", "bnd", "notrack"}
LOAD_MOVES = {"fld", "movq", "movd", "movaps", "movups", "movss", "mov"}
STORE_MOVES = {"movq", "movd", "movaps", "movups", "movss", "mov", "movntq", "movntps"}
X87_STORES = {"fst", "fstp", "fist", "fistp", "fisttp"}


class Insn:
    def __init__(self, addr, mnem, ops):
        self.addr, self.mnem, self.ops = addr, mnem, ops
        self.mem = next((i for i, o in enumerate(ops) if "[" in o), None)
        self.role = None  # block of the memory operand: coefficients, input, output, count, stack
        self.offset = None  # byte offset of the memory operand into its block, where known

    def memory_text(self):
        return self.ops[self.mem] if self.mem is not None else ""

    def is_store(self):
        if self.mem is None:
            return False
        if self.mnem in X87_STORES:
            return True
        return self.mem == 0 and (self.mnem in STORE_MOVES or self.mnem.startswith("mov"))

    def is_load_move(self):
        return self.mem is not None and not self.is_store() and self.mnem in LOAD_MOVES

    def branch_target(self):
        if not (self.mnem.startswith("j") or self.mnem.startswith("loop")) or not self.ops:
            return None
        m = re.match(r"^([0-9a-f]+)\b", self.ops[0])
        return int(m.group(1), 16) if m else None


def split_operands(text):
    text = re.sub(r"\s*<[^>]*>\s*$", "", text)  # objdump's <symbol> after a branch target
    ops, depth, cur = [], 0, ""
    for ch in text:
        if ch == "[":
            depth += 1
        elif ch == "]":
            depth -= 1
        if ch == "," and depth == 0:
            ops.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        ops.append(cur.strip())
    return ops


# Bytes a push moves the stack, and the argument slots as displacements from
# the stack pointer at the kernel's start: above the return address on
# x86-32; on x86-64 the home area below the two saved registers (16 bytes)
# and the 40 bytes KERNEL_BEGIN reserves.
WORD = 4
ARG_ROLES_32 = {4: "coefficients", 8: "input", 12: "output", 16: "count"}
ARG_ROLES_64 = {-56: "coefficients", -48: "input", -40: "output", -32: "count"}
WIDE_REG = re.compile(r"\br(ax|bx|cx|dx|si|di|bp|sp)\b")


def parse_disassembly(text):
    """{symbol: [Insn]} for every symbol block of objdump -d -M intel output."""
    global WORD, ARG_ROLES
    blocks, current = {}, None
    wide = "file format elf64" in text
    WORD, ARG_ROLES = (8, ARG_ROLES_64) if wide else (4, ARG_ROLES_32)
    for line in text.splitlines():
        if wide:
            line = WIDE_REG.sub(r"e\1", line)
        h = HEADER.match(line)
        if h:
            # NASM macro-local labels (..@N.name) sit inside the code before them.
            if h.group(2).startswith("..@") and current is not None:
                continue
            current = h.group(2)
            blocks[current] = []
            continue
        m = INSN.match(line)
        if not m or current is None:
            continue
        body = m.group(2)
        if not body or body.startswith("(bad)") or body == "...":
            continue
        parts = body.split(None, 1)
        while parts and parts[0] in PREFIXES and len(parts) > 1:
            parts = parts[1].split(None, 1)
        mnem = parts[0].lower()
        ops = split_operands(parts[1]) if len(parts) > 1 else []
        blocks[current].append(Insn(int(m.group(1), 16), mnem, ops))
    return blocks


def parse_symbols(text):
    """{name: address} from objdump -t."""
    symbols = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 5 and re.fullmatch(r"[0-9a-f]{8,16}", parts[0]):
            symbols[parts[-1]] = int(parts[0], 16)
    return symbols


def kernel_code(blocks, name):
    """Instructions of kernel `name`: its block and those of its local labels,
    which objdump prints as blocks of their own (name.label)."""
    if name not in blocks:
        return None
    code, labels = [], {}
    names = list(blocks)
    i = names.index(name)
    labels[name] = blocks[name][0].addr if blocks[name] else None
    code.extend(blocks[name])
    for other in names[i + 1:]:
        if not other.startswith(name + "."):
            break
        if blocks[other]:
            labels[other] = blocks[other][0].addr
        code.extend(blocks[other])
    return code, labels

# ------------------------------------------------------------------ analysis


def memory_registers(operand):
    inner = operand[operand.index("[") + 1:operand.rindex("]")]
    regs = []
    for term in re.split(r"[+-]", inner):
        term = term.strip()
        reg = term.split("*")[0].strip()
        if reg in REG32:
            regs.append((reg, "*" in term))
    disp = 0
    for sign, num in re.findall(r"([+-])\s*(0x[0-9a-f]+|\d+)\b(?!\s*\*)", inner):
        if not re.search(r"\*\s*" + re.escape(num), inner):
            disp += int(num, 0) * (1 if sign == "+" else -1)
    return regs, disp


ARG_ROLES = ARG_ROLES_32


class Roles:
    """The block each pointer register points into while a kernel is followed
    (with its byte offset there while that is known), and the stack."""

    def __init__(self, scratch):
        self.role = {r: None for r in REG32}
        self.offset = {r: None for r in REG32}
        self.esp_off, self.frame, self.scratch = 0, False, scratch or {}

    def pointer(self, operand):  # (block, offset) of [reg + disp], offset None if indexed
        regs, disp = memory_registers(operand)
        if self.frame and regs == [("esp", False)]:
            for block, (first, end) in self.scratch.items():
                if first <= disp < end:
                    return block, disp - first
            return "stack", None
        known = [r for r, _ in regs if self.role.get(r)]
        if not known:
            return None, None
        plain = len(regs) == 1 and not regs[0][1] and self.offset[known[0]] is not None
        return self.role[known[0]], self.offset[known[0]] + disp if plain else None

    def operand(self, insn):
        """Marks the block of the memory operand; returns the argument it
        reads when it is an argument slot."""
        if insn.mem is None:
            return None
        regs, disp = memory_registers(insn.ops[insn.mem])
        base = [r for r, scaled in regs if not scaled]
        if "esp" in base and not self.frame:
            insn.role = "stack"
            return ARG_ROLES.get(disp - self.esp_off)
        insn.role, insn.offset = self.pointer(insn.ops[insn.mem])
        return None

    def update(self, insn, slot):
        """What the instruction makes of its destination register and the stack."""
        m, ops, role, offset = insn.mnem, insn.ops, self.role, self.offset
        dest = ops[0] if ops and ops[0] in REG32 else None
        immediate = len(ops) == 2 and re.fullmatch(r"0x[0-9a-f]+|\d+", ops[1])
        if m == "push":
            self.esp_off += WORD
        elif m == "pop":
            self.esp_off -= WORD
            if dest:
                role[dest] = None
        elif dest == "esp" and m == "and":
            self.frame = True
        elif dest == "esp" and m in ("sub", "add") and immediate:
            self.esp_off += int(ops[1], 0) * (1 if m == "sub" else -1)
        elif dest and m == "mov" and len(ops) == 2:
            if insn.mem == 1:
                role[dest] = slot if slot != "count" else None
                offset[dest] = 0
            elif ops[1] in REG32:
                role[dest], offset[dest] = role[ops[1]], offset[ops[1]]
            else:
                role[dest] = None
        elif dest and m == "lea":
            role[dest], offset[dest] = self.pointer(ops[1])
        elif dest and m in ("add", "sub"):
            # pointer arithmetic keeps the block
            if immediate and offset[dest] is not None:
                offset[dest] += int(ops[1], 0) * (1 if m == "add" else -1)
            else:
                offset[dest] = None
        elif dest and m == "xchg" and len(ops) == 2 and ops[1] in REG32:
            role[dest], role[ops[1]] = role[ops[1]], role[dest]
            offset[dest], offset[ops[1]] = offset[ops[1]], offset[dest]
        elif dest and m not in ("cmp", "test", "push"):
            role[dest] = None


def assign_roles(code, scratch=None):
    """Follows pointer registers from the argument slots in address order,
    with their byte offsets into the block while those are known. Once the
    stack pointer is realigned (and esp), [esp + d] lies in the `scratch`
    area {block: (first byte, end)} that holds d, if any."""
    roles = Roles(scratch)
    for insn in code:
        roles.update(insn, roles.operand(insn))


def find_loops(code):
    """[(head, end)] from backward branches inside the kernel."""
    lo, hi = code[0].addr, code[-1].addr
    loops = {}
    for insn in code:
        t = insn.branch_target()
        if t is not None and lo <= t <= insn.addr <= hi:
            loops[t] = max(loops.get(t, 0), insn.addr)
    return sorted(loops.items())


def simd_class(insn):
    text = " ".join(insn.ops)
    if insn.mnem in ("emms", "femms") or re.search(r"(?<!x)mm[0-7]\b", text):
        return "mmx"
    if "xmm" in text or insn.mnem in ("ldmxcsr", "stmxcsr"):
        return "sse"
    if insn.mnem.startswith("f"):
        return "x87"
    return None


COUNTERS = {
    "fmul": lambda i: i.mnem in ("fmul", "fmulp"),
    "fadd": lambda i: i.mnem in ("fadd", "faddp"),
    "fxch": lambda i: i.mnem == "fxch",
    "pfmul": lambda i: i.mnem == "pfmul",
    "pfadd": lambda i: i.mnem == "pfadd",
    "pfacc": lambda i: i.mnem == "pfacc",
    "pfmul_mem": lambda i: i.mnem == "pfmul" and i.mem is not None,
    "mulps": lambda i: i.mnem == "mulps",
    "mulps_mem": lambda i: i.mnem == "mulps" and i.mem is not None,
    "addps": lambda i: i.mnem == "addps",
    "pmulhw": lambda i: i.mnem == "pmulhw",
    "paddw": lambda i: i.mnem == "paddw",
    "load_coefficients": lambda i: i.is_load_move() and i.role == "coefficients",
    "load_input": lambda i: i.is_load_move() and i.role == "input",
    "read_coefficients": lambda i: i.mem is not None and not i.is_store() and i.role == "coefficients",
    "read_input": lambda i: i.mem is not None and not i.is_store() and i.role == "input",
    "output_stores": lambda i: i.is_store() and i.role == "output",
    "stores": lambda i: i.is_store(),
    "femms": lambda i: i.mnem == "femms",
    "emms": lambda i: i.mnem == "emms",
}


# ------------------------------------------------------------------ issue order

ORDER_HEAD = re.compile(r"^;\s*order\s+(\w+)\s*$")
ORDER_LINE = re.compile(r"^;\s+(?:(?:(\d+)(?:-(\d+)(?:/(\d+))?)?|(-))\s+)?((?:[a-z]\*?\([^)]*\)\s*)+)$")
ORDER_EVENT = re.compile(r"([a-z]\*?)\(([^)]*)\)")


def read_orders(text):
    """{kernel: [event]} from the "order" descriptions of one source. A
    description is a comment block that ends at the first other line:
        ; order kernelName
        ;   0      x(0) c(0,0) m(0,0)          step 0
        ;   1-35   x(j) c(j,0) a(j,0)          steps 1 to 35, j the step
        ;   1-29/7 t(0,j)                      steps 1, 8, ..., 29
        ;          m(j,1)                      (continues the line above)
        ;   -      s(0)                        once
    Arguments are integers or expressions in j (j+1, j-1)."""
    orders, name, stretches = {}, None, []
    for line in text.splitlines() + [""]:
        line = line.rstrip()
        head = ORDER_HEAD.match(line)
        body = ORDER_LINE.match(line) if name else None
        if body:
            first, last, stride, once, events = body.groups()
            if first is not None or once or not stretches:
                steps = [None]
                if first is not None:
                    steps = range(int(first), int(last or first) + 1, int(stride or 1))
                stretches.append([steps, ""])
            stretches[-1][1] += " " + events
            continue
        if name:
            orders[name] = expand(stretches)
        name, stretches = (head.group(1), []) if head else (None, [])
    return orders


def expand(stretches):
    events = []
    for steps, text in stretches:
        for j in steps:
            for kind, args in ORDER_EVENT.findall(text):
                values = [str(eval(a, {"__builtins__": {}}, {"j": j})) for a in args.split(",")]
                events.append("%s(%s)" % (kind, ",".join(values)))
    return events


SIMD_REG = re.compile(r"^x?mm\d$")
X87_REG = re.compile(r"^st(?:\((\d)\))?$")
LOADS = {"movaps", "movups", "movq", "movd"}


class OrderTracer:
    """Follows the values of one kernel's registers for trace_order: x87
    registers as a stack, the others by name."""

    def __init__(self, layout):
        self.coefficient, self.input_bytes, self.output_bytes, self.tree = LAYOUTS[layout]
        self.regs, self.stack = {}, []

    def memory(self, insn):
        if insn.offset is not None and insn.role == "coefficients":
            return ("C",) + self.coefficient(insn.offset)
        if insn.offset is not None and insn.role == "input":
            return ("X", insn.offset // self.input_bytes)
        return None

    def get(self, insn, i):
        op = insn.ops[i]
        x87 = X87_REG.match(op)
        if x87:
            k = int(x87.group(1) or 0)
            return self.stack[k] if k < len(self.stack) else None
        return self.memory(insn) if insn.mem == i else self.regs.get(op)

    @staticmethod
    def chain(value):  # (v, j): chain v through step j; (None, -1): +0.0
        if not value or value[0] != "V":
            return None
        vs = {v for _, v in value[1]}
        js = sorted(j for j, _ in value[1])
        if len(vs) > 1 or js != list(range(len(js))) or not (js or value[2]):
            return None
        return (vs.pop() if vs else None), len(js) - 1

    @staticmethod
    def multiply(a, b, star):
        c, x = sorted([a, b], key=lambda t: t[0]) if a and b else (None, None)
        if c and c[0] == "C" and x[0] == "X" and c[1] == x[1]:
            return ("V", frozenset([c[1:]]), False), "m%s(%d,%d)" % (star, c[1], c[2])
        return None, "m%s(?)" % star

    def mixed(self, *values):  # the chains a horizontal value holds
        names = set()
        for value in values:
            if value and value[0] == "H":
                names |= value[1]
            elif self.chain(value) and self.chain(value)[0] is not None:
                names.add(self.chain(value)[0])
        return ("H", frozenset(names)), ",".join(str(v) for v in sorted(names))

    def add(self, a, b):
        if (a and a[0] == "H") or (b and b[0] == "H"):
            value, names = self.mixed(a, b)
            return value, "h(%s)" % names
        if not (a and b and a[0] == "V" and b[0] == "V"):
            return None, "a(?)"
        total = ("V", a[1] | b[1], a[2] or b[2])
        if self.tree:
            first = sorted(min(j for j, _ in side[1]) for side in (a, b))
            return total, "t(%d,%d)" % tuple(first)
        for acc, product in ((a, b), (b, a)):
            link = self.chain(acc)
            if link and len(product[1]) == 1 and not product[2]:
                (j, v), = product[1]
                if link[0] in (None, v) and j == link[1] + 1:
                    return total, "a(%d,%d)" % (j, v)
        return None, "a(?)"

    def store(self, insn):
        if insn.role == "output" and insn.offset is not None:
            return "s(%d)" % (insn.offset // self.output_bytes)
        return None

    @staticmethod
    def loaded(value):
        return ("c(%d,%d)" % value[1:]) if value[0] == "C" else "x(%d)" % value[1]

    def x87(self, insn, star):
        """One x87 instruction (st0 is stack[0]); its event or None."""
        m, ops, stack, event = insn.mnem, insn.ops, self.stack, None
        index = [int(X87_REG.match(o).group(1) or 0) for o in ops if X87_REG.match(o)]
        if m == "fld":
            stack.insert(0, self.memory(insn) if insn.mem is not None else stack[index[0]])
            if insn.mem is not None and stack[0]:
                event = self.loaded(stack[0])
        elif m == "fldz":
            stack.insert(0, ("V", frozenset(), True))
        elif m in ("fmul", "fmulp", "fadd", "faddp"):
            if insn.mem is not None:
                dest, other = 0, self.memory(insn)
            elif len(index) == 2:
                dest, other = index[0], stack[index[1]]
            else:
                dest, other = 1, stack[0]
            operate = self.multiply if m.startswith("fmul") else (lambda a, b, _: self.add(a, b))
            stack[dest], event = operate(stack[dest], other, star)
            if m.endswith("p"):
                stack.pop(0)
        elif m == "fxch":
            k = index[0] if index else 1
            stack[0], stack[k] = stack[k], stack[0]
        elif m in ("fst", "fstp"):
            event = self.store(insn) if insn.mem is not None else None
            if insn.mem is None:
                stack[index[0]] = stack[0]
            if m == "fstp":
                stack.pop(0)
        return event

    def simd(self, insn, star):
        """One MMX, 3DNow! or SSE instruction with two operands; its event or None."""
        m, ops, regs, dest, event = insn.mnem, insn.ops, self.regs, insn.ops[0], None
        if m in LOADS and insn.mem == 0:
            event = self.store(insn)
        elif m in LOADS:
            value = regs[dest] = self.get(insn, 1)
            if value and insn.mem == 1:
                event = self.loaded(value)
        elif m == "pxor" and ops[0] == ops[1]:
            regs[dest] = ("V", frozenset(), True)
        elif m in ("mulps", "pfmul", "pmulhw"):
            regs[dest], event = self.multiply(self.get(insn, 0), self.get(insn, 1), star)
        elif m in ("addps", "pfadd", "paddw"):
            regs[dest], event = self.add(self.get(insn, 0), self.get(insn, 1))
        elif m == "pfacc":
            v, w = self.chain(self.get(insn, 0)), self.chain(self.get(insn, 1))
            regs[dest] = self.mixed(self.get(insn, 0), self.get(insn, 1))[0]
            event = "h(%s,%s)" % (v[0] if v else "?", w[0] if w else "?")
        elif m.startswith("punpck"):
            regs[dest], names = self.mixed(self.get(insn, 0), self.get(insn, 1))
            event = "u(%s)" % names
        elif SIMD_REG.match(dest):
            regs[dest] = None
        return event


def trace_order(code, repeat, layout):
    """[(event, insn)] of the repeat loop, in address order; see the module
    text. Values: ("C", j, v), ("X", j), ("V", leaves, from_zero) for products
    and sums (leaves: the (j, v) of their products), ("H", v, w) after PFACC.
    x87 registers are followed as a stack, the others by name. ("H", chains)
    is a value whose lanes mix the chains named, as PFACC and the unpacks of
    the MMX horizontal sums leave them: u(...) for an unpack, h(...) for an
    add of such values, each naming the chains mixed."""
    tracer, events = OrderTracer(layout), []
    for insn in code:
        m, ops, event = insn.mnem, insn.ops, None
        star = "*" if insn.mem is not None else ""
        if m.startswith("f") and m not in ("femms",):
            event = tracer.x87(insn, star)
        elif len(ops) == 2 and (SIMD_REG.match(ops[0]) or insn.mem == 0):
            event = tracer.simd(insn, star)
        if event and repeat[0] <= insn.addr <= repeat[1]:
            events.append((event, insn))
    return events


def compare_order(expected, traced):
    """Problems: the first place where the built order leaves the description."""
    built = [e for e, _ in traced]
    for i, (want, have) in enumerate(zip(expected, built)):
        if want != have:
            return ["issue order: operation %d is %s at 0x%x, the description says %s "
                    "(described: ... %s; built: ... %s)" % (
                        i, have, traced[i][1].addr, want, " ".join(expected[max(0, i - 4):i + 3]),
                        " ".join(built[max(0, i - 4):i + 3]))]
    if len(built) != len(expected):
        return ["issue order: %d operations built, %d described" % (len(built), len(expected))]
    return []


def within(expected, value):
    if isinstance(expected, tuple):
        return expected[0] <= value <= expected[1]
    return value == expected


def instruction_problems(family, code):
    """x87 instructions where the family declares none, or touching the x87
    control state; vector instructions outside the family's own."""
    problems = []
    for insn in code:
        cls = simd_class(insn)
        if cls is None:
            continue
        if cls == "x87":
            if not FAMILY_USES_X87[family]:
                problems.append("x87 instruction %s at 0x%x in a kernel that declares no x87" % (insn.mnem, insn.addr))
            elif insn.mnem in X87_CONTROL:
                problems.append("%s at 0x%x touches the x87 control state" % (insn.mnem, insn.addr))
        elif insn.mnem not in ALLOWED_SIMD[family]:
            problems.append("%s at 0x%x is outside the instructions this entry uses" % (insn.mnem, insn.addr))
    return problems


def contains(outer, inner):
    return outer[0] <= inner[0] and inner[1] <= outer[1] and outer != inner


def repeat_loop(family, code, loops):
    """The longest outermost loop around the family's anchor instructions, or None."""
    anchors = ANCHORS[family]

    def has_anchor(loop):
        return any(loop[0] <= i.addr <= loop[1] and i.mnem in anchors for i in code)

    candidates = [l for l in loops if has_anchor(l) and not any(contains(o, l) and has_anchor(o) for o in loops)]
    return max(candidates, key=lambda l: l[1] - l[0]) if candidates else None


def count_operations(code, loops, repeat, inner, trips):
    """COUNTERS per repetition (inner loops weighted by their trips) and per
    call (outside every loop)."""
    def depth(loop):
        return 1 + sum(1 for o in inner if contains(o, loop))

    def weight(insn):
        w = 1
        for loop in inner:
            if loop[0] <= insn.addr <= loop[1]:
                d = depth(loop)
                w *= trips[d - 1] if d <= len(trips) else 1
        return w

    per_rep = {k: 0 for k in COUNTERS}
    per_call = {k: 0 for k in COUNTERS}
    for insn in code:
        in_repeat = repeat[0] <= insn.addr <= repeat[1]
        in_other_loop = any(l[0] <= insn.addr <= l[1] for l in loops if not (repeat[0] <= l[0] <= repeat[1]))
        for key, test in COUNTERS.items():
            if test(insn):
                if in_repeat:
                    per_rep[key] += weight(insn)
                elif not in_other_loop:
                    per_call[key] += 1
    return per_rep, per_call


def inner_loop_findings(inner, trips, align, where, problems, notes):
    """Every loop inside the repeat loop has a trip count and, if asked, an aligned head."""
    for loop in inner:
        d = 1 + sum(1 for o in inner if contains(o, loop))
        if d > len(trips):
            problems.append("loop at %s (depth %d inside the repeat loop) has no trip count: "
                            "the entry allows %d loop level(s) there" % (where(loop[0]), d, len(trips)))
        else:
            notes.append("loop at %s: %d trips" % (where(loop[0]), trips[d - 1]))
        if align.get("inner") and loop[0] % align["inner"]:
            problems.append("loop head %s not on a %d-byte boundary" % (where(loop[0]), align["inner"]))


def count_findings(shape, per_rep, per_call, problems, notes):
    """The counts against the shape's expectations (None: noted, unchecked)."""
    for table, counted, unit in ((shape.get("per_rep", {}), per_rep, "per repetition"),
                                 (shape.get("per_call", {}), per_call, "per call")):
        for key, expected in table.items():
            value = counted[key]
            if expected is None:
                notes.append("%s %d %s (unchecked)" % (key, value, unit))
            elif within(expected, value):
                notes.append("%s %d" % (key, value))
            else:
                problems.append("%s: %d %s, expected %s" % (key, value, unit, expected))


def analyse(name, shape, code, labels, order=None):
    """(problems, notes) for one kernel; `order` its described issue order."""
    label_at = {}
    for label, addr in labels.items():
        if addr is not None:
            label_at.setdefault(addr, label)

    def where(addr):
        return "%s (0x%x)" % (label_at.get(addr, "unlabelled"), addr)

    align, notes = shape.get("align", {}), []
    problems = []
    if align.get("start") and code[0].addr % align["start"]:
        problems.append("kernel start %s not on a %d-byte boundary" % (where(code[0].addr), align["start"]))
    problems += instruction_problems(shape["family"], code)
    assign_roles(code, shape.get("scratch"))
    loops = find_loops(code)
    repeat = repeat_loop(shape["family"], code, loops)
    if repeat is None:
        problems.append("no repeat loop: no backward branch around the %s instructions"
                        % "/".join(sorted(ANCHORS[shape["family"]])))
        return problems, notes
    notes.append("repeat loop at %s" % where(repeat[0]))
    if align.get("repeat") and repeat[0] % align["repeat"]:
        problems.append("repeat loop head %s not on a %d-byte boundary" % (where(repeat[0]), align["repeat"]))
    inner = [l for l in loops if contains(repeat, l)]
    trips = shape.get("trips", [])
    inner_loop_findings(inner, trips, align, where, problems, notes)
    count_findings(shape, *count_operations(code, loops, repeat, inner, trips), problems, notes)
    if order is not None:
        found = compare_order(order, trace_order(code, repeat, shape["layout"]))
        problems.extend(found)
        if not found:
            notes.append("issue order as described (%d operations)" % len(order))
    return problems, notes


def native_rows(entries_text):
    """{kernel name: native column} from the CIRCUIT_ENTRIES list."""
    rows = {}
    for m in re.finditer(r"X\(\s*(\d+)\s*,\s*(\w+)\s*,.*?,\s*([01])\s*\)", entries_text):
        rows["kernel" + m.group(2)] = m.group(3) == "1"
    return rows


def audit(disassembly, symbols, expectations, out=sys.stdout, native=None, orders=None):
    """orders: {kernel: [event]} from the sources; None skips the order check."""
    blocks = parse_disassembly(disassembly)
    # The Windows objects name every C symbol with a leading underscore.
    for name in list(blocks):
        if name.startswith("_kernel"):
            blocks[name[1:]] = blocks.pop(name)
    passed = failed = skipped = 0
    for name, shape in expectations.items():
        label = "%s (entry %s)" % (name, shape.get("entry", "?"))
        found = kernel_code(blocks, name)
        if found is None or not found[0]:
            if native and native.get(name):
                failed += 1
                print("%s: FAIL: the entry table says native 1, but the module has no such kernel "
                      "(stripped, or the symbol renamed?)" % label, file=out)
                continue
            skipped += 1
            print("%s: skipped, not in the module (no native kernel in this build)" % label, file=out)
            continue
        code, labels = found
        for sym, addr in symbols.items():
            sym = sym[1:] if sym.startswith("_kernel") else sym
            if sym == name or sym.startswith(name + "."):
                labels.setdefault(sym, addr)
        order = None
        if orders is not None:
            order = orders.get(name)
            if order is None:
                failed += 1
                print("%s: FAIL: no order description for it in the sources" % label, file=out)
                continue
        problems, notes = analyse(name, shape, code, labels, order)
        if problems:
            failed += 1
            print("%s: FAIL" % label, file=out)
            for p in problems:
                print("  " + p, file=out)
            print("  (" + "; ".join(notes) + ")", file=out)
        else:
            passed += 1
            print("%s: ok: %s" % (label, "; ".join(notes)), file=out)
    print("kernel shapes: %d passed, %d failed, %d skipped (not in the module)" % (passed, failed, skipped), file=out)
    return failed == 0


def run(objdump, path, *args):
    try:
        result = subprocess.run([objdump, *args, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True)
    except OSError as e:
        sys.exit("kernel_shapes: cannot run %s: %s" % (objdump, e.strerror))
    if result.returncode != 0:
        sys.exit("kernel_shapes: %s failed on %s: %s" % (objdump, path, result.stderr.strip()))
    return result.stdout


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--entries", help="plugin/entries.h: a kernel whose row says native 1 must be in the module")
    parser.add_argument("--sources", help="kernels/: the .asm files whose order descriptions are checked")
    parser.add_argument("module")
    args = parser.parse_args(argv)
    orders = None
    if args.sources:
        orders = {}
        try:
            for source in sorted(os.listdir(args.sources)):
                if source.endswith(".asm"):
                    with open(os.path.join(args.sources, source)) as f:
                        orders.update(read_orders(f.read()))
        except OSError as e:
            sys.exit("kernel_shapes: cannot read the sources in %s: %s" % (args.sources, e.strerror))
    native = None
    if args.entries:
        try:
            with open(args.entries) as f:
                native = native_rows(f.read())
        except OSError as e:
            sys.exit("kernel_shapes: cannot read %s: %s" % (args.entries, e.strerror))
        if len(native) != 14:
            sys.exit("kernel_shapes: found %d rows in %s, expected 14" % (len(native), args.entries))
    disassembly = run(args.objdump, args.module, "-d", "--no-show-raw-insn", "-M", "intel")
    symbols = parse_symbols(run(args.objdump, args.module, "-t"))
    return 0 if audit(disassembly, symbols, EXPECTATIONS, native=native, orders=orders) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
