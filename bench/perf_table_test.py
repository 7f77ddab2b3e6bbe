#!/usr/bin/env python3
"""The verdicts of perf_table.py on made-up runs: one row per case, each a
list of runs (a run: its rounds' cycles per repetition for one benchmark),
the exit status and a text the section must hold."""
import json, os, subprocess, sys, tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "perf_table.py")
NAME = "Entry/10/SseSoa/iterations:300/manual_time"

# (case, runs, repetitions per round, exit status, text)
CASES = [
    ("one slow round of three is outvoted", [[101, 100, 102], [100, 150, 100]], 3, 0,
     "| Entry/10/SseSoa | 100.0 | 50.0 % |"),
    ("runs 10 % apart disagree", [[100, 100], [110, 110]], 3, 1, "NO; largest change 10.0 % (Entry/10/SseSoa)"),
    ("one repetition per round still makes a figure", [[100, 100], [100, 101]], 1, 0, "| Entry/10/SseSoa | 100."),
    ("nothing timed in two runs is no agreement", [[None], [None]], 3, 1, "no benchmark timed in two"),
]


def round_json(cycles, repetitions):
    if cycles is None:
        return [{"run_name": NAME, "error_occurred": True, "error_message": "CPU lacks SSE"}]
    row = {"run_name": NAME, "cycles": cycles, "best": cycles, "ns": cycles / 3, "bound": 100.0, "dropped": 0}
    rows = [dict(row, run_type="iteration") for _ in range(repetitions)]
    return rows + ([dict(row, run_type="aggregate", aggregate_name="median")] if repetitions > 1 else [])


def run_case(folder, runs, repetitions):
    files = []
    for r, rounds in enumerate(runs):
        for k, cycles in enumerate(rounds):
            path = os.path.join(folder, f"run{r}-{k}.json")
            with open(path, "w") as f:
                json.dump({"context": {"repetitions_per_call": 256}, "benchmarks": round_json(cycles, repetitions)}, f)
            files.append(path)
    return subprocess.run([sys.executable, SCRIPT, "--rounds", str(len(runs[0]))] + files,
                          capture_output=True, text=True)


def main():
    failed = 0
    for case, runs, repetitions, status, text in CASES:
        with tempfile.TemporaryDirectory() as folder:
            done = run_case(folder, runs, repetitions)
        ok = done.returncode == status and text in done.stdout
        failed += not ok
        print(("ok    " if ok else "FAIL  ") + case + ("" if ok else f": exit {done.returncode}\n{done.stdout}{done.stderr}"))
    print(f"{len(CASES) - failed} of {len(CASES)} cases as expected")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
