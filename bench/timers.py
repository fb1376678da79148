"""Timer precision: lateness of each call's start against the ideal grid, for quorix's three
modes beside floors and peers measured in the same run.

This machine's wake-ups are slow and noisy, so absolute figures mean little: each quorix
configuration is compared with its floor, a small C program (bench/timer_floor.c) that runs
the same algorithm with no interpreter (absolute clock_nanosleep to the deadline minus the
spin window, then spin; plain clock_nanosleep for Normal; timer slack 1 ns). At 1 kHz the
peers a user would otherwise write run too: a Python thread sleeping to absolute deadlines
with time.sleep, the same sleep-then-spin algorithm in pure Python, and an asyncio loop.

Every callback only records time.perf_counter_ns() (CLOCK_MONOTONIC, like the C floor). The
grid's phase within a period is the call phase that makes the calls' total lateness smallest
(a timer is never early); a call's lateness is its distance from the latest grid point at or
before it, and a grid point is "skipped" when no call falls between it and the next one (a
call delayed past whole periods thus shows as skipped points plus the rest of a period). CPU
is the process's CPU time over the wall time of the run (100 = one core busy). Each
configuration runs --runs times, interleaved with its floor; the table shows medians over the
runs and their spread (lowest-highest run). Every run is a fresh process.

Usage: python bench/timers.py [--full] [--duration S] [--runs N]
  default: 2 s per run, 5 runs (about 3 minutes); --full: 10 s per run, as in the goals.
Writes bench/out/timers.json, then its figures with bench/plots.py (timers_lateness.png,
timers_fast.png) when matplotlib is present.
"""

import argparse
import array
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import benchkit

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
HIGH_WINDOW_NS = 800_000
REALTIME_WINDOW_NS = 3_000_000

# name, runner, frequency, floor (None: a peer without a floor of its own)
CONFIGS = [
    ("normal 1 kHz", ("quorix", "normal"), 1000.0, "plain"),
    ("high 1 kHz", ("quorix", "high"), 1000.0, f"spin:{HIGH_WINDOW_NS}"),
    ("realtime 1 kHz", ("quorix", "realtime"), 1000.0, f"spin:{REALTIME_WINDOW_NS}"),
    ("high 5 kHz", ("quorix", "high"), 5000.0, f"spin:{HIGH_WINDOW_NS}"),
    ("realtime 20 kHz", ("quorix", "realtime"), 20000.0, f"spin:{REALTIME_WINDOW_NS}"),
    ("realtime 50 kHz", ("quorix", "realtime"), 50000.0, f"spin:{REALTIME_WINDOW_NS}"),
    ("py time.sleep 1 kHz", ("peer", "sleep"), 1000.0, None),
    ("py sleep+spin 1 kHz", ("peer", "sleep_spin"), 1000.0, None),
    ("asyncio 1 kHz", ("peer", "asyncio"), 1000.0, None),
]


# ---- workers (run in a child process, write raw timestamps) ----------------------------------


def next_deadline(next_t, now, period):
    """The skip rule shared by the peers: the first grid point after `now` when late."""
    if now > next_t:
        next_t += period * ((now - next_t) // period + 1)
    return next_t


def worker_quorix(mode, hz, duration, stamps):
    import quorix

    record = stamps.append
    clock = time.perf_counter_ns

    def tick():
        record(clock())

    if mode == "normal":
        deco = quorix.timer(hz)
    else:
        deco = quorix.precision_timer(hz, realtime=(mode == "realtime"))
    h = deco(tick)()
    time.sleep(duration)
    actual = h.actual_frequency()
    h.stop()
    time.sleep(0.05)
    return {"actual_frequency": actual}


def worker_peer(kind, hz, duration, stamps):
    import threading

    period = round(1e9 / hz)
    clock = time.perf_counter_ns
    record = stamps.append
    end = clock() + int(duration * 1e9)

    def sleep_loop(spin):
        next_t = clock() + period
        while True:
            t = clock()
            if t >= end:
                return
            record(t)
            if spin:
                left = next_t - clock()
                if left > HIGH_WINDOW_NS:
                    time.sleep((left - HIGH_WINDOW_NS) / 1e9)
                while clock() < next_t:
                    pass
            else:
                left = next_t - clock()
                if left > 0:
                    time.sleep(left / 1e9)
            next_t = next_deadline(next_t + period, clock(), period)

    def asyncio_loop():
        import asyncio

        async def main():
            loop = asyncio.get_running_loop()
            next_t = clock() + period
            while True:
                t = clock()
                if t >= end:
                    return
                record(t)
                await asyncio.sleep(max(0.0, (next_t - clock()) / 1e9))
                next_t = next_deadline(next_t + period, clock(), period)
            del loop

        asyncio.run(main())

    target = {"sleep": lambda: sleep_loop(False), "sleep_spin": lambda: sleep_loop(True), "asyncio": asyncio_loop}
    t = threading.Thread(target=target[kind])
    t.start()
    t.join()
    return {}


def run_worker(argv):
    kind, mode, hz, duration, out = argv[0], argv[1], float(argv[2]), float(argv[3]), argv[4]
    stamps = []
    cpu0, wall0 = time.process_time(), time.perf_counter()
    extra = (worker_quorix if kind == "quorix" else worker_peer)(mode, hz, duration, stamps)
    cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
    with open(out, "wb") as f:
        array.array("q", stamps).tofile(f)
    json.dump({"cpu_percent": 100.0 * cpu / wall, **extra}, sys.stdout)


# ---- analysis ----------------------------------------------------------------------------------


def grid_origin(stamps, period):
    """An origin of the grid the calls were aimed at, at or before the first call.

    The loop reads its clock just before its first call, so the grid is not observable. A
    timer is never early, so the grid's phase within a period is taken as the call phase that
    makes the calls' total lateness (phase distance, circularly) smallest."""
    t0 = stamps[0]
    phases = sorted((t - t0) % period for t in stamps)
    n = len(phases)
    total = sum(phases)
    best_sum, best = None, 0
    below = 0  # sum of the phases before index j
    for j, ph in enumerate(phases):
        # phases at or after ph are late by p - ph; those before it wrap: p - ph + period
        late_sum = (total - below) - (n - j) * ph + below + j * (period - ph)
        if best_sum is None or late_sum < best_sum:
            best_sum, best = late_sum, ph
        below += ph
    return t0 + best - period


def lateness(stamps, period):
    """Per-call lateness (ns, below one period) and the number of skipped grid points.

    A call's lateness is its distance from the latest grid point at or before it; a grid
    point is skipped when no call falls between it and the next one. A call delayed past
    whole periods thus shows as skipped points plus the rest of a period."""
    if not stamps:
        return [], 0
    origin = grid_origin(stamps, period)
    slots = [(t - origin) // period for t in stamps]
    return [(t - origin) % period for t in stamps], slots[-1] - slots[0] + 1 - len(set(slots))


percentile = benchkit.percentile


def summarize(stamps, hz):
    period = round(1e9 / hz)
    late, skipped = lateness(stamps, period)
    s = sorted(late)
    us = lambda v: v / 1000.0  # noqa: E731
    return {
        "calls": len(stamps),
        "skipped": skipped,
        "p50_us": us(percentile(s, 0.50)),
        "p99_us": us(percentile(s, 0.99)),
        "p999_us": us(percentile(s, 0.999)),
        "max_us": us(s[-1]) if s else float("nan"),
    }, late


# ---- the parent ----------------------------------------------------------------------------------


def build_floor(tmp):
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        sys.exit("timers.py: a C compiler (cc) is needed for the floor program")
    exe = os.path.join(tmp, "timer_floor")
    subprocess.run([cc, "-O2", "-o", exe, os.path.join(HERE, "timer_floor.c")], check=True)
    return exe


def read_stamps(path):
    a = array.array("q")
    with open(path, "rb") as f:
        a.frombytes(f.read())
    return a.tolist()


def measure_worker(runner, hz, duration, tmp):
    out = os.path.join(tmp, "stamps.bin")
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--worker", runner[0], runner[1], str(hz), str(duration), out],
        capture_output=True, text=True, check=True,
    )
    info = json.loads(proc.stdout)
    stats, late = summarize(read_stamps(out), hz)
    return {**stats, **info}, late


def measure_floor(exe, floor, hz, duration, tmp):
    out = os.path.join(tmp, "floor.bin")
    before = os.times()
    t0 = time.perf_counter()
    subprocess.run([exe, floor, str(hz), str(duration), out], check=True)
    wall = time.perf_counter() - t0
    after = os.times()
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    stats, late = summarize(read_stamps(out), hz)
    stats["cpu_percent"] = 100.0 * cpu / wall
    return stats, late


def median_of(runs, key):
    values = [r[key] for r in runs if key in r]
    return statistics.median(values) if values else float("nan")


def fmt(v, width=8, digits=1):
    return f"{v:{width}.{digits}f}"


def spread(runs, key):
    """The lowest and highest of the runs' values, as text."""
    return benchkit.spread([r[key] for r in runs if key in r])


def print_table(results):
    head = (f"{'configuration':<28}{'p50 us':>9}{'p50 spread':>12}{'p99 us':>9}{'p99 spread':>14}"
            f"{'p99.9 us':>9}{'max us':>9}{'skipped':>9}{'CPU %':>8}{'calls/s':>10}")
    print(head)
    print("-" * len(head))
    for name, r in results.items():
        runs = r["runs"]
        rate = median_of(runs, "calls") / r["duration"]
        print(
            f"{name:<28}{fmt(median_of(runs, 'p50_us'), 9)}{spread(runs, 'p50_us'):>12}"
            f"{fmt(median_of(runs, 'p99_us'), 9)}"
            f"{spread(runs, 'p99_us'):>14}"
            f"{fmt(median_of(runs, 'p999_us'), 9)}{fmt(median_of(runs, 'max_us'), 9)}"
            f"{median_of(runs, 'skipped'):9.0f}{fmt(median_of(runs, 'cpu_percent'), 8, 0)}{rate:10.0f}"
        )


def goals(results):
    """(goal, measured, met) rows for the figures the timers promise, for the configurations run."""
    rows = []
    m = lambda name, key: median_of(results[name]["runs"], key)  # noqa: E731
    have = lambda *names: all(n in results for n in names)  # noqa: E731
    for name in ["high 1 kHz", "realtime 1 kHz", "high 5 kHz", "realtime 20 kHz", "realtime 50 kHz"]:
        floor = f"{name} C floor"
        if not have(name, floor):
            continue
        d50 = m(name, "p50_us") - m(floor, "p50_us")
        d99 = m(name, "p99_us") - m(floor, "p99_us")
        rows.append((f"{name}: p50 within +3 us of its C floor", f"{d50:+.1f} us", d50 <= 3.0))
        rows.append((f"{name}: p99 within +10 us of its C floor", f"{d99:+.1f} us", d99 <= 10.0))
        if name.endswith("1 kHz"):
            rows.append((f"{name}: p50 within +1 us of its C floor", f"{d50:+.1f} us", d50 <= 1.0))
            rows.append((f"{name}: p99 within +3 us of its C floor", f"{d99:+.1f} us", d99 <= 3.0))
            if have("py sleep+spin 1 kHz"):
                spin99 = m("py sleep+spin 1 kHz", "p99_us")
                rows.append((f"{name}: p99 at most py sleep+spin's", f"{m(name, 'p99_us'):.1f} vs {spin99:.1f} us",
                             m(name, "p99_us") <= spin99))
    if have("normal 1 kHz", "normal 1 kHz C floor"):
        d50 = m("normal 1 kHz", "p50_us") - m("normal 1 kHz C floor", "p50_us")
        rows.append(("normal 1 kHz: p50 within +50 us of its C floor", f"{d50:+.1f} us", d50 <= 50.0))
    for name in ["high 1 kHz", "realtime 1 kHz"]:
        if not have(name, "py time.sleep 1 kHz"):
            continue
        py99 = m("py time.sleep 1 kHz", "p99_us")
        ratio = py99 / m(name, "p99_us") if m(name, "p99_us") > 0 else float("inf")
        rows.append((f"{name}: p99 at least 3x better than py time.sleep", f"{ratio:.1f}x", ratio >= 3.0))
    if have("realtime 50 kHz", "realtime 50 kHz C floor"):
        actual = m("realtime 50 kHz", "actual_frequency")
        err = abs(actual - 50000.0) / 50000.0 * 100.0
        floor_rate = m("realtime 50 kHz C floor", "calls") / results["realtime 50 kHz C floor"]["duration"]
        rows.append(("realtime 50 kHz: actual_frequency() within 1%",
                     f"{actual:.0f} Hz ({err:.2f}%; C floor {floor_rate:.0f} calls/s)", err <= 1.0))
    return rows


def cdf_of(late):
    """The lateness distribution of one run as (fraction of calls, lateness us) points: the
    body in 1/200 steps, then the tail down to single calls, and the maximum."""
    if not late:
        return []
    s = sorted(late)
    n = len(s)
    qs = [i / 200 for i in range(200)] + [1 - 10 ** (-k / 8) for k in range(17, 8 * 7)] + [1.0]
    points, last = [], -1
    for q in sorted(set(qs)):
        i = min(n - 1, int(q * (n - 1) + 0.5))
        if i != last:
            points.append([(i + 1) / n, s[i] / 1000.0])
            last = i
    return points


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="10 s per run, as in the goals")
    parser.add_argument("--duration", type=float, help="seconds per run (default 2, or 10 with --full)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", help="run only the configurations whose name contains this text")
    args = parser.parse_args()
    duration = args.duration or (10.0 if args.full else 2.0)
    configs = [c for c in CONFIGS if not args.only or args.only in c[0]]
    session = benchkit.Session()

    os.makedirs(OUT, exist_ok=True)
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_floor(tmp)
        for run in range(args.runs):
            for name, runner, hz, floor in configs:
                if floor is not None:  # the floor right before its configuration
                    stats, late = measure_floor(exe, floor, hz, duration, tmp)
                    fname = f"{name} C floor"
                    results.setdefault(fname, {"frequency_hz": hz, "duration": duration, "runs": []})["runs"].append(stats)
                    if run == 0:
                        results[fname]["cdf_us"] = cdf_of(late)
                stats, late = measure_worker(runner, hz, duration, tmp)
                results.setdefault(name, {"frequency_hz": hz, "duration": duration, "runs": []})["runs"].append(stats)
                if run == 0:
                    results[name]["cdf_us"] = cdf_of(late)
                print(f"run {run + 1}/{args.runs} {name}: p50 {stats['p50_us']:.1f} us, p99 {stats['p99_us']:.1f} us",
                      file=sys.stderr)

    session.finish()
    order = []
    for name, _, _, floor in configs:
        if floor is not None:
            order.append(f"{name} C floor")
        order.append(name)
    results = {n: results[n] for n in order}
    print(f"\nTimer lateness, medians of {args.runs} runs of {duration:g} s (spread: lowest-highest run)\n"
          f"{session.machine_line()}\n")
    print_table(results)
    rows = benchkit.print_goals(goals(results))
    path = session.write_json("timers.json", {"duration_s": duration, "runs": args.runs, "results": results,
                                               "goals": rows})
    print(f"\nwrote {path}")
    import plots

    plots.main(["--out", OUT, "--only", "timers"])


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        run_worker(sys.argv[2:])
    else:
        main()
