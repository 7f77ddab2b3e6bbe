#!/usr/bin/env python3
"""Turns circuit_bench JSON runs of one build into its section of docs/perf.md.
A run is a few rounds (each a process of its own, --rounds files in a row on
the command line); a round is a few repetitions of every benchmark, in random
order among the other benchmarks' repetitions. Per benchmark and round the
median of its repetitions is taken; a run's figure is the median of its
rounds' medians, which one slow round cannot move, and the spread of the
rounds' medians is shown beside it. The last run is tabulated. Every pair of
consecutive runs is compared benchmark by benchmark on those figures; the
best cycles (the least sample) are shown but not judged. Exits 1 when two
consecutive runs disagree by more than 5 %."""
import argparse
import json
import sys

TOLERANCE = 0.05
NOISY = 0.05  # a row whose repetitions scatter more than this is marked

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
# Figures of a round's median row that a run takes the median of.
FIGURES = ("cycles", "ns", "bound", "dropped")


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def read_round(path):
    """One round's context and, per benchmark, its median aggregate (or its
    error row) with the repetitions' cycles in "reps"."""
    with open(path) as f:
        data = json.load(f)
    rows, reps, single = {}, {}, {}
    for b in data["benchmarks"]:
        name = b["run_name"].split("/iterations:")[0]
        if b.get("error_occurred"):
            rows[name] = b
        elif b.get("run_type") == "iteration":
            single[name] = b  # one repetition gives no aggregates: the row itself
            if b.get("cycles"):
                reps.setdefault(name, []).append(b["cycles"])
        elif b.get("aggregate_name") == "median":
            rows[name] = b
    for name, b in single.items():
        rows.setdefault(name, b)
    for name, b in rows.items():
        b["reps"] = reps.get(name, [])
    return data["context"], rows


def combine(rounds):
    """A run from its rounds: per benchmark the median of the rounds' figures,
    the least best, the spread of the rounds' median cycles (largest less
    least, over their median) and the noise of all repetitions (median
    absolute deviation over the median; None with aggregates only)."""
    context, run = rounds[-1][0], {}
    for name in rounds[-1][1]:
        seen = [r[name] for _, r in rounds if name in r]
        timed = [b for b in seen if not b.get("error_occurred") and b.get("cycles")]
        if not timed:
            run[name] = dict(seen[-1], noise=None, spread=None)
            continue
        b = dict(timed[-1])
        for key in FIGURES:
            values = [t[key] for t in timed if key in t]
            if values:
                b[key] = median(values)
        b["best"] = min(t.get("best", b["cycles"]) for t in timed)
        b["vs_bound"] = b["cycles"] / b["bound"] if b.get("bound") else None
        cycles = [t["cycles"] for t in timed]
        b["spread"] = (max(cycles) - min(cycles)) / b["cycles"] if len(cycles) > 1 else None
        reps = [c for t in timed for c in t["reps"]]
        m = median(reps) if reps else 0
        b["noise"] = median([abs(x - m) for x in reps]) / m if len(reps) > 1 and m > 0 else None
        b["rounds"] = len(timed)
        run[name] = b
    return context, dict(sorted(run.items(), key=lambda item: row_order(item[0])))


def row_order(name):
    """Entries by number (through runEntry, then direct), the vector units,
    then the peers, whatever order the run interleaved them in."""
    kind, _, rest = name.partition("/")
    if kind in ("Entry", "Direct"):
        return (0, rest.split("/")[0], kind != "Entry", "")
    return ({"Unit": 1, "Peer": 2}.get(kind, 3), "", False, name)


def fmt(v, digits=1):
    return "—" if v is None else f"{v:,.{digits}f}"


def share(v):
    return "—" if v is None else f"{100 * v:.1f} %"


def changes(runs, key):
    """(relative change, benchmark) between consecutive runs, largest first.
    Skipped benchmarks have no figures (taken as 0) and are left out."""
    worst = []
    for (_, a), (_, b) in zip(runs, runs[1:]):
        for name in b:
            if name in a and (a[name].get(key) or 0) >= 1 and (b[name].get(key) or 0) >= 1:
                worst.append((abs(b[name][key] / a[name][key] - 1), name))
    return sorted(worst, reverse=True)


def fastest_eigen(rows):
    """"vs Eigen" divides by the fastest Eigen peer: either layout, either
    build (the bench's baseline flags or -O3 -march=native)."""
    eigens = [(b["cycles"], n) for n, b in rows.items() if n.startswith("Peer/Eigen") and b.get("cycles")]
    return min(eigens) if eigens else (None, None)


def legend(context, rounds, repetitions, eigen_name):
    return [
        "One fixed, seeded problem; every call runs "
        f"{context.get('repetitions_per_call', '?')} repetitions of the 18 x 36 product; figures are per "
        f"repetition. A run is {rounds} rounds, each a process of its own running {repetitions} repetitions of "
        "every benchmark in random order among the others'; the rounds of consecutive runs alternate. A figure "
        "is the median over the last run's rounds of each round's median.",
        "",
        "- cycles: core cycles, calibrated around every sample against a chain of one-cycle additions (a "
        "sample whose two calibrations differ by more than 2 % from each other or from the run's usual ratio "
        "is dropped); the median of a round's samples, then as above",
        "- rounds: the spread of the rounds' median cycles (largest less least, over their median)",
        "- noise: the median absolute deviation of all the run's repetitions' cycles, as a share of their "
        f"median; above {100 * NOISY:.0f} % the row is marked (noisy)",
        "- best: the least of the samples of the run, what the code takes when nothing else competes for the "
        "core; one sample makes it, so runs are not judged by it",
        f"- ns: nanoseconds (time-stamp counter at {float(context.get('tsc_ghz', 0)):.3f} GHz)",
        "- vs bound: cycles divided by the bound of bench/BOUNDS.md; vs Eigen: cycles divided by the cycles "
        f"of the fastest Eigen peer ({eigen_name})",
        "",
    ]


def machine(context, name):
    out = [f"Machine: {name or context.get('processor') or context.get('host_name', '?')}, "
           f"{context.get('num_cpus', '?')} CPUs, core clock at start {float(context.get('core_ghz_now', 0)):.2f} GHz, "
           f"build: {context.get('build', '?')}, date {context.get('date', '?')}."]
    if context.get("library_build_type") == "debug":
        out.append("The Google Benchmark library here is a debug build: its own bookkeeping between samples is "
                   "slower, the figures (timed by the bench's own counter reads) are not.")
    if "openblas_core" in context:
        out.append(f"OpenBLAS kernel: {context['openblas_core']} (one thread).")
    return out


def costs(context):
    """The micro-kernels' figures of the run, and the chain limit of 10 and 11."""
    def num(key):
        return f"{float(context[key]):.2f}" if key in context else "—"
    avx = float(context.get("avx_double_input_cycles", 0)) > 0
    out = [
        f"Measured on this machine in the same run: x87 load-multiply-add step {num('x87_step_cycles')} cycles "
        f"(six sums in flight), x87 add latency {num('x87_add_latency')}, x87 multiply latency "
        f"{num('x87_mul_latency')}, x87 step through memory {num('x87_memory_step_cycles')} (two rows' chains "
        f"interleaved {num('x87_memory_pair_cycles')}, rows of 36 such steps one after another "
        f"{num('x87_memory_rows_cycles')}; rows of 36 steps into a sum on the stack, one after another, as loops "
        f"{num('x87_loop_rows_cycles')}, as straight runs {num('x87_run_rows_cycles')}), SSE add/multiply latency "
        f"{num('sse_add_latency')}/{num('sse_mul_latency')}, SSE add/multiply throughput {num('sse_add_cycles')}/"
        f"{num('sse_mul_cycles')} cycles per operation, {num('sse_mix_cycles')} alternating; 16-byte load/store "
        f"{num('load_cycles')}/{num('store_cycles')} cycles each; MMX PMULHW latency {num('mmx_mul_latency')}, "
        f"throughput {num('mmx_mul_cycles')}; PADDW latency {num('mmx_add_latency')}, throughput "
        f"{num('mmx_add_cycles')}; PUNPCKLWD latency {num('mmx_unpack_latency')}, throughput "
        f"{num('mmx_unpack_cycles')}; MMX step (load, PMULHW, PADDW) {num('mmx_mac_step_cycles')}; the same on "
        f"SSE2 registers {num('sse2_mac_step_cycles')} (PUNPCKLQDQ {num('sse2_unpack_cycles')}; PMULHW/PADDW "
        f"latency {num('sse2_word_mul_latency')}/{num('sse2_word_add_latency')}); x87 conversions float to word "
        f"{num('x87_to_word_cycles')}, word to float {num('x87_to_float_cycles')} cycles each" +
        (f"; AVX (the C++ kernels' paths): one input of the double-precision code (broadcast, five VCVTPS2PD, "
         f"VMULPD, VADDPD steps) {num('avx_double_input_cycles')}, conversion {num('avx_conversion_cycles')}, "
         f"shuffle {num('avx_shuffle_cycles')}, 32-byte store {num('avx_store_cycles')}, 32-byte load "
         f"{num('avx_load_cycles')} ({num('avx_split_load_cycles')} across a 64-byte line)." if avx else ".")]
    if "sse_chain_limit" in context:
        portable = context.get("build") == "portable"
        out.append(f"Chain limit of entries 10 and 11 (multiply + 35 additions at the latencies above): "
                   f"{num('sse_chain_limit')} cycles" +
                   ("; the bound of their C++ kernel through runEntry and of its AVX-512 path; its SSE2 and AVX "
                    "paths (Unit/SseSoa rows) are bound by their loads or their arithmetic (bench/BOUNDS.md)."
                    if portable else
                    "; their hand-written kernels are bound by their loads instead (bench/BOUNDS.md)."))
    return out + [""]


def table(rows, eigen):
    out = ["| Benchmark | cycles | rounds | noise | best | ns | bound | vs bound | vs Eigen | dropped |",
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, b in rows.items():
        if b.get("error_occurred"):
            out.append(f"| {name} | skipped: {b.get('error_message', '')} | | | | | | | | |")
            continue
        c = b.get("cycles")
        label = f" ({b['label']}: portable code)" if b.get("label") else ""
        n = b.get("noise")
        noise = share(n) + (" (noisy)" if n is not None and n > NOISY else "")
        out.append(f"| {name}{label} | {fmt(c)} | {share(b.get('spread'))} | {noise} | {fmt(b.get('best'))} | "
                   f"{fmt(b.get('ns'))} | {fmt(b.get('bound'))} | {fmt(b.get('vs_bound'), 2)} | "
                   f"{fmt(c / eigen if c and eigen else None, 2)} | {100 * (b.get('dropped') or 0):.0f} % |")
    return out + [""]


def dispatch(rows):
    overheads = []
    for n in (n for n in rows if n.startswith("Entry/")):
        d = "Direct/" + n[len("Entry/"):]
        if (rows[n].get("best") or 0) >= 1 and (rows.get(d, {}).get("best") or 0) >= 1:
            overheads.append((rows[n]["best"] / rows[d]["best"] - 1, n))
    if not overheads:
        return []
    o = max(overheads)
    return ["Dispatch: runEntry against a direct call of the same kernel, same count (best cycles): largest "
            f"overhead {100 * o[0]:+.1f} % ({o[1]}); all: " +
            ", ".join(f"{n.split('/')[1]} {100 * v:+.1f} %" for v, n in sorted(overheads, key=lambda t: t[1])) +
            ".", ""]


def targets(rows):
    met = [(n, limit) for n, limit in TARGETS if n in rows and rows[n].get("vs_bound")]
    if not met:
        return []
    return ["Targets (vs bound, median cycles): " + "; ".join(
        f"{n} {rows[n]['vs_bound']:.2f}" +
        ("" if limit is None else f" (≤ {limit:.2f}: {'met' if rows[n]['vs_bound'] <= limit else 'MISSED'})")
        for n, limit in met) + ".", ""]


def agreement(runs, rows):
    """The lines that judge the runs, and whether they agree."""
    out, agree = [], True
    worst = changes(runs, "cycles")
    if worst:
        agree = worst[0][0] <= TOLERANCE
        best = changes(runs, "best")
        out += [f"Runs agree within {100 * TOLERANCE:.0f} % (median of the rounds' median cycles, "
                f"{len(runs)} consecutive runs): {'yes' if agree else 'NO'}; largest change "
                f"{100 * worst[0][0]:.1f} % ({worst[0][1]})" +
                (f"; best cycles, not judged: largest change {100 * best[0][0]:.1f} % ({best[0][1]})"
                 if best else "") + ".", ""]
    elif len(runs) > 1:  # nothing was timed in two runs: no agreement to speak of
        agree = False
        out += [f"Runs agree within {100 * TOLERANCE:.0f} %: NO; largest change — (no benchmark timed in two "
                "consecutive runs).", ""]
    noisy = [n for n, b in rows.items() if (b.get("noise") or 0) > NOISY]
    if noisy:
        out += [f"Noisy (repetitions scatter more than {100 * NOISY:.0f} %): " + ", ".join(noisy) + ".", ""]
    if len(runs) == 1:
        out += ["One run only: its agreement with another run was not measured.", ""]
    return out, agree


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--heading", default="Performance")
    ap.add_argument("--machine", default="", help="the processor, as the system names it")
    ap.add_argument("--rounds", type=int, default=1, help="files per run (each run's rounds in a row)")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    if args.rounds < 1 or len(args.files) % args.rounds:
        ap.error(f"{len(args.files)} files do not make runs of {args.rounds} rounds")
    rounds = [read_round(p) for p in args.files]
    runs = [combine(rounds[i:i + args.rounds]) for i in range(0, len(rounds), args.rounds)]
    context, rows = runs[-1]
    eigen, eigen_name = fastest_eigen(rows)
    repetitions = max((len(b.get("reps", [])) for _, r in rounds[-args.rounds:] for b in r.values()), default=0)
    judged, agree = agreement(runs, rows)
    out = ([f"## {args.heading}", ""] + legend(context, args.rounds, repetitions or "?", eigen_name) +
           machine(context, args.machine) + costs(context) + table(rows, eigen) + dispatch(rows) +
           targets(rows) + judged)
    sys.stdout.write("\n".join(out))
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
