#!/usr/bin/env python3
"""The same instruction stream in both word sizes: assembles every kernel
source for elf32 and for elf64 and compares, kernel by kernel, the sequence
of instructions with the registers reduced to their role (eax and rax are
both r0, esp and rsp the stack pointer), and checks that every label (kernel
start, loop head) on a 16-byte boundary in elf32 is on one in elf64 too.

What the word sizes may change, and nothing else:
  - KERNEL_BEGIN and KERNEL_END (the calling conventions differ): the code
    up to the count test's branch and the block at .circuit_return are left
    out;
  - reads of the arguments (a general register loaded or combined from the
    stack or frame pointer plus an argument slot): compared as "argument k",
    whatever their displacement and size;
  - the NOPs that pad to an alignment (their number follows the prologue's
    length; the alignment itself is checked);
  - DEVIATIONS below, each with its reason.

Usage: word_sizes.py --nasm NASM --objdump OBJDUMP --include kernels/ SOURCE.asm...
Exit status 1 when a kernel differs."""

import argparse
import os
import re
import subprocess
import sys
import tempfile

# Blocks (kernel.label) whose 64-bit code cannot keep the 32-bit shape.
DEVIATIONS = {
    ".misaligned": "the call on the aligned copies passes its four arguments in registers on "
                   "x86-64 (System V), on the stack on x86-32",
}

ROLE = {}
for n, (r32, r64) in enumerate([("eax", "rax"), ("ecx", "rcx"), ("edx", "rdx"), ("ebx", "rbx"),
                                ("esi", "rsi"), ("edi", "rdi"), ("ebp", "rbp")]):
    ROLE[r32] = ROLE[r64] = "r%d" % n
ROLE["esp"] = ROLE["rsp"] = "sp"
REG = re.compile(r"\b(e[abcd]x|r[abcd]x|[er][sd]i|[er][sb]p)\b")
INSN = re.compile(r"^\s*([0-9a-f]+):\s+(.*?)\s*$")
HEADER = re.compile(r"^([0-9a-f]+) <([^>]+)>:\s*$")
ARG_SLOTS = {32: {20: 0, 24: 1, 28: 2, 32: 3}, 64: {0: 0, 8: 1, 16: 2, 24: 3}}
GPR_DEST = re.compile(r"^(e[abcd]x|r[abcd]x|[er][sd]i|[er][sb]p),")
STACK_READ = re.compile(r"(?:[DQ]WORD PTR )?\[(?:esp|rsp|ebp|rbp)(?:\+(0x[0-9a-f]+))?\]")


def signed(m, bits):
    v = int(m.group(0), 16)
    top = 1 << (bits - 1)
    return str(v - 2 * top if v >= top else v)


def normalise(mnemonic, operands, bits):
    """One instruction as compared: argument reads named by slot, registers by
    role, immediates as signed numbers of the word size."""
    if mnemonic != "lea" and GPR_DEST.match(operands):
        def slot(m):
            k = ARG_SLOTS[bits].get(int(m.group(1) or "0", 16))
            return "argument %d" % k if k is not None else m.group(0)
        operands = STACK_READ.sub(slot, operands)
    operands = re.sub(r"\s*<[^>]*>", "", operands)          # branch target symbols
    operands = re.sub(r"^[0-9a-f]+$", "target", operands)   # branch targets: addresses differ
    operands = re.sub(r"(?<=,)0x[0-9a-f]+$", lambda m: signed(m, bits), operands)
    return mnemonic + " " + REG.sub(lambda m: ROLE[m.group(1)], operands)


def disassemble(objdump, path, bits):
    """({block: [instruction]}, {label: address}) of one object."""
    out = subprocess.run([objdump, "-d", "-M", "intel", "--no-show-raw-insn", path], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    blocks, labels, current = {}, {}, None
    for line in out.splitlines():
        h = HEADER.match(line)
        if h:
            if h.group(2).startswith("..@") and current is not None:
                continue  # NASM macro-local labels lie inside the code before them
            current = h.group(2).lstrip("_")
            labels[current] = int(h.group(1), 16)
            blocks[current] = []
            continue
        m = INSN.match(line)
        if m and current is not None and m.group(2) and m.group(2) != "...":
            parts = m.group(2).split(None, 1)
            if parts[0] == "nop":
                continue  # alignment padding: its length follows the prologue's, checked apart
            blocks[current].append(normalise(parts[0], parts[1] if len(parts) > 1 else "", bits))
    return blocks, labels


def strip_seam(name, code):
    """The kernel's own code: without KERNEL_BEGIN's saves (up to the count test)."""
    if "." in name:
        return code
    for i, insn in enumerate(code):
        if insn.startswith("jle "):
            return code[i + 1:]
    return code


def alignment(address):
    """The alignment of a label, up to the 16 bytes of the loop heads."""
    a = 1
    while a < 16 and address % (2 * a) == 0:
        a *= 2
    return a


def compare(source, blocks32, labels32, blocks64, labels64):
    problems, notes = [], []
    for name in sorted(blocks32):
        if not name.startswith("kernel") or name.endswith(".circuit_return"):
            continue
        if name not in blocks64:
            problems.append("%s: only in the elf32 object" % name)
            continue
        deviation = next((why for label, why in DEVIATIONS.items() if name.endswith(label)), None)
        a, b = strip_seam(name, blocks32[name]), strip_seam(name, blocks64[name])
        if deviation:
            notes.append("%s: %d vs %d instructions, not compared: %s" % (name, len(a), len(b), deviation))
        elif a != b:
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            problems.append("%s: instruction %d differs: elf32 '%s', elf64 '%s' (%d vs %d instructions)" %
                            (name, at, a[at] if at < len(a) else "end", b[at] if at < len(b) else "end",
                             len(a), len(b)))
        if alignment(labels32[name]) == 16 and alignment(labels64[name]) < 16:
            problems.append("%s: aligned to %d bytes in elf32, only %d in elf64" %
                            (name, alignment(labels32[name]), alignment(labels64[name])))
    kernels = {n for n in blocks32 if n.startswith("kernel") and "." not in n}
    return problems, notes, kernels


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nasm", default="nasm")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--include", required=True)
    parser.add_argument("sources", nargs="+")
    args = parser.parse_args(argv)
    failed, kernels = False, set()
    with tempfile.TemporaryDirectory() as tmp:
        for source in args.sources:
            objects = {}
            for bits in (32, 64):
                obj = os.path.join(tmp, "%s.%d.o" % (os.path.basename(source), bits))
                result = subprocess.run([args.nasm, "-f", "elf%d" % bits, "-I", args.include, "-o", obj, source],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
                if result.returncode != 0:
                    sys.exit("word_sizes: %s does not assemble for elf%d:\n%s" % (source, bits, result.stdout))
                objects[bits] = disassemble(args.objdump, obj, bits)
            problems, notes, found = compare(source, *objects[32], *objects[64])
            kernels |= found
            for line in notes:
                print("%s: %s" % (os.path.basename(source), line))
            for line in problems:
                print("%s: FAIL %s" % (os.path.basename(source), line))
            failed |= bool(problems)
    print("word sizes: %d kernels compared, %s" % (len(kernels), "FAILED" if failed else "same instruction stream"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
