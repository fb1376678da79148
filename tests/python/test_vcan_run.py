"""scripts/vcan-run: runs a command where vcan buses exist, on the host or in User-Mode Linux,
and behaves like the command itself (status, output, environment, signals, terminal)."""

import fcntl
import json
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import termios
import textwrap
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
VCAN_RUN = str(ROOT / "scripts" / "vcan-run")
LIMIT = 180  # seconds; a boot takes a few, so only a hang gets near this

needs_uml = pytest.mark.skipif(not os.access("/usr/bin/linux.uml", os.X_OK),
                               reason="User-Mode Linux is not installed (scripts/bootstrap)")


def env(**extra):
    e = dict(os.environ)
    e.update(VCAN_RUN_MODE="uml")
    e.update(extra)
    return e


def run(*cmd, cwd, **extra):
    return subprocess.run([VCAN_RUN, *cmd], cwd=cwd, env=env(**extra), capture_output=True, text=True,
                          timeout=LIMIT, stdin=subprocess.DEVNULL)


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


def guest_processes(vcan_run_pid):
    """Host processes of the guest that one vcan-run started (UML keeps its umid in argv)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            argv = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if any(a.startswith(f"umid=vcan-run-{vcan_run_pid}-".encode()) for a in argv):
            found.append(int(entry.name))
    return found


PROBE = textwrap.dedent("""\
    import os, signal, sys, time
    try:
        print("ready", os.get_terminal_size() if os.isatty(1) else "-", flush=True)
        time.sleep(120)
    except KeyboardInterrupt:
        print("got KeyboardInterrupt", flush=True)
        sys.exit(5)
    """)


# ---- in User-Mode Linux ------------------------------------------------------------------------


@needs_uml
def test_exit_statuses_of_concurrent_runs(tmp_path):
    """Several runs at once (own run directories, own umids) each report their own command's status."""
    cases = {"exit 0": 0, "exit 3": 3, "kill -TERM $$": 143}
    procs = {c: subprocess.Popen([VCAN_RUN, "--", "sh", "-c", c], cwd=tmp_path, env=env(),
                                 stdin=subprocess.DEVNULL) for c in cases}
    got = {c: p.wait(timeout=LIMIT) for c, p in procs.items()}
    assert got == cases


@needs_uml
def test_output_streams_while_the_command_runs(tmp_path):
    script = "echo first; echo to-stderr >&2; while [ ! -e go ]; do sleep 0.1; done; echo second"
    with subprocess.Popen([VCAN_RUN, "--", "sh", "-c", script], cwd=tmp_path, env=env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL) as p:
        try:
            assert read_until(p.stdout.fileno(), b"first\n") == b"first\n"
            assert read_until(p.stderr.fileno(), b"to-stderr\n") == b"to-stderr\n"
            assert p.poll() is None
            (tmp_path / "go").touch()
            out, err = p.communicate(timeout=LIMIT)
        finally:
            p.kill()
    assert (out, err, p.returncode) == (b"second\n", b"", 0)


@needs_uml
def test_stdout_and_stderr_into_one_pipe_keep_their_order(tmp_path):
    script = "for i in 1 2 3 4 5 6; do echo out$i; echo err$i >&2; done"
    r = subprocess.run([VCAN_RUN, "--", "sh", "-c", script], cwd=tmp_path, env=env(), stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=LIMIT, stdin=subprocess.DEVNULL)
    assert r.stdout.split() == [f"{s}{i}" for i in range(1, 7) for s in ("out", "err")]


@needs_uml
def test_arguments_environment_and_directory_arrive_unchanged(tmp_path):
    cwd = tmp_path / "dir with 'quotes' and spaces"
    cwd.mkdir()
    odd = "line 1\nline 2 \"$HOME\" `x` 'y' \\ \t*"
    args = ["plain", "", "two words", "$HOME", "it's", "*", "-x"]
    code = ("import json, os, sys; print(json.dumps([sys.argv[1:], os.getcwd(), os.environ.get('ODD'),"
            " os.environ['HOME'], os.environ['VCAN_IFACES']]))")
    r = run("--", sys.executable, "-c", code, *args, cwd=cwd, ODD=odd)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout) == [args, str(cwd), odd, os.environ["HOME"], "vcan0"]


@needs_uml
def test_guest_writes_reach_the_host_but_tmp_is_its_own(tmp_path):
    private = f"/tmp/vcan-run-test-{os.getpid()}-{time.monotonic_ns()}"
    r = run("--", "sh", "-c", f"echo data > written.txt && echo x > {private} && ls /tmp", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "written.txt").read_text() == "data\n"
    assert not os.path.exists(private)
    assert "vcan-run." not in r.stdout  # no run directory of any vcan-run shows through


@needs_uml
def test_several_interfaces(tmp_path):
    r = run("--iface", "vcan0", "--iface=bus_1", "--", "sh", "-c",
            "echo $VCAN_IFACES; ip -br link show type vcan", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "vcan0 bus_1"
    assert sorted(line.split()[0] for line in lines[1:]) == ["bus_1", "vcan0"]


@needs_uml
def test_time_out_stops_the_guest(tmp_path):
    with subprocess.Popen([VCAN_RUN, "--", "sleep", "600"], cwd=tmp_path, env=env(VCAN_RUN_TIMEOUT="8"),
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True) as p:
        _, err = p.communicate(timeout=LIMIT)
    assert p.returncode == 124
    assert "VCAN_RUN_TIMEOUT" in err
    assert guest_processes(p.pid) == []


@needs_uml
@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 5), (signal.SIGTERM, 128 + signal.SIGTERM)],
                         ids=["SIGINT", "SIGTERM"])
def test_signals_reach_the_command(tmp_path, sig, status):
    (tmp_path / "probe.py").write_text(PROBE)
    with subprocess.Popen([VCAN_RUN, "--", sys.executable, "probe.py"], cwd=tmp_path, env=env(),
                          stdout=subprocess.PIPE, stdin=subprocess.DEVNULL) as p:
        try:
            read_until(p.stdout.fileno(), b"ready")
            p.send_signal(sig)
            p.wait(timeout=LIMIT)
        finally:
            p.kill()
    assert p.returncode == status
    assert guest_processes(p.pid) == []


@needs_uml
def test_unresponsive_command_is_stopped_after_the_grace_period(tmp_path):
    with subprocess.Popen([VCAN_RUN, "--", "sh", "-c", "trap '' TERM; echo ready; sleep 600"], cwd=tmp_path,
                          env=env(VCAN_RUN_GRACE="2"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL) as p:
        try:
            read_until(p.stdout.fileno(), b"ready")
            p.terminate()
            _, err = p.communicate(timeout=LIMIT)
        finally:
            p.kill()
    assert p.returncode == 143
    assert b"after SIGTERM" in err
    assert guest_processes(p.pid) == []


@needs_uml
def test_terminal_ctrl_c_and_size(tmp_path):
    """On a terminal, Ctrl+C reaches the command in the guest as SIGINT, the guest terminal has the
    host's size, and the host terminal is left as it was."""
    (tmp_path / "probe.py").write_text(PROBE)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 33, 101, 0, 0))
    before = termios.tcgetattr(slave)

    def controlling_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    try:
        p = subprocess.Popen([VCAN_RUN, "--", sys.executable, "probe.py"], cwd=tmp_path, env=env(),
                             stdin=slave, stdout=slave, stderr=slave, preexec_fn=controlling_terminal)
        try:
            out = read_until(master, b"\n")  # "ready os.terminal_size(...)"
            os.write(master, b"\x03")
            out += read_until(master, b"got KeyboardInterrupt")
            p.wait(timeout=LIMIT)
        finally:
            p.kill()
        assert p.returncode == 5, out
        assert b"columns=101, lines=33" in out
        assert termios.tcgetattr(slave) == before
    finally:
        os.close(master)
        os.close(slave)


@needs_uml
def test_guest_that_reports_nothing(tmp_path):
    kernel = tmp_path / "linux.uml"
    kernel.write_text("#!/bin/sh\necho 'Kernel panic - not syncing: test'\nexit 1\n")
    kernel.chmod(0o755)
    r = run("--", "true", cwd=tmp_path, VCAN_RUN_KERNEL=str(kernel))
    assert r.returncode == 125
    assert "without reporting a status" in r.stderr
    assert "Kernel panic - not syncing: test" in r.stderr


@needs_uml
@pytest.mark.skipif(not Path(os.path.expanduser("~/.cache/quorix/sid/opt/venv314/bin")).is_dir(),
                    reason="no sid chroot with /opt/venv314 (scripts/bootstrap)")
def test_chroot_runs_the_venv_python(tmp_path):
    code = "import os, sys; print(sys.version_info[:2], sys.prefix, os.getcwd())"
    r = run("--chroot", "--", "python3", "-c", code, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"(3, 14) /opt/venv314 {tmp_path}\n"


# ---- on the host (a fake `ip` stands in for a kernel that has CAN) --------------------------------

FAKE_IP = """\
#!/bin/sh
echo "$*" >> "$IP_LOG"
case "$*" in
  "link show dev "*) for i in $FAKE_EXISTING; do [ "link show dev $i" = "$*" ] && exit 0; done; exit 1 ;;
  "link add "*) exit ${FAKE_ADD_RC:-0} ;;
esac
exit 0
"""


@pytest.fixture
def fake_ip(tmp_path):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (bindir / "ip").write_text(FAKE_IP)
    (bindir / "ip").chmod(0o755)
    log = tmp_path / "ip.log"

    def call(*cmd, existing="", add_rc=0):
        e = dict(os.environ, PATH=f"{bindir}:{os.environ['PATH']}", IP_LOG=str(log),
                 FAKE_EXISTING=existing, FAKE_ADD_RC=str(add_rc), VCAN_RUN_MODE="host")
        r = subprocess.run([VCAN_RUN, *cmd], cwd=tmp_path, env=e, capture_output=True, text=True,
                           timeout=60, stdin=subprocess.DEVNULL)
        calls = log.read_text().splitlines() if log.exists() else []
        log.unlink(missing_ok=True)
        return r, calls

    return call


def test_host_creates_runs_and_deletes(fake_ip):
    r, calls = fake_ip("--iface", "vcan0", "--iface", "vcan1", "--", "sh", "-c",
                       "echo ran $VCAN_IFACES; exit 3", existing="vcan1")
    assert (r.returncode, r.stdout) == (3, "ran vcan0 vcan1\n")
    assert calls == [
        "link show dev vcan0", "link add dev vcan0 type vcan", "link set dev vcan0 up",
        "link show dev vcan1", "link set dev vcan1 up",
        "link delete dev vcan0",  # vcan1 was there before and stays
    ]


def test_host_that_cannot_create_vcan(fake_ip):
    r, calls = fake_ip("--", "true", add_rc=2)
    assert r.returncode == 125
    assert "cannot create vcan interfaces" in r.stderr
    assert "link delete dev vcan0" not in calls


def test_host_passes_signals_on(fake_ip, tmp_path):
    (tmp_path / "probe.py").write_text(PROBE)
    bindir = tmp_path / "bin"
    e = dict(os.environ, PATH=f"{bindir}:{os.environ['PATH']}", IP_LOG=str(tmp_path / "ip.log"),
             VCAN_RUN_MODE="host")
    with subprocess.Popen([VCAN_RUN, "--", sys.executable, "probe.py"], cwd=tmp_path, env=e,
                          stdout=subprocess.PIPE, stdin=subprocess.DEVNULL) as p:
        try:
            read_until(p.stdout.fileno(), b"ready", limit=60)
            p.send_signal(signal.SIGINT)
            p.wait(timeout=60)
        finally:
            p.kill()
    assert p.returncode == 5
    assert "link delete dev vcan0" in (tmp_path / "ip.log").read_text()


@pytest.mark.parametrize("args", [
    pytest.param([], id="no-command"),
    pytest.param(["--iface", "bad name", "--", "true"], id="bad-interface"),
    pytest.param(["--timeout", "soon", "--", "true"], id="bad-time-out"),
    pytest.param(["--bogus", "--", "true"], id="unknown-option"),
    pytest.param(["--chroot=/nonexistent", "--", "true"], id="missing-chroot"),
])
def test_usage_errors(tmp_path, args):
    r = subprocess.run([VCAN_RUN, *args], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 125
    assert r.stderr
