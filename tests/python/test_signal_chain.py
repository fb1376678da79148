"""The SIGINT/SIGTERM handler of block_all and block_until when the program installs its own
signal handlers in between (asyncio.run() does so on entry and restores Python's on exit):
the next wait puts ours back, chaining to the handler it found, and Ctrl+C ends it."""

import pytest

RECEIVED = "\n[quorix] Received SIGINT, initiating graceful shutdown...\n"
CLEAN = "[quorix] All tasks stopped successfully\n"

# Presses Ctrl+C once block_all listens: our handler is in place (the listener exists
# before it goes in) when the process's SIGINT handler is no longer the one found before
# the call. If it never comes back, SIGTERM ends the wait instead, so a fault shows as a
# wrong result rather than a hang.
CHILD = """
import asyncio, ctypes, os, signal, threading, time
import quorix

libc = ctypes.CDLL(None, use_errno=True)

class Sigaction(ctypes.Structure):
    _fields_ = [("handler", ctypes.c_void_p), ("mask", ctypes.c_ulong * 16),
                ("flags", ctypes.c_int), ("restorer", ctypes.c_void_p)]

def installed_handler():
    sa = Sigaction()
    assert libc.sigaction(signal.SIGINT, None, ctypes.byref(sa)) == 0
    return sa.handler

{setup}

found = installed_handler()

def press_ctrl_c():
    deadline = time.monotonic() + 15
    while installed_handler() == found and time.monotonic() < deadline:
        time.sleep(0.005)
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(15)
    os.kill(os.getpid(), signal.SIGTERM)

threading.Thread(target=press_ctrl_c, daemon=True).start()
print(quorix.block_all(), flush=True)
time.sleep(0.05)  # a KeyboardInterrupt left pending would be raised here
print("after", flush=True)
"""

ASYNCIO_ROUND = """
quorix.block_until(wait_ms=10)
asyncio.run(asyncio.sleep(0))
"""


@pytest.mark.parametrize(
    "setup, printed",
    [
        (ASYNCIO_ROUND, ""),
        # Twice: ours is reinstalled over Python's again and must never chain to itself.
        (ASYNCIO_ROUND * 2, ""),
        # The program's own handler runs once, from the wait's own signal check.
        ("quorix.block_until(wait_ms=10)\n"
         "signal.signal(signal.SIGINT, lambda s, f: print('program handler', flush=True))\n",
         "program handler\n"),
    ],
    ids=["asyncio-run", "asyncio-run-twice", "program-handler"],
)
def test_ctrl_c_ends_block_all_after_the_handler_was_replaced(fresh, setup, printed):
    r = fresh(CHILD.format(setup=setup))
    assert (r.returncode, r.stdout) == (0, printed + "SIGINT\nafter\n"), r.stderr
    assert r.stderr.endswith(RECEIVED + CLEAN)
