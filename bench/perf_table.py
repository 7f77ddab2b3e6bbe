#!/usr/bin/env python3
"""Turns circuit_bench JSON runs of one build (median aggregates) into its
section of docs/perf.md. The last run is tabulated; every pair of consecutive
runs is compared benchmark by benchmark (median and best core cycles). Exits 1
when two consecutive runs disagree by more than 5 %."""
import argparse
import json
import sys

TOLERANCE = 0.05


def medians(path):
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            rows[b["run_name"].split("/iterations:")[0]] = b
            continue
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].split("/iterations:")[0]
        rows[name] = b
    return data["context"], rows


def fmt(v, digits=1):
    return "—" if v is None else f"{v:,.{digits}f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--heading", default="Performance")
    ap.add_argument("--machine", default="", help="the processor, as the system names it")
    ap.add_argument("runs", nargs="+")
    args = ap.parse_args()
    runs = [medians(p) for p in args.runs]
    context, rows = runs[-1]

    def changes(key):
        worst = []
        for (_, a), (_, b) in zip(runs, runs[1:]):
            for name in b:
                # Skipped benchmarks have no figures (taken as 0) and are left out.
                if name in a and a[name].get(key, 0) >= 1 and b[name].get(key, 0) >= 1:
                    worst.append((abs(b[name][key] / a[name][key] - 1), name))
        return sorted(worst, reverse=True)

    eigen = rows.get("Peer/Eigen", {}).get("cycles")
    out = []
    w = out.append
    w(f"## {args.heading}")
    w("")
    w("One fixed, seeded problem; every call runs "
      f"{context.get('repetitions_per_call', '?')} repetitions of the 18 x 36 product; "
      "figures are per repetition, the median of the repetitions of the last run.")
    w("")
    w("- cycles: core cycles, calibrated around every sample against a chain of one-cycle "
      "additions (samples whose calibration moved by more than 2 % are dropped); "
      "the median of the samples of a repetition")
    w("- best: the least of the samples of a repetition, what the code takes when nothing "
      "else competes for the core" +
      (" (see the agreement between runs below)" if len(runs) > 1 else ""))
    w("- ns: nanoseconds (time-stamp counter at "
      f"{float(context.get('tsc_ghz', 0)):.3f} GHz)")
    w("- vs bound: cycles divided by the bound of bench/BOUNDS.md; vs Eigen: cycles divided by "
      "Eigen's cycles")
    w("")
    w(f"Machine: {args.machine or context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs, "
      f"core clock at start {float(context.get('core_ghz_now', 0)):.2f} GHz, "
      f"build: {context.get('build', '?')}, date {context.get('date', '?')}.")
    if "openblas_core" in context:
        w(f"OpenBLAS kernel: {context['openblas_core']} (one thread).")
    w("Measured on this machine in the same run: x87 load-multiply-add step "
      f"{float(context.get('x87_step_cycles', 0)):.2f} cycles (six sums in flight), "
      f"x87 add latency {float(context.get('x87_add_latency', 0)):.2f}, x87 multiply latency "
      f"{float(context.get('x87_mul_latency', 0)):.2f}, x87 step through memory "
      f"{float(context.get('x87_memory_step_cycles', 0)):.2f}, SSE add/multiply latency "
      f"{float(context.get('sse_add_latency', 0)):.2f}/{float(context.get('sse_mul_latency', 0)):.2f}, "
      f"SSE add/multiply throughput {float(context.get('sse_add_cycles', 0)):.2f}/"
      f"{float(context.get('sse_mul_cycles', 0)):.2f} cycles per operation.")
    w("")
    w("| Benchmark | cycles | best | ns | bound | vs bound | vs Eigen | dropped |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, b in rows.items():
        if b.get("error_occurred"):
            w(f"| {name} | skipped: {b.get('error_message', '')} | | | | | | |")
            continue
        c = b.get("cycles")
        label = f" ({b['label']}: portable code)" if b.get("label") else ""
        w(f"| {name}{label} | {fmt(c)} | {fmt(b.get('best'))} | {fmt(b.get('ns'))} | {fmt(b.get('bound'))} | "
          f"{fmt(b.get('vs_bound'), 2)} | {fmt(c / eigen if c and eigen else None, 2)} | "
          f"{100 * b.get('dropped', 0):.0f} % |")
    w("")
    entries = [n for n in rows if n.startswith("Entry/")]
    overheads = []
    for n in entries:
        d = "Direct/" + n[len("Entry/"):]
        if rows[n].get("best", 0) >= 1 and rows.get(d, {}).get("best", 0) >= 1:
            overheads.append((rows[n]["best"] / rows[d]["best"] - 1, n))
    if overheads:
        o = max(overheads)
        w("Dispatch: runEntry against a direct call of the same kernel, same count (best "
          "cycles): largest "
          f"overhead {100 * o[0]:+.1f} % ({o[1]}); all: " +
          ", ".join(f"{n.split('/')[1]} {100 * v:+.1f} %" for v, n in sorted(overheads, key=lambda t: t[1])) + ".")
        w("")
    agree = True
    for key, what in (("cycles", "median cycles"), ("best", "best cycles")):
        worst = changes(key)
        if worst:
            ok = worst[0][0] <= TOLERANCE
            agree = agree and ok
            w(f"Runs agree within {100 * TOLERANCE:.0f} % ({what}, "
              f"{len(runs)} consecutive runs): {'yes' if ok else 'NO'}; largest change "
              f"{100 * worst[0][0]:.1f} % ({worst[0][1]}).")
            w("")
    if len(runs) == 1:
        w("One run only: its agreement with another run was not measured.")
        w("")
    sys.stdout.write("\n".join(out))
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
