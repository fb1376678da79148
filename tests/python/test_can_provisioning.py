"""Interface provisioning as the CAN constructors show it to Python: OSError texts and the
"[CAN] " lines on fd 2, with fake `ip` and `sudo` programs alone on PATH. Every case runs in a
fresh interpreter so that its standard error can be read. The interfaces do not exist on this
host, so a provisioning that succeeds ends in "Failed to open CAN Socket"."""

import json
import os

import pytest

IFACE = "qxcan0"

# The fake `ip` logs its argv as one line ("ip|link|set|qxcan0|down") and answers from files
# named after the step (show, down, configure, up; "sudo-" in front when run by the fake sudo):
# STEP.out is printed, STEP.rc is the exit status.
FAKE_IP = r"""#!/bin/sh
d=${0%/*}
PATH="$d:/usr/bin:/bin"; export PATH
line=ip; for a in "$@"; do line="$line|$a"; done
[ -n "$FAKE_VIA_SUDO" ] || echo "$line" >> "$d/log"
case "$*" in
  "-details link show "*) step=show ;;
  *" type can bitrate 1000000") step=configure ;;
  *" down") step=down ;;
  *" up") step=up ;;
  *) step=other ;;
esac
[ -n "$FAKE_VIA_SUDO" ] && step="sudo-$step"
[ -f "$d/$step.out" ] && cat "$d/$step.out"
echo "noise from $step" >&2
rc=0; [ -f "$d/$step.rc" ] && rc=$(cat "$d/$step.rc")
exit "$rc"
"""

FAKE_SUDO = r"""#!/bin/sh
d=${0%/*}
line=sudo; for a in "$@"; do line="$line|$a"; done
echo "$line" >> "$d/log"
FAKE_VIA_SUDO=1; export FAKE_VIA_SUDO
prog=$1; shift
exec "$d/$prog" "$@"
"""

CAN_UP_1M = f"""4: {IFACE}: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10
    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 
    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 
	  bitrate 1000000 sample-point 0.750
	  tq 25 prop-seg 14 phase-seg1 15 phase-seg2 10 sjw 1 brp 2
"""
CAN_UP_500K = CAN_UP_1M.replace("bitrate 1000000 sample-point 0.750", "bitrate 500000 sample-point 0.875")
CAN_DOWN_UNCONFIGURED = f"""4: {IFACE}: <NOARP,ECHO> mtu 16 qdisc noop state DOWN mode DEFAULT group default qlen 10
    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 
    can state STOPPED (berr-counter tx 0 rx 0) restart-ms 0 
	  mcp251x: tseg1 3..16 tseg2 2..8 sjw 1..4 brp 1..64 brp_inc 1
"""
VCAN_UP = f"""5: {IFACE}: <NOARP,UP,LOWER_UP> mtu 72 qdisc noqueue state UNKNOWN mode DEFAULT group default qlen 1000
    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 
    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 
"""
VCAN_DOWN = VCAN_UP.replace("<NOARP,UP,LOWER_UP>", "<NOARP>").replace("state UNKNOWN", "state DOWN")
ETHERNET = f"""2: {IFACE}: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc fq_codel state UP mode DEFAULT group default qlen 1000
    link/ether 52:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff promiscuity 0 allmulti 0 minmtu 68 maxmtu 65535 
"""

SHOW = f"ip|-details|link|show|{IFACE}"
DOWN = f"link|set|{IFACE}|down"
CONFIGURE = f"link|set|{IFACE}|type|can|bitrate|1000000"
UP = f"link|set|{IFACE}|up"
NEEDS = "[CAN] Interface '" + IFACE + "' needs configuration (up={}, bitrate={}), configuring...\n"
SUDO_LINE = "[CAN] Need elevated privileges, requesting sudo...\n"
NO_SOCKET = "Failed to open CAN Socket"


def shown(*steps):
    """What the privileged steps print: their output is the terminal's (sudo may prompt)."""
    return "".join(f"noise from sudo-{step}\n" for step in steps)


@pytest.fixture
def fake_ip(tmp_path):
    """The directory of the fake programs; write STEP.out / STEP.rc files into it."""
    for name, text in (("ip", FAKE_IP), ("sudo", FAKE_SUDO)):
        (tmp_path / name).write_text(text)
        (tmp_path / name).chmod(0o755)
    return tmp_path


def construct(fresh, fake_dir, cls, name=IFACE, prelude=""):
    """Constructs `cls(name)` in a fresh interpreter with only the fakes on PATH, after the
    statements in `prelude`; returns (OSError args or None, stderr, logged command lines)."""
    code = f"""
import json, quorix, signal
{prelude}
try:
    quorix.{cls}({name!r})
    print(json.dumps(None))
except OSError as e:
    print(json.dumps([type(e).__name__, *e.args]))
"""
    env = {"PATH": str(fake_dir), "PYTHONPATH": os.environ.get("PYTHONPATH", "")}
    done = fresh(code, env=env)
    assert done.returncode == 0, done.stderr
    log = fake_dir / "log"
    lines = log.read_text().splitlines() if log.exists() else []
    return json.loads(done.stdout), done.stderr, lines


CLASSES = ["CanDevice", "CanDeviceNonBlocking"]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("show, files, error, stderr, log", [
    pytest.param(CAN_UP_1M, {}, NO_SOCKET, "", [SHOW], id="up-at-1M-nothing-to-do"),
    pytest.param(CAN_UP_500K, {}, NO_SOCKET, NEEDS.format("true", 500000),
                 [SHOW, f"ip|{DOWN}", f"ip|{CONFIGURE}", f"ip|{UP}"], id="wrong-bitrate-reconfigured"),
    pytest.param(CAN_DOWN_UNCONFIGURED, {"down.rc": "2"}, NO_SOCKET, NEEDS.format("false", "none") + SUDO_LINE + shown("down", "configure", "up"),
                 [SHOW, f"ip|{DOWN}", f"sudo|ip|{DOWN}", f"sudo|ip|{CONFIGURE}", f"sudo|ip|{UP}"],
                 id="unprivileged-fails-sudo-succeeds"),
    pytest.param(CAN_UP_500K, {"configure.rc": "2"}, NO_SOCKET,
                 NEEDS.format("true", 500000) + SUDO_LINE + shown("down", "configure", "up"),
                 [SHOW, f"ip|{DOWN}", f"ip|{CONFIGURE}", f"sudo|ip|{DOWN}", f"sudo|ip|{CONFIGURE}",
                  f"sudo|ip|{UP}"], id="sudo-starts-again-from-down"),
    pytest.param(CAN_UP_500K, {"down.rc": "1", "sudo-down.rc": "1"}, f"'sudo ip {DOWN.replace('|', ' ')}' failed",
                 NEEDS.format("true", 500000) + SUDO_LINE + shown("down"), [SHOW, f"ip|{DOWN}", f"sudo|ip|{DOWN}"],
                 id="sudo-refused"),
    pytest.param(CAN_UP_500K, {"up.rc": "1", "sudo-up.rc": "1"}, f"'sudo ip {UP.replace('|', ' ')}' failed",
                 NEEDS.format("true", 500000) + SUDO_LINE + shown("down", "configure", "up"),
                 [SHOW, f"ip|{DOWN}", f"ip|{CONFIGURE}", f"ip|{UP}", f"sudo|ip|{DOWN}", f"sudo|ip|{CONFIGURE}",
                  f"sudo|ip|{UP}"], id="privileged-up-fails"),
    pytest.param(CAN_UP_1M, {"show.rc": "1"}, f"CAN interface '{IFACE}' does not exist", "", [SHOW],
                 id="inspect-fails"),
    pytest.param(ETHERNET, {}, f"Interface '{IFACE}' is not a CAN interface", "", [SHOW], id="not-can-untouched"),
    pytest.param(VCAN_UP, {}, NO_SOCKET, "", [SHOW], id="vcan-up-has-no-bitrate"),
    pytest.param(VCAN_DOWN, {}, NO_SOCKET, NEEDS.format("false", "none"), [SHOW, f"ip|{UP}"],
                 id="vcan-down-only-brought-up"),
    pytest.param(VCAN_DOWN, {"up.rc": "2", "sudo-up.rc": "1"}, f"'sudo ip {UP.replace('|', ' ')}' failed",
                 NEEDS.format("false", "none") + SUDO_LINE + shown("up"), [SHOW, f"ip|{UP}", f"sudo|ip|{UP}"],
                 id="vcan-down-sudo-refused"),
])
def test_constructor_provisioning(fresh, fake_ip, cls, show, files, error, stderr, log):
    (fake_ip / "show.out").write_text(show)
    for name, text in files.items():
        (fake_ip / name).write_text(text)
    result, err, lines = construct(fresh, fake_ip, cls)
    assert result == ["OSError", error]
    assert err == stderr  # unprivileged output is never shown
    assert lines == log


@pytest.mark.parametrize("cls", CLASSES)
def test_ip_missing(fresh, fake_ip, cls):
    (fake_ip / "ip").unlink()
    result, err, lines = construct(fresh, fake_ip, cls)
    assert result == ["OSError", "Failed to run ip: No such file or directory (os error 2)"]
    assert (err, lines) == ("", [])


def test_sudo_missing(fresh, fake_ip):
    (fake_ip / "sudo").unlink()
    (fake_ip / "show.out").write_text(CAN_UP_500K)
    (fake_ip / "down.rc").write_text("1")
    result, err, lines = construct(fresh, fake_ip, "CanDevice")
    assert result == ["OSError", f"Failed to run 'sudo ip link set {IFACE} down': No such file or directory (os error 2)"]
    assert err == NEEDS.format("true", 500000) + SUDO_LINE


@pytest.mark.parametrize("cls", CLASSES)
def test_name_with_nul_runs_nothing(fresh, fake_ip, cls):
    result, err, lines = construct(fresh, fake_ip, cls, name=IFACE + "\0x")
    assert result == ["OSError", "Failed to run ip: interface name contains a NUL byte"]
    assert (err, lines) == ("", [])


def test_name_is_passed_unchanged(fresh, fake_ip):
    name = "can 0;$(x)"  # no shell: one argument, as given
    (fake_ip / "show.out").write_text(CAN_UP_1M)
    result, _, lines = construct(fresh, fake_ip, "CanDevice", name=name)
    assert result == ["OSError", NO_SOCKET]
    assert lines == [f"ip|-details|link|show|{name}"]


# With SIGCHLD ignored the kernel reaps ordinary children by itself, status and all; the exit
# status of each command still decides the outcome.
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("show, files, error, log", [
    pytest.param(CAN_UP_1M, {}, NO_SOCKET, [SHOW], id="up-at-1M"),
    pytest.param(CAN_UP_1M, {"show.rc": "1"}, f"CAN interface '{IFACE}' does not exist", [SHOW], id="inspect-fails"),
    pytest.param(CAN_UP_500K, {}, NO_SOCKET, [SHOW, f"ip|{DOWN}", f"ip|{CONFIGURE}", f"ip|{UP}"], id="reconfigured"),
    pytest.param(CAN_UP_500K, {"down.rc": "1", "sudo-down.rc": "1"}, f"'sudo ip {DOWN.replace('|', ' ')}' failed",
                 [SHOW, f"ip|{DOWN}", f"sudo|ip|{DOWN}"], id="sudo-refused"),
])
def test_provisioning_with_sigchld_ignored(fresh, fake_ip, cls, show, files, error, log):
    (fake_ip / "show.out").write_text(show)
    for name, text in files.items():
        (fake_ip / name).write_text(text)
    result, _, lines = construct(fresh, fake_ip, cls, prelude="signal.signal(signal.SIGCHLD, signal.SIG_IGN)")
    assert result == ["OSError", error]
    assert lines == log
