"""The buses that scripts/vcan-run provides carry frames between real peers: CPython's own
AF_CAN sockets and can-utils."""

import re
import socket
import struct
import subprocess
import time

import pytest

CAN_FRAME = struct.Struct("=IB3x8s")  # struct can_frame: id with flag bits, length, data

FRAMES = [
    pytest.param(0x123, False, bytes.fromhex("DEADBEEF"), id="standard"),
    pytest.param(0x7FF, False, b"", id="standard-max-empty"),
    pytest.param(0x12, True, b"\x01", id="extended-small-id"),
    pytest.param(0x1ABCDEF0, True, bytes(range(8)), id="extended-full"),
]


def pack(can_id, extended, data):
    flags = socket.CAN_EFF_FLAG if extended else 0
    return CAN_FRAME.pack(can_id | flags, len(data), data.ljust(8, b"\0"))


def unpack(raw):
    """(id without flags, extended?, data) of one received struct can_frame."""
    can_id, length, data = CAN_FRAME.unpack(raw)
    extended = bool(can_id & socket.CAN_EFF_FLAG)
    mask = socket.CAN_EFF_MASK if extended else socket.CAN_SFF_MASK
    return can_id & mask, extended, data[:length]


def log_line(iface, can_id, extended, data):
    """The frame as `candump -L` and `cansend` write it."""
    ident = f"{can_id:08X}" if extended else f"{can_id:03X}"
    return f"{iface} {ident}#{data.hex().upper()}"


def raw_receivers(iface):
    """Raw sockets bound to IFACE, from the CAN core's receive lists."""
    with open("/proc/net/can/rcvlist_all") as f:
        return sum(1 for line in f if line.split()[:1] == [iface] and line.split()[-1] == "raw")


def wait_for_receiver(proc, iface, before, limit=20.0):
    """Waits until PROC has bound its raw socket to IFACE (one more receiver than BEFORE)."""
    deadline = time.monotonic() + limit
    while raw_receivers(iface) <= before:
        if proc.poll() is not None:
            pytest.fail(f"candump ended early: {proc.communicate()}")
        if time.monotonic() > deadline:
            pytest.fail(f"candump did not bind to {iface} within {limit} s")
        time.sleep(0.01)


def test_interface_is_virtual_can_and_up(vcan):
    out = subprocess.run(["ip", "-details", "link", "show", "dev", vcan],
                         capture_output=True, text=True, check=True).stdout
    lines = [line.strip() for line in out.splitlines()]
    assert "<NOARP,UP,LOWER_UP>" in lines[0]
    assert any(line.startswith("link/can") for line in lines)
    assert any(line.startswith("vcan") for line in lines)


@pytest.mark.parametrize("can_id, extended, data", FRAMES)
def test_socket_to_socket(raw_socket, can_id, extended, data):
    receiver = raw_socket()
    sender = raw_socket()
    assert sender.send(pack(can_id, extended, data)) == CAN_FRAME.size
    assert unpack(receiver.recv(CAN_FRAME.size)) == (can_id, extended, data)


@pytest.mark.parametrize("can_id, extended, data", FRAMES)
def test_socket_to_candump(vcan, raw_socket, can_id, extended, data):
    sender = raw_socket()
    before = raw_receivers(vcan)
    with subprocess.Popen(["candump", "-L", "-n", "1", vcan], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as dump:
        try:
            wait_for_receiver(dump, vcan, before)
            sender.send(pack(can_id, extended, data))
            out, err = dump.communicate(timeout=20)
        finally:
            dump.kill()
    assert dump.returncode == 0, err
    # "(seconds.micros) vcan0 123#DEADBEEF"
    assert re.fullmatch(r"\(\d+\.\d+\) (.*)", out.strip()).group(1) == log_line(vcan, can_id, extended, data)


@pytest.mark.parametrize("can_id, extended, data", FRAMES)
def test_cansend_to_socket(vcan, raw_socket, can_id, extended, data):
    receiver = raw_socket()
    line = log_line(vcan, can_id, extended, data)
    subprocess.run(["cansend", vcan, line.split()[1]], check=True, timeout=20)
    assert unpack(receiver.recv(CAN_FRAME.size)) == (can_id, extended, data)

