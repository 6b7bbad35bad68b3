"""Feedback during motion from Python: the settings and the record of the
last motion, which numpy takes as it is."""

import numpy as np
import pytest

import orvane
import orvane_driver_fanuc as fanuc
from orvane_driver_fanuc import Result

GOAL = [0.5, 0.3, -0.2, 0.4, -0.6, 1.0]


def test_feedback_settings_have_their_defaults_and_keep_what_is_assigned(driver):
    assert driver.feedback_rate == 25.0
    assert driver.path_deviation_window == pytest.approx(0.1)
    assert driver.monitor_path_deviation is True
    assert driver.path_deviation_error_threshold == pytest.approx(0.1)
    driver.feedback_rate = 10
    driver.path_deviation_window = 0.2
    assert driver.feedback_rate == 10.0 and driver.path_deviation_window == pytest.approx(0.2)
    with pytest.raises(AttributeError):
        driver.last_motion_feedback = None
    assert Result.ErrorPathDeviation.code == -105
    assert Result.ErrorPathDeviation.message == "The robot deviated from the commanded path."


def test_the_record_of_a_motion_is_numpy_ready(enabled, planner, arm):
    assert len(enabled.last_motion_feedback) == 0  # nothing moved yet
    trajectory = planner.plan(orvane.Motion(robot=arm), start=enabled.current_joint_position, goal=GOAL)
    assert enabled.run(trajectory) == Result.Success

    record = enabled.last_motion_feedback
    times = np.asarray(record.times)
    measured = np.asarray(record.measured)
    commanded = np.asarray(record.commanded)
    deviations = np.asarray(record.deviations)
    assert times.dtype == np.float64 and len(times) >= 5 and len(record) == len(times)
    assert measured.shape == commanded.shape == (len(times), 6)
    assert deviations.shape == times.shape and np.all(np.diff(times) > 0)
    assert np.asarray(record.time_tags).dtype.kind == "i"
    assert record.max_deviation == pytest.approx(deviations.max())
    assert record.max_deviation < enabled.path_deviation_error_threshold
    # The deviation is the distance to the commanded value it names.
    assert np.allclose(np.abs(measured - commanded).max(axis=1), deviations)
    assert np.allclose(measured[-1], GOAL, atol=0.05)


def test_feedback_rate_zero_leaves_the_record_empty(enabled, planner, arm):
    enabled.feedback_rate = 0
    trajectory = planner.plan(orvane.Motion(robot=arm), start=enabled.current_joint_position, goal=GOAL)
    assert enabled.run(trajectory) == Result.Success
    assert len(enabled.last_motion_feedback.times) == 0
    assert isinstance(fanuc.MotionFeedback, type)
