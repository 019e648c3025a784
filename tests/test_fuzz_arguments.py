"""Arguments fuzzed with hypothesis over every method of the four classes: only TypeError,
ValueError, OverflowError or the operation's RuntimeError may come out (and, for a
WenloTorsoPosition of the wrong lengths, the PanicException its constructor is specified to
raise); never a crash, a hang or a leaked reference."""
import datetime
import sys

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import wenlo_motor_controller as wmc  # noqa: E402

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError)
LENGTHS = "Each arm must have 2 positions, nose must have 3, neck must have 3."

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-2**70, max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=8),
    st.binary(max_size=300), st.builds(bytearray, st.binary(max_size=4)),
    st.builds(lambda s: datetime.timedelta(microseconds=s),
              st.integers(min_value=-10**15, max_value=10**15)),
    st.just(object()), st.just(float("nan")),
)
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=8), st.tuples(inner, inner, inner), st.dictionaries(st.text(max_size=3), inner, max_size=2)),
    max_leaves=12)
names = st.sampled_from(["position", "positions", "ids", "enable", "data", "id", "addr", "length",
                         "p", "i", "d", "index", "kp", "kd", "speed", "tolerance", "serialport",
                         "can_bus", "bogus"])
arguments = st.tuples(st.lists(values, max_size=6), st.dictionaries(names, values, max_size=3))


@pytest.fixture(scope="module")
def objects():
    import wenlo_sim

    if not wenlo_sim.stand_in_active():
        pytest.skip("needs the CAN stand-in")
    with wenlo_sim.SimRobot(iface="can0") as sim:
        # Operations that reach hardware fail fast: a neck-only controller on a bus with no
        # motors (each exchange times out after 20 ms), a neck-only loop, and a closed loop.
        ctl = wmc.WenloMotorController(None, "simcan9")
        loop = wmc.WenloPyControlLoop(None, datetime.timedelta(milliseconds=20), "can0")
        closed = wmc.WenloPyControlLoop(None, datetime.timedelta(milliseconds=20), "can0")
        closed.close()
        yield {"controller": ctl, "loop": loop, "closed loop": closed, "sim": sim}
        loop.close()


def methods_of(cls):
    return [name for name in vars(cls) if not name.startswith("__")]


CASES = ([("controller", m) for m in methods_of(wmc.WenloMotorController) if m != "neck_home"] +
         [("loop", m) for m in methods_of(wmc.WenloPyControlLoop) if m != "close"] +
         [("closed loop", m) for m in methods_of(wmc.WenloPyControlLoop)])


def counts(objects):
    # Shared objects (small ints, None, interned strings) change their counts whenever any
    # thread runs Python code, the worker's log records included: only the test's own count.
    return [sys.getrefcount(o) for o in objects if sys.getrefcount(o) < 100]


def call_checked(call, args, kwargs, allow_panic=False):
    given = list(args) + list(kwargs.values())
    held = counts(given)
    try:
        call(*args, **kwargs)
    except ALLOWED:
        pass
    except BaseException as e:  # noqa: B036
        if not (allow_panic and type(e).__name__ == "PanicException" and str(e) == LENGTHS):
            raise
    assert counts(given) == held, "an argument's reference count changed"


FUZZ = settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))


@pytest.mark.parametrize("owner, method", CASES)
@FUZZ
@given(arguments)
def test_methods_take_any_arguments(objects, owner, method, generated):
    args, kwargs = generated
    call_checked(getattr(objects[owner], method), args, kwargs)


@FUZZ
@given(arguments)
def test_neck_home_takes_any_arguments_and_stops(objects, generated):
    args, kwargs = generated
    # On a bus without motors homing fails at its first read, whatever its arguments.
    call_checked(objects["controller"].neck_home, args, kwargs)


@pytest.mark.parametrize("cls", [wmc.WenloTorsoPosition, wmc.ControlLoopStats,
                                 wmc.WenloMotorController])
@FUZZ
@given(arguments)
def test_constructors_take_any_arguments(objects, cls, generated):
    args, kwargs = generated
    kwargs = {("can_bus" if k == "serialport" and cls is wmc.WenloMotorController else k): v
              for k, v in kwargs.items()}
    if cls is wmc.WenloMotorController and args and isinstance(args[0], str):
        args = [None] + args[1:]  # no real serial devices: a string path stays a test of types
    call_checked(cls, args, kwargs, allow_panic=cls is wmc.WenloTorsoPosition)


@FUZZ
@given(arguments)
def test_loop_constructor_refuses_bad_arguments_before_touching_anything(objects, generated):
    args, kwargs = generated
    # With a serial path that does not exist, the best a construction can do is PortNotFound.
    if args:
        args = ["/dev/does-not-exist-wenlo"] + args[1:]
    kwargs.pop("serialport", None)
    call_checked(wmc.WenloPyControlLoop, args, kwargs)
