"""Frames between quorix's CAN devices and real peers on a vcan bus: CPython's AF_CAN sockets
and can-utils. Run through scripts/vcan-run."""

import re
import socket
import struct
import subprocess
import sys
import time

import pytest

quorix = pytest.importorskip("quorix")

CAN_FRAME = struct.Struct("=IB3x8s")  # struct can_frame: id with flag bits, length, data
LONG = 10_000  # ms: "surely arrived" for waits that end as soon as a frame is there


def pack(can_id, data=b"", flags=0):
    return CAN_FRAME.pack(can_id | flags, len(data), data.ljust(8, b"\0"))


def unpack(raw):
    """(raw can_id with flags, data) of one received struct can_frame."""
    can_id, length, data = CAN_FRAME.unpack(raw)
    return can_id, data[:length]


def receive_one(device):
    """The next frame of either kind of device (waits for it)."""
    if isinstance(device, quorix.CanDevice):
        return device.receive()
    return device.receive_timeout(LONG)


def settle():
    """Gives the I/O task time to move frames already on the bus into its queue. Correctness
    of the checks after it does not depend on the pause being long enough on a fast machine;
    on a slow one a short pause only makes a test fail, never pass wrongly."""
    time.sleep(0.3)


@pytest.fixture(params=["CanDevice", "CanDeviceNonBlocking"])
def device(request, vcan):
    return getattr(quorix, request.param)(vcan)


# (id given to send, payload, can_id the peer sees: extended frames carry CAN_EFF_FLAG)
OUTGOING = [
    pytest.param(0x123, b"\x01\x02", 0x123, id="standard"),
    pytest.param(0x7FF, b"", 0x7FF, id="0x7FF-standard-empty"),
    pytest.param(0x800, b"", 0x800 | socket.CAN_EFF_FLAG, id="0x800-extended"),
    pytest.param(0x12, b"\xAA", 0x12, id="small-id-standard"),
    pytest.param(0x1FFFFFFF, bytes(range(1, 9)), 0x1FFFFFFF | socket.CAN_EFF_FLAG, id="0x1FFFFFFF-8-bytes"),
]


@pytest.mark.parametrize("can_id, data, wire_id", OUTGOING)
def test_send_reaches_a_raw_socket(device, raw_socket, can_id, data, wire_id):
    peer = raw_socket()
    assert device.send(can_id, data) is None
    assert unpack(peer.recv(CAN_FRAME.size)) == (wire_id, data)


@pytest.mark.parametrize("data", [b"\x01\x02", [1, 2], (1, 2), bytearray(b"\x01\x02")],
                         ids=["bytes", "list", "tuple", "bytearray"])
def test_payload_forms_send_the_same_frame(device, raw_socket, data):
    peer = raw_socket()
    device.send(0x123, data)
    assert unpack(peer.recv(CAN_FRAME.size)) == (0x123, b"\x01\x02")


def raw_receivers(iface):
    """Raw sockets bound to IFACE, from the CAN core's receive lists."""
    with open("/proc/net/can/rcvlist_all") as f:
        return sum(1 for line in f if line.split()[:1] == [iface] and line.split()[-1] == "raw")


def test_send_reaches_candump(device, vcan):
    before = raw_receivers(vcan)
    with subprocess.Popen(["candump", "-L", "-n", "2", vcan], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as dump:
        try:
            deadline = time.monotonic() + 20
            while raw_receivers(vcan) <= before:  # frames sent before it binds would be missed
                assert dump.poll() is None, dump.communicate()
                assert time.monotonic() < deadline, "candump did not bind"
                time.sleep(0.01)
            device.send(0x123, b"\xDE\xAD\xBE\xEF")
            device.send(0x800, b"\x01")
            out, err = dump.communicate(timeout=20)
        finally:
            dump.kill()
    assert dump.returncode == 0, err
    lines = [re.fullmatch(r"\(\d+\.\d+\) (.*)", line).group(1) for line in out.splitlines()]
    assert lines == [f"{vcan} 123#DEADBEEF", f"{vcan} 00000800#01"]


# (can_id with flags as the peer sends it, payload, what quorix reports)
INCOMING = [
    pytest.param(0x123, b"\x01\x02", (0x123, b"\x01\x02"), id="standard"),
    pytest.param(0x7FF, b"", (0x7FF, b""), id="standard-empty"),
    pytest.param(0x123 | socket.CAN_EFF_FLAG, b"\xAB", (0x123, b"\xAB"), id="extended-small-id"),
    pytest.param(0x1FFFFFFF | socket.CAN_EFF_FLAG, bytes(range(8)), (0x1FFFFFFF, bytes(range(8))),
                 id="extended-max"),
    pytest.param(0x321 | socket.CAN_RTR_FLAG, b"\0\0\0\0", (0x321, b"\0\0\0\0"), id="remote-request"),
    pytest.param(0x12345 | socket.CAN_EFF_FLAG | socket.CAN_RTR_FLAG, b"\0\0\0", (0x12345, b"\0\0\0"),
                 id="remote-request-extended"),
]


@pytest.mark.parametrize("wire_id, data, expected", INCOMING)
def test_raw_socket_frame_is_received(device, raw_socket, wire_id, data, expected):
    raw_socket().send(CAN_FRAME.pack(wire_id, len(data), data.ljust(8, b"\0")))
    got = receive_one(device)
    assert got == expected
    assert type(got[0]) is int and type(got[1]) is bytes


@pytest.mark.parametrize("line, expected", [
    ("123#0102", (0x123, b"\x01\x02")),
    ("00000123#AB", (0x123, b"\xAB")),
    ("1FFFFFFF#0001020304050607", (0x1FFFFFFF, bytes(range(8)))),
    ("7FF#", (0x7FF, b"")),
])
def test_cansend_frame_is_received(device, vcan, line, expected):
    subprocess.run(["cansend", vcan, line], check=True, timeout=20)
    assert receive_one(device) == expected


def test_frames_keep_their_order_both_ways(device, raw_socket):
    peer = raw_socket()
    for i in range(100):
        device.send(i, bytes([i]))
    assert [unpack(peer.recv(CAN_FRAME.size)) for _ in range(100)] == [(i, bytes([i])) for i in range(100)]
    for i in range(100):
        peer.send(pack(0x400 + i, bytes([i])))
    assert [receive_one(device) for _ in range(100)] == [(0x400 + i, bytes([i])) for i in range(100)]


@pytest.mark.parametrize("first, second", [
    ("CanDevice", "CanDevice"),
    ("CanDeviceNonBlocking", "CanDeviceNonBlocking"),
    ("CanDevice", "CanDeviceNonBlocking"),
])
def test_two_devices_see_each_other_but_not_themselves(vcan, first, second):
    a = getattr(quorix, first)(vcan)
    b = getattr(quorix, second)(vcan)
    a.send(0x101, b"a")
    assert receive_one(b) == (0x101, b"a")
    b.send(0x202, b"b")
    assert receive_one(a) == (0x202, b"b")
    # Neither got its own frame back: the next frame each sees is the other's.
    a.send(0x103, b"A")
    b.send(0x204, b"B")
    assert receive_one(a) == (0x204, b"B")
    assert receive_one(b) == (0x103, b"A")


# ---- CanDevice only ----------------------------------------------------------------------------

@pytest.mark.parametrize("can_id, data, text", [
    (0x123, bytes(9), "Payload is larger than CAN maximum of 8 bytes"),
    (0x20000000, b"", "CAN ID too large"),
    (0x20000000, bytes(9), "Payload is larger than CAN maximum of 8 bytes"),
    (0xFFFFFFFF, bytes(8), "CAN ID too large"),
])
def test_blocking_send_rejects_invalid_frames(vcan, raw_socket, can_id, data, text):
    peer = raw_socket(timeout=0.2)
    dev = quorix.CanDevice(vcan)
    with pytest.raises(OSError) as exc:
        dev.send(can_id, data)
    assert exc.value.args == (text,)
    with pytest.raises(TimeoutError):
        peer.recv(CAN_FRAME.size)  # nothing went out
    dev.send(0x55, b"\x05")  # still usable
    peer.settimeout(LONG / 1000)
    assert unpack(peer.recv(CAN_FRAME.size)) == (0x55, b"\x05")


# ---- CanDeviceNonBlocking only -----------------------------------------------------------------

def test_try_receive_on_a_silent_bus_is_none(vcan):
    assert quorix.CanDeviceNonBlocking(vcan).try_receive() is None


def test_receive_timeout_zero_takes_queued_frames_oldest_first(vcan, raw_socket):
    dev = quorix.CanDeviceNonBlocking(vcan)
    peer = raw_socket()
    peer.send(pack(0x1, b"old"))
    peer.send(pack(0x2, b"new"))
    settle()
    assert dev.receive_timeout(0) == (0x1, b"old")
    assert dev.receive_timeout(0) == (0x2, b"new")
    assert dev.receive_timeout(0) is None


def test_frame_sent_while_nobody_reads_is_kept(vcan, raw_socket):
    dev = quorix.CanDeviceNonBlocking(vcan)
    raw_socket().send(pack(0x66, b"kept"))
    settle()
    assert dev.try_receive() == (0x66, b"kept")
    assert dev.try_receive() is None


def test_receive_timeout_on_a_silent_bus_returns_none_after_the_time_out(vcan):
    dev = quorix.CanDeviceNonBlocking(vcan)
    start = time.monotonic()
    assert dev.receive_timeout(50) is None
    elapsed = time.monotonic() - start
    assert 0.045 <= elapsed < 10  # generous: the guest has one CPU


def test_largest_time_out_waits_without_deadline(vcan):
    dev = quorix.CanDeviceNonBlocking(vcan)
    # The call keeps the interpreter lock, so the peer is another process.
    with subprocess.Popen(["sh", "-c", f"sleep 0.3; cansend {vcan} 321#01"]) as peer:
        assert dev.receive_timeout(2**64 - 1) == (0x321, b"\x01")
    assert peer.returncode == 0


def test_non_blocking_send_of_invalid_frames_returns_none(vcan, raw_socket):
    peer = raw_socket()
    dev = quorix.CanDeviceNonBlocking(vcan)
    assert dev.send(0x123, bytes(9)) is None
    assert dev.send(0x20000000, b"") is None
    dev.send(0x42, b"\x07")
    assert unpack(peer.recv(CAN_FRAME.size)) == (0x42, b"\x07")  # the invalid ones never went out


def test_io_task_reports_invalid_frames_on_stderr(vcan):
    code = f"""
import socket, struct, quorix
peer = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
peer.settimeout(10)
peer.bind(({vcan!r},))
dev = quorix.CanDeviceNonBlocking({vcan!r})
print(dev.send(0x123, bytes(9)))
dev.send(0x20000000, b"")
dev.send(0x20000000, list(range(9)))
dev.send(0x42, b"\\x07")
print(hex(struct.unpack("=IB3x8s", peer.recv(16))[0]))
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "None\n0x42\n"
    assert proc.stderr == (
        "Failed to send CAN frame: Payload is larger than CAN maximum of 8 bytes\n"
        "Failed to send CAN frame: CAN ID too large\n"
        "Failed to send CAN frame: Payload is larger than CAN maximum of 8 bytes\n"
    )


def test_frames_queued_before_the_device_is_dropped_are_still_sent(vcan, raw_socket):
    peer = raw_socket()
    dev = quorix.CanDeviceNonBlocking(vcan)
    for i in range(20):
        dev.send(0x700 + i, bytes([i]))
    del dev
    assert [unpack(peer.recv(CAN_FRAME.size)) for _ in range(20)] == [(0x700 + i, bytes([i])) for i in range(20)]
