#!/usr/bin/env python3
"""Motor benchmark, on a vcan bus (run it through scripts/vcan-run).

1. Control cycle: four targets and one broadcast frame per cycle, written three ways in the
   same run: quorix (four Device.set_target + Motor.broadcast), python-can (struct.pack +
   bus.send of a can.Message) and a raw AF_CAN socket (struct.pack + socket.send). Reported:
   the caller's cost per cycle (what the control loop pays), and the cost per cycle until
   the last frame is on the bus (quorix writes from a background task; on a one-CPU guest
   that work competes with the caller, so both are shown).
2. Feedback: four simulated drivers at 1 kHz each (tools/drivesim.py in its own process)
   for a while; frames the simulator sent vs frames the group decoded and stored (needs a
   build with QUORIX_TEST_HOOKS=ON; otherwise that column says n/a).
3. Feedback latency: a frame sent from a raw socket until Device.get_feedback shows it.

Only ratios within one run mean anything: inside User-Mode Linux a system call costs tens
of microseconds. Prints a table and writes JSON (--json, default bench/out/motor.json), from
which bench/plots.py draws bench/out/feedback_latency.png.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import socket
import statistics
import struct
import subprocess
import sys
import time

import quorix

ROOT = pathlib.Path(__file__).resolve().parents[1]
HOST = 0x100
NODES = [0x201, 0x202, 0x203, 0x204]
PROBE_NODE = 0x2FF  # a device that only the latency probe talks to
CAN_FRAME = struct.Struct("=IB3x8s")

# bench/can.py (the CAN benchmark) would shadow python-can for scripts run from bench/.
_HERE = pathlib.Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != _HERE]

try:
    import can  # python-can
except ImportError:  # the column is skipped with a note
    can = None


def environment() -> dict:
    """The machine and interpreter a figure's title names."""
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu_model": model or platform.machine(), "cpus": os.cpu_count(), "kernel": platform.release(),
            "loadavg": " ".join(f"{x:.1f}" for x in os.getloadavg()), "python": sys.version,
            "implementation": platform.python_implementation(),
            "free_threaded": not getattr(sys, "_is_gil_enabled", lambda: True)(),
            # a guest (User-Mode Linux) cannot see its host's load: make bench passes it in
            "host_loadavg": os.environ.get("BENCH_HOST_LOADAVG")}


def if_stat(iface: str, name: str) -> int:
    with open(f"/sys/class/net/{iface}/statistics/{name}") as f:
        return int(f.read())


def tx_packets(iface: str) -> int:
    return if_stat(iface, "tx_packets")


def wait_tx(iface: str, target: int, limit: float = 30.0) -> bool:
    """Waits until the interface has sent `target` frames in all. Polls every 2 ms through
    one open descriptor: in the guest every system call is expensive, and the polling must
    not take the CPU from the thread that writes the frames."""
    fd = os.open(f"/sys/class/net/{iface}/statistics/tx_packets", os.O_RDONLY)
    try:
        deadline = time.perf_counter() + limit
        while int(os.pread(fd, 32, 0)) < target:
            if time.perf_counter() > deadline:
                return False
            time.sleep(0.002)
        return True
    finally:
        os.close(fd)


def targets(i: int):
    x = (i % 200) * 0.1
    return x, -x, 0.5 * x, 3.0


def scaled(t):
    return tuple(max(-32768, min(32767, int(v * 10.0))) for v in t)


# ---- 1. control cycle -------------------------------------------------------------------------


def run_quorix(iface: str, n: int):
    motor = quorix.Motor(iface, HOST)
    devices = [motor.add_device(slot, node, "speed") for slot, node in enumerate(NODES)]
    d0, d1, d2, d3 = devices
    set0, set1, set2, set3 = d0.set_target, d1.set_target, d2.set_target, d3.set_target
    broadcast = motor.broadcast
    time.sleep(0.2)
    before = tx_packets(iface)
    start = time.perf_counter_ns()
    for i in range(n):
        a, b, c, d = targets(i)
        set0(a)
        set1(b)
        set2(c)
        set3(d)
        broadcast()
    caller = time.perf_counter_ns() - start
    drained = wait_tx(iface, before + n)
    wall = time.perf_counter_ns() - start
    return caller, wall, drained, motor


def run_python_can(iface: str, n: int):
    bus = can.Bus(channel=iface, interface="socketcan")
    try:
        time.sleep(0.2)
        before = tx_packets(iface)
        send = bus.send
        Message = can.Message
        pack = struct.Struct("<4h").pack
        start = time.perf_counter_ns()
        for i in range(n):
            data = pack(*scaled(targets(i)))
            send(Message(arbitration_id=HOST, data=data, is_extended_id=False))
        caller = time.perf_counter_ns() - start
        drained = wait_tx(iface, before + n)
        wall = time.perf_counter_ns() - start
    finally:
        bus.shutdown()
    return caller, wall, drained


def run_raw_socket(iface: str, n: int):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        s.bind((iface,))
        time.sleep(0.2)
        before = tx_packets(iface)
        send = s.send
        pack = struct.Struct("=IB3x4h").pack
        start = time.perf_counter_ns()
        for i in range(n):
            send(pack(HOST, 8, *scaled(targets(i))))
        caller = time.perf_counter_ns() - start
        drained = wait_tx(iface, before + n)
        wall = time.perf_counter_ns() - start
    finally:
        s.close()
    return caller, wall, drained


def cycle_bench(iface: str, n: int, rounds: int) -> dict:
    results = {"quorix": [], "python-can": [], "raw socket": []}
    for _ in range(rounds):
        caller, wall, ok, motor = run_quorix(iface, n)
        del motor
        results["quorix"].append((caller / n, wall / n, ok))
        if can is not None:
            caller, wall, ok = run_python_can(iface, n)
            results["python-can"].append((caller / n, wall / n, ok))
        caller, wall, ok = run_raw_socket(iface, n)
        results["raw socket"].append((caller / n, wall / n, ok))
    out = {}
    for name, rows in results.items():
        if not rows:
            continue
        out[name] = {
            "caller_us": statistics.median(r[0] for r in rows) / 1e3,
            "on_bus_us": statistics.median(r[1] for r in rows) / 1e3,
            "all_frames_written": all(r[2] for r in rows),
        }
    return out


# ---- 2. feedback throughput -------------------------------------------------------------------


def feedback_bench(iface: str, seconds: float, rate: float) -> dict:
    motor = quorix.Motor(iface, HOST)
    for slot, node in enumerate(NODES):
        motor.add_device(slot, node, "speed")
    hooks = hasattr(motor, "_feedback_stats")
    before = motor._feedback_stats["stored"] if hooks else 0
    cmd = [sys.executable, str(ROOT / "tools" / "drivesim.py"), "--iface", iface, "--host", hex(HOST),
           "--rate", str(rate), "--duration", str(seconds)]
    for slot, node in enumerate(NODES):
        cmd += ["--node", f"{node:#x}:{slot}"]
    dropped_before = if_stat(iface, "rx_dropped")
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60)
    dropped = if_stat(iface, "rx_dropped") - dropped_before
    sent = None
    for line in proc.stdout.splitlines():
        if "'frames_sent'" in line:
            import ast

            sent = ast.literal_eval(line.split("drivesim: ", 1)[1])["frames_sent"]
    stored = None
    if hooks:
        # Frames still queued when the simulator stopped: give the task a moment.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and motor._feedback_stats["stored"] - before < (sent or 0):
            time.sleep(0.05)
        stats = motor._feedback_stats
        stored = stats["stored"] - before
    return {"seconds": seconds, "drivers": len(NODES), "rate_hz": rate, "sent": sent, "stored": stored,
            "lost": None if stored is None or sent is None else sent - stored,
            "task_counters": motor._feedback_stats if hooks else None, "interface_rx_dropped": dropped}


# ---- 3. feedback latency ----------------------------------------------------------------------


def latency_bench(iface: str, samples: int) -> dict:
    motor = quorix.Motor(iface, HOST)
    probe = motor.add_device(0, PROBE_NODE, "speed")
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))
    get = probe.get_feedback
    lat = []
    timeouts = 0
    for k in range(1, samples + 1):
        value = float(k)
        frame = CAN_FRAME.pack(PROBE_NODE, 8, struct.pack("<fhh", value, 0, 0))
        start = time.perf_counter_ns()
        s.send(frame)
        limit = start + 1_000_000_000
        while get()["position"] != value:
            if time.perf_counter_ns() > limit:
                timeouts += 1
                break
            os.sched_yield()  # one CPU in the guest: let the feedback task run
        else:
            lat.append(time.perf_counter_ns() - start)
        time.sleep(0.002)
    s.close()
    lat.sort()

    def pct(q):
        return lat[min(len(lat) - 1, int(q * (len(lat) - 1) + 0.5))] / 1e3 if lat else float("nan")

    return {"samples": len(lat), "timeouts": timeouts, "p50_us": pct(0.5), "p99_us": pct(0.99),
            "max_us": pct(1.0), "samples_us": [v / 1e3 for v in lat]}


def print_cycle(cycle, args):
    base = cycle.get("python-can")
    print(f"\ncontrol cycle: 4 targets + 1 broadcast frame, median of {args.rounds} rounds x {args.cycles} cycles")
    print(f"  {'':<12} {'caller µs/cycle':>16} {'vs python-can':>14} {'until on bus µs/cycle':>22} {'vs python-can':>14}")
    for name, r in cycle.items():
        rel = f"{r['caller_us'] / base['caller_us']:.2f}x" if base else "-"
        rel_bus = f"{r['on_bus_us'] / base['on_bus_us']:.2f}x" if base else "-"
        flag = "" if r["all_frames_written"] else "  (not all frames seen on the bus)"
        print(f"  {name:<12} {r['caller_us']:>16.1f} {rel:>14} {r['on_bus_us']:>22.1f} {rel_bus:>14}{flag}")
    if not base:
        print("  python-can is not installed in this interpreter: its column is skipped")


def print_feedback(fb):
    print(f"\nfeedback: {fb['drivers']} simulated drivers at {fb['rate_hz']:g} Hz for {fb['seconds']:g} s")
    stored = "n/a (build with QUORIX_TEST_HOOKS=ON)" if fb["stored"] is None else fb["stored"]
    print(f"  sent by the simulator {fb['sent']}, decoded and stored {stored}, lost {fb['lost']}")
    if fb["task_counters"]:
        print(f"  feedback task: {fb['task_counters']}")
    print(f"  frames the interface dropped on receive: {fb['interface_rx_dropped']}")


def print_latency(lat):
    print(f"\nfeedback latency, raw socket send -> Device.get_feedback: {lat['samples']} samples")
    print(f"  p50 {lat['p50_us']:.0f} µs, p99 {lat['p99_us']:.0f} µs, max {lat['max_us']:.0f} µs"
          f"{', ' + str(lat['timeouts']) + ' not seen within 1 s' if lat['timeouts'] else ''}")


# ---- main -------------------------------------------------------------------------------------


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", default=os.environ.get("VCAN_IFACES", "vcan0").split()[0])
    p.add_argument("--cycles", type=int, default=2000, help="control cycles per round")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--seconds", type=float, default=10.0, help="feedback run length")
    p.add_argument("--rate", type=float, default=1000.0, help="feedback frames per second and driver")
    p.add_argument("--samples", type=int, default=500, help="latency samples")
    p.add_argument("--only", choices=("cycle", "feedback", "latency"), action="append",
                   help="run only these parts (repeatable)")
    p.add_argument("--json", default=str(ROOT / "bench" / "out" / "motor.json"))
    args = p.parse_args(argv)

    print(f"motor benchmark on {args.iface}, Python {sys.version.split()[0]}"
          f"{' (free-threaded)' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}")
    parts = set(args.only or ("cycle", "feedback", "latency"))
    cycle, fb, lat = {}, None, None
    if "cycle" in parts:
        cycle = cycle_bench(args.iface, args.cycles, args.rounds)
        print_cycle(cycle, args)
    if "feedback" in parts:
        fb = feedback_bench(args.iface, args.seconds, args.rate)
        print_feedback(fb)
    if "latency" in parts:
        lat = latency_bench(args.iface, args.samples)
        print_latency(lat)

    out = pathlib.Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"environment": environment(), "cycle": cycle, "feedback": fb, "latency": lat},
                              indent=2))
    print(f"\nwrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
