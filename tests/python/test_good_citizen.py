"""quorix inside someone else's program: the processes and threads that background work
starts, how many threads the background work itself takes, and Ctrl+C during the waits."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorix

# ---- signal masks of what background work starts ----------------------------------------

MASK_PROBE = """
import os, signal, subprocess, sys, threading, quorix

def sigblk(path):
    with open(path) as f:
        for line in f:
            if line.startswith('SigBlk:'):
                return line.split()[1]

def own_mask():
    return sigblk(f'/proc/self/task/{threading.get_native_id()}/status')

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})  # the application's own choice
main_mask = own_mask()

def start_runtime():
    # Another thread with another mask: only the main thread's counts.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR2})
    quorix.run_async(lambda: None)().wait()

if CREATOR == 'other thread':
    t = threading.Thread(target=start_runtime)
    t.start()
    t.join()

def start_child_and_thread():
    child = subprocess.Popen(['sleep', '30'])
    seen = []
    t = threading.Thread(target=lambda: seen.append(own_mask()))
    t.start()
    t.join()
    return child, sigblk(f'/proc/{child.pid}/status'), seen[0]

if LAUNCHER == 'run_async':
    child, child_mask, thread_mask = quorix.run_async(start_child_and_thread)().wait()
else:
    done = threading.Event()
    out = []
    def tick():
        if not out:
            out.append(start_child_and_thread())
            done.set()
    handle = quorix.timer(200)(tick)()
    done.wait(30)
    handle.stop()
    child, child_mask, thread_mask = out[0]

try:
    child.terminate()
    rc = child.wait(timeout=10)
except subprocess.TimeoutExpired:
    child.kill()
    rc = 'unstoppable'
print(main_mask, child_mask, thread_mask, rc)
"""


@pytest.mark.parametrize("creator", ["main", "other thread"])
@pytest.mark.parametrize("launcher", ["run_async", "timer"])
def test_children_and_threads_started_in_background_have_the_main_threads_mask(fresh, creator, launcher):
    result = fresh(f"CREATOR = {creator!r}\nLAUNCHER = {launcher!r}\n" + MASK_PROBE)
    assert result.returncode == 0, result.stderr
    main_mask, child_mask, thread_mask, rc = result.stdout.split()
    assert int(main_mask, 16) == 1 << (signal.SIGUSR1 - 1)
    assert (child_mask, thread_mask, rc) == (main_mask, main_mask, str(-signal.SIGTERM))


def test_signal_sent_to_a_background_thread_during_a_call_reaches_the_main_threads_handler(fresh):
    result = fresh(
        """
        import os, signal, threading, quorix
        got = threading.Event()
        signal.signal(signal.SIGUSR1, lambda *a: got.set())
        def poke():
            signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)  # this very thread
            return threading.get_native_id() != os.getpid()
        print(quorix.run_async(poke)().wait(), got.wait(20))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]


# ---- threads of the background work --------------------------------------------------------

DEFAULT_BOUND = 512
# Main thread, reactor, a worker per CPU, and some slack for threads that are just leaving.
OTHER_THREADS = 2 + os.cpu_count() + 4
HOOKS = hasattr(quorix.Motor, "_feedback_stats")  # a build with test hooks compiled in
needs_hooks = pytest.mark.skipif(not HOOKS, reason="needs a build with test hooks")


def bound_env(bound):
    return {"QUORIX_TEST_MAX_BLOCKING_THREADS": str(bound)}


@pytest.mark.parametrize("bound", [None, pytest.param(3, marks=needs_hooks)])
def test_many_pending_tasks_use_a_bounded_number_of_threads(fresh, bound):
    result = fresh(
        """
        import quorix
        def threads():
            with open('/proc/self/status') as f:
                for line in f:
                    if line.startswith('Threads:'):
                        return int(line.split()[1])
        f = quorix.run_async(lambda i: i)
        peak = 0
        handles = []
        for i in range(10000):
            handles.append(f(i))
            if i % 50 == 0:
                peak = max(peak, threads())
        results = []
        for i, h in enumerate(handles):
            results.append(h.wait())
            if i % 50 == 0:
                peak = max(peak, threads())
        print(peak, results == list(range(10000)))
        """,
        timeout=300,
        env=bound_env(bound) if bound else None,
    )
    assert result.returncode == 0, result.stderr
    peak, all_done = result.stdout.split()
    assert all_done == "True"
    assert int(peak) <= (bound or DEFAULT_BOUND) + OTHER_THREADS


@needs_hooks
def test_pending_tasks_start_in_the_order_they_were_called(fresh):
    result = fresh(
        """
        import quorix
        order = []
        f = quorix.run_async(order.append)
        handles = [f(i) for i in range(200)]
        for h in handles:
            h.wait()
        print(order == list(range(200)))
        """,
        env=bound_env(1),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True"]


@needs_hooks
@pytest.mark.parametrize("wait", ["h.wait()", "h.wait(timeout_ms=30000)", "(h.try_result() or h.wait())"])
def test_tasks_waiting_for_tasks_queued_behind_them_do_not_deadlock_at_the_bound(fresh, wait):
    # Each link waits for the next one, started after it: with two threads, the first two
    # links hold both while the rest are still queued.
    result = fresh(
        f"""
        import threading, quorix
        N = 8
        handles = [None] * N
        all_started = threading.Event()
        @quorix.run_async
        def link(i):
            all_started.wait(30)
            if i == N - 1:
                return 0
            h = handles[i + 1]
            return {wait} + 1
        for i in range(N):
            handles[i] = link(i)
        all_started.set()
        print(handles[0].wait(timeout_ms=30000))
        """,
        env=bound_env(2),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["7"]


# ---- Ctrl+C during the module's waits ------------------------------------------------------

INTERRUPTED_WAIT = """
import os, signal, threading, time, quorix
forever = threading.Event()
if HANDLER == 'ends the tasks':
    signal.signal(signal.SIGINT, lambda *a: forever.set())
tm = quorix.get_task_manager()
h = quorix.run_async(lambda: forever.wait() and 'woken')()
since = [None]  # when the call in progress began
waiting = threading.Event()

def report_a_long_call():
    while not waiting.is_set():
        t = since[0]
        if t is not None and time.monotonic() - t > 0.3:
            waiting.set()
            print('waiting', flush=True)
        time.sleep(0.01)

late = []
def start_a_task_after_each_stop():
    # shutdown() and shutdown_all() stop everything before they wait: only a task started
    # after that stop, and before their first look, gives them something to wait for.
    while not waiting.is_set():
        if tm.running_count == 0:
            late.append(quorix.run_async(forever.wait)())

stops_first = WAIT.startswith(('tm.shutdown', 'quorix.shutdown_all'))
if stops_first:
    threading.Thread(target=start_a_task_after_each_stop, daemon=True).start()
threading.Thread(target=report_a_long_call, daemon=True).start()
try:
    for attempt in range(100000):
        since[0] = time.monotonic()
        result = eval(WAIT)
        since[0] = None
        if waiting.is_set() or not stops_first:
            break
except KeyboardInterrupt:
    print('KeyboardInterrupt', flush=True)
    os._exit(0)
print('returned', result, flush=True)
os._exit(0)
"""

WAITS = [
    "h.wait()",
    "h.wait(timeout_ms=60000)",
    "tm.wait_all()",
    "tm.shutdown()",
    "quorix.shutdown_all()",
]


def interrupt_during(wait, handler):
    code = f"WAIT = {wait!r}\nHANDLER = {handler!r}\n" + INTERRUPTED_WAIT
    proc = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = b""
        while not line.endswith(b"\n"):  # unbuffered: what follows is left to communicate()
            byte = os.read(proc.stdout.fileno(), 1)
            assert byte, proc.communicate()
            line += byte
        assert line == b"waiting\n"
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
        return out, err, time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


@pytest.mark.parametrize("wait", WAITS)
def test_ctrl_c_raises_keyboard_interrupt_out_of_a_wait(wait):
    out, err, elapsed = interrupt_during(wait, "default")
    assert out == "KeyboardInterrupt\n", err
    assert elapsed < 5  # generous: the wait itself would never end


@pytest.mark.parametrize(
    "wait, result",
    [("h.wait()", "woken"), ("tm.wait_all()", "True"), ("tm.shutdown()", "True"), ("quorix.shutdown_all()", "True")],
)
def test_a_signal_handler_that_raises_nothing_runs_during_the_wait_which_goes_on(wait, result):
    # The handler ends the tasks waited for: the wait then returns as usual.
    out, err, elapsed = interrupt_during(wait, "ends the tasks")
    assert out == f"returned {result}\n", err
    assert elapsed < 5
