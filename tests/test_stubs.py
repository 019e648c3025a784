"""The committed type stub is the description of the Python surface: the build installs exactly
it, each class at run time has its names in its order, its text signatures and its docstrings,
and type checkers find it consistent with the module."""
import __future__
import inspect
import pathlib
import subprocess
import sys
import sysconfig
import types

import pytest

import wenlo_motor_controller as wmc

ROOT = pathlib.Path(__file__).resolve().parents[1]
COMMITTED = ROOT / "stubs" / "wenlo_motor_controller.pyi"
INSTALLED = pathlib.Path(sysconfig.get_paths()["platlib"]) / "wenlo_motor_controller-stubs" / "__init__.pyi"


def load_stub():
    """The committed stub run as a module, its annotations left unevaluated: its defs become
    functions whose signatures inspect reads as it reads the runtime's text signatures."""
    code = compile(COMMITTED.read_text(encoding="utf-8"), str(COMMITTED), "exec",
                   flags=__future__.annotations.compiler_flag, dont_inherit=True)
    namespace = {"__name__": "wenlo_motor_controller_stub"}
    exec(code, namespace)
    return namespace


def doc(obj):
    return None if obj.__doc__ is None else inspect.cleandoc(obj.__doc__)


def assert_same_parameters(shown, stub_def, what):
    """The runtime's parameters against the stub def's (without its self or cls): names, kinds
    and which have a default, in order, and each default that the runtime shows (it shows
    "..." for one it cannot write as a literal)."""
    declared = list(inspect.signature(stub_def).parameters.values())[1:]
    assert [(p.name, p.kind, p.default is p.empty) for p in shown] == \
        [(p.name, p.kind, p.default is p.empty) for p in declared], what
    for got, want in zip(shown, declared):
        if got.default not in (got.empty, Ellipsis):
            assert (type(got.default), got.default) == (type(want.default), want.default), \
                (what, got.name)


def test_the_installed_stub_is_the_one_in_the_repository():
    assert INSTALLED.read_text(encoding="utf-8") == COMMITTED.read_text(encoding="utf-8")


@pytest.mark.parametrize("name", [*wmc.__all__, "JointHealth"])
def test_each_class_is_the_one_the_committed_stub_describes(name):
    stub = load_stub()
    stub_classes = {n: v for n, v in stub.items() if isinstance(v, type)}
    assert sorted(stub["__all__"]) == sorted(wmc.__all__)
    assert sorted(stub_classes) == sorted([*wmc.__all__, "JointHealth"])
    described, cls = stub_classes[name], getattr(wmc, name)
    defs = {n: v for n, v in vars(described).items()
            if isinstance(v, (types.FunctionType, staticmethod, property))}

    # The class: its signature is the stub's __new__ (none without one), and its own docstring
    # is the stub's class docstring; __new__'s docstring lives in the stub alone.
    if "__new__" in defs:
        assert_same_parameters(inspect.signature(cls).parameters.values(), described.__new__,
                               name)
    else:
        assert cls.__text_signature__ is None
    assert (cls.__doc__ or None) == doc(described)
    # Other special methods the stub names (__repr__) are the class's own.
    assert all(n in vars(cls) for n in defs if n.startswith("__"))

    # Its own public names, in the stub's order, and each one's signature and docstring; a def
    # without a docstring in the stub has __doc__ None at run time, not an empty text.
    public = {n: v for n, v in defs.items() if not n.startswith("_")}
    assert [n for n in vars(cls) if not n.startswith("_")] == list(public)
    for n, f in public.items():
        attribute = vars(cls)[n]
        if isinstance(f, property):
            assert isinstance(attribute, types.GetSetDescriptorType), n
        else:
            assert callable(attribute), n
            instance, *shown = inspect.signature(attribute).parameters.values()
            assert (instance.name, instance.kind) == ("self", instance.POSITIONAL_ONLY), n
            assert_same_parameters(shown, f, f"{name}.{n}")
        assert attribute.__doc__ == doc(f), n


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
