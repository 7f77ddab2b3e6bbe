#!/usr/bin/env python3
"""Static throughput analysis of the hand-written repeat loops with llvm-mca.

Disassembles a kernel's repeat loop (from its `.repeat` label to the branch
back to it) from the i686 build's object file and lets llvm-mca simulate it
on processor models, many iterations in a row. Prints JSON: for every kernel
and model, llvm-mca's cycles per iteration (one iteration is one repetition
of the product; consecutive iterations may overlap, as on the processor) and
its block reciprocal throughput (the resource bound alone).

    bench/mca.py OBJECT KERNEL... [--cpu MODEL]... [--markdown [--measured JSON]]

With --markdown it prints docs/perf.md's section instead, beside the cycles
measured natively in a circuit_bench JSON run of the i686 build (--measured;
the Direct/NN row of each kernel). Needs objdump and llvm-mca; fails with a message if either is missing. Works
on any x86 machine: nothing is executed.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

DEFAULT_CPUS = ["znver3", "sapphirerapids"]


def fail(message):
    sys.stderr.write(f"bench/mca.py: {message}\n")
    sys.exit(1)


def repeat_loop(obj, kernel):
    """The instructions of `kernel`'s repeat loop, in AT&T syntax."""
    text = subprocess.run(["objdump", "-d", "--no-show-raw-insn", obj],
                          check=True, capture_output=True, text=True).stdout
    label = f"<{kernel}.repeat>:"
    lines = text.splitlines()
    try:
        start = next(i for i, l in enumerate(lines) if l.endswith(label))
    except StopIteration:
        fail(f"no {kernel}.repeat in {obj}")
    body = []
    for line in lines[start + 1:]:
        m = re.match(r"\s*[0-9a-f]+:\s+(.*)", line)
        if not m:
            continue
        insn = m.group(1).split("#")[0].strip()
        if f"<{kernel}.repeat>" in insn:  # the branch back: not part of the body
            return body
        if insn.startswith("nop"):
            continue
        body.append(re.sub(r"\s+<[^>]*>", "", insn))
    fail(f"{kernel}: no branch back to .repeat")


def analyse(body, cpu, iterations=200):
    out = subprocess.run(["llvm-mca", "-mtriple=i686-linux-gnu", f"-mcpu={cpu}",
                          f"-iterations={iterations}"],
                         input="\n".join(body) + "\n", check=True, capture_output=True,
                         text=True).stdout
    total = int(re.search(r"Total Cycles:\s+(\d+)", out).group(1))
    rthroughput = float(re.search(r"Block RThroughput:\s+([\d.]+)", out).group(1))
    return {"cycles": total / iterations, "rthroughput": rthroughput, "busiest": busiest(out)}


def busiest(out):
    """The resource with the most cycles per iteration, as 'name cycles'."""
    names = dict(re.findall(r"^\[([\d.]+)\]\s+-\s+(\S+)", out, re.M))
    m = re.search(r"Resource pressure per iteration:\n(.*)\n(.*)\n", out)
    if not m:
        return "?"
    loads = [(0.0 if v == "-" else float(v), k.strip("[]"))
             for k, v in zip(m.group(1).split(), m.group(2).split())]
    cycles, key = max(loads)
    return f"{names.get(key, key)} {cycles:.1f}"


def measured_cycles(path):
    """Median cycles of the Direct/NN/Stem rows of a circuit_bench JSON run, by stem."""
    if not path:
        return {}, None
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        parts = b["run_name"].split("/")
        if parts[0] == "Direct" and b.get("aggregate_name") == "median" and b.get("cycles"):
            rows["kernel" + parts[2]] = (b["cycles"], b.get("bound"))
    return rows, data["context"].get("date", "?")


def markdown(result, measured_path):
    measured, date = measured_cycles(measured_path)
    cpus = result["cpus"]
    out = ["## Static analysis: llvm-mca", "",
           f"`bench/mca.py` runs llvm-mca (LLVM {result['llvm']}) on the repeat loop of each "
           "hand-written kernel as the i686 build assembled it, 200 iterations in a row: "
           "cycles per iteration (one repetition), and in brackets the block's reciprocal "
           "throughput and the busiest resource of the model with its cycles per iteration. "
           "No code runs, so this works on any machine.",
           ""]
    head = "| Kernel | instructions | " + " | ".join(f"{c}" for c in cpus) + " | measured here | bound here |"
    out += [head, "|---|---:|" + "---:|" * len(cpus) + "---:|---:|"]
    for kernel, r in result["kernels"].items():
        cycles, bound = measured.get(kernel, (None, None))
        cells = " | ".join(f"{r[c]['cycles']:.1f} ({r[c]['rthroughput']:.1f}; {r[c]['busiest']})"
                           for c in cpus)
        out.append(f"| {kernel} | {r['instructions']} | {cells} | "
                   f"{'—' if cycles is None else f'{cycles:.1f}'} | "
                   f"{'—' if bound is None else f'{bound:.1f}'} |")
    out.append("")
    out.append(f"Measured: median core cycles of the direct call in the i686 run of {date}."
               if measured else "Measured: no native i686 run beside this analysis.")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("object")
    ap.add_argument("kernels", nargs="+")
    ap.add_argument("--cpu", action="append")
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument("--measured")
    args = ap.parse_args()
    if not os.path.isfile(args.object):
        fail(f"no object file {args.object!r} (build the i686-linux preset first)")
    for tool in ("objdump", "llvm-mca"):
        if not shutil.which(tool):
            fail(f"{tool} not found (Debian packages binutils, llvm)")
    cpus = args.cpu or DEFAULT_CPUS
    version = subprocess.run(["llvm-mca", "--version"], capture_output=True, text=True).stdout
    m = re.search(r"LLVM version ([\d.]+)", version)
    result = {"llvm": m.group(1) if m else "?", "cpus": cpus, "kernels": {}}
    for kernel in args.kernels:
        body = repeat_loop(args.object, kernel)
        result["kernels"][kernel] = {"instructions": len(body),
                                     **{cpu: analyse(body, cpu) for cpu in cpus}}
    if args.markdown:
        sys.stdout.write(markdown(result, args.measured))
    else:
        json.dump(result, sys.stdout, indent=1)
        sys.stdout.write("\n")


if __name__ == "__main__":
    main()
