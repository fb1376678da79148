"""TaskManager and get_task_manager() on an idle registry, and their argument rules."""

import inspect

import pytest

import quorix

STATUS_KEYS = ["running_timers", "running_tasks", "stopped", "total"]


def test_idle_registry_counts_status_and_repr(fresh):
    result = fresh(
        """
        import quorix
        tm = quorix.TaskManager()
        print(tm.running_count, tm.total_count, tm.timer_count, tm.async_task_count)
        print(list(tm.status().items()))
        print(repr(tm))
        print(tm.wait_all(), tm.wait_all(timeout_ms=0), tm.wait_all(5))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "0 0 0 0"
    assert lines[1] == str([(k, 0) for k in STATUS_KEYS])
    assert lines[2] == "TaskManager(timers=0, tasks=0, stopped=0, total=0)"
    assert lines[3] == "True True True"


def test_shutdown_on_idle_registry_returns_true_and_trips_the_flag(fresh):
    result = fresh(
        """
        import time, quorix
        tm = quorix.get_task_manager()
        t0 = time.monotonic()
        print(tm.shutdown(), tm.shutdown(timeout_ms=5000), quorix.TaskManager().shutdown(None))
        print(time.monotonic() - t0 < 1.0)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True", "True", "True"]


def test_get_task_manager_returns_new_objects_with_the_same_view():
    a = quorix.get_task_manager()
    b = quorix.get_task_manager()
    assert a is not b
    assert type(a) is quorix.TaskManager
    assert a.status() == b.status()
    assert repr(a) == repr(b)


def test_status_dict_has_keys_in_order():
    assert list(quorix.TaskManager().status()) == STATUS_KEYS


def test_cleanup_on_consistent_registry_keeps_counts_consistent():
    tm = quorix.TaskManager()
    assert tm.cleanup() is None
    s = tm.status()
    assert s["running_timers"] + s["running_tasks"] + s["stopped"] == s["total"]


@pytest.mark.parametrize(
    "call, exc_type, text",
    [
        (lambda: quorix.TaskManager(1), TypeError,
         "TaskManager.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: quorix.TaskManager(x=1), TypeError,
         "TaskManager.__new__() got an unexpected keyword argument 'x'"),
        (lambda: quorix.TaskManager().wait_all(1, 2), TypeError,
         "TaskManager.wait_all() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: quorix.TaskManager().wait_all(1, timeout_ms=2), TypeError,
         "TaskManager.wait_all() got multiple values for argument 'timeout_ms'"),
        (lambda: quorix.TaskManager().wait_all(timeout=2), TypeError,
         "TaskManager.wait_all() got an unexpected keyword argument 'timeout'"),
        (lambda: quorix.TaskManager().status(1), TypeError,
         "TaskManager.status() takes 0 positional arguments but 1 was given"),
        (lambda: quorix.get_task_manager(1), TypeError,
         "get_task_manager() takes 0 positional arguments but 1 was given"),
        (lambda: quorix.TaskManager().wait_all("x"), TypeError,
         "argument 'timeout_ms': 'str' object cannot be interpreted as an integer"),
        (lambda: quorix.TaskManager().shutdown(1.5), TypeError,
         "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_argument_errors(call, exc_type, text):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == text


def test_conversion_error_keeps_the_original_as_cause():
    with pytest.raises(TypeError) as info:
        quorix.TaskManager().wait_all("x")
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == "'str' object cannot be interpreted as an integer"


@pytest.mark.parametrize("value", [-1, 2**64])
def test_out_of_range_timeout_raises_overflow_unchanged(value):
    with pytest.raises(OverflowError):
        quorix.TaskManager().wait_all(timeout_ms=value)


def test_index_objects_are_accepted_as_timeouts():
    class Ms:
        def __index__(self):
            return 0

    assert quorix.TaskManager().wait_all(Ms()) is True


def test_properties_are_read_only_and_documented():
    tm = quorix.TaskManager()
    for name in ["running_count", "total_count", "timer_count", "async_task_count"]:
        assert inspect.getdoc(getattr(quorix.TaskManager, name))
        with pytest.raises(AttributeError):
            setattr(tm, name, 1)


def test_method_signatures():
    assert str(inspect.signature(quorix.TaskManager.wait_all)) == "(self, /, timeout_ms=None)"
    assert str(inspect.signature(quorix.TaskManager.shutdown)) == "(self, /, timeout_ms=None)"
    assert str(inspect.signature(quorix.TaskManager.status)) == "(self, /)"
