"""Motion from Python against the bundled simulator: the blocking and
asynchronous operations, keyword names, numpy goals, futures and asyncio,
other threads pausing and stopping, Python event actions."""

import asyncio
import threading

import numpy as np
import pytest

import orvane
import orvane_driver_fanuc as fanuc
from conftest import DEADLINE, long_trajectory, wait_until
from orvane_driver_fanuc import Result, Trigger

GOAL_A = [0.5, 0.3, -0.2, 0.4, -0.6, 1.0]
GOAL_B = [-0.4, 0.2, -0.1, -0.3, -0.8, -0.6]
FAR = [1.2, 0.5, -0.4, 1.5, -1.2, 2.5]  # reached with long_trajectory: 6 s


def plan(planner, arm, start, goal):
    return planner.plan(orvane.Motion(robot=arm), start=start, goal=goal)


def at(driver, goal, tolerance=2e-3):
    return np.max(np.abs(np.array(driver.current_joint_position) - np.array(goal))) <= tolerance


def poll(future):
    """The await protocol's poll: (False, None) while the operation runs, else (True, result)."""
    try:
        future.__next__()
        return False, None
    except StopIteration as done:
        return True, done.value


def wait_running(driver):
    assert wait_until(lambda: driver.is_running), "the motion did not start"


# --- blocking motion ------------------------------------------------------------------------------------


def test_run_streams_a_planned_trajectory_to_its_end(enabled, planner, arm):
    trajectory = plan(planner, arm, enabled.current_joint_position, GOAL_A)
    assert enabled.run(trajectory) == Result.Success
    assert at(enabled, GOAL_A)
    assert not enabled.is_running
    assert enabled.total_motion_time == pytest.approx(trajectory.duration, abs=0.1)
    assert enabled.run(trajectory=plan(planner, arm, GOAL_A, GOAL_B)) == Result.Success
    assert at(enabled, GOAL_B)


@pytest.mark.parametrize(
    "make_goal",
    [list, tuple, np.array, lambda g: np.array(g, dtype=np.float32), orvane.Waypoint],
    ids=["list", "tuple", "numpy", "numpy float32", "Waypoint"],
)
def test_move_to_accepts_every_joint_goal_form(enabled, make_goal):
    assert enabled.move_to(make_goal(GOAL_A)) == Result.Success
    assert at(enabled, GOAL_A)


def test_move_to_a_cartesian_goal_reaches_the_pose(enabled, arm):
    target = arm.calculate_tcp(GOAL_A)
    assert enabled.move_to(goal=orvane.CartesianWaypoint(target), ignore_collisions=True) == Result.Success
    reached = arm.calculate_tcp(enabled.current_joint_position)
    assert reached.translational_distance(target) < 1e-3
    assert reached.angular_distance(target) < 1e-2


def test_move_to_keyword_names_differ_between_blocking_and_async(enabled):
    with pytest.raises(TypeError):
        enabled.move_to(point=GOAL_A)
    with pytest.raises(TypeError):
        enabled.move_to_async(goal=GOAL_A)
    assert enabled.move_to_async(point=np.array(GOAL_A), ignore_collisions=False).get() == Result.Success
    assert at(enabled, GOAL_A)


def test_move_along_a_named_motion_with_and_without_a_goal(enabled, planner, arm):
    planner.add_motion(orvane.Motion("to-a", arm, None, GOAL_A))
    assert enabled.move_along("to-a") == Result.Success
    assert at(enabled, GOAL_A)
    assert enabled.move_along(name="to-a", goal=np.array(GOAL_B), ignore_collisions=True) == Result.Success
    assert at(enabled, GOAL_B)
    assert enabled.move_along_async("to-a").get() == Result.Success
    assert at(enabled, GOAL_A)
    assert enabled.move_along("no such motion") != Result.Success
    assert at(enabled, GOAL_A)


def test_blend_into_replaces_the_running_trajectory(enabled, planner, arm):
    first = long_trajectory(enabled.current_joint_position, FAR)
    second = plan(planner, arm, GOAL_A, GOAL_B)
    running = enabled.run_async(first)
    wait_running(enabled)
    assert enabled.blend_into(trajectory=second, duration=1.0) == Result.Success
    assert running.get() == Result.ErrorTrajectoryAborted
    assert at(enabled, GOAL_B)


def test_stop_ends_a_run_midway(enabled, planner, arm):
    running = enabled.run_async(long_trajectory(enabled.current_joint_position, FAR))
    wait_running(enabled)
    assert enabled.stop() == Result.Success
    assert running.get() == Result.ErrorTrajectoryAborted
    assert not enabled.is_running and not at(enabled, FAR, tolerance=0.1)
    assert enabled.stop(fast_stop=False) == Result.Success  # nothing moving: still fine
    assert enabled.stop_async().get() == Result.Success
    assert enabled.move_to(GOAL_A) == Result.Success  # usable again


def test_pause_and_resume_continue_the_same_trajectory(enabled, planner, arm):
    running = enabled.run_async(long_trajectory(enabled.current_joint_position, FAR))
    wait_running(enabled)
    assert enabled.pause() is True
    assert enabled.is_paused
    held = enabled.current_joint_position
    assert not at(enabled, FAR, tolerance=0.1)
    assert enabled.resume() == Result.Success
    # When the pause had ended the run, resume() ran the rest (and the run was
    # aborted); otherwise it let the same run go on to its end.
    assert running.get() in (Result.Success, Result.ErrorTrajectoryAborted)
    assert at(enabled, FAR)
    assert held != enabled.current_joint_position


def test_pause_async_is_awaitable_and_resume_async_finishes(enabled, planner, arm):
    enabled.pausing_duration = 0.3
    running = enabled.run_async(long_trajectory(enabled.current_joint_position, FAR))
    wait_running(enabled)

    async def pause():
        return await enabled.pause_async()

    assert asyncio.run(pause()) is True
    assert enabled.is_paused
    assert wait_until(lambda: not enabled.is_running)  # the run ends as paused
    assert running.get() == Result.ErrorTrajectoryAborted
    held = enabled.current_joint_position
    assert enabled.resume_async().get() == Result.Success  # runs the rest of the trajectory
    assert at(enabled, FAR) and not at(enabled, held, tolerance=0.1)


# --- other Python threads during a blocking run -------------------------------------------------------


def run_in_thread(function):
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.setdefault("result", function()), daemon=True)
    thread.start()
    return thread, outcome


def test_another_thread_changes_speed_pauses_and_stops_a_blocking_run(enabled, planner, arm):
    trajectory = long_trajectory(enabled.current_joint_position, FAR)
    thread, outcome = run_in_thread(lambda: enabled.run(trajectory))
    wait_running(enabled)  # reachable only because run() let go of the interpreter lock
    enabled.speed = 0.5
    assert enabled.speed == pytest.approx(0.5)
    enabled.set_speed(speed=1.0, duration=0.2)
    assert enabled.pause() is True
    assert enabled.stop() == Result.Success
    thread.join(DEADLINE)
    assert not thread.is_alive()
    assert outcome["result"] == Result.ErrorTrajectoryAborted
    assert not at(enabled, FAR, tolerance=0.1)


def test_reset_speed_restores_the_last_set_speed(driver):
    driver.set_speed(0.3, 1.0)  # not running: at once
    assert driver.speed == pytest.approx(0.3)
    driver.speed = 0.0
    assert driver.is_paused
    driver.set_speed(0.7, 0.0)
    driver.reset_speed()
    assert driver.speed == pytest.approx(0.7)


# --- futures ------------------------------------------------------------------------------------------


def test_futures_poll_then_stop_iteration_and_get_twice(enabled, planner, arm):
    future = enabled.run_async(long_trajectory(enabled.current_joint_position, GOAL_A, duration=2.0))
    assert isinstance(future, fanuc.FutureResult)
    assert future.__next__() is None  # unfinished: one turn of the loop
    iterator = future.__await__()
    assert isinstance(iterator, fanuc.FutureResult) and iterator is not future
    assert future.wait() is None
    done, value = poll(iterator)  # shares the operation's state
    assert done and value == Result.Success
    assert future.get() == Result.Success and future.get() == Result.Success
    with pytest.raises(StopIteration) as stop:
        next(future)
    assert stop.value.value == Result.Success


def test_awaiting_a_run_leaves_the_event_loop_running(enabled, planner, arm):
    trajectory = long_trajectory(enabled.current_joint_position, GOAL_A, duration=2.0)

    async def main():
        ticks = 0
        finished = asyncio.Event()

        async def ticker():
            nonlocal ticks
            while not finished.is_set():
                ticks += 1
                await asyncio.sleep(0.01)

        task = asyncio.create_task(ticker())
        result = await enabled.run_async(trajectory)
        seen = ticks
        finished.set()
        await task
        return result, seen

    result, ticks = asyncio.run(main())
    assert result == Result.Success and isinstance(result, Result)
    # The ticker ran all along the motion (a blocking await would leave it at 1).
    assert ticks >= 10
    assert at(enabled, GOAL_A)


def test_asyncio_gather_of_motion_and_io(enabled, planner, arm):
    enabled.create_io_alias("gripper", 2)

    async def main():
        motion = enabled.move_to_async(GOAL_B)
        io = asyncio.to_thread(enabled.set_digital_output, "gripper", 1)
        return await asyncio.gather(motion, io)

    assert asyncio.run(main()) == [Result.Success, True]


# --- events ---------------------------------------------------------------------------------------------


def first_time(trajectory, predicate):
    """Playback time of the first sample whose position satisfies `predicate`."""
    for state in (trajectory[i] for i in range(len(trajectory))):
        if predicate(state.position):
            return state.time
    raise AssertionError("no sample satisfies the predicate")


def test_python_actions_fire_once_at_their_trigger_during_a_motion(enabled, planner, arm):
    trajectory = long_trajectory(enabled.current_joint_position, GOAL_A, duration=3.0)
    dt = enabled.delta_time
    fired = {}

    def record(name):
        return lambda t: fired.setdefault(name, []).append(t)

    tcp_x = [arm.calculate_tcp(trajectory[i].position).translation[0] for i in range(len(trajectory))]
    x_mid = (min(tcp_x) + max(tcp_x)) / 2
    x_rising = tcp_x[-1] > tcp_x[0]

    enabled.add_event(Trigger.Time() > 0.5, record("time"))
    enabled.add_event(trigger=Trigger.TimeToGoal() < 0.3, action=fanuc.Action(record("to goal")))
    enabled.add_event(Trigger.JointPosition(0) >= 0.25, record("joint"))
    enabled.add_event((Trigger.TCPPosition(0) > x_mid) if x_rising else (Trigger.TCPPosition(0) < x_mid), record("tcp"))
    enabled.add_event(Trigger.Time() > 0.2, lambda t: 1 / 0)  # raises: logged, the motion goes on
    enabled.add_event(Trigger.Time() > 0.3, record("after the raising one"))
    assert enabled.run(trajectory) == Result.Success

    assert all(len(times) == 1 for times in fired.values()), fired
    assert 0.5 < fired["time"][0] <= 0.5 + 2 * dt
    assert trajectory.duration - 0.3 < fired["to goal"][0] + 1e-9 <= trajectory.duration - 0.3 + 2 * dt
    assert fired["joint"][0] == pytest.approx(first_time(trajectory, lambda q: q[0] >= 0.25), abs=2 * dt)
    expected_tcp = first_time(
        trajectory,
        lambda q: (arm.calculate_tcp(q).translation[0] > x_mid) == x_rising and arm.calculate_tcp(q).translation[0] != x_mid,
    )
    assert fired["tcp"][0] == pytest.approx(expected_tcp, abs=2 * dt)
    assert "after the raising one" in fired


def test_trigger_combinations_short_circuit(enabled, planner, arm):
    trajectory = long_trajectory(enabled.current_joint_position, GOAL_A, duration=3.0)
    broken = Trigger.JointPosition(99) > 0.0  # an error whenever it is evaluated
    fired = {}
    # `|` skips its right side once the left holds: fires at the first step.
    enabled.add_event((Trigger.Time() >= 0.0) | broken, lambda t: fired.setdefault("or", t))
    # `&` skips its right side while the left fails, so only the second part decides.
    guarded = (Trigger.Time() < -1.0) & broken
    enabled.add_event(guarded | (Trigger.Time() > 1.0), lambda t: fired.setdefault("and", t))
    # Evaluated both ways: the error drops the event, the motion goes on.
    enabled.add_event((Trigger.Time() > 1e9) | broken, lambda t: fired.setdefault("error", t))
    # A trigger may be reused and combined again after it was built.
    late = Trigger.Time() > 1.5
    enabled.add_event(late & late, lambda t: fired.setdefault("reused", t))
    assert enabled.run(trajectory) == Result.Success
    assert fired["or"] <= 2 * enabled.delta_time
    assert 1.0 < fired["and"] <= 1.0 + 2 * enabled.delta_time
    assert 1.5 < fired["reused"] <= 1.5 + 2 * enabled.delta_time
    assert "error" not in fired


def test_action_may_change_the_speed_of_its_motion(enabled, planner, arm):
    seen = []

    def slow_down(t):
        enabled.speed = 0.5
        seen.append(t)

    enabled.add_event(Trigger.Time() > 0.1, slow_down)
    assert enabled.move_to(GOAL_A) == Result.Success
    assert len(seen) == 1
    assert at(enabled, GOAL_A)
