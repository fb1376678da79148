"""Async tasks: RunAsync, run_async and AsyncHandle, as a user drives them from Python."""

import asyncio
import gc
import inspect
import re
import textwrap
import threading
import time

import pytest

import quorix
from conftest import FREE_THREADED

WARNING = (
    "Warning: AsyncHandle(id={}) dropped while task still running. "
    "Consider calling handle.cancel() or handle.wait() before dropping.\n"
)
LONG = 30  # seconds; only ever waited for when something is broken


@pytest.fixture
def gate():
    """An event the test's task functions wait on; always opened at the end of the test so
    that no body stays blocked."""
    ev = threading.Event()
    yield ev
    ev.set()


def blocked_until(gate, value=None):
    """A decorated function that waits for `gate`, then returns `value` (or its argument)."""

    @quorix.run_async
    def f(*args):
        assert gate.wait(LONG)
        return value if value is not None else args

    return f


# ---- results and failures -------------------------------------------------------------


def test_wait_returns_the_result_and_every_fetch_returns_the_same_object():
    @quorix.run_async
    def double(x):
        return [x * 2]

    h = double(21)
    first = h.wait()
    assert first == [42]
    assert h.wait() is first
    assert h.try_result() is first
    assert h.is_done() and h.is_completed() and not h.is_cancelled()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=completed)"


def test_unfinished_task_gives_none_and_shows_running(gate):
    h = blocked_until(gate, "late")()
    assert h.try_result() is None
    assert not h.is_done() and not h.is_completed() and not h.is_cancelled()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=running)"
    gate.set()
    assert h.wait() == "late"


class Outer:
    class Inner(Exception):
        pass


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "func, args, text",
    [
        (lambda: (_ for _ in ()).throw(ValueError("bad")), (), "ValueError: bad"),
        (lambda k: {}[k], ("k",), "KeyError: 'k'"),
        (lambda: (_ for _ in ()).throw(Outer.Inner("deep")), (), "Outer.Inner: deep"),
        (
            lambda: (_ for _ in ()).throw(UnprintableError()),
            (),
            "UnprintableError: <exception str() failed>",
        ),
        (42, (1,), "TypeError: 'int' object is not callable"),
        (
            lambda: None,
            (1, 2),
            "TypeError: <lambda>() takes 0 positional arguments but 2 were given",
        ),
    ],
    ids=["value-error", "key-error", "qualified-name", "str-fails", "not-callable", "wrong-arity"],
)
def test_failure_is_stored_as_text_and_raised_on_every_fetch(func, args, text):
    h = quorix.RunAsync(func)(*args)
    for fetch in (h.wait, h.wait, h.try_result, h.try_result):
        with pytest.raises(RuntimeError) as exc:
            fetch()
        assert str(exc.value) == text
    assert h.is_completed() and h.is_done()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=completed)"


class OddlyNamed(Exception):
    pass


# A __qualname__ may be any str; set on a class of its own so no other test sees it.
OddlyNamed.__qualname__ = "Odd\x00Name\udc80"

# Messages that a C string or strict UTF-8 would cut or refuse.
AWKWARD_MESSAGES = {
    "nul-inside": "a\x00b",
    "nul-only": "\x00",
    "nul-last": "end\x00",
    "lone-low-surrogate": "lone \udc80 here",
    "lone-high-surrogate": "\ud800",
    "mixed": "\x00 \udfff é 字 \U0001f600 \x00",
}


@pytest.mark.parametrize("exc_type", [ValueError, OddlyNamed], ids=["builtin", "odd-qualname"])
@pytest.mark.parametrize("message", AWKWARD_MESSAGES.values(), ids=AWKWARD_MESSAGES.keys())
def test_failure_text_is_str_of_the_error_exactly(exc_type, message):
    def fail():
        raise exc_type(message)

    h = quorix.run_async(fail)()
    for fetch in (h.wait, h.try_result, h.wait):
        with pytest.raises(RuntimeError) as exc:
            fetch()
        assert str(exc.value) == f"{exc_type.__qualname__}: {message}"


def test_coroutine_function_result_is_the_unawaited_coroutine():
    async def coro():
        return 1

    h = quorix.run_async(coro)()
    result = h.wait()
    assert inspect.iscoroutine(result)
    assert asyncio.run(result) == 1  # never awaited by the task


@pytest.mark.parametrize("args", [(), (1,), (1, "two", 3.0, None, [5])])
def test_any_number_of_positional_arguments_reach_the_function(args):
    assert quorix.run_async(lambda *a: a)(*args).wait() == args


def test_none_returned_is_none_fetched():
    h = quorix.run_async(lambda: None)()
    assert h.wait() is None
    assert h.is_completed()


# ---- wait time-outs and cancel ---------------------------------------------------------


def test_wait_with_zero_timeout_raises_at_once_and_leaves_the_task_alone(gate):
    h = blocked_until(gate, "ok")()
    t0 = time.monotonic()
    with pytest.raises(TimeoutError) as exc:
        h.wait(timeout_ms=0)
    assert str(exc.value) == "Async task wait timed out"
    assert time.monotonic() - t0 < 1.0
    assert not h.is_done()
    gate.set()
    assert h.wait() == "ok"


def test_wait_times_out_after_the_time_given_then_can_wait_again(gate):
    h = blocked_until(gate, "ok")()
    t0 = time.monotonic()
    with pytest.raises(TimeoutError) as exc:
        h.wait(50)
    elapsed = time.monotonic() - t0
    assert str(exc.value) == "Async task wait timed out"
    assert 0.05 <= elapsed < 5.0
    gate.set()
    assert h.wait(timeout_ms=LONG * 1000) == "ok"


def test_wait_with_largest_timeout_returns_the_result():
    assert quorix.run_async(lambda: "x")().wait(2**64 - 1) == "x"


def test_cancel_while_running_returns_none_at_once_then_the_result(gate):
    started = threading.Event()

    @quorix.run_async
    def f():
        started.set()
        assert gate.wait(LONG)
        return "finished"

    h = f()
    assert started.wait(LONG), "the body never started"
    assert h.cancel() is None
    assert h.is_cancelled() and h.is_done() and not h.is_completed()
    t0 = time.monotonic()
    assert h.wait() is None
    assert time.monotonic() - t0 < 1.0
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=cancelled)"
    gate.set()
    deadline = time.monotonic() + LONG
    while not h.is_completed() and time.monotonic() < deadline:
        time.sleep(0.001)
    assert h.is_completed(), "a cancelled call still runs to its end"
    assert h.try_result() == "finished"
    assert h.wait() == "finished"
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=cancelled)"


def test_cancel_after_completion_keeps_the_result():
    h = quorix.run_async(lambda: "kept")()
    assert h.wait() == "kept"
    h.cancel()
    assert h.is_cancelled() and h.is_completed()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=cancelled)"
    assert h.wait() == "kept"


@pytest.mark.parametrize("end", ["completes", "fails", "is cancelled", "times out"])
def test_wait_off_the_main_thread_is_woken_by_the_end_it_waits_for(gate, end):
    # Off the main thread a wait sleeps until the task's end wakes it, with no periodic
    # check to fall back on: a missed wake-up would keep this thread asleep for an hour.
    started = threading.Event()

    @quorix.run_async
    def f():
        started.set()
        assert gate.wait(LONG)
        if end == "fails":
            raise ValueError("late")
        return "done"

    h = f()
    assert started.wait(LONG), "the body never started"
    outcome = []

    def waiter():
        try:
            outcome.append(h.wait(300) if end == "times out" else h.wait())
        except Exception as e:
            outcome.append(f"{type(e).__name__}: {e}")

    t0 = time.monotonic()
    thread = threading.Thread(target=waiter)
    thread.start()
    if end == "is cancelled":
        h.cancel()
    elif end != "times out":
        gate.set()
    thread.join(LONG)
    assert not thread.is_alive(), "the wait was never woken"
    expected = {
        "completes": "done",
        "fails": "RuntimeError: ValueError: late",
        "is cancelled": None,
        "times out": "TimeoutError: Async task wait timed out",
    }[end]
    assert outcome == [expected]
    if end == "times out":
        assert time.monotonic() - t0 >= 0.3
    gate.set()


# ---- calling conventions ---------------------------------------------------------------


def test_run_async_object_is_no_method_descriptor():
    class Holder:
        method = quorix.RunAsync(lambda *a: a)

    assert Holder().method(1).wait() == (1,)


def test_each_call_starts_an_independent_task():
    decorated = quorix.run_async(lambda x: x + 1)
    handles = [decorated(i) for i in range(20)]
    assert len({h.task_id for h in handles}) == 20
    assert [h.wait() for h in handles] == list(range(1, 21))
    assert repr(decorated) == "RunAsync(...)"
    assert type(quorix.run_async(print)) is quorix.RunAsync


def test_handle_methods_reached_from_inside_another_task(gate):
    inner = blocked_until(gate, "inner")()

    @quorix.run_async
    def outer():
        first = inner.try_result()
        gate.set()
        return first, inner.wait()

    assert outer().wait() == (None, "inner")


ARGUMENT_ERRORS = {
    "new-missing": (
        lambda: quorix.RunAsync(),
        "RunAsync.__new__() missing 1 required positional argument: 'func'",
    ),
    "new-too-many": (
        lambda: quorix.RunAsync(1, 2),
        "RunAsync.__new__() takes 1 positional arguments but 2 were given",
    ),
    "new-keyword": (
        lambda: quorix.RunAsync(fn=1),
        "RunAsync.__new__() got an unexpected keyword argument 'fn'",
    ),
    "fn-missing": (
        lambda: quorix.run_async(),
        "run_async() missing 1 required positional argument: 'func'",
    ),
    "fn-twice": (
        lambda: quorix.run_async(print, func=print),
        "run_async() got multiple values for argument 'func'",
    ),
    "call-keyword": (
        lambda: quorix.RunAsync(print)(1, end=""),
        "RunAsync.__call__() got an unexpected keyword argument 'end'",
    ),
}


@pytest.mark.parametrize("case", sorted(ARGUMENT_ERRORS))
def test_argument_errors(case):
    call, text = ARGUMENT_ERRORS[case]
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == text


def test_func_by_keyword_is_accepted():
    assert quorix.RunAsync(func=lambda: 1)().wait() == 1
    assert quorix.run_async(func=lambda: 2)().wait() == 2


@pytest.mark.parametrize(
    "args, kwargs, exc_type",
    [
        (("x",), {}, TypeError),
        ((-1,), {}, OverflowError),
        ((2**64,), {}, OverflowError),
        ((), {"timeout": 1}, TypeError),
        ((1, 2), {}, TypeError),
    ],
    ids=["text", "negative", "too-large", "bad-keyword", "too-many"],
)
def test_wait_argument_errors(args, kwargs, exc_type):
    h = quorix.run_async(lambda: 0)()
    with pytest.raises(exc_type) as exc:
        h.wait(*args, **kwargs)
    if args == ("x",):
        assert str(exc.value).startswith("argument 'timeout_ms': ")
        assert isinstance(exc.value.__cause__, TypeError)
    assert h.wait(None) == 0
    assert h.wait(timeout_ms=None) == 0


@pytest.mark.parametrize("method", ["is_done", "is_completed", "is_cancelled", "cancel", "try_result"])
def test_methods_without_parameters_refuse_arguments(method):
    h = quorix.run_async(lambda: 0)()
    h.wait()
    with pytest.raises(TypeError) as exc:
        getattr(h, method)(1)
    assert str(exc.value) == f"AsyncHandle.{method}() takes 0 positional arguments but 1 was given"


def test_handle_surface():
    h = quorix.run_async(lambda: 0)()
    h.wait()
    assert isinstance(h.task_id, int)
    with pytest.raises(AttributeError):
        h.task_id = 5
    expected = {
        "is_done": "()",
        "is_completed": "()",
        "is_cancelled": "()",
        "cancel": "()",
        "try_result": "()",
        "wait": "(timeout_ms=None)",
    }
    assert {m: str(inspect.signature(getattr(h, m))) for m in expected} == expected
    assert quorix.AsyncHandle.__doc__ and quorix.AsyncHandle.task_id.__doc__


# ---- registry, ids and the drop warning (fresh processes) -------------------------------


def test_first_ids_and_registry_counts_in_a_fresh_process(fresh):
    result = fresh(
        """
        import threading, quorix
        tm = quorix.TaskManager()
        gate = threading.Event()
        f = quorix.run_async(lambda: gate.wait(30))
        try:
            f(x=1)
        except TypeError:
            pass
        h = f()
        print(h.task_id, repr(h))
        print(tm.async_task_count, tm.timer_count, tm.running_count, tm.total_count, tm.status())
        gate.set()
        print(h.wait())
        print(tm.async_task_count, tm.running_count, tm.total_count, tm.status())
        print(f().task_id)
        timer = quorix.timer(10.0)(lambda: None)()
        timer.stop()
        print(timer.task_id, f().task_id, tm.timer_count)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "1 AsyncHandle(id=1, status=running)", "a refused keyword call consumed an id"
    assert lines[1] == "1 0 1 1 {'running_timers': 0, 'running_tasks': 1, 'stopped': 0, 'total': 1}"
    assert lines[2] == "True"
    assert lines[3] == "0 0 1 {'running_timers': 0, 'running_tasks': 0, 'stopped': 1, 'total': 1}"
    assert lines[4] == "2"
    assert lines[5] == "3 4 0", "timers and async tasks draw from one counter"


def test_drop_warning_once_for_an_unfinished_handle_only(fresh):
    result = fresh(
        """
        import gc, threading, quorix
        tm = quorix.TaskManager()
        gate = threading.Event()
        f = quorix.run_async(lambda: gate.wait(30))
        h = f()
        h_id = h.task_id
        print(tm.total_count)
        del h
        gc.collect()
        print(tm.total_count)
        done = f(); gate.set(); done.wait(); del done
        cancelled = quorix.run_async(lambda: gate.wait(30))(); cancelled.cancel(); del cancelled
        print(tm.total_count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "0", "0"]
    assert result.stderr == WARNING.format(1)


# ---- background threads, the interpreter lock and interpreter exit ----------------------

def on_one_cpu(code):
    """`code` in a process confined to one CPU before the runtime exists: one worker."""
    return (
        "import os\n"
        "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
        + textwrap.dedent(code)
    )


def test_blocked_function_leaves_the_only_worker_to_other_tasks(fresh):
    # A's function blocks until B's function has run. On a one-worker runtime that only
    # works if A's body gave its seat away before calling Python.
    result = fresh(
        on_one_cpu(
            """
        import threading, quorix
        ev = threading.Event()
        a = quorix.run_async(lambda: ev.wait(20))()
        b = quorix.run_async(lambda: ev.set())()
        print(a.wait(), b.wait())
        """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "None"]


def test_waits_do_not_stall_garbage_collection_in_other_threads(gate):
    # Free-threaded: a thread waiting in C while attached would stop every gc.collect().
    h = blocked_until(gate, "done")()
    waiter_result = []
    waiter = threading.Thread(target=lambda: waiter_result.append(h.wait()))
    waiter.start()
    try:
        t0 = time.monotonic()
        for _ in range(5):
            gc.collect()
            h.try_result()
        assert time.monotonic() - t0 < LONG
        assert waiter.is_alive()
    finally:
        gate.set()
        waiter.join(LONG)
    assert waiter_result == ["done"]


def test_pool_threads_that_already_made_calls_make_none_once_the_exit_gate_closed(fresh):
    # A handler registered before the first task runs after the module's own exit handler:
    # from then on no thread calls into Python, also those that keep a thread state from
    # earlier calls.
    result = fresh(
        """
        import atexit, quorix
        def at_exit():
            h = quorix.run_async(print)("called")
            try:
                h.wait(timeout_ms=10000)
            except RuntimeError as e:
                print("failed:", e)
        atexit.register(at_exit)
        f = quorix.run_async(lambda: "warm")
        assert all(f().wait() == "warm" for _ in range(20))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "failed: Interpreter is exiting: the task's function was not called\n"


EXIT_SCENARIOS = {
    # Functions asleep (lock released) when the interpreter finalizes; a finalizer keeps
    # finalization going while they wake and try to take the lock back.
    "waking-during-finalization": """
        import gc, time, quorix
        class Slow:
            def __del__(self, s=time.sleep):
                s(0.3)
        f = quorix.run_async(lambda: time.sleep(0.1) or "late")
        gc.disable()
        cycle = Slow(); cycle.me = cycle; del cycle
        handles = [f() for _ in range(4)]
        time.sleep(0.02)
    """,
    # Many bodies still queued, skipping or waiting for the lock at exit.
    "queued": """
        import quorix
        f = quorix.run_async(lambda i: [i] * 100)
        handles = [f(i) for i in range(300)]
        for h in handles[::2]: h.cancel()
    """,
    # Handles dropped at once: the bodies free results with finalizers themselves, racing exit.
    "results-freed-by-bodies": """
        import quorix
        class Res:
            def __del__(self):
                pass
        f = quorix.run_async(lambda: Res())
        for _ in range(200):
            h = f(); del h
    """,
    # A daemon thread blocked in wait() when the interpreter goes away.
    "daemon-waiter": """
        import threading, time, quorix
        gate = threading.Event()
        h = quorix.run_async(lambda: gate.wait(5))()
        threading.Thread(target=h.wait, daemon=True).start()
        time.sleep(0.05)
    """,
}
WARNING_LINE = re.compile(re.escape(WARNING.rstrip("\n")).replace(re.escape("{}"), r"\d+"))


@pytest.mark.parametrize("name", sorted(EXIT_SCENARIOS))
def test_process_exits_cleanly_while_tasks_run(fresh, name):
    for _ in range(3):  # exit races are timing-dependent: give them a few chances
        result = fresh(EXIT_SCENARIOS[name])
        assert result.returncode == 0, result.stderr
        # Handles freed at exit may warn; nothing else may appear (no fatal error, no abort).
        assert all(WARNING_LINE.fullmatch(line) for line in result.stderr.splitlines()), result.stderr
