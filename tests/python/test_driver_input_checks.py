"""What the driver refuses from a Python user, and how it answers once the
controller is gone: each refusal is a clear answer, never a crash, a motion
or an exception from deep inside the driver."""

import math
import threading

import numpy as np
import pytest

import orvane
from conftest import DEADLINE, long_trajectory, wait_until
from orvane_driver_fanuc import Result


@pytest.mark.parametrize("bad", [math.nan, math.inf, -1.0])
def test_an_unusable_pausing_duration_raises_value_error(driver, bad):
    with pytest.raises(ValueError):
        driver.pausing_duration = bad
    assert driver.pausing_duration == pytest.approx(0.7)
    driver.pausing_duration = 0.25
    assert driver.pausing_duration == pytest.approx(0.25)


@pytest.mark.parametrize("address", [0, 2**40, 2**63])
def test_an_alias_no_port_has_raises_value_error(driver, address):
    with pytest.raises(ValueError):
        driver.create_io_alias("far", address)
    assert driver.set_digital_output("far", 1) is False


def test_a_jump_beyond_the_velocity_limit_and_a_blend_at_nan_are_errors(enabled):
    start = np.asarray(enabled.current_joint_position)
    jump = start + np.array([0.0, 2.5, 0.0, 0.0, 0.0, 0.0])
    positions = np.array([start, (start + jump) / 2, jump])
    zeros = np.zeros_like(positions)
    trajectory = orvane.Trajectory(np.array([0.0, 0.024, 0.048]), positions, zeros, zeros)
    assert enabled.run(trajectory) == Result.Error
    assert enabled.blend_into(long_trajectory(start, start + 0.1, 1.0), math.nan) == Result.Error
    assert np.allclose(enabled.current_joint_position, start, atol=1e-4)


def test_a_motion_at_speed_zero_says_so(enabled):
    enabled.speed = 0.0
    goal = list(np.asarray(enabled.current_joint_position) + 0.1)
    assert enabled.move_to(goal) == Result.ErrorSpeedIsZero
    enabled.speed = 1.0
    assert enabled.move_to(goal) == Result.Success


def test_pauses_overtaken_by_speed_changes_return_false(enabled):
    start = enabled.current_joint_position
    running = enabled.run_async(long_trajectory(start, list(np.asarray(start) + 0.5), 4.0))
    assert wait_until(lambda: enabled.is_running)
    enabled.pausing_duration = 100.0
    outcomes, errors = [], []

    def pause():
        try:
            outcomes.append(enabled.pause())
        except Exception as error:  # noqa: BLE001 - the fault this test is about
            errors.append(error)

    for _ in range(3):
        assert wait_until(lambda: enabled.speed == 1.0)
        thread = threading.Thread(target=pause)
        thread.start()
        assert wait_until(lambda: enabled.speed < 1.0)  # the pause is ramping down
        enabled.set_speed(1.0, 0.05)
        thread.join(DEADLINE)
        assert not thread.is_alive()
    assert errors == []
    assert outcomes == [False, False, False]

    assert wait_until(lambda: enabled.speed == 1.0)
    future = enabled.pause_async()
    enabled.speed = 0.8
    assert future.get() is False
    assert running.get() == Result.Success


def test_a_disconnected_driver_answers_every_operation_alike(enabled):
    start = enabled.current_joint_position
    assert enabled.disconnect() is True
    assert wait_until(lambda: not enabled.is_connected)
    assert enabled.run(long_trajectory(start, start, 0.2)) == Result.ErrorControllerConnection
    assert enabled.move_to(start) == Result.ErrorControllerConnection
    assert enabled.stop() == Result.ErrorControllerConnection
    assert enabled.pause() is False
    assert enabled.set_speed_override(50) is False
    assert enabled.set_payload(1.0) is False
    assert enabled.current_joint_position == []
