"""Poses from Python: a pose read from the controller (in any user frame and
tool) is a goal of move_to and move_to_async, checked through the simulator's
own forward kinematics; the world and base frames convert both ways for both
arm models; joint goals go through as before."""

import numpy as np
import orvane
import pytest

import orvane_driver_fanuc as fanuc
from conftest import Simulator
from orvane_driver_fanuc import CartesianPose, Result

HERE = [0.3, 0.2, -0.1, 0.4, -0.6, 0.5]
ELSEWHERE = [0.0, 0.0, 0.1, 0.0, -0.4, 0.0]


def assert_same_pose(reached, goal):
    assert (reached.user_frame, reached.user_tool) == (goal.user_frame, goal.user_tool)
    # The controller reports 0.001 mm and 0.001 degrees.
    assert reached.pose.translational_distance(goal.pose) < 0.05e-3
    assert reached.pose.angular_distance(goal.pose) < 2e-4


@pytest.mark.parametrize(
    "model, height, options",
    [(orvane.robots.fanuc_lrmate200id, 0.330, ()), (orvane.robots.fanuc_crx10ial, 0.245, ("--robot", "crx10ial"))],
)
def test_a_pose_read_from_the_controller_is_reached_again(model, height, options):
    arm = model()
    world = fanuc.world_frame_in_base(arm)
    assert world.translation == pytest.approx([0.0, 0.0, height])
    sim = Simulator(*options)
    try:
        with fanuc.FanucDriver(orvane.Planner(arm, 0.024), sim.address) as driver:
            assert driver.enable() == Result.Success
            assert driver.move_to(HERE) == Result.Success
            goal = driver.current_cartesian_position
            assert goal is not None
            # The controller's pose is the planner's TCP lowered into the world frame.
            tcp = arm.calculate_tcp(driver.current_joint_position)
            assert fanuc.base_to_world(arm, tcp).translational_distance(goal.pose) < 0.05e-3
            assert fanuc.world_to_base(arm, goal.pose).translational_distance(tcp) < 0.05e-3

            assert driver.move_to(ELSEWHERE) == Result.Success
            assert driver.move_to(goal) == Result.Success, driver.last_error
            assert_same_pose(driver.current_cartesian_position, goal)
    finally:
        sim.stop()


def test_a_pose_in_a_user_frame_with_a_tool_is_a_goal_too(enabled):
    assert enabled.set_user_frame(2, orvane.Frame.from_euler(0.2, -0.1, 0.05, 0.0, 0.1, 0.7))
    assert enabled.set_user_tool(3, orvane.Frame.from_euler(0.0, 0.02, 0.12, 0.0, 0.3, 0.0))
    assert enabled.set_active_frame_and_tool(2, 3)
    assert enabled.move_to(HERE) == Result.Success
    goal = enabled.current_cartesian_position
    assert (goal.user_frame, goal.user_tool) == (2, 3)
    # What the planner is given: the faceplate in the base frame, where the arm stands now.
    waypoint = enabled.to_planner_waypoint(goal)
    assert isinstance(waypoint, orvane.CartesianWaypoint)
    faceplate = orvane.robots.fanuc_lrmate200id().calculate_tcp(enabled.current_joint_position)
    assert waypoint.frame.translational_distance(faceplate) < 0.05e-3

    assert enabled.set_position_register(9, goal)
    assert enabled.move_to(ELSEWHERE) == Result.Success
    stored = enabled.get_position_register(9).cartesian
    future = enabled.move_to_async(point=stored)
    assert future.get(timeout=30.0) == Result.Success, enabled.last_error
    assert_same_pose(enabled.current_cartesian_position, goal)


def test_a_pose_whose_frame_cannot_be_read_moves_nothing(enabled):
    start = enabled.current_joint_position
    pose = CartesianPose(orvane.Frame.from_translation(0.4, 0.0, 0.2), user_frame=12)
    assert enabled.move_to(pose) == Result.Error
    assert "user frame 12" in enabled.last_error
    assert enabled.to_planner_waypoint(pose) is None
    assert enabled.move_to_async(CartesianPose(pose.pose, user_tool=11)).get(timeout=30.0) == Result.Error
    assert "tool 11" in enabled.last_error
    assert np.allclose(enabled.current_joint_position, start, atol=1e-6)


def test_joint_and_waypoint_goals_go_through_as_before(enabled):
    start = enabled.current_joint_position
    assert enabled.move_to(np.array(HERE)) == Result.Success
    assert enabled.move_to(goal=orvane.Waypoint(ELSEWHERE), ignore_collisions=True) == Result.Success
    assert enabled.move_to_async(point=start).get(timeout=30.0) == Result.Success
    assert np.allclose(enabled.current_joint_position, start, atol=1e-4)
    with pytest.raises(TypeError):
        enabled.move_to("home")
    with pytest.raises(TypeError):
        enabled.move_to_async()


def test_frames_other_than_an_arms_are_refused(planner):
    rail = orvane.LinearAxis("rail", [1.0, 0.0, 0.0], orvane.JointLimits(0.0, 1.0, 1.0, 1.0))
    with pytest.raises(TypeError):
        fanuc.world_frame_in_base(rail)
