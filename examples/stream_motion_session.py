#!/usr/bin/env python3
"""A Stream Motion session: the driver commands the arm every interpolation
period of the controller (8 ms) instead of sending RMI instructions, with the
same calls as over RMI. The controller must run its STREAM_MOTN program; the
driver calls it over RMI, which still carries I/O, registers and status.

    python examples/stream_motion_session.py --host 192.168.1.10
"""

import argparse
import math
import sys
import time

import orvane
import orvane_driver_fanuc as fanuc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    parser.add_argument("--stream-motion-port", type=int, default=60015, help="the controller's Stream Motion port")
    args = parser.parse_args()

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, arm, args.host, stream_motion=True, stream_motion_port=args.stream_motion_port)
    print(f"moving the arm over: {driver.motion_interface}")

    result = driver.enable()
    print(f"enable: {result!r}")
    if result != fanuc.Result.Success:
        print(driver.last_error, file=sys.stderr)
        return 1
    print(f"controller period: {driver.stream_motion_period * 1000:.0f} ms")

    # The controller refuses any command beyond its velocity, acceleration and
    # jerk tables: the planner plans within the tables the driver read.
    planner.set_limit_table(driver.stream_motion_limits, arm)

    start = driver.current_joint_position
    goal = [start[0] + 0.8, start[1] + 0.2, start[2] - 0.2, start[3], start[4] - 0.4, start[5] + 1.0]
    moved = driver.move_to(goal)
    print(f"move_to goal: {moved!r}")
    if moved != fanuc.Result.Success:
        # A host too busy to keep the controller's period ends the motion.
        print(f"{driver.last_error} (late cycles of this host: {driver.late_cycles})", file=sys.stderr)
        driver.disable()
        return 1

    # Slower on the way back, paused and resumed: the speed factor changes at
    # a bounded rate, so a change may take a little longer than asked.
    driver.speed = 0.4
    moving = driver.move_to_async(start)
    deadline = time.monotonic() + 5.0
    while not driver.is_running and not moving.done() and time.monotonic() < deadline:
        time.sleep(0.01)
    paused = driver.pause()
    print(f"paused on the way: {paused}")
    if paused:
        print(f"the paused motion: {moving.get()!r}")  # kept; resume carries it on
        driver.reset_speed()
        print(f"resume to the start: {driver.resume_async().get()!r}")
    else:
        print(f"move_to start: {moving.get()!r}")

    back = max(abs(a - b) for a, b in zip(driver.current_joint_position, start))
    record = driver.last_motion_feedback
    print(f"back at the start within {math.degrees(back):.4f} deg")
    print(f"statuses recorded in the last motion: {len(record)}, late cycles of this host: {driver.late_cycles}")
    result = driver.disable()
    print(f"disable: {result!r}")
    return 0 if result == fanuc.Result.Success else 1


if __name__ == "__main__":
    sys.exit(main())
