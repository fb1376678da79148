#!/usr/bin/env python3
"""quorix demo: a 500 Hz control loop driving FOC motor drivers over CAN.

One `Motor` (a broadcast group) on IFACE with host id HOST, one speed-mode `Device` per
entry of NODES. A timer (see below) runs the control loop: the first driver follows a speed
ramp, the second holds a position with a proportional loop closed over its feedback, any
further one follows the ramp in the opposite direction. Each cycle sets every target and
sends them all in one broadcast frame. A normal `timer` redraws a small table of targets
and feedback. `block_until` waits for Ctrl+C, SIGTERM or the end of DURATION, then stops
the timers; zero targets are broadcast before the program ends, on every path, so real
motors stop. A summary follows: cycles, the control timer's lateness, feedback frames.

On a vcan interface (the default, vcan0) it starts simulated drivers (tools/drivesim.py)
as a separate process; on any other interface it drives the real drivers on the bus.

Settings, from the command line or the environment (command line wins):
    IFACE     CAN interface                   (default vcan0)
    HOST      host CAN id                     (default 0x100)
    NODES     driver node ids and slots       (default 0x201:0,0x202:1)
    DURATION  seconds to run, 0 = until Ctrl+C (default 10)
    RATE      control loop frequency in Hz    (default 500)
    SIM       1/0: start simulated drivers    (default 1 on vcan*, else 0)
    SIM_RATE  feedback frames per second of each simulated driver (default 500)
    PRECISION control timer: normal, high or realtime (default: by the CPUs, see below)

The control timer's precision is chosen by the number of CPUs the demo may use: with two or
more, a `precision_timer` (it busy-waits the last 0.8 ms before each call on a CPU of its
own); with one, a `timer` of normal precision (the runtime's timer wakes it; it never spins),
because a thread that spins 40% of every period on the only CPU starves the CAN I/O task and
the drivers it controls. The table is redrawn less often on one CPU. The summary says which.
"""

from __future__ import annotations

import argparse
import ast
import math
import os
import pathlib
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Sequence
from types import FrameType
from typing import NoReturn

import quorix

ROOT = pathlib.Path(__file__).resolve().parents[1]
DRIVESIM = ROOT / "tools" / "drivesim.py"

RAMP_PEAK = 20.0  # rad/s
RAMP_PERIOD = 8.0  # s: 0 -> peak -> -peak -> 0
HOLD_POSITION = math.pi  # rad
HOLD_GAIN = 8.0  # (rad/s) per rad of position error
HOLD_LIMIT = 15.0  # rad/s
ZERO_FRAMES = 3  # zero-target broadcasts at the end
ZERO_WAIT = 2.0  # s to see them on the bus

Nodes = list[tuple[int, int]]  # (node id, slot) of each driver


# ---- settings ---------------------------------------------------------------------------------


def parse_nodes(text: str) -> list[tuple[int, int]]:
    """'ID:SLOT,ID:SLOT,...'; an ID without ':SLOT' takes the next free slot (so
    '0x201,0x202' is slots 0 and 1). IDs in any Python integer notation."""
    nodes: list[tuple[int, int]] = []
    items = [item for item in text.replace(" ", "").split(",") if item]
    if not items:
        raise argparse.ArgumentTypeError(f"NODES lists no driver: {text!r}")
    for item in items:
        node_text, colon, slot_text = item.partition(":")
        try:
            node = int(node_text, 0)
            free = [s for s in range(4) if all(s != taken for _, taken in nodes)]
            slot = int(slot_text, 0) if colon else free[0] if free else None
        except ValueError:
            raise argparse.ArgumentTypeError(f"NODES item {item!r} is not ID or ID:SLOT (e.g. 0x201:0)") from None
        if slot is None:
            raise argparse.ArgumentTypeError(f"NODES item {item!r}: all four slots are taken")
        if not 0 <= node <= 0x1FFFFFFF:
            raise argparse.ArgumentTypeError(f"NODES item {item!r}: node id out of range")
        if not 0 <= slot <= 3:
            raise argparse.ArgumentTypeError(f"NODES item {item!r}: slot must be 0 to 3")
        if any(s == slot for _, s in nodes):
            raise argparse.ArgumentTypeError(f"NODES item {item!r}: slot {slot} is already taken")
        nodes.append((node, slot))
    return nodes


class ArgumentParser(argparse.ArgumentParser):
    """Says what is wrong in one line, without the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"demo: {message}\n")


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    def env(name: str, default: str | None = None) -> str | None:
        return os.environ.get(name) or default  # set but empty counts as unset

    p = ArgumentParser(description="quorix demo: a control loop over CAN.")
    p.add_argument("--iface", default=env("IFACE", "vcan0"))
    p.add_argument("--host", type=lambda s: int(s, 0), default=env("HOST", "0x100"))
    p.add_argument("--nodes", type=parse_nodes, default=env("NODES", "0x201:0,0x202:1"))
    p.add_argument("--duration", type=float, default=env("DURATION", "10"))
    p.add_argument("--rate", type=float, default=env("RATE", "500"))
    p.add_argument("--sim", type=int, choices=(0, 1), default=env("SIM"))
    p.add_argument("--sim-rate", type=float, default=env("SIM_RATE", "500"))
    p.add_argument("--precision", choices=("normal", "high", "realtime"), default=env("PRECISION"))
    args = p.parse_args(argv)  # string defaults go through `type` too
    if args.rate <= 0:
        p.error("RATE must be positive")
    args.sim = args.iface.startswith("vcan") if args.sim is None else bool(args.sim)
    return args


def usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def choose_timing(requested: str | None) -> tuple[str, float, str]:
    """(control timer precision, table redraws per second, why)."""
    cpus = usable_cpus()
    if cpus >= 2:
        precision = requested or "high"
        why = f"{cpus} CPUs: the busy-waiting timer thread leaves the others to the CAN I/O and the drivers"
        return precision, 5.0, why if not requested else "as requested (PRECISION)"
    if requested:
        return requested, 2.0, "as requested (PRECISION)"
    return "normal", 2.0, "1 CPU: a busy-waiting timer thread would starve the CAN I/O and the drivers"


def control_timer(precision: str, rate: float) -> quorix.Timer | quorix.PrecisionTimer:
    if precision == "normal":
        return quorix.timer(rate)
    return quorix.precision_timer(rate, realtime=precision == "realtime")


# ---- simulated drivers -----------------------------------------------------------------------


class Simulator:
    """tools/drivesim.py in a process of its own, so that it never competes with the control
    loop for this interpreter."""

    def __init__(self, iface: str, host: int, nodes: Nodes, rate: float) -> None:
        cmd = [sys.executable, str(DRIVESIM), "--iface", iface, "--host", hex(host), "--rate", str(rate)]
        for node, slot in nodes:
            cmd += ["--node", f"{node:#x}:{slot}"]
        # Its own process group: a Ctrl+C on the terminal reaches the demo, which stops it.
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, start_new_session=True)
        assert self.proc.stdout is not None
        first = self.proc.stdout.readline()
        if not first.startswith("drivesim:"):
            self.proc.wait()
            raise RuntimeError(f"the drive simulator did not start ({first.strip() or 'no output'})")
        self.frames_sent: int | None = None

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            out, _ = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
        for line in out.splitlines():
            if "'frames_sent'" in line:
                counters = ast.literal_eval(line.split("drivesim: ", 1)[1])  # its dict's repr
                self.frames_sent = counters["frames_sent"]


# ---- feedback frame counter ----------------------------------------------------------------


class FeedbackCounter:
    """Counts the drivers' feedback frames on the bus with a raw socket of its own, filtered
    by the kernel to the node ids. Reads in batches to stay out of the control loop's way.
    At the end it also watches the host's frames, to see the zero targets on the wire."""

    def __init__(self, iface: str, node_ids: Sequence[int]) -> None:
        self.count = 0
        self.zero_targets = 0  # all-zero target frames seen since watch_zero_targets()
        self._node_ids = list(node_ids)
        self._host: int | None = None
        self._stop = threading.Event()
        self._sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self._set_filters(self._node_ids)
        try:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        except OSError:
            pass
        self._sock.bind((iface,))
        self._sock.setblocking(False)
        self._thread = threading.Thread(target=self._run, name="feedback-counter", daemon=True)
        self._thread.start()

    def _set_filters(self, ids: Sequence[int]) -> None:
        filters = b"".join(
            struct.pack("=II", n | socket.CAN_EFF_FLAG, socket.CAN_EFF_MASK | socket.CAN_EFF_FLAG)
            if n > socket.CAN_SFF_MASK
            else struct.pack("=II", n, socket.CAN_SFF_MASK | socket.CAN_EFF_FLAG)
            for n in ids
        )
        self._sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, filters)

    def watch_zero_targets(self, host: int) -> None:
        """From now on also reads the frames sent under `host` and counts the target frames
        that are all zero. (Not during the run: that would be one more frame per cycle to
        read on the control loop's CPU.)"""
        self._host = host
        self._set_filters(self._node_ids + [host])

    def wait_zero_targets(self, count: int, timeout: float) -> int:
        """Waits until `count` zero-target frames were seen, at most `timeout` seconds."""
        end = time.monotonic() + timeout
        while self.zero_targets < count and time.monotonic() < end:
            time.sleep(0.01)
        return self.zero_targets

    def _drain(self) -> None:
        while True:
            try:
                raw = self._sock.recv(16)
            except BlockingIOError:
                return
            raw_id, length, data = struct.unpack("=IB3x8s", raw)
            can_id = raw_id & (socket.CAN_EFF_MASK if raw_id & socket.CAN_EFF_FLAG else socket.CAN_SFF_MASK)
            if can_id == self._host and can_id not in self._node_ids:
                if length == 8 and data == bytes(8):
                    self.zero_targets += 1
                continue
            self.count += 1

    def _run(self) -> None:
        while not self._stop.wait(0.02 if self._host is not None else 0.05):
            self._drain()

    def stop(self) -> int:
        self._stop.set()
        self._thread.join()
        self._drain()
        self._sock.close()
        return self.count


# ---- control -----------------------------------------------------------------------------------


def ramp(t: float) -> float:
    """Triangle wave: 0 -> RAMP_PEAK -> -RAMP_PEAK -> 0 over RAMP_PERIOD seconds."""
    phase = (t / RAMP_PERIOD) % 1.0
    return RAMP_PEAK * (4 * phase if phase < 0.25 else 2 - 4 * phase if phase < 0.75 else 4 * phase - 4)


class Controller:
    """The control loop's state; tick() is the timer's function."""

    def __init__(self, motor: quorix.Motor, devices: Sequence[quorix.Device], rate: float) -> None:
        self.motor = motor
        self.devices = devices
        self.period_ns = round(1e9 / rate)
        self.roles = ["speed ramp", "position hold"] + ["reverse ramp"] * (len(devices) - 2)
        self.targets = [0.0] * len(devices)
        self.phase_ns: list[int] = []  # each call's time modulo the period
        self.cycles = 0
        self.t0: int | None = None
        self.last: int | None = None
        # stop() may come while a call runs on the timer's thread: the lock lets that call
        # finish, and no call after it sets a target, so nothing follows the zero targets.
        self.lock = threading.Lock()
        self.stopped = False

    def stop(self) -> None:
        """No call sets a target from now on (one that runs is waited for)."""
        with self.lock:
            self.stopped = True

    def skipped(self) -> int:
        """Grid points that passed without a call."""
        if self.t0 is None or self.last is None:
            return 0
        return (self.last - self.t0) // self.period_ns + 1 - self.cycles

    def lateness_ns(self, last: int | None = None) -> list[int]:
        """Lateness of the calls (of the last `last` ones), sorted.

        The timer keeps to a grid of period spacing and skips grid points it has missed, so a
        call is late by the time since the latest grid point. The grid's phase is not known
        here (the first call is late too); calls are never early, so the phase is taken as
        the earliest one: the phase after the widest gap between the calls' phases."""
        phases = sorted(self.phase_ns[-last:] if last else self.phase_ns)
        if not phases:
            return []
        gaps = [(b - a, b) for a, b in zip(phases, phases[1:])]
        gaps.append((phases[0] + self.period_ns - phases[-1], phases[0]))
        grid = max(gaps)[1]
        return sorted((p - grid) % self.period_ns for p in phases)

    def tick(self) -> None:
        with self.lock:
            if not self.stopped:
                self._tick()

    def _tick(self) -> None:
        now = time.monotonic_ns()
        if self.t0 is None:
            self.t0 = now
        self.phase_ns.append(now % self.period_ns)
        self.last = now
        t = (now - self.t0) / 1e9
        for i, device in enumerate(self.devices):
            if self.roles[i] == "position hold":
                error = HOLD_POSITION - device.get_feedback()["position"]
                target = max(-HOLD_LIMIT, min(HOLD_LIMIT, HOLD_GAIN * error))
            elif self.roles[i] == "reverse ramp":
                target = -ramp(t)
            else:
                target = ramp(t)
            device.set_target(target)
            self.targets[i] = target
        self.motor.broadcast()
        self.cycles += 1


# ---- display -----------------------------------------------------------------------------------


class Table:
    """A few lines redrawn in place on a terminal, appended elsewhere."""

    def __init__(self, controller: Controller, nodes: Nodes, counter: FeedbackCounter | None) -> None:
        self.c = controller
        self.nodes = nodes
        self.counter = counter
        self.tty = sys.stdout.isatty()
        self.drawn = 0
        self.started = time.monotonic()
        self._last = 0.0

    def lines(self) -> list[str]:
        out = [" slot  node      task            target       position       speed     current"]
        for i, ((node, slot), device) in enumerate(zip(self.nodes, self.c.devices)):
            fb = device.get_feedback()
            out.append(
                f"  {slot:>3}  0x{node:<6X}  {self.c.roles[i]:<13}"
                f" {self.c.targets[i]:>7.2f} rad/s {fb['position']:>9.3f} rad"
                f" {fb['speed']:>7.2f} rad/s {fb['current']:>6.2f} A"
            )
        frames = f"  feedback frames {self.counter.count}" if self.counter else ""
        late = self.c.lateness_ns(500)
        p99 = late[int(0.99 * (len(late) - 1))] / 1e3 if late else 0.0
        out.append(f" t={time.monotonic() - self.started:6.1f} s  cycles {self.c.cycles}  late p99 {p99:.0f} µs{frames}")
        return out

    def draw(self) -> None:
        lines = self.lines()
        if self.tty:
            up = f"\x1b[{self.drawn}F" if self.drawn else ""
            sys.stdout.write(up + "".join(f"{line}\x1b[K\n" for line in lines))
            self.drawn = len(lines)
        elif time.monotonic() - self._last >= 1.0:
            self._last = time.monotonic()
            sys.stdout.write(lines[-1] + "\n")
        sys.stdout.flush()


# ---- summary -----------------------------------------------------------------------------------


def percentile(sorted_values: Sequence[float], q: float) -> float:
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(q * (len(sorted_values) - 1) + 0.5))]


def summary(c: Controller, elapsed: float, reason: str, clean: bool, frames: int | None, sim_sent: int | None,
            stored: int | None, zero_queued: bool, zero_seen: int | None, timing: str = "") -> str:
    late = c.lateness_ns()
    p50, p99, worst = (percentile(late, q) / 1e3 for q in (0.5, 0.99, 1.0))
    rate = c.cycles / elapsed if elapsed > 0 else 0.0
    out = [
        "",
        f"summary: {c.cycles} control cycles in {elapsed:.1f} s ({rate:.1f} Hz of {1e9 / c.period_ns:g} Hz,"
        f" {c.skipped()} grid points skipped)",
        f"  timer lateness: p50 {p50:.0f} µs, p99 {p99:.0f} µs, max {worst:.0f} µs",
    ]
    if timing:
        out.append(f"  {timing}")
    parts = []
    if sim_sent is not None:
        parts.append(f"the simulator sent {sim_sent}")
    if frames is not None:
        parts.append(f"the demo's listener socket received {frames}")
    if stored is not None:
        parts.append(f"the motor group decoded and stored {stored}")
    if parts:
        out.append("  feedback frames: " + ", ".join(parts))
    if not zero_queued:
        zero = "zero targets could NOT be broadcast"
    elif zero_seen:
        zero = f"zero targets broadcast ({zero_seen} of {ZERO_FRAMES} frames seen on the bus)"
    else:
        zero = "zero targets queued but NOT seen on the bus"
    out.append(f"  stopped by {reason}{'' if clean else ' (some tasks did not stop in time)'}; {zero}")
    return "\n".join(out)


# ---- main --------------------------------------------------------------------------------------


def broadcast_zero(motor: quorix.Motor, devices: Sequence[quorix.Device]) -> bool:
    """Sets every target to 0 and broadcasts it a few times; True if every frame was queued."""
    ok = True
    for d in devices:
        d.set_target(0.0)
    for i in range(ZERO_FRAMES):
        try:
            motor.broadcast()
        except OSError as e:
            print(f"demo: zero broadcast failed: {e}", file=sys.stderr)
            ok = False
        if i + 1 < ZERO_FRAMES:
            time.sleep(0.01)
    return ok


def main(argv: Sequence[str] | None = None) -> int:
    # Until block_until takes over, SIGTERM ends the start-up like Ctrl+C does, through the
    # clean-up below. block_until's own handling calls this handler too and discards what it
    # raises.
    starting = True

    def on_sigterm(signum: int, frame: FrameType | None) -> None:
        if starting:
            raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_sigterm)
    args = parse_args(argv)
    precision, redraw_hz, why = choose_timing(args.precision)
    kind = "simulated drivers" if args.sim else "real drivers"
    until = f"{args.duration:g} s or Ctrl+C" if args.duration > 0 else "Ctrl+C"
    print(f"quorix demo: {args.iface}, host 0x{args.host:X}, {len(args.nodes)} {kind}, "
          f"{args.rate:g} Hz control loop; runs {until}")

    sim: Simulator | None = None
    motor: quorix.Motor | None = None
    devices: list[quorix.Device] | None = None
    counter: FeedbackCounter | None = None
    controller: Controller | None = None
    reason, clean, zero_queued, zero_seen = "an error", False, False, 0
    started = time.monotonic()
    try:
        motor = quorix.Motor(args.iface, host=args.host)
        devices = [motor.add_device(slot, node, "speed") for node, slot in args.nodes]
        counter = FeedbackCounter(args.iface, [n for n, _ in args.nodes])
        # The simulated drivers start in speed mode and answer from now on, so every
        # feedback frame they send finds its device registered and is counted.
        if args.sim:
            sim = Simulator(args.iface, args.host, args.nodes, args.sim_rate)
        controller = Controller(motor, devices, args.rate)
        table = Table(controller, args.nodes, counter)

        control = control_timer(precision, args.rate)(controller.tick)
        display = quorix.timer(redraw_hz)(table.draw)
        started = time.monotonic()
        control_handle = control()
        display_handle = display()
        wait_ms = int(args.duration * 1000) if args.duration > 0 else None
        reason, clean = quorix.block_until(wait_ms=wait_ms, shutdown_timeout_ms=2000)
        starting = False
        del control_handle, display_handle
        table.drawn = 0  # block_until's lines are below the table now: draw it afresh
        table.draw()
    except KeyboardInterrupt:
        reason = "a signal during start-up"
    except OSError as e:  # the interface could not be opened, or a frame was refused
        print(f"demo: {e}", file=sys.stderr)
    finally:
        elapsed = time.monotonic() - started
        # Nothing may interrupt the way out: the zero targets must reach the bus. What is
        # left is bounded (the simulator is killed if it does not stop within 10 s).
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, signal.SIG_IGN)
        if controller is not None:
            controller.stop()
        if motor is not None and devices is not None:
            if counter:
                counter.watch_zero_targets(args.host)
            zero_queued = broadcast_zero(motor, devices)
            # Queued is not sent: the motors have stopped once the frames are on the wire.
            if counter and zero_queued:
                zero_seen = counter.wait_zero_targets(ZERO_FRAMES, ZERO_WAIT)
        if sim:
            sim.stop()
        frames = counter.stop() if counter else None
    if controller is None:
        return 1
    # Builds with QUORIX_TEST_HOOKS=ON count what the feedback task stored.
    stats = getattr(motor, "_feedback_stats", None)
    stored = stats["stored"] if stats else None
    timing = f"control timer: {precision} precision; table redrawn {redraw_hz:g} times a second ({why})"
    print(summary(controller, elapsed, reason, clean, frames, sim.frames_sent if sim else None, stored, zero_queued,
                  zero_seen, timing))
    return 0 if zero_seen else 1


if __name__ == "__main__":
    sys.exit(main())
