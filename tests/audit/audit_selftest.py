#!/usr/bin/env python3
"""Checks the audit's instruction classes on hand-picked instructions, as
objdump prints them in Intel syntax, so that a gap in its tables (an
instruction wrongly let through) shows here rather than in a shipped module."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import audit  # noqa: E402

CASES = [
    ("mov", "eax,DWORD PTR [esp+0x4]", "integer"),
    ("cmpxchg8b", "QWORD PTR [esi]", "integer"),
    ("lea", "esi,[esi+eiz*1+0x0]", "integer"),   # gas padding on i386
    ("nop", "", "integer"),
    ("nop", "DWORD PTR [eax+0x0]", "!"),            # 0F 1F, P6
    ("cmovl", "eax,ecx", "!"),
    ("fcomip", "st,st(1)", "!"),
    ("fcmovb", "st,st(1)", "!"),
    ("fucomi", "st,st(1)", "!"),
    ("fisttp", "DWORD PTR [eax]", "!"),             # SSE3
    ("fld", "DWORD PTR [eax]", "x87"),
    ("fxch", "st(1)", "x87"),
    ("fnstcw", "WORD PTR [esp]", "x87"),
    ("paddd", "mm0,mm1", "mmx"),
    ("movq", "mm0,QWORD PTR [eax]", "mmx"),
    ("emms", "", "mmx"),
    ("movq", "xmm0,QWORD PTR [eax]", "!"),          # SSE2
    ("paddd", "xmm0,xmm1", "!"),                    # SSE2
    ("pshufw", "mm0,mm1,0x0", "!"),                 # SSE integer on MMX registers
    ("pswapd", "mm0,mm1", "!"),                     # extended 3DNow!
    ("pfadd", "mm0,mm1", "3dnow"),
    ("femms", "", "3dnow"),
    ("prefetchw", "BYTE PTR [eax]", "3dnow"),
    ("addps", "xmm0,xmm1", "sse"),
    ("movaps", "xmm0,XMMWORD PTR [eax]", "sse"),
    ("cmpltps", "xmm0,xmm1", "sse"),
    ("addpd", "xmm0,xmm1", "!"),                    # SSE2
    ("mulsd", "xmm0,xmm1", "!"),
    ("movsd", "DWORD PTR es:[edi],DWORD PTR ds:[esi]", "integer"),
    ("movsd", "xmm0,QWORD PTR [eax]", "!"),
    ("endbr32", "", "!"),
    ("popcnt", "eax,ecx", "!"),
    ("(bad)", "", "!"),
]


def main():
    wrong = 0
    for mnemonic, operands, expected in CASES:
        got = audit.classify(mnemonic, operands)
        if (expected == "!" and not got.startswith("!")) or (expected != "!" and got != expected):
            print("%s %s: classified %s, expected %s" % (mnemonic, operands, got, expected))
            wrong += 1
    print("%d of %d instructions classified as expected" % (len(CASES) - wrong, len(CASES)))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
