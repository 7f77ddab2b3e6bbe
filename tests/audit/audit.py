#!/usr/bin/env python3
"""Instruction audit of the module with the hand-written kernels (the i686
Linux .so, the Windows DLL, or the x86-64 Linux .so).

Outside the kernels of entries flagged MMX, 3DNow! or SSE the module must run
on a plain i586 with x87: general-purpose instructions of the i586 and x87
instructions of the 387, nothing newer (no CMOV, FCMOV, FCOMI/FUCOMI, no
multi-byte NOP 0F 1F, no MMX, no SSE). A kernel may execute, on top of the
i586 integer instructions, exactly the extensions its entry's flags name:
    ENTRY_FPU    x87 (387 set)
    ENTRY_MMX    MMX (Pentium MMX set)
    ENTRY_3DNOW  3DNow! (K6-2 set, not the K7 extensions)
    ENTRY_SSE    SSE (Pentium III set, not SSE2)
Kernels are found by symbol: kernel<Stem> and its local labels
(kernel<Stem>.label), with a leading '_' on win32; NASM's macro-local labels
(..@N.label) belong to the code they sit in. Their flags come from the
entry table in plugin/entries.h, so new kernels are checked as they appear.

The audit also lists what the module imports (it should import nothing) and
checks its export list: the five functions, undecorated, and on PE with
ordinals 1 to 5 in the alphabetical order of the names.

The x86-64 module is compiled code of the x86-64 ABI outside the kernels
(SSE2 and the C++ kernels' AVX paths, behind their own checks) and links the
C and C++ libraries: there only the kernels are audited, with the same rule
(their integer part may also use the 64-bit forms of the same instructions),
and the exports; imports are listed, not checked.

Usage: audit.py --objdump OBJDUMP --entries plugin/entries.h MODULE
Exit status 0 when the module passes, 1 with a list of findings otherwise.
"""
import argparse
import re
import subprocess
import sys
from collections import Counter, defaultdict

EXPORTS = ["getCircuitSignature", "getCreatorSignature", "getEntryCount", "getEntrySpecs", "runEntry"]
FLAG_VALUES = {"ENTRY_FPU": 0x001, "ENTRY_MMX": 0x002, "ENTRY_3DNOW": 0x004, "ENTRY_SSE": 0x008,
               "ENTRY_SOA": 0x100}

# General-purpose instructions of the i386, i486 and Pentium (Intel syntax
# mnemonics as objdump prints them), conditional forms expanded below.
INTEGER = set("""
aaa aad aam aas adc add and arpl bound bsf bsr bswap bt btc btr bts call cbw cdq clc cld cli
clts cmc cmp cmps cmpsb cmpsw cmpxchg cmpxchg8b cpuid cwd cwde daa das dec div enter hlt idiv
imul in inc ins insb insw insd int int3 into iret iretd jmp jcxz jecxz lahf lar lds lea leave les
lfs lgs lods lodsb lodsw lodsd loop loope loopne loopz loopnz lsl mov movs movsb movsw movsx
movzx mul neg nop not or out outs outsb outsw outsd pop popa popad popf popfd push pusha pushad
pushf pushfd rcl rcr rdmsr rdtsc ret retf rol ror rsm sahf sal sar sbb scas scasb scasw scasd
shl shld shr shrd stc std sti stos stosb stosw stosd sub test verr verw wait fwait wbinvd wrmsr
xadd xchg xlat xlatb xor invd invlpg
""".split())
CONDITIONS = "o no b nae c ae nb nc e z ne nz be na a nbe s ns p pe np po l nge ge nl le ng g nle".split()
INTEGER |= {"j" + c for c in CONDITIONS} | {"set" + c for c in CONDITIONS}
# 'cmpsd' and 'movsd' are string instructions without xmm operands, SSE2 with them.
INTEGER |= {"cmpsd", "movsd"}

# x87 instructions of the 387 (every processor from the i486DX on).
X87 = set("""
f2xm1 fabs fadd faddp fbld fbstp fchs fclex fnclex fcom fcomp fcompp fcos fdecstp fdiv fdivp
fdivr fdivrp ffree fiadd ficom ficomp fidiv fidivr fild fimul fincstp finit fninit fist fistp
fisub fisubr fld fld1 fldcw fldenv fldl2e fldl2t fldlg2 fldln2 fldpi fldz fmul fmulp fnop fpatan
fprem fprem1 fptan frndint frstor fsave fnsave fscale fsin fsincos fsqrt fst fstcw fnstcw fstenv
fnstenv fstp fstsw fnstsw fsub fsubp fsubr fsubrp ftst fucom fucomp fucompp fxam fxch fxtract
fyl2x fyl2xp1
""".split())

MMX = set("""
emms movd movq packssdw packsswb packuswb paddb paddw paddd paddsb paddsw paddusb paddusw pand
pandn pcmpeqb pcmpeqw pcmpeqd pcmpgtb pcmpgtw pcmpgtd pmaddwd pmulhw pmullw por psllw pslld psllq
psraw psrad psrlw psrld psrlq psubb psubw psubd psubsb psubsw psubusb psubusw punpckhbw punpckhwd
punpckhdq punpcklbw punpcklwd punpckldq pxor
""".split())

THREEDNOW = set("""
femms pavgusb pf2id pfacc pfadd pfcmpeq pfcmpge pfcmpgt pfmax pfmin pfmul pfrcp pfrcpit1
pfrcpit2 pfrsqit1 pfrsqrt pfsub pfsubr pi2fd pmulhrw prefetch prefetchw
""".split())

SSE = set("""
addps addss andnps andps cmpps cmpss comiss cvtpi2ps cvtps2pi cvtsi2ss cvtss2si cvttps2pi
cvttss2si divps divss ldmxcsr maxps maxss minps minss movaps movhlps movhps movlhps movlps
movmskps movntps movss movups mulps mulss orps rcpps rcpss rsqrtps rsqrtss shufps sqrtps sqrtss
stmxcsr subps subss ucomiss unpckhps unpcklps xorps prefetchnta prefetcht0 prefetcht1 prefetcht2
sfence
""".split())
SSE |= {"cmp%s%s" % (p, s) for p in "eq lt le unord neq nlt nle ord".split() for s in ("ps", "ss")}

PREFIXES = {"rep", "repz", "repe", "repnz", "repne", "lock", "data16", "addr16", "data32",
            "addr32", "ds", "cs", "ss", "es", "fs", "gs"}
XMM = re.compile(r"\bxmm[0-7]\b")
MM = re.compile(r"\bmm[0-7]\b")

# Extension each class needs; None marks the always-allowed base.
CLASS_FLAG = {"integer": None, "x87": "ENTRY_FPU", "mmx": "ENTRY_MMX", "3dnow": "ENTRY_3DNOW",
              "sse": "ENTRY_SSE"}


def classify(mnemonic, operands):
    """The instruction class of one disassembled instruction, or a string
    starting with '!' that names why it is outside every allowed set."""
    if mnemonic == "(bad)":
        return "!undecodable bytes"
    if mnemonic == "nop" and operands:
        return "!multi-byte NOP (0F 1F, P6)"
    if mnemonic in SSE:
        return "sse"
    if mnemonic in THREEDNOW:
        return "3dnow"
    if XMM.search(operands):
        return "!SSE2 or later (xmm)"
    if mnemonic in MMX and (mnemonic == "emms" or MM.search(operands)):
        return "mmx"
    if MM.search(operands):
        return "!MMX extension (SSE integer or extended 3DNow!)"
    if mnemonic in X87:
        return "x87"
    if mnemonic.startswith("fcmov") or mnemonic in ("fcomi", "fcomip", "fucomi", "fucomip"):
        return "!P6 x87 (FCMOV/FCOMI)"
    if mnemonic.startswith("cmov"):
        return "!P6 CMOV"
    if mnemonic in INTEGER:
        return "integer"
    return "!not in the i586/x87 baseline"


def run(cmd):
    try:
        result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    except OSError as e:
        sys.exit("audit: cannot run %s: %s" % (cmd[0], e.strerror))
    if result.returncode != 0:
        sys.exit("audit: %s failed: %s" % (" ".join(cmd), result.stderr.strip()))
    return result.stdout


def read_entries(path):
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            text = f.read()
    except OSError as e:
        sys.exit("audit: cannot read %s: %s" % (path, e.strerror))
    text = re.sub(r"\\\n", " ", text)
    rows = re.findall(r"X\(\s*(\d+)\s*,\s*(\w+)\s*,\s*.*?,\s*(ENTRY_\w+(?:\s*\|\s*ENTRY_\w+)*)\s*,\s*([01])\s*\)",
                      text)
    entries = {}
    for index, stem, flags, native in rows:
        names = [f.strip() for f in flags.split("|")]
        for name in names:
            if name not in FLAG_VALUES:
                sys.exit("audit: unknown flag %s in %s" % (name, path))
        entries[stem] = {"index": int(index), "flags": set(names), "native": native == "1"}
    if len(entries) != 14:
        sys.exit("audit: read %d entries from %s, expected 14" % (len(entries), path))
    return entries


def owner(symbol, entries):
    """The stem of the kernel that owns code under `symbol`, or None."""
    name = symbol.split("@")[0]
    match = re.match(r"^_?kernel([A-Za-z0-9]+)(\..*)?$", name)
    if match and match.group(1) in entries:
        return match.group(1)
    return None


# The PE linker puts the (empty) constructor and destructor lists into .text:
# a -1 sentinel and a 0 terminator each, data rather than code. The DLL runs
# no language runtime, so a list that holds more than its two words would name
# constructors that never run.
PE_LISTS = {"__CTOR_LIST__", "__DTOR_LIST__"}


# Integer instructions that exist only in 64-bit mode.
INTEGER_64 = {"movsxd", "cdqe", "cqo", "pushfq", "popfq", "movabs", "iretq", "stosq", "movsq", "lodsq"}


def audit_code(objdump, module, entries, findings, kernels_only=False):
    listing = run([objdump, "-d", "-w", "-M", "intel", "--no-show-raw-insn", module])
    symbol = None
    counts = defaultdict(Counter)  # region -> class -> count
    seen_kernels = set()
    list_start = None
    for line in listing.splitlines():
        head = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
        if head:
            if list_start is not None and int(head.group(1), 16) - list_start[0] > 8:
                findings.append("%s holds constructors or destructors that nothing would run" % list_start[1])
            label = head.group(2)
            # NASM macro-local labels (..@N.name) do not start a new region:
            # they lie inside the code of whatever came before them.
            if not label.startswith("..@"):
                symbol = label
            list_start = (int(head.group(1), 16), label) if label in PE_LISTS else None
            continue
        insn = re.match(r"^\s*([0-9a-f]+):\s+(.*)$", line)
        if not insn or symbol is None or symbol in PE_LISTS:
            continue
        address, text = insn.groups()
        text = text.split("#")[0].split("<")[0].strip()
        words = text.split(None, 1)
        while words and words[0] in PREFIXES:
            words = words[1].split(None, 1) if len(words) > 1 else []
        if not words:
            continue
        mnemonic = words[0]
        operands = words[1] if len(words) > 1 else ""
        stem = owner(symbol, entries)
        region = "kernel" + stem if stem else "outside the kernels"
        cls = classify(mnemonic, operands)
        if kernels_only and not stem:
            counts[region]["not audited"] += 1
            continue
        # Every x86-64 processor has the multi-byte NOP; the linker pads with it.
        if kernels_only and (mnemonic in INTEGER_64 or mnemonic == "nop"):
            cls = "integer"
        if stem:
            seen_kernels.add(stem)
            allowed = {None} | entries[stem]["flags"]
            what = "entry %d (%s)" % (entries[stem]["index"], " | ".join(sorted(entries[stem]["flags"])))
        else:
            allowed = {None, "ENTRY_FPU"}
            what = "i586 + x87 baseline"
        if cls.startswith("!"):
            findings.append("%s <%s>: %s %s: %s" % (address, symbol, mnemonic, operands, cls[1:]))
        elif CLASS_FLAG[cls] not in allowed:
            findings.append("%s <%s>: %s %s: %s instruction not allowed for %s" %
                            (address, symbol, mnemonic, operands, cls, what))
        counts[region][cls if not cls.startswith("!") else "forbidden"] += 1
    for stem, entry in sorted(entries.items(), key=lambda e: e[1]["index"]):
        if entry["native"] and stem not in seen_kernels:
            findings.append("entry %d is marked native but the module has no kernel%s" % (entry["index"], stem))
    return counts


def audit_pe(objdump, module, findings):
    text = run([objdump, "-p", module])
    imports = re.findall(r"^\s*DLL Name: (\S+)", text, re.M)
    names = []
    ordinal_base = None
    in_names = False
    for line in text.splitlines():
        base = re.match(r"^Ordinal Base\s+(\d+)", line)
        if base:
            ordinal_base = int(base.group(1))
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_names = True
            continue
        if in_names:
            entry = re.match(r"^\s+\[\s*(\d+)\]\s+(?:\+base\[\s*\d+\]\s+[0-9a-f]+\s+)?(\S+)", line)
            if not entry:
                in_names = False
                continue
            names.append((int(entry.group(1)) + (ordinal_base or 0), entry.group(2)))
    expected = [(i + 1, name) for i, name in enumerate(EXPORTS)]
    if names != expected:
        findings.append("PE exports %s, expected %s" % (names, expected))
    return imports, names


def audit_elf(objdump, module, findings):
    text = run([objdump, "-p", module])
    imports = re.findall(r"^\s*NEEDED\s+(\S+)", text, re.M)
    dynamic = run([objdump, "-T", module])
    defined, undefined = [], []
    for line in dynamic.splitlines():
        fields = line.split()
        if len(fields) < 6 or not re.match(r"^(?:[0-9a-f]{8}|[0-9a-f]{16})$", fields[0]):
            continue
        (undefined if "*UND*" in line else defined).append(fields[-1])
    imports += ["undefined symbol " + name for name in undefined]
    if sorted(defined) != EXPORTS:
        findings.append("ELF dynamic symbols %s, expected %s" % (sorted(defined), EXPORTS))
    return imports, [(None, name) for name in sorted(defined)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--entries", required=True)
    parser.add_argument("--allow-import", action="append", default=[],
                        help="an import the module may have (none by default)")
    parser.add_argument("module")
    args = parser.parse_args()

    entries = read_entries(args.entries)
    findings = []
    header = run([args.objdump, "-f", args.module])
    if "pei-i386" in header:
        imports, exports = audit_pe(args.objdump, args.module, findings)
    elif "elf32-i386" in header or "elf64-x86-64" in header:
        imports, exports = audit_elf(args.objdump, args.module, findings)
    else:
        sys.exit("audit: %s is neither an x86 DLL nor an x86 ELF library" % args.module)
    wide = "elf64-x86-64" in header
    counts = audit_code(args.objdump, args.module, entries, findings, kernels_only=wide)

    print("module: %s" % args.module)
    print("exports: %s" % ", ".join(("%d %s" % e) if e[0] else e[1] for e in exports))
    print("imports: %s%s" % (", ".join(imports) if imports else "none", " (not checked on x86-64)" if wide else ""))
    for region in sorted(counts, key=lambda r: (r != "outside the kernels", r)):
        print("  %-26s %s" % (region, ", ".join("%s %d" % kv for kv in sorted(counts[region].items()))))
    unexpected = [] if wide else [name for name in imports if name not in args.allow_import]
    for name in unexpected:
        findings.append("unexpected import: %s" % name)
    if findings:
        print("FAILED: %d finding(s)" % len(findings))
        for finding in findings[:200]:
            print("  " + finding)
        return 1
    print("passed: every instruction within what its region may execute")
    return 0


if __name__ == "__main__":
    sys.exit(main())
