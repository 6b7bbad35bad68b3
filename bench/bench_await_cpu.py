#!/usr/bin/env python3
"""CPU time of the awaiting process during a 5 s motion against the bundled
simulator: waiting with the blocking `get()` (the baseline: what the driver's
own threads cost), awaiting by polling the future every turn of the event
loop (how `await` worked before), and `await future` (suspended on an asyncio
future until the motion ends). Each figure is given beside the baseline of
the same run, as a ratio.

    PYTHONPATH=build/python .venv/bin/python bench/bench_await_cpu.py [--simulator build/sim/fanuc-rmi-sim]
"""

import argparse
import asyncio
import random
import subprocess
import sys
import time

import numpy as np

import orvane
import orvane_driver_fanuc as fanuc

DURATION = 5.0  # s of motion per figure


def start_simulator(path):
    address = f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"
    process = subprocess.Popen([path, "--address", address, "--data-port", "0"], stdout=subprocess.PIPE, text=True)
    for line in process.stdout:
        if "listening on" in line:
            return process, address
    raise RuntimeError("the simulator did not start")


def motion(driver, out):
    """A rest-to-rest move of DURATION seconds, out or back home."""
    start = np.asarray(driver.current_joint_position)
    goal = np.array([0.6, 0.3, -0.2, 0.5, -0.6, 1.0]) if out else np.zeros(6)
    t = np.arange(0.0, DURATION + 0.012, 0.024)
    s = t / DURATION
    shape, dshape = 10 * s**3 - 15 * s**4 + 6 * s**5, (30 * s**2 - 60 * s**3 + 30 * s**4) / DURATION
    ddshape = (60 * s - 180 * s**2 + 120 * s**3) / DURATION**2
    delta = goal - start
    return orvane.Trajectory(t, start + np.outer(shape, delta), np.outer(dshape, delta), np.outer(ddshape, delta))


class Polling:
    """Awaits like the old awaitable: a bare yield every turn of the loop until done."""

    def __init__(self, future):
        self.future = future

    def __await__(self):
        while not self.future.done():
            yield
        return self.future.get()


def cpu_of(wait):
    before = time.process_time()
    result = wait()
    assert result == fanuc.Result.Success, result
    return time.process_time() - before


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulator", default="build/sim/fanuc-rmi-sim")
    args = parser.parse_args()
    fanuc.set_log_level("Error")
    simulator, address = start_simulator(args.simulator)
    try:
        arm = orvane.robots.fanuc_lrmate200id()
        planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
        with fanuc.FanucDriver(planner, address) as driver:
            assert driver.enable() == fanuc.Result.Success
            out = True

            def next_motion():
                nonlocal out
                trajectory = motion(driver, out)
                out = not out
                return driver.run_async(trajectory)

            async def polled():
                return await Polling(next_motion())

            async def awaited():
                return await next_motion()

            blocking = cpu_of(lambda: next_motion().get())
            polling = cpu_of(lambda: asyncio.run(polled()))
            sleeping = cpu_of(lambda: asyncio.run(awaited()))
    finally:
        simulator.terminate()
        simulator.wait()

    print(f"CPU of the awaiting process during a {DURATION:.0f} s motion (blocking get() = baseline):")
    print(f"  blocking get()         {blocking:6.3f} s   1.00")
    print(f"  await, polling (old)   {polling:6.3f} s   {polling / blocking:6.2f}")
    print(f"  await, sleeping (new)  {sleeping:6.3f} s   {sleeping / blocking:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
