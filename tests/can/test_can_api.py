"""The Python surface of CanDevice and CanDeviceNonBlocking: docstrings, argument conversion,
exceptions, lifetime of the non-blocking device's I/O task. Run through scripts/vcan-run."""

import inspect
import os
import resource
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

quorix = pytest.importorskip("quorix")

CLASSES = ["CanDevice", "CanDeviceNonBlocking"]
FREE_THREADED = hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled()
CAN_FRAME = struct.Struct("=IB3x8s")


@pytest.fixture(params=CLASSES)
def cls_name(request):
    return request.param


@pytest.fixture
def device(cls_name, vcan):
    return getattr(quorix, cls_name)(vcan)


# ---- docstrings and signatures (no bus needed) ---------------------------------------------------

DOCS = {
    ("CanDevice", None): "CanDevice(interface)\n--\n\n简单模式 CAN 设备（阻塞 API）\n\n这个版本使用同步 API，适合简单场景",
    ("CanDevice", "send"): "send($self, id, data)\n--\n\nSend a CAN frame (blocking)\n\nArgs:\n"
                           "    id: CAN frame ID\n    data: Data bytes to send (up to 8 bytes)",
    ("CanDevice", "receive"): "receive($self)\n--\n\nReceive a CAN frame (blocking)\n\nReturns:\n"
                              "    Tuple of (id, data) where id is u32 and data is bytes",
    ("CanDevice", "interface"): "interface($self)\n--\n\nGet the interface name",
    ("CanDeviceNonBlocking", "send"): "send($self, id, data)\n--\n\nSend a CAN frame (non-blocking)\n\nArgs:\n"
                                      "    id: CAN frame ID\n    data: Data bytes to send (up to 8 bytes)",
    ("CanDeviceNonBlocking", "try_receive"): "try_receive($self)\n--\n\nTry to receive a CAN frame (non-blocking)"
                                             "\n\nReturns:\n    Tuple of (id, data) if message available, None otherwise",
    ("CanDeviceNonBlocking", "receive_timeout"): "receive_timeout($self, timeout_ms)\n--\n\nReceive a CAN frame with "
                                                 "timeout\n\nArgs:\n    timeout_ms: Timeout in milliseconds\n\n"
                                                 "Returns:\n    Tuple of (id, data) if message received, None if timeout",
    ("CanDeviceNonBlocking", "interface"): "interface($self)\n--\n\nGet the interface name",
}


@pytest.mark.parametrize("cls, member", list(DOCS), ids=[f"{c}.{m}" for c, m in DOCS])
def test_docstrings(cls, member):
    obj = getattr(quorix, cls)
    if member:
        obj = getattr(obj, member)
    # CPython splits "name(sig)\n--\n\n" off into __text_signature__.
    head, body = DOCS[cls, member].split("\n--\n\n", 1)
    assert obj.__doc__ == body
    assert obj.__text_signature__ == head[head.index("("):]


def test_non_blocking_class_docstring_starts_with_its_signature():
    cls = quorix.CanDeviceNonBlocking
    assert cls.__text_signature__ == "(interface)"
    assert len(cls.__doc__.splitlines()) == 3  # title, blank, sentence


@pytest.mark.parametrize("cls, member, params", [
    ("CanDevice", None, ["interface"]),
    ("CanDeviceNonBlocking", None, ["interface"]),
    ("CanDevice", "send", ["self", "id", "data"]),
    ("CanDeviceNonBlocking", "receive_timeout", ["self", "timeout_ms"]),
])
def test_signatures(cls, member, params):
    obj = getattr(quorix, cls)
    if member:
        obj = getattr(obj, member)
    assert list(inspect.signature(obj).parameters) == params


@pytest.mark.parametrize("cls", CLASSES)
def test_class_properties(cls):
    c = getattr(quorix, cls)
    assert c.__module__ == "builtins" and c.__qualname__ == cls
    with pytest.raises(TypeError):
        type("Sub", (c,), {})


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "{}.__new__() missing 1 required positional argument: 'interface'"),
    ((5,), {}, "argument 'interface': 'int' object cannot be converted to 'PyString'"),
    ((b"vcan0",), {}, "argument 'interface': 'bytes' object cannot be converted to 'PyString'"),
    (("a", "b"), {}, "{}.__new__() takes 1 positional arguments but 2 were given"),
    ((), {"iface": "vcan0"}, "{}.__new__() got an unexpected keyword argument 'iface'"),
])
def test_constructor_argument_errors(cls, args, kwargs, text):
    with pytest.raises(TypeError) as exc:
        getattr(quorix, cls)(*args, **kwargs)
    assert str(exc.value) == text.format(cls)


# ---- construction failures -----------------------------------------------------------------------

@pytest.mark.parametrize("name, text", [
    ("can9", "CAN interface 'can9' does not exist"),
    ("lo", "Interface 'lo' is not a CAN interface"),
    ("vcan0\0x", "Failed to run ip: interface name contains a NUL byte"),
])
def test_constructor_failures(cls_name, name, text):
    with pytest.raises(OSError) as exc:
        getattr(quorix, cls_name)(name)
    assert type(exc.value) is OSError
    assert exc.value.args == (text,)


def test_constructor_accepts_keyword_and_keeps_the_name(cls_name, vcan):
    dev = getattr(quorix, cls_name)(interface=vcan)
    assert dev.interface() == vcan
    assert type(dev.interface()) is str


# ---- argument conversion of the methods ----------------------------------------------------------

def test_send_by_keyword(device, raw_socket):
    peer = raw_socket()
    assert device.send(data=b"\x09", id=0x99) is None
    assert CAN_FRAME.unpack(peer.recv(16))[:2] == (0x99, 1)


class Index:
    def __index__(self):
        return 0x33


def test_send_accepts_integer_likes(device, raw_socket):
    peer = raw_socket()
    device.send(Index(), [True, Index()])
    assert CAN_FRAME.unpack(peer.recv(16)) == (0x33, 2, b"\x01\x33" + bytes(6))


@pytest.mark.parametrize("args, exc_type, text", [
    (("0x1", b""), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
    ((1.0, b""), TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
    ((-1, b""), OverflowError, None),
    ((2**32, b""), OverflowError, None),
    ((1, "ab"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ((1, 5), TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ((1, None), TypeError, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
    ((1, [1, "2"]), TypeError, "argument 'data': 'str' object cannot be interpreted as an integer"),
    ((1, [256]), OverflowError, None),
    ((1, [-1]), OverflowError, None),
    # Items are checked before the length: a long payload reports its bad item.
    ((1, [0] * 1000 + ["x"]), TypeError, "argument 'data': 'str' object cannot be interpreted as an integer"),
    ((1, [0] * 1000 + [256]), OverflowError, None),
    ((1,), TypeError, "{}.send() missing 1 required positional argument: 'data'"),
    ((), TypeError, "{}.send() missing 2 required positional arguments: 'id' and 'data'"),
    ((1, b"", 3), TypeError, "{}.send() takes 2 positional arguments but 3 were given"),
])
def test_send_argument_errors(device, cls_name, args, exc_type, text):
    with pytest.raises(exc_type) as exc:
        device.send(*args)
    assert type(exc.value) is exc_type
    if text:
        assert str(exc.value) == text.format(cls_name)
    if text and text.startswith("argument"):
        assert isinstance(exc.value.__cause__, TypeError)


def test_huge_int_sequence_fails_at_its_first_bad_item_without_a_huge_buffer(device):
    # range(300_000_000) claims 300 million items; item 256 is out of range. Nothing may be
    # reserved for the claimed length (the peak RSS would jump by 300 MB).
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(OverflowError):
        device.send(0x123, range(300_000_000))
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 50_000


def test_str_payload_cause_keeps_the_original_message(device):
    with pytest.raises(TypeError) as exc:
        device.send(1, "x")
    assert str(exc.value.__cause__) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("args, exc_type, text", [
    ((-1,), OverflowError, None),
    ((2**64,), OverflowError, None),
    (("5",), TypeError, "argument 'timeout_ms': 'str' object cannot be interpreted as an integer"),
    ((), TypeError, "CanDeviceNonBlocking.receive_timeout() missing 1 required positional argument: 'timeout_ms'"),
    ((None,), TypeError, "argument 'timeout_ms': 'NoneType' object cannot be interpreted as an integer"),
])
def test_receive_timeout_argument_errors(vcan, args, exc_type, text):
    dev = quorix.CanDeviceNonBlocking(vcan)
    with pytest.raises(exc_type) as exc:
        dev.receive_timeout(*args)
    if text:
        assert str(exc.value) == text


@pytest.mark.parametrize("method", ["receive", "interface"])
def test_methods_without_parameters_reject_arguments(vcan, method):
    dev = quorix.CanDevice(vcan)
    with pytest.raises(TypeError) as exc:
        getattr(dev, method)(1)
    assert str(exc.value) == f"CanDevice.{method}() takes 0 positional arguments but 1 was given"


def test_receive_timeout_by_keyword(vcan):
    assert quorix.CanDeviceNonBlocking(vcan).receive_timeout(timeout_ms=0) is None


# ---- the borrow flag of CanDevice ----------------------------------------------------------------

@pytest.mark.skipif(not FREE_THREADED, reason="needs parallel calls: a free-threaded interpreter")
def test_parallel_use_of_one_can_device_is_refused(vcan, raw_socket):
    dev = quorix.CanDevice(vcan)
    got = []
    reader = threading.Thread(target=lambda: got.append(dev.receive()))
    reader.start()
    # Once the reader is inside receive(), a send and interface() are refused.
    deadline = time.monotonic() + 20
    while True:
        try:
            dev.interface()
        except RuntimeError as e:
            assert str(e) == "Already mutably borrowed"
            break
        assert time.monotonic() < deadline, "receive() never borrowed the device"
        time.sleep(0.005)
    with pytest.raises(RuntimeError) as exc:
        dev.send(1, b"")
    assert str(exc.value) == "Already borrowed"
    raw_socket().send(CAN_FRAME.pack(0x11, 1, b"\x01".ljust(8, b"\0")))
    reader.join(20)
    assert got == [(0x11, b"\x01")]
    assert dev.interface() == vcan  # released again


def test_borrow_is_released_after_a_failed_send(vcan):
    dev = quorix.CanDevice(vcan)
    with pytest.raises(OSError):
        dev.send(0x20000000, b"")
    dev.send(1, b"")
    assert dev.interface() == vcan


# ---- lifetime: descriptors and threads -----------------------------------------------------------

def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


def settles_at(measure, target, limit=20.0):
    """Polls `measure` until it is at most `target` (or `limit` seconds pass); its last value."""
    deadline = time.monotonic() + limit
    value = measure()
    while value > target and time.monotonic() < deadline:
        time.sleep(0.02)
        value = measure()
    return value


@pytest.mark.parametrize("cls", CLASSES)
def test_dropped_devices_on_a_silent_bus_leave_descriptors_and_threads_flat(vcan, cls):
    make = getattr(quorix, cls)
    warm = make(vcan)  # the runtime, if the class uses it, exists from here on
    fds, tasks = open_descriptors() - 1, threads()  # without warm's socket
    del warm
    for _ in range(40):
        make(vcan)
    kept = [make(vcan) for _ in range(10)]
    del kept
    assert settles_at(open_descriptors, fds) == fds
    assert settles_at(threads, tasks) == tasks


def test_a_live_device_keeps_its_socket(vcan):
    fds = open_descriptors()
    dev = quorix.CanDeviceNonBlocking(vcan)
    time.sleep(0.1)
    assert open_descriptors() == fds + 1
    del dev
    assert settles_at(open_descriptors, fds) == fds


# ---- use from an async task ------------------------------------------------------------------------

needs_async = pytest.mark.skipif(not hasattr(quorix, "run_async"), reason="no async tasks in this build")


@needs_async
def test_non_blocking_device_made_inside_an_async_task(vcan, raw_socket):
    peer = raw_socket()

    @quorix.run_async
    def job():
        dev = quorix.CanDeviceNonBlocking(vcan)
        dev.send(0x123, b"\x01")
        return dev.receive_timeout(20_000)

    # The job's receive keeps the interpreter lock: the frame it waits for comes from another
    # process, repeated until the device exists.
    with subprocess.Popen(["sh", "-c", f"while :; do cansend {vcan} 321#02; sleep 0.1; done"]) as repeater:
        try:
            handle = job()
            assert handle.wait(30_000) == (0x321, b"\x02")
        finally:
            repeater.kill()
    while CAN_FRAME.unpack(peer.recv(16))[:2] != (0x123, 1):  # among the repeater's frames
        pass


@needs_async
@pytest.mark.skipif(not FREE_THREADED, reason="other Python tasks run only without the interpreter lock")
def test_blocking_receive_in_an_async_task_leaves_other_tasks_running(vcan, raw_socket):
    dev = quorix.CanDevice(vcan)

    @quorix.run_async
    def wait_for_frame():
        return dev.receive()

    @quorix.run_async
    def other():
        return "ran"

    receiving = wait_for_frame()
    # More tasks than workers, while the first blocks in receive().
    others = [other() for _ in range(2 * (os.cpu_count() or 1) + 2)]
    assert [h.wait(30_000) for h in others] == ["ran"] * len(others)
    raw_socket().send(CAN_FRAME.pack(0x77, 0, bytes(8)))
    assert receiving.wait(30_000) == (0x77, b"")
