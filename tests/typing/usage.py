"""Typed use of quorix, checked with `mypy --strict` (never run).

Each assert_type pins what the stub promises for a call; the lines marked
`type: ignore[...]` must stay errors (mypy's warn_unused_ignores, part of --strict, fails
when one of them stops being an error).
"""

from typing import assert_type

import quorix
from quorix import AsyncHandle, Device, Feedback, Motor, TaskStatus, TimerHandle, TimerWrapper

# ---- timers: the wrapper keeps the decorated function's positional parameters ----------------


@quorix.timer(100.0)
def blink(pin: int, label: str) -> None:
    pass


assert_type(blink, TimerWrapper[int, str])
handle = blink(3, "led")
assert_type(handle, TimerHandle)
blink("3", "led")  # type: ignore[arg-type]
blink(3)  # type: ignore[call-arg]
blink(pin=3, label="led")  # type: ignore[call-arg]


@quorix.precision_timer(1000.0, realtime=True)
def control() -> None:
    pass


assert_type(control, TimerWrapper[()])
assert_type(quorix.PrecisionTimer(500, realtime=False), quorix.PrecisionTimer)
assert_type(handle.task_id, int)
assert_type(handle.precision_mode(), str)
assert_type(handle.tick_count(), int)
assert_type(handle.actual_frequency(), float)
handle.task_id = 3  # type: ignore[misc]
quorix.timer(10.0)(42)  # type: ignore[call-overload]


async def not_awaited() -> None:
    pass


# A coroutine function is accepted (the module only warns), and marked deprecated for checkers
# that report deprecations.
assert_type(quorix.timer(10.0)(not_awaited), TimerWrapper[()])

# ---- async tasks: the result type flows from the function to wait() ---------------------------


@quorix.run_async
def double(x: int) -> int:
    return 2 * x


task = double(21)
assert_type(task, AsyncHandle[int])
assert_type(task.wait(), int | None)
assert_type(task.wait(timeout_ms=50), int | None)
assert_type(task.try_result(), int | None)
double("21")  # type: ignore[arg-type]
double(x=21)  # type: ignore[call-arg]
assert_type(quorix.RunAsync(len)(b"ab"), AsyncHandle[int])

# ---- motors and CAN ---------------------------------------------------------------------------


def drive(motor: Motor) -> float:
    d: Device = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
    d.set_target(10)
    motor.set_target(1, 2.5)
    motor.broadcast()
    fb = d.get_feedback()
    assert_type(fb, Feedback)
    maybe = motor.get_feedback(3)
    assert_type(maybe, Feedback | None)
    assert_type(motor.host_id, int)
    motor.host = 1  # type: ignore[misc]
    fb["torque"]  # type: ignore[typeddict-item]
    return fb["position"] + fb["speed"] + fb["current"]


def raw(bus: quorix.CanDevice, nb: quorix.CanDeviceNonBlocking) -> None:
    bus.send(0x123, b"\x01\x02")
    bus.send(0x123, [1, 2])
    bus.send(0x123, bytearray(b"\x01"))
    bus.send(0x123, "12")  # type: ignore[arg-type]
    assert_type(bus.receive(), tuple[int, bytes])
    assert_type(nb.try_receive(), tuple[int, bytes] | None)
    assert_type(nb.receive_timeout(timeout_ms=10), tuple[int, bytes] | None)
    assert_type(nb.interface(), str)


# ---- registry and shutdown --------------------------------------------------------------------

tm = quorix.get_task_manager()
status = tm.status()
assert_type(status, TaskStatus)
assert_type(status["running_timers"] + status["total"], int)
assert_type(tm.running_count, int)
assert_type(tm.shutdown(timeout_ms=5000), bool)
assert_type(quorix.shutdown_all(), bool)
assert_type(quorix.block_all(timeout_ms=100), str)
reason, clean = quorix.block_until(wait_ms=100, shutdown_timeout_ms=1000)
assert_type(reason, str)
assert_type(clean, bool)
quorix.block_until(wait_ms=1.5)  # type: ignore[arg-type]
