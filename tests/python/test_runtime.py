"""The shared runtime as a Python program sees it: created once on first use, one worker
per CPU the process may run on, and never before it is needed."""

import pytest

RACE_FIRST_USE = """
import os, sys, threading
os.sched_setaffinity(0, {cpus})
import quorix

def names():
    out = {{}}
    for tid in os.listdir('/proc/self/task'):
        try:
            with open(f'/proc/self/task/{{tid}}/comm') as f:
                out[tid] = f.read().strip()
        except FileNotFoundError:
            pass
    return out

def named(name):
    return {{tid for tid, n in names().items() if n == name}}

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
# The timers' calls run on blocking-pool threads, which workers start: a new one carries
# its creator's name until it names itself. Stop the timers, so that no more are started,
# then count once the same worker threads have been seen twice in a row.
for h in handles: h.stop()
import time

deadline = time.monotonic() + 10
while time.monotonic() < deadline and not named('quorix-reactor'):
    time.sleep(0.01)
seen = named('quorix-worker')
while time.monotonic() < deadline:
    time.sleep(0.1)
    now = named('quorix-worker')
    if now == seen:
        break
    seen = now
print(len(before), len(seen), len(named('quorix-reactor')))
"""


@pytest.mark.parametrize("cpus", [{0}, {0, 1}])
def test_racing_first_use_builds_one_runtime_with_one_worker_per_allowed_cpu(fresh, cpus):
    import os

    if not cpus <= os.sched_getaffinity(0):
        pytest.skip(f"needs CPUs {sorted(cpus)}")
    result = fresh(RACE_FIRST_USE.format(cpus=cpus))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", str(len(cpus)), "1"]


def test_workers_stay_alive_while_the_interpreter_idles(fresh):
    result = fresh(
        """
        import os, time, quorix
        h = quorix.timer(100)(lambda: None)()
        h.stop()
        def workers():
            n = 0
            for tid in os.listdir('/proc/self/task'):
                with open(f'/proc/self/task/{tid}/comm') as f:
                    n += f.read().strip() == 'quorix-worker'
            return n
        time.sleep(0.2)  # threads name themselves as they start
        first = workers()
        time.sleep(0.3)
        print(first > 0, workers() == first)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
