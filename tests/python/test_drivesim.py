"""The drive simulator's pure parts: frame layouts, DR v1 parsing, the driver state
machine and the motor model. No CAN bus and no quorix needed."""

import errno
import importlib.util
import math
import pathlib
import socket
import struct
import sys

import pytest

_PATH = pathlib.Path(__file__).resolve().parents[2] / "tools" / "drivesim.py"
_spec = importlib.util.spec_from_file_location("drivesim", _PATH)
ds = importlib.util.module_from_spec(_spec)
sys.modules["drivesim"] = ds  # dataclasses look the module up by name
_spec.loader.exec_module(ds)

HOST = 0x100


def hexbytes(text):
    return bytes.fromhex(text)


# ---- configuration frames -------------------------------------------------------------------


@pytest.mark.parametrize(
    "byte3, dest, ctl, frame",
    [
        (0x73, 0xFFFF, 0x03, "44 52 31 73 FF FF 03 57"),
        (0x74, 0xFFFF, 0x03, "44 52 31 74 FF FF 03 50"),
        (0x73, 0x0201, 0x03, "44 52 31 73 01 02 03 54"),
        (0x74, 0x0201, 0x03, "44 52 31 74 01 02 03 53"),
        (0xFF, 0xFFFF, 0x00, "44 52 31 FF FF FF 00 D8"),
        (0xFF, 0x0201, 0x00, "44 52 31 FF 01 02 00 DB"),
        (0xFF, 0xFFFF, 0x01, "44 52 31 FF FF FF 01 D9"),
        (0xFF, 0x0201, 0x01, "44 52 31 FF 01 02 01 DA"),
        (0xFF, 0xFFFF, 0x10, "44 52 31 FF FF FF 10 C8"),
        (0xFF, 0xFFFF, 0x11, "44 52 31 FF FF FF 11 C9"),
        (0xFF, 0xFFFF, 0x12, "44 52 31 FF FF FF 12 CA"),
        (0xFF, 0x0201, 0x11, "44 52 31 FF 01 02 11 CA"),
        (0xFF, 0x2345, 0x00, "44 52 31 FF 45 23 00 BE"),
    ],
)
def test_config_frames_match_the_protocol_examples(byte3, dest, ctl, frame):
    data = hexbytes(frame)
    assert ds.build_config_frame(byte3, dest, ctl) == data
    parsed = ds.parse_config_frame(data)
    assert (parsed.byte3, parsed.dest, parsed.ctl, parsed.checksum_ok) == (byte3, dest, ctl, True)


@pytest.mark.parametrize(
    "frame, why",
    [
        ("64 00 00 00 CE FF 00 00", "a target frame"),
        ("44 52 31 FF FF FF 00", "7 bytes"),
        ("44 52 31 00 FF FF 00 D8", "byte 3 of no configuration frame"),
        ("44 52 32 FF FF FF 00 D8", "wrong magic"),
        ("", "empty"),
    ],
)
def test_parse_config_frame_rejects_other_frames(frame, why):
    assert ds.parse_config_frame(hexbytes(frame)) is None, why


def test_parse_config_frame_flags_a_bad_checksum():
    parsed = ds.parse_config_frame(hexbytes("44 52 31 FF FF FF 00 D9"))
    assert parsed is not None and parsed.checksum_ok is False


# ---- target and feedback frames ---------------------------------------------------------------


def test_decode_targets_reads_four_little_endian_i16():
    assert ds.decode_targets(hexbytes("64 00 00 00 CE FF 00 80")) == (100, 0, -50, -32768)


@pytest.mark.parametrize(
    "raw, mode, value",
    [
        (100, ds.MODE_SPEED, 10.0),
        (-50, ds.MODE_SPEED, -5.0),
        (123, ds.MODE_CURRENT, 1.23),
        (314, ds.MODE_POSITION, 3.14),
    ],
)
def test_target_value_undoes_the_mode_scale(raw, mode, value):
    assert ds.target_value(raw, mode) == pytest.approx(value)


@pytest.mark.parametrize(
    "position, speed, current, frame",
    [
        (1.5, -12.3, 2.5, "00 00 C0 3F 85 FF FA 00"),
        (0.0, 0.0, 0.0, "00 00 00 00 00 00 00 00"),
        (math.inf, 0.0, 0.0, "00 00 80 7F 00 00 00 00"),
        (1e39, 0.0, 0.0, "00 00 80 7F 00 00 00 00"),  # beyond single precision: infinity
        (-1e39, 0.0, 0.0, "00 00 80 FF 00 00 00 00"),
        (0.0, -3276.8, 0.0, "00 00 00 00 00 80 00 00"),
        (0.0, 1e9, -1e9, "00 00 00 00 FF 7F 00 80"),  # saturated
        (0.0, math.nan, math.nan, "00 00 00 00 00 00 00 00"),
        (0.0, 0.16, 0.016, "00 00 00 00 02 00 02 00"),  # rounded to the nearest step
    ],
)
def test_encode_feedback(position, speed, current, frame):
    assert ds.encode_feedback(position, speed, current) == hexbytes(frame)


def test_decode_feedback_matches_the_host_in_single_precision():
    position, speed, current = ds.decode_feedback(hexbytes("00 00 C0 3F 85 FF FA 00"))
    assert position == 1.5
    assert speed == struct.unpack("<f", struct.pack("<f", -12.3))[0]
    assert current == 2.5
    assert ds.decode_feedback(hexbytes("00 00 00 00 01 00 00 00"))[1] == 0.10000000149011612


@pytest.mark.parametrize("length", [0, 6, 7])
def test_decode_feedback_rejects_wrong_lengths(length):
    assert ds.decode_feedback(bytes(length)) is None


# ---- SocketCAN frame layout ------------------------------------------------------------------


@pytest.mark.parametrize(
    "can_id, data, raw_id",
    [
        (0x7FF, b"", 0x7FF),
        (0x201, b"\x01\x02", 0x201),
        (0x800, b"\x01", 0x800 | ds.CAN_EFF_FLAG),
        (0x1FFFFFFF, bytes(range(8)), 0x1FFFFFFF | ds.CAN_EFF_FLAG),
    ],
)
def test_pack_can_frame_uses_extended_format_above_0x7ff(can_id, data, raw_id):
    raw = ds.pack_can_frame(can_id, data)
    assert len(raw) == 16
    assert struct.unpack("=IB3x8s", raw) == (raw_id, len(data), data.ljust(8, b"\0"))
    assert ds.unpack_can_frame(raw) == (can_id, data, raw_id & ds.CAN_EFF_FLAG)


@pytest.mark.parametrize("can_id, data", [(0x20000000, b""), (-1, b""), (0x100, bytes(9))])
def test_pack_can_frame_rejects_bad_frames(can_id, data):
    with pytest.raises(ValueError):
        ds.pack_can_frame(can_id, data)


def test_unpack_can_frame_reports_remote_and_error_flags():
    raw = struct.pack("=IB3x8s", 0x123 | ds.CAN_RTR_FLAG, 2, bytes(8))
    assert ds.unpack_can_frame(raw) == (0x123, b"\0\0", ds.CAN_RTR_FLAG)


# ---- the simulated drivers, driven without a socket -------------------------------------------


def enter(dest):
    return [ds.build_config_frame(0x73, dest, 0x03), ds.build_config_frame(0x74, dest, 0x03)]


def set_mode(dest, mode):
    return ds.build_config_frame(0xFF, dest, 0x10 + mode)


def exit_session(dest):
    return ds.build_config_frame(0xFF, dest, 0x00)


@pytest.fixture
def sim():
    return ds.DriveSim("vcan0", HOST, nodes=[(0x201, 0), (0x12345, 1), (0x203, 3, "current")], rate_hz=0)


def feed(sim, frames, can_id=HOST):
    for data in frames:
        sim.handle_frame(can_id, data)


def test_add_device_sequence_sets_the_mode_of_one_driver(sim):
    feed(sim, [*enter(0x201), set_mode(0x201, ds.MODE_POSITION), exit_session(0x201)])
    assert sim.snapshot(0x201)["mode"] == "position"
    assert sim.snapshot(0x201)["in_session"] is False
    assert [f.data for f in sim.config_frames(0x201)] == [
        *enter(0x201),
        set_mode(0x201, ds.MODE_POSITION),
        exit_session(0x201),
    ]
    assert sim.config_frames(0x12345) == []  # unicast to another node
    assert sim.snapshot(0x12345)["mode"] == "speed"


def test_wide_node_id_is_addressed_by_its_low_16_bits(sim):
    feed(sim, [*enter(0x2345), set_mode(0x2345, ds.MODE_CURRENT)])
    assert sim.snapshot(0x12345)["mode"] == "current"
    assert len(sim.config_frames(0x12345)) == 3


def test_broadcast_configuration_reaches_every_driver(sim):
    feed(sim, [*enter(0xFFFF), set_mode(0xFFFF, ds.MODE_POSITION), ds.build_config_frame(0xFF, 0xFFFF, 0x01)])
    for node in sim.node_ids():
        snap = sim.snapshot(node)
        assert (snap["mode"], snap["in_session"], snap["calibrations"]) == ("position", True, 1)


@pytest.mark.parametrize(
    "frames, why",
    [
        ([set_mode(0x201, ds.MODE_CURRENT)], "no session"),
        ([enter(0x201)[1], set_mode(0x201, ds.MODE_CURRENT)], "second enter frame without the first"),
        ([*enter(0x201), exit_session(0x201), set_mode(0x201, ds.MODE_CURRENT)], "session ended"),
        ([*enter(0x201), b"DR1\xff\x01\x02\x10\x00"], "bad checksum"),
    ],
)
def test_mode_change_outside_a_valid_session_is_rejected(sim, frames, why):
    feed(sim, frames)
    snap = sim.snapshot(0x201)
    assert snap["mode"] == "speed", why
    assert snap["rejected"] >= 1
    assert snap["config_frames"] == len(frames)  # recorded all the same


def test_lenient_simulator_accepts_mode_outside_a_session():
    sim = ds.DriveSim("vcan0", HOST, nodes=[(0x201, 0)], rate_hz=0, strict_session=False)
    feed(sim, [set_mode(0x201, ds.MODE_CURRENT)])
    assert sim.snapshot(0x201)["mode"] == "current"


def test_target_frame_gives_each_driver_its_slot(sim):
    feed(sim, [hexbytes("64 00 CE FF 00 00 7B 00")])
    assert sim.snapshot(0x201)["target"] == pytest.approx(10.0)  # slot 0, speed
    assert sim.snapshot(0x12345)["target"] == pytest.approx(-5.0)  # slot 1, speed
    assert sim.snapshot(0x203)["target"] == pytest.approx(1.23)  # slot 3, current
    assert sim.counters()["target_frames"] == 1


@pytest.mark.parametrize(
    "can_id, data, flags",
    [
        (0x101, hexbytes("64 00 00 00 00 00 00 00"), 0),  # not the host id
        (HOST, hexbytes("64 00 00 00 00 00"), 0),  # host id, 6 bytes
        (HOST, bytes(8), ds.CAN_RTR_FLAG),
    ],
)
def test_other_frames_are_counted_and_ignored(sim, can_id, data, flags):
    sim.handle_frame(can_id, data, flags)
    assert sim.snapshot(0x201)["targets_received"] == 0
    assert sim.counters()["other_frames"] == 1
    assert sim.counters()["frames_received"] == 1


@pytest.mark.parametrize(
    "mode, raw_target, check",
    [
        ("speed", 100, lambda s: s["speed"] == pytest.approx(10.0, rel=1e-3) and s["position"] > 5.0),
        ("current", 100, lambda s: s["current"] == 1.0 and s["speed"] == pytest.approx(10.0, rel=1e-3)),
        ("position", 314, lambda s: s["position"] == pytest.approx(3.14, rel=1e-3) and abs(s["speed"]) < 0.1),
    ],
)
def test_motor_model_settles_on_the_target(mode, raw_target, check):
    sim = ds.DriveSim("vcan0", HOST, nodes=[(0x201, 0, mode)], rate_hz=0)
    sim.handle_frame(HOST, struct.pack("<4h", raw_target, 0, 0, 0))
    for _ in range(1000):  # 1 s at 1 kHz, twenty time constants
        frames = sim.tick(0.001)
    assert check(sim.snapshot(0x201))
    (node_id, data), = frames
    assert node_id == 0x201
    position, speed, current = ds.decode_feedback(data)
    snap = sim.snapshot(0x201)
    assert position == pytest.approx(snap["position"], rel=1e-6)
    assert speed == pytest.approx(snap["speed"], abs=0.05)
    assert current == pytest.approx(snap["current"], abs=0.005)


def test_unknown_node_is_a_key_error(sim):
    with pytest.raises(KeyError):
        sim.snapshot(0x999)


def test_bad_slot_is_refused():
    with pytest.raises(ValueError):
        ds.DriveSim("vcan0", HOST, nodes=[(0x201, 4)])


# ---- the receive thread ------------------------------------------------------------------------


class ScriptedSocket:
    """Answers recv() from a script: bytes are frames, exceptions are raised; after the script
    the simulator is stopped."""

    def __init__(self, sim, script):
        self.sim = sim
        self.script = list(script)

    def recv(self, size):
        if not self.script:
            self.sim._stop.set()
            raise socket.timeout
        step = self.script.pop(0)
        if isinstance(step, BaseException):
            raise step
        return step


@pytest.mark.parametrize(
    "error",
    [OSError(errno.ENETDOWN, "Network is down"), OSError(errno.ENODEV, "No such device")],
    ids=["ENETDOWN", "ENODEV"],
)
def test_receive_thread_outlives_a_bus_error(sim, error):
    target = ds.pack_can_frame(HOST, hexbytes("64 00 00 00 00 00 00 00"))
    sim._sock = ScriptedSocket(sim, [target, error, error, target])
    sim._receive_loop()  # returns once the script is done, not at the error
    assert sim.counters()["target_frames"] == 2
    assert sim.counters()["receive_errors"] == 2
    assert sim.snapshot(0x201)["targets_received"] == 2


# ---- command line ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, parsed",
    [
        ("0x201:0", (0x201, 0, ds.MODE_SPEED)),
        ("513:3:position", (0x201, 3, ds.MODE_POSITION)),
        ("0x12345:1:Current", (0x12345, 1, ds.MODE_CURRENT)),
    ],
)
def test_parse_node(text, parsed):
    assert ds.parse_node(text) == parsed


@pytest.mark.parametrize(
    "text", ["0x201", "0x201:4", "x:0", "0x201:0:torque", "0x201:0:speed:1", "0x20000000:0"]
)
def test_parse_node_rejects(text):
    with pytest.raises(ds.argparse.ArgumentTypeError):
        ds.parse_node(text)


def test_command_line_parses_the_documented_example():
    args = ds.build_parser().parse_args(
        ["--iface", "vcan0", "--host", "0x100", "--node", "0x201:0", "--node", "0x202:1", "--rate", "1000"]
    )
    assert (args.iface, args.host, args.rate) == ("vcan0", 0x100, 1000.0)
    assert args.node == [(0x201, 0, ds.MODE_SPEED), (0x202, 1, ds.MODE_SPEED)]
