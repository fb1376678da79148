"""The shared runtime as a Python program sees it: created once on first use, one worker
per CPU the process may run on, and never before it is needed."""

import pytest

RACE_FIRST_USE = """
import os, sys, threading
os.sched_setaffinity(0, {cpus})
import quorix

def names():
    out = []
    for tid in os.listdir('/proc/self/task'):
        try:
            with open(f'/proc/self/task/{{tid}}/comm') as f:
                out.append(f.read().strip())
        except FileNotFoundError:
            pass
    return out

before = [n for n in names() if n.startswith('quorix-')]
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
# A new thread names itself as it starts: wait until the reactor and every worker that
# will ever come have named themselves, then count once more.
import time
deadline = time.monotonic() + 5
while time.monotonic() < deadline and names().count('quorix-reactor') == 0:
    time.sleep(0.01)
time.sleep(0.2)
after = names()
print(len(before), after.count('quorix-worker'), after.count('quorix-reactor'))
for h in handles: h.stop()
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
