#!/usr/bin/env python3
"""Connect to a FANUC controller, read its status and joint position, enable it.

    python examples/connect_and_status.py --host 192.168.1.10
"""

import argparse
import math
import sys

import orvane
import orvane_driver_fanuc as fanuc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    args = parser.parse_args()

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)

    # Connects at once; raises OrvaneError when the controller cannot be reached.
    driver = fanuc.FanucDriver(planner, args.host)
    print(f"connected to {driver.host}: {driver.is_connected}")
    print(f"degrees of freedom: {driver.degrees_of_freedom}, control interval: {driver.delta_time * 1000:.0f} ms")
    print(f"status before enabling: {driver.controller_status!r}")

    result = driver.enable()
    print(f"enable: {result!r}")
    if result != fanuc.Result.Success:
        return 1
    print(f"status after enabling: {driver.controller_status!r}")

    joints = driver.current_joint_position
    print("joint position [deg]: " + ", ".join(f"{math.degrees(q):.2f}" for q in joints))
    driver.disable()
    return 0


if __name__ == "__main__":
    sys.exit(main())
