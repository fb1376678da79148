"""A Normal timer whose call cannot be run because the blocking pool cannot start a thread
(resource limits): it stops with one line on stderr instead of hanging with `running` set.
The pool's failure is injected through the test-hooks build's fault seam (a process limit
does not bind for root)."""

import pytest

import quorix

HOOKS = hasattr(quorix.Motor, "_feedback_stats")  # only QUORIX_TEST_HOOKS builds have it

CHILD = """
import gc, time, weakref
import quorix

calls = []
class Tick:
    def __call__(self):
        calls.append(1)
tick = Tick()
released = weakref.ref(tick)
handle = quorix.timer(200.0)(tick)()
del tick
deadline = time.monotonic() + 10
while (handle.is_running() or released() is not None) and time.monotonic() < deadline:
    time.sleep(0.005)
    gc.collect()
tm = quorix.get_task_manager()
print(handle.is_running(), handle.tick_count(), calls, released() is None)
print(tm.running_count, tm.wait_all(timeout_ms=0), tm.status())
"""


@pytest.mark.skipif(not HOOKS, reason="needs a QUORIX_TEST_HOOKS build")
def test_timer_stops_with_a_line_when_the_pool_cannot_start_a_thread(fresh):
    r = fresh(CHILD, env={"QUORIX_TEST_FAIL_BLOCKING_THREADS": "1"})
    assert (r.returncode, r.stderr) == (
        0, "Timer 1 stopped: Failed to start a blocking-pool thread: "
           "Resource temporarily unavailable (os error 11)\n")
    assert r.stdout == (
        "False 0 [] True\n"
        "0 True {'running_timers': 0, 'running_tasks': 0, 'stopped': 1, 'total': 1}\n")
