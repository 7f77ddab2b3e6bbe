#!/usr/bin/env python3
"""Proves kernel_shapes.py on real code: the self-test kernels of the checker
(selftest.asm, a row loop of 18 around a term loop of 36 or 35) are audited
with expectations written for them, right and wrong, so that counting, loop
weighting, block attribution, alignment and the instruction-set rule are each
shown to pass and to fail. Usage: kernel_shapes_test.py OBJDUMP SELFTEST_EXE"""

import io
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel_shapes as ks  # noqa: E402

OBJDUMP, EXE = "objdump", None


def ok_kernel(**changes):
    shape = dict(entry=101, family="x87", align=dict(start=16, repeat=None, inner=None), trips=[18, 36],
                per_rep=dict(fmul=648, fadd=648, fxch=0, read_coefficients=648, read_input=648,
                             load_coefficients=648, output_stores=18))
    shape.update(changes)
    return shape


class KernelShapes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.disassembly = ks.run(OBJDUMP, EXE, "-d", "--no-show-raw-insn", "-M", "intel")
        cls.symbols = ks.parse_symbols(ks.run(OBJDUMP, EXE, "-t"))

    def audit(self, expectations):
        out = io.StringIO()
        ok = ks.audit(self.disassembly, self.symbols, expectations, out)
        return ok, out.getvalue()

    def test_counts_weighted_by_loop_trips(self):
        ok, text = self.audit({"selftestOk": ok_kernel()})
        self.assertTrue(ok, text)
        self.assertIn("loop at selftestOk.term", text)

    def test_scalar_sse_and_3dnow_kernels(self):
        ks.ANCHORS["scalar"] = {"mulss"}
        ks.ALLOWED_SIMD["scalar"] = {"movss", "mulss", "addss"}
        ks.FAMILY_USES_X87["scalar"] = False
        ok, text = self.audit({
            "selftestSseChain": dict(entry=1, family="scalar", align={}, trips=[18, 35],
                                     per_rep=dict(load_coefficients=648, read_input=648, output_stores=18)),
            "selftest3DNowFlush": dict(entry=2, family="3dnow", align={}, trips=[18, 35],
                                       per_rep=dict(pfmul=648, pfadd=630, output_stores=18),
                                       per_call=dict(femms=2))})
        self.assertTrue(ok, text)

    def test_wrong_count_fails(self):
        shape = ok_kernel()
        shape["per_rep"]["fadd"] = 630
        ok, text = self.audit({"selftestOk": shape})
        self.assertFalse(ok)
        self.assertIn("fadd: 648 per repetition, expected 630", text)

    def test_range_expectation(self):
        shape = ok_kernel()
        shape["per_rep"]["fadd"] = (640, 650)
        self.assertTrue(self.audit({"selftestOk": shape})[0])

    def test_misaligned_loop_head_fails(self):
        # The repeat loop follows a 15-byte prologue: never on 16 bytes.
        ok, text = self.audit({"selftestOk": ok_kernel(align=dict(start=16, repeat=16, inner=None))})
        self.assertFalse(ok)
        self.assertIn("repeat loop head selftestOk.repeat", text)

    def test_loop_without_trip_count_fails(self):
        ok, text = self.audit({"selftestOk": ok_kernel(trips=[18])})
        self.assertFalse(ok)
        self.assertIn("has no trip count", text)

    def test_instruction_outside_the_family_fails(self):
        ok, text = self.audit({"selftestSseChain": dict(entry=1, family="x87", align={}, trips=[18, 35], per_rep={})})
        self.assertFalse(ok)
        self.assertIn("no repeat loop", text)
        ok, text = self.audit({"selftestSseChain": dict(entry=1, family="mmx", align={}, trips=[18, 35], per_rep={})})
        self.assertIn("mulss at 0x", text)

    def test_control_word_fails(self):
        ok, text = self.audit({"selftestControlWord": ok_kernel()})
        self.assertFalse(ok)
        self.assertIn("touches the x87 control state", text)

    def test_missing_kernel_is_skipped(self):
        ok, text = self.audit({"kernelNotBuilt": ok_kernel()})
        self.assertTrue(ok)
        self.assertIn("kernelNotBuilt (entry 101): skipped", text)

    def test_missing_native_kernel_fails(self):
        out = io.StringIO()
        ok = ks.audit(self.disassembly, self.symbols, {"kernelNotBuilt": ok_kernel()}, out,
                      native={"kernelNotBuilt": True})
        self.assertFalse(ok)
        self.assertIn("the entry table says native 1", out.getvalue())

    def test_entry_table_is_read(self):
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        with open(os.path.join(root, "plugin", "entries.h")) as f:
            native = ks.native_rows(f.read())
        self.assertEqual(len(native), 14)
        self.assertIn("kernel3DNowSoaK7", native)
        self.assertFalse(native["kernelCSdk"])

    def test_order_descriptions(self):
        # The reader on a small description, then on every kernel source: one
        # description per kernel, whose operations agree with the counts of
        # its row.
        text = "; order k\n;   0  x(0) m*(0,1)\n;   1-2  a(j,1)\n;        c(j+1,0)\n;   -  s(0)\nmovq\n"
        self.assertEqual(ks.read_orders(text), {"k": ["x(0)", "m*(0,1)", "a(1,1)", "c(2,0)", "a(2,1)",
                                                      "c(3,0)", "s(0)"]})
        kernels = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                               "kernels")
        orders = {}
        for source in os.listdir(kernels):
            if source.endswith(".asm"):
                with open(os.path.join(kernels, source)) as f:
                    orders.update(ks.read_orders(f.read()))
        # Each counter against the events it counts, by their first letter.
        kinds = dict(mulps="m", pfmul="m", fmul="m", pmulhw="m", addps="a", pfadd="a", fadd="at",
                     paddw="ah", pfacc="h")
        for name, shape in ks.EXPECTATIONS.items():
            trips = (shape["trips"] or [1])[0]
            for key, expected in shape["per_rep"].items():
                if key in kinds:
                    counted = sum(e[0] in kinds[key] for e in orders[name]) * trips
                    self.assertEqual(counted, expected, "%s: %s" % (name, key))

    def test_table_is_well_formed(self):
        for name, shape in ks.EXPECTATIONS.items():
            self.assertIn(shape["family"], ks.ANCHORS, name)
            self.assertIsInstance(shape["trips"], list, name)
            for key in list(shape.get("per_rep", {})) + list(shape.get("per_call", {})):
                self.assertIn(key, ks.COUNTERS, name)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: kernel_shapes_test.py OBJDUMP SELFTEST_EXE")
    OBJDUMP, EXE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=1)
