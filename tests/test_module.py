"""The module as Python sees it: one object per process, its names, its exception class."""
import importlib
import importlib.metadata
import subprocess
import sys

import pytest

import wenlo_motor_controller as wmc


def test_all_lists_the_four_classes_in_order_and_the_version_is_the_distributions():
    assert wmc.__all__ == [
        "WenloMotorController",
        "WenloPyControlLoop",
        "WenloTorsoPosition",
        "ControlLoopStats",
    ]
    for name in [*wmc.__all__, "JointHealth"]:  # an extension: importable, not exported
        assert isinstance(getattr(wmc, name), type)
        assert getattr(wmc, name).__name__ == name
    from wenlo_motor_controller import JointHealth  # noqa: F401

    assert wmc.__version__ == importlib.metadata.version("wenlo_motor_controller")
    assert wmc.__doc__ in (None, "")


def test_reimport_after_removal_returns_the_same_module_and_classes():
    classes = [getattr(wmc, name) for name in wmc.__all__]
    assert importlib.import_module("wenlo_motor_controller") is wmc
    del sys.modules["wenlo_motor_controller"]
    again = importlib.import_module("wenlo_motor_controller")
    assert again is wmc
    assert [getattr(again, name) for name in again.__all__] == classes


SUBINTERPRETER_SCRIPT = '''
import _testcapi, os, tempfile
import wenlo_motor_controller
fd, path = tempfile.mkstemp()
os.close(fd)
_testcapi.run_in_subinterp(f"""
try:
    import wenlo_motor_controller
except ImportError as e:
    open({path!r}, "w").write("ImportError: " + str(e))
else:
    open({path!r}, "w").write("imported")
""")
print(open(path).read())
os.unlink(path)
'''


def test_second_subinterpreter_is_refused():
    # A fresh process, so that the result does not depend on what else this run imported.
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT],
                         capture_output=True, text=True, check=True)
    assert out.stdout.startswith("ImportError: ")
    assert "subinterpreters" in out.stdout


def _raise_panic():
    wmc.WenloTorsoPosition([0.0], [1.0, 2.0], [3.0, 4.0, 5.0], [6.0, 7.0, 8.0])


def test_panic_exception_derives_from_base_exception_only():
    with pytest.raises(BaseException) as info:
        try:
            _raise_panic()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    panic_type = type(info.value)
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    with pytest.raises(BaseException) as second:
        _raise_panic()
    assert type(second.value) is panic_type  # created once


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", wmc.__file__],
                        capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_wenlo_motor_controller"]


@pytest.mark.parametrize("cls", [wmc.WenloMotorController, wmc.WenloPyControlLoop,
                                 wmc.WenloTorsoPosition, wmc.ControlLoopStats])
def test_classes_refuse_subclassing(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "wenlo_motor_controller"
