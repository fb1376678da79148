"""Pieces shared by every test directory: a named time limit for each test.

pytest-timeout (configured in pyproject.toml, PYTEST_TIMEOUT overrides it) stops a test that
runs over its time from a watching thread, so even a hang inside native code that never
returns to Python is caught; it dumps every thread's stack and ends the run. The line added
here names the test first, so a hung run says which test hung.
"""

import threading

import pytest

try:
    import pytest_timeout
except ImportError:  # a venv set up before the tool list had it: no time limit
    pytest_timeout = None


if pytest_timeout is not None:

    @pytest.hookimpl(tryfirst=True)
    def pytest_timeout_set_timer(item, settings):
        if settings.method != "thread":
            return None  # the plugin's own signal timer fails the test by name already

        def expire():
            capman = item.config.pluginmanager.getplugin("capturemanager")
            if capman:
                capman.suspend_global_capture()
            item.config.get_terminal_writer().line(
                f"\nTIMEOUT {item.nodeid}: still running after {settings.timeout:g} s; stopping the test run"
            )
            pytest_timeout.timeout_timer(item, settings)  # stack dumps, then os._exit(1)

        timer = threading.Timer(settings.timeout, expire)
        timer.name = f"pytest-timeout {item.nodeid}"
        timer.daemon = True

        def cancel():
            timer.cancel()
            timer.join()

        item.cancel_timeout = cancel
        timer.start()
        return True
