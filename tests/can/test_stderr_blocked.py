"""Diagnostic lines never stall the bus: a program whose standard error is a pipe that nobody
reads keeps its CAN traffic going, and its lines arrive in order once the pipe is read."""

import os
import re
import selectors
import subprocess
import sys
import textwrap

from conftest import Sniffer

GOOD_ID = 0x123
BAD_ID = 0x20000000  # above 0x1FFFFFFF: the I/O task reports it on fd 2 and drops it
TICKS = 2000

# Each tick puts one frame on the wire and makes two diagnostic lines: one from the CAN I/O
# task (a runtime worker), one from the timer's blocking-pool thread. 4000 lines fill the pipe
# (64 KiB) and the module's queue many times over.
PROGRAM = textwrap.dedent(f"""
    import sys, threading, quorix
    dev = quorix.CanDeviceNonBlocking(sys.argv[1])
    done = threading.Event()
    ticks = 0

    def tick():
        global ticks
        i = ticks
        if i >= {TICKS}:
            done.set()
            return
        ticks += 1
        dev.send({GOOD_ID:#x}, i.to_bytes(4, "little"))
        dev.send({BAD_ID:#x}, b"")
        raise ValueError(i)

    handle = quorix.timer(500)(tick)()
    if not done.wait(300):
        sys.exit("the timer stalled")
    handle.stop()
    print("done", flush=True)
    sys.stdin.readline()  # the test reads the wire first, then lets the pipe flow
    sys.stdin.readline()  # and lets the program end once it has read the warning
""")


def read_line(stream, timeout):
    sel = selectors.DefaultSelector()
    sel.register(stream, selectors.EVENT_READ)
    ready = sel.select(timeout)
    sel.close()
    return stream.readline() if ready else ""


def read_until(fd, end, timeout):
    """Bytes from `fd` until they end with `end` (or end-of-file, or no data for `timeout` s)."""
    data = b""
    with selectors.DefaultSelector() as sel:
        sel.register(fd, selectors.EVENT_READ)
        while not data.endswith(end) and sel.select(timeout):
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            data += chunk
    return data


def test_unread_stderr_pipe_stalls_neither_the_bus_nor_the_timer(vcan):
    sniffer = Sniffer(vcan, GOOD_ID)
    child = subprocess.Popen([sys.executable, "-c", PROGRAM, vcan], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ))
    try:
        # Nothing reads the child's stderr until the end.
        assert read_line(child.stdout, 300) == b"done\n"
        assert sniffer.wait_count(TICKS, 60)
        assert [int.from_bytes(p, "little") for p in sniffer.frames] == list(range(TICKS))  # every frame, in order, on the wire
        child.stdin.write(b"\n")
        child.stdin.flush()
        # The lines flow now; the warning comes last. Read it before the program ends, so the
        # test does not depend on the time the exit leaves the writer.
        err = read_until(child.stderr.fileno(), b"were dropped while stderr was blocked\n", 120)
        out, rest = child.communicate(timeout=120)
        err += rest
    finally:
        child.kill()
        sniffer.stop()
    assert child.returncode == 0, err[-2000:]
    lines = err.decode().splitlines(keepends=True)
    timer_lines = [ln for ln in lines if ln.startswith("Timer function error: ")]
    io_lines = [ln for ln in lines if ln == "Failed to send CAN frame: CAN ID too large\n"]
    warnings = [ln for ln in lines if ln.startswith("Warning: ")]
    assert len(timer_lines) + len(io_lines) + len(warnings) == len(lines), lines[:5]
    numbers = [int(re.fullmatch(r"Timer function error: ValueError: (\d+)\n", ln).group(1)) for ln in timer_lines]
    assert numbers == list(range(len(numbers)))  # the first ones, in order: later ones were dropped
    assert len(warnings) == 1, (len(lines), lines[-2:])
    dropped = 2 * TICKS - len(timer_lines) - len(io_lines)
    assert dropped > 0  # the pipe really was blocked
    assert warnings[0] == f"Warning: {dropped} diagnostic lines were dropped while stderr was blocked\n"
    assert lines[-1] == warnings[0]  # printed once the lines flowed again, after the kept ones
