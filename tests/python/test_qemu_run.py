"""scripts/qemu-run: runs a command in a QEMU guest with two emulated SJA1000 controllers and
behaves like the command itself (status, output, environment, directory, time-out). Each boot
costs seconds of emulation, so the cases share boots. They run where QEMU is installed: on the
host (3.13t), not inside the sid chroot."""

import fcntl
import json
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
QEMU_RUN = str(ROOT / "scripts" / "qemu-run")
LIMIT = 600  # seconds; a boot takes some, so only a hang gets near this

needs_qemu = pytest.mark.skipif(
    not shutil.which("qemu-system-x86_64") or not os.access("/bin/busybox", os.X_OK),
    reason="needs qemu-system-x86 and busybox-static (scripts/bootstrap)")


def run(*cmd, cwd, env=None):
    return subprocess.run([QEMU_RUN, *cmd], cwd=cwd, env=dict(os.environ, **(env or {})), capture_output=True,
                          text=True, timeout=LIMIT, stdin=subprocess.DEVNULL)


def qemu_children(pid):
    """QEMU processes that the runner with this pid started and left behind."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
                cmdline = (entry / "cmdline").read_bytes()
            except OSError:
                continue
            if stat.rsplit(")", 1)[1].split()[1] == str(pid) and b"qemu-system" in cmdline:
                found.append(int(entry.name))
    return found


PROBE = """
import json, os, subprocess, sys
def link(name):
    text = subprocess.run(["ip", "-details", "link", "show", name], capture_output=True, text=True).stdout
    words = text.split()
    flags = text[text.index("<") + 1:text.index(">")].split(",")
    bitrate = int(words[words.index("bitrate") + 1]) if "bitrate" in words else None
    return ["UP" in flags, bitrate, int(words[words.index("qlen") + 1]), words[words.index("qdisc") + 1],
            os.path.basename(os.readlink(f"/sys/class/net/{name}/device/driver"))]
open("written.txt", "w").write("data")
open("/tmp/guest-only", "w").write("x")
print(json.dumps([sys.argv[1:], os.getcwd(), os.environ.get("ODD"), os.environ["VCAN_IFACES"],
                  link("can0"), link("can1")]))
print("to stderr", file=sys.stderr)
sys.exit(3)
"""


@needs_qemu
@pytest.mark.parametrize("options, can0, can1", [
    ([], [False, None, 10, "noop", "kvaser_pci"], [False, None, 10, "noop", "kvaser_pci"]),
    (["--up=can1", "--paced"], [False, None, 10, "tbf", "kvaser_pci"], [True, 1000000, 10, "tbf", "kvaser_pci"]),
], ids=["controllers-left-unconfigured", "up-and-paced"])
def test_command_runs_as_here_beside_two_controllers(tmp_path, options, can0, can1):
    cwd = tmp_path / "dir with 'quotes' and spaces"
    cwd.mkdir()
    (cwd / "probe.py").write_text(PROBE)
    odd = "line 1\nline 2 \"$HOME\" `x` 'y' \\ \t*"
    args = ["plain", "", "two words", "$HOME", "it's", "*", "-x"]
    r = run(*options, "--", sys.executable, "probe.py", *args, cwd=cwd, env={"ODD": odd})
    assert (r.returncode, r.stderr) == (3, "to stderr\n"), r.stderr
    assert json.loads(r.stdout) == [args, str(cwd), odd, "can0 can1", can0, can1]
    assert (cwd / "written.txt").read_text() == "data"  # the working directory is writable
    assert not os.path.exists("/tmp/guest-only")  # the guest's /tmp is its own


@needs_qemu
def test_time_out_stops_the_guest(tmp_path):
    with subprocess.Popen([QEMU_RUN, "--", "sleep", "600"], cwd=tmp_path, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, text=True, env=dict(os.environ, QEMU_RUN_TIMEOUT="20")) as p:
        _, err = p.communicate(timeout=LIMIT)
    assert p.returncode == 124
    assert "QEMU_RUN_TIMEOUT" in err
    assert qemu_children(p.pid) == []


@needs_qemu
def test_sigterm_reaches_the_command(tmp_path):
    script = "trap 'echo got TERM; exit 7' TERM; echo ready; while :; do sleep 0.1; done"
    with subprocess.Popen([QEMU_RUN, "--", "bash", "-c", script], cwd=tmp_path, stdout=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, text=True) as p:
        try:
            assert p.stdout.readline() == "ready\n"
            p.send_signal(signal.SIGTERM)
            out, _ = p.communicate(timeout=LIMIT)
        finally:
            p.kill()
    assert (p.returncode, out) == (7, "got TERM\n")
    assert qemu_children(p.pid) == []


def read_until(fd, token, limit=LIMIT):
    """Bytes read from FD up to and including the first TOKEN; fails on EOF or time-out."""
    buf = b""
    deadline = time.monotonic() + limit
    while token not in buf:
        left = deadline - time.monotonic()
        assert left > 0, f"no {token!r} within {limit} s; got {buf!r}"
        if select.select([fd], [], [], left)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # a pty's master reads EIO once the other end is gone
                chunk = b""
            assert chunk, f"EOF before {token!r}; got {buf!r}"
            buf += chunk
    return buf


TERMINAL_PROBE = """
import os, sys, time
try:
    print("ready", os.get_terminal_size(), flush=True)
    time.sleep(120)
except KeyboardInterrupt:
    print("got KeyboardInterrupt", flush=True)
    sys.exit(5)
"""


@needs_qemu
def test_terminal_ctrl_c_size_and_line_ends(tmp_path):
    """On a terminal, Ctrl+C reaches the command in the guest as SIGINT, the guest's terminal has
    the host's size, lines end as the host terminal ends them, and the terminal is left as it was."""
    (tmp_path / "probe.py").write_text(TERMINAL_PROBE)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 33, 101, 0, 0))
    before = termios.tcgetattr(slave)

    def controlling_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    try:
        p = subprocess.Popen([QEMU_RUN, "--", sys.executable, "probe.py"], cwd=tmp_path, stdin=slave, stdout=slave,
                             stderr=slave, preexec_fn=controlling_terminal)
        try:
            out = read_until(master, b"\n")
            os.write(master, b"\x03")
            out += read_until(master, b"got KeyboardInterrupt")
            p.wait(timeout=LIMIT)
        finally:
            p.kill()
        assert p.returncode == 5, out
        assert out.startswith(b"ready os.terminal_size(columns=101, lines=33)\r\n"), out
        assert termios.tcgetattr(slave) == before
    finally:
        os.close(master)
        os.close(slave)


@pytest.mark.parametrize("args", [
    pytest.param([], id="no-command"),
    pytest.param(["--timeout", "soon", "--", "true"], id="bad-time-out"),
    pytest.param(["--up=can7", "--", "true"], id="unknown-controller"),
    pytest.param(["--bogus", "--", "true"], id="unknown-option"),
    pytest.param(["--chroot=/nonexistent", "--", "true"], id="missing-chroot"),
])
def test_usage_errors(tmp_path, args):
    r = subprocess.run([QEMU_RUN, *args], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 125
    assert r.stderr.startswith("qemu-run")
