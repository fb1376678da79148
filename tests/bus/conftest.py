"""Shared pieces of the tests on real CAN controllers: two SJA1000 controllers (can0, can1) on
one bus, as scripts/qemu-run's guest has them. The tests run as root there and set the
controllers up themselves; elsewhere they are skipped.

Each test starts from both controllers down; `configure` brings one to a given state, and
`unconfigured` gives a controller that was never configured (its PCI card removed and found
again, so that the driver makes it afresh)."""

import functools
import os
import pathlib
import socket
import struct
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CAN_FRAME = struct.Struct("=IB3x8s")
CONTROLLERS = ("can0", "can1")
SETTLE = 30.0  # seconds: the most any test waits for frames that are due on the wire


def driver_of(name):
    try:
        return os.path.basename(os.readlink(f"/sys/class/net/{name}/device/driver"))
    except OSError:
        return None


@functools.cache
def on_the_bench():
    """Decided once, at collection, while both controllers are there."""
    return (hasattr(socket, "AF_CAN") and os.geteuid() == 0
            and all(driver_of(c) == "kvaser_pci" for c in CONTROLLERS))


def pytest_collection_modifyitems(config, items):
    if on_the_bench():
        return
    skip = pytest.mark.skip(reason="needs the emulated controllers: run through scripts/qemu-run")
    for item in items:
        if pathlib.Path(str(item.fspath)).parent == pathlib.Path(__file__).parent:
            item.add_marker(skip)


def ip(*args, check=True):
    """Runs the real `ip`; returns its standard output."""
    done = subprocess.run(["ip", *args], capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"ip {' '.join(args)}: {done.stderr.strip()}")
    return done.stdout


def tc(*args):
    done = subprocess.run(["tc", *args], capture_output=True, text=True)
    assert done.returncode == 0, f"tc {' '.join(args)}: {done.stderr.strip()}"


def link_state(name):
    """(up, bitrate or None) as the kernel reports them."""
    text = ip("-details", "link", "show", name)
    flags = text[text.index("<") + 1:text.index(">")].split(",")
    bitrate = None
    for word, value in zip(text.split(), text.split()[1:]):
        if word == "bitrate":
            bitrate = int(value)
            break
    return "UP" in flags, bitrate


def pci_device(name):
    return os.path.realpath(f"/sys/class/net/{name}/device")


def wait_for(predicate, limit=SETTLE):
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def replug(name):
    """Removes the controller's PCI card and lets the bus find it again: the driver makes a
    controller that was never configured, under the same name (the lowest free one)."""
    with open(os.path.join(pci_device(name), "remove"), "w") as f:
        f.write("1")
    assert wait_for(lambda: not os.path.exists(f"/sys/class/net/{name}"))
    with open("/sys/bus/pci/rescan", "w") as f:
        f.write("1")
    assert wait_for(lambda: driver_of(name) == "kvaser_pci"), f"{name} did not come back"


def configure(name, up, bitrate=None, paced=False):
    ip("link", "set", name, "down")
    if bitrate is not None:
        ip("link", "set", name, "type", "can", "bitrate", str(bitrate))
    if up:
        ip("link", "set", name, "up")
    if paced:
        # A tbf root qdisc at the bus's own rate, one frame's burst, room for 10 frames: the
        # transmit queue of a real controller, which fills (ENOBUFS) where the emulation
        # would otherwise drain it at once.
        # A new one each time, so that its counters are the test's own.
        subprocess.run(["tc", "qdisc", "del", "dev", name, "root"], capture_output=True)
        tc("qdisc", "add", "dev", name, "root", "tbf", "rate", "1mbit", "burst", "16", "limit", "160")
    else:
        subprocess.run(["tc", "qdisc", "del", "dev", name, "root"], capture_output=True)


@pytest.fixture(autouse=True)
def controllers_down():
    """Every test starts with both controllers down, unpaced (their bitrate stays)."""
    if on_the_bench():
        for c in CONTROLLERS:
            if not os.path.exists(f"/sys/class/net/{c}"):  # a test unplugged it
                with open("/sys/bus/pci/rescan", "w") as f:
                    f.write("1")
                assert wait_for(lambda: driver_of(c) == "kvaser_pci"), f"{c} did not come back"
            configure(c, up=False)
    yield


@pytest.fixture
def unconfigured():
    """can0, down and never configured (no bitrate)."""
    if link_state("can0")[1] is not None:
        replug("can0")
    assert link_state("can0") == (False, None)
    return "can0"


@pytest.fixture
def peer():
    """can1 up at 1 Mbit/s: the other node on the bus."""
    configure("can1", up=True, bitrate=1000000)
    return "can1"


class Sniffer:
    """A raw socket on a controller with a receive buffer large enough for every frame of a
    test, read after the fact: nothing is lost however busy the one CPU is meanwhile."""

    def __init__(self, iface, can_id=None):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE: root only
        if can_id is not None:
            self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                                 struct.pack("=II", can_id, socket.CAN_SFF_MASK | socket.CAN_EFF_FLAG))
        self.sock.bind((iface,))
        self.frames = []

    def drain(self):
        """Takes every frame that has arrived; returns all frames taken so far."""
        while True:
            try:
                raw = self.sock.recv(CAN_FRAME.size, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return self.frames
            raw_id, length, data = CAN_FRAME.unpack(raw)
            mask = socket.CAN_EFF_MASK if raw_id & socket.CAN_EFF_FLAG else socket.CAN_SFF_MASK
            self.frames.append((raw_id & mask, data[:length]))

    def wait_count(self, count, limit=SETTLE):
        """Frames taken once `count` have arrived, or when no new one came for 3 s (or `limit`)."""
        deadline = time.monotonic() + limit
        last_change, seen = time.monotonic(), 0
        while len(self.drain()) < count and time.monotonic() < deadline:
            if len(self.frames) != seen:
                seen, last_change = len(self.frames), time.monotonic()
            elif time.monotonic() - last_change > 3.0:
                break
            time.sleep(0.02)
        return self.frames

    def close(self):
        self.sock.close()


@pytest.fixture
def sniffer():
    """Factory: sniffer(iface, can_id=None) -> Sniffer, closed after the test."""
    made = []

    def make(iface, can_id=None):
        s = Sniffer(iface, can_id)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


@dataclass
class Finished:
    returncode: int
    stdout: str
    stderr: str


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter (the one running the tests), so that its fd 2 can be
    read and its exit observed."""
    full = dict(os.environ)
    full.update(env or {})
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=full)
    return Finished(done.returncode, done.stdout, done.stderr)


def load_drivesim():
    import importlib.util

    spec = importlib.util.spec_from_file_location("drivesim", ROOT / "tools" / "drivesim.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["drivesim"] = module  # dataclasses look the module up by name
    spec.loader.exec_module(module)
    return module
