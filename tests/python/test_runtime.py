"""The shared runtime as a Python program sees it: created once on first use, one worker
per CPU the process may run on, and never before it is needed."""

import pytest

# Helpers for the snippets below: the threads of this process by name.
THREADS = """
import os, time

def names():
    out = {}
    for tid in os.listdir('/proc/self/task'):
        try:
            with open(f'/proc/self/task/{tid}/comm') as f:
                out[tid] = f.read().strip()
        except FileNotFoundError:
            pass
    return out

def named(name):
    return {tid for tid, n in names().items() if n == name}

def settled(name):
    # A thread names itself as it starts, and until then carries its creator's name (a
    # blocking-pool thread that a worker starts is a 'quorix-worker' for a moment): the
    # same threads seen twice in a row, 0.1 s apart, are the settled set.
    seen = named(name)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        time.sleep(0.1)
        if (now := named(name)) == seen:
            break
        seen = now
    return seen
"""

RACE_FIRST_USE = """
import sys, threading
os.sched_setaffinity(0, {cpus})
import quorix

before = [n for n in names().values() if n.startswith('quorix-')]
barrier = threading.Barrier(8)
handles = []
lock = threading.Lock()

def start():
    barrier.wait()
    h = quorix.timer(1000)(lambda: None)()   # a Normal timer: first use of the runtime
    with lock:
        handles.append(h)

threads = [threading.Thread(target=start) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
# Stopped timers start no more pool threads: the workers' names settle.
for h in handles: h.stop()
deadline = time.monotonic() + 10
while time.monotonic() < deadline and not named('quorix-reactor'):
    time.sleep(0.01)
print(len(before), len(settled('quorix-worker')), len(named('quorix-reactor')))
"""


@pytest.mark.parametrize("cpus", [{0}, {0, 1}])
def test_racing_first_use_builds_one_runtime_with_one_worker_per_allowed_cpu(fresh, cpus):
    import os

    if not cpus <= os.sched_getaffinity(0):
        pytest.skip(f"needs CPUs {sorted(cpus)}")
    result = fresh(THREADS + RACE_FIRST_USE.format(cpus=cpus))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", str(len(cpus)), "1"]


def test_workers_stay_alive_while_the_interpreter_idles(fresh):
    result = fresh(
        THREADS
        + """
import quorix
h = quorix.timer(100)(lambda: None)()
h.stop()
first = settled('quorix-worker')
time.sleep(0.3)
print(len(first) > 0, named('quorix-worker') == first)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
