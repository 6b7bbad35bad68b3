"""A Python program never waits behind the controller: every call that waits
for the controller or for the driver's streaming thread lets other Python
threads (and event actions) run meanwhile, and an awaited motion that is
cancelled hands control back to the event loop while its stop completes."""

import asyncio
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import orvane_driver_fanuc as fanuc
from conftest import DEADLINE, SIMULATOR, Simulator, long_trajectory, wait_until


@pytest.fixture
def verbose_simulator():
    """A simulator that prints every line it receives ("<- data: ...")."""
    if not SIMULATOR.exists():
        pytest.fail(f"{SIMULATOR} is missing: build the project (scripts/setup) or set ORVANE_BUILD_DIR")
    sim = Simulator("--verbose")
    yield sim
    sim.stop()


def received(sim, name, since):
    return any(line.startswith("<- data:") and f'"{name}"' in line for line in sim.lines[since:])


# What each call sends first, and what it must give back once answered.
CONTROLLER_CALLS = {
    "enable": ("FRC_Reset", lambda d: d.enable(), lambda r: r == fanuc.Result.Success),
    "disable": ("FRC_Abort", lambda d: d.disable(), lambda r: r == fanuc.Result.Success),
    "current_joint_position": ("FRC_ReadJointAngles", lambda d: d.current_joint_position, lambda r: len(r) == 6),
    "controller_status": ("FRC_GetStatus", lambda d: d.controller_status,
                          lambda r: r == fanuc.ControllerStatus.ReadyToMove),
    "get_digital_input": ("FRC_ReadDIN", lambda d: d.get_digital_input("sensor"), lambda r: r == 0),
    "set_digital_output": ("FRC_WriteDOUT", lambda d: d.set_digital_output("sensor", 1), lambda r: r is True),
    "set_speed_override": ("FRC_SetOverRide", lambda d: d.set_speed_override(50), lambda r: r is True),
    "get_int_register": ("FRC_ReadRegister", lambda d: d.get_int_register("sensor"), lambda r: r == 0),
    "set_payload": ("FRC_SetPayLoad", lambda d: d.set_payload(1), lambda r: r is True),
}


@pytest.mark.parametrize("call", list(CONTROLLER_CALLS))
def test_a_call_waiting_for_the_controller_lets_other_threads_run(verbose_simulator, planner, call):
    sim = verbose_simulator
    request, operation, answered = CONTROLLER_CALLS[call]
    driver = fanuc.FanucDriver(planner, sim.address)
    driver.create_io_alias("sensor", 7)
    if call != "enable":
        assert driver.enable() == fanuc.Result.Success
    sim.console("withhold on")
    with sim.changed:
        seen = len(sim.lines)  # every line the simulator printed before its "ok" is in
    released = threading.Event()

    def release_the_answer():
        # A Python thread: it runs only while the caller has let go of the
        # interpreter lock, and the call's answer comes only once it has run.
        if sim._wait(lambda: received(sim, request, seen)):
            sim.console("withhold off")
            released.set()

    releaser = threading.Thread(target=release_the_answer, daemon=True)
    releaser.start()
    try:
        result = operation(driver)
    finally:
        releaser.join(DEADLINE)
        if not released.is_set():
            sim.console("withhold off")
    assert released.is_set()
    assert answered(result), f"{call} gave {result!r}: it held the interpreter lock while it waited"


WAIT_FOR_THE_STREAM = textwrap.dedent(
    """
    import sys, threading
    import orvane, orvane_driver_fanuc as fanuc
    sys.path.insert(0, {tests!r})
    from conftest import long_trajectory

    # The interpreter lock changes hands only when its holder lets go of it,
    # never by time: a call that keeps it keeps every other thread out.
    sys.setswitchinterval(1000.0)
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, sys.argv[1])
    assert driver.enable() == fanuc.Result.Success
    entered, gate, done = threading.Event(), threading.Event(), []

    def action(t):
        entered.set()
        gate.wait()
        done.append(t)

    driver.add_event(fanuc.Trigger.Time() > 0.1, action)
    future = driver.run_async(long_trajectory(driver.current_joint_position, [0.4, 0.2, 0.0, 0.0, -0.5, 0.3], 3.0))
    assert entered.wait(30)
    gate.set()  # the action may go on as soon as it gets the interpreter lock
    result = driver.{call}
    print("DONE", len(done), result, future.get(), flush=True)
    """
)


@pytest.mark.parametrize("call", ["disable()", "stop()", "close()"])
def test_a_call_waiting_for_the_stream_lets_the_event_action_finish(simulator, call):
    # The call waits for the run to end, and the run waits for the action,
    # which needs the interpreter lock: the call must not keep it.
    script = WAIT_FOR_THE_STREAM.format(tests=os.path.dirname(__file__), call=call)
    child = subprocess.run([sys.executable, "-c", script, simulator.address], capture_output=True, text=True,
                           timeout=DEADLINE)  # fmt: skip
    done = [line.split() for line in child.stdout.splitlines() if line.startswith("DONE")]
    assert done, child.stdout + child.stderr
    assert done[0][1] == "1", f"{call} returned before the action it waited for had run: " + " ".join(done[0])


def test_a_cancelled_await_stops_the_robot_and_the_event_loop_runs_on(verbose_simulator, planner):
    sim = verbose_simulator
    driver = fanuc.FanucDriver(planner, sim.address)
    driver.feedback_rate = 0  # no joint reading is caught among the withheld answers
    assert driver.enable() == fanuc.Result.Success
    start = driver.current_joint_position
    goal = list(np.asarray(start) + [0.8, 0.0, 0.0, 0.0, 0.0, 0.0])

    async def main():
        motion = driver.run_async(long_trajectory(start, goal, 4.0))
        while not driver.is_running:
            await asyncio.sleep(0.01)
        # The controller keeps its answers back until a task of this event
        # loop lets them go: a stop that waited for its abort's answer here
        # would hold the loop, that task could never run, and the abort would
        # time out instead.
        sim.console("withhold on")
        with sim.changed:
            seen = len(sim.lines)  # every line the simulator printed before its "ok" is in

        async def release_the_abort():
            while not received(sim, "FRC_Abort", seen):
                await asyncio.sleep(0.01)
            sim.console("withhold off")

        releaser = asyncio.create_task(release_the_abort())
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(motion, 0.2)
        await asyncio.wait_for(releaser, DEADLINE)
        # The next motion waits for the stop, then runs from where it left the arm.
        back = await driver.move_to_async(start)
        return back, motion.get(timeout=DEADLINE)

    back, cancelled = asyncio.run(main())
    assert cancelled == fanuc.Result.ErrorTrajectoryAborted
    assert back == fanuc.Result.Success, driver.last_error
    assert np.allclose(driver.current_joint_position, start, atol=1e-4)
    assert driver.is_connected
    assert wait_until(lambda: sim.status()["queued"] == 0)
