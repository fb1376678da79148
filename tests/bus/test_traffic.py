"""Frames through real controllers: the CAN devices on can0 and raw sockets on can1, a Motor on
can0 with simulated drivers on can1, and what a device sees of a controller taken down under it."""

import json

import pytest

import quorix
from conftest import CAN_FRAME, configure, load_drivesim, run_python, wait_for

HOST = 0x100
FRAMES = [(0x0, b""), (0x123, b"\x01"), (0x7FF, bytes(range(8))), (0x800, b"\xAA\x55"),
          (0x1FFFFFFF, b"\xFF" * 8), (0x456, b"\x00\x00\x00")]


@pytest.fixture
def bus():
    """Both controllers up at 1 Mbit/s."""
    for c in ("can0", "can1"):
        configure(c, up=True, bitrate=1000000)


def pack(can_id, data):
    import socket

    flags = socket.CAN_EFF_FLAG if can_id > socket.CAN_SFF_MASK else 0
    return CAN_FRAME.pack(can_id | flags, len(data), data.ljust(8, b"\0"))


@pytest.mark.parametrize("cls", ["CanDevice", "CanDeviceNonBlocking"])
def test_frames_cross_the_bus_both_ways_in_order(bus, sniffer, cls):
    device = getattr(quorix, cls)("can0")
    wire = sniffer("can1")
    for can_id, data in FRAMES:
        device.send(can_id, data)
    assert wire.wait_count(len(FRAMES)) == FRAMES

    for can_id, data in FRAMES:
        wire.sock.send(pack(can_id, data))
    if cls == "CanDevice":
        got = [device.receive() for _ in FRAMES]
    else:
        got = [device.receive_timeout(30_000) for _ in FRAMES]
    assert got == FRAMES


# The constructor brings can0 up; the script takes it down under the device, sends twice,
# brings it up again and sends once more. Its fd 2 is a pipe it reads itself, so that it goes
# on only once the non-blocking device's I/O task has reported both refused frames; a raw
# socket on can1 shows what reached the wire.
DOWN_THEN_UP = """
import json, os, socket, struct, subprocess, quorix
wire = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
wire.settimeout(30)
wire.bind(("can1",))
d = quorix.{cls}("can0")
saved, (r, w) = os.dup(2), os.pipe()
os.dup2(w, 2)
results = []
def send(tag):
    try:
        d.send(0x321, tag)
        results.append(None)
    except OSError as e:
        results.append(str(e))
subprocess.run(["ip", "link", "set", "can0", "down"], check=True)
send(b"down-1")
send(b"down-2")
reported = b""
while reported.count(b"Failed to send") < {reports}:
    reported += os.read(r, 4096)
os.dup2(saved, 2)
subprocess.run(["ip", "link", "set", "can0", "up"], check=True)
send(b"up")
can_id, length, data = struct.unpack("=IB3x8s", wire.recv(16))
print(json.dumps([results, reported.decode(), can_id, data[:length].decode()]))
"""
REFUSED = "Failed to send CAN frame: Network is down (os error 100)"
# The I/O task's socket may also hear of the controller going down, once, unless a refused
# write took that news first.
DOWN_HEARD = "Failed to receive CAN frame: Network is down (os error 100)"


@pytest.mark.parametrize("cls, results, reported", [
    ("CanDevice", ["Network is down (os error 100)"] * 2 + [None], []),
    ("CanDeviceNonBlocking", [None] * 3, [REFUSED] * 2),
])
def test_down_controller_refuses_each_frame_until_it_is_up(bus, cls, results, reported):
    done = run_python(DOWN_THEN_UP.format(cls=cls, reports=len(reported)))
    assert done.returncode == 0, done.stderr
    got_results, got_reported, can_id, tag = json.loads(done.stdout)
    assert (got_results, can_id, tag) == (results, 0x321, "up")
    lines = (got_reported + done.stderr).splitlines()
    assert lines.count(DOWN_HEARD) <= 1
    assert [line for line in lines if line != DOWN_HEARD] == reported


def test_motor_with_simulated_drivers_on_the_other_controller(bus, sniffer):
    drivesim = load_drivesim()
    wire = sniffer("can1", HOST)
    with drivesim.DriveSim("can1", HOST, nodes=[(0x201, 0), (0x202, 1)], rate_hz=200) as sim:
        motor = quorix.Motor("can0", host=HOST)
        d1 = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
        d2 = motor.add_device(slot_index=1, node_id=0x202, mode="position")
        assert wait_for(lambda: [sim.snapshot(n)["config_frames"] for n in (0x201, 0x202)] == [4, 4])
        assert [sim.snapshot(n)["mode"] for n in (0x201, 0x202)] == ["speed", "position"]
        assert not any(sim.snapshot(n)["in_session"] for n in (0x201, 0x202))

        d1.set_target(10.0)
        d2.set_target(-1.5)
        motor.broadcast()
        assert wait_for(lambda: sim.snapshot(0x201)["targets_received"] == 1)
        assert (sim.snapshot(0x201)["target"], sim.snapshot(0x202)["target"]) == (10.0, -1.5)
        # 10 rad/s -> 100, -1.5 rad -> -150, as little-endian i16 in slots 0 and 1
        assert wire.wait_count(9)[-1] == (HOST, bytes.fromhex("6400 6AFF 0000 0000"))

        # The simulated drive turns; its feedback reaches the device through the feedback task.
        assert wait_for(lambda: d1.get_feedback()["speed"] > 1.0)
        assert motor.get_feedback(0)["position"] > 0.0
        assert motor.get_feedback(2) is None
    del motor, d1, d2
