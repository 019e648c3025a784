"""WenloTorsoPosition and ControlLoopStats: construction, attributes and exact repr texts."""
import time

import pytest

import wenlo_motor_controller as wmc

WenloTorsoPosition = wmc.WenloTorsoPosition

ARGS = ([0, 1], [2, 3], [4, 5, 6], [7, 8, 9])


def make(**overrides):
    names = ["left_arm", "right_arm", "nose", "neck"]
    values = dict(zip(names, ARGS))
    values.update(overrides)
    return WenloTorsoPosition(**values)


def test_values_become_float_lists_with_a_current_timestamp():
    before = time.time()
    p = WenloTorsoPosition(*ARGS)
    after = time.time()
    assert p.left_arm == [0.0, 1.0] and all(type(v) is float for v in p.left_arm)
    assert p.right_arm == [2.0, 3.0]
    assert p.nose == [4.0, 5.0, 6.0]
    assert p.neck == [7.0, 8.0, 9.0]
    assert before - 1 <= p.timestamp <= after + 1


def test_attributes_are_fresh_copies_and_read_only():
    p = WenloTorsoPosition(*ARGS)
    got = p.left_arm
    got[0] = 99.0
    assert p.left_arm == [0.0, 1.0]
    for name in ["left_arm", "right_arm", "nose", "neck", "timestamp"]:
        with pytest.raises(AttributeError):
            setattr(p, name, 1.0)
    with pytest.raises(AttributeError):
        p.extra = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(p)


@pytest.mark.parametrize(
    "bad, name",
    [
        (dict(left_arm="ab"), "left_arm"),
        (dict(right_arm=5), "right_arm"),
        (dict(nose=[1, "x", 3]), "nose"),
        (dict(neck=None), "neck"),
    ],
)
def test_wrong_types_name_the_argument(bad, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        make(**bad)


def test_a_string_is_refused_with_its_own_reason():
    with pytest.raises(TypeError) as info:
        make(left_arm="ab")
    assert "str" in str(info.value)


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match="^argument 'right_arm'"):
        make(right_arm="xy", nose="zz")


@pytest.mark.parametrize(
    "bad", [dict(left_arm=[0]), dict(right_arm=[1, 2, 3]), dict(nose=[1, 2]), dict(neck=[])]
)
def test_wrong_lengths_panic(bad):
    with pytest.raises(BaseException) as info:
        make(**bad)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "Each arm must have 2 positions, nose must have 3, neck must have 3."


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: WenloTorsoPosition([0, 1], [2, 3], [4, 5, 6]),
         "WenloTorsoPosition() missing 1 required positional argument: 'neck'"),
        (lambda: WenloTorsoPosition([0, 1], [2, 3]),
         "WenloTorsoPosition() missing 2 required positional arguments: 'nose' and 'neck'"),
        (lambda: WenloTorsoPosition(*ARGS, left_arm=[1, 2]),
         "WenloTorsoPosition() got multiple values for argument 'left_arm'"),
        (lambda: WenloTorsoPosition(*ARGS, torso=[1]),
         "WenloTorsoPosition() got an unexpected keyword argument 'torso'"),
        (lambda: WenloTorsoPosition(*ARGS, [1]),
         "WenloTorsoPosition() takes 4 positional arguments but 5 were given"),
    ],
)
def test_binding_errors_use_pythons_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_sequences_of_any_kind_and_numpy_values_are_accepted():
    np = pytest.importorskip("numpy")
    p = WenloTorsoPosition(np.array([0.5, 1.5]), (2, 3), range(3), [np.float32(0.25), 1, True])
    assert p.left_arm == [0.5, 1.5]
    assert p.nose == [0.0, 1.0, 2.0]
    assert p.neck == [0.25, 1.0, 1.0]


@pytest.mark.parametrize(
    "neck, text",
    [
        ((0, 0.5, 1e-5), "neck=[0.0, 0.5, 1e-5]"),
        ((2.5e-7, 1e16, -1e-4), "neck=[2.5e-7, 1e16, -0.0001]"),
        ((float("nan"), float("inf"), float("-inf")), "neck=[NaN, inf, -inf]"),
        ((-0.0, 123456.789, 9999999999999998.0), "neck=[-0.0, 123456.789, 9999999999999998.0]"),
        ((0.1, 1 / 3, 1e15), "neck=[0.1, 0.3333333333333333, 1000000000000000.0]"),
    ],
)
def test_repr_writes_floats_in_shortest_round_trip_form(neck, text):
    r = repr(make(neck=neck))
    assert text in r
    assert r.startswith("WenloTorsoPosition(left_arm=[0.0, 1.0], right_arm=[2.0, 3.0], "
                        "nose=[4.0, 5.0, 6.0], neck=")


def test_repr_ends_with_a_three_decimal_timestamp():
    p = make()
    r = repr(p)
    assert r.endswith(")")
    stamp = r[r.index("timestamp=") + len("timestamp="):-1]
    assert len(stamp.split(".")[1]) == 3
    assert abs(float(stamp) - p.timestamp) < 0.001


def test_loop_stats_cannot_be_built_from_python():
    with pytest.raises(TypeError):
        wmc.ControlLoopStats()
    with pytest.raises(TypeError):
        wmc.ControlLoopStats([0.1], [0.1], [0.1])
