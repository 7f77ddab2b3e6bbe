#!/usr/bin/env python3
"""Turns circuit_bench JSON runs of one build into its section of docs/perf.md.
The last run is tabulated: per benchmark the median of its repetitions and
their noise (median absolute deviation as a share of the median). Every pair
of consecutive runs is compared benchmark by benchmark on the median cycles,
which one slow repetition cannot move; the best cycles (the least sample) are
shown but not judged. Exits 1 when two consecutive runs disagree by more than
5 %."""
import argparse
import json
import sys

TOLERANCE = 0.05

# The ratios to bound that the tables state as targets (None: reported only).
TARGETS = [
    ("Entry/10/SseSoa", None),
    ("Entry/11/SseSoaOoo", 1.15),
    ("Entry/12/MmxFixed", 1.3),
    ("Entry/13/MmxFixedSoa", 1.3),
    ("Unit/SseSoa/avx", 1.15),
    ("Unit/SseSoa/avx512", None),
    ("Unit/SseSoa/sse2", None),
]


NOISY = 0.05  # a row whose repetitions scatter more than this is marked


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def medians(path):
    """The run's context and, per benchmark, its median aggregate with
    "noise": the median absolute deviation of the repetitions' cycles over
    their median (None when the JSON holds aggregates only)."""
    with open(path) as f:
        data = json.load(f)
    rows, reps = {}, {}
    for b in data["benchmarks"]:
        name = b["run_name"].split("/iterations:")[0]
        if b.get("error_occurred"):
            rows[name] = b
            continue
        if b.get("run_type") == "iteration":
            if b.get("cycles"):
                reps.setdefault(name, []).append(b["cycles"])
            continue
        if b.get("aggregate_name") != "median":
            continue
        rows[name] = b
    for name, b in rows.items():
        c = reps.get(name, [])
        m = median(c) if c else 0
        b["noise"] = median(abs(x - m) for x in c) / m if len(c) > 1 and m > 0 else None
    return data["context"], dict(sorted(rows.items(), key=lambda item: row_order(item[0])))


def row_order(name):
    """Entries by number (through runEntry, then direct), the vector units,
    then the peers, whatever order the run interleaved them in."""
    kind, _, rest = name.partition("/")
    if kind in ("Entry", "Direct"):
        return (0, rest.split("/")[0], kind != "Entry", "")
    return ({"Unit": 1, "Peer": 2}.get(kind, 3), "", False, name)


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

    # "vs Eigen" divides by the fastest Eigen peer: either layout, either build
    # (the bench's baseline flags or -O3 -march=native).
    eigens = [(b["cycles"], n) for n, b in rows.items()
              if n.startswith("Peer/Eigen") and b.get("cycles")]
    eigen, eigen_name = min(eigens) if eigens else (None, None)
    def num(key):
        return f"{float(context[key]):.2f}" if key in context else "—"

    out = []
    w = out.append
    w(f"## {args.heading}")
    w("")
    w("One fixed, seeded problem; every call runs "
      f"{context.get('repetitions_per_call', '?')} repetitions of the 18 x 36 product; "
      "figures are per repetition, the median of the repetitions of the last run.")
    w("")
    w("- cycles: core cycles, calibrated around every sample against a chain of one-cycle "
      "additions (a sample whose two calibrations differ by more than 2 % from each other "
      "or from the run's usual ratio is dropped); "
      "the median of the samples of a repetition")
    w("- noise: the median absolute deviation of the repetitions' cycles, as a share of their "
      f"median; above {100 * NOISY:.0f} % the row is marked (noisy)")
    w("- best: the least of the samples of a repetition, what the code takes when nothing "
      "else competes for the core; one sample makes it, so runs are not judged by it")
    w("- ns: nanoseconds (time-stamp counter at "
      f"{float(context.get('tsc_ghz', 0)):.3f} GHz)")
    w("- vs bound: cycles divided by the bound of bench/BOUNDS.md; vs Eigen: cycles divided by "
      f"the cycles of the fastest Eigen peer ({eigen_name})")
    w("")
    w(f"Machine: {args.machine or context.get('processor') or context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs, "
      f"core clock at start {float(context.get('core_ghz_now', 0)):.2f} GHz, "
      f"build: {context.get('build', '?')}, date {context.get('date', '?')}.")
    if context.get("library_build_type") == "debug":
        w("The Google Benchmark library here is a debug build: its own bookkeeping between "
          "samples is slower, the figures (timed by the bench's own counter reads) are not.")
    if "openblas_core" in context:
        w(f"OpenBLAS kernel: {context['openblas_core']} (one thread).")
    w("Measured on this machine in the same run: x87 load-multiply-add step "
      f"{float(context.get('x87_step_cycles', 0)):.2f} cycles (six sums in flight), "
      f"x87 add latency {float(context.get('x87_add_latency', 0)):.2f}, x87 multiply latency "
      f"{float(context.get('x87_mul_latency', 0)):.2f}, x87 step through memory "
      f"{float(context.get('x87_memory_step_cycles', 0)):.2f}, SSE add/multiply latency "
      f"{float(context.get('sse_add_latency', 0)):.2f}/{float(context.get('sse_mul_latency', 0)):.2f}, "
      f"SSE add/multiply throughput {float(context.get('sse_add_cycles', 0)):.2f}/"
      f"{float(context.get('sse_mul_cycles', 0)):.2f} cycles per operation, "
      f"{num('sse_mix_cycles')} alternating; "
      f"16-byte load/store {num('load_cycles')}/{num('store_cycles')} cycles each; "
      f"MMX PMULHW latency {num('mmx_mul_latency')}, throughput {num('mmx_mul_cycles')}; "
      f"PADDW latency {num('mmx_add_latency')}, throughput {num('mmx_add_cycles')}; "
      f"PUNPCKLWD latency {num('mmx_unpack_latency')}, throughput {num('mmx_unpack_cycles')}; "
      f"MMX step (load, PMULHW, PADDW) {num('mmx_mac_step_cycles')}; "
      f"the same on SSE2 registers {num('sse2_mac_step_cycles')} (PUNPCKLQDQ "
      f"{num('sse2_unpack_cycles')}; PMULHW/PADDW latency "
      f"{num('sse2_word_mul_latency')}/{num('sse2_word_add_latency')}); x87 conversions "
      f"float to word {num('x87_to_word_cycles')}, word to float {num('x87_to_float_cycles')} "
      "cycles each" +
      (f"; AVX (the C++ kernels' paths): one input of the double-precision code (broadcast, five "
       f"VCVTPS2PD, VMULPD, VADDPD steps) {num('avx_double_input_cycles')}, conversion {num('avx_conversion_cycles')}, shuffle "
       f"{num('avx_shuffle_cycles')}, 32-byte store {num('avx_store_cycles')}, 32-byte load "
       f"{num('avx_load_cycles')} ({num('avx_split_load_cycles')} across a 64-byte line)."
       if float(context.get('avx_double_input_cycles', 0)) > 0 else "."))
    if "sse_chain_limit" in context:
        portable = context.get("build") == "portable"
        w(f"Chain limit of entries 10 and 11 (multiply + 35 additions at the latencies above): "
          f"{num('sse_chain_limit')} cycles" +
          ("; the bound of their C++ kernel through runEntry and of its AVX-512 path; its SSE2 "
           "and AVX paths (Unit/SseSoa rows) are bound by their loads or their arithmetic "
           "(bench/BOUNDS.md)." if portable else
           "; their hand-written kernels are bound by their loads instead (bench/BOUNDS.md)."))
    w("")
    w("| Benchmark | cycles | noise | best | ns | bound | vs bound | vs Eigen | dropped |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, b in rows.items():
        if b.get("error_occurred"):
            w(f"| {name} | skipped: {b.get('error_message', '')} | | | | | | | |")
            continue
        c = b.get("cycles")
        label = f" ({b['label']}: portable code)" if b.get("label") else ""
        n = b.get("noise")
        noise = "—" if n is None else f"{100 * n:.1f} %" + (" (noisy)" if n > NOISY else "")
        w(f"| {name}{label} | {fmt(c)} | {noise} | {fmt(b.get('best'))} | {fmt(b.get('ns'))} | {fmt(b.get('bound'))} | "
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
    targets = [(n, limit) for n, limit in TARGETS if n in rows and rows[n].get("vs_bound")]
    if targets:
        w("Targets (vs bound, median cycles): " + "; ".join(
            f"{n} {rows[n]['vs_bound']:.2f}" +
            ("" if limit is None else f" (≤ {limit:.2f}: {'met' if rows[n]['vs_bound'] <= limit else 'MISSED'})")
            for n, limit in targets) + ".")
        w("")
    agree = True
    worst = changes("cycles")
    if worst:
        agree = worst[0][0] <= TOLERANCE
        best = changes("best")
        w(f"Runs agree within {100 * TOLERANCE:.0f} % (median cycles, "
          f"{len(runs)} consecutive runs): {'yes' if agree else 'NO'}; largest change "
          f"{100 * worst[0][0]:.1f} % ({worst[0][1]})" +
          (f"; best cycles, not judged: largest change {100 * best[0][0]:.1f} % ({best[0][1]})"
           if best else "") + ".")
        w("")
    noisy = [n for n, b in rows.items() if (b.get("noise") or 0) > NOISY]
    if noisy:
        w(f"Noisy (repetitions scatter more than {100 * NOISY:.0f} %): " + ", ".join(noisy) + ".")
        w("")
    if len(runs) == 1:
        w("One run only: its agreement with another run was not measured.")
        w("")
    sys.stdout.write("\n".join(out))
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
