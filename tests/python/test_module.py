"""The module surface: names, class properties, docstrings, import behaviour."""

import inspect
import sysconfig

import pytest

import quorix

PUBLIC_NAMES = [
    "AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "Device", "Motor", "PrecisionTimer",
    "TaskManager", "RunAsync", "Timer", "TimerHandle", "TimerWrapper",
    "timer", "precision_timer", "run_async", "get_task_manager", "shutdown_all", "block_all",
    "block_until",
]
CLASSES = [n for n in PUBLIC_NAMES if n[0].isupper()]
FUNCTIONS = [n for n in PUBLIC_NAMES if n[0].islower()]
NOT_INSTANTIABLE = ["AsyncHandle", "Device", "TimerHandle", "TimerWrapper"]
SIGNATURES = {
    "CanDevice": "(interface)",
    "CanDeviceNonBlocking": "(interface)",
    "Motor": "(interface, host=None, host_id=None)",
    "PrecisionTimer": "(frequency_hz, realtime=False)",
    "TaskManager": "()",
    "RunAsync": "(func)",
    "Timer": "(frequency_hz)",
    "timer": "(frequency_hz)",
    "precision_timer": "(frequency_hz, realtime=False)",
    "run_async": "(func)",
    "get_task_manager": "()",
    "shutdown_all": "(timeout_ms=None)",
    "block_all": "(timeout_ms=None)",
    "block_until": "(wait_ms=None, shutdown_timeout_ms=None)",
}


def test_public_names_are_exactly_the_eighteen_in_order():
    public = [n for n in vars(quorix) if not n.startswith("__")]
    assert public == PUBLIC_NAMES


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(quorix, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", NOT_INSTANTIABLE)
def test_classes_without_constructor_refuse_instantiation(name):
    with pytest.raises(TypeError):
        getattr(quorix, name)()


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signatures(name):
    obj = getattr(quorix, name)
    assert str(inspect.signature(obj)) == SIGNATURES[name]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_with_docstrings(name):
    fn = getattr(quorix, name)
    assert inspect.isbuiltin(fn)
    assert fn.__name__ == name
    assert fn.__module__ == "quorix"
    assert fn.__text_signature__ is not None
    assert fn.__doc__


def test_every_method_and_property_has_a_docstring():
    missing = []
    for name in CLASSES:
        cls = getattr(quorix, name)
        for attr, value in vars(cls).items():
            if attr.startswith("__"):
                continue
            if not getattr(value, "__doc__", None):
                missing.append(f"{name}.{attr}")
    assert missing == []


def test_import_starts_no_thread_and_keeps_gil_disabled(fresh):
    result = fresh(
        """
        import os, sys, sysconfig
        def threads():
            return len(os.listdir('/proc/self/task'))
        before = threads()
        import quorix
        after = threads()
        ft = bool(sysconfig.get_config_var('Py_GIL_DISABLED'))
        print(before, after, ft, ft and sys._is_gil_enabled())
        """
    )
    assert result.returncode == 0, result.stderr
    before, after, _ft, gil_back_on = result.stdout.split()
    assert before == after
    assert gil_back_on == "False"


def test_panic_exception_is_a_base_exception_not_an_exception(fresh):
    # Reached through a refused subinterpreter import is overkill; the type hangs off
    # any PanicException raised. Here: the module is not importable in a subinterpreter.
    result = fresh(
        """
        import _interpreters as interpreters  # 3.13+: private but present
        interp = interpreters.create()
        try:
            err = interpreters.exec(interp, "import quorix")
        except Exception as exc:
            print("raised", type(exc).__name__)
        else:
            print("result", None if err is None else err.type.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() in {"result ImportError", "raised ImportError"}


def test_free_threaded_build_detected_consistently():
    # Guards the suite's own assumption used by several tests.
    ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    import sys

    assert ft == (hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled())


@pytest.mark.parametrize(
    "call, callable_name",
    [
        (lambda kw: quorix.timer(10.0)(print)(**kw), "TimerWrapper.__call__()"),
        (lambda kw: quorix.run_async(print)(**kw), "RunAsync.__call__()"),
        (lambda kw: quorix.get_task_manager().wait_all(**kw), "TaskManager.wait_all()"),
        (lambda kw: quorix.Timer(10.0, **kw), "Timer.__new__()"),
    ],
)
def test_unexpected_keyword_without_utf8_form_is_named_as_it_is(call, callable_name):
    with pytest.raises(TypeError) as exc:
        call({"\udc80": 1})
    assert str(exc.value) == f"{callable_name} got an unexpected keyword argument '\udc80'"
