"""What a user learns when the driver refuses: `last_error` speaks of the
last operation only (cleared as it starts, set by every refusal), and an
argument of the wrong kind, or one no port or setting can have, raises
TypeError or ValueError with a sentence in the library's words."""

import pytest

import orvane_driver_fanuc as fanuc


def test_last_error_speaks_of_the_last_operation_only(enabled):
    assert enabled.get_digital_input("no such alias") is None
    assert "no such alias" in enabled.last_error

    enabled.create_io_alias("sensor", 3)
    assert enabled.get_digital_input("sensor") == 0
    assert enabled.last_error == "", "a success after a refusal still reports the refusal"

    assert enabled.set_speed_override(150) is False
    assert "150" in enabled.last_error and "1 to 100" in enabled.last_error
    assert enabled.set_speed_override(50) is True
    assert enabled.last_error == ""

    assert enabled.set_active_frame_and_tool(10, 1) is False
    assert "10" in enabled.last_error
    assert enabled.read_errors(6) is None
    assert "6" in enabled.last_error and "1 to 5" in enabled.last_error
    assert enabled.set_group_output("sensor", 70000) is False
    assert "65535" in enabled.last_error

    # A motion refused before it starts says why, and the next one clears it.
    assert enabled.resume() == fanuc.Result.Error
    assert "no paused motion" in enabled.last_error
    goal = [value + 0.05 for value in enabled.current_joint_position]
    assert enabled.move_to(goal) == fanuc.Result.Success
    assert enabled.last_error == ""


def test_an_operation_the_driver_cannot_do_now_says_why(driver):
    assert driver.set_payload(1) is False  # not enabled
    assert driver.last_error
    driver.create_io_alias("r", 5)
    assert driver.set_int_register("r", 7) is True
    assert driver.last_error == ""


REFUSED_ARGUMENTS = {
    "negative address": (lambda d: d.create_io_alias("x", -1), ValueError, "cannot be negative"),
    "address beyond 64 bits": (lambda d: d.create_io_alias("x", 2**70), ValueError, "beyond"),
    "fractional address": (lambda d: d.create_io_alias("x", 1.5), TypeError, "whole number, not 1.5 (float)"),
    "alias name not a text": (lambda d: d.create_io_alias(3, 1), TypeError, "alias name must be a text"),
    "output value a text": (lambda d: d.set_digital_output("x", "on"), TypeError, "output value must be a whole"),
    "override a fraction": (lambda d: d.set_speed_override(50.5), TypeError, "speed override must be a whole"),
    "override beyond an int": (lambda d: d.set_speed_override(2**40), ValueError, "speed override"),
    "speed a text": (lambda d: setattr(d, "speed", "fast"), TypeError, "speed must be a number, not 'fast' (str)"),
    "ramp without a duration": (lambda d: d.set_speed(0.5, None), TypeError, "duration must be a number"),
    "frame number a text": (lambda d: d.get_user_frame("1"), TypeError, "user frame number must be a whole"),
    "alarm count a fraction": (lambda d: d.read_errors(2.0), TypeError, "number of alarms must be a whole"),
    "feedback rate a text": (lambda d: setattr(d, "feedback_rate", "fast"), TypeError, "feedback rate must be"),
}


@pytest.mark.parametrize("case", list(REFUSED_ARGUMENTS))
def test_a_wrong_argument_is_refused_in_the_librarys_words(driver, case):
    call, error, words = REFUSED_ARGUMENTS[case]
    with pytest.raises(error) as raised:
        call(driver)
    message = str(raised.value)
    assert words in message, message
    assert "incompatible function arguments" not in message


def test_arguments_python_treats_as_numbers_are_taken(driver):
    import numpy as np

    driver.create_io_alias("np", np.int64(4), np.uint16(5))
    driver.speed = np.float32(0.5)
    assert driver.speed == pytest.approx(0.5)
    driver.speed = 1  # an int where a float is wanted
    assert driver.speed == 1.0
    assert driver.set_digital_output("np", True) is True  # a bool is 0 or 1
