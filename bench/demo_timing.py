#!/usr/bin/env python3
"""The demo's control loop timing, run like a user runs it: `scripts/demo` (vcan, User-Mode
Linux where the host has no CAN), with its output on a pipe and on a terminal (a pty).

Prints one row per run (calls per second, skipped grid points, lateness p50/p99/max, the
timer the demo chose, the host's load average at the start), pipe and terminal runs
interleaved, then the median and spread (lowest-highest run) of each output. Writes
bench/out/demo_timing.json. A benchmark: it reports figures and never passes or fails on them.

    bench/demo_timing.py [--runs 5] [--duration 60] [--precision normal|high|realtime]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import pty
import re
import statistics
import subprocess
import sys

import benchkit  # from this folder

ROOT = pathlib.Path(__file__).resolve().parents[1]
SUMMARY = re.compile(r"summary: (\d+) control cycles in ([\d.]+) s \(([\d.]+) Hz of ([\d.]+) Hz, (\d+) grid points")
LATENESS = re.compile(r"timer lateness: p50 (\d+) µs, p99 (\d+) µs, max (\d+) µs")
CHOICE = re.compile(r"control timer: (\w+) precision")


def run_demo(env: dict, on_terminal: bool) -> str:
    cmd = [str(ROOT / "scripts" / "demo")]
    if not on_terminal:
        done = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=900)
        return (done.stdout + done.stderr).decode(errors="replace")
    master, slave = pty.openpty()
    proc = subprocess.Popen(cmd, env=env, stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    out = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the terminal's other side is gone
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    proc.wait(timeout=900)
    return out.decode(errors="replace")


def measure(duration: float, precision: str | None, on_terminal: bool) -> dict | None:
    env = dict(os.environ, DURATION=str(duration))
    if precision:
        env["PRECISION"] = precision
    load = os.getloadavg()[0]
    text = run_demo(env, on_terminal)
    s, late, choice = SUMMARY.search(text), LATENESS.search(text), CHOICE.search(text)
    if not (s and late):
        print(text[-2000:], file=sys.stderr)
        return None
    return {
        "calls_per_s": float(s.group(1)) / float(s.group(2)),
        "skipped": int(s.group(5)),
        "p50": int(late.group(1)),
        "p99": int(late.group(2)),
        "max": int(late.group(3)),
        "timer": choice.group(1) if choice else "?",
        "load": load,
    }


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--duration", type=float, default=60.0)
    p.add_argument("--precision", choices=("normal", "high", "realtime"))
    args = p.parse_args()
    session = benchkit.Session()
    keys = ("calls_per_s", "skipped", "p50", "p99", "max")
    print(f"{'output':<9} {'run':>3} {'calls/s':>8} {'skipped':>8} {'p50 µs':>7} {'p99 µs':>7} {'max µs':>7}"
          f" {'timer':>8} {'load':>5}")
    rows = {"pipe": [], "terminal": []}
    for i in range(args.runs):
        for mode in rows:  # interleaved
            r = measure(args.duration, args.precision, mode == "terminal")
            if r is None:
                print(f"{mode:<9} {i + 1:>3} (no summary)")
                continue
            rows[mode].append(r)
            print(f"{mode:<9} {i + 1:>3} {r['calls_per_s']:>8.1f} {r['skipped']:>8} {r['p50']:>7} {r['p99']:>7}"
                  f" {r['max']:>7} {r['timer']:>8} {r['load']:>5.1f}", flush=True)
    session.finish()
    print(f"\nmedians (spread: lowest-highest run); {session.machine_line()}")
    summary = {}
    for mode, runs in rows.items():
        if not runs:
            continue
        summary[mode] = {k: statistics.median(r[k] for r in runs) for k in keys}
        print(f"{mode:<9} " + "  ".join(f"{k} {summary[mode][k]:.1f} ({benchkit.spread([r[k] for r in runs])})"
                                        for k in keys), flush=True)
    path = session.write_json("demo_timing.json", {"duration_s": args.duration, "runs": rows, "summary": summary})
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
