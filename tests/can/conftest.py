"""Shared pieces of the tests that need a CAN bus; run them through scripts/vcan-run."""

import os
import socket
import struct
import threading
import time

import pytest


def bus_names():
    """The buses vcan-run made for this run, the first one being the default."""
    return os.environ.get("VCAN_IFACES", "vcan0").split()


@pytest.fixture
def vcan():
    """Name of a virtual CAN interface that exists and is up; skips the test elsewhere."""
    name = bus_names()[0]
    if not hasattr(socket, "AF_CAN"):
        pytest.skip("this Python has no AF_CAN")
    try:
        with open(f"/sys/class/net/{name}/operstate") as f:
            state = f.read().strip()
    except FileNotFoundError:
        pytest.skip(f"no CAN interface {name}: run through scripts/vcan-run")
    if state not in ("up", "unknown"):
        pytest.skip(f"{name} is {state}")
    return name


@pytest.fixture
def raw_socket(vcan):
    """Factory of raw CAN sockets bound to the bus, closed after the test."""
    made = []

    def make(timeout=10.0):
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        made.append(s)
        s.settimeout(timeout)
        s.bind((vcan,))
        return s

    yield make
    for s in made:
        s.close()



CAN_FRAME = struct.Struct("=IB3x8s")


SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


class Sniffer:
    """Collects the payloads of every frame with one identifier from a thread of its own, so
    that no frame is lost to a full socket buffer."""

    def __init__(self, iface, can_id):
        self.frames = []
        self._arrived = threading.Condition()
        self._sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self._sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                              struct.pack("=II", can_id, socket.CAN_SFF_MASK | socket.CAN_EFF_FLAG))
        # SO_RCVBUF is capped at net.core.rmem_max (about 600 frames by default), too few for a
        # burst while this thread waits for the interpreter lock; root may pass the cap.
        try:
            self._sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
        except PermissionError:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self._sock.settimeout(0.1)
        self._sock.bind((iface,))
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                _, length, data = CAN_FRAME.unpack(self._sock.recv(CAN_FRAME.size))
            except socket.timeout:
                continue
            with self._arrived:
                self.frames.append(data[:length])
                self._arrived.notify_all()

    def wait_count(self, count, timeout):
        """True once `count` frames were seen, False after `timeout` seconds."""
        with self._arrived:
            return self._arrived.wait_for(lambda: len(self.frames) >= count, timeout)

    def stop(self, settle=0.0):
        """The frames seen, after `settle` seconds more for frames still on their way. Frames
        are delivered to local sockets as they are accepted for the bus, so what a finished
        sender wrote is already queued here."""
        if self._stop.is_set():  # stopped before (a fixture's teardown after the test's own stop)
            return self.frames
        time.sleep(settle)
        self._stop.set()
        self._thread.join()
        # What the thread had not read yet (it may have been waiting for the interpreter lock).
        self._sock.setblocking(False)
        while True:
            try:
                _, length, data = CAN_FRAME.unpack(self._sock.recv(CAN_FRAME.size))
            except BlockingIOError:
                break
            self.frames.append(data[:length])
        self._sock.close()
        return self.frames
