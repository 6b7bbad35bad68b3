"""Log lines and errors as a Python program sees them: colour only on a
terminal, NO_COLOR, ORVANE_LOG_LEVEL=Off, the level set from Python, lines
routed to Python's logging, `last_error`, and a one-line construction
error."""

import logging
import os
import pty
import subprocess
import sys

import pytest

import orvane_driver_fanuc as fanuc
from conftest import DEADLINE, long_trajectory, wait_until
from test_driver_fanuc import free_loopback_address

# A construction that fails says why in its exception; at debug level the
# log tells the attempt (the control port refused).
FAILING_CONSTRUCTION = """
import sys, orvane, orvane_driver_fanuc as fanuc
{before}
planner = orvane.Planner(orvane.robots.fanuc_lrmate200id(), 0.024)
try:
    fanuc.FanucDriver(planner, sys.argv[1])
except fanuc.OrvaneError:
    pass
"""


def run_child(before="", on_terminal=False, **environment):
    env = {key: value for key, value in os.environ.items() if key not in ("NO_COLOR", "ORVANE_LOG_LEVEL")}
    env.update(environment)
    command = [sys.executable, "-c", FAILING_CONSTRUCTION.format(before=before), free_loopback_address()]
    if not on_terminal:
        return subprocess.run(command, capture_output=True, text=True, env=env, timeout=DEADLINE).stdout
    leader, follower = pty.openpty()
    child = subprocess.Popen(command, stdout=follower, stderr=subprocess.DEVNULL, env=env)
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closed with the child
            break
        if not chunk:
            break
        output += chunk
    child.wait(timeout=DEADLINE)
    os.close(leader)
    return output.decode()


ATTEMPT = "[orvane.driver] Could not connect to FANUC RMI server"


def test_colour_only_on_a_terminal_and_never_with_no_color():
    piped = run_child(ORVANE_LOG_LEVEL="Debug")
    assert ATTEMPT in piped
    assert "\x1b[" not in piped
    assert "\x1b[37m" + ATTEMPT in run_child(on_terminal=True, ORVANE_LOG_LEVEL="Debug")
    no_color = run_child(on_terminal=True, NO_COLOR="1", ORVANE_LOG_LEVEL="Debug")
    assert ATTEMPT in no_color and "\x1b[" not in no_color


def test_a_failed_construction_is_said_once_by_its_exception():
    # Not at error level (nor at warn, the default): the exception says it.
    assert "Could not connect" not in run_child(ORVANE_LOG_LEVEL="Warn")
    assert "Could not connect" not in run_child(ORVANE_LOG_LEVEL="Error")


def test_off_silences_the_driver_from_the_environment_or_from_python():
    assert run_child(ORVANE_LOG_LEVEL="Off") == ""
    # A level set from Python holds, whatever the environment says, also for
    # drivers constructed afterwards.
    assert run_child('fanuc.set_log_level("off")', ORVANE_LOG_LEVEL="debug") == ""
    assert ATTEMPT in run_child('fanuc.set_log_level("Debug")', ORVANE_LOG_LEVEL="Off")


def test_set_log_level_names_the_levels():
    saved = fanuc.get_log_level()
    try:
        fanuc.set_log_level("DEBUG")
        assert fanuc.get_log_level() == "Debug"
        with pytest.raises(ValueError, match="Debug, Info, Warn, Error or Off"):
            fanuc.set_log_level("loud")
        assert fanuc.get_log_level() == "Debug"
    finally:
        fanuc.set_log_level(saved)


def test_lines_can_go_to_pythons_logging(planner, capfd):
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    logger = logging.getLogger("orvane")
    handler = Keep()
    logger.addHandler(handler)
    fanuc.log_to_python()
    saved, saved_python_level = fanuc.get_log_level(), logger.level
    fanuc.set_log_level("Debug")
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.raises(fanuc.OrvaneError):
            fanuc.FanucDriver(planner, free_loopback_address())
        assert wait_until(lambda: any("Could not connect" in r.getMessage() for r in records))
    finally:
        fanuc.set_log_level(saved)
        logger.setLevel(saved_python_level)
        fanuc.log_to_python(False)
        logger.removeHandler(handler)
    record = next(r for r in records if "Could not connect" in r.getMessage())
    assert record.levelno == logging.DEBUG and record.name == "orvane"
    assert record.getMessage().startswith("[orvane.driver] ")
    assert "Could not connect" not in capfd.readouterr().out  # not printed as well


def test_last_error_says_why_a_motion_was_refused(enabled):
    assert enabled.last_error == ""
    elsewhere = long_trajectory([0.5] * 6, [0.6] * 6, 1.0)
    assert enabled.run(elsewhere) == fanuc.Result.ErrorStartPositionDeviation
    assert enabled.last_error == "The trajectory does not start where the robot is."
    assert enabled.move_to([0.1, 0.0, 0.0, 0.0, -0.2, 0.0]) == fanuc.Result.Success
    assert enabled.last_error == ""


def test_last_error_of_a_driver_that_is_not_enabled(driver):
    assert driver.move_to([0.1] * 6) == fanuc.Result.ErrorControllerEnableMotors
    assert "not enabled" in driver.last_error
