"""Controller-planned motions from Python: the blend argument in each of its
forms reaches the controller as written, wrong kinds raise, refusals name
their reason, and an async twin completes with the controller's answer."""

import math

import pytest

import orvane_driver_fanuc as fanuc
from orvane_driver_fanuc import Blend, Result

START = [0.0, 0.3, -0.3, 0.0, -1.2, 0.0]


def test_blend_forms_and_the_async_twin(enabled, simulator):
    assert enabled.move_joint(START, 50) == Result.Success
    moved = list(START)
    moved[0] += 0.1
    # An int is CNT; the blended async motion completes once the next one arrives.
    blended = enabled.move_joint_async(moved, 50, 40)
    assert enabled.move_joint(START, 50, Blend.corner(0.004), no_blend=True) == Result.Success
    assert blended.get(timeout=30) == Result.Success
    assert enabled.move_joint(moved, 50, 0.003) == Result.Success
    assert repr(Blend.cnt(7)) == "Blend.cnt(7)" and Blend.cnt(7) == Blend.cnt(7)
    assert enabled.last_motion_feedback is not None


def test_wrong_kinds_raise_and_bad_values_are_refused(enabled):
    with pytest.raises(TypeError):
        enabled.move_joint(START, 50, True)
    with pytest.raises(TypeError):
        enabled.move_joint(START, 50, "CNT50")
    with pytest.raises(ValueError):
        enabled.move_joint(START, 50, 0)
    assert enabled.move_joint(START, 50, Blend.corner(math.inf)) == Result.Error
    assert "corner radius" in enabled.last_error
    assert enabled.wait_time(-2.0) == Result.Error
    assert "wait lasts" in enabled.last_error
