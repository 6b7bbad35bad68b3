#!/usr/bin/env python3
"""Motion inside an asyncio program: await the driver's futures while other
tasks of the event loop keep running.

    python examples/asyncio_motion.py --host 192.168.1.10
"""

import argparse
import asyncio
import math
import sys

import orvane
import orvane_driver_fanuc as fanuc


async def report_progress(driver: fanuc.FanucDriver, stop: asyncio.Event) -> int:
    """Another task of the same loop: prints the speed while the robot moves."""
    ticks = 0
    while not stop.is_set():
        if driver.is_running:
            ticks += 1
            print(f"  moving, speed {driver.speed:.2f}")
        await asyncio.sleep(0.25)
    return ticks


async def main(host: str) -> int:
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, host)
    if await driver.enable_async() != fanuc.Result.Success:
        print("could not enable the controller", file=sys.stderr)
        return 1

    stop = asyncio.Event()
    reporter = asyncio.create_task(report_progress(driver, stop))

    start = driver.current_joint_position
    goal = [0.6, 0.3, -0.2, 0.5, -0.6, 1.0]
    trajectory = planner.plan(orvane.Motion(robot=arm), start=start, goal=goal)
    print(f"running a {trajectory.duration:.2f} s trajectory")
    result = await driver.run_async(trajectory)
    print(f"run_async: {result!r}")

    # Several motions in sequence, each awaited; the loop stays responsive.
    for target in ([0.0, 0.0, 0.0, 0.0, -0.5, 0.0], start):
        result = await driver.move_to_async(target)
        print(f"move_to_async {[round(math.degrees(q)) for q in target]}: {result!r}")
        if result != fanuc.Result.Success:
            break

    stop.set()
    ticks = await reporter
    print(f"the progress task ran {ticks} times while the robot moved")
    return 0 if result == fanuc.Result.Success else 1


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    sys.exit(asyncio.run(main(parser.parse_args().host)))
