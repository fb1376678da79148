"""The demo's settings: NODES in every accepted form, and a one-line message for a bad one.
No CAN bus needed: the demo stops before it opens the interface."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
_spec = importlib.util.spec_from_file_location("demo", DEMO)
demo = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(demo)


@pytest.mark.parametrize(
    "text, nodes",
    [
        ("0x201:0,0x202:1", [(0x201, 0), (0x202, 1)]),
        ("0x201,0x202", [(0x201, 0), (0x202, 1)]),  # no slots: in order
        ("0x201:1,0x202", [(0x201, 1), (0x202, 0)]),  # the next free one
        (" 513 : 3 , ", [(0x201, 3)]),
        ("0x201,0x202,0x203,0x204", [(0x201, 0), (0x202, 1), (0x203, 2), (0x204, 3)]),
    ],
)
def test_nodes_parse(text, nodes):
    assert demo.parse_nodes(text) == nodes


@pytest.mark.parametrize(
    "text, message",
    [
        ("0x201,0x202", None),
        ("", "demo: argument --nodes: NODES lists no driver: ''"),
        ("0x201:x", "demo: argument --nodes: NODES item '0x201:x' is not ID or ID:SLOT (e.g. 0x201:0)"),
        ("abc", "demo: argument --nodes: NODES item 'abc' is not ID or ID:SLOT (e.g. 0x201:0)"),
        ("0x201:4", "demo: argument --nodes: NODES item '0x201:4': slot must be 0 to 3"),
        ("0x201:0,0x202:0", "demo: argument --nodes: NODES item '0x202:0': slot 0 is already taken"),
        ("1,2,3,4,5", "demo: argument --nodes: NODES item '5': all four slots are taken"),
        ("0x20000000", "demo: argument --nodes: NODES item '0x20000000': node id out of range"),
    ],
)
def test_nodes_from_the_environment(text, message):
    # An empty NODES counts as unset; give the empty list on the command line instead.
    env = dict(os.environ, NODES=text or "x", IFACE="qxnone0", DURATION="1")
    args = ["--nodes", ""] if not text else []
    done = subprocess.run(
        [sys.executable, str(DEMO), *args], env=env, capture_output=True, text=True, timeout=120
    )
    if message is None:  # parsed: the demo goes on and fails only at the missing interface
        assert "Error" not in done.stderr and "Traceback" not in done.stderr, done.stderr
        assert done.stdout.startswith("quorix demo: qxnone0, host 0x100, 2 real drivers")
        return
    assert (done.returncode, done.stdout, done.stderr) == (2, "", message + "\n")
