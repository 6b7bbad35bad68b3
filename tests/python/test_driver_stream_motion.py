"""A Python user moving the arm over Stream Motion against the bundled
simulator: the same API as over RMI, a planner given the controller's limits,
speed, pause, resume and stop in flight, and no limit alarm on the controller."""

import pytest

import orvane
import orvane_driver_fanuc as fanuc
from conftest import Simulator, wait_until
from orvane_driver_fanuc import Result

LIMIT_ALARMS = ("MOTN-603", "MOTN-609", "MOTN-610", "MOTN-611", "MOTN-720", "MOTN-721", "MOTN-722")


@pytest.fixture
def streaming(planner, arm):
    sim = Simulator("--stream-motion-ready-delay", "0.05")
    driver = fanuc.FanucDriver(planner, arm, sim.address, stream_motion=True, stream_motion_port=60015)
    yield sim, driver
    driver.close()
    sim.stop()


def limit_alarms(driver):
    return [text for text in driver.read_errors(5) or [] if any(code in text for code in LIMIT_ALARMS)]


def test_a_stream_motion_session_moves_changes_speed_pauses_resumes_and_stops(streaming, planner, arm):
    sim, driver = streaming
    assert driver.motion_interface == "stream_motion"
    assert driver.stream_motion_limits is None  # read at enable
    assert driver.enable() == Result.Success, driver.last_error
    assert driver.stream_motion_period == pytest.approx(0.008)
    planner.set_limit_table(driver.stream_motion_limits, arm)

    start = driver.current_joint_position
    goal = [start[0] + 2.0, start[1], start[2], start[3], start[4], start[5] + 3.0]
    driver.speed = 0.3  # long enough to pause on the way
    moving = driver.move_to_async(goal)
    assert wait_until(lambda: driver.is_running)
    paused = driver.pause()
    assert paused, (moving.get(), driver.last_error, driver.read_errors(3))
    assert moving.get() == Result.ErrorTrajectoryAborted  # kept, paused
    resumed = driver.resume_async()
    assert wait_until(lambda: driver.is_running)
    driver.speed = 0.2
    assert driver.stop() == Result.Success, driver.last_error
    assert resumed.get() == Result.ErrorTrajectoryAborted
    driver.reset_speed()
    assert driver.move_to(start) == Result.Success, driver.last_error
    assert limit_alarms(driver) == []

    record = driver.last_motion_feedback
    assert len(record) > 0 and len(record.currents) == len(record)


def test_rmi_stays_the_default_and_a_bad_stream_motion_port_is_refused(simulator, planner, arm):
    driver = fanuc.FanucDriver(planner, arm, simulator.address)
    assert driver.motion_interface == "rmi"
    assert driver.stream_motion_limits is None
    driver.close()
    with pytest.raises(ValueError):
        fanuc.FanucDriver(planner, arm, simulator.address, stream_motion=True, stream_motion_port=70000)


def test_motions_the_controller_would_plan_are_refused_over_stream_motion(streaming, planner, arm):
    sim, driver = streaming
    assert driver.enable() == Result.Success, driver.last_error
    planner.set_limit_table(driver.stream_motion_limits, arm)
    here = driver.current_joint_position
    for name, call in [("move_joint", lambda: driver.move_joint(here)), ("move_linear", lambda: driver.move_linear(here)),
                       ("call_program", lambda: driver.call_program("PICK"))]:  # fmt: skip
        assert call() == Result.Error, name
        assert "Stream Motion" in driver.last_error, (name, driver.last_error)
    # The stream still moves the arm.
    assert driver.move_to([here[0] + 0.1] + here[1:]) == Result.Success, driver.last_error
