"""Homes the neck, moves the arms and the nose, and prints what the motors report.

Run it on the simulated robot with:  python -m wenlo_sim examples/demo.py
On the robot itself, set WENLO_SIM_SERIAL to the servo adapter (e.g. /dev/ttyUSB0).
"""
import logging
import os
import time

from wenlo_motor_controller import WenloMotorController

logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")

port = os.environ.get("WENLO_SIM_SERIAL", "/dev/ttyUSB0")
can_bus = os.environ.get("WENLO_SIM_CAN", "can0")
robot = WenloMotorController(port, can_bus)

print("neck safety bounds:", robot.neck_position_limits())
print("neck before homing:", [round(p, 4) for p in robot.read_neck_positions()])
print("neck homed at:     ", [round(p, 4) for p in robot.neck_home(speed=2.0)])
print("neck torque on:    ", robot.is_neck_torque_enabled())

robot.enable_torque()
print("servo torque on:   ", robot.is_torque_enabled())
robot.set_arms_position([0.3, -0.2, 0.3, -0.2])
robot.set_nose_position([0.1, 0.0, -0.1])
print("servo positions at once:   ", [round(p, 4) for p in robot.read_all_positions()])
time.sleep(0.5)  # servos move at a finite speed
print("servo positions 0.5 s on:  ", [round(p, 4) for p in robot.read_all_positions()])

robot.set_neck_position([0.2, 0.1, 0.0])
time.sleep(0.5)
print("neck after moving to yaw 0.2, pitch 0.1:", [round(p, 4) for p in robot.read_neck_positions()])
print("neck asked beyond its bounds (clamped):",
      [round(p, 4) for p in robot.set_neck_position([0.9, 0.1, 0.0])])
robot.disable_torque()
robot.enable_neck(False)
print("done")
