"""Garbage collection: reference cycles through the module's objects are collected, and a
collected handle leaves the task registry. These classes take no weak references, so
instances are counted by finalizers of the objects in their cycles."""

import gc
import threading
import time

import pytest

import quorix

N = 2000
LONG = 30  # seconds; only ever waited for when something is broken


class Counted:
    """Appends to `freed` when finalized; callable, so it can be what a decorator wraps."""

    def __init__(self, freed):
        self.freed = freed

    def __call__(self, *args):
        return None

    def __del__(self):
        self.freed.append(1)


@pytest.fixture
def manager():
    gc.collect()  # what earlier tests left unreachable goes before any baseline is taken
    return quorix.get_task_manager()


MAKERS = {
    "RunAsync": quorix.RunAsync,
    "run_async": quorix.run_async,
    "timer": lambda f: quorix.timer(10.0)(f),
    "Timer": lambda f: quorix.Timer(10.0)(f),
    "precision_timer": lambda f: quorix.precision_timer(100.0)(f),
    "realtime": lambda f: quorix.PrecisionTimer(50000.0, realtime=True)(f),
}


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
def test_decorated_objects_whose_function_refers_back_are_collected(make, manager):
    freed = []
    for _ in range(N):
        func = Counted(freed)
        func.owner = make(func)
    del func
    gc.collect()
    assert len(freed) == N


class Calling(Counted):
    def __init__(self, freed, calls):
        super().__init__(freed)
        self.calls = calls

    def __call__(self):
        self.calls.append(1)


def test_started_timer_outlives_its_collected_wrapper(manager):
    # The wrapper and its function form a cycle; the timer started from it holds the
    # function itself, so collecting the wrapper leaves the timer calling it.
    freed, calls = [], []
    func = Calling(freed, calls)
    func.owner = quorix.timer(200.0)(func)
    handle = func.owner()
    del func
    gc.collect()
    try:
        deadline = time.monotonic() + LONG
        while len(calls) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(calls) >= 3 and freed == []
    finally:
        handle.stop()
    deadline = time.monotonic() + LONG
    while freed == [] and time.monotonic() < deadline:  # the loop lets go once it ends
        time.sleep(0.01)
        gc.collect()
    assert freed == [1]


RESULT_CYCLES = {
    # The result is an object that refers to the handle.
    "attribute": lambda h, result: setattr(result, "handle", h),
    # The result holds the handle in a list it owns.
    "list": lambda h, result: result.items.append(h),
}


class Result(Counted):
    def __init__(self, freed):
        super().__init__(freed)
        self.items = []


@pytest.mark.parametrize("link", RESULT_CYCLES.values(), ids=RESULT_CYCLES.keys())
def test_finished_handles_whose_result_refers_back_are_collected_and_unregistered(link, manager):
    baseline = manager.total_count
    freed = []
    f = quorix.run_async(lambda: Result(freed))
    for _ in range(N):
        h = f()
        link(h, h.wait())
    del h
    gc.collect()
    assert len(freed) == N
    assert manager.total_count == baseline


@pytest.mark.parametrize("cancel", [False, True], ids=["running", "cancelled-while-running"])
def test_handle_dropped_while_its_task_runs_is_collected_once_it_finished(cancel, manager, capfd):
    # While the body runs it holds the arguments, which refer to the handle: the cycle
    # is reachable from outside the collector's view until the task has finished.
    baseline = manager.total_count
    gate = threading.Event()
    started = threading.Semaphore(0)
    freed = []
    count = 8  # few enough to run at once on any thread bound

    def body(box):
        started.release()
        assert gate.wait(LONG)
        return box

    f = quorix.run_async(body)
    boxes = []
    for _ in range(count):
        box = Result(freed)
        box.items.append(f(box))
        boxes.append(box)
    for box in boxes:
        assert started.acquire(timeout=LONG)
        if cancel:
            box.items[0].cancel()  # a mark only: the running body goes on and stores its result
    del box, boxes
    gc.collect()
    assert freed == []
    gate.set()
    deadline = time.monotonic() + LONG
    while (len(freed) < count or manager.total_count != baseline) and time.monotonic() < deadline:
        time.sleep(0.01)
        gc.collect()
    assert len(freed) == count
    assert manager.total_count == baseline
    assert "dropped while task still running" not in capfd.readouterr().err


STRESS = """
    import gc, sys, threading, time, quorix

    class Node:
        def __init__(self, freed):
            self.freed = freed
            self.items = []
        def __call__(self):
            return self  # the result refers back to the handle through the node
        def __del__(self):
            self.freed.append(1)

    class Ticker(Node):
        def __call__(self):
            return None

    tm = quorix.get_task_manager()
    gc.collect()
    baseline = tm.total_count
    stop = threading.Event()
    collections = [0]

    def collect():
        while not stop.is_set():
            gc.collect()
            collections[0] += 1
            time.sleep(0.0005)  # back to back, the pauses would starve the thread making cycles

    collectors = [threading.Thread(target=collect) for _ in range(2)]
    for t in collectors:
        t.start()

    freed = []
    made = 0
    timers = []
    end = time.monotonic() + 2.0
    while time.monotonic() < end:
        # Tasks still running while the collectors traverse their handles.
        for _ in range(50):
            node = Node(freed)
            node.items.append(quorix.RunAsync(node))
            node.items.append(node.items[0]())
            node.items[1].try_result()
            made += 1
        # Timers calling objects that sit in cycles with their wrappers.
        node = Ticker(freed)
        node.items.append(quorix.timer(500.0)(node))
        timers.append(node.items[0]())
        made += 1
        if len(timers) > 5:
            timers.pop(0).stop()
    for h in timers:
        h.stop()
    del node, timers, h
    stop.set()
    for t in collectors:
        t.join()
    ok = tm.wait_all(30000)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        gc.collect()
        if len(freed) == made and tm.total_count == baseline:
            break
        time.sleep(0.01)
    print(ok, len(freed) == made, tm.total_count - baseline, collections[0] > 0)
"""


def test_collections_in_a_loop_while_tasks_and_timers_run(fresh):
    result = fresh(STRESS, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True", "0", "True"]
    assert result.stderr == ""
