"""Frames that must reach the bus when the bus pushes back or the program ends: the exit
flush of queued frames, a full transmit queue (a tbf qdisc makes a vcan interface refuse
writes with ENOBUFS as a real controller's 10-frame queue does), a deleted interface, and a
Device left behind by its Motor on a busy bus. Run through scripts/vcan-run."""

import contextlib
import os
import re
import resource
import socket
import subprocess
import sys
import time

import pytest

from conftest import CAN_FRAME, Sniffer

quorix = pytest.importorskip("quorix")

EXIT_WARNING = re.compile(r"Warning: (\d+) queued CAN frames were not written before exit\n")


def ip(*args):
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30)


@contextlib.contextmanager
def private_bus(name, qdisc=None, txqueuelen=None):
    """A vcan interface of the test's own (the shared bus stays as it was), optionally with a
    root qdisc that paces it; deleted afterwards."""
    if os.geteuid() != 0:
        pytest.skip("needs root to create interfaces")
    ip("link", "delete", "dev", name)
    made = ip("link", "add", "dev", name, "type", "vcan")
    if made.returncode != 0:
        pytest.skip(f"cannot create a vcan interface: {made.stderr.strip()}")
    try:
        if txqueuelen is not None:
            assert ip("link", "set", "dev", name, "txqueuelen", str(txqueuelen)).returncode == 0
        if qdisc:
            tc = subprocess.run(["tc", "qdisc", "add", "dev", name, "root", *qdisc.split()],
                                capture_output=True, text=True, timeout=30)
            if tc.returncode != 0:
                pytest.skip(f"no {qdisc.split()[0]} qdisc here: {tc.stderr.strip()}")
        assert ip("link", "set", "dev", name, "up").returncode == 0
        yield name
    finally:
        ip("link", "delete", "dev", name)


def run_script(code, *args, timeout=60):
    started = time.monotonic()
    proc = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=timeout)
    return proc, time.monotonic() - started


# ---- the end of a program ----------------------------------------------------------------------

SENDS_THEN_ENDS = """
import sys, quorix
d = quorix.CanDeviceNonBlocking(sys.argv[1])
for i in range(100):
    d.send(0x5A5, [i])
"""

BROADCASTS_ZERO_THEN_ENDS = """
import sys, quorix
m = quorix.Motor(sys.argv[1], 0x1F0)
d = m.add_device(0, 0x201, "speed")
for _ in range(100):
    d.set_target(5.0)
    m.broadcast()
d.set_target(0.0)
m.broadcast()
"""

ZERO = bytes(8)


@pytest.mark.parametrize("run", range(5))
def test_frames_sent_just_before_the_end_reach_the_bus(vcan, run):
    sniffer = Sniffer(vcan, 0x5A5)
    proc, _ = run_script(SENDS_THEN_ENDS, vcan)
    frames = sniffer.stop(settle=0.5)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert frames == [bytes([i]) for i in range(100)]


@pytest.mark.parametrize("run", range(5))
def test_zero_targets_broadcast_at_the_end_reach_the_bus(vcan, run):
    sniffer = Sniffer(vcan, 0x1F0)
    proc, _ = run_script(BROADCASTS_ZERO_THEN_ENDS, vcan)
    frames = sniffer.stop(settle=0.5)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert len(frames) == 4 + 101  # registration, then every broadcast
    assert frames[-1] == ZERO
    assert frames[-2] != ZERO


def test_exit_gives_up_on_a_stalled_bus_and_says_how_many_frames_were_left(vcan):
    # About 20 frames a second leave: the bus moves, too slowly to take 100 frames in 1 s.
    with private_bus("qxslow0", qdisc="tbf rate 2560bit burst 16 limit 16") as bus:
        sniffer = Sniffer(bus, 0x5A5)
        proc, elapsed = run_script(SENDS_THEN_ENDS, bus)
        frames = sniffer.stop(settle=0.5)
    assert proc.returncode == 0
    match = EXIT_WARNING.fullmatch(proc.stderr)
    assert match, proc.stderr
    left = int(match.group(1))
    assert 0 < left < 100
    # The count is taken as the wait gives up; the task goes on writing while the
    # interpreter finalizes, so a few of them may still leave. None is missing uncounted.
    assert len(frames) + left >= 100
    assert frames == [bytes([i]) for i in range(len(frames))]
    assert elapsed < 20  # bounded, not hung (the wait itself is 1 s)


# ---- a full transmit queue -------------------------------------------------------------------

BURST = """
import sys, time, quorix
d = quorix.CanDeviceNonBlocking(sys.argv[1])
for i in range(1000):
    d.send(0x5A5, i.to_bytes(2, "little"))
"""

PACED = "tbf rate 1mbit burst 16 limit 160"  # 1 Mbit/s, room for 10 frames


def test_burst_on_a_paced_ten_frame_queue_loses_nothing(vcan):
    with private_bus("qxpaced0", qdisc=PACED, txqueuelen=10) as bus:
        sniffer = Sniffer(bus, 0x5A5)
        proc, _ = run_script(BURST, bus)
        frames = sniffer.stop(settle=0.5)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert frames == [i.to_bytes(2, "little") for i in range(1000)]


def test_blocking_device_still_raises_on_a_full_queue(vcan):
    with private_bus("qxpaced1", qdisc=PACED, txqueuelen=10) as bus:
        device = quorix.CanDevice(bus)
        with pytest.raises(OSError) as exc:
            for i in range(1000):
                device.send(0x5A5, [i & 0xFF])
        assert str(exc.value) == "No buffer space available (os error 105)"


# ---- an interface that goes away ----------------------------------------------------------------

def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def test_deleted_interface_costs_no_cpu_and_each_send_says_why(vcan, capfd):
    with private_bus("qxgone0") as bus:
        device = quorix.CanDeviceNonBlocking(bus)
        motor = quorix.Motor(bus, 0x1F0)
        ip("link", "delete", "dev", bus)
        before = cpu_seconds()
        time.sleep(2)
        spent = cpu_seconds() - before
        device.send(0x5A5, [1])
        motor.broadcast()
        deadline = time.monotonic() + 10
        err = ""
        while err.count("\n") < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
            err += capfd.readouterr().err
    assert spent < 1.0  # a task spinning on the dead socket would take about all of it
    assert err.endswith("Failed to send CAN frame: No such device or address (os error 6)\n"
                        "Failed to send CAN frame: No such device or address (os error 6)\n"), err
    assert device.try_receive() is None


# ---- a Device left behind by its Motor -------------------------------------------------------------

ORPHAN = """
import sys, quorix
d = quorix.Motor(sys.argv[1], 0x1F0).add_device(0, 0x201, "speed")
print("ready", flush=True)
sys.stdin.readline()
d.set_target(1.0)
"""


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def flood(iface, count):
    frame = CAN_FRAME.pack(0x7FF, 8, bytes(range(8)))
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
        s.bind((iface,))
        for _ in range(count):
            s.send(frame)


def test_device_outliving_its_motor_keeps_memory_flat_on_a_busy_bus(vcan):
    with subprocess.Popen([sys.executable, "-c", ORPHAN, vcan], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout.readline() == "ready\n"
            flood(vcan, 20_000)  # the runtime's own buffers reach their working size
            time.sleep(0.5)
            before = rss_kib(proc.pid)
            flood(vcan, 300_000)
            time.sleep(1)
            grown = rss_kib(proc.pid) - before
            proc.communicate("\n", timeout=60)
        finally:
            proc.kill()
    assert proc.returncode == 0
    assert grown < 1024  # KiB; keeping every frame would take several MiB
