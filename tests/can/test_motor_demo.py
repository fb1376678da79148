"""examples/demo.py end to end on a vcan bus: it drives the simulated drivers, stops on its
deadline or on SIGTERM, and leaves zero targets as the last broadcast frame."""

import os
import pathlib
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOST = 0x100
CAN_FRAME = struct.Struct("=IB3x8s")


class HostSniffer:
    """Collects every frame with the host id from a thread of its own, so that no frame is
    dropped by a full socket buffer."""

    def __init__(self, iface):
        self.frames = []
        self._sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self._sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                              struct.pack("=II", HOST, socket.CAN_SFF_MASK | socket.CAN_EFF_FLAG))
        self._sock.settimeout(0.1)
        self._sock.bind((iface,))
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                raw_id, length, data = CAN_FRAME.unpack(self._sock.recv(CAN_FRAME.size))
            except socket.timeout:
                continue
            self.frames.append(data[:length])

    def stop(self):
        time.sleep(0.2)  # the demo's last frames are on the bus before it exits; let them in
        self._stop.set()
        self._thread.join()
        self._sock.close()
        return self.frames


@pytest.fixture
def host_sniffer(vcan):
    sniffer = HostSniffer(vcan)
    yield sniffer
    sniffer.stop()


def start_demo(vcan, duration):
    env = dict(os.environ, IFACE=vcan, HOST=hex(HOST), DURATION=str(duration), RATE="200", SIM_RATE="200")
    return subprocess.Popen([sys.executable, str(ROOT / "examples" / "demo.py")], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("stop", ["deadline", "sigterm"])
def test_demo_runs_and_ends_with_zero_targets(vcan, host_sniffer, stop):
    demo = start_demo(vcan, 2 if stop == "deadline" else 0)
    try:
        head = ""
        if stop == "sigterm":
            # Status lines come once a second; by the second one block_until is waiting.
            while head.count("\n t=") < 2:
                line = demo.stdout.readline()
                assert line, demo.communicate()
                head += line
            demo.send_signal(signal.SIGTERM)
        out, err = demo.communicate(timeout=60)
        out = head + out
    finally:
        demo.kill()
    assert demo.returncode == 0, err
    reason = "timeout" if stop == "deadline" else "signal:SIGTERM"
    assert f"[quorix] Stopping (reason: {reason}), initiating graceful shutdown..." in err
    assert "summary: " in out
    assert f"stopped by {reason}; zero targets broadcast" in out
    frames = host_sniffer.stop()
    targets = [f for f in frames if f[:3] != b"DR1"]
    assert len(targets) > 10  # the loop ran
    assert any(f != bytes(8) for f in targets)  # and moved something
    assert targets[-3:] == [bytes(8)] * 3  # the last frames stop every motor
