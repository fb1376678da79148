"""Shared pieces of the tests that need a CAN bus; run them through scripts/vcan-run."""

import os
import socket

import pytest


def bus_names():
    """The buses vcan-run made for this run, the first one being the default."""
    return os.environ.get("VCAN_IFACES", "vcan0").split()


@pytest.fixture
def vcan():
    """Name of a virtual CAN interface that exists and is up; skips the test elsewhere."""
    name = bus_names()[0]
    if not hasattr(socket, "AF_CAN"):
        pytest.skip("this Python has no AF_CAN")
    try:
        with open(f"/sys/class/net/{name}/operstate") as f:
            state = f.read().strip()
    except FileNotFoundError:
        pytest.skip(f"no CAN interface {name}: run through scripts/vcan-run")
    if state not in ("up", "unknown"):
        pytest.skip(f"{name} is {state}")
    return name


@pytest.fixture
def raw_socket(vcan):
    """Factory of raw CAN sockets bound to the bus, closed after the test."""
    made = []

    def make(timeout=10.0):
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        made.append(s)
        s.settimeout(timeout)
        s.bind((vcan,))
        return s

    yield make
    for s in made:
        s.close()

