"""Tests of the Python module `orvane` (the motion library's bindings).

Run from the repository root after a build:
    PYTHONPATH=build/python .venv/bin/python -m pytest tests/python -q
"""

import ast
import concurrent.futures
import json
import math
import os
import pathlib
import socket
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest

import orvane

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "motion" / "python" / "orvane-stubs"
DELTA_TIME = 0.024
DEADLINE = 30.0  # seconds; generous, the machine is small and shared
PRESETS = [orvane.robots.fanuc_lrmate200id, orvane.robots.fanuc_crx10ial]
START = [0.0, 0.0, 0.0, 0.0, 0.0, 0.0]
GOAL = [0.5, 0.3, -0.2, 0.4, -0.6, 1.0]


def check_trajectory(trajectory, robot, start, goal):
    """Sampling, limits and both boundary states of a planned point-to-point motion."""
    times = np.array(trajectory.times)
    positions = np.array(trajectory.positions)
    velocities = np.array(trajectory.velocities)
    accelerations = np.array(trajectory.accelerations)
    n = len(trajectory)
    assert n >= 2 and positions.shape == velocities.shape == accelerations.shape == (n, 6)
    np.testing.assert_allclose(times, np.arange(n) * DELTA_TIME, atol=1e-9)
    assert trajectory.duration == times[-1]
    for j, limits in enumerate(robot.joint_limits):
        assert np.all(positions[:, j] >= limits.lower - 1e-9) and np.all(positions[:, j] <= limits.upper + 1e-9)
        assert np.max(np.abs(velocities[:, j])) <= limits.max_velocity * (1 + 1e-9)
        assert np.max(np.abs(accelerations[:, j])) <= limits.max_acceleration * (1 + 1e-9)
    np.testing.assert_allclose(positions[0], start, atol=1e-12)
    np.testing.assert_allclose(positions[-1], goal, atol=1e-12)
    np.testing.assert_allclose(velocities[[0, -1]], 0.0, atol=1e-12)
    np.testing.assert_allclose(accelerations[-1], 0.0, atol=1e-12)


# --- planning -----------------------------------------------------------------


@pytest.mark.parametrize("preset", PRESETS, ids=lambda p: p.__name__)
def test_point_to_point_motion_on_a_preset_ends_at_the_goal(preset):
    arm = preset()
    planner = orvane.Planner(arm, DELTA_TIME)
    trajectory = planner.plan(orvane.Motion(robot=arm), start=START, goal=GOAL)
    assert isinstance(trajectory, orvane.Trajectory)
    assert trajectory.degrees_of_freedom == arm.degrees_of_freedom == 6
    check_trajectory(trajectory, arm, START, GOAL)
    end = trajectory.back()
    assert end.time == trajectory.duration
    assert end.position == pytest.approx(GOAL, abs=1e-12)


def test_every_goal_form_reaches_the_same_state():
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(orvane.Environment([arm]), DELTA_TIME)
    motion = orvane.Motion("to-goal", None, START, GOAL)  # no robot: the environment's only one
    reference = planner.plan(motion)
    goals = {
        "numpy float": np.array(GOAL),
        "numpy int": np.array([0, 0, 1, 0, 0, 0]),
        "tuple": tuple(GOAL),
        "waypoint": orvane.Waypoint(GOAL),
        "waypoint from numpy": orvane.Waypoint(np.array(GOAL), np.zeros(6), np.zeros(6)),
        "robot map": orvane.RobotMap(lrmate200id=GOAL),
    }
    for label, goal in goals.items():
        expected = [0, 0, 1, 0, 0, 0] if label == "numpy int" else GOAL
        trajectory = planner.plan(motion, goal=goal)
        assert trajectory.back().position == pytest.approx(expected, abs=1e-12), label
        if label != "numpy int":
            assert trajectory.positions == reference.positions, label
    # The start may be a numpy array too, and a registered motion plans by name.
    planner.add_motion(motion)
    assert planner.get_motion("to-goal").goal == GOAL
    assert planner.get_motion("missing") is None
    by_name = planner.plan("to-goal", start=np.zeros(6))
    assert by_name.positions == reference.positions


def test_cartesian_goal_is_reached_through_inverse_kinematics():
    arm = orvane.robots.fanuc_crx10ial()
    planner = orvane.Planner(arm, DELTA_TIME)
    target_joints = [0.4, 0.2, 0.3, -0.5, 0.6, 0.7]
    target = arm.calculate_tcp(target_joints)
    trajectory = planner.plan(orvane.Motion(robot=arm, start=START, goal=orvane.CartesianWaypoint(target)))
    reached = arm.calculate_tcp(trajectory.back().position)
    assert reached.translational_distance(target) < 1e-6
    assert reached.angular_distance(target) < 1e-6
    assert np.allclose(trajectory.back().velocity, 0.0)
    solution = arm.inverse_kinematics(target, seed=np.array(target_joints) + 0.05)
    assert solution is not None and arm.calculate_tcp(solution).translational_distance(target) < 1e-6


@pytest.mark.parametrize(
    "request_, expected",
    [
        ({"goal": orvane.CartesianWaypoint(orvane.Frame.from_translation(5.0, 0.0, 0.5))}, "unreachable"),
        ({"goal": [0.1, 0.2, 0.3, 0.4, 0.5]}, "has 5 joint positions, but robot 'lrmate200id' has 6 joints"),
        ({"start": [0.0] * 7}, "has 7 joint positions"),
        ({"goal": [4.0, 0.0, 0.0, 0.0, 0.0, 0.0]}, "outside its limits"),
        ({"name": "nowhere"}, "Unknown motion 'nowhere'"),
    ],
    ids=["unreachable pose", "short goal", "long start", "beyond limits", "unknown motion"],
)
def test_failed_planning_raises_planning_error(request_, expected):
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, DELTA_TIME)
    start, goal = request_.get("start", START), request_.get("goal", GOAL)
    with pytest.raises(orvane.PlanningError) as caught:
        if "name" in request_:
            planner.plan(request_["name"], start, goal)
        else:
            planner.plan(orvane.Motion(robot=arm), start=start, goal=goal)
    error = caught.value
    assert isinstance(error, RuntimeError)
    assert expected in error.message
    assert str(error) == error.message


def test_planning_error_is_an_ordinary_exception_class():
    assert issubclass(orvane.PlanningError, RuntimeError)
    assert orvane.PlanningError.__module__ == "orvane"
    with pytest.raises(RuntimeError, match="mine") as caught:
        raise orvane.PlanningError("mine")
    assert caught.value.message == "mine"


def test_low_level_velocity_motion_stops_the_arm():
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, DELTA_TIME)
    moving = orvane.Waypoint(START, [1.0, -0.5, 0.0, 0.0, 0.0, 2.0], [0.0] * 6)
    motion = orvane.LowLevelMotion(arm, moving, orvane.Waypoint(6))
    motion.control_interface = orvane.LowLevelMotion.ControlInterface.Velocity
    assert int(motion.control_interface) == 1
    stop = planner.plan(motion)
    assert stop.front().velocity == pytest.approx(moving.velocity)
    assert stop.back().velocity == pytest.approx([0.0] * 6, abs=1e-12)
    # The arm keeps going in the direction it moved while it brakes.
    assert stop.back().position[0] > 0.0 and stop.back().position[1] < 0.0
    # Position control to the same waypoints goes back to the start position instead.
    motion.control_interface = orvane.LowLevelMotion.ControlInterface.Position
    assert planner.plan(motion).back().position == pytest.approx(START)


def test_plans_from_several_threads_match_sequential_ones():
    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, DELTA_TIME)
    goals = [[0.1 * k, -0.05 * k, 0.02 * k, 0.1, -0.1 * k, 0.3] for k in range(1, 7)]
    sequential = [planner.plan(orvane.Motion(robot=arm), START, g).positions for g in goals]
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        parallel = list(pool.map(lambda g: planner.plan(orvane.Motion(robot=arm), START, g).positions, goals))
    assert parallel == sequential


def test_composite_robot_moves_only_the_parts_a_robot_map_names():
    rail = orvane.LinearAxis("rail", [1.0, 0.0, 0.0], orvane.JointLimits(0.0, 2.0, 1.0, 2.0))
    arm = orvane.robots.fanuc_lrmate200id()
    cell = orvane.CompositeRobot("cell", [rail, arm])
    assert cell.degrees_of_freedom == 7
    assert cell.sub_robots() == [rail, arm]
    assert cell.first_sub_robot == rail and cell.get_next_sub_robot(rail) == arm
    assert cell.get_next_sub_robot(arm) is None
    planner = orvane.Planner(cell, DELTA_TIME)
    assert planner.environment.get_robot("lrmate200id") == arm
    trajectory = planner.plan(orvane.Motion(robot=cell), [0.5] + START, {"lrmate200id": GOAL})
    assert trajectory.back().position == pytest.approx([0.5] + GOAL)
    with pytest.raises(orvane.PlanningError, match="'gripper', which is not part of 'cell'"):
        planner.plan(orvane.Motion(robot=cell), [0.5] + START, {"gripper": [0.0]})


def finite_differences(trajectory):
    """Velocity, acceleration and jerk as a controller computes them, at rest before and after."""
    positions = np.array(trajectory.positions)
    padded = np.vstack([positions[:1]] * 3 + [positions] + [positions[-1:]] * 3)
    dt = trajectory.times[1]
    return [np.abs(np.diff(padded, n, axis=0)) / dt**n for n in (1, 2, 3)]


def test_plans_keep_the_jerk_limits_between_samples():
    for preset in PRESETS:
        arm = preset()
        planner = orvane.Planner(arm, 0.008)
        trajectory = planner.plan(orvane.Motion(robot=arm), START, GOAL)
        limits = arm.joint_limits
        bounds = [[getattr(l, name) for l in limits] for name in ("max_velocity", "max_acceleration", "max_jerk")]
        for differences, bound in zip(finite_differences(trajectory), bounds):
            assert np.all(differences <= np.array(bound) * (1 + 1e-9) + 1e-3)
        # The slowest joint uses its jerk limit: the plan is not needlessly slow.
        assert np.max(finite_differences(trajectory)[2] / np.array(bounds[2])) > 0.9


def make_table(arm, unloaded_share, loaded_share, payload=None):
    def stepped(share):
        return [
            orvane.SteppedJointLimits(
                [share * l.max_velocity] * 20, [share * l.max_acceleration] * 20, [share * l.max_jerk] * 20
            )
            for l in arm.joint_limits
        ]

    return orvane.JointLimitTable.evenly_spaced(2.0, stepped(unloaded_share), stepped(loaded_share), payload)


def test_a_planner_given_a_limit_table_plans_within_it():
    arm = orvane.robots.fanuc_crx10ial()
    planner = orvane.Planner(arm, 0.008)
    free = planner.plan(orvane.Motion(robot=arm), START, GOAL)
    table = make_table(arm, 0.8, 0.4)
    assert (table.degrees_of_freedom, table.steps, table.payload) == (6, 20, None)
    assert table.speeds[0] == pytest.approx(0.1) and table.speeds[-1] == pytest.approx(2.0)
    assert table.step_for(0.15) == 1
    assert table.with_payload(0.5).limits_up_to(19)[0].velocity == pytest.approx(0.6 * arm.joint_limits[0].max_velocity)
    planner.set_limit_table(table)
    assert planner.get_limit_table() is not None
    bound = planner.plan(orvane.Motion(robot=arm), START, GOAL)
    assert bound.duration > free.duration
    assert bound.back().position == pytest.approx(GOAL)
    # Unknown payload: the lower (full payload) column, 40 % of the model.
    shares = np.array([0.4 * getattr(l, name) for name in ("max_velocity", "max_acceleration", "max_jerk")
                       for l in arm.joint_limits]).reshape(3, 6)
    for differences, bound_row in zip(finite_differences(bound), shares):
        assert np.all(differences <= bound_row * (1 + 1e-9) + 1e-3)
    planner.set_limit_table(None)
    assert planner.get_limit_table() is None
    assert planner.plan(orvane.Motion(robot=arm), START, GOAL).duration == free.duration


def test_limit_tables_that_do_not_fit_are_refused():
    arm = orvane.robots.fanuc_crx10ial()
    with pytest.raises(ValueError, match="payload"):
        make_table(arm, 1.0, 1.0, payload=2.0)
    with pytest.raises(ValueError, match="increasing"):
        orvane.JointLimitTable([0.2, 0.1], make_table(arm, 1.0, 1.0).unloaded, make_table(arm, 1.0, 1.0).loaded)
    rail = orvane.LinearAxis("rail", [1.0, 0.0, 0.0], orvane.JointLimits(0.0, 2.0, 1.0, 2.0))
    with pytest.raises(ValueError, match="6 joints"):
        orvane.Planner(rail, 0.008).set_limit_table(make_table(arm, 1.0, 1.0))
    two = orvane.Planner(orvane.Environment([arm, orvane.robots.fanuc_lrmate200id()]), 0.008)
    with pytest.raises(ValueError, match="2 robots"):
        two.set_limit_table(make_table(arm, 1.0, 1.0))
    two.set_limit_table(make_table(arm, 1.0, 1.0), robot=arm)
    assert two.get_limit_table(arm) is not None


# --- robots and presets --------------------------------------------------------


def test_presets_describe_fanuc_arms():
    assert orvane.robots.fanuc_control_rate == pytest.approx(1.0 / 0.024)
    for preset in PRESETS:
        arm = preset()
        assert isinstance(arm, orvane.RobotArm) and isinstance(arm, orvane.Robot)
        assert arm.control_rate == pytest.approx(1.0 / 0.024)
        assert len(arm.joints) == len(arm.joint_limits) == 6
        assert all(l.lower < l.upper and l.max_velocity > 0 and l.max_acceleration > 0 for l in arm.joint_limits)
        assert all(l.max_jerk == pytest.approx(5 * l.max_acceleration) for l in arm.joint_limits)
        # Each call builds a new arm; one shared by C++ comes back as the same object.
        assert preset() != arm and preset().name == arm.name
        assert orvane.Planner(arm, DELTA_TIME).environment.robots[0] is arm
    arm = orvane.robots.fanuc_lrmate200id()
    arm.control_rate = None
    assert arm.control_rate is None


def test_invalid_robot_models_are_refused():
    limits = orvane.JointLimits(-1.0, 1.0, 1.0, 1.0)
    with pytest.raises(ValueError):
        orvane.RobotArm("empty", [])
    with pytest.raises(ValueError):
        orvane.RobotArm("zero axis", [orvane.Joint("j", axis=[0.0, 0.0, 0.0], limits=limits)])
    with pytest.raises(ValueError):
        orvane.LinearAxis("rail", [1.0, 0.0, 0.0], orvane.JointLimits(1.0, -1.0, 1.0, 1.0))
    with pytest.raises(ValueError):
        orvane.Environment().add_robot(None)
    # A user-built arm: one prismatic joint along z, 0.1 m tool offset.
    lift = orvane.RobotArm(
        "lift",
        [orvane.Joint("z", orvane.Joint.Type.Prismatic, orvane.Frame(), [0.0, 0.0, 1.0], limits)],
        tool=orvane.Frame.from_translation(0.0, 0.0, 0.1),
    )
    assert lift.calculate_tcp([0.25]).translation == pytest.approx([0.0, 0.0, 0.35])
    # Built without a jerk limit it gets five times its acceleration limit; a given one is kept.
    assert lift.joint_limits[0].max_jerk == 5.0
    assert "max_jerk=5.0" in repr(lift.joint_limits[0])
    rail = orvane.LinearAxis("rail", [1.0, 0.0, 0.0], orvane.JointLimits(0.0, 1.0, 1.0, 2.0, max_jerk=3.0))
    assert rail.joint_limits[0].max_jerk == 3.0
    with pytest.raises(ValueError):
        orvane.LinearAxis("rail", [1.0, 0.0, 0.0], orvane.JointLimits(0.0, 1.0, 1.0, 2.0, max_jerk=-1.0))


# --- trajectories ------------------------------------------------------------------

TIMES = [0.0, 0.1, 0.2]
POSITIONS = [[0.0, 1.0], [0.1, 1.1], [0.2, 1.2]]
VELOCITIES = [[1.0, 1.0], [1.0, 1.0], [1.0, 1.0]]
ACCELERATIONS = [[0.0, 0.0], [0.0, 0.5], [0.0, -0.5]]


@pytest.mark.parametrize("convert", [list, np.array], ids=["lists", "numpy"])
def test_trajectory_from_arrays_reads_back(convert):
    trajectory = orvane.Trajectory(
        convert(TIMES), convert(POSITIONS), velocities=convert(VELOCITIES), accelerations=convert(ACCELERATIONS)
    )
    assert len(trajectory) == 3 and trajectory.degrees_of_freedom == 2
    assert trajectory.duration == 0.2
    assert trajectory.times == TIMES
    assert trajectory.positions == POSITIONS
    assert trajectory.velocities == VELOCITIES
    assert trajectory.accelerations == ACCELERATIONS
    assert trajectory[1].position == [0.1, 1.1] and trajectory[-1].acceleration == [0.0, -0.5]
    # The properties are copies: changing them leaves the trajectory alone.
    trajectory.positions[0][0] = 42.0
    assert trajectory.positions[0][0] == 0.0


def test_trajectory_accepts_integer_and_mixed_arrays():
    trajectory = orvane.Trajectory(np.arange(3), np.ones((3, 2), dtype=int), [np.zeros(2)] * 3, np.zeros((3, 2)))
    assert trajectory.times == [0.0, 1.0, 2.0] and trajectory.positions == [[1.0, 1.0]] * 3


@pytest.mark.parametrize(
    "times, positions, error",
    [
        ([0.0, 0.2, 0.1], POSITIONS, ValueError),  # times not increasing
        ([0.1, 0.2, 0.3], POSITIONS, ValueError),  # first time not 0
        ([0.0, 0.1], POSITIONS, ValueError),  # one time missing
        (TIMES, [[0.0, 1.0], [0.1], [0.2, 1.2]], ValueError),  # ragged sample
        (TIMES, np.zeros((3, 2, 1)), ValueError),  # not samples x joints
        (TIMES, "abc", TypeError),
        (np.zeros((3, 1)), POSITIONS, ValueError),
    ],
)
def test_malformed_trajectories_are_refused(times, positions, error):
    with pytest.raises(error):
        orvane.Trajectory(times, positions, VELOCITIES, ACCELERATIONS)


def test_trajectory_front_slice_append():
    trajectory = orvane.Trajectory(TIMES, POSITIONS, VELOCITIES, ACCELERATIONS)
    front = trajectory.front()
    assert (front.time, front.position, front.velocity) == (0.0, [0.0, 1.0], [1.0, 1.0])
    tail = trajectory.slice(1, 1_000_000_000)
    assert tail.times == pytest.approx([0.0, 0.1]) and tail.positions == POSITIONS[1:]
    assert len(trajectory.slice(3, 5)) == 0
    with pytest.raises(IndexError):
        trajectory.slice(4, 1)
    combined = orvane.Trajectory(TIMES, POSITIONS, VELOCITIES, ACCELERATIONS)
    combined.append(tail)
    # tail's first sample replaces the last one, its time axis continues.
    assert combined.times == pytest.approx([0.0, 0.1, 0.2, 0.3])
    assert combined.positions == POSITIONS[:2] + POSITIONS[1:]
    with pytest.raises(ValueError):
        combined.append(orvane.Trajectory([0.0, 1.0], [[0.0]] * 2, [[0.0]] * 2, [[0.0]] * 2))
    empty = orvane.Trajectory(2)
    assert len(empty) == 0 and empty.duration == 0.0
    for read in (empty.front, empty.back, lambda: empty[0], lambda: trajectory[3], lambda: trajectory[-4]):
        with pytest.raises(IndexError):
            read()


def test_state_and_waypoint_values():
    state = orvane.State(1.5, [1.0], [2.0], [3.0])
    state.position = np.array([4.0])
    assert (state.time, state.position, state.velocity, state.acceleration) == (1.5, [4.0], [2.0], [3.0])
    assert orvane.State(2).velocity == [0.0, 0.0]
    assert orvane.Waypoint(3).acceleration == [0.0] * 3
    assert orvane.Waypoint([1, 2]).velocity == [0.0, 0.0]
    assert isinstance(orvane.Waypoint(), orvane.Element) and isinstance(orvane.CartesianWaypoint(), orvane.Element)


# --- frames ---------------------------------------------------------------------------


def test_frame_algebra():
    f = orvane.Frame.from_euler(0.3, -0.2, 0.5, 0.4, -0.7, 2.0)
    assert f.to_euler() == pytest.approx([0.3, -0.2, 0.5, 0.4, -0.7, 2.0])
    for identity in (f * f.inverse(), f.inverse() * f):
        np.testing.assert_allclose(identity.rotation, np.eye(3), atol=1e-12)
        np.testing.assert_allclose(identity.translation, 0.0, atol=1e-12)
        assert identity.translational_distance(orvane.Frame.Identity()) < 1e-12
    np.testing.assert_allclose(f.rotation @ np.array(f.rotation).T, np.eye(3), atol=1e-12)
    point = np.array([0.1, 0.2, 0.3])
    np.testing.assert_allclose(f * point, np.array(f.rotation) @ point + f.translation, atol=1e-12)
    np.testing.assert_allclose(f.inverse() * (f * point), point, atol=1e-12)
    g = orvane.Frame.from_translation(1.0, 2.0, 2.0)
    assert g.translational_distance(orvane.Frame()) == pytest.approx(3.0)
    assert (g * g).translation == pytest.approx([2.0, 4.0, 4.0])
    turn = orvane.Frame.from_axis_angle([0.0, 0.0, 2.0], math.pi / 2)
    assert (turn * [1.0, 0.0, 0.0]) == pytest.approx([0.0, 1.0, 0.0])
    assert turn.angular_distance(orvane.Frame()) == pytest.approx(math.pi / 2)
    assert orvane.Frame(np.eye(3), [1, 2, 3]).translation == [1.0, 2.0, 3.0]
    assert repr(g) == "Frame(x=1, y=2, z=2, a=0, b=0, c=0)"


# --- module -------------------------------------------------------------------------------


def test_version():
    assert orvane.__version__ == "1.1.0" == str(orvane.version_number)
    v = orvane.version_number
    assert (v.major, v.minor, v.patch) == (1, 1, 0)
    assert orvane.VersionNumber(1, 0, 9) < v <= orvane.VersionNumber(1, 1, 0) < orvane.VersionNumber(1, 2, 0)


def stub_names(body):
    """Public names a stub body declares, with the bodies of its classes."""
    names, classes = set(), {}
    for node in body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
            classes[node.name] = node
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return {n for n in names if not n.startswith("_")}, classes


def own_public_names(cls):
    return {n for n in vars(cls) if not n.startswith("_")}


def test_stub_lists_every_public_name():
    names, classes = stub_names(ast.parse((STUBS / "__init__.pyi").read_text()).body)
    # Submodules are stub files of their own, imported by the package's stub.
    submodules = {n for n in dir(orvane) if isinstance(getattr(orvane, n), types.ModuleType)}
    assert {f"{n}.pyi" for n in submodules} == {p.name for p in STUBS.glob("*.pyi")} - {"__init__.pyi"}
    assert names == {n for n in dir(orvane) if not n.startswith("_") and n not in submodules}
    for name in submodules:
        declared, _ = stub_names(ast.parse((STUBS / f"{name}.pyi").read_text()).body)
        assert declared == {n for n in dir(getattr(orvane, name)) if not n.startswith("_")}, name

    def compare(stub_class, obj, path):
        declared, nested = stub_names(stub_class.body)
        missing = own_public_names(obj) - declared
        assert not missing, f"{path}: not in the stub: {sorted(missing)}"
        for name in declared:
            holder = obj("x") if isinstance(obj, type) and issubclass(obj, Exception) else obj
            assert hasattr(holder, name), f"{path}.{name} is in the stub but not in the module"
        for name, node in nested.items():
            compare(node, getattr(obj, name), f"{path}.{name}")

    for name, node in classes.items():
        if not name.startswith("_"):  # typing-only helpers of the stub (numpy arrays' protocol)
            compare(node, getattr(orvane, name), name)


def test_import_refuses_other_interpreters():
    assert orvane._interpreter_error("cpython", 3, 12) is None
    for implementation, major, minor in [("cpython", 3, 13), ("cpython", 3, 11), ("pypy", 3, 12)]:
        message = orvane._interpreter_error(implementation, major, minor)
        assert f"{implementation} {major}.{minor}" in message and "CPython 3.12" in message
    # The check runs at import, against what the interpreter reports.
    code = "import sys; sys.version_info = (3, 13, 0, 'final', 0); import orvane"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode != 0
    assert "ImportError" in result.stderr and "cpython 3.13" in result.stderr


# --- Kelvra -----------------------------------------------------------------------------------


class FakeKelvra:
    """Stands in for the tool on 127.0.0.1: records received lines, sends lines."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lines, self.client = [], None
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        client, _ = self.listener.accept()
        with self.changed:
            self.client = client
            self.changed.notify_all()
        for line in client.makefile("r", encoding="utf-8"):
            with self.changed:
                self.lines.append(json.loads(line))
                self.changed.notify_all()

    def wait_for(self, predicate):
        with self.changed:
            assert self.changed.wait_for(predicate, timeout=DEADLINE)

    def send(self, message):
        self.wait_for(lambda: self.client is not None)
        self.client.sendall((json.dumps(message) + "\n").encode())

    def close(self):
        if self.client:
            self.client.close()
        self.listener.close()


@pytest.fixture
def tool():
    fake = FakeKelvra()
    yield fake
    fake.close()


def connected_client(tool):
    client = orvane.Kelvra(connect=False)
    client.host, client.port = "127.0.0.1", tool.port
    client.reconnect(timeout=DEADLINE)
    assert client.is_connected
    return client


def test_kelvra_exchanges_json_lines(tool):
    client = connected_client(tool)
    received, arrived = [], threading.Condition()

    def handler(message):
        with arrived:
            received.append(message)
            arrived.notify_all()

    def failing(message):
        raise ValueError("handler failure must not stop the client")

    client.message_handlers.append(failing)
    client.message_handlers.push_back(handler)
    assert len(client.message_handlers) == 2
    tool.send({"key": "get-joint-position", "robot": "arm", "values": [1, 2.5, None, True]})
    tool.send({"key": "second"})
    with arrived:
        assert arrived.wait_for(lambda: len(received) == 2, timeout=DEADLINE)
    assert received == [{"key": "get-joint-position", "robot": "arm", "values": [1, 2.5, None, True]}, {"key": "second"}]

    arm = orvane.robots.fanuc_lrmate200id()
    assert client.run_action(orvane.Kelvra.Events.set_joint_position(np.arange(6.0), arm))
    assert client.run_action(orvane.Kelvra.Action("register-robot", {"scale": np.float32(0.5), "ids": np.arange(2)}))
    tool.wait_for(lambda: len(tool.lines) == 2)
    assert tool.lines == [
        {"action": "set-joint-position", "commands": [{"data": [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], "robot": "lrmate200id"}]},
        {"action": "register-robot", "commands": [{"data": {"scale": 0.5, "ids": [0, 1]}}]},
    ]
    client.disconnect()
    assert not client.is_connected and not client.run_action(orvane.Kelvra.Action("x", None))


STOP_WHILE_HANDLING = """
import json, socket, threading, time
import orvane

listener = socket.create_server(("127.0.0.1", 0))
def serve():
    while True:
        peer, _ = listener.accept()
        try:
            for k in range(100000):
                peer.sendall((json.dumps({"key": k}) + "\\n").encode())
        except OSError:
            peer.close()
threading.Thread(target=serve, daemon=True).start()

for ending in ("disconnect", "release"):
    client = orvane.Kelvra(connect=False)
    client.host, client.port = "127.0.0.1", listener.getsockname()[1]
    client.reconnect(30.0)
    calls = []
    client.message_handlers.append(lambda message: (calls.append(message), time.sleep(0.0005)))
    deadline = time.monotonic() + 30.0
    while len(calls) < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(calls) >= 5, ending
    if ending == "disconnect":
        client.disconnect()
    del client
    print(ending, "returned", flush=True)
"""


def test_kelvra_stops_while_a_handler_waits_for_the_interpreter():
    # The client's thread needs the interpreter lock for each handler call, so
    # disconnecting and destroying the client must not hold the lock while they
    # wait for that thread. A subprocess turns a deadlock into a failure.
    result = subprocess.run(
        [sys.executable, "-c", STOP_WHILE_HANDLING], capture_output=True, text=True, timeout=4 * DEADLINE
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["disconnect returned", "release returned"]


def test_kelvra_errors():
    with socket.create_server(("127.0.0.1", 0)) as reserved:
        port = reserved.getsockname()[1]
    os.environ["ORVANE_KELVRA_ENDPOINT"] = f"127.0.0.1:{port}"
    try:
        with pytest.raises(orvane.KelvraError, match=f"127.0.0.1:{port}"):
            orvane.Kelvra(timeout=DEADLINE)
        client = orvane.Kelvra(connect=False)
        assert (client.host, client.port, client.is_connected) == ("127.0.0.1", port, False)
    finally:
        del os.environ["ORVANE_KELVRA_ENDPOINT"]
    assert issubclass(orvane.KelvraError, RuntimeError)
    with pytest.raises(TypeError):
        orvane.Kelvra.Action("x", {"bad": object()})
    with pytest.raises(TypeError):
        orvane.Kelvra.Action("x", {1: "keys must be strings"})
    command = orvane.Kelvra.Command({"nested": [[1], {"a": None}]}, "arm")
    assert (command.data, command.robot) == ({"nested": [[1], {"a": None}]}, "arm")
