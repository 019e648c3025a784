"""The shipped type stub: found by type checkers, consistent with the module at run time, and
carrying the interface description's annotations, defaults, docstrings and method order."""
import ast
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import wenlo_motor_controller as wmc

ROOT = pathlib.Path(__file__).resolve().parents[1]
INSTALLED = pathlib.Path(sysconfig.get_paths()["platlib"]) / "wenlo_motor_controller-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub():
    return ast.parse(INSTALLED.read_text(encoding="utf-8"))


def classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def functions(cls):
    return [node for node in cls.body if isinstance(node, ast.FunctionDef)]


def signature(fn):
    args = fn.args.args[1:]  # without self or cls
    defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
    return [(a.arg, ast.unparse(a.annotation), None if d is None else ast.unparse(d))
            for a, d in zip(args, defaults)]


def test_the_installed_stub_is_the_one_in_the_repository():
    assert INSTALLED.read_text(encoding="utf-8") == (
        ROOT / "stubs" / "wenlo_motor_controller.pyi").read_text(encoding="utf-8")


def test_defaults_annotations_and_docstrings(stub):
    found = classes(stub)
    assert sorted(found) == sorted(wmc.__all__)
    neck_home = next(f for f in functions(found["WenloMotorController"]) if f.name == "neck_home")
    assert signature(neck_home) == [
        ("speed", "builtins.float", "0.4"), ("tolerance", "builtins.float", "0.15"),
        ("kp", "typing.Optional[builtins.float]", "None"),
        ("kd", "typing.Optional[builtins.float]", "None")]
    loop_new = functions(found["WenloPyControlLoop"])[0]
    assert loop_new.name == "__new__"
    assert signature(loop_new) == [
        ("serialport", "typing.Optional[builtins.str]", None),
        ("read_position_loop_period", "datetime.timedelta", None),
        ("can_bus", "builtins.str", "'can0'"),
        ("allowed_retries", "builtins.int", "5"),
        ("stats_pub_period", "typing.Optional[datetime.timedelta]", "None"),
        ("voltage_rampup_timeout", "datetime.timedelta", "datetime.timedelta(seconds=30)")]
    assert ast.get_docstring(loop_new).splitlines()[4] == (
        "  Pass `None` to build a neck-only (CAN) loop \u2014 arm/nose commands then")
    ctl_new = functions(found["WenloMotorController"])[0]
    assert ast.get_docstring(ctl_new).splitlines()[-1] == (
        '* `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).')
    assert len(ast.get_docstring(ctl_new).splitlines()) == 7
    stats = functions(found["ControlLoopStats"])
    assert [(f.name, ast.unparse(f.returns)) for f in stats] == [
        (name, "builtins.list[builtins.float]") for name in ("period", "read_dt", "write_dt")]
    neck = next(f for f in functions(found["WenloTorsoPosition"]) if f.name == "neck")
    assert ast.get_docstring(neck) == "Neck joint positions in rad: [yaw, pitch, roll]."


@pytest.mark.parametrize("name", ["WenloMotorController", "WenloPyControlLoop"])
def test_methods_come_in_the_runtime_order_with_its_docstrings(stub, name):
    described = [f for f in functions(classes(stub)[name]) if f.name != "__new__"]
    runtime = getattr(wmc, name)
    assert [f.name for f in described] == [n for n in vars(runtime) if not n.startswith("__")]
    for f in described:
        assert (ast.get_docstring(f) or None) == getattr(runtime, f.name).__doc__, f.name


def run_mypy(*args):
    pytest.importorskip("mypy", reason="mypy is not installed")
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd="/tmp", timeout=600)


def test_stubtest_finds_the_stub_consistent_with_the_module():
    done = run_mypy("mypy.stubtest", "wenlo_motor_controller", "--allowlist",
                    str(ROOT / "tests" / "typing" / "stubtest_allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_strict_accepts_the_examples_and_a_typed_program():
    done = run_mypy("mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
                    str(ROOT / "tests" / "typing" / "usage.py"),
                    *map(str, sorted((ROOT / "examples").glob("*.py"))))
    assert done.returncode == 0, done.stdout + done.stderr
    # And a wrong use is caught, so the stub really was found.
    bad = "import wenlo_motor_controller as w\nx: int = w.WenloPyControlLoop.get_last_position\n"
    wrong = pathlib.Path("/tmp") / "wenlo_stub_check_wrong.py"
    wrong.write_text(bad)
    done = run_mypy("mypy", "--strict", str(wrong))
    assert "WenloTorsoPosition" in done.stdout, done.stdout
