"""examples/demo.py end to end on a vcan bus: it drives the simulated drivers, stops on its
deadline or on SIGTERM, and leaves zero targets as the last broadcast frame."""

import os
import pathlib
import signal
import subprocess
import sys

import pytest

from conftest import Sniffer

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOST = 0x100


@pytest.fixture
def host_sniffer(vcan):
    sniffer = Sniffer(vcan, HOST)
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
    frames = host_sniffer.stop(settle=0.2)  # the demo's last frames are on the bus before it exits
    targets = [f for f in frames if f[:3] != b"DR1"]
    assert len(targets) > 10  # the loop ran
    assert any(f != bytes(8) for f in targets)  # and moved something
    assert targets[-3:] == [bytes(8)] * 3  # the last frames stop every motor
