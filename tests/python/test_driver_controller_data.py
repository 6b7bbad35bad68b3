"""The controller-data operations from Python: read-only attributes, and a
controller that does not know the packets (the bundled simulator before it
serves them) degrades to None/False without losing the link."""

import pytest


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


def test_unknown_packets_give_the_defaults_and_keep_the_link(driver):
    driver.create_io_alias("reg", 5)
    for _ in range(2):
        value = driver.get_int_register("reg")
        errors = driver.read_errors(1)
        if value is not None:
            pytest.skip("this simulator serves the packets")
        assert errors is None
        assert driver.set_int_register("reg", 3) is False
    assert driver.is_connected
    assert driver.current_joint_position is not None
