#!/usr/bin/env python3
"""Holds what an application read from mivo.sys in Wine against mivo-sim's
timeline of the same trace (both as mivo-sim --format jsonl lines).

Compared: from the run's first write on (the reload that makes the driver send
every report again; what the driver sent before it went to nobody), the
reports, the writes and their results, and the LED as the device saw it. Lines
only the simulator can know (device arrival and start, profile changes) are
left out; the driver's own log shows those.

Each kind of line (each report by name, the writes, the LED) is a stream, and
a stream is compared as runs of equal lines: the same runs in the same order,
each run's first and last line within the time tolerance of the simulator's.
A run of repeats (the mouse moving on the driver's 10 ms step) may hold a
few more or fewer lines in Wine: its worker's timer waits run late by a
fraction of a millisecond each, so over 200 ms it takes 19 or 20 steps where
the simulator takes 20. One line in ten, and one more, may differ; but no gap
between two repeats may reach 7/4 of the simulator's step, which a repeat
missing from the run would leave.

With --driver-log, the driver's DbgPrint lines of the run must show it loaded,
registered with the HID class driver, took the surprise removal and the removal
of the unplug, and was unloaded, and the bus had no transfer left pending.
"""
import argparse
import json
import re
import sys


def load(path):
    lines = []
    with open(path, encoding="utf-8") as f:
        for n, text in enumerate(f, 1):
            text = text.strip()
            if not text:
                continue
            try:
                lines.append(json.loads(text))
            except json.JSONDecodeError as e:
                sys.exit(f"{path}:{n}: not a JSON line: {e}")
    return lines


def stream_of(line):
    if "report" in line:
        return "report " + line["report"]
    if "write" in line:
        return "write"
    if "led" in line:
        return "led"
    return None


def from_first_write(lines):
    for i, line in enumerate(lines):
        if "write" in line:
            return lines[i:]
    return []


def runs(lines):
    """[(value, [times])] of consecutive equal lines."""
    out = []
    for line in lines:
        value = {k: v for k, v in line.items() if k != "t_ms"}
        if out and out[-1][0] == value:
            out[-1][1].append(line["t_ms"])
        else:
            out.append((value, [line["t_ms"]]))
    return out


def largest_gap(times):
    return max((b - a for a, b in zip(times, times[1:])), default=0)


def compare(sim, wine, tolerance):
    problems = []
    worst = 0
    streams = {}
    for source, lines in (("sim", sim), ("wine", wine)):
        for line in lines:
            s = stream_of(line)
            if s:
                streams.setdefault(s, {"sim": [], "wine": []})[source].append(line)
    compared = 0
    for name in sorted(streams):
        a, b = runs(streams[name]["sim"]), runs(streams[name]["wine"])
        for i in range(max(len(a), len(b))):
            if i >= len(a) or i >= len(b):
                extra = (b[i] if i >= len(a) else a[i])
                who = "Wine" if i >= len(a) else "the simulator"
                problems.append(f"{name}: only {who} has {json.dumps(extra[0])} at {extra[1]} ms")
                break
            (va, ta), (vb, tb) = a[i], b[i]
            fa, la, ca, fb, lb, cb = ta[0], ta[-1], len(ta), tb[0], tb[-1], len(tb)
            if va != vb:
                problems.append(f"{name} #{i + 1}: simulator {json.dumps(va)} at {fa} ms, "
                                f"Wine {json.dumps(vb)} at {fb} ms")
                break
            worst = max(worst, abs(fa - fb), abs(la - lb))
            if abs(fa - fb) > tolerance or abs(la - lb) > tolerance:
                problems.append(f"{name} #{i + 1} {json.dumps(va)}: simulator {fa}..{la} ms, Wine {fb}..{lb} ms "
                                f"(tolerance {tolerance} ms)")
            if abs(ca - cb) > 1 + ca // 10:
                problems.append(f"{name} #{i + 1} {json.dumps(va)}: {ca} lines in the simulator, {cb} in Wine")
            # A repeat missing from the middle of a run leaves a gap of two steps.
            if ca > 2 and largest_gap(tb) > largest_gap(ta) * 7 // 4:
                problems.append(f"{name} #{i + 1} {json.dumps(va)}: a gap of {largest_gap(tb)} ms between repeats "
                                f"in Wine, {largest_gap(ta)} ms in the simulator")
            compared += min(ca, cb)
    return problems, worst, compared, len(streams)


DRIVER_LOG_NEEDS = [
    ("the driver's banner (DriverEntry ran)", r"MIVO-Zarvik"),
    ("DriverEntry returned STATUS_SUCCESS", r"> Leave: DriverEntry: \n0\n"),
    ("the surprise removal's USB teardown", r"> Leave: MIVO_usb_remove: \nSTATUS_SUCCESS"),
    ("the device's removal", r"Delete Profil"),
    # The driver's own unload line may stay in Wine's buffer for its thread
    # (it has no line feed of its own); the bus reports the unload's status.
    ("the driver's unload", r"mivo-vbus: mivo.sys unloaded 00000000"),
    ("the bus removed", r"mivo-vbus: bus removed 00000000"),
]


def check_driver_log(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        raw = f.read()
    # The driver's lines as DbgPrint printed them, Wine's prefix cut off.
    text = "\n".join(re.sub(r"^.*vDbgPrintExWithPrefix [0-9a-f:]*: ", "", l)
                     for l in raw.splitlines() if "vDbgPrintExWithPrefix" in l or "mivo-" in l)
    text = text.replace("\n\n", "\n")
    return [what for what, pattern in DRIVER_LOG_NEEDS if not re.search(pattern, text)]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("sim")
    p.add_argument("wine")
    p.add_argument("--tolerance-ms", type=int, default=40)
    p.add_argument("--driver-log")
    p.add_argument("--name", default="run")
    a = p.parse_args()
    sim, wine = from_first_write(load(a.sim)), from_first_write(load(a.wine))
    if not sim or not wine:
        sys.exit(f"{a.name}: no write in {'the simulator' if not sim else 'Wine'}'s lines: nothing to compare from")
    problems, worst, compared, streams = compare(sim, wine, a.tolerance_ms)
    if a.driver_log:
        problems += [f"driver log: no trace of {what}" for what in check_driver_log(a.driver_log)]
    for problem in problems:
        print(f"wine-e2e: {a.name}: {problem}", file=sys.stderr)
    print(f"wine-e2e: {a.name}: {compared} lines in {streams} streams compared, largest time difference "
          f"{worst} ms (tolerance {a.tolerance_ms} ms): {'FAILED' if problems else 'same'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
