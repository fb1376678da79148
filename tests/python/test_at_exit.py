"""Work started from an atexit handler that runs after the module stopped taking the
interpreter lock on its own threads (a handler registered before the module's first
background work runs after the module's own exit handler): a task fails without calling
its function, a timer ends at once; neither prints anything."""

import pytest

NOT_CALLED = "Interpreter is exiting: the task's function was not called"

CHILD = """
import atexit, time

def late():
    import quorix
    calls = []
    {probe}

atexit.register(late)   # before the module's own exit handler exists: runs after it

import quorix
quorix.run_async(lambda: None)().wait()   # the first background work
"""

TASK = """
    h = quorix.run_async(lambda: calls.append(1))()
    try:
        print("returned", repr(h.wait()))
    except RuntimeError as e:
        print("RuntimeError:", e)
    try:
        print("returned", repr(h.try_result()))
    except RuntimeError as e:
        print("RuntimeError:", e)
    print(h.is_completed(), h.is_done(), repr(h), calls)
"""

TIMER = """
    h = {decorator}(lambda: calls.append(1))()
    deadline = time.monotonic() + 10
    while h.is_running() and time.monotonic() < deadline:
        time.sleep(0.005)
    print(h.is_running(), h.tick_count(), calls, quorix.get_task_manager().running_count)
"""


@pytest.mark.parametrize(
    "probe, printed",
    [
        (TASK, f"RuntimeError: {NOT_CALLED}\nRuntimeError: {NOT_CALLED}\n"
               "True True AsyncHandle(id=2, status=completed) []\n"),
        (TIMER.format(decorator="quorix.timer(200.0)"), "False 0 [] 0\n"),
        (TIMER.format(decorator="quorix.precision_timer(200.0)"), "False 0 [] 0\n"),
        (TIMER.format(decorator="quorix.precision_timer(200.0, realtime=True)"), "False 0 [] 0\n"),
    ],
    ids=["run_async", "timer", "precision_timer", "precision_timer-realtime"],
)
def test_work_started_after_the_exit_gate_closed(fresh, probe, printed):
    r = fresh(CHILD.format(probe=probe))
    assert (r.returncode, r.stdout, r.stderr) == (0, printed, "")
