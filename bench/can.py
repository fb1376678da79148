"""Raw CAN throughput of quorix's two devices beside what a user would otherwise write, on one
vcan bus. Run it where a vcan bus exists:

    scripts/vcan-run --chroot -- env PYTHONPATH=build/py314 python bench/can.py

Send: --frames frames (0x123, two bytes) through each sender in interleaved chunks; the table
gives the per-call cost of the Python loop (median over chunks, with the lowest and highest
chunk), calls/s, the median ratio to the raw socket's neighbouring chunk, and the time until the kernel had every frame (the
interface's tx_packets counter; for CanDeviceNonBlocking.send, until its I/O task had written
them all). Then --runs bursts of --frames frames through CanDeviceNonBlocking.send alone.
Senders: a raw CPython AF_CAN socket (a prepacked frame, and struct.pack per call),
CanDevice.send, CanDeviceNonBlocking.send, python-can's SocketCAN bus (if installed; fewer
frames, it is slow) and can-utils cangen as the kernel's own pace.

Receive, --rx-runs times with the receivers interleaved: a peer process sends --rx-frames frames at the pace of a saturated 1 Mbit/s bus
(about 8,000 frames/s, never more than --rx-max-burst back to back) while Python sleeps; then, each in a
run of its own, CanDeviceNonBlocking.try_receive and python-can's recv(0) drain what they
kept (medians over the runs, lowest-highest run). A reference raw socket with a large buffer and SO_RXQ_OVFL counts what the kernel
delivered and dropped, so losses of the receiver under test are told from the kernel's.

Syscalls are expensive inside User-Mode Linux: compare figures within one run only.
Writes bench/out/can.json (bench/plots.py draws bench/out/can.png from it).
"""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import time

import benchkit  # from this folder, before it leaves sys.path
import quorix

# This file is itself named can.py: keep its directory out of the way of python-can's `can`.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _HERE]
try:
    import can  # python-can
except ImportError:
    can = None

CAN_FRAME = struct.Struct("=IB3x8s")
FRAME_ID, PAYLOAD = 0x123, b"\x01\x02"
SO_RXQ_OVFL = getattr(socket, "SO_RXQ_OVFL", 40)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


def tx_packets(iface):
    with open(f"/sys/class/net/{iface}/statistics/tx_packets") as f:
        return int(f.read())


def wait_tx(iface, target, limit=600.0):
    """Waits until the interface has sent `target` packets in all; returns the time it was seen."""
    deadline = time.perf_counter() + limit
    while tx_packets(iface) < target:
        if time.perf_counter() > deadline:
            raise RuntimeError(f"{iface}: tx_packets stuck at {tx_packets(iface)} < {target}")
        time.sleep(0.0005)
    return time.perf_counter_ns()


def burst(iface, send, n):
    """Runs send() n times; returns (ns per call, ns until the kernel had all n frames)."""
    base = tx_packets(iface)
    t0 = time.perf_counter_ns()
    for _ in range(n):
        send()
    t1 = time.perf_counter_ns()
    done = wait_tx(iface, base + n)
    return (t1 - t0) / n, (done - t0) / n


def senders(iface):
    """(name, factory returning (send callable, closer), frames per burst divisor)."""
    frame = CAN_FRAME.pack(FRAME_ID, len(PAYLOAD), PAYLOAD.ljust(8, b"\0"))

    def raw_prepacked():
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind((iface,))
        send = s.send
        return (lambda: send(frame)), s.close

    def raw_pack():
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind((iface,))
        send, pack = s.send, CAN_FRAME.pack
        return (lambda: send(pack(FRAME_ID, 2, PAYLOAD))), s.close

    def can_device():
        holder = [quorix.CanDevice(iface)]
        send = holder[0].send
        return (lambda: send(FRAME_ID, PAYLOAD)), holder.clear

    def non_blocking():
        holder = [quorix.CanDeviceNonBlocking(iface)]
        send = holder[0].send
        return (lambda: send(FRAME_ID, PAYLOAD)), holder.clear

    def python_can():
        bus = can.Bus(interface="socketcan", channel=iface)
        send, Message = bus.send, can.Message
        return (lambda: send(Message(arbitration_id=FRAME_ID, data=PAYLOAD, is_extended_id=False))), bus.shutdown

    rows = [
        ("raw socket.send (prepacked)", raw_prepacked, 1),
        ("raw socket.send (struct.pack)", raw_pack, 1),
        ("CanDevice.send", can_device, 1),
        ("CanDeviceNonBlocking.send", non_blocking, 1),
    ]
    if can is not None:
        rows.append(("python-can Bus.send", python_can, 5))
    return rows


def run_burst(iface, factory, n):
    # Each sender is made afresh for its burst and closed after it: a device left open would
    # read the other rows' frames and compete with them for the CPU.
    send, close = factory()
    try:
        return burst(iface, send, n)
    finally:
        close()
        del send  # the bound method holds the device too


def bench_send(iface, frames, chunk, runs):
    """Chunks of `chunk` frames, the rows interleaved chunk by chunk so that the load of a
    shared machine hits every row alike; ratios are taken chunk by chunk against the raw
    socket's neighbouring chunk. Then `runs` whole bursts of `frames` for the non-blocking
    device, whose goal is stated for one long burst."""
    rows = senders(iface)
    results = {name: {"frames_per_chunk": chunk // div, "per_call_ns": [], "until_written_ns": [], "ratio": []}
               for name, _, div in rows}
    raw_name = rows[0][0]
    for _ in range(max(1, frames // chunk)):
        for name, factory, div in rows:
            per_call, until_written = run_burst(iface, factory, chunk // div)
            entry = results[name]
            entry["per_call_ns"].append(per_call)
            entry["until_written_ns"].append(until_written)
            entry["ratio"].append(per_call / results[raw_name]["per_call_ns"][-1])
    # cangen: the kernel's own pace for one process writing in a loop.
    base = tx_packets(iface)
    t0 = time.perf_counter_ns()
    subprocess.run(["cangen", iface, "-g", "0", "-n", str(frames), "-I", "123", "-L", "2", "-D", "0102"],
                   check=True)
    t1 = time.perf_counter_ns()
    wait_tx(iface, base + frames)
    results["cangen -g 0"] = {"frames_per_chunk": frames, "per_call_ns": [(t1 - t0) / frames],
                              "until_written_ns": [(t1 - t0) / frames], "ratio": []}
    for entry in results.values():
        entry["per_call_median_ns"] = statistics.median(entry["per_call_ns"])
        entry["until_written_median_ns"] = statistics.median(entry["until_written_ns"])
        entry["ratio_median"] = statistics.median(entry["ratio"]) if entry["ratio"] else None

    long = {"frames": frames, "per_call_ns": [], "until_written_ns": []}
    non_blocking = dict((name, factory) for name, factory, _ in rows)["CanDeviceNonBlocking.send"]
    for _ in range(runs):
        per_call, until_written = run_burst(iface, non_blocking, frames)
        long["per_call_ns"].append(per_call)
        long["until_written_ns"].append(until_written)
    long["per_call_median_ns"] = statistics.median(long["per_call_ns"])
    long["until_written_median_ns"] = statistics.median(long["until_written_ns"])
    return results, long


# The receive test's peer: another process at the pace of a saturated bus. It sends what is
# due at each wake-up, whatever the sleep granularity of the machine; after a stall (a busy
# host pauses the guest) it does not catch up in one burst faster than a bus could carry,
# but skips ahead: at most MAX_BURST frames go back to back (0: no limit, it catches up).
PEER = r"""
import socket, struct, sys, time
iface, n, rate, MAX_BURST = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((iface,))
pack = struct.Struct("=IB3x8s").pack
start = time.perf_counter()
sent = 0
while sent < n:
    due = int((time.perf_counter() - start) * rate) + 1
    if MAX_BURST and due - sent > MAX_BURST:
        start += (due - sent - MAX_BURST) / rate
        due = sent + MAX_BURST
    for _ in range(min(n, due) - sent):
        s.send(pack(0x100 + (sent & 0xFF), 8, sent.to_bytes(8, "little")))
        sent += 1
    time.sleep(0.0002)
"""


def reference_socket(iface):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 256 << 20)
    except PermissionError:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 256 << 20)
    s.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
    s.bind((iface,))
    s.setblocking(False)
    return s


def drain_reference(s):
    """(frames read, kernel drops reported for this socket)."""
    count, drops = 0, 0
    while True:
        try:
            _, anc, _, _ = s.recvmsg(CAN_FRAME.size, socket.CMSG_SPACE(4))
        except BlockingIOError:
            return count, drops
        count += 1
        for level, kind, data in anc:
            if level == socket.SOL_SOCKET and kind == SO_RXQ_OVFL:
                drops = struct.unpack("=I", data[:4])[0]


def receive_run(iface, frames, rate, max_burst, open_receiver, drain):
    """One peer run with one receiver under test and the reference socket; returns what the
    receiver kept, its drain rate, the peer's rate and the reference's counts."""
    receiver = open_receiver()
    ref = reference_socket(iface)
    t0 = time.perf_counter()
    # Python sleeps (in subprocess.run, without the interpreter lock) while the peer sends.
    subprocess.run([sys.executable, "-c", PEER, iface, str(frames), str(rate), str(max_burst)], check=True)
    sent_for = time.perf_counter() - t0
    time.sleep(0.5)  # let a background reader take the last frames off its socket
    delivered, kernel_drops = drain_reference(ref)
    ref.close()
    t0 = time.perf_counter_ns()
    kept = drain(receiver)
    drain_ns = time.perf_counter_ns() - t0
    return {"sent": frames, "peer_rate_fps": frames / sent_for, "reference_delivered": delivered,
            "reference_kernel_drops": kernel_drops, "kept": kept, "lost": frames - kept,
            "drain_fps": kept / (drain_ns / 1e9) if kept else 0.0}


def drain_quorix(dev):
    kept, try_receive = 0, dev.try_receive
    while try_receive() is not None:
        kept += 1
    return kept


def drain_python_can(bus):
    kept, recv = 0, bus.recv
    while recv(0) is not None:
        kept += 1
    bus.shutdown()
    return kept


def bench_receive(iface, frames, rate, max_burst, runs):
    """The receivers in separate peer runs, so that neither pays for the other's socket,
    interleaved run by run. Returns each receiver's runs and their medians."""
    receivers = [("CanDeviceNonBlocking.try_receive", lambda: quorix.CanDeviceNonBlocking(iface), drain_quorix)]
    if can is not None:
        receivers.append(("python-can Bus.recv(0)", lambda: can.Bus(interface="socketcan", channel=iface),
                          drain_python_can))
    result = {name: {"runs": []} for name, _, _ in receivers}
    for _ in range(runs):
        for name, open_receiver, drain in receivers:
            result[name]["runs"].append(receive_run(iface, frames, rate, max_burst, open_receiver, drain))
    for entry in result.values():
        for key in ("peer_rate_fps", "reference_delivered", "reference_kernel_drops", "kept", "lost", "drain_fps"):
            entry[key] = benchkit.median(r[key] for r in entry["runs"])
        entry["lost_total"] = sum(r["lost"] for r in entry["runs"])
        entry["sent"] = frames
    return result


def print_send(results, long, raw_name="raw socket.send (prepacked)"):
    raw = results[raw_name]["per_call_median_ns"]
    print(f"{'sender':32} {'chunk':>6} {'per call µs':>12} {'spread':>13} {'calls/s':>9} {'vs raw':>7} "
          f"{'spread':>13} {'all written µs/frame':>21}")
    for name, e in results.items():
        per = e["per_call_median_ns"]
        ratio = e["ratio_median"] if e["ratio_median"] is not None else per / raw
        print(f"{name:32} {e['frames_per_chunk']:>6} {per / 1000:>12.2f} "
              f"{benchkit.spread([x / 1000 for x in e['per_call_ns']], 2):>13} {1e9 / per:>9.0f} {ratio:>7.3f} "
              f"{benchkit.spread(e['ratio'], 3):>13} {e['until_written_median_ns'] / 1000:>21.2f}")
    per = long["per_call_median_ns"]
    print(f"\nCanDeviceNonBlocking.send, {len(long['per_call_ns'])} bursts of {long['frames']}: {per / 1000:.2f} µs "
          f"per call (spread {benchkit.spread([x / 1000 for x in long['per_call_ns']], 2)}; {1e9 / per:.0f} calls/s, "
          f"{per / raw:.3f} of raw), all written after {long['until_written_median_ns'] / 1000:.2f} µs/frame")


def print_receive(results):
    print(f"{'receiver':34} {'peer frames/s':>13} {'reference got':>13} {'kernel drops':>12} {'kept':>7} "
          f"{'lost':>6} {'lost spread':>11} {'drain frames/s':>14} {'spread':>15}")
    for name, r in results.items():
        print(f"{name:34} {r['peer_rate_fps']:>13.0f} {r['reference_delivered']:>13.0f} "
              f"{r['reference_kernel_drops']:>12.0f} {r['kept']:>7.0f} {r['lost']:>6.0f} "
              f"{benchkit.spread([x['lost'] for x in r['runs']], 0):>11} {r['drain_fps']:>14.0f} "
              f"{benchkit.spread([x['drain_fps'] for x in r['runs']], 0):>15}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default=os.environ.get("VCAN_IFACES", "vcan0").split()[0])
    parser.add_argument("--frames", type=int, default=100_000, help="frames per sender (and per long burst)")
    parser.add_argument("--chunk", type=int, default=10_000, help="frames per interleaved chunk")
    parser.add_argument("--runs", type=int, default=5, help="long bursts of the non-blocking device")
    parser.add_argument("--rx-frames", type=int, default=20_000)
    parser.add_argument("--rx-runs", type=int, default=5, help="receive runs per receiver (interleaved)")
    parser.add_argument("--rx-rate", type=float, default=8_000.0, help="peer frames per second")
    parser.add_argument("--rx-max-burst", type=int, default=16,
                        help="most frames the peer sends back to back after a stall (0: catch up at once)")
    args = parser.parse_args()
    session = benchkit.Session()

    send, long = bench_send(args.iface, args.frames, args.chunk, args.runs)
    receive = bench_receive(args.iface, args.rx_frames, args.rx_rate, args.rx_max_burst, args.rx_runs)
    session.finish()
    print(f"CAN send and receive on {args.iface}\n{session.machine_line()}\n")
    print_send(send, long)
    print()
    print_receive(receive)

    raw = send["raw socket.send (prepacked)"]["per_call_median_ns"]
    ours = receive["CanDeviceNonBlocking.try_receive"]
    goals = benchkit.print_goals([
        ("CanDeviceNonBlocking.send (long bursts): at most 1/5 of raw per call",
         f"{long['per_call_median_ns'] / raw:.3f}x", long["per_call_median_ns"] <= raw / 5),
        ("CanDevice.send: within 1.2x raw per call", f"{send['CanDevice.send']['ratio_median']:.3f}x",
         send["CanDevice.send"]["ratio_median"] <= 1.2),
        ("CanDeviceNonBlocking.try_receive: no frame lost", f"{ours['lost_total']} lost in {args.rx_runs} runs",
         ours["lost_total"] == 0),
    ])
    path = session.write_json("can.json", {"python": sys.version, "args": vars(args), "send": send,
                                           "non_blocking_bursts": long, "receive": receive, "goals": goals})
    print(f"\nwrote {path}")


if __name__ == "__main__":
    main()
