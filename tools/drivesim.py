#!/usr/bin/env python3
"""Simulated DR v1 FOC motor drivers on a SocketCAN interface.

Each simulated driver has a node id and a slot of the broadcast target frame. It
records the DR v1 configuration frames addressed to it (unicast to its node id, or
broadcast to dest 0xFFFF), checks their checksum, tracks its configuration session
and FOC mode, takes its slot of every broadcast target frame sent under the host id,
integrates a first-order motor model and sends feedback frames under its node id at
a fixed rate.

Library use (a peer for tests, the demo and the benchmarks):

    with DriveSim("vcan0", 0x100, nodes=[(0x201, 0), (0x202, 1)], rate_hz=1000) as sim:
        ...
        sim.config_frames(0x201)      # recorded configuration frames
        sim.snapshot(0x201)           # mode, target, position, speed, current, ...

Command line:

    python tools/drivesim.py --iface vcan0 --host 0x100 --node 0x201:0 --node 0x202:1 --rate 1000

Standard library only; Linux with AF_CAN.
"""

from __future__ import annotations

import argparse
import math
import signal
import socket
import struct
import sys
import threading
import time
from dataclasses import dataclass, field

# ---- SocketCAN frame layout (struct can_frame) ------------------------------------------

CAN_FRAME_FMT = "=IB3x8s"
CAN_FRAME_SIZE = struct.calcsize(CAN_FRAME_FMT)  # 16
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x7FF
CAN_EFF_MASK = 0x1FFFFFFF

# ---- DR v1 -------------------------------------------------------------------------------

FRAME_LEN = 8
DR_MAGIC = b"DR1"  # 44 52 31
BROADCAST_DEST = 0xFFFF
ENTER_FIRST = 0x73
ENTER_SECOND = 0x74
IN_SESSION = 0xFF
CTL_EXIT_CONFIGURE = 0x00
CTL_CALIBRATE = 0x01
CTL_ENTER_CONFIGURE = 0x03
CTL_SET_FOC_MODE = 0x10

MODE_CURRENT = 0
MODE_SPEED = 1
MODE_POSITION = 2
MODE_NAMES = {MODE_CURRENT: "current", MODE_SPEED: "speed", MODE_POSITION: "position"}
MODE_BY_NAME = {name: code for code, name in MODE_NAMES.items()}
TARGET_SCALE = {MODE_CURRENT: 100.0, MODE_SPEED: 10.0, MODE_POSITION: 100.0}

I16_MIN, I16_MAX = -32768, 32767
F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


def pack_can_frame(can_id: int, data: bytes) -> bytes:
    """A struct can_frame: identifiers above 0x7FF go out in the extended format."""
    if len(data) > FRAME_LEN:
        raise ValueError("CAN payload longer than 8 bytes")
    if not 0 <= can_id <= CAN_EFF_MASK:
        raise ValueError(f"CAN id out of range: {can_id:#x}")
    raw_id = can_id | CAN_EFF_FLAG if can_id > CAN_SFF_MASK else can_id
    return struct.pack(CAN_FRAME_FMT, raw_id, len(data), bytes(data).ljust(FRAME_LEN, b"\0"))


def unpack_can_frame(raw: bytes) -> tuple[int, bytes, int]:
    """(identifier without flags, data, flag bits) of a struct can_frame."""
    raw_id, dlc, payload = struct.unpack(CAN_FRAME_FMT, raw[:CAN_FRAME_SIZE])
    flags = raw_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)
    can_id = raw_id & (CAN_EFF_MASK if raw_id & CAN_EFF_FLAG else CAN_SFF_MASK)
    return can_id, payload[: min(dlc, FRAME_LEN)], flags


def checksum(data: bytes) -> int:
    """XOR of bytes 0 to 6 of a configuration frame."""
    x = 0
    for b in data[:7]:
        x ^= b
    return x


def build_config_frame(byte3: int, dest: int, ctl: int) -> bytes:
    """A configuration frame as the host builds it (for tests and for injecting frames)."""
    body = DR_MAGIC + bytes([byte3, dest & 0xFF, (dest >> 8) & 0xFF, ctl])
    return body + bytes([checksum(body)])


@dataclass(frozen=True)
class ConfigFrame:
    """One received configuration frame."""

    data: bytes
    byte3: int
    dest: int
    ctl: int
    checksum_ok: bool
    time: float = 0.0


def parse_config_frame(data: bytes, now: float = 0.0) -> ConfigFrame | None:
    """The configuration frame in `data`, or None when it is no configuration frame.

    A frame from the host is taken as a configuration frame when it has 8 bytes, starts
    with "DR1" and has a byte 3 of a configuration frame (0x73, 0x74, 0xFF); anything
    else from the host is a broadcast target frame. The checksum is checked, not required.
    """
    if len(data) != FRAME_LEN or data[:3] != DR_MAGIC:
        return None
    if data[3] not in (ENTER_FIRST, ENTER_SECOND, IN_SESSION):
        return None
    return ConfigFrame(
        data=bytes(data),
        byte3=data[3],
        dest=data[4] | (data[5] << 8),
        ctl=data[6],
        checksum_ok=data[7] == checksum(data),
        time=now,
    )


def decode_targets(data: bytes) -> tuple[int, int, int, int]:
    """The four signed 16-bit little-endian slot targets of a broadcast target frame."""
    return struct.unpack("<4h", bytes(data))


def target_value(raw: int, mode: int) -> float:
    """Physical target of a wire integer: A, rad/s or rad by mode."""
    return raw / TARGET_SCALE[mode]


def _to_i16(value: float) -> int:
    if math.isnan(value):
        return 0
    if value >= I16_MAX:
        return I16_MAX
    if value <= I16_MIN:
        return I16_MIN
    return int(round(value))


def _to_f32(value: float) -> float:
    if math.isnan(value) or abs(value) <= F32_MAX:
        return value
    return math.copysign(math.inf, value)


def encode_feedback(position: float, speed: float, current: float) -> bytes:
    """A feedback frame: position f32, speed in 0.1 rad/s and current in 0.01 A as i16,
    all little-endian; values rounded to the nearest step and saturated."""
    return struct.pack("<fhh", _to_f32(position), _to_i16(speed * 10.0), _to_i16(current * 100.0))


def decode_feedback(data: bytes) -> tuple[float, float, float] | None:
    """(position, speed, current) of a feedback frame, or None unless it has 8 bytes.
    Divisions as the host does them, in single precision."""
    if len(data) != FRAME_LEN:
        return None
    position, speed_raw, current_raw = struct.unpack("<fhh", bytes(data))

    def f32(x: float) -> float:
        return struct.unpack("<f", struct.pack("<f", x))[0]

    return position, f32(f32(speed_raw) / 10.0), f32(f32(current_raw) / 100.0)


# ---- one simulated driver -----------------------------------------------------------------

# Motor model: a first-order lag of time constant `tau` toward the commanded quantity.
SPEED_PER_AMP = 10.0  # rad/s reached per A of current in current mode
AMP_PER_RAD_S = 0.05  # A drawn per rad/s of speed error in speed mode
AMP_PER_RAD = 0.5  # A drawn per rad of position error in position mode


@dataclass
class SimDriver:
    """State of one simulated driver. Mutated only under DriveSim's lock."""

    node_id: int
    slot: int
    mode: int = MODE_SPEED
    in_session: bool = False
    pending_enter: bool = False  # first enter frame seen, waiting for the second
    calibrations: int = 0
    raw_target: int = 0
    position: float = 0.0
    speed: float = 0.0
    current: float = 0.0
    feedback_sent: int = 0
    targets_received: int = 0
    config: list[ConfigFrame] = field(default_factory=list)
    rejected: int = 0  # configuration frames with a bad checksum or out of session

    @property
    def dest(self) -> int:
        return self.node_id & 0xFFFF

    @property
    def target(self) -> float:
        return target_value(self.raw_target, self.mode)

    def accepts(self, frame: ConfigFrame) -> bool:
        return frame.dest in (self.dest, BROADCAST_DEST)

    def apply_config(self, frame: ConfigFrame, strict_session: bool) -> None:
        self.config.append(frame)
        if not frame.checksum_ok:
            self.rejected += 1
            return
        if frame.byte3 == ENTER_FIRST and frame.ctl == CTL_ENTER_CONFIGURE:
            self.pending_enter = True
            return
        if frame.byte3 == ENTER_SECOND and frame.ctl == CTL_ENTER_CONFIGURE:
            # The second enter frame counts only right after the first one.
            self.in_session = self.in_session or self.pending_enter
            self.pending_enter = False
            return
        self.pending_enter = False
        if frame.byte3 != IN_SESSION or (strict_session and not self.in_session):
            self.rejected += 1
            return
        if frame.ctl == CTL_EXIT_CONFIGURE:
            self.in_session = False
        elif frame.ctl == CTL_CALIBRATE:
            self.calibrations += 1
        elif CTL_SET_FOC_MODE <= frame.ctl <= CTL_SET_FOC_MODE + MODE_POSITION:
            self.mode = frame.ctl - CTL_SET_FOC_MODE
        else:
            self.rejected += 1

    def step(self, dt: float, tau: float) -> None:
        """Integrates the motor model over dt seconds."""
        if dt <= 0.0:
            return
        alpha = 1.0 - math.exp(-dt / tau) if tau > 0.0 else 1.0
        target = self.target
        if self.mode == MODE_CURRENT:
            self.current = target
            self.speed += (target * SPEED_PER_AMP - self.speed) * alpha
            self.position += self.speed * dt
        elif self.mode == MODE_SPEED:
            self.speed += (target - self.speed) * alpha
            self.current = (target - self.speed) * AMP_PER_RAD_S
            self.position += self.speed * dt
        else:
            moved = (target - self.position) * alpha
            self.position += moved
            self.speed = moved / dt
            self.current = (target - self.position) * AMP_PER_RAD

    def feedback_frame(self) -> bytes:
        return encode_feedback(self.position, self.speed, self.current)


RECEIVE_ERROR_PAUSE = 0.01  # s, after a failed read


# ---- the bus peer ---------------------------------------------------------------------------


class DriveSim:
    """Simulated drivers sharing one CAN interface.

    Nothing touches the bus until start(). handle_frame() and tick() hold the whole
    protocol and model logic, so they can be driven without a socket.
    """

    def __init__(
        self,
        iface: str,
        host: int,
        nodes=((0x201, 0),),
        rate_hz: float = 1000.0,
        *,
        mode: int | str = MODE_SPEED,
        tau: float = 0.05,
        strict_session: bool = True,
    ):
        """nodes: (node_id, slot) or (node_id, slot, mode) tuples; mode as code or text.
        rate_hz: feedback frames per second and driver (0: send none)."""
        self.iface = iface
        self.host = host
        self.rate_hz = float(rate_hz)
        self.tau = tau
        self.strict_session = strict_session
        self._lock = threading.Lock()
        self._drivers: list[SimDriver] = []
        for spec in nodes:
            node_id, slot, *rest = spec
            node_mode = _mode_code(rest[0] if rest else mode)
            if not 0 <= slot <= 3:
                raise ValueError(f"slot must be 0 to 3, got {slot}")
            self._drivers.append(SimDriver(node_id=node_id, slot=slot, mode=node_mode))
        self.frames_sent = 0
        self.frames_received = 0
        self.target_frames = 0
        self.config_frames_seen = 0
        self.other_frames = 0  # identifiers other than the host id, remote and error frames
        self.send_errors = 0
        self.receive_errors = 0
        self._sock: socket.socket | None = None
        self._stop = threading.Event()
        self._threads: list[threading.Thread] = []

    # -- pure logic --

    def handle_frame(self, can_id: int, data: bytes, flags: int = 0, now: float | None = None) -> None:
        """Takes one frame read from the bus."""
        now = time.monotonic() if now is None else now
        with self._lock:
            self.frames_received += 1
            if can_id != self.host or flags & (CAN_RTR_FLAG | CAN_ERR_FLAG):
                self.other_frames += 1
                return
            frame = parse_config_frame(data, now)
            if frame is not None:
                self.config_frames_seen += 1
                for d in self._drivers:
                    if d.accepts(frame):
                        d.apply_config(frame, self.strict_session)
                return
            if len(data) != FRAME_LEN:
                self.other_frames += 1
                return
            self.target_frames += 1
            targets = decode_targets(data)
            for d in self._drivers:
                d.raw_target = targets[d.slot]
                d.targets_received += 1

    def tick(self, dt: float) -> list[tuple[int, bytes]]:
        """Advances every driver's model by dt seconds; returns their feedback frames."""
        with self._lock:
            out = []
            for d in self._drivers:
                d.step(dt, self.tau)
                out.append((d.node_id, d.feedback_frame()))
            return out

    # -- inspection --

    def node_ids(self) -> list[int]:
        return [d.node_id for d in self._drivers]

    def config_frames(self, node_id: int) -> list[ConfigFrame]:
        """Configuration frames addressed to node_id (unicast or broadcast), in order."""
        with self._lock:
            return list(self._driver(node_id).config)

    def snapshot(self, node_id: int) -> dict:
        """A copy of one driver's state."""
        with self._lock:
            d = self._driver(node_id)
            return {
                "node_id": d.node_id,
                "slot": d.slot,
                "mode": MODE_NAMES[d.mode],
                "in_session": d.in_session,
                "calibrations": d.calibrations,
                "raw_target": d.raw_target,
                "target": d.target,
                "position": d.position,
                "speed": d.speed,
                "current": d.current,
                "targets_received": d.targets_received,
                "feedback_sent": d.feedback_sent,
                "config_frames": len(d.config),
                "rejected": d.rejected,
            }

    def counters(self) -> dict:
        with self._lock:
            return {
                "frames_sent": self.frames_sent,
                "frames_received": self.frames_received,
                "target_frames": self.target_frames,
                "config_frames": self.config_frames_seen,
                "other_frames": self.other_frames,
                "send_errors": self.send_errors,
                "receive_errors": self.receive_errors,
            }

    def _driver(self, node_id: int) -> SimDriver:
        for d in self._drivers:
            if d.node_id == node_id:
                return d
        raise KeyError(f"no simulated driver with node id {node_id:#x}")

    # -- bus --

    def start(self) -> "DriveSim":
        """Opens a raw CAN socket on the interface and starts the receive and feedback threads."""
        if self._sock is not None:
            raise RuntimeError("DriveSim already started")
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            sock.bind((self.iface,))
            sock.settimeout(0.05)  # lets the receive thread notice stop()
        except BaseException:
            sock.close()
            raise
        self._sock = sock
        self._stop.clear()
        self._threads = [threading.Thread(target=self._receive_loop, name="drivesim-rx", daemon=True)]
        if self.rate_hz > 0:
            tx = threading.Thread(target=self._feedback_loop, name="drivesim-tx", daemon=True)
            self._threads.append(tx)
        for t in self._threads:
            t.start()
        return self

    def stop(self) -> None:
        """Stops both threads and closes the socket. Safe to call twice."""
        self._stop.set()
        for t in self._threads:
            t.join()
        self._threads = []
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self) -> "DriveSim":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def send_raw(self, can_id: int, data: bytes) -> None:
        """Sends an arbitrary frame (for tests: wrong lengths, unknown identifiers)."""
        self._send(can_id, data)

    def _send(self, can_id: int, data: bytes) -> None:
        sock = self._sock
        if sock is None:
            raise RuntimeError("DriveSim not started")
        try:
            sock.send(pack_can_frame(can_id, data))
        except OSError:  # e.g. ENOBUFS when the interface queue is full: drop this frame
            with self._lock:
                self.send_errors += 1
            return
        with self._lock:
            self.frames_sent += 1
            for d in self._drivers:
                if d.node_id == can_id:
                    d.feedback_sent += 1
                    break

    def _receive_loop(self) -> None:
        sock = self._sock
        while not self._stop.is_set():
            try:
                raw = sock.recv(CAN_FRAME_SIZE)
            except socket.timeout:
                continue
            except OSError:
                # The interface went down (ENETDOWN, reported once per socket) or away for a
                # moment: a driver stays on the bus and hears the host again once it is back.
                # The pause keeps a lasting error from spinning.
                with self._lock:
                    self.receive_errors += 1
                self._stop.wait(RECEIVE_ERROR_PAUSE)
                continue
            if len(raw) < CAN_FRAME_SIZE:
                continue
            can_id, data, flags = unpack_can_frame(raw)
            self.handle_frame(can_id, data, flags)

    def _feedback_loop(self) -> None:
        period = 1.0 / self.rate_hz
        last = time.monotonic()
        deadline = last + period
        while not self._stop.is_set():
            delay = deadline - time.monotonic()
            if delay > 0:
                self._stop.wait(delay)
                continue
            now = time.monotonic()
            for node_id, data in self.tick(now - last):
                self._send(node_id, data)
            last = now
            deadline += period
            if now - deadline > 10 * period:  # far behind (a stalled machine): skip, don't burst
                deadline = now + period


def _mode_code(mode: int | str) -> int:
    if isinstance(mode, str):
        try:
            return MODE_BY_NAME[mode.lower()]
        except KeyError:
            raise ValueError(f"unknown mode {mode!r}") from None
    if mode not in MODE_NAMES:
        raise ValueError(f"unknown mode {mode!r}")
    return mode


# ---- command line ---------------------------------------------------------------------------


def parse_node(text: str) -> tuple[int, int, int]:
    """'ID:SLOT' or 'ID:SLOT:MODE' (ID in any Python integer notation, e.g. 0x201)."""
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise argparse.ArgumentTypeError(f"expected ID:SLOT[:MODE], got {text!r}")
    try:
        node_id = int(parts[0], 0)
        slot = int(parts[1], 0)
        mode = _mode_code(parts[2]) if len(parts) == 3 else MODE_SPEED
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"bad node {text!r}: {e}") from None
    if not 0 <= node_id <= CAN_EFF_MASK:
        raise argparse.ArgumentTypeError(f"node id out of range in {text!r}")
    if not 0 <= slot <= 3:
        raise argparse.ArgumentTypeError(f"slot must be 0 to 3 in {text!r}")
    return node_id, slot, mode


def _int_auto(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= CAN_EFF_MASK:
        raise argparse.ArgumentTypeError(f"CAN id out of range: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description="Simulated DR v1 FOC drivers on a CAN interface.")
    p.add_argument("--iface", default="vcan0", help="CAN interface (default vcan0)")
    p.add_argument("--host", type=_int_auto, required=True, help="host CAN id of target and config frames")
    p.add_argument(
        "--node",
        type=parse_node,
        action="append",
        required=True,
        metavar="ID:SLOT[:MODE]",
        help="a simulated driver; repeat for more (mode: current, speed, position; default speed)",
    )
    p.add_argument("--rate", type=float, default=1000.0, help="feedback frames per second per driver")
    p.add_argument("--tau", type=float, default=0.05, help="motor model time constant in seconds")
    p.add_argument("--duration", type=float, default=None, help="stop after this many seconds")
    p.add_argument("--lenient", action="store_true", help="accept configuration commands outside a session")
    p.add_argument("--quiet", action="store_true", help="print no statistics")
    return p


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    sim = DriveSim(
        args.iface, args.host, args.node, args.rate, tau=args.tau, strict_session=not args.lenient
    )
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    try:
        sim.start()
    except OSError as e:
        print(f"drivesim: cannot open {args.iface}: {e}", file=sys.stderr)
        return 1
    if not args.quiet:
        nodes = ", ".join(f"{n:#x}@slot{s}" for n, s, _ in args.node)
        rate = f"{args.rate:g} Hz"
        print(f"drivesim: {args.iface} host={args.host:#x} nodes: {nodes} rate={rate}", flush=True)
    try:
        stop.wait(args.duration)
    finally:
        sim.stop()
    if not args.quiet:
        print(f"drivesim: {sim.counters()}", flush=True)
        for node_id in sim.node_ids():
            print(f"drivesim: {sim.snapshot(node_id)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
