"""examples/demo.py on a real controller that was never configured, with the simulated drivers
on the same bus: the demo configures the controller itself, runs, and stops every motor."""

import os
import subprocess
import sys

from conftest import ROOT, Sniffer, link_state

HOST = 0x100


def test_demo_configures_the_controller_and_ends_with_zero_targets(unconfigured, peer):
    wire = Sniffer(peer, HOST)
    env = dict(os.environ, IFACE="can0", HOST=hex(HOST), SIM="1", DURATION="2", RATE="200", SIM_RATE="200")
    try:
        demo = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], env=env, capture_output=True,
                              text=True, timeout=300, stdin=subprocess.DEVNULL)
        frames = [data for _, data in wire.wait_count(10**6, limit=5)]
    finally:
        wire.close()
    assert demo.returncode == 0, demo.stderr
    assert demo.stderr.startswith(
        "[CAN] Interface 'can0' needs configuration (up=false, bitrate=none), configuring...\n")
    assert "zero targets broadcast" in demo.stdout
    assert link_state("can0") == (True, 1000000)
    targets = [f for f in frames if f[:3] != b"DR1"]
    assert any(f != bytes(8) for f in targets)  # the loop moved the motors
    assert targets[-1] == bytes(8)  # and the last frame on the wire stops them
