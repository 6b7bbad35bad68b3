#!/usr/bin/env python3
"""Pick and place planned by the controller itself: straight approach and
retreat moves, joint moves that blend (CNT) through a via point, and waits in
the controller's own queue.

    python examples/controller_motions.py --host 192.168.1.10
"""

import argparse
import sys

import orvane
import orvane_driver_fanuc as fanuc

HOME = [0.0, 0.3, -0.3, 0.0, -1.2, 0.0]
ABOVE_PICK = [0.5, 0.35, -0.25, 0.0, -0.9, 0.5]
VIA = [0.0, 0.1, -0.4, 0.0, -1.1, 0.0]
ABOVE_PLACE = [-0.5, 0.35, -0.25, 0.0, -0.9, -0.5]
DEPTH = 0.05  # m straight down from above a part


def check(what, result):
    print(f"{what}: {result!r}")
    if result != fanuc.Result.Success:
        raise SystemExit(1)


def below(pose, depth):
    x, y, z, a, b, c = pose.pose.to_euler()
    return fanuc.CartesianPose(orvane.Frame.from_euler(x, y, z - depth, a, b, c), pose.user_frame, pose.user_tool,
                               pose.configuration)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    args = parser.parse_args()

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, args.host)
    check("enable", driver.enable())
    check("home", driver.move_joint(HOME, 50))

    check("move above the part", driver.move_joint(ABOVE_PICK, 50))
    above_pick = driver.current_cartesian_position
    check("approach the part", driver.move_linear(below(above_pick, DEPTH), 0.1))
    check("close the gripper", driver.wait_time(0.2))
    check("lift", driver.move_linear(above_pick, 0.1))

    # Blended through the via point: the blocking call returns once queued,
    # and the controller rounds the corner into the next move.
    check("through the via point", driver.move_joint(VIA, 80, fanuc.Blend.cnt(50)))
    check("move above the place", driver.move_joint(ABOVE_PLACE, 80))
    above_place = driver.current_cartesian_position
    # Queued without waiting: the future completes when the controller answers.
    steps = [("lower the part", driver.move_linear_async(below(above_place, DEPTH), 0.1)),
             ("open the gripper", driver.wait_time_async(0.2)),
             ("retreat", driver.move_linear_async(above_place, 0.1)),
             ("back home", driver.move_joint_async(HOME, 50))]  # fmt: skip
    for what, step in steps:
        check(what, step.get())
    return 0


if __name__ == "__main__":
    sys.exit(main())
