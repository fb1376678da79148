#!/usr/bin/env python3
"""Motor benchmark, on a vcan bus (run it through scripts/vcan-run).

Every part runs --rounds times, its alternatives interleaved, and prints medians over the
rounds with the lowest and highest round.

1. Control cycle: four targets and one broadcast frame per cycle, written three ways in the
   same run: quorix (four Device.set_target + Motor.broadcast), python-can (struct.pack +
   bus.send of a can.Message) and a raw AF_CAN socket (struct.pack + socket.send). Reported:
   the caller's cost per cycle (what the control loop pays), and the cost per cycle until
   the last frame is on the bus (quorix writes from a background task; on a one-CPU guest
   that work competes with the caller, so both are shown).
2. Feedback: four simulated drivers at 1 kHz each (tools/drivesim.py in its own process)
   until they sent --frames frames (100,000) per round; frames the simulator sent vs frames
   the group decoded and stored, and the process's CPU time (user + system, from
   /proc/self/stat) per stored frame (needs a build with QUORIX_TEST_HOOKS=ON; otherwise
   those columns say n/a).
3. Feedback latency: a frame written on the bus from a raw socket until its value is visible,
   beside what a user would otherwise write: a Python thread blocked in socket.recv on the
   same bus. quorix's value is visible when the group stored it, taken at the store by the
   test-hooks timestamp (without test hooks: when a polling Device.get_feedback() returns it);
   the thread's when recv returned it. Goal: quorix's p50 at most 1.5x the thread's.

Only ratios within one run mean anything: inside User-Mode Linux a system call costs tens
of microseconds. Prints a table and writes JSON (--json, default bench/out/motor.json), from
which bench/plots.py draws bench/out/feedback_latency.png.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import socket
import threading
import statistics
import struct
import subprocess
import sys
import time

import benchkit  # from this folder, before it leaves sys.path below
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
            "caller_spread": benchkit.spread([r[0] / 1e3 for r in rows]),
            "on_bus_us": statistics.median(r[1] for r in rows) / 1e3,
            "on_bus_spread": benchkit.spread([r[1] / 1e3 for r in rows]),
            "all_frames_written": all(r[2] for r in rows),
            "rounds_us": [[r[0] / 1e3, r[1] / 1e3] for r in rows],
        }
    return out


# ---- 2. feedback throughput -------------------------------------------------------------------


def process_cpu_s() -> float:
    """User + system CPU time of this process so far (utime and stime of /proc/self/stat)."""
    with open("/proc/self/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def feedback_run(iface: str, seconds: float, rate: float) -> dict:
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
    cpu_before = process_cpu_s()  # this process only: the simulator is a child, counted apart
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
        stored = motor._feedback_stats["stored"] - before
    cpu = process_cpu_s() - cpu_before
    return {"sent": sent, "stored": stored,
            "lost": None if stored is None or sent is None else sent - stored,
            "cpu_us_per_frame": cpu * 1e6 / stored if stored else None,
            "task_counters": motor._feedback_stats if hooks else None, "interface_rx_dropped": dropped}


def feedback_bench(iface: str, seconds: float, rate: float, rounds: int) -> dict:
    runs = [feedback_run(iface, seconds, rate) for _ in range(rounds)]
    total = lambda key: None if any(r[key] is None for r in runs) else sum(r[key] for r in runs)  # noqa: E731
    return {"seconds": seconds, "drivers": len(NODES), "rate_hz": rate, "rounds": rounds,
            "sent": total("sent"), "stored": total("stored"), "lost": total("lost"),
            "interface_rx_dropped": total("interface_rx_dropped"),
            "cpu_us_per_frame": benchkit.median(r["cpu_us_per_frame"] for r in runs),
            "cpu_us_per_frame_spread": benchkit.spread([r["cpu_us_per_frame"] for r in runs]),
            "task_counters": runs[-1]["task_counters"], "runs": runs}


# ---- 3. feedback latency ----------------------------------------------------------------------


class Probe:
    """Feedback frames for PROBE_NODE from a raw socket, each with a position no frame had before."""

    def __init__(self, iface: str):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind((iface,))
        self.value = 0.0

    def send(self) -> tuple[float, int]:
        """Sends the next frame; returns its position value and the clock just before."""
        self.value += 1.0
        frame = CAN_FRAME.pack(PROBE_NODE, 8, struct.pack("<fhh", self.value, 0, 0))
        start = time.perf_counter_ns()
        self.sock.send(frame)
        return self.value, start

    def close(self):
        self.sock.close()


def wait_until(ready, limit_s: float = 1.0) -> bool:
    """Sleeps in short steps until ready() (never spins: one CPU in the guest). It sleeps
    before it looks, so that the sender gives the CPU up right after the send in every row
    alike, however much a look costs (a dict of counters for quorix, a set lookup for the
    thread): the look itself must not delay the receiver it waits for."""
    deadline = time.monotonic() + limit_s
    while True:
        time.sleep(0.0005)
        if ready():
            return True
        if time.monotonic() > deadline:
            return False


def latency_quorix(probe: Probe, iface: str, samples: int) -> tuple[list[int], int]:
    """quorix: until the group stored the value (its test-hooks timestamp), or without test
    hooks until a polling Device.get_feedback() returns it."""
    motor = quorix.Motor(iface, HOST)
    device = motor.add_device(0, PROBE_NODE, "speed")
    hooks = hasattr(motor, "_feedback_stats")
    lat, timeouts = [], 0
    for _ in range(samples):
        if hooks:
            stored = motor._feedback_stats["stored"]
            value, start = probe.send()
            if wait_until(lambda: motor._feedback_stats["stored"] > stored):
                lat.append(motor._feedback_stats["last_store_ns"] - start)
            else:
                timeouts += 1
        else:
            value, start = probe.send()
            get = device.get_feedback
            limit = start + 1_000_000_000
            while get()["position"] != value:
                if time.perf_counter_ns() > limit:
                    timeouts += 1
                    break
                os.sched_yield()
            else:
                lat.append(time.perf_counter_ns() - start)
        time.sleep(0.002)
    return lat, timeouts


def latency_recv_thread(probe: Probe, iface: str, samples: int) -> tuple[list[int], int]:
    """A Python thread blocked in socket.recv on the bus: until recv returned the frame and the
    thread stored its value."""
    rx = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    rx.bind((iface,))
    seen = {}

    def reader():
        while True:
            data = rx.recv(CAN_FRAME.size)
            t = time.perf_counter_ns()
            can_id, _, payload = CAN_FRAME.unpack(data)
            if can_id != PROBE_NODE:
                return  # the stop frame
            seen[struct.unpack_from("<f", payload)[0]] = t

    thread = threading.Thread(target=reader)
    thread.start()
    lat, timeouts = [], 0
    try:
        for _ in range(samples):
            value, start = probe.send()
            if wait_until(lambda: value in seen):
                lat.append(seen[value] - start)
            else:
                timeouts += 1
            time.sleep(0.002)
    finally:
        probe.sock.send(CAN_FRAME.pack(PROBE_NODE + 1, 0, bytes(8)))
        thread.join()
        rx.close()
    return lat, timeouts


LATENCY_ROWS = {"quorix Device feedback": latency_quorix, "Python thread in socket.recv": latency_recv_thread}


def latency_bench(iface: str, samples: int, rounds: int) -> dict:
    """Each round measures every row on samples/rounds frames, the rows one after the other."""
    probe = Probe(iface)
    per_round = max(1, samples // rounds)
    out = {name: {"runs": [], "samples_us": [], "timeouts": 0} for name in LATENCY_ROWS}
    try:
        for _ in range(rounds):
            for name, measure in LATENCY_ROWS.items():
                lat, timeouts = measure(probe, iface, per_round)
                lat.sort()
                row = out[name]
                row["timeouts"] += timeouts
                row["samples_us"] += [v / 1e3 for v in lat]
                row["runs"].append({"p50_us": benchkit.percentile(lat, 0.5) / 1e3,
                                    "p99_us": benchkit.percentile(lat, 0.99) / 1e3,
                                    "max_us": lat[-1] / 1e3 if lat else float("nan")})
    finally:
        probe.close()
    for row in out.values():
        for key in ("p50_us", "p99_us", "max_us"):
            row[key] = benchkit.median(r[key] for r in row["runs"])
            row[key.replace("_us", "_spread")] = benchkit.spread([r[key] for r in row["runs"]])
        row["samples"] = len(row["samples_us"])
    return out


def print_cycle(cycle, args):
    base = cycle.get("python-can")
    print(f"\ncontrol cycle: 4 targets + 1 broadcast frame, median of {args.rounds} rounds x {args.cycles} cycles"
          " (spread: lowest-highest round)")
    print(f"  {'':<12} {'caller µs/cycle':>16} {'spread':>13} {'vs python-can':>14} {'until on bus µs/cycle':>22}"
          f" {'spread':>13} {'vs python-can':>14}")
    for name, r in cycle.items():
        rel = f"{r['caller_us'] / base['caller_us']:.2f}x" if base else "-"
        rel_bus = f"{r['on_bus_us'] / base['on_bus_us']:.2f}x" if base else "-"
        flag = "" if r["all_frames_written"] else "  (not all frames seen on the bus)"
        print(f"  {name:<12} {r['caller_us']:>16.1f} {r['caller_spread']:>13} {rel:>14} {r['on_bus_us']:>22.1f}"
              f" {r['on_bus_spread']:>13} {rel_bus:>14}{flag}")
    if not base:
        print("  python-can is not installed in this interpreter: its column is skipped")


def print_feedback(fb):
    print(f"\nfeedback: {fb['drivers']} simulated drivers at {fb['rate_hz']:g} Hz, {fb['rounds']} rounds of "
          f"{fb['seconds']:g} s")
    stored = "n/a (build with QUORIX_TEST_HOOKS=ON)" if fb["stored"] is None else fb["stored"]
    print(f"  sent by the simulator {fb['sent']}, decoded and stored {stored}, lost {fb['lost']}")
    if fb["stored"]:
        print(f"  process CPU per stored frame: {fb['cpu_us_per_frame']:.1f} µs (spread "
              f"{fb['cpu_us_per_frame_spread']})")
    if fb["task_counters"]:
        print(f"  feedback task (last round): {fb['task_counters']}")
    print(f"  frames the interface dropped on receive: {fb['interface_rx_dropped']}")


def print_latency(lat):
    print("\nfeedback latency: frame written on the bus until its value is visible (µs; medians of rounds,"
          " spread lowest-highest round)")
    print(f"  {'':<30} {'p50':>8} {'spread':>13} {'p99':>8} {'spread':>15} {'max':>8} {'samples':>8}")
    for name, r in lat.items():
        late = f"  ({r['timeouts']} not seen within 1 s)" if r["timeouts"] else ""
        print(f"  {name:<30} {r['p50_us']:>8.0f} {r['p50_spread']:>13} {r['p99_us']:>8.0f} {r['p99_spread']:>15}"
              f" {r['max_us']:>8.0f} {r['samples']:>8}{late}")


def goals(cycle, fb, lat) -> list:
    rows = []
    if fb and fb["lost"] is not None:
        rows.append(("feedback: no frame lost", f"{fb['lost']} of {fb['sent']}", fb["lost"] == 0))
    if fb and fb.get("cpu_baseline_us") and fb["cpu_us_per_frame"]:
        ratio = fb["cpu_us_per_frame"] / fb["cpu_baseline_us"]
        rows.append(("feedback CPU per frame: at most half the baseline build's",
                     f"{ratio:.2f}x ({fb['cpu_us_per_frame']:.1f} vs {fb['cpu_baseline_us']:.1f} µs)", ratio <= 0.5))
    if lat:
        ours, theirs = lat["quorix Device feedback"], lat["Python thread in socket.recv"]
        ratio = ours["p50_us"] / theirs["p50_us"]
        rows.append(("feedback latency: p50 at most 1.5x a thread in socket.recv",
                     f"{ratio:.2f}x ({ours['p50_us']:.0f} vs {theirs['p50_us']:.0f} µs; p99 {ours['p99_us']:.0f}"
                     f" vs {theirs['p99_us']:.0f})", ratio <= 1.5))
    return rows


# ---- main -------------------------------------------------------------------------------------


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", default=os.environ.get("VCAN_IFACES", "vcan0").split()[0])
    p.add_argument("--cycles", type=int, default=2000, help="control cycles per round")
    p.add_argument("--rounds", type=int, default=5, help="rounds of every part")
    p.add_argument("--frames", type=int, default=100_000, help="feedback frames per round (all drivers)")
    p.add_argument("--rate", type=float, default=1000.0, help="feedback frames per second and driver")
    p.add_argument("--cpu-baseline-us", type=float, default=None,
                   help="CPU µs per feedback frame of a baseline build measured in the same guest (goal row)")
    p.add_argument("--samples", type=int, default=500, help="latency samples per row, over all rounds")
    p.add_argument("--only", choices=("cycle", "feedback", "latency"), action="append",
                   help="run only these parts (repeatable)")
    p.add_argument("--json", default=str(ROOT / "bench" / "out" / "motor.json"))
    args = p.parse_args(argv)
    session = benchkit.Session()

    print(f"motor benchmark on {args.iface}")
    parts = set(args.only or ("cycle", "feedback", "latency"))
    cycle, fb, lat = {}, None, None
    if "cycle" in parts:
        cycle = cycle_bench(args.iface, args.cycles, args.rounds)
        print_cycle(cycle, args)
    if "feedback" in parts:
        fb = feedback_bench(args.iface, args.frames / (len(NODES) * args.rate), args.rate, args.rounds)
        fb["cpu_baseline_us"] = args.cpu_baseline_us
        print_feedback(fb)
    if "latency" in parts:
        lat = latency_bench(args.iface, args.samples, args.rounds)
        print_latency(lat)
    session.finish()
    print(f"\n{session.machine_line()}")
    rows = benchkit.print_goals(goals(cycle, fb, lat))

    out = pathlib.Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    data = {"environment": session.environment(), "cycle": cycle, "feedback": fb, "latency": lat, "goals": rows}
    out.write_text(json.dumps(data, indent=2))
    print(f"\nwrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
