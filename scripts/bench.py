#!/usr/bin/env python3
"""./mivo bench: every performance figure beside its target.

Each producer is a command of the release build that prints its figures as
lines 'FIGURE <key> <value> <unit>'. This script runs them, prints one row a
figure (what it is, the measured value, the target, the command that made it)
and exits 1 when a figure misses its target or was not produced at all.

  scripts/bench.py [--only KEY_PREFIX] [--skip-tests]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REL = os.path.join(HERE, "build", "release")

# key, unit, comparison, target, what it is
TARGETS = [
    ("step.base.idle", "instructions", "<=", 2500, "one worker step, base profile, unchanged input"),
    ("step.base.moving", "instructions", "<=", 3500, "one worker step, base profile, moving input"),
    ("step.per_bind", "instructions", "<=", 40, "each extra bind in a step"),
    ("initstate.32x64", "ms", "<=", 2, "MIVO_InitState, 32 profiles x 64 binds from the registry"),
    ("latency.p50", "us", "<=", 50, "real time: device report at the bus -> HID read completed, median"),
    ("latency.p99", "us", "<=", 1000, "real time: the same, 99th percentile"),
    ("latency.samples", "reports", ">=", 10000, "reports behind the latency figures"),
    ("idle.cpu", "percent", "<=", 0.1, "CPU of a started device with no input, of one core"),
    ("sim.hour.seconds", "s", "<=", 10, "mivo-sim, virtual time: 1 h of 1 kHz input, JSON lines"),
    ("sim.hour.growth", "MB", "<=", 2, "mivo-sim peak memory, 1 h session minus 6 min session"),
    ("test.seconds", "s", "<=", 60, "./mivo test, built, on this machine"),
]

# The commands that produce the figures, in the order they run.
PRODUCERS = [
    ("scripts/step_count.sh", [os.path.join(HERE, "scripts", "step_count.sh")]),
    ("mivo_bench", [os.path.join(REL, "mivo_bench"), "--benchmark_min_time=0.5", "--benchmark_format=json"]),
    ("mivo_latency", [os.path.join(REL, "mivo_latency")]),
    ("scripts/sim_hour.sh", [os.path.join(HERE, "scripts", "sim_hour.sh")]),
]

FIGURE = re.compile(r"^FIGURE\s+(\S+)\s+(\S+)\s+(\S+)\s*$")


# Google Benchmark entries that stand for a figure: name -> key. Their time
# is taken in the unit the benchmark reports it in.
BENCHMARKS = {"BM_InitState/32/64": "initstate.32x64"}


def benchmark_figures(text, figures, sources, name):
    for entry in json.loads(text).get("benchmarks", []):
        key = BENCHMARKS.get(entry.get("name"))
        if key:
            figures[key] = (entry["real_time"], entry["time_unit"])
            sources[key] = name


def run_producer(name, argv, figures, sources):
    print(f"-- {name}", file=sys.stderr, flush=True)
    proc = subprocess.run(argv, cwd=HERE, stdout=subprocess.PIPE, text=True)
    if "--benchmark_format=json" in argv and proc.returncode == 0:
        benchmark_figures(proc.stdout, figures, sources, name)
    for line in proc.stdout.splitlines():
        m = FIGURE.match(line)
        if m:
            figures[m.group(1)] = (float(m.group(2)), m.group(3))
            sources[m.group(1)] = name
    if proc.returncode != 0:
        print(f"bench: {name} exited with {proc.returncode}", file=sys.stderr)


def time_tests(figures, sources):
    # The suite once built, as a user runs it: the first run builds what is
    # stale, the second is the one timed.
    subprocess.run([os.path.join(HERE, "mivo"), "test"], cwd=HERE, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    start = time.monotonic()
    proc = subprocess.run([os.path.join(HERE, "mivo"), "test"], cwd=HERE, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    if proc.returncode == 0:
        figures["test.seconds"] = (time.monotonic() - start, "s")
        sources["test.seconds"] = "./mivo test"
    else:
        print("bench: ./mivo test failed", file=sys.stderr)


def main():
    ap = argparse.ArgumentParser(description="every performance figure beside its target")
    ap.add_argument("--skip-tests", action="store_true", help="do not time ./mivo test")
    ap.add_argument("--only", help="run only the producers whose name starts with this")
    args = ap.parse_args()

    figures, sources = {}, {}
    for name, argv in PRODUCERS:
        if args.only and not name.startswith(args.only):
            continue
        run_producer(name, argv, figures, sources)
    if not args.skip_tests and not args.only:
        time_tests(figures, sources)

    missed = 0
    print(f"{'figure':<18} {'measured':>18} {'target':>20}  {'':4} {'what':<66} command")
    for key, unit, op, target, what in TARGETS:
        if key not in figures:
            if args.only or (args.skip_tests and key == "test.seconds"):
                continue
            print(f"{key:<18} {'(none)':>18} {op + ' ' + str(target) + ' ' + unit:>20}  MISS {what}")
            missed += 1
            continue
        value, got_unit = figures[key]
        ok = value <= target if op == "<=" else value >= target
        missed += not ok
        shown = f"{value:.3g}" if value < 100 else f"{value:.0f}"
        print(f"{key:<18} {shown + ' ' + got_unit:>18} {op + ' ' + str(target) + ' ' + unit:>20}  "
              f"{'ok' if ok else 'MISS':4} {what:<66} {sources[key]}")
    for key in sorted(set(figures) - {t[0] for t in TARGETS}):
        value, unit = figures[key]
        print(f"{key:<18} {f'{value:.4g} {unit}':>18} {'(no target)':>20}       {'':<66} {sources[key]}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
