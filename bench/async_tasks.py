"""Round trip of an async task from Python: run_async(f)(x).wait() beside what a user would
otherwise write, concurrent.futures.ThreadPoolExecutor.submit(f, x).result().

`wait` sleeps until the pool thread that ran the call wakes it; the "poll" row spins on
is_done() with time.sleep(0) instead. Each configuration runs --runs times, interleaved;
the table gives medians over the runs of p50/p99/max in microseconds, with the lowest and
highest p50 and p99 of the runs, and the ratios of the p50 and p99 to the executor's. Goal: the
wait row's p50 at most ThreadPoolExecutor(1)'s (its p99 is reported beside it).

Usage: python bench/async_tasks.py [--n 1000] [--runs 5]
Writes bench/out/async_tasks_TAG.json (TAG: 314 or 313t).
"""

import argparse
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import benchkit
import quorix


def work(x):
    return x + 1


percentile = benchkit.percentile


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
    session = benchkit.Session()

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
    session.finish()

    floor = "ThreadPoolExecutor(1).submit(f, x).result()"
    summary = {}
    for name, results in runs.items():
        summary[name] = {k: statistics.median(r[k] for r in results) for k in ("p50", "p99", "max")}
        for k in ("p50", "p99"):
            summary[name][f"{k}_low"] = min(r[k] for r in results)
            summary[name][f"{k}_high"] = max(r[k] for r in results)
    for name in summary:
        summary[name]["ratio_p50"] = summary[name]["p50"] / summary[floor]["p50"]
        summary[name]["ratio_p99"] = summary[name]["p99"] / summary[floor]["p99"]

    print(f"async task round trip, n={args.n} per run, medians of {args.runs} interleaved runs "
          f"(spread: lowest-highest run)\n{session.machine_line()}")
    width = max(len(n) for n in summary)
    header = (f"{'p50 us':>9}  {'p50 spread':>13}  {'p99 us':>9}  {'p99 spread':>13}  {'max us':>9}"
              f"  {'p50 / executor(1)':>17}  {'p99 / executor(1)':>17}")
    print(f"{'configuration':<{width}}  {header}")
    for name, s in summary.items():
        print(f"{name:<{width}}  {s['p50']:9.1f}  {s['p50_low']:>6.1f}-{s['p50_high']:<6.1f}  {s['p99']:9.1f}"
              f"  {s['p99_low']:>6.1f}-{s['p99_high']:<6.1f}  {s['max']:9.1f}"
              f"  {s['ratio_p50']:17.2f}  {s['ratio_p99']:17.2f}")
    ours = summary["run_async(f)(x).wait()"]
    goals = benchkit.print_goals([
        ("run_async(f)(x).wait(): p50 at most ThreadPoolExecutor(1)'s",
         f"{ours['p50']:.1f} vs {summary[floor]['p50']:.1f} us (p99 {ours['p99']:.1f} vs {summary[floor]['p99']:.1f})",
         ours["p50"] <= summary[floor]["p50"]),
    ])
    path = session.write_json(f"async_tasks_{benchkit.interpreter_tag()}.json",
                              {"n": args.n, "runs": runs, "summary": summary, "goals": goals})
    print(f"wrote {path}")
    executor_1.shutdown()
    executor_default.shutdown()


if __name__ == "__main__":
    main()
