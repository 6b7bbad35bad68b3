"""Faults that a Python user would hit first, each with the behaviour that
mends it: waiting on a future while an event action needs the interpreter
lock, dropping a future, reference counts of actions copied without the
lock, and Ctrl-C during a blocking motion."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from conftest import DEADLINE, wait_until
from orvane_driver_fanuc import Action, Result, Trigger

FAR = [1.2, 0.5, -0.4, 1.5, -1.2, 2.5]


WAIT_WITH_ACTION = textwrap.dedent(
    """
    import sys
    import orvane, orvane_driver_fanuc as fanuc
    sys.path.insert(0, {tests!r})
    from conftest import long_trajectory

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, sys.argv[1])
    assert driver.enable() == fanuc.Result.Success
    fired = []
    driver.add_event(fanuc.Trigger.Time() > 0.2, lambda t: fired.append(t))
    future = driver.run_async(long_trajectory(driver.current_joint_position, [0.4, 0.2, 0.0, 0.0, -0.5, 0.3], 2.0))
    value = future.{method}()
    print("DONE", value, fired, flush=True)
    """
)


@pytest.mark.parametrize("method", ["get", "wait"])
def test_waiting_on_a_future_lets_python_actions_run(simulator, method):
    # A wait that kept the interpreter lock would never let the action run, and
    # the driver's thread would hang in it: the whole process would deadlock,
    # hence a process of its own.
    script = WAIT_WITH_ACTION.format(tests=os.path.dirname(__file__), method=method)
    child = subprocess.Popen([sys.executable, "-c", script, simulator.address], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)  # fmt: skip
    try:
        out, err = child.communicate(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail(f"future.{method}() deadlocked with a Python action")
    done = [line for line in out.splitlines() if line.startswith("DONE")]
    assert done, out + err
    expected = "Result.Success (1): Finished successfully." if method == "get" else "None"
    assert done[0].startswith(f"DONE {expected} [0.2"), done[0]


ACTION_WAITS = textwrap.dedent(
    """
    import sys
    import orvane, orvane_driver_fanuc as fanuc
    sys.path.insert(0, {tests!r})
    from conftest import long_trajectory

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, sys.argv[1])
    assert driver.enable() == fanuc.Result.Success
    seen = {{}}

    def move_now(t):
        seen["move_to"] = driver.move_to([0.1] * 6)

    def wait_for_motion(t):
        try:
            seen["get"] = driver.move_to_async([0.2] * 6).get()
        except RuntimeError as error:
            seen["get"] = type(error).__name__

    driver.add_event(fanuc.Trigger.Time() > 0.2, move_now)
    driver.add_event(fanuc.Trigger.Time() > 0.4, wait_for_motion)
    result = driver.run(long_trajectory(driver.current_joint_position, [0.3] * 6, 2.0))
    print("DONE", result.code, seen["move_to"].code, seen["get"], flush=True)
    """
)


def test_an_action_cannot_wait_for_its_own_driver(simulator):
    # A blocking motion or a wait inside an action would wait for the very
    # thread that runs the action: refused instead of hanging for ever.
    script = ACTION_WAITS.format(tests=os.path.dirname(__file__))
    child = subprocess.Popen([sys.executable, "-c", script, simulator.address], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)  # fmt: skip
    try:
        out, err = child.communicate(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail("a wait inside an event action deadlocked the driver")
    done = [line.split() for line in out.splitlines() if line.startswith("DONE")]
    assert done, out + err
    run, move_to, get = done[0][1:]
    assert int(run) in (Result.Success.code, Result.ErrorTrajectoryAborted.code)
    assert int(move_to) == Result.ErrorCommandAlreadyInProgress.code
    assert get == "RuntimeError"


@pytest.mark.parametrize("operation", ["enable_async", "disable_async", "stop_async", "resume_async"])
def test_dropping_an_unfinished_future_does_not_block(driver, simulator, operation):
    # Answers are withheld, so the operation cannot end before they are
    # released; dropping its only future must return all the same (the last
    # reference to a std::async state would wait for the operation).
    simulator.console("withhold on")
    dropped = threading.Event()

    def drop():
        getattr(driver, operation)()
        dropped.set()

    threading.Thread(target=drop, daemon=True).start()
    released = dropped.wait(10.0)
    simulator.console("withhold off")
    assert released, "dropping the future blocked until the operation ended"


def test_actions_copied_without_the_lock_keep_reference_counts_exact(enabled):
    def callback(t):
        pass

    baseline = sys.getrefcount(callback)
    action = Action(callback)
    assert sys.getrefcount(callback) == baseline + 1
    trigger = Trigger.Time() > 1e9  # never fires: discarded when the motion ends

    # add_event runs without the interpreter lock, from several threads at once.
    def register():
        for _ in range(100):
            enabled.add_event(trigger, action)
            enabled.add_event(trigger, callback)

    threads = [threading.Thread(target=register) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE)
    del action
    # One reference for the Action's copies (they share it), one per callable
    # converted on the way in; none lost, none doubled by the unlocked copies.
    assert sys.getrefcount(callback) == baseline + 1 + 400
    # The motion's end discards the 800 waiting events on the driver's thread.
    assert enabled.move_to([0.2, 0.0, 0.0, 0.0, -0.3, 0.0]) == Result.Success
    assert wait_until(lambda: sys.getrefcount(callback) == baseline)


# --- Ctrl-C -------------------------------------------------------------------------------------------

CHILD = textwrap.dedent(
    """
    import json, signal, sys, time
    import orvane, orvane_driver_fanuc as fanuc

    # Python leaves Ctrl-C ignored when it starts with SIGINT ignored (a job
    # started in the background by a non-interactive shell): what a user's
    # terminal gives is the default.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    FAR = {far}
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    planner.add_motion(orvane.Motion("far", arm, None, FAR))
    driver = fanuc.FanucDriver(planner, sys.argv[1])
    assert driver.enable() == fanuc.Result.Success
    start = driver.current_joint_position
    trajectory = planner.plan(orvane.Motion(robot=arm), start=start, goal=FAR)
    driver.speed = 0.1  # every motion takes seconds: time to interrupt it
    if "{call}" == "resume":
        driver.run_async(trajectory)
        while not driver.is_running:
            time.sleep(0.01)
        assert driver.pause()
        while driver.is_running:  # the run ends as paused; resume starts it again
            time.sleep(0.01)
    print("CALLING", flush=True)
    try:
        result = {expression}
        print("RETURNED", result, flush=True)
    except KeyboardInterrupt:
        interrupted = time.monotonic()
        print("INTERRUPTED", flush=True)
        first = driver.current_joint_position
        time.sleep(0.5)
        print(json.dumps({{"running": driver.is_running, "first": first, "second": driver.current_joint_position}}),
              flush=True)
    """
)

CALLS = {
    "run": "driver.run(trajectory)",
    "move_to": "driver.move_to(FAR)",
    "move_along": "driver.move_along('far')",
    "blend_into": "driver.blend_into(trajectory, 0.5)",
    "resume": "driver.resume()",
    "future.get": "driver.run_async(trajectory).get()",
    "future.wait": "driver.run_async(trajectory).wait()",
}


@pytest.mark.parametrize("call", list(CALLS))
def test_ctrl_c_during_a_blocking_motion_stops_the_robot_and_raises(simulator, call):
    script = CHILD.format(far=FAR, call=call, expression=CALLS[call])
    child = subprocess.Popen([sys.executable, "-c", script, simulator.address], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=os.environ.copy())  # fmt: skip
    try:
        # The driver logs to the same output: look for the script's own lines.
        for line in child.stdout:
            if line.strip() == "CALLING":
                break
        else:
            pytest.fail("the script did not start its motion: " + child.stderr.read())
        start = simulator.status()["joints"]
        assert wait_until(lambda: simulator.status()["joints"] != start), "the robot did not move"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=DEADLINE)
    finally:
        if child.poll() is None:
            child.kill()
    lines = [line for line in out.splitlines() if line.startswith(("INTERRUPTED", "RETURNED", "{"))]
    assert lines[:1] == ["INTERRUPTED"], out + err
    report = json.loads(lines[1])
    assert not report["running"]
    assert np.allclose(report["first"], report["second"], atol=1e-6), "the robot kept moving"
    assert np.max(np.abs(np.array(report["second"]) - FAR)) > 0.1, "the motion ran to its end"
    assert simulator.status()["queued"] == 0
