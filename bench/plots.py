"""Draws the benchmark figures from the JSON files the benchmarks wrote under bench/out.

    python bench/plots.py [--out bench/out] [--only timers|can|motor]...

Writes, beside each JSON it finds (a missing JSON only skips its figures):
  timers_lateness.png   1 kHz: lateness CDF and its tail, quorix's three precisions against
                        their C floors and the pure-Python loops; CPU cost of each
  timers_fast.png       5, 20 and 50 kHz: lateness tail of quorix against its C floor
  can.png               CAN send cost per call and receive loss against a raw socket and python-can
  feedback_latency.png  feedback frame on the bus until its value is visible: quorix beside a
                        Python thread blocked in socket.recv
Needs matplotlib; says so and writes nothing without it.
"""

import argparse
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# One colour per kind of loop; a C floor is drawn dashed in the colour of its configuration.
COLORS = {
    "normal": "tab:blue",
    "high": "tab:orange",
    "realtime": "tab:green",
    "py time.sleep": "tab:red",
    "py sleep+spin": "tab:purple",
    "asyncio": "tab:brown",
}


def color_of(name):
    for key, color in COLORS.items():
        if name.startswith(key):
            return color
    return "tab:gray"


def title_of(what, env):
    """The figure's title: what it shows, then the machine and the interpreter."""
    machine = env.get("cpu_model") or env.get("machine") or "unknown machine"
    cpus = env.get("cpus")
    kernel = env.get("kernel", "")
    load = env.get("loadavg")
    python = env.get("python", "").split()[0] if env.get("python") else ""
    impl = env.get("implementation", "CPython")
    ft = " free-threaded" if env.get("free_threaded") else ""
    where = f"{machine}" + (f", {cpus} CPU{'s' if cpus != 1 else ''}" if cpus else "")
    where += f", Linux {kernel}" if kernel else ""
    where += f", load {load}" if load else ""
    if env.get("host_loadavg"):
        where += f" (host load {env['host_loadavg']})"
    return f"{what}\n{where}; {impl} {python}{ft}"


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def cdf_points(entry):
    """(lateness values in us, cumulative fractions) of one configuration's first run."""
    pts = entry.get("cdf_us") or []
    return [v for _, v in pts], [q for q, _ in pts]


def plot_cdf(ax, name, entry, tail):
    """One configuration's curve: the CDF, or its tail as the fraction of calls at least this
    late (so the latest call stands at 1/calls). The legend gives the grid points the timer
    skipped, which the lateness (below one period by definition) does not show."""
    xs, qs = cdf_points(entry)
    if not xs:
        return
    first = entry["runs"][0]
    n = max(1, first.get("calls", 1))
    floor = name.endswith("C floor")
    xs = [max(x, 0.01) for x in xs]  # a log axis: the clock's resolution stands in for zero
    ys = [1.0 - q + 1.0 / n for q in qs] if tail else qs
    label = f"{name} ({first.get('skipped', 0)} skipped of {n + first.get('skipped', 0)})"
    ax.step(xs, ys, where="pre" if tail else "post", color=color_of(name), linestyle="--" if floor else "-",
            linewidth=1.0 if floor else 1.6, label=label)


def timers_figures(plt, data, out):
    results, env = data["results"], data.get("environment", {"python": data.get("python", "")})
    written = []
    one_khz = [n for n, e in results.items() if e["frequency_hz"] == 1000.0]
    if one_khz:
        fig, (a_cdf, a_tail, a_cpu) = plt.subplots(1, 3, figsize=(17, 6), gridspec_kw={"width_ratios": [5, 5, 3]})
        for name in one_khz:
            plot_cdf(a_cdf, name, results[name], tail=False)
            plot_cdf(a_tail, name, results[name], tail=True)
        a_cdf.set_xscale("log")
        a_cdf.set_xlabel("lateness of a call against its grid point (µs, log scale)")
        a_cdf.set_ylabel("fraction of calls at most this late")
        a_cdf.set_title("CDF")
        a_tail.set_xscale("log")
        a_tail.set_yscale("log")
        a_tail.set_xlabel("lateness of a call against its grid point (µs, log scale)")
        a_tail.set_ylabel("fraction of calls at least this late (log scale)")
        a_tail.set_title("tail (1 - CDF)")
        for ax in (a_cdf, a_tail):
            ax.grid(True, which="both", alpha=0.3)
            ax.axvline(1000.0, color="k", linewidth=0.6, alpha=0.5)
        a_tail.legend(fontsize="small", loc="lower left")
        cpu = [(n, med(results[n]["runs"], "cpu_percent")) for n in one_khz]
        a_cpu.barh([n for n, _ in cpu], [c for _, c in cpu], color=[color_of(n) for n, _ in cpu])
        a_cpu.invert_yaxis()
        a_cpu.set_xlabel("CPU time over wall time (%, 100 = one core)")
        a_cpu.set_title("CPU cost (median of the runs)")
        a_cpu.tick_params(axis="y", labelsize="small")
        fig.suptitle(title_of(f"Timer lateness at 1 kHz ({data['runs']} runs of {data['duration_s']:g} s, curves from "
                              "the first run; dashed: C floor of the same algorithm; grid points skipped in brackets)",
                              env))
        fig.tight_layout()
        written.append(save(fig, os.path.join(out, "timers_lateness.png")))
    fast = sorted({e["frequency_hz"] for e in results.values() if e["frequency_hz"] > 1000.0})
    if fast:
        fig, axes = plt.subplots(1, len(fast), figsize=(6 * len(fast), 5.5), squeeze=False)
        for ax, hz in zip(axes[0], fast):
            for name, entry in results.items():
                if entry["frequency_hz"] == hz:
                    plot_cdf(ax, name, entry, tail=True)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.axvline(1e6 / hz, color="k", linewidth=0.6, alpha=0.5)
            ax.set_xlabel("lateness against the grid (µs, log scale)")
            ax.set_ylabel("fraction of calls at least this late (log scale)")
            ax.set_title(f"{hz / 1000:g} kHz (period {1e6 / hz:g} µs)")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize="small", loc="lower left")
        fig.suptitle(title_of("Timer lateness tails at high rates (dashed: C floor)", env))
        fig.tight_layout()
        written.append(save(fig, os.path.join(out, "timers_fast.png")))
    return written


def med(runs, key):
    values = sorted(r[key] for r in runs if key in r)
    return values[len(values) // 2] if values else float("nan")


def can_figure(plt, data, out):
    env = data.get("environment") or {"python": data.get("python", ""), "machine": data.get("machine"),
                                      "cpus": data.get("cpus")}
    send, receive = data["send"], data["receive"]
    fig, (a_send, a_recv) = plt.subplots(1, 2, figsize=(15, 6), gridspec_kw={"width_ratios": [3, 2]})
    names = list(send)
    per_call = [send[n]["per_call_median_ns"] / 1000.0 for n in names]
    written = [send[n]["until_written_median_ns"] / 1000.0 for n in names]
    ys = range(len(names))
    a_send.barh([y - 0.2 for y in ys], per_call, height=0.4, label="the caller's cost per call", color="tab:blue")
    a_send.barh([y + 0.2 for y in ys], written, height=0.4, label="until the kernel had the frame",
                color="tab:gray", alpha=0.6)
    a_send.set_yticks(list(ys), names, fontsize="small")
    a_send.invert_yaxis()
    a_send.set_xscale("log")
    smallest = min(per_call + written)
    a_send.set_xlim(10 ** math.floor(math.log10(smallest)), max(per_call + written) * 3)
    plain_log_ticks(a_send.xaxis)
    for y, v in zip(ys, per_call):
        a_send.text(v * 1.05, y - 0.2, f"{v:.1f}", va="center", fontsize="x-small")
    a_send.set_xlabel("time per frame (µs, log scale; median over chunks)")
    a_send.set_title("send: cost per call")
    a_send.grid(True, axis="x", which="both", alpha=0.3)
    a_send.legend(fontsize="small")
    rnames = list(receive)
    kept = [receive[n]["kept"] for n in rnames]
    lost = [receive[n]["lost"] for n in rnames]
    drops = [receive[n]["reference_kernel_drops"] for n in rnames]
    xs = range(len(rnames))
    a_recv.bar(xs, kept, color="tab:green", label="kept by the receiver")
    a_recv.bar(xs, lost, bottom=kept, color="tab:red", label="lost by the receiver")
    for x, k, lo, d in zip(xs, kept, lost, drops):
        a_recv.text(x, (k + lo) * 1.02, f"lost {lo}\n(kernel drops: {d})", ha="center", va="bottom",
                    fontsize="small")
    a_recv.set_xticks(list(xs), rnames, fontsize="small")
    a_recv.set_ylabel("frames (count)")
    a_recv.set_ylim(0, max((k + lo for k, lo in zip(kept, lost)), default=1) * 1.3)
    rate = receive[rnames[0]]["peer_rate_fps"] if rnames else 0
    a_recv.set_title(f"receive loss: {receive[rnames[0]]['sent'] if rnames else 0} frames sent at "
                     f"{rate:.0f} frames/s\nwhile Python sleeps, then drained")
    a_recv.legend(fontsize="small", loc="upper center", ncols=2)
    fig.suptitle(title_of("CAN on vcan: quorix beside a raw AF_CAN socket and python-can", env))
    fig.tight_layout()
    return [save(fig, os.path.join(out, "can.png"))]


def motor_figure(plt, data, out):
    lat = data.get("latency") or {}
    if "samples_us" in lat:  # a JSON written before the rows beside quorix existed
        lat = {"Device.get_feedback()": lat}
    rows = {name: row for name, row in lat.items() if row.get("samples_us")}
    if not rows:
        return []
    env = data.get("environment", {})
    fig, ax = plt.subplots(figsize=(9, 5.5))
    for (name, row), color in zip(rows.items(), ("tab:green", "tab:red", "tab:blue")):
        samples = sorted(row["samples_us"])
        n = len(samples)
        ax.step(samples, [(i + 1) / n for i in range(n)], where="post", color=color, linewidth=1.6,
                label=f"{name}: p50 {row['p50_us']:.0f} µs, p99 {row['p99_us']:.0f} µs, {n} samples")
    ax.set_xscale("log")
    plain_log_ticks(ax.xaxis)
    ax.set_xlabel("feedback frame written on the bus until its value is visible (µs, log scale)")
    ax.set_ylabel("fraction of frames at most this late")
    ax.grid(True, which="both", alpha=0.3)
    fb = data.get("feedback") or {}
    if fb.get("sent") is not None:
        ax.set_title(f"feedback load: {fb['drivers']} drivers x {fb['rate_hz']:g} Hz, sent {fb['sent']}, "
                     f"stored {fb['stored'] if fb['stored'] is not None else 'n/a'}", fontsize="small")
    ax.legend(fontsize="small", loc="lower right")
    fig.suptitle(title_of("Feedback latency on vcan", env))
    fig.tight_layout()
    return [save(fig, os.path.join(out, "feedback_latency.png"))]


def plain_log_ticks(axis):
    """Decades only, written as plain numbers (10, 100, 1000), no crowded minor labels."""
    from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter

    axis.set_major_locator(LogLocator(base=10))
    axis.set_major_formatter(ScalarFormatter())
    axis.set_minor_formatter(NullFormatter())


def save(fig, path):
    fig.savefig(path, dpi=110)
    import matplotlib.pyplot as plt

    plt.close(fig)
    print(f"wrote {path}")
    return path


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--out", default=os.path.join(HERE, "out"))
    p.add_argument("--only", choices=("timers", "can", "motor"), action="append")
    args = p.parse_args(argv)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plots.py: matplotlib is not installed in this interpreter: no figures (scripts/bootstrap "
              "installs it into the 3.14 venv)", file=sys.stderr)
        return 0
    parts = set(args.only or ("timers", "can", "motor"))
    for part, name, draw in (("timers", "timers.json", timers_figures), ("can", "can.json", can_figure),
                             ("motor", "motor.json", motor_figure)):
        if part not in parts:
            continue
        data = load(os.path.join(args.out, name))
        if data is None:
            print(f"plots.py: no {name} in {args.out}: its figures are skipped")
            continue
        draw(plt, data, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
