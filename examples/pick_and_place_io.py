#!/usr/bin/env python3
"""Pick and place with controller I/O: a gripper on a digital output, a part
sensor on a digital input, joint and Cartesian goals.

    python examples/pick_and_place_io.py --host 192.168.1.10 --gripper-output 1 --part-input 7
"""

import argparse
import sys

import orvane
import orvane_driver_fanuc as fanuc

HOME = [0.0, 0.0, 0.0, 0.0, -0.5, 0.0]
ABOVE_PICK = [0.5, 0.35, -0.25, 0.0, -0.6, 0.5]
PICK_DEPTH = 0.05  # m straight down from above the part


def check(what, result):
    print(f"{what}: {result!r}")
    if result != fanuc.Result.Success:
        raise SystemExit(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    parser.add_argument("--gripper-output", type=int, default=1, help="digital output that closes the gripper")
    parser.add_argument("--part-input", type=int, default=7, help="digital input of the part sensor")
    args = parser.parse_args()

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, args.host)
    check("enable", driver.enable())

    # Programs name I/O by what it does; the addresses live in one place.
    driver.create_io_alias("gripper", args.gripper_output)
    driver.create_io_alias("part_present", args.part_input)

    present = driver.get_digital_input("part_present")
    print(f"part present: {present}")
    if present != 1:
        print("no part to pick", file=sys.stderr)
        return 1

    check("open gripper", fanuc.Result.Success if driver.set_digital_output("gripper", 0) else fanuc.Result.Error)
    check("move above the part", driver.move_to(ABOVE_PICK))

    # Straight down in Cartesian space: the same orientation, 5 cm lower.
    above = arm.calculate_tcp(ABOVE_PICK)
    x, y, z, a, b, c = above.to_euler()
    pick = orvane.CartesianWaypoint(orvane.Frame.from_euler(x, y, z - PICK_DEPTH, a, b, c))
    check("move down to the part", driver.move_to(pick))

    check("close gripper", fanuc.Result.Success if driver.set_digital_output("gripper", 1) else fanuc.Result.Error)
    check("lift", driver.move_to(ABOVE_PICK))
    check("move to the place position", driver.move_to([-0.5, 0.35, -0.25, 0.0, -0.6, -0.5]))
    check("release", fanuc.Result.Success if driver.set_digital_output("gripper", 0) else fanuc.Result.Error)
    check("home", driver.move_to(HOME))
    return 0


if __name__ == "__main__":
    sys.exit(main())
