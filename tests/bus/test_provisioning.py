"""Provisioning of a real CAN controller by the constructors, with the real `ip`: the exact
"[CAN] " lines, the controller's state afterwards, and a first frame that reaches the other
node. As root, and as a user who may not configure links with a `sudo` on PATH."""

import json
import os
import shutil

import pytest

from conftest import configure, link_state, run_python

NEEDS = "[CAN] Interface 'can0' needs configuration (up={}, bitrate={}), configuring...\n"
SUDO_LINE = "[CAN] Need elevated privileges, requesting sudo...\n"
HOST = 0x100

# Builds the object, sends one frame with it and prints what happened as JSON.
CONSTRUCT = {
    "CanDevice": "d = quorix.CanDevice('can0'); d.send(0x123, b'\\x01\\x02')",
    "CanDeviceNonBlocking": "d = quorix.CanDeviceNonBlocking('can0'); d.send(0x123, b'\\x01\\x02')",
    "Motor": f"d = quorix.Motor('can0', host={HOST}); d.broadcast()",
}
FIRST_FRAME = {
    "CanDevice": [0x123, "0102"],
    "CanDeviceNonBlocking": [0x123, "0102"],
    "Motor": [HOST, "00" * 8],
}


def construct(cls, env=None):
    """Builds the object in a fresh interpreter and sends one frame with it; returns (the frame
    as the other controller received it, or the OSError; the constructor's fd 2)."""
    code = f"""
import json, socket, struct, quorix
wire = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
wire.settimeout(30)
wire.bind(("can1",))
try:
    {CONSTRUCT[cls]}
    can_id, length, data = struct.unpack("=IB3x8s", wire.recv(16))
    print(json.dumps([can_id, data[:length].hex()]))
except OSError as e:
    print(json.dumps([type(e).__name__, *e.args]))
"""
    done = run_python(code, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


STATES = {
    "never-configured": dict(up=False, bitrate=None),
    "down-at-1M": dict(up=False, bitrate=1000000),
    "up-at-500k": dict(up=True, bitrate=500000),
    "up-at-1M": dict(up=True, bitrate=1000000),
}
PRINTED = {
    "never-configured": NEEDS.format("false", "none"),
    "down-at-1M": NEEDS.format("false", 1000000),
    "up-at-500k": NEEDS.format("true", 500000),
    "up-at-1M": "",
}


def bring_to(request, state):
    if state == "never-configured":
        request.getfixturevalue("unconfigured")
    else:
        configure("can0", **STATES[state])


# Every state with the blocking device, the never-configured controller with each constructor.
ROOT_CASES = [("CanDevice", state) for state in STATES] + [
    ("CanDeviceNonBlocking", "never-configured"), ("Motor", "never-configured"), ("Motor", "up-at-500k")]


@pytest.mark.parametrize("cls, state", ROOT_CASES)
def test_as_root(request, cls, state, peer):
    bring_to(request, state)
    assert construct(cls) == (FIRST_FRAME[cls], PRINTED[state])
    assert link_state("can0") == (True, 1000000)


# Stand-ins for a user without the right to configure links: `ip` runs the real one as nobody
# (looking works, changing fails as it does for such a user), and `sudo` logs what it is asked
# to run and runs it with the real `ip` as root, or refuses.
IP_AS_NOBODY = """#!/bin/sh
exec {setpriv} --reuid=65534 --regid=65534 --clear-groups {ip} "$@"
"""
SUDO = """#!/bin/sh
echo "$*" >> {log}
[ -e {refuse} ] && exit 1
[ "$1" = ip ] || exit 127
shift
exec {ip} "$@"
"""


@pytest.fixture
def as_user(tmp_path):
    """(environment for the constructor, log of sudo's command lines, refusal switch)."""
    tools = {"ip": shutil.which("ip"), "setpriv": shutil.which("setpriv")}
    assert all(tools.values()), tools
    bindir = tmp_path / "bin"
    bindir.mkdir()
    log, refuse = tmp_path / "sudo.log", tmp_path / "refuse"
    for name, text in (("ip", IP_AS_NOBODY), ("sudo", SUDO)):
        (bindir / name).write_text(text.format(log=log, refuse=refuse, **tools))
        (bindir / name).chmod(0o755)
    env = {"PATH": f"{bindir}:{os.environ['PATH']}"}
    return env, log, refuse


def sudo_lines(log):
    return log.read_text().splitlines() if log.exists() else []


@pytest.mark.parametrize("cls, state", [("CanDevice", "never-configured"), ("CanDeviceNonBlocking", "up-at-500k"),
                                        ("Motor", "never-configured")])
def test_through_sudo(request, cls, state, as_user, peer):
    bring_to(request, state)
    env, log, _ = as_user
    assert construct(cls, env) == (FIRST_FRAME[cls], PRINTED[state] + SUDO_LINE)
    assert sudo_lines(log) == ["ip link set can0 down", "ip link set can0 type can bitrate 1000000",
                               "ip link set can0 up"]
    assert link_state("can0") == (True, 1000000)


@pytest.mark.parametrize("cls", ["CanDevice", "Motor"])
def test_refused_sudo_leaves_the_controller_as_it_was(cls, unconfigured, as_user):
    env, log, refuse = as_user
    refuse.touch()
    result, err = construct(cls, env)
    assert result == ["OSError", "'sudo ip link set can0 down' failed"]
    assert err == NEEDS.format("false", "none") + SUDO_LINE
    assert sudo_lines(log) == ["ip link set can0 down"]
    assert link_state("can0") == (False, None)


@pytest.mark.parametrize("cls", ["CanDeviceNonBlocking"])
def test_user_finds_a_configured_controller_without_sudo(cls, as_user, peer):
    configure("can0", up=True, bitrate=1000000)
    env, log, _ = as_user
    assert construct(cls, env) == (FIRST_FRAME[cls], "")
    assert sudo_lines(log) == []
