"""Every way out of a Python program stops the robot: Ctrl-C while a
coroutine awaits a motion, an asyncio time-out, a cancelled task, an
unhandled exception, the end of the script, a `with` block left by an
exception, and disconnect() during a motion.

Each program runs in a process of its own against a simulator that records
what it received. Just before its way out the program writes a marker output
(digital output 99); the controller must receive "FRC_Abort" within 0.5 s
of the marker (plus the time-out, where there is one), no instruction after
it, and its arm must stand still afterwards."""

import csv
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import DEADLINE, Simulator, wait_until

PROLOGUE = textwrap.dedent(
    """
    import asyncio, os, signal, sys, time
    import orvane, orvane_driver_fanuc as fanuc
    sys.path.insert(0, {tests!r})
    from conftest import long_trajectory

    # Python leaves Ctrl-C ignored when it starts with SIGINT ignored (a job
    # started in the background by a non-interactive shell): what a user's
    # terminal gives is the default.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)

    def connect():
        driver = fanuc.FanucDriver(planner, sys.argv[1])
        assert driver.enable() == fanuc.Result.Success
        driver.create_io_alias("marker", 99)
        return driver

    def long_motion(driver):
        return long_trajectory(driver.current_joint_position, [1.2, 0.5, -0.4, 1.5, -1.2, 2.5], 8.0)

    def wait_until_moving(driver):
        end = time.monotonic() + 30.0
        while not driver.is_running and time.monotonic() < end:
            time.sleep(0.01)
        time.sleep(0.3)

    def mark(driver):
        assert driver.set_digital_output("marker", 1)
    """
)

PROGRAMS = {
    # asyncio.run turns Ctrl-C into a cancellation of the main task.
    "ctrl_c_during_await": (
        0.0,
        """
        driver = connect()

        async def interrupt_soon():
            wait_until_moving(driver)
            mark(driver)
            os.kill(os.getpid(), signal.SIGINT)

        async def main():
            future = driver.run_async(long_motion(driver))
            asyncio.get_running_loop().create_task(interrupt_soon())
            print("AWAITED", await future, flush=True)

        try:
            asyncio.run(main())
        except KeyboardInterrupt:
            print("INTERRUPTED", flush=True)
            time.sleep(1.5)  # the driver lives on: the await itself must have stopped the robot
        """,
    ),
    "wait_for_time_out": (
        0.8,
        """
        driver = connect()

        async def main():
            future = driver.run_async(long_motion(driver))
            wait_until_moving(driver)
            mark(driver)
            try:
                await asyncio.wait_for(future, 0.8)
            except TimeoutError:
                print("TIMED OUT", flush=True)
            await asyncio.sleep(1.5)

        asyncio.run(main())
        """,
    ),
    "task_cancelled": (
        0.0,
        """
        driver = connect()

        async def main():
            async def move():
                return await driver.run_async(long_motion(driver))

            task = asyncio.get_running_loop().create_task(move())
            await asyncio.sleep(0.05)
            wait_until_moving(driver)
            mark(driver)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                print("CANCELLED", flush=True)
            await asyncio.sleep(1.5)

        asyncio.run(main())
        """,
    ),
    "unhandled_exception": (
        0.0,
        """
        driver = connect()
        driver.run_async(long_motion(driver))
        wait_until_moving(driver)
        mark(driver)
        raise RuntimeError("the program failed while the robot moved")
        """,
    ),
    "end_of_script": (
        0.0,
        """
        driver = connect()
        driver.run_async(long_motion(driver))
        wait_until_moving(driver)
        mark(driver)
        """,
    ),
    "with_block_left_by_an_exception": (
        0.0,
        """
        try:
            with connect() as driver:
                driver.run_async(long_motion(driver))
                wait_until_moving(driver)
                mark(driver)
                raise ValueError("the program failed while the robot moved")
        except ValueError:
            print("LEFT THE BLOCK", flush=True)
            time.sleep(1.5)  # leaving the block stopped the robot, not the exit
        """,
    ),
    "disconnect_during_motion": (
        0.0,
        """
        driver = connect()
        future = driver.run_async(long_motion(driver))
        wait_until_moving(driver)
        mark(driver)
        assert driver.disconnect()
        print("RESULT", future.get(timeout=30.0), flush=True)
        time.sleep(1.5)
        """,
    ),
}


def received(prefix):
    with open(f"{prefix}_received.csv", newline="") as file:
        return [(float(row["t"]), json.loads(row["line"])) for row in csv.DictReader(file) if row["channel"] == "data"]


@pytest.mark.parametrize("way_out", list(PROGRAMS))
def test_every_way_out_stops_the_robot(tmp_path, way_out):
    time_out, body = PROGRAMS[way_out]
    script = PROLOGUE.format(tests=os.path.dirname(__file__)) + textwrap.dedent(body)
    sim = Simulator(record_prefix=tmp_path / "record")
    try:
        child = subprocess.run([sys.executable, "-c", script, sim.address], capture_output=True, text=True,
                               timeout=DEADLINE * 2)  # fmt: skip
        still = sim.status()["joints"]
        moved = wait_until(lambda: sim.status()["joints"] != still, timeout=0.5)
    finally:
        assert sim.stop() == 0
    lines = received(tmp_path / "record")

    marked = [t for t, line in lines if line.get("Command") == "FRC_WriteDOUT" and line.get("PortNumber") == 99]
    assert marked, child.stdout + child.stderr
    aborts = [t for t, line in lines if line.get("Command") == "FRC_Abort" and t > marked[0]]
    assert aborts, "no FRC_Abort after the way out:\n" + child.stdout + child.stderr
    assert aborts[0] - marked[0] <= time_out + 0.5, f"FRC_Abort came {aborts[0] - marked[0]:.2f} s after the marker"
    late = [line for t, line in lines if t > aborts[0] and line.get("Instruction") == "FRC_JointMotionJRep"]
    assert not late, f"{len(late)} instructions after the abort"
    assert not moved, "the arm kept moving"
    assert 0.0 < still[5] < 140.0, f"the arm was not caught mid-motion: J6 at {still[5]} deg"
    # Nothing the user asked for is reported as an error.
    assert "\x1b[1;31m" not in child.stdout and "failed" not in child.stdout, child.stdout
    if way_out == "disconnect_during_motion":
        assert "RESULT Result.ErrorTrajectoryAborted" in child.stdout, child.stdout + child.stderr
        assert "[orvane.driver]" not in child.stdout, child.stdout


def test_close_is_idempotent_and_the_with_block_returns_the_driver(simulator, planner):
    import orvane_driver_fanuc as fanuc

    with fanuc.FanucDriver(planner, simulator.address) as driver:
        assert isinstance(driver, fanuc.FanucDriver)
        assert driver.enable() == fanuc.Result.Success
    assert not driver.is_connected
    assert simulator.status()["rmi"] == 0
    driver.close()  # a second close does nothing
    assert not driver.is_connected
