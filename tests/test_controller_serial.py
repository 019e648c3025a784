"""WenloMotorController's arm and nose methods on the simulated servo bus."""
import math
import threading

import pytest

import wenlo_motor_controller as wmc

NO_PORT = "serial port not configured (neck-only controller)"


def packet(id_, instruction, params):
    body = [id_, len(params) + 2, instruction, *params]
    return bytes([0xFF, 0xFF, *body, (~sum(body)) & 0xFF])


def sync_write(address, per_servo):
    """per_servo: list of (id, data bytes)."""
    length = len(per_servo[0][1])
    params = [address, length]
    for id_, data in per_servo:
        params += [id_, *data]
    return packet(0xFE, 0x83, params)


def raw(rad):
    return int((rad + math.pi) * 4096 / (2 * math.pi))


def test_left_arm_goal_goes_out_as_one_sync_write(ctl, sim):
    assert ctl.set_left_arm_position([0.0, 0.0]) is None
    expected = bytes.fromhex("FFFFFE0A832A020100080200 0835".replace(" ", ""))
    assert sim.received(len(expected)) == expected


@pytest.mark.parametrize(
    "method, values, ids",
    [
        ("set_right_arm_position", [1.0, -1.0], [3, 4]),
        ("set_arms_position", [0.1, 0.2, 0.3, 0.4], [1, 2, 3, 4]),
        ("set_nose_position", [3.141592653589793, -3.141592653589793, 0.5], [5, 6, 7]),
    ],
)
def test_goal_positions_reach_the_servos(ctl, sim, method, values, ids):
    getattr(ctl, method)(values)
    expected = sync_write(0x2A, [(i, raw(v).to_bytes(2, "little")) for i, v in zip(ids, values)])
    assert sim.received(len(expected)) == expected
    for i, v in zip(ids, values):
        assert sim.servo_state(i)["goal"] == raw(v)


@pytest.mark.instant_servos
def test_all_goal_positions_write_arms_then_nose_and_read_back(ctl, sim):
    goals = [0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7]
    ctl.set_all_goal_positions(goals)
    arms = sync_write(0x2A, [(i + 1, raw(v).to_bytes(2, "little")) for i, v in enumerate(goals[:4])])
    nose = sync_write(0x2A, [(i + 5, raw(v).to_bytes(2, "little")) for i, v in enumerate(goals[4:])])
    assert sim.received(len(arms + nose)) == arms + nose
    got = ctl.read_all_positions()
    assert len(got) == 7
    assert got == pytest.approx(goals, abs=2 * 3.141592653589793 / 4096)


def test_fresh_servos_read_as_zero(ctl):
    assert ctl.read_all_positions() == [0.0] * 7


def test_torque_on_ids_splits_by_model_in_given_order(ctl, sim):
    ctl.enable_torque_on_ids([6, 2])
    expected = sync_write(0x28, [(2, [1])]) + sync_write(0x28, [(6, [1])])
    assert sim.received(len(expected)) == expected
    assert sim.servo_state(2)["torque"] == 1 and sim.servo_state(6)["torque"] == 1
    sim.clear_received()
    ctl.disable_torque_on_ids([2, 2, 99])
    expected = sync_write(0x28, [(2, [0]), (2, [0])])
    assert sim.received(len(expected)) == expected


@pytest.mark.parametrize("ids", [[], [9, 12], [0, 8, 255]])
def test_torque_on_ids_without_known_ids_sends_nothing(ctl, sim, ids):
    assert ctl.enable_torque_on_ids(ids) is None
    assert sim.received() == b""


def test_torque_query_is_false_if_any_servo_is_off(ctl, sim):
    ctl.enable_torque()
    assert ctl.is_torque_enabled() is True
    ctl.disable_torque_on_ids([6])
    assert ctl.is_torque_enabled() is False
    ctl.enable_nose(True)
    ctl.enable_arms(False)
    assert ctl.is_torque_enabled() is False
    ctl.disable_torque()
    assert ctl.is_torque_enabled() is False  # an exchange: the writes before it are handled
    assert all(sim.servo_state(i)["torque"] == 0 for i in range(1, 8))


def test_a_torque_value_of_two_reads_as_on(ctl, sim):
    ctl.enable_torque()
    sim.servo_write_registers(4, 40, bytes([2]))
    assert ctl.is_torque_enabled() is True


def test_enable_torque_writes_arms_then_nose(ctl, sim):
    ctl.enable_torque()
    expected = (sync_write(0x28, [(i, [1]) for i in (1, 2, 3, 4)]) +
                sync_write(0x28, [(i, [1]) for i in (5, 6, 7)]))
    assert sim.received(len(expected)) == expected


def test_unpowered_servos_break_reads(ctl, sim):
    sim.servo_unpowered(3)
    sim.servo_unpowered(6)
    # Servo 4 answers in the silent servo 3's turn, so the reply carries the wrong id.
    for call in (ctl.read_all_positions, ctl.is_torque_enabled):
        with pytest.raises(RuntimeError, match="^Parsing error$"):
            call()
    # Writes are broadcasts without an answer, so they still go out.
    ctl.set_nose_position([0.0, 0.0, 0.0])


def test_a_silent_last_servo_makes_reads_time_out(ctl, sim):
    sim.servo_unpowered(4)
    for call in (ctl.read_all_positions, ctl.is_torque_enabled):
        with pytest.raises(RuntimeError, match="^Operation timed out$"):
            call()


def test_unpowered_nose_servo_spares_the_arm_read_not_the_error(ctl, sim):
    sim.servo_unpowered(7)
    with pytest.raises(RuntimeError, match="timed out"):
        ctl.read_all_positions()
    sim.servo_unpowered(7, False)
    assert len(ctl.read_all_positions()) == 7


def test_wrong_answers_surface_as_their_error_texts(ctl, sim):
    sim.servo_fault(2, "bad_checksum", "on")
    with pytest.raises(RuntimeError, match="^Checksum error$"):
        ctl.read_all_positions()
    sim.servo_clear_faults(2)
    sim.servo_fault(2, "answer_id", 9)
    with pytest.raises(RuntimeError, match="^Parsing error$"):
        ctl.read_all_positions()
    sim.servo_clear_faults(2)
    assert len(ctl.read_all_positions()) == 7


def test_error_bits_and_pieced_answers_still_count(ctl, sim):
    sim.servo_set_position(1, 3072)  # a quarter turn each way, so that both answers are seen
    sim.servo_set_position(5, 1024)
    sim.servo_fault(1, "status_error", 0x21)
    sim.servo_fault(5, "pieces", 2, 1000)
    quarter = math.pi / 2
    assert ctl.read_all_positions() == pytest.approx([quarter, 0, 0, 0, -quarter, 0, 0], abs=1e-9)


def test_stale_input_is_cleared_before_a_request(ctl, sim):
    import time
    sim.inject(bytes([0x01, 0x02, 0x03]))
    time.sleep(0.05)
    assert len(ctl.read_all_positions()) == 7


def test_raw_packet_is_sent_unchanged_and_its_answer_dropped(ctl, sim):
    ping = bytes.fromhex("FFFF010201FB")
    assert ctl.write_raw_packet(ping) is None
    assert sim.received(len(ping)) == ping
    # The answer was read, so the next exchange starts clean.
    assert len(ctl.read_all_positions()) == 7


def test_neck_only_controller_refuses_arm_and_nose_methods(sim):
    ctl = wmc.WenloMotorController()
    calls = [
        lambda: ctl.read_all_positions(),
        lambda: ctl.is_torque_enabled(),
        lambda: ctl.enable_torque(),
        lambda: ctl.disable_torque(),
        lambda: ctl.enable_arms(True),
        lambda: ctl.enable_nose(False),
        lambda: ctl.enable_torque_on_ids([1]),
        lambda: ctl.set_all_goal_positions([0.0] * 7),
        lambda: ctl.set_left_arm_position([0.0, 0.0]),
        lambda: ctl.set_nose_position([0.0, 0.0, 0.0]),
        lambda: ctl.write_raw_packet(b"\x00"),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == NO_PORT
    assert ctl.enable_torque_on_ids([]) is None
    assert ctl.enable_torque_on_ids([9, 12]) is None
    assert len(ctl.read_neck_positions()) == 3  # the neck works
    assert sim.received() == b""


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.set_arms_position([1.0, 2.0, 3.0]), ValueError,
         "expected a sequence of length 4 (got 3)"),
        (lambda c: c.set_all_goal_positions([0.0] * 8), ValueError,
         "expected a sequence of length 7 (got 8)"),
        (lambda c: c.set_nose_position("abc"), TypeError, "argument 'position': "),
        (lambda c: c.set_left_arm_position([0.0, "x"]), TypeError, "argument 'position': "),
        (lambda c: c.set_left_arm_position(None), TypeError, "argument 'position': "),
        (lambda c: c.enable_arms(1), TypeError, "argument 'enable': "),
        (lambda c: c.enable_nose(None), TypeError, "argument 'enable': "),
        (lambda c: c.enable_torque_on_ids("12"), TypeError, "argument 'ids': "),
        (lambda c: c.enable_torque_on_ids([1.5]), TypeError, "argument 'ids': "),
        (lambda c: c.enable_torque_on_ids([256]), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: c.disable_torque_on_ids([-1]), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: c.write_raw_packet(bytearray(b"\x01")), TypeError, "argument 'data': "),
        (lambda c: c.write_raw_packet([1, 2]), TypeError, "argument 'data': "),
        (lambda c: c.set_arms_position(), TypeError,
         "WenloMotorController.set_arms_position() missing 1 required positional argument: "
         "'position'"),
        (lambda c: c.enable_arms(True, enable=True), TypeError,
         "WenloMotorController.enable_arms() got multiple values for argument 'enable'"),
        (lambda c: c.enable_arms(flag=True), TypeError,
         "WenloMotorController.enable_arms() got an unexpected keyword argument 'flag'"),
        (lambda c: c.read_all_positions(1), TypeError, "takes no arguments"),
    ],
)
def test_bad_arguments_raise_before_anything_is_sent(ctl, sim, call, exc, message):
    with pytest.raises(exc) as info:
        call(ctl)
    assert type(info.value) is exc
    assert str(info.value).startswith(message) or message in str(info.value)
    assert sim.received() == b""


def test_keyword_arguments_and_numpy_values_are_accepted(ctl, sim):
    np = pytest.importorskip("numpy")
    ctl.set_left_arm_position(position=np.array([0.0, 0.0]))
    ctl.enable_arms(enable=np.bool_(True))
    ctl.enable_torque_on_ids(ids=np.array([5], dtype=np.uint8))
    ctl.read_all_positions()  # an exchange: the writes before it have been handled
    assert sim.servo_state(1)["torque"] == 1 and sim.servo_state(5)["torque"] == 1


@pytest.mark.instant_servos
def test_two_threads_share_one_controller(ctl, sim):
    ctl.set_all_goal_positions([0.1 * i for i in range(7)])
    expected = ctl.read_all_positions()
    results, errors = [], []

    def worker():
        try:
            for _ in range(40):
                results.append(ctl.read_all_positions())
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors
    assert len(results) == 80
    assert all(r == expected for r in results)


def test_unbound_method_checks_self():
    with pytest.raises(TypeError):
        wmc.WenloMotorController.read_all_positions(object())


@pytest.mark.parametrize(
    "method, values, joint",
    [
        ("set_left_arm_position", [float("nan"), 0.0], "left_arm_pitch"),
        ("set_right_arm_position", [0.0, float("nan")], "right_arm_yaw"),
        ("set_arms_position", [0.0, 0.0, float("nan"), 0.0], "right_arm_pitch"),
        ("set_nose_position", [0.0, 0.0, float("nan")], "nose_right"),
        ("set_all_goal_positions", [0.0] * 5 + [float("nan"), 0.0], "nose_left"),
    ],
)
def test_a_nan_goal_is_refused_and_nothing_is_sent(ctl, sim, method, values, joint):
    with pytest.raises(RuntimeError) as info:
        getattr(ctl, method)(values)
    assert str(info.value) == f"{method}({joint}): requested position is NaN"
    assert sim.received() == b""


def test_infinite_goals_saturate(ctl, sim):
    ctl.set_left_arm_position([float("inf"), float("-inf")])
    expected = sync_write(0x2A, [(1, (32767).to_bytes(2, "little", signed=True)),
                                 (2, (-32768).to_bytes(2, "little", signed=True))])
    assert sim.received(len(expected)) == expected
    assert sim.servo_state(1)["goal"] == 32767 and sim.servo_state(2)["goal"] == -32768
