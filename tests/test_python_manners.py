"""What a Python user expects of the classes: value types that compare, pickle and copy by
value and match by position; controllers and loops that close themselves in a `with`."""
import copy
import datetime
import pickle
import time
import types

import pytest

import wenlo_motor_controller as wmc

MS = datetime.timedelta(milliseconds=1)


def torso_values(fixture):
    a = wmc.WenloTorsoPosition([0, 1], [2, 3], [4, 5, 6], [7, 8, 1e-5])
    return a, wmc.WenloTorsoPosition([0, 1], [2, 3], [4, 5, 6], [7, 8, 9])


def stats_values(fixture):
    loop = fixture("make_loop")(period_ms=5, stats_pub_period=10 * MS)
    time.sleep(0.2)
    first = loop.get_stats()
    time.sleep(0.1)
    return first, loop.get_stats()  # more samples by now


def health_values(fixture):
    health = fixture("ctl").read_health()
    return health["nose_top"], health["neck_roll"]


@pytest.mark.parametrize("values", [torso_values, stats_values, health_values],
                         ids=["WenloTorsoPosition", "ControlLoopStats", "JointHealth"])
def test_values_compare_pickle_copy_and_match_by_value(values, request):
    value, other = values(request.getfixturevalue)
    cls = type(value)
    copies = [copy.copy(value), copy.deepcopy(value)]
    copies += [pickle.loads(pickle.dumps(value, protocol))
               for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for twin in copies:
        assert type(twin) is cls and twin is not value
        assert twin == value and not (twin != value)
        assert repr(twin) == repr(value)  # the timestamp and the age included
        assert [getattr(twin, n) for n in cls.__match_args__] == \
            [getattr(value, n) for n in cls.__match_args__]
    assert value != other and not (value == other)
    assert value != object() and value.__eq__(1) is NotImplemented
    with pytest.raises(TypeError, match="unhashable"):
        hash(value)

    # Positional patterns follow the attributes, in their order.
    names = cls.__match_args__
    assert list(names) == [n for n, v in vars(cls).items()
                           if isinstance(v, types.GetSetDescriptorType)]
    match value:
        case cls(first, second):
            assert (first, second) == (getattr(value, names[0]), getattr(value, names[1]))
        case _:
            pytest.fail("no positional match")
    if cls is not wmc.WenloTorsoPosition:
        with pytest.raises(TypeError):
            cls()  # still made only by the module


def test_torso_match_args_and_copy_keep_the_design_order_and_the_timestamp():
    p = wmc.WenloTorsoPosition([0, 1], [2, 3], [4, 5, 6], [7, 8, 9])
    assert wmc.WenloTorsoPosition.__match_args__ == (
        "left_arm", "right_arm", "nose", "neck", "timestamp")
    time.sleep(0.01)
    assert pickle.loads(pickle.dumps(p)).timestamp == p.timestamp


CLOSED = "this WenloMotorController is closed"


def open_controller(sim):
    return wmc.WenloMotorController(sim.serial_path, "can0")


def open_loop(sim):
    return wmc.WenloPyControlLoop(sim.serial_path, 10 * MS, "can0")


def assert_closed(obj):
    if isinstance(obj, wmc.WenloMotorController):
        for call in (obj.read_all_positions, obj.read_neck_positions, obj.read_health,
                     lambda: obj.set_neck_position([0.0, 0.1, 0.0]), obj.__enter__):
            with pytest.raises(RuntimeError, match=f"^{CLOSED}"):
                call()
    else:
        with pytest.raises(RuntimeError, match="^channel closed$"):
            obj.set_neck_position([0.0, 0.1, 0.0])
        assert isinstance(obj.get_last_position(), wmc.WenloTorsoPosition)
    obj.close()  # idempotent


@pytest.mark.parametrize("make", [open_controller, open_loop], ids=["controller", "loop"])
def test_with_closes_on_the_way_out_also_when_the_body_raises(make, sim):
    with make(sim) as first:
        assert isinstance(first, (wmc.WenloMotorController, wmc.WenloPyControlLoop))
        first.enable_torque()
    assert_closed(first)

    # The ports are free at once: the next one opens them right after, and an exception in
    # the body passes through the close.
    with pytest.raises(KeyError, match="from the body"):
        with make(sim) as second:
            assert second is not first
            raise KeyError("from the body")
    assert_closed(second)
    third = open_controller(sim)
    assert len(third.read_all_positions()) == 7
    third.close()
    assert_closed(third)
