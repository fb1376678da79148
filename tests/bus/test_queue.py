"""The transmit queue of a real controller: 10 frames, paced at the bus's rate, so that bursts
meet ENOBUFS as they do on hardware. Every frame the program queued reaches the wire, in order,
during a burst and at the end of the program; frames are counted by a raw socket on can1."""

import re
import subprocess
import sys
import textwrap
import time

import pytest

import quorix
from conftest import configure, load_drivesim, wait_for

HOST = 0x100


@pytest.fixture(params=[True, False], ids=["paced", "unpaced"])
def bench(request):
    """can0 and can1 up at 1 Mbit/s; can0 paced (or not) at the bus's rate."""
    configure("can0", up=True, bitrate=1000000, paced=request.param)
    configure("can1", up=True, bitrate=1000000)


@pytest.fixture
def paced_bench():
    """can0 and can1 up at 1 Mbit/s, can0 paced: a burst fills its 10-frame queue."""
    configure("can0", up=True, bitrate=1000000, paced=True)
    configure("can1", up=True, bitrate=1000000)


def drops(name):
    """Writes the pacing queue refused (each one an ENOBUFS for its writer)."""
    text = subprocess.run(["tc", "-s", "qdisc", "show", "dev", name], capture_output=True, text=True).stdout
    found = re.search(r"dropped (\d+)", text)
    return int(found.group(1)) if found else 0


def start(code):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def expected_burst(count):
    return [(0x300 + i % 16, i.to_bytes(4, "little")) for i in range(count)]


@pytest.mark.parametrize("count", [100, 1000])
def test_burst_of_non_blocking_sends_reaches_the_wire_in_order(paced_bench, sniffer, count):
    wire = sniffer("can1")
    # The script keeps running until the test has counted: the end of a program is another case.
    child = start(f"""
        import sys, quorix
        d = quorix.CanDeviceNonBlocking("can0")
        for i in range({count}):
            d.send(0x300 + i % 16, i.to_bytes(4, "little"))
        print("sent", flush=True)
        sys.stdin.readline()
    """)
    try:
        assert child.stdout.readline() == "sent\n", child.communicate()
        started = time.monotonic()
        frames = wire.wait_count(count)
        took = time.monotonic() - started
        _, err = child.communicate("done\n", timeout=60)
    finally:
        child.kill()
    print(f"{count} frames offered, {drops('can0')} ENOBUFS, {len(frames)} on the wire, "
          f"{took:.2f} s after the last send")
    assert err == ""
    assert frames == expected_burst(count)


def test_back_to_back_add_device_calls_reach_every_driver(paced_bench, sniffer):
    drivesim = load_drivesim()
    nodes = [(0x201 + slot, slot) for slot in range(4)]
    wire = sniffer("can1", HOST)
    with drivesim.DriveSim("can1", HOST, nodes=nodes, rate_hz=0, mode="current") as sim:
        motor = quorix.Motor("can0", host=HOST)
        devices = [motor.add_device(slot, node, "speed") for node, slot in nodes]
        assert len(wire.wait_count(16)) == 16
        assert wait_for(lambda: [sim.snapshot(n)["config_frames"] for n, _ in nodes] == [4] * 4)
        assert [(sim.snapshot(n)["mode"], sim.snapshot(n)["in_session"]) for n, _ in nodes] == [("speed", False)] * 4
        assert [sim.snapshot(n)["rejected"] for n, _ in nodes] == [0] * 4
    del devices, motor


# Scripts that end right after their last frames: everything they queued is on the wire before
# the interpreter is gone, and nothing is reported.
ENDINGS = {
    "stop-after-a-loop": ("""
        import quorix
        m = quorix.Motor("can0", host=0x100)
        d = m.add_device(0, 0x201, "speed")
        for _ in range(100):
            d.set_target(5.0)
            m.broadcast()
        d.set_target(0.0)
        m.broadcast()
    """, HOST, 4 + 101, (HOST, bytes(8))),
    "stop-at-once": ("""
        import quorix
        m = quorix.Motor("can0", host=0x100)
        d = m.add_device(0, 0x201, "speed")
        d.set_target(0.0)
        m.broadcast()
    """, HOST, 4 + 1, (HOST, bytes(8))),
    "non-blocking-sends": ("""
        import quorix
        d = quorix.CanDeviceNonBlocking("can0")
        for i in range(100):
            d.send(0x42, i.to_bytes(1, "little"))
    """, 0x42, 100, (0x42, bytes([99]))),
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_frames_queued_before_the_end_of_the_program_reach_the_wire(bench, sniffer, ending):
    code, can_id, count, last = ENDINGS[ending]
    wire = sniffer("can1", can_id)
    child = start(code)
    _, err = child.communicate(timeout=120)
    assert (child.returncode, err) == (0, "")
    frames = wire.wait_count(count, limit=10)
    assert (len(frames), frames[-1:]) == (count, [last])
