"""Bursts into a full transmit queue: what reaches the bus. A vcan interface of its own is paced
like a real controller (a tbf qdisc at 1 Mbit/s with room for 10 frames, txqueuelen 10), so
writes beyond the queue fail with ENOBUFS as on hardware. Needs root where vcan exists:

    scripts/vcan-run --chroot -- env PYTHONPATH=build/py314 python bench/can_tx_queue.py

For each sender, --runs bursts of --frames frames, the senders interleaved burst by burst: frames offered, ENOBUFS seen (the qdisc's
drop counter: every refused write is one), frames on the wire (an independent raw socket),
and the time from the first send until the last frame was seen; then each sender's median and
spread (lowest-highest run). Senders: a raw AF_CAN socket that drops what is refused (what a
plain loop does), and CanDeviceNonBlocking.send.
Writes bench/out/can_tx_queue.json.
"""

import argparse
import re
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

import benchkit  # from this folder
import quorix

IFACE = "qxbench0"
CAN_FRAME = struct.Struct("=IB3x8s")
CAN_ID = 0x5A5


def sh(*args):
    subprocess.run(args, check=True, capture_output=True, text=True)


def make_bus():
    subprocess.run(["ip", "link", "delete", "dev", IFACE], capture_output=True)
    sh("ip", "link", "add", "dev", IFACE, "type", "vcan")
    sh("ip", "link", "set", "dev", IFACE, "txqueuelen", "10")
    sh("tc", "qdisc", "add", "dev", IFACE, "root", "tbf", "rate", "1mbit", "burst", "16", "limit", "160")
    sh("ip", "link", "set", "dev", IFACE, "up")


def qdisc_drops():
    out = subprocess.run(["tc", "-s", "qdisc", "show", "dev", IFACE], capture_output=True, text=True).stdout
    return int(re.search(r"dropped (\d+)", out).group(1))


class Counter:
    def __init__(self):
        self.count = 0
        self.last = 0.0
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:  # past net.core.rmem_max, which holds only about 600 frames
            self.sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 1 << 22)
        except PermissionError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                             struct.pack("=II", CAN_ID, socket.CAN_SFF_MASK | socket.CAN_EFF_FLAG))
        self.sock.settimeout(0.1)
        self.sock.bind((IFACE,))
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.is_set():
            try:
                self.sock.recv(CAN_FRAME.size)
            except socket.timeout:
                continue
            self.count += 1
            self.last = time.perf_counter()

    def wait(self, frames, quiet=2.0):
        """Until `frames` were seen, or none came for `quiet` seconds."""
        while self.count < frames:
            seen = self.count
            time.sleep(quiet)
            if self.count == seen:
                return

    def close(self):
        self.stop.set()
        self.thread.join()
        self.sock.close()


def raw_burst(frames):
    refused = 0
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
        s.bind((IFACE,))
        for i in range(frames):
            try:
                s.send(CAN_FRAME.pack(CAN_ID, 2, i.to_bytes(2, "little").ljust(8, b"\0")))
            except OSError as e:
                if e.errno != 105:
                    raise
                refused += 1
    return refused


def quorix_burst(device, frames):
    for i in range(frames):
        device.send(CAN_ID, i.to_bytes(2, "little"))


def measure(name, burst, frames):
    counter = Counter()
    drops = qdisc_drops()
    started = time.perf_counter()
    burst(frames)
    counter.wait(frames)
    counter.close()
    return {"sender": name, "offered": frames, "enobufs": qdisc_drops() - drops,
            "on_wire": counter.count, "ms": (counter.last - started) * 1e3}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    session = benchkit.Session()
    make_bus()
    rows = []
    try:
        device = quorix.CanDeviceNonBlocking(IFACE)
        for _ in range(args.runs):
            rows.append(measure("raw socket, drops refused", raw_burst, args.frames))
            rows.append(measure("CanDeviceNonBlocking.send", lambda n: quorix_burst(device, n), args.frames))
        del device  # before its interface goes
    finally:
        subprocess.run(["ip", "link", "delete", "dev", IFACE], capture_output=True)
    session.finish()
    print(session.machine_line())
    print(f"{'sender':28} {'run':>3} {'offered':>8} {'ENOBUFS':>8} {'on wire':>8} {'ms':>8}")
    for i, r in enumerate(rows):
        print(f"{r['sender']:28} {i // 2 + 1:>3} {r['offered']:>8} {r['enobufs']:>8} "
              f"{r['on_wire']:>8} {r['ms']:>8.1f}")
    for name in dict.fromkeys(r["sender"] for r in rows):
        ms = [r["ms"] for r in rows if r["sender"] == name]
        lost = sum(r["offered"] - r["on_wire"] for r in rows if r["sender"] == name)
        print(f"{name}: median {statistics.median(ms):.1f} ms per burst (spread {benchkit.spread(ms)}), "
              f"{lost} frames lost in total")
    ideal = args.frames * 16 * 8 / 1e6 * 1e3
    print(f"(the qdisc's own pace: {args.frames} frames of 16 bytes at 1 Mbit/s take {ideal:.0f} ms)")
    session.write_json("can_tx_queue.json", {"frames": args.frames, "runs": rows})


if __name__ == "__main__":
    sys.exit(main())
