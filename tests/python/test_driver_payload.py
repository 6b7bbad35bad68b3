"""Payloads from Python: a schedule is selected by its number and a mass is
never rounded into one; a schedule's mass, centre of gravity and inertia reach
the controller in its units; older firmware says it cannot."""

import math

import numpy as np
import pytest

import orvane_driver_fanuc as fanuc
from conftest import Simulator
from test_driver_fanuc import received_lines


def test_a_schedule_is_selected_by_its_number_once_enabled(driver, simulator):
    assert driver.set_payload(2) is False  # an instruction: needs RMI motion initialised
    assert "enabled" in driver.last_error
    assert driver.enable() == fanuc.Result.Success
    assert driver.set_payload(3) is True
    assert simulator.status()["payload"] == 3
    assert driver.set_payload(schedule=4.0) is True  # a whole float is a number too
    assert simulator.status()["payload"] == 4
    assert driver.set_payload(np.int64(10)) is True
    assert simulator.status()["payload"] == 10


def test_a_fraction_or_a_number_outside_the_schedules_is_refused_and_not_sent(enabled, simulator):
    # 2.5 (kg, say) once went out as schedule 3: the robot ran with a payload nobody chose.
    for bad in (2.5, 0.999, 0, 11, -1, math.nan, math.inf, 10**30, np.float64(1.5)):
        with pytest.raises(ValueError, match="whole number from 1 to 10, never a mass"):
            enabled.set_payload(bad)
    for wrong in ("3", True, None, [3]):
        with pytest.raises(TypeError):
            enabled.set_payload(wrong)
    assert simulator.status()["payload"] == 0  # the controller saw none of them


def test_the_old_weight_keyword_names_a_schedule_and_warns(enabled, simulator):
    with pytest.warns(DeprecationWarning, match="selects payload schedule n, not a mass"):
        assert enabled.set_payload(weight=5) is True
    assert simulator.status()["payload"] == 5
    with pytest.warns(DeprecationWarning), pytest.raises(ValueError):
        enabled.set_payload(weight=2.5)
    with pytest.raises(TypeError):
        enabled.set_payload(schedule=1, weight=1)
    assert simulator.status()["payload"] == 5


def test_a_schedules_mass_centre_and_inertia_reach_the_controller_in_its_units(planner, tmp_path):
    sim = Simulator(record_prefix=tmp_path / "record")
    try:
        driver = fanuc.FanucDriver(planner, sim.address)
        assert driver.set_payload_value(2, 4.5, [0.01, 0.0, 0.1]) is True
        assert driver.set_payload_value(
            schedule=3, mass=1.0, centre_of_gravity=np.array([0.0, -0.02, 0.05]), inertia=(0.0980665, 0.0, 0.01)
        ) is True  # fmt: skip
        for bad in (
            dict(schedule=0, mass=1.0, centre_of_gravity=[0, 0, 0]),
            dict(schedule=1.5, mass=1.0, centre_of_gravity=[0, 0, 0]),
            dict(schedule=1, mass=-1.0, centre_of_gravity=[0, 0, 0]),
            dict(schedule=1, mass=math.nan, centre_of_gravity=[0, 0, 0]),
            dict(schedule=1, mass=1.0, centre_of_gravity=[0, 0]),
            dict(schedule=1, mass=1.0, centre_of_gravity=[0, 0, math.inf]),
            dict(schedule=1, mass=1.0, centre_of_gravity=[0, 0, 0], inertia=[0, -0.1, 0]),
        ):
            with pytest.raises(ValueError):
                driver.set_payload_value(**bad)
        del driver
    finally:
        assert sim.stop() == 0
    sent = [m for m in received_lines(tmp_path / "record") if m.get("Command") == "FRC_SetPayloadValue"]
    assert len(sent) == 2  # none of the refused ones
    first, second = sent
    assert (first["ScheduleNumber"], first["Mass"]) == (2, 4.5)
    assert [first["CG_X"], first["CG_Y"], first["CG_Z"]] == pytest.approx([1.0, 0.0, 10.0])  # cm
    assert not {"IN_X", "IN_Y", "IN_Z"} & first.keys()
    assert [second["CG_Y"], second["CG_Z"]] == pytest.approx([-2.0, 5.0])
    assert [second["IN_X"], second["IN_Y"], second["IN_Z"]] == pytest.approx([1.0, 0.0, 0.101972], abs=1e-6)


def test_older_firmware_cannot_set_a_schedules_mass(planner):
    sim = Simulator("--firmware", "older")
    try:
        with fanuc.FanucDriver(planner, sim.address) as driver:
            assert driver.set_payload_value(1, 2.0, [0.0, 0.0, 0.1]) is False
            assert driver.set_payload_value(1, 2.0, [0.0, 0.0, 0.1]) is False
            assert driver.is_connected
            assert driver.enable() == fanuc.Result.Success
            assert driver.set_payload(1) is True  # selecting a schedule is older than that
            assert sim.status()["payload"] == 1
    finally:
        sim.stop()
