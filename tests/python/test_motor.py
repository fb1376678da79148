"""Motor's argument rules, which are checked before any interface is touched, and the
Python faces of Motor and Device. No CAN bus needed (tests/can has the rest)."""

import inspect

import pytest

import quorix

MISSING_HOST = "missing host CAN id: use second argument or host= / host_id="
BOTH_HOSTS = "pass only one of 'host' or 'host_id', not both"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("can0",), {}, MISSING_HOST),
        (("can0", None, None), {}, MISSING_HOST),
        (("can0",), {"host": None, "host_id": None}, MISSING_HOST),
        (("can0", 0x100, 0x100), {}, BOTH_HOSTS),
        (("can0",), {"host": 0, "host_id": 0}, BOTH_HOSTS),
        (("can0", 0x100), {"host_id": 0x200}, BOTH_HOSTS),
    ],
    ids=["interface-only", "two-nones", "keyword-nones", "both-positional", "both-zero", "mixed"],
)
def test_host_rules(args, kwargs, message):
    with pytest.raises(ValueError) as exc:
        quorix.Motor(*args, **kwargs)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        ((), {}, TypeError, "Motor.__new__() missing 1 required positional argument: 'interface'"),
        (("can0", 1, 2, 3), {}, TypeError,
         "Motor.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        (("can0",), {"hots": 1}, TypeError, "Motor.__new__() got an unexpected keyword argument 'hots'"),
        (("can0", 1), {"host": 1}, TypeError, "Motor.__new__() got multiple values for argument 'host'"),
        ((1, 0x100), {}, TypeError, "argument 'interface': 'int' object cannot be converted to 'PyString'"),
        # Conversion errors come before the host rules.
        (("can0", "x"), {}, TypeError, "argument 'host': 'str' object cannot be interpreted as an integer"),
        (("can0", 1, 1.5), {}, TypeError,
         "argument 'host_id': 'float' object cannot be interpreted as an integer"),
        (("can0",), {"host": -1}, OverflowError, None),
        (("can0",), {"host_id": 2**32}, OverflowError, None),
    ],
    ids=["no-args", "too-many", "unknown-keyword", "twice", "interface-int", "host-str", "host_id-float",
         "negative", "too-large"],
)
def test_argument_errors(args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as exc:
        quorix.Motor(*args, **kwargs)
    if message is not None:
        assert str(exc.value) == message


def test_device_has_no_constructor():
    with pytest.raises(TypeError):
        quorix.Device()


SIGNATURES = {
    (quorix.Motor, "add_device"): "(self, /, slot_index, node_id, mode)",
    (quorix.Motor, "set_target"): "(self, /, slot_index, value)",
    (quorix.Motor, "broadcast"): "(self, /)",
    (quorix.Motor, "get_feedback"): "(self, /, slot_index)",
    (quorix.Motor, "enter_configure_broadcast"): "(self, /)",
    (quorix.Motor, "exit_configure_broadcast"): "(self, /)",
    (quorix.Motor, "calibrate_broadcast"): "(self, /)",
    (quorix.Motor, "set_foc_mode_broadcast"): "(self, /, mode)",
    (quorix.Device, "set_target"): "(self, /, value)",
    (quorix.Device, "get_target"): "(self, /)",
    (quorix.Device, "get_feedback"): "(self, /)",
    (quorix.Device, "enter_configure"): "(self, /)",
    (quorix.Device, "exit_configure"): "(self, /)",
    (quorix.Device, "start_calibration"): "(self, /)",
    (quorix.Device, "set_foc_mode"): "(self, /, mode)",
}


@pytest.mark.parametrize("cls, name", list(SIGNATURES), ids=[f"{c.__name__}.{n}" for c, n in SIGNATURES])
def test_method_signatures(cls, name):
    assert str(inspect.signature(getattr(cls, name))) == SIGNATURES[(cls, name)]


def test_host_properties_share_their_docstring():
    assert quorix.Motor.host.__doc__ == quorix.Motor.host_id.__doc__
