"""Timers: decorators and their checks, the wrapper and the handle, and the engine's
behaviour in each mode as seen from Python. Timing bounds are generous on purpose; the
precision figures live in bench/timers.py."""

import decimal
import inspect
import math
import random
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import quorix

MODES = ["normal", "high", "realtime"]
POSITIVE = "frequency_hz must be positive"
OVER_10K = "frequency > 10kHz requires realtime=True"
DROP_WARNING = (
    "Warning: TimerHandle(id={}) dropped while still running. "
    "Make sure to save the handle returned by timer-decorated functions."
)
COROUTINE_WARNING = (
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
    "and will likely fail to execute properly. Please use a synchronous function."
)


def decorator(mode, frequency_hz):
    if mode == "normal":
        return quorix.timer(frequency_hz)
    return quorix.precision_timer(frequency_hz, realtime=(mode == "realtime"))


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


@pytest.fixture
def handles():
    """Handles started by a test, stopped at its end whatever happens."""
    started = []
    yield started
    for h in started:
        h.stop()


# ---- decorators: checks in order and their texts ------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: quorix.Timer(0),
        lambda: quorix.Timer(-1.5),
        lambda: quorix.timer(0),
        lambda: quorix.timer(math.nan),
        lambda: quorix.PrecisionTimer(0),
        lambda: quorix.precision_timer(-3),
        lambda: quorix.PrecisionTimer(math.nan, realtime=True),
        lambda: quorix.PrecisionTimer(-5.0, realtime=False),  # positivity comes before the 10 kHz rule
        lambda: quorix.Timer(-math.inf),
    ],
)
def test_non_positive_frequencies_are_refused(make):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == POSITIVE


@pytest.mark.parametrize("make", [lambda: quorix.PrecisionTimer(10000.5), lambda: quorix.precision_timer(2e4)])
def test_precision_timer_above_10khz_needs_realtime(make):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == OVER_10K


@pytest.mark.parametrize(
    "make, cls",
    [
        (lambda: quorix.PrecisionTimer(10000.0), quorix.PrecisionTimer),
        (lambda: quorix.PrecisionTimer(50000.0, realtime=True), quorix.PrecisionTimer),
        (lambda: quorix.precision_timer(frequency_hz=1, realtime=False), quorix.PrecisionTimer),
        (lambda: quorix.Timer(50000.0), quorix.Timer),
        (lambda: quorix.Timer(math.inf), quorix.Timer),
        (lambda: quorix.timer(frequency_hz=3), quorix.Timer),
    ],
)
def test_accepted_decorators(make, cls):
    assert type(make()) is cls


def test_frequency_accepts_float_conversions():
    class Hz:
        def __float__(self):
            return 25.0

    class Index:
        def __index__(self):
            return 4

    assert repr(quorix.timer(Hz())(print)) == "TimerWrapper(frequency=25Hz, mode=normal)"
    assert repr(quorix.precision_timer(Index())(print)) == "TimerWrapper(frequency=4Hz, mode=high)"


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: quorix.Timer(), "Timer.__new__() missing 1 required positional argument: 'frequency_hz'"),
        (lambda: quorix.timer(), "timer() missing 1 required positional argument: 'frequency_hz'"),
        (lambda: quorix.Timer(1, 2), "Timer.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: quorix.timer(hz=1), "timer() got an unexpected keyword argument 'hz'"),
        (lambda: quorix.precision_timer(1, True, 3),
         "precision_timer() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: quorix.PrecisionTimer(1, frequency_hz=2),
         "PrecisionTimer.__new__() got multiple values for argument 'frequency_hz'"),
        (lambda: quorix.PrecisionTimer(100.0, realtime=1),
         "argument 'realtime': 'int' object cannot be converted to 'PyBool'"),
        (lambda: quorix.precision_timer(100.0, None),
         "argument 'realtime': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: quorix.Timer("10"), "argument 'frequency_hz': must be real number, not str"),
        (lambda: quorix.precision_timer(None), "argument 'frequency_hz': must be real number, not NoneType"),
        (lambda: quorix.Timer(10.0)(42), "timer decorator requires a callable"),
        (lambda: quorix.timer(10.0)("f"), "timer decorator requires a callable"),
        (lambda: quorix.PrecisionTimer(10.0)(42), "precision_timer decorator requires a callable"),
        (lambda: quorix.Timer(10.0)(), "Timer.__call__() missing 1 required positional argument: 'func'"),
        (lambda: quorix.PrecisionTimer(10.0)(print, print),
         "PrecisionTimer.__call__() takes 1 positional arguments but 2 were given"),
        (lambda: quorix.timer(10.0)(print)(x=1), "TimerWrapper.__call__() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_conversion_error_keeps_its_cause():
    with pytest.raises(TypeError) as info:
        quorix.PrecisionTimer(100.0, realtime=1)
    assert isinstance(info.value.__cause__, TypeError)


def test_numpy_bool_is_accepted_for_realtime():
    np = pytest.importorskip("numpy")
    assert repr(quorix.precision_timer(2e4, np.bool_(True))(print)) == "TimerWrapper(frequency=20000Hz, mode=realtime)"


# ---- reprs and docs -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "wrapper, text",
    [
        (lambda: quorix.timer(10.0)(print), "TimerWrapper(frequency=10Hz, mode=normal)"),
        (lambda: quorix.precision_timer(2.5, realtime=True)(print), "TimerWrapper(frequency=2.5Hz, mode=realtime)"),
        (lambda: quorix.PrecisionTimer(0.001)(print), "TimerWrapper(frequency=0.001Hz, mode=high)"),
        (lambda: quorix.Timer(0.1 + 0.2)(print), "TimerWrapper(frequency=0.30000000000000004Hz, mode=normal)"),
        (lambda: quorix.Timer(1e20)(print), "TimerWrapper(frequency=100000000000000000000Hz, mode=normal)"),
        (lambda: quorix.Timer(1.5e-7)(print), "TimerWrapper(frequency=0.00000015Hz, mode=normal)"),
        (lambda: quorix.Timer(math.inf)(print), "TimerWrapper(frequency=infHz, mode=normal)"),
    ],
)
def test_wrapper_repr_uses_the_shortest_plain_decimal(wrapper, text):
    assert repr(wrapper()) == text


def plain_shortest(x):
    """Python's shortest round-trip digits of `x`, in plain notation, integral without ".0"."""
    text = format(decimal.Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def wrapper_frequency_text(x):
    text = repr(quorix.Timer(x)(print))
    prefix, suffix = "TimerWrapper(frequency=", "Hz, mode=normal)"
    assert text.startswith(prefix) and text.endswith(suffix), text
    return text[len(prefix) : -len(suffix)]


EDGE_FREQUENCIES = [
    2.0**53, 2.0**53 + 2, 2.0**54, 2.0**63, 2.0**64, 2.0**1023, 1e15, 1e16, 1e17, 1e21, 1e22, 1e23,
    9007199254740993.0, 123456789012345680000.0, 1.5e300, 1.7976931348623157e308, 2.2250738585072014e-308,
    2.225073858507201e-308, 5e-324, 1e-323, 4.9406564584124654e-320, 1e-310, 0.1, 0.3, 0.1 + 0.2, 1 / 3,
    2 / 3, 1e-7, 1.5e-7, 0.5, 1.0, 999999999999999.9, 1e16 - 2, 4.35, 100.0, 1000.5,
]


@pytest.mark.parametrize("x", EDGE_FREQUENCIES, ids=repr)
def test_wrapper_repr_frequency_matches_pythons_shortest_digits_at_the_edges(x):
    assert wrapper_frequency_text(x) == plain_shortest(x)


def test_wrapper_repr_frequency_matches_pythons_shortest_digits_across_all_exponents():
    rng = random.Random(20261208)
    values = []
    for _ in range(6000):  # any bit pattern of a positive double, subnormals included
        values.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0])
    for exp in range(-1074, 1024):  # every binary exponent, with a random mantissa and its neighbours
        x = math.ldexp(1.0 + rng.random(), exp) if exp >= -1022 else math.ldexp(rng.random(), -1022)
        values += [x, math.nextafter(x, 0.0), math.nextafter(x, math.inf)]
    for n in range(1, 300):  # integral values with few significant digits, also beyond 2**53
        values.append(float(rng.randrange(1, 10**6)) * 10.0**n)
    values = [x for x in values if math.isfinite(x) and x > 0]
    mismatches = [(x, got, want) for x in values if (got := wrapper_frequency_text(x)) != (want := plain_shortest(x))]
    assert mismatches[:3] == [] and len(values) > 10000


@pytest.mark.parametrize(
    "obj, signature",
    [
        (quorix.Timer, "(frequency_hz)"),
        (quorix.PrecisionTimer, "(frequency_hz, realtime=False)"),
        (quorix.timer, "(frequency_hz)"),
        (quorix.precision_timer, "(frequency_hz, realtime=False)"),
    ],
)
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature
    assert inspect.getdoc(obj).strip()


def test_handle_members_are_documented_with_self_signatures():
    for name in ["stop", "is_running", "frequency", "precision_mode", "tick_count", "actual_frequency",
                 "elapsed_secs"]:
        method = getattr(quorix.TimerHandle, name)
        assert method.__text_signature__ == "($self)", name
        assert inspect.getdoc(method), name
    assert inspect.getdoc(quorix.TimerHandle.task_id) == "获取任务 ID"
    assert quorix.TimerHandle.__doc__ == "定时器任务句柄\n\n用于控制定时执行的函数"
    assert quorix.TimerWrapper.__doc__ == "包装后的定时器函数"
    assert quorix.Timer.__doc__.startswith("普通定时器装饰器")
    assert quorix.PrecisionTimer.__doc__.startswith("高精度定时器装饰器")


# ---- the handle ---------------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_handle_getters_and_repr_after_stop(mode, handles):
    h = decorator(mode, 100.0)(lambda: None)()
    handles.append(h)
    assert wait_for(lambda: h.tick_count() >= 3)
    h.stop()
    h.stop()  # harmless
    assert h.is_running() is False
    assert h.frequency() == 100.0
    assert h.precision_mode() == mode
    assert isinstance(h.task_id, int)
    with pytest.raises(AttributeError):
        h.task_id = 1
    time.sleep(0.05)
    ticks = h.tick_count()
    text = repr(h)
    assert text.startswith(f"TimerHandle(id={h.task_id}, freq=100.0Hz, actual=")
    assert text.endswith(f", mode={mode}, ticks={ticks}, running=false)")
    actual = float(text.split("actual=")[1].split("Hz")[0])
    assert actual == pytest.approx(h.actual_frequency(), abs=100.0)


def test_elapsed_keeps_growing_after_stop_and_the_rate_falls(handles):
    h = quorix.precision_timer(200.0)(lambda: None)()
    handles.append(h)
    assert wait_for(lambda: h.tick_count() >= 10)
    h.stop()
    time.sleep(0.02)
    e1, f1 = h.elapsed_secs(), h.actual_frequency()
    time.sleep(0.1)
    e2, f2 = h.elapsed_secs(), h.actual_frequency()
    assert e2 > e1 + 0.05
    assert f2 < f1


def test_a_wrapper_starts_independent_timers(handles):
    wrapper = quorix.precision_timer(100.0)(lambda: None)
    a, b = wrapper(), wrapper()
    handles += [a, b]
    assert a.task_id != b.task_id
    a.stop()
    assert not a.is_running() and b.is_running()
    start = b.tick_count()
    assert wait_for(lambda: b.tick_count() > start + 2)


@pytest.mark.parametrize("mode", MODES)
def test_every_call_gets_the_positional_arguments(mode, handles):
    seen = []
    h = decorator(mode, 200.0)(lambda *args: seen.append(args))(5, 6)
    handles.append(h)
    assert wait_for(lambda: len(seen) >= 3)
    h.stop()
    assert set(seen) == {(5, 6)}


def test_registry_counts_running_and_stopped_timers(handles):
    tm = quorix.get_task_manager()
    before = tm.status()
    h = quorix.timer(50.0)(lambda: None)()
    handles.append(h)
    assert tm.timer_count == before["running_timers"] + 1
    assert tm.total_count == before["total"] + 1
    h.stop()
    assert tm.timer_count == before["running_timers"]
    assert tm.total_count == before["total"] + 1  # a stopped timer stays listed until its handle goes
    del handles[:]
    del h
    assert tm.total_count == before["total"]


# ---- the engine -----------------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_first_call_at_once_then_never_before_its_grid_point(mode, handles):
    period = 0.2
    starts = []
    t0 = time.perf_counter()
    h = decorator(mode, 1 / period)(lambda: starts.append(time.perf_counter()))()
    handles.append(h)
    assert wait_for(lambda: len(starts) >= 4)
    h.stop()
    assert starts[0] - t0 < period * 0.75  # not one period later
    for k, t in enumerate(starts[:4]):
        assert t - t0 >= k * period - 0.002, (k, t - t0)  # 2 ms: Normal's ticker granularity


@pytest.mark.parametrize("mode", ["high", "realtime"])
def test_overrunning_call_is_followed_at_once_and_skips_missed_points(mode, handles):
    period = 0.1
    starts, ends = [], []

    def slow():
        starts.append(time.perf_counter())
        if len(starts) == 2:
            time.sleep(2.5 * period)
        ends.append(time.perf_counter())

    h = decorator(mode, 1 / period)(slow)()
    handles.append(h)
    assert wait_for(lambda: len(starts) >= 4)
    h.stop()
    assert starts[2] - ends[1] < period / 2  # right after the overrun, no sleep
    # The grid point the overrun swallowed is skipped: call 3 waits for the next point.
    assert starts[3] - starts[0] >= 4 * period - 0.002
    assert h.tick_count() == len(starts)


@pytest.mark.parametrize("mode", MODES)
def test_raising_function_reports_each_tick_and_keeps_running(mode, fresh):
    result = fresh(
        f"""
        import time, quorix
        def f():
            1 / 0
        d = quorix.timer(50.0) if {mode!r} == "normal" else quorix.precision_timer(50.0, realtime={mode == "realtime"})
        h = d(f)()
        while h.tick_count() < 5:
            time.sleep(0.01)
        h.stop()
        time.sleep(0.1)
        print(h.tick_count(), h.is_running())
        """
    )
    assert result.returncode == 0, result.stderr
    ticks, running = result.stdout.split()
    lines = result.stderr.splitlines()
    assert lines == ["Timer function error: ZeroDivisionError: division by zero"] * int(ticks)
    assert int(ticks) >= 5 and running == "False"


def test_error_line_uses_the_qualified_name_and_survives_a_failing_str(fresh):
    result = fresh(
        """
        import time, quorix
        class Outer:
            class Boom(Exception):
                def __str__(self):
                    raise RuntimeError("no")
        def f():
            raise Outer.Boom()
        h = quorix.precision_timer(20.0)(f)()
        while h.tick_count() < 1:
            time.sleep(0.01)
        h.stop()
        time.sleep(0.1)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines()[0] == "Timer function error: Outer.Boom: <exception str() failed>"


@pytest.mark.parametrize(
    "message, shown",
    [
        ("a\x00b", b"a\x00b"),
        ("end\x00", b"end\x00"),
        ("lone \udc80 here", b"lone \\udc80 here"),
        ("\ud800\x00\udfff", b"\\ud800\x00\\udfff"),
        ("\u00e9 \u5b57 \U0001f600", "\u00e9 \u5b57 \U0001f600".encode()),
    ],
    ids=["nul-inside", "nul-last", "lone-surrogate", "surrogates-around-nul", "non-ascii"],
)
def test_error_line_keeps_nuls_and_escapes_what_utf8_cannot_encode(message, shown):
    code = f"""
        import time, quorix
        def f():
            raise ValueError({message!r})
        h = quorix.precision_timer(20.0)(f)()
        while h.tick_count() < 1:
            time.sleep(0.01)
        h.stop()
        time.sleep(0.1)
        """
    # Bytes, not text: the line is checked exactly as written to fd 2.
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.split(b"\n")[0] == b"Timer function error: ValueError: " + shown


@pytest.mark.parametrize("mode", MODES)
def test_stop_during_the_wait(mode, handles):
    h = decorator(mode, 5.0)(lambda: None)()  # 200 ms between calls
    handles.append(h)
    assert wait_for(lambda: h.tick_count() >= 1)
    h.stop()  # well inside the 200 ms wait after the first call
    at_stop = h.tick_count()
    time.sleep(0.6)
    extra = h.tick_count() - at_stop
    # Normal may make the call that ends its wait; a dedicated thread makes none.
    assert extra <= (1 if mode == "normal" else 0)


@pytest.mark.parametrize("mode", MODES)
def test_stop_inside_the_call_ends_the_timer(mode, handles):
    box = {}
    ready = threading.Event()
    calls = []

    def f():
        calls.append(1)
        if len(calls) == 3:
            ready.wait(10)
            box["h"].stop()

    box["h"] = h = decorator(mode, 100.0)(f)()
    ready.set()
    handles.append(h)
    assert wait_for(lambda: not h.is_running())
    time.sleep(0.1)
    assert h.tick_count() == 3 == len(calls)


def test_timers_started_after_stop_all_make_no_call(fresh):
    result = fresh(
        """
        import time, quorix
        calls = []
        quorix.get_task_manager().stop_all()
        hs = [quorix.timer(100.0)(calls.append)(1), quorix.precision_timer(100.0)(calls.append)(2),
              quorix.precision_timer(100.0, realtime=True)(calls.append)(3)]
        deadline = time.monotonic() + 10
        while any(h.is_running() for h in hs) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.1)
        print([h.is_running() for h in hs], [h.tick_count() for h in hs], calls)
        print(quorix.get_task_manager())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "[False, False, False] [0, 0, 0] []",
        "TaskManager(timers=0, tasks=0, stopped=3, total=3)",
    ]
    assert result.stderr == ""


def test_thread_names(fresh):
    result = fresh(
        """
        import threading, time, quorix
        names = {}
        def record(tag):
            tid = threading.get_native_id()
            with open(f"/proc/self/task/{tid}/comm") as f:
                names[tag] = f.read().strip()
        hs = []
        for i in range(11):  # ids 1..11 for High timers, the twelfth for Realtime
            hs.append(quorix.precision_timer(100.0)(record)(hs and "high" or "first"))
        hs.append(quorix.precision_timer(100.0, realtime=True)(record)("realtime"))
        while len(names) < 3:
            time.sleep(0.01)
        for h in hs:
            h.stop()
        print(hs[0].task_id, names["first"], hs[-1].task_id, names["realtime"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "timer-1-High", "12", "timer-12-Realti"]


def test_dropping_a_running_handle_warns_once_and_unregisters(fresh):
    result = fresh(
        """
        import time, quorix
        tm = quorix.get_task_manager()
        f = quorix.precision_timer(100.0)(lambda: None)
        f()                # dropped at once: warns
        h = f()
        h.stop()
        del h              # stopped: silent
        g = quorix.timer(100.0)(lambda: None)()
        time.sleep(0.05)
        del g              # running: warns
        print(tm.total_count, tm.running_count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "0"]
    assert result.stderr.splitlines() == [DROP_WARNING.format(1), DROP_WARNING.format(3)]


def test_coroutine_function_warns_once_and_still_runs(fresh):
    result = fresh(
        """
        import time, warnings, quorix
        warnings.simplefilter("ignore")  # "coroutine was never awaited", once per call
        async def co():
            pass
        h = quorix.precision_timer(100.0)(co)()
        while h.tick_count() < 3:
            time.sleep(0.01)
        h.stop()
        print("ran")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ran"]
    assert result.stderr.splitlines() == [COROUTINE_WARNING]


def test_failing_coroutine_check_is_ignored(fresh):
    result = fresh(
        """
        import sys, time, quorix
        class Odd:
            def __call__(self):
                pass
            def __getattr__(self, name):
                raise RuntimeError("inspect looked")
        sys.modules["inspect"] = None  # the import fails
        h = quorix.precision_timer(100.0)(Odd())()
        while h.tick_count() < 1:
            time.sleep(0.01)
        h.stop()
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok"]
    assert result.stderr == ""


@pytest.mark.parametrize(
    "frequency, text",
    [
        ("float('inf')", "frequency_hz is too high for a timer: its period (1 / frequency_hz) rounds to 0 ns"),
        ("4e9", "frequency_hz is too high for a timer: its period (1 / frequency_hz) rounds to 0 ns"),
        ("1e-300", "frequency_hz is too low for a timer: its period (1 / frequency_hz) exceeds the longest "
                   "supported period of 2^61 ns (about 73 years)"),
    ],
)
def test_unusable_period_is_refused_at_start_and_uses_up_the_id(fresh, frequency, text):
    result = fresh(
        f"""
        import threading, quorix
        threads = threading.active_count()
        w = quorix.Timer({frequency})(print)
        try:
            w()
        except ValueError as e:
            print(e)
        p = quorix.precision_timer({frequency}, realtime=True)(print)
        try:
            p()
        except ValueError as e:
            print(e)
        print(quorix.get_task_manager().total_count)
        h = quorix.precision_timer(1.0)(lambda: None)()
        h.stop()
        print(h.task_id)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [text, text, "0", "3"]


def test_keyword_in_the_wrapper_call_uses_no_id(fresh):
    result = fresh(
        """
        import quorix
        w = quorix.timer(10.0)(lambda *args, **kwargs: None)
        try:
            w(1, end="")
        except TypeError as e:
            print(e)
        h = w()
        h.stop()
        print(h.task_id, quorix.get_task_manager().total_count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "TimerWrapper.__call__() got an unexpected keyword argument 'end'",
        "1 1",
    ]


@pytest.mark.parametrize("repeat", range(3))
def test_exit_with_timers_running_in_every_mode_is_clean(fresh, repeat):
    # Calls and finalizers that release and retake the lock while the interpreter exits,
    # and timers whose first call races with the exit.
    result = fresh(
        f"""
        import time, quorix
        class Releases:
            def __del__(self):
                time.sleep(0)
        def f():
            time.sleep(0)
            return Releases()
        keep = [quorix.timer(500.0)(f)(), quorix.precision_timer(2000.0)(f)(),
                quorix.precision_timer(20000.0, realtime=True)(f)()]
        while min(h.tick_count() for h in keep) < 3:
            time.sleep(0.01)
        time.sleep({repeat} * 0.01)
        late = [quorix.precision_timer(1000.0)(f)() for _ in range(3)] + [quorix.timer(1000.0)(f)() for _ in range(3)]
        print("bye")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["bye"]


def test_timer_calls_do_not_block_other_python_threads(handles):
    stop = threading.Event()
    progress = []

    def worker():
        while not stop.is_set():
            progress.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=worker)
    t.start()
    try:
        h = quorix.precision_timer(1000.0, realtime=True)(lambda: None)()
        handles.append(h)
        time.sleep(0.2)
        before = len(progress)
        time.sleep(0.2)
        assert len(progress) > before
        assert h.tick_count() > 50
    finally:
        stop.set()
        t.join()


@pytest.mark.parametrize("mode", ["high", "realtime"])
def test_a_thread_busy_in_python_makes_each_call_wait_for_the_lock_once(mode, handles):
    # A thread running Python gives the lock up only when asked to, after the switch interval:
    # each call waits for it about one interval, and nothing before the call (a warm-up that
    # takes the lock too) may add a second wait.
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.02)
    try:
        h = decorator(mode, 1000.0)(lambda: None)()
        handles.append(h)
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            pass
        calls = h.tick_count()
    finally:
        sys.setswitchinterval(old)
    assert calls > 35  # one wait each allows about 50 calls (1000 without a lock); two, 25


@pytest.mark.skipif(not hasattr(quorix, "run_async"), reason="async tasks are not part of this build")
@pytest.mark.parametrize("mode", MODES)
def test_timer_started_from_an_async_task(mode, fresh):
    result = fresh(
        f"""
        import time, quorix
        calls = []
        @quorix.run_async
        def start():
            if {mode!r} == "normal":
                return quorix.timer(100.0)(calls.append)(1)
            return quorix.precision_timer(100.0, realtime={mode == "realtime"})(calls.append)(1)
        h = start().wait(10000)
        deadline = time.monotonic() + 10
        while len(calls) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        h.stop()
        print(len(calls) >= 3, quorix.get_task_manager().timer_count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "0"]


def test_thread_that_cannot_be_created_raises_panic_and_leaves_nothing_behind(fresh):
    result = fresh(
        """
        import resource, sys, quorix
        def f():
            pass
        args = ("payload",)
        w = quorix.precision_timer(100.0)(f)
        refs = sys.getrefcount(f), sys.getrefcount(args[0])
        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        # Too little address space left for a thread stack.
        resource.setrlimit(resource.RLIMIT_AS, (vm + (2 << 20), resource.RLIM_INFINITY))
        try:
            w(*args)
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), str(e).split(":")[0])
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(quorix.get_task_manager().total_count, (sys.getrefcount(f), sys.getrefcount(args[0])) == refs)
        h = w()
        h.stop()
        print(h.task_id)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException False Failed to spawn timer thread", "0 True", "2"]


@pytest.mark.parametrize("mode", MODES)
def test_loop_releases_the_callable_and_arguments_when_it_ends(mode):
    import sys

    def f(arg):
        pass

    arg = object()
    base = sys.getrefcount(f), sys.getrefcount(arg)
    wrapper = decorator(mode, 100.0)(f)
    h = wrapper(arg)
    assert wait_for(lambda: h.tick_count() >= 1)
    h.stop()
    del wrapper
    assert wait_for(lambda: (sys.getrefcount(f), sys.getrefcount(arg)) == base)
