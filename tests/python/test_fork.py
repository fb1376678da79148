"""os.fork(): a child forked after the runtime started has none of its threads, so every
call that needs the runtime raises RuntimeError instead of hanging, the registry shows what
it inherited as stopped, and the child exits normally. A child forked before the runtime
started works as any process does."""

import pytest

FORKED = (
    "quorix cannot be used in a process forked after its runtime started; "
    "use the 'spawn' or 'forkserver' start method"
)

# The parent forks once its setup ran; the child runs its probe, writes what it saw to a
# pipe and leaves through a normal interpreter exit (atexit handlers included). The parent
# prints the child's report and exit status, or "hung" if it does not end.
PARENT = """
import os, sys, threading, time, warnings
warnings.filterwarnings("ignore", category=DeprecationWarning)   # fork() with threads
import quorix

def attempt(fn):
    try:
        return repr(fn())
    except Exception as e:
        return f"{{type(e).__name__}}: {{e}}"

{setup}

r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(r)
    report = []
    def see(*items):
        report.append(" ".join(str(i) for i in items))
{probe}
    os.write(w, ("\\n".join(report) + "\\n").encode())
    os.close(w)
    sys.exit(7)
os.close(w)
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    ended, status = os.waitpid(pid, os.WNOHANG)
    if ended:
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
with os.fdopen(r) as f:
    print(f.read(), end="")
print("exit", os.waitstatus_to_exitcode(status) if ended else "hung")
{teardown}
"""

AFTER_START_SETUP = """
gate = threading.Event()
task = quorix.run_async(gate.wait)()
normal = quorix.timer(100.0)(lambda: None)()
high = quorix.precision_timer(100.0)(lambda: None)()
done = quorix.run_async(lambda: 42)()
done.wait()
"""

AFTER_START_PROBE = """
    see(attempt(task.wait))
    see(attempt(lambda: task.wait(timeout_ms=10)))
    see(attempt(task.try_result))
    see(attempt(done.wait), attempt(done.try_result))
    see(attempt(lambda: quorix.run_async(lambda: 1)()))
    see(attempt(lambda: quorix.timer(10.0)(lambda: None)()))
    see(attempt(lambda: quorix.block_until(wait_ms=1)))
    see(attempt(lambda: quorix.block_all()))
    see(normal.is_running(), high.is_running(), quorix.get_task_manager().status())
    see(quorix.get_task_manager().wait_all())
    ticks = []
    own = quorix.precision_timer(200.0)(lambda: ticks.append(1))()
    deadline = time.monotonic() + 10
    while len(ticks) < 3 and time.monotonic() < deadline:
        time.sleep(0.005)
    own.stop()
    see("own thread ticks", len(ticks) >= 3, quorix.shutdown_all(timeout_ms=1000))
    task.cancel()
"""

AFTER_START_REPORT = f"""RuntimeError: {FORKED}
RuntimeError: {FORKED}
RuntimeError: {FORKED}
42 42
RuntimeError: {FORKED}
RuntimeError: {FORKED}
RuntimeError: {FORKED}
RuntimeError: {FORKED}
False False {{'running_timers': 0, 'running_tasks': 0, 'stopped': 4, 'total': 4}}
True
own thread ticks True True
exit 7
"""

BEFORE_START_PROBE = """
    see(attempt(lambda: quorix.run_async(lambda x: 2 * x)(21).wait()))
    ticks = []
    own = quorix.timer(200.0)(lambda: ticks.append(1))()
    deadline = time.monotonic() + 10
    while len(ticks) < 3 and time.monotonic() < deadline:
        time.sleep(0.005)
    own.stop()
    see("normal timer ticks", len(ticks) >= 3)
    see(attempt(lambda: quorix.block_until(wait_ms=1)))
"""


@pytest.mark.parametrize(
    "setup, probe, report, teardown",
    [
        (AFTER_START_SETUP, AFTER_START_PROBE, AFTER_START_REPORT,
         "gate.set(); print(task.wait(), normal.is_running(), quorix.get_task_manager().status())"),
        ("", BEFORE_START_PROBE, "42\nnormal timer ticks True\n('timeout', True)\nexit 7\n",
         "print(attempt(lambda: quorix.run_async(lambda: 'parent')().wait()))"),
    ],
    ids=["after-runtime-start", "before-runtime-start"],
)
def test_forked_child(fresh, setup, probe, report, teardown):
    r = fresh(PARENT.format(setup=setup, probe=probe, teardown=teardown))
    assert r.returncode == 0, r.stderr
    child, parent_after = r.stdout[: len(report)], r.stdout[len(report):]
    assert child == report, r.stdout + r.stderr
    # The parent is untouched by its child.
    assert parent_after == (
        "True True {'running_timers': 2, 'running_tasks': 0, 'stopped': 2, 'total': 4}\n"
        if setup else "'parent'\n"
    )
