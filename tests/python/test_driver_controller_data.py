"""The controller-data operations from Python: read-only attributes, values
through the controller, and a controller whose firmware does not know the
packets degrades to None/False without losing the link."""

import pytest

from conftest import Simulator


def test_getters_are_read_only_attributes(driver):
    for name in ("current_cartesian_position", "tcp_speed", "active_frame_and_tool"):
        with pytest.raises(AttributeError):
            setattr(driver, name, None)


def test_bad_values_are_refused_before_sending(driver):
    driver.create_io_alias("go", 1)
    driver.create_io_alias("reg", 1)
    assert driver.set_group_output("go", 70000) is False
    assert driver.set_double_register("reg", float("nan")) is False
    assert driver.set_active_frame_and_tool(10, 1) is False
    assert driver.read_errors(6) is None
    assert driver.set_position_register(1, [0.0, 0.0]) is False
    assert driver.is_connected


def test_older_firmware_gives_the_defaults_and_keeps_the_link(planner):
    import orvane_driver_fanuc as fanuc

    sim = Simulator("--firmware", "older")
    try:
        with fanuc.FanucDriver(planner, sim.address) as driver:
            driver.create_io_alias("reg", 5)
            for _ in range(2):
                assert driver.get_int_register("reg") is None
                assert driver.set_int_register("reg", 3) is False
            assert driver.is_connected
            assert driver.current_joint_position is not None
            assert driver.current_cartesian_position is not None  # older firmware knows this one
    finally:
        sim.stop()


def test_values_round_trip_through_the_controller(driver, simulator):
    driver.create_io_alias("reg", 5)
    driver.create_io_alias("ratio", 6)
    driver.create_io_alias("flag", 3)
    assert driver.set_int_register("reg", 42) is True and driver.get_int_register("reg") == 42
    assert driver.set_double_register("ratio", 0.5) is True and driver.get_double_register("ratio") == 0.5
    simulator.console("port FLAG 3 1")
    assert driver.get_flag("flag") == 1
    pose = driver.current_cartesian_position
    assert pose is not None and len(pose.pose.to_euler()) == 6
    assert driver.read_errors(1) is not None
