"""The committed type stub is the description of the Python surface: the build installs exactly
it, each class at run time has its names in its order, its text signatures and its docstrings,
and type checkers find it consistent with the module."""
import ast
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


def classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def functions(cls):
    return [node for node in cls.body if isinstance(node, ast.FunctionDef)]


def is_property(fn):
    return any(ast.unparse(d) == "property" for d in fn.decorator_list)


def shown_default(node, source):
    """A default as a text signature shows it: numbers and None as written, anything else
    (strings, timedeltas) as "..."."""
    try:
        value = ast.literal_eval(node)
    except ValueError:
        return "..."
    literal = value is None or type(value) in (int, float)
    return ast.get_source_segment(source, node) if literal else "..."


def text_signature(fn, source):
    """The __text_signature__ that a def of the stub implies: "($self, a, b=0.4)" for a method,
    "(a, b=...)" for __new__, whose text signature is the class's."""
    args = fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
    pairs = list(zip(args[1:], defaults[1:]))  # without self or cls
    if fn.args.kwonlyargs:
        pairs += [("*", None), *zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
    shown = [a if a == "*" else a.arg if d is None else f"{a.arg}={shown_default(d, source)}"
             for a, d in pairs]
    return "(" + ", ".join(shown if fn.name == "__new__" else ["$self", *shown]) + ")"


def test_the_installed_stub_is_the_one_in_the_repository():
    assert INSTALLED.read_text(encoding="utf-8") == COMMITTED.read_text(encoding="utf-8")


@pytest.mark.parametrize("name", [*wmc.__all__, "JointHealth"])
def test_each_class_is_the_one_the_committed_stub_describes(name):
    source = COMMITTED.read_text(encoding="utf-8")
    tree = ast.parse(source)
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__")
    assert sorted(stub_all) == sorted(wmc.__all__)
    assert sorted(classes(tree)) == sorted([*wmc.__all__, "JointHealth"])
    node, cls = classes(tree)[name], getattr(wmc, name)
    described = functions(node)

    # The class: its text signature is the stub's __new__ (none without one), and its own
    # docstring is the stub's class docstring; __new__'s docstring lives in the stub alone.
    new = next((f for f in described if f.name == "__new__"), None)
    assert cls.__text_signature__ == (None if new is None else text_signature(new, source))
    assert (cls.__doc__ or None) == ast.get_docstring(node)
    # Other special methods the stub names (__repr__) are the class's own.
    assert all(f.name in vars(cls) for f in described if f.name.startswith("__"))

    # Its own public names, in the stub's order, and each one's signature and docstring; a def
    # without a docstring in the stub has __doc__ None at run time, not an empty text.
    public = [f for f in described if not f.name.startswith("_")]
    assert [n for n in vars(cls) if not n.startswith("_")] == [f.name for f in public]
    for f in public:
        attribute = vars(cls)[f.name]
        if is_property(f):
            assert isinstance(attribute, types.GetSetDescriptorType), f.name
        else:
            assert callable(attribute), f.name
            assert attribute.__text_signature__ == text_signature(f, source), f.name
        assert attribute.__doc__ == ast.get_docstring(f), f.name


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
