"""FanucDriver from Python against the bundled simulator: construction,
attributes, enabling and status, I/O, speed override and payload."""

import csv
import json
import math
import socket
import threading

import numpy as np
import pytest

import orvane
import orvane_driver_fanuc as fanuc
from conftest import Simulator, wait_until
from orvane_driver_fanuc import ControllerStatus, Result


def free_loopback_address():
    """A loopback address where nothing listens on the RMI port."""
    import random

    while True:
        address = f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"
        with socket.socket() as probe:
            probe.settimeout(1.0)
            if probe.connect_ex((address, 16001)) != 0:
                return address


def received_lines(prefix):
    with open(f"{prefix}_received.csv", newline="") as file:
        return [json.loads(row["line"]) for row in csv.DictReader(file) if row["channel"] == "data"]


# --- construction ----------------------------------------------------------------------------------


def test_constructor_without_robot_drives_the_planners_only_robot(simulator, planner):
    driver = fanuc.FanucDriver(planner, simulator.address)
    assert driver.is_connected
    assert (driver.host, driver.port) == (simulator.address, 16001)
    assert driver.degrees_of_freedom == 6
    assert driver.delta_time == pytest.approx(0.024)
    assert driver.kelvra is None  # sync_with_kelvra defaults to False
    assert isinstance(driver, fanuc.Driver)


def test_constructor_with_robot_accepts_keywords(simulator, planner, arm):
    driver = fanuc.FanucDriver(planner=planner, robot=arm, host=simulator.address, sync_with_kelvra=False)
    assert driver.degrees_of_freedom == arm.degrees_of_freedom
    with pytest.raises(TypeError):
        fanuc.FanucDriver(planner, simulator.address, arm)  # a robot is no bool: no overload fits


class FakeKelvra:
    """Stands in for the visual tool on loopback: records the actions it receives."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.endpoint = f"127.0.0.1:{self.server.getsockname()[1]}"
        self.actions = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        client, _ = self.server.accept()
        with client, client.makefile("r") as lines:
            for line in lines:
                self.actions.append(json.loads(line)["action"])


@pytest.mark.parametrize("mirrors", [True, False])
def test_sync_with_kelvra_mirrors_the_commanded_position_to_an_assigned_client(
    simulator, planner, arm, monkeypatch, mirrors
):
    tool = FakeKelvra()
    monkeypatch.setenv("ORVANE_KELVRA_ENDPOINT", tool.endpoint)
    # Four positional arguments select the overload with a robot.
    driver = fanuc.FanucDriver(planner, arm, simulator.address, True) if mirrors else \
        fanuc.FanucDriver(planner, simulator.address)  # fmt: skip
    assert driver.kelvra is None  # nothing connects by itself
    client = orvane.Kelvra()
    driver.kelvra = client
    assert driver.kelvra is client
    assert driver.enable() == Result.Success
    assert driver.move_to([0.2, 0.0, 0.0, 0.0, -0.3, 0.0]) == Result.Success
    if mirrors:
        assert wait_until(lambda: "set-joint-position" in tool.actions)
        assert tool.actions[0] == "register-robot"
        driver.kelvra = None  # stops the mirroring; the old client unregisters the robot
        assert wait_until(lambda: "unregister-robot" in tool.actions)
    else:
        client.run_action(orvane.Kelvra.Action("probe", {}))
        assert wait_until(lambda: "probe" in tool.actions)
        assert tool.actions == ["probe"]
    del driver


# --- attributes ----------------------------------------------------------------------------------------

READ_ONLY = ["host", "port", "degrees_of_freedom", "delta_time", "log_motions", "total_motion_time",
             "current_joint_position", "current_state", "is_connected", "controller_status", "is_running",
             "is_paused"]  # fmt: skip


@pytest.mark.parametrize("name", READ_ONLY)
def test_read_only_attributes_refuse_assignment(driver, name):
    value = getattr(driver, name)
    with pytest.raises(AttributeError):
        setattr(driver, name, value)


@pytest.mark.parametrize(
    "name, value",
    [("connect_timeout", 3.5), ("pausing_duration", 0.4), ("monitor_path_deviation", False),
     ("path_deviation_error_threshold", 0.05), ("speed", 0.5)],  # fmt: skip
)
def test_read_write_attributes_keep_what_is_assigned(driver, name, value):
    assert getattr(driver, name) != value
    setattr(driver, name, value)
    assert getattr(driver, name) == value


def test_kelvra_client_can_be_assigned_and_cleared(driver):
    client = orvane.Kelvra(connect=False)  # sync_with_kelvra is False: kept, not used
    driver.kelvra = client
    assert driver.kelvra is client
    driver.kelvra = None
    assert driver.kelvra is None


def test_state_and_position_are_lists_of_the_robots_joints(enabled):
    position = enabled.current_joint_position
    assert isinstance(position, list) and len(position) == 6
    state = enabled.current_state
    assert isinstance(state, fanuc.RobotState)
    assert state.position == pytest.approx(position, abs=1e-9)
    state.position = np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])  # numpy in, list out
    assert state.position == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    state.velocity = [0.5] * 6
    assert state.velocity == [0.5] * 6


# --- enabling and status -------------------------------------------------------------------------------


def test_status_follows_enable_and_disable(driver):
    assert driver.controller_status != ControllerStatus.ReadyToMove
    assert driver.enable() == Result.Success
    assert driver.controller_status == ControllerStatus.ReadyToMove
    assert driver.disable() == Result.Success
    assert driver.enable_async().get() == Result.Success
    assert driver.disable_async().get() == Result.Success


def test_enable_with_servos_off_reports_the_controller_fault(planner):
    sim = Simulator("--servo-off")
    try:
        driver = fanuc.FanucDriver(planner, sim.address)
        result = driver.enable()
        assert result != Result.Success and result.code < 0
        assert driver.controller_status != ControllerStatus.ReadyToMove
    finally:
        sim.stop()


def test_reconnect_and_disconnect(driver):
    assert driver.disconnect() is True
    assert wait_until(lambda: not driver.is_connected)
    assert driver.controller_status == ControllerStatus.Disconnected
    assert driver.reconnect() is True
    assert driver.is_connected
    assert driver.enable() == Result.Success


# --- I/O, speed override and payload -----------------------------------------------------------------


def test_digital_input_through_an_alias_follows_the_controller(enabled, simulator):
    enabled.create_io_alias("part_present", 7)
    simulator.console("din 7 1")
    assert enabled.get_digital_input("part_present") == 1
    simulator.console("din 7 0")
    assert enabled.get_digital_input(name="part_present") == 0
    assert enabled.get_digital_input("not an alias") is None


def test_outputs_go_to_the_aliases_output_address(planner, tmp_path):
    sim = Simulator(record_prefix=tmp_path / "record")
    try:
        driver = fanuc.FanucDriver(planner, sim.address)
        assert driver.enable() == Result.Success
        driver.create_io_alias("gripper", 3)
        driver.create_io_alias(name="valve", address_in=4, address_out=5)
        assert driver.set_digital_output("gripper", 1) is True
        assert driver.set_digital_output(name="valve", value=0) is True
        assert driver.set_digital_output("nothing", 1) is False
        del driver
    finally:
        assert sim.stop() == 0
    writes = [(m["PortNumber"], m["PortValue"]) for m in received_lines(tmp_path / "record")
              if m.get("Command") == "FRC_WriteDOUT"]  # fmt: skip
    assert writes == [(3, "ON"), (5, "OFF")] or writes == [(3, 1), (5, 0)]


def test_io_kinds_older_firmware_does_not_know_report_nothing(planner):
    sim = Simulator("--firmware", "older")
    try:
        with fanuc.FanucDriver(planner, sim.address) as driver:
            assert driver.enable() == Result.Success
            driver.create_io_alias("a", 1)
            assert driver.get_analog_input("a") is None and driver.set_analog_output("a", 1.5) is False
            assert driver.get_group_input("a") is None and driver.set_group_output("a", 3) is False
            assert driver.get_int_register("a") is None and driver.set_int_register("a", 3) is False
            assert driver.get_double_register("a") is None and driver.set_double_register("a", 1.0) is False
    finally:
        sim.stop()


def test_speed_override_reaches_the_controller(enabled, simulator):
    assert enabled.set_speed_override(40) is True
    assert simulator.status()["override"] == 40
    assert enabled.set_speed_override(value=100) is True
    assert simulator.status()["override"] == 100
    assert enabled.set_speed_override(0) is False
    assert enabled.set_speed_override(101) is False
    assert simulator.status()["override"] == 100


def test_tcp_velocity_constraint_takes_a_float_or_none(driver):
    driver.set_tcp_velocity_constraint(0.25)
    driver.set_tcp_velocity_constraint(max_tcp_velocity=None)
    with pytest.raises(TypeError):
        driver.set_tcp_velocity_constraint("fast")
