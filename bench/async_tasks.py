"""Round trip of an async task from Python: run_async(f)(x).wait() beside what a user would
otherwise write, concurrent.futures.ThreadPoolExecutor.submit(f, x).result().

`wait` sleeps until the pool thread that ran the call wakes it; the "poll" row spins on
is_done() with time.sleep(0) instead. Each configuration runs --runs times, interleaved;
the table gives medians over the runs of p50/p99/max in microseconds, the lowest and highest
p50 of the runs, and the ratio of the p50 to the executor's p50. Goal: the wait row's p50 at
most ThreadPoolExecutor(1)'s.

Usage: python bench/async_tasks.py [--n 1000] [--runs 5]
Writes bench/out/async_tasks.json.
"""

import argparse
import json
import os
import platform
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import quorix


def work(x):
    return x + 1


def percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    i = min(len(sorted_values) - 1, max(0, round(q * (len(sorted_values) - 1))))
    return sorted_values[i]


def measure(round_trip, n):
    samples = []
    for i in range(n):
        t0 = time.perf_counter_ns()
        assert round_trip(i) == i + 1
        samples.append((time.perf_counter_ns() - t0) / 1000.0)
    samples.sort()
    return {"p50": percentile(samples, 0.50), "p99": percentile(samples, 0.99), "max": samples[-1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000, help="round trips per configuration and run")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    load_before = os.getloadavg()

    task = quorix.run_async(work)
    executor_1 = ThreadPoolExecutor(max_workers=1)
    executor_default = ThreadPoolExecutor()

    def quorix_wait(x):
        return task(x).wait()

    def quorix_poll(x):
        h = task(x)
        while not h.is_done():
            time.sleep(0)  # lets the body take the lock
        return h.try_result()

    configs = {
        "run_async(f)(x).wait()": quorix_wait,
        "run_async(f)(x), poll is_done()": quorix_poll,
        "ThreadPoolExecutor(1).submit(f, x).result()": lambda x: executor_1.submit(work, x).result(),
        "ThreadPoolExecutor().submit(f, x).result()": lambda x: executor_default.submit(work, x).result(),
    }
    for fn in configs.values():  # warm up: runtime, pool threads
        for i in range(50):
            fn(i)

    runs = {name: [] for name in configs}
    for _ in range(args.runs):
        for name, fn in configs.items():  # interleaved
            runs[name].append(measure(fn, args.n))
    quorix.get_task_manager().cleanup()
    load_after = os.getloadavg()

    floor = "ThreadPoolExecutor(1).submit(f, x).result()"
    summary = {}
    for name, results in runs.items():
        summary[name] = {k: statistics.median(r[k] for r in results) for k in ("p50", "p99", "max")}
        summary[name]["p50_low"] = min(r["p50"] for r in results)
        summary[name]["p50_high"] = max(r["p50"] for r in results)
    for name in summary:
        summary[name]["ratio_p50"] = summary[name]["p50"] / summary[floor]["p50"]

    gil = "free-threaded" if hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled() else "GIL"
    print(f"async task round trip, Python {platform.python_version()} ({gil}), "
          f"{os.cpu_count()} CPUs, Linux {platform.release()}, n={args.n}, runs={args.runs} (medians of runs), "
          f"load average {load_before[0]:.1f} before, {load_after[0]:.1f} after")
    width = max(len(n) for n in summary)
    header = f"{'p50 us':>9}  {'p50 spread':>13}  {'p99 us':>9}  {'max us':>9}  {'p50 / executor(1)':>17}"
    print(f"{'configuration':<{width}}  {header}")
    for name, s in summary.items():
        spread = f"{s['p50_low']:.1f}-{s['p50_high']:.1f}"
        print(f"{name:<{width}}  {s['p50']:9.1f}  {spread:>13}  {s['p99']:9.1f}  {s['max']:9.1f}"
              f"  {s['ratio_p50']:17.2f}")
    met = summary["run_async(f)(x).wait()"]["p50"] <= summary[floor]["p50"]
    print(f"goal {'met' if met else 'MISSED'}: run_async(f)(x).wait() p50 at most ThreadPoolExecutor(1)'s")

    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
    os.makedirs(out_dir, exist_ok=True)
    tag = "ft" if gil == "free-threaded" else "gil"
    path = os.path.join(out_dir, f"async_tasks_{sys.version_info.major}{sys.version_info.minor}{tag}.json")
    with open(path, "w") as f:
        json.dump({"python": platform.python_version(), "gil": gil, "cpus": os.cpu_count(),
                   "kernel": platform.release(), "load_before": load_before, "load_after": load_after,
                   "n": args.n, "runs": runs, "summary": summary, "goal_met": met}, f, indent=2)
    print(f"wrote {path}")
    executor_1.shutdown()
    executor_default.shutdown()


if __name__ == "__main__":
    main()
