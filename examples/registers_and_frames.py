#!/usr/bin/env python3
"""Hand a job to a program on the controller through a register and two flags,
and read where the tool centre point is.

    python examples/registers_and_frames.py --host 192.168.1.10 --job 7

The program on the controller (a TP program of the cell) is expected to wait
for the request flag, run the job named in the job register, and set the done
flag when it has finished; this script then clears the request. The pose is
read in the active user frame and tool, in metres and radians; user frame 0 is
the controller's world frame, whose origin lies on the J1 axis at the height of
J2 (330 mm above the base of an LR Mate 200iD), not at the base the planner
measures from.
"""

import argparse
import math
import sys
import time

import orvane
import orvane_driver_fanuc as fanuc

LOOK_POSE = [0.3, 0.2, -0.1, 0.0, -0.8, 0.4]


def describe(frame):
    x, y, z, w, p, r = frame.to_euler()
    return (f"x={x * 1000:.2f} mm y={y * 1000:.2f} mm z={z * 1000:.2f} mm "
            f"w={math.degrees(w):.3f} deg p={math.degrees(p):.3f} deg r={math.degrees(r):.3f} deg")  # fmt: skip


def show_pose(what, driver):
    pose = driver.current_cartesian_position
    if pose is None:
        print(f"{what}: the controller does not report a Cartesian position", file=sys.stderr)
        raise SystemExit(1)
    print(f"{what}: {describe(pose.pose)} (user frame {pose.user_frame}, tool {pose.user_tool}, "
          f"{pose.configuration})")  # fmt: skip


def wait_for_flag(driver, name, value, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if driver.get_flag(name) == value:
            return True
        time.sleep(0.05)
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    parser.add_argument("--job", type=int, default=7, help="job number written to the job register")
    parser.add_argument("--job-register", type=int, default=5, help="numeric register R[n] of the job number")
    parser.add_argument("--request-flag", type=int, default=1, help="flag F[n] that asks the program to run")
    parser.add_argument("--done-flag", type=int, default=2, help="flag F[n] the program sets when finished")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for the program")
    args = parser.parse_args()

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    with fanuc.FanucDriver(planner, args.host) as driver:
        if driver.enable() != fanuc.Result.Success:
            print(f"enable failed: {driver.last_error}", file=sys.stderr)
            return 1
        frame_and_tool = driver.active_frame_and_tool
        if frame_and_tool is not None:
            print(f"active user frame {frame_and_tool.user_frame}, tool {frame_and_tool.user_tool}")
        show_pose("tool centre point", driver)

        # Programs name registers and flags by what they mean; the numbers live here.
        driver.create_io_alias("job", args.job_register)
        driver.create_io_alias("request", args.request_flag)
        driver.create_io_alias("done", args.done_flag)

        if not driver.set_int_register("job", args.job) or driver.get_int_register("job") != args.job:
            print(f"the job register R[{args.job_register}] could not be written: {driver.last_error}",
                  file=sys.stderr)  # fmt: skip
            return 1
        if not driver.set_flag("request", 1):
            print(f"the request flag F[{args.request_flag}] could not be set", file=sys.stderr)
            return 1
        print(f"job {args.job} requested; waiting for F[{args.done_flag}]")
        finished = wait_for_flag(driver, "done", 1, args.timeout)
        driver.set_flag("request", 0)  # whatever happened: no request stays behind
        if not finished:
            print(f"no program answered within {args.timeout:g} s", file=sys.stderr)
            return 1
        print(f"job {args.job} done")

        result = driver.move_to(LOOK_POSE)
        print(f"move: {result!r}")
        if result != fanuc.Result.Success:
            return 1
        show_pose("tool centre point after the move", driver)
    return 0


if __name__ == "__main__":
    sys.exit(main())
