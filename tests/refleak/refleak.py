"""Reference and memory-block leak check of quorix's public operations.

Runs under a debug interpreter (sys.gettotalrefcount exists only there), in the manner of
CPython's own `-R` runs: every case calls its operation REPEAT times per round; after
WARMUP rounds that fill caches, free lists and the runtime's threads, each of ROUNDS
measured rounds is followed by a garbage collection and a reading of
sys.gettotalrefcount() and sys.getallocatedblocks(). A case leaks when every measured
round grew the count (CPython's rule), by at least one per LEAK_PER_CALLS calls, so a
reference or block lost on some path of an operation shows as a steady climb, while a
cache that grows once does not.

Operations that end background work (a timer's loop, a task's body) wait until that work
has let go of the Python function it was given before the round is measured.

Usage: python3.14d tests/refleak/refleak.py [-k SUBSTRING]... [-v]   (quorix importable;
scripts/sanitize refleak builds it for the debug interpreter and runs this).
"""

import argparse
import contextlib
import gc
import os
import sys
import threading
import time
import weakref

import quorix

WARMUP = 3
ROUNDS = 4
LEAK_PER_CALLS = 4  # at least one reference or block per this many calls, in every round
LONG = 20.0  # seconds; only ever waited for when something is broken
MISSING_IFACE = "qxnone0"


class CheckFailed(AssertionError):
    pass


def raises(exc_type, fn, *args, text=None, **kwargs):
    """Calls fn and checks that it raises exc_type (with exactly `text` when given)."""
    try:
        fn(*args, **kwargs)
    except exc_type as e:
        if text is not None and str(e) != text:
            raise CheckFailed(f"{fn!r} raised {exc_type.__name__} {str(e)!r}, expected {text!r}") from e
        return
    raise CheckFailed(f"{fn!r} did not raise {exc_type.__name__}")


def until(predicate, what):
    deadline = time.monotonic() + LONG
    while not predicate():
        if time.monotonic() > deadline:
            raise CheckFailed(f"still waiting after {LONG} s: {what}")
        time.sleep(0.0005)


def released(ref, what):
    """Waits until the background work dropped the object behind the weak reference."""
    until(lambda: ref() is None, f"{what} still holds its function")


@contextlib.contextmanager
def quiet_stderr():
    """For the cases whose operation prints a warning line on fd 2 every time."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class Box:
    """A result object that refers to whatever it is given (for reference cycles)."""

    def __init__(self, ref=None):
        self.ref = ref


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text")


# ---- timers ------------------------------------------------------------------------------


def timer_decorators():
    for make in (quorix.timer, quorix.Timer):
        d = make(250.0)
        assert repr(d(print)) == "TimerWrapper(frequency=250Hz, mode=normal)"
    quorix.precision_timer(100.0)
    quorix.PrecisionTimer(10000.0, realtime=False)
    assert repr(quorix.precision_timer(2.5, realtime=True)(len)) == "TimerWrapper(frequency=2.5Hz, mode=realtime)"
    quorix.Timer(frequency_hz=1.5e300)(len)


def timer_value_errors():
    for bad in (0, -1.5, float("nan")):
        raises(ValueError, quorix.Timer, bad, text="frequency_hz must be positive")
        raises(ValueError, quorix.precision_timer, bad, text="frequency_hz must be positive")
    raises(ValueError, quorix.PrecisionTimer, 10000.5, text="frequency > 10kHz requires realtime=True")


def timer_type_errors():
    raises(TypeError, quorix.Timer, "fast")
    raises(TypeError, quorix.Timer)
    raises(TypeError, quorix.timer, 1.0, 2.0)
    raises(TypeError, quorix.PrecisionTimer, 100.0, realtime=1)
    raises(TypeError, quorix.precision_timer, frequency_hz=object())
    raises(TypeError, quorix.Timer(10.0), 42, text="timer decorator requires a callable")
    raises(TypeError, quorix.PrecisionTimer(10.0), 42, text="precision_timer decorator requires a callable")
    raises(TypeError, quorix.timer(10.0)(print), 1, end="")  # no id is taken, nothing starts


def run_timer(decorator, *, fail=False):
    """Starts a timer, lets it tick, reads everything off its handle, stops and drops it."""
    calls = []

    def tick(a, b):
        calls.append((a, b))
        if fail:
            raise ValueError("tick failed")

    ref = weakref.ref(tick)
    wrapper = decorator(tick)
    h = wrapper(1, "two")
    until(lambda: h.tick_count() >= 2, "timer ticks")
    assert h.is_running() and h.task_id > 0
    h.frequency(), h.precision_mode(), h.actual_frequency(), h.elapsed_secs(), repr(h)
    h.stop()
    h.stop()
    assert not h.is_running()
    del h, wrapper, tick
    released(ref, "a stopped timer")
    assert calls[0] == (1, "two")


def normal_timer():
    run_timer(quorix.timer(2000.0))


def high_timer():
    run_timer(quorix.precision_timer(2000.0))


def realtime_timer():
    run_timer(quorix.precision_timer(2000.0, realtime=True))


def failing_timers():
    with quiet_stderr():  # "Timer function error: ..." on every tick
        run_timer(quorix.timer(2000.0), fail=True)
        run_timer(quorix.precision_timer(2000.0), fail=True)


def timer_handle_dropped_while_running():
    def tick():
        pass

    ref = weakref.ref(tick)
    with quiet_stderr():  # the dropped-while-running warning
        quorix.timer(1000.0)(tick)()
        quorix.precision_timer(1000.0)(tick)()
    del tick
    released(ref, "a dropped timer")


def timer_whose_handle_is_in_its_arguments():
    # The loop holds the argument tuple, the tuple holds a box, the box the handle: the
    # handle's stop() must end the loop and everything must go with the last reference.
    box = Box()

    def tick(b):
        pass

    ref = weakref.ref(tick)
    box.ref = quorix.timer(1000.0)(tick)(box)
    until(lambda: box.ref.tick_count() >= 1, "timer ticks")
    box.ref.stop()
    box.ref = None
    del tick, box
    released(ref, "a stopped timer")


# ---- async tasks -------------------------------------------------------------------------


def task_result():
    def double(x):
        return [x * 2]

    ref = weakref.ref(double)
    h = quorix.run_async(double)(21)
    first = h.wait()
    assert first == [42] and h.wait() is first and h.try_result() is first
    assert h.wait(timeout_ms=10) is first and h.wait(None) is first
    assert h.is_done() and h.is_completed() and not h.is_cancelled()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=completed)"
    del h, double
    released(ref, "a finished task")


def run_async_objects():
    r = quorix.RunAsync(func=len)
    assert repr(r) == "RunAsync(...)"
    assert repr(quorix.run_async(func=print)) == "RunAsync(...)"
    raises(TypeError, quorix.RunAsync)
    raises(TypeError, quorix.run_async, 1, 2)
    raises(TypeError, r, "abc", key=1)  # no task is started


def task_failures():
    def bad(text):
        raise ValueError(text)

    def unprintable():
        raise UnprintableError()

    for fn, args, text in (
        (bad, ("bad",), "ValueError: bad"),
        (unprintable, (), f"{__name__}.UnprintableError: <exception str() failed>"),
        (42, (1,), "TypeError: 'int' object is not callable"),
    ):
        h = quorix.RunAsync(fn)(*args)
        raises(RuntimeError, h.wait)
        raises(RuntimeError, h.wait)
        until(h.is_completed, "a failed task")
        raises(RuntimeError, h.try_result)
        assert h.is_done()
    ref = weakref.ref(bad)
    del bad, fn, h
    released(ref, "a failed task")


def task_wait_time_out_then_result():
    gate = threading.Event()

    def late():
        assert gate.wait(LONG)
        return Box()

    ref = weakref.ref(late)
    h = quorix.run_async(late)()
    assert h.try_result() is None and not h.is_done()
    raises(TimeoutError, h.wait, timeout_ms=0, text="Async task wait timed out")
    raises(TimeoutError, h.wait, 1, text="Async task wait timed out")
    repr(h)
    gate.set()
    assert isinstance(h.wait(), Box)
    del h, late
    released(ref, "a finished task")


def task_argument_errors():
    h = quorix.run_async(abs)(-3)
    assert h.wait() == 3
    raises(OverflowError, h.wait, timeout_ms=-1)
    raises(TypeError, h.wait, timeout_ms="soon")
    raises(TypeError, h.wait, 1, 2)
    raises(TypeError, h.wait, deadline=1)


def task_cancelled():
    gate = threading.Event()

    def waits():
        assert gate.wait(LONG)
        return "late"

    ref = weakref.ref(waits)
    h = quorix.run_async(waits)()
    h.cancel()
    assert h.is_cancelled() and h.is_done()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=cancelled)"
    h.wait()
    gate.set()
    until(h.is_completed, "a cancelled task")
    h.try_result()
    del h, waits
    released(ref, "a cancelled task")


def task_handle_dropped_while_running():
    gate = threading.Event()

    def waits():
        assert gate.wait(LONG)

    ref = weakref.ref(waits)
    with quiet_stderr():  # the dropped-while-running warning
        quorix.run_async(waits)()
    gate.set()
    del waits
    released(ref, "a task whose handle was dropped")


def task_result_refers_to_its_handle():
    # A cycle through the handle: its result holds the handle. Collected by gc.collect().
    def make():
        return Box()

    h = quorix.run_async(make)()
    h.wait().ref = h
    del h


def task_function_refers_to_its_decorator():
    # A cycle through the RunAsync object: the function's closure holds it.
    def make():
        holder = []

        def f():
            return holder

        r = quorix.RunAsync(f)
        holder.append(r)
        return r

    r = make()
    r().wait()
    del r


def timer_function_refers_to_its_wrapper():
    # A cycle through the TimerWrapper: the function's closure holds it.
    def make():
        holder = []

        def tick():
            return holder

        holder.append(quorix.timer(10.0)(tick))

    make()


# ---- the registry --------------------------------------------------------------------------


def task_manager():
    tm = quorix.TaskManager()
    tm2 = quorix.get_task_manager()
    assert tm is not tm2
    tm.running_count, tm.total_count, tm.timer_count, tm.async_task_count
    status = tm.status()
    assert list(status) == ["running_timers", "running_tasks", "stopped", "total"]
    repr(tm2)
    tm.cleanup()
    assert tm.wait_all(0) is True
    assert tm2.wait_all(timeout_ms=10) is True
    raises(TypeError, quorix.TaskManager, 1)
    raises(TypeError, quorix.get_task_manager, 1)
    raises(OverflowError, tm.wait_all, -1)
    raises(TypeError, tm.wait_all, "soon")
    raises(OverflowError, tm.shutdown, timeout_ms=-1)  # refused before anything stops
    raises(TypeError, quorix.shutdown_all, "soon")
    raises(TypeError, quorix.block_all, "soon")
    raises(TypeError, quorix.block_until, wait_ms="soon")


def no_constructor():
    for cls in (quorix.AsyncHandle, quorix.TimerHandle, quorix.TimerWrapper, quorix.Device):
        raises(TypeError, cls)


# ---- CAN constructors that fail: no bus needed ----------------------------------------------


def can_constructor_errors():
    for cls in (quorix.CanDevice, quorix.CanDeviceNonBlocking):
        raises(OSError, cls, MISSING_IFACE, text=f"CAN interface '{MISSING_IFACE}' does not exist")
        raises(OSError, cls, "lo", text="Interface 'lo' is not a CAN interface")
        raises(TypeError, cls, 1)
        raises(TypeError, cls)
        raises(TypeError, cls, MISSING_IFACE, 2)
    raises(OSError, quorix.Motor, MISSING_IFACE, 0x100)
    raises(OSError, quorix.Motor, MISSING_IFACE, host_id=0x100)


def motor_argument_errors():
    raises(ValueError, quorix.Motor, MISSING_IFACE,
           text="missing host CAN id: use second argument or host= / host_id=")
    raises(ValueError, quorix.Motor, MISSING_IFACE, host=1, host_id=2,
           text="pass only one of 'host' or 'host_id', not both")
    raises(OverflowError, quorix.Motor, MISSING_IFACE, -1)
    raises(OverflowError, quorix.Motor, MISSING_IFACE, host_id=2**32)
    raises(TypeError, quorix.Motor, MISSING_IFACE, "0x100")
    raises(TypeError, quorix.Motor, None, 0x100)


# ---- shutdown: last, since it stops every timer started after it --------------------------


def shutdown_operations():
    tm = quorix.TaskManager()
    tm.stop_all()
    assert tm.shutdown(timeout_ms=100) is True
    assert tm.shutdown() is True
    assert quorix.shutdown_all(0) is True
    with quiet_stderr():  # "[quorix] Stopping (reason: timeout)..." and the outcome
        assert quorix.block_until(wait_ms=0, shutdown_timeout_ms=100) == ("timeout", True)


def tasks_after_shutdown():
    # After a shutdown a timer stops itself and a task still runs: both leave cleanly.
    def tick():
        pass

    ref = weakref.ref(tick)
    h = quorix.timer(1000.0)(tick)()
    until(lambda: not h.is_running(), "a timer started after a shutdown")
    del h, tick
    released(ref, "a timer started after a shutdown")
    assert quorix.run_async(abs)(-1).wait() == 1


# (name, operation, calls per round). A started timer lets background threads come and go
# (the blocking pool's, with their thread states): the counts then move by up to about 20
# between rounds whatever the calls, so timer cases make enough calls to rise above that.
CASES = [
    ("timer_decorators", timer_decorators, 100),
    ("timer_value_errors", timer_value_errors, 100),
    ("timer_type_errors", timer_type_errors, 100),
    ("normal_timer", normal_timer, 80),
    ("high_timer", high_timer, 80),
    ("realtime_timer", realtime_timer, 80),
    ("failing_timers", failing_timers, 80),
    ("timer_handle_dropped_while_running", timer_handle_dropped_while_running, 80),
    ("timer_whose_handle_is_in_its_arguments", timer_whose_handle_is_in_its_arguments, 80),
    ("task_result", task_result, 100),
    ("run_async_objects", run_async_objects, 100),
    ("task_failures", task_failures, 40),
    ("task_wait_time_out_then_result", task_wait_time_out_then_result, 40),
    ("task_argument_errors", task_argument_errors, 100),
    ("task_cancelled", task_cancelled, 40),
    ("task_handle_dropped_while_running", task_handle_dropped_while_running, 40),
    ("task_result_refers_to_its_handle", task_result_refers_to_its_handle, 100),
    ("task_function_refers_to_its_decorator", task_function_refers_to_its_decorator, 100),
    ("timer_function_refers_to_its_wrapper", timer_function_refers_to_its_wrapper, 100),
    ("task_manager", task_manager, 100),
    ("no_constructor", no_constructor, 100),
    ("can_constructor_errors", can_constructor_errors, 8),
    ("motor_argument_errors", motor_argument_errors, 100),
    ("shutdown_operations", shutdown_operations, 20),
    ("tasks_after_shutdown", tasks_after_shutdown, 20),
]


def totals():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def leaks(deltas, calls):
    return all(d >= max(1, calls // LEAK_PER_CALLS) for d in deltas)


def measure(op, calls):
    """The reference and block deltas of each measured round."""
    for _ in range(WARMUP):
        for _ in range(calls):
            op()
    refs, blocks = [], []
    before = totals()
    for _ in range(ROUNDS):
        for _ in range(calls):
            op()
        after = totals()
        refs.append(after[0] - before[0])
        blocks.append(after[1] - before[1])
        before = totals()  # the readings themselves allocate: measure from here
    return refs, blocks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", action="append", default=[], help="run only the cases whose name contains this")
    parser.add_argument("-v", action="store_true", help="print the deltas of every case")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug interpreter (python3.14d): sys.gettotalrefcount is missing", file=sys.stderr)
        return 2
    failed = []
    for name, op, calls in CASES:
        if args.k and not any(k in name for k in args.k):
            continue
        started = time.monotonic()
        try:
            refs, blocks = measure(op, calls)
        except Exception as e:  # a broken operation is a failure of its own
            print(f"ERROR  {name}: {type(e).__name__}: {e}", flush=True)
            failed.append(name)
            continue
        leaked = [what for what, d in (("references", refs), ("blocks", blocks)) if leaks(d, calls)]
        if leaked:
            failed.append(name)
        if leaked or args.v:
            word = "LEAK  " if leaked else "ok    "
            print(f"{word} {name}: {calls} calls per round, references {refs}, blocks {blocks} "
                  f"({time.monotonic() - started:.1f} s)", flush=True)
    if failed:
        print(f"refleak: {len(failed)} case(s) failed: {', '.join(failed)}")
        return 1
    print("refleak: every case stayed flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
