"""What the tools need of the module: every snapshot without loss (drain_positions), and the
registers of the servos and of the neck motors (ping, read, write, by name for the neck)."""
import datetime
import logging
import math
import time

import pytest

import wenlo_motor_controller as wmc


def ms(n):
    return datetime.timedelta(milliseconds=n)


def test_drain_positions_loses_nothing_at_200_hz(make_loop):
    loop = make_loop(period_ms=5, serial=False)  # the neck alone fits 5 ms on any machine
    loop.drain_positions()
    got = []
    started = time.monotonic()
    while time.monotonic() - started < 2.0:
        time.sleep(0.1)
        got += loop.drain_positions()
    got += loop.drain_positions()
    stamps = [p.timestamp for p in got]
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert all(isinstance(p, wmc.WenloTorsoPosition) for p in got)
    assert gaps and min(gaps) > 0                   # oldest first, each once
    assert 2.0 / 0.005 * 0.8 < len(got)             # about 400, none left out
    assert max(gaps) < 0.1                          # no hole at a drain's seam
    assert loop.drain_positions() == [] or len(loop.drain_positions()) < 5


def test_an_overflowing_ring_keeps_the_newest_and_warns_once_with_the_count(
        make_loop, caplog):
    caplog.set_level(logging.WARNING, logger="wenlo_motor_controller.control_loop")
    # Ticks back to back (the neck alone, 0.1 ms periods) fill the ring of 8192 in seconds.
    loop = make_loop(period_ms=0.1, serial=False, stats_pub_period=ms(100))
    loop.drain_positions()
    deadline = time.monotonic() + 60
    while len(loop.get_stats().period) < 9500 and time.monotonic() < deadline:
        time.sleep(0.2)
    kept = loop.drain_positions()
    warnings = [r.getMessage() for r in caplog.records]
    assert len(kept) == 8192
    assert all(b.timestamp >= a.timestamp for a, b in zip(kept, kept[1:]))
    assert len(warnings) == 1, warnings
    assert warnings[0].startswith("drain_positions: ")
    assert warnings[0].endswith(" snapshots were lost: the ring keeps the last 8192; "
                                "call it more often")
    assert int(warnings[0].split()[1]) >= 9500 - 8192 - 50
    assert len(loop.drain_positions()) < 8192  # and the count starts again


def test_servo_registers_and_ping(ctl, sim):
    assert [ctl.ping(i) for i in (0, 1, 7, 8, 253)] == [False, True, True, False, False]
    assert ctl.read_registers(1, 0, 5) == bytes([3, 10, 0, 1540 & 0xFF, 1540 >> 8])
    ctl.write_registers(5, 21, bytes([40, 20, 2]))
    assert ctl.read_registers(5, 21, 3) == bytes([40, 20, 2])
    assert sim.servo_registers(5, 21, 3) == bytes([40, 20, 2])
    sim.servo_unpowered(2)
    assert ctl.ping(2) is False
    with pytest.raises(RuntimeError):
        ctl.read_registers(2, 0, 1)
    with pytest.raises(OverflowError):
        ctl.ping(256)


def test_neck_registers_by_name_are_checked_against_the_table(ctl, sim):
    table = ctl.neck_register_table()
    rows = {name: (reg, kind, writable) for name, reg, kind, writable, _ in table}
    assert rows["CTRL_MODE"] == (0x0A, "int", True)
    assert rows["PMAX"] == (0x15, "float", True)
    assert rows["sw_ver"][1:] == ("int", False)
    assert ctl.read_neck_register("neck_pitch", "TMAX") == 28.0
    assert ctl.read_neck_register("neck_yaw", "VMAX") == 30.0
    mode = ctl.read_neck_register("neck_roll", "CTRL_MODE")
    assert mode == 1 and isinstance(mode, int)
    # A write answers with what the motor holds afterwards.
    assert ctl.write_neck_register("neck_roll", "KP_APR", 12.5) == 12.5
    assert ctl.read_neck_register("neck_roll", "KP_APR") == 12.5
    assert ctl.write_neck_register("neck_yaw", "TIMEOUT", 200) == 200
    refused = [
        (("neck_tail", "PMAX", 1.0), "unknown neck joint 'neck_tail': one of neck_yaw, "
                                     "neck_pitch, neck_roll"),
        (("neck_yaw", "PMAXX", 1.0), "unknown neck register 'PMAXX'"),
        (("neck_yaw", "sw_ver", 1.0), "neck register 'sw_ver' is read-only"),
        (("neck_yaw", "TIMEOUT", 1.5), "neck register 'TIMEOUT' holds a whole number from 0 "
                                       "to 4294967295, not 1.5"),
        (("neck_yaw", "TIMEOUT", -1), "neck register 'TIMEOUT' holds a whole number from 0 "
                                      "to 4294967295, not -1.0"),
        (("neck_yaw", "TIMEOUT", math.nan), "neck register 'TIMEOUT' holds a whole number "
                                            "from 0 to 4294967295, not NaN"),
    ]
    sim.clear_can()
    for args, text in refused:
        with pytest.raises(ValueError) as info:
            ctl.write_neck_register(*args)
        assert str(info.value) == text
    assert sim.can_frames() == []  # refused before anything was sent
    sim.motor_connected(3, False)
    with pytest.raises(RuntimeError, match="^neck_roll: read register failed: "):
        ctl.read_neck_register("neck_roll", "PMAX")
