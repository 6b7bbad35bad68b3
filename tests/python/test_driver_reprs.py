"""Every value the module returns reads as what it holds: no
`<... object at 0x...>` in a print or a debugger."""

import orvane
import pytest

from orvane_driver_fanuc import Action, CartesianPose, Result, Trigger


def test_poses_registers_frames_and_states_show_their_values(enabled):
    pose = CartesianPose(orvane.Frame.from_translation(0.25, 0.0, -0.5), user_frame=2, user_tool=3,
                         configuration="F U T, 0, 0, 1")  # fmt: skip
    assert repr(pose) == (
        "CartesianPose(pose=Frame(x=0.25, y=0, z=-0.5, a=0, b=0, c=0), user_frame=2, user_tool=3, "
        "configuration='F U T, 0, 0, 1')"
    )
    assert enabled.set_position_register(4, pose)
    assert repr(enabled.get_position_register(4)) == f"PositionRegister(cartesian={pose!r})"
    assert enabled.set_position_register(5, [0.0, 0.5, 0.25, 0.0, 0.0, 0.0])
    joints = enabled.get_position_register(5)
    assert joints.joint_position == pytest.approx([0.0, 0.5, 0.25, 0.0, 0.0, 0.0], abs=1e-5)
    assert repr(joints) == f"PositionRegister(joint_position={joints.joint_position!r})"

    assert enabled.set_active_frame_and_tool(1, 2)
    assert repr(enabled.active_frame_and_tool) == "FrameToolNumbers(user_frame=1, user_tool=2)"
    assert repr(enabled.current_cartesian_position).startswith("CartesianPose(pose=Frame(x=")

    state = enabled.current_state
    state.velocity = [0.5]
    assert repr(state) == f"RobotState(position={state.position!r}, velocity=[0.5], acceleration=[])"


def test_motions_futures_and_feedback_show_their_state(enabled):
    start = enabled.current_joint_position
    future = enabled.move_to_async([start[0] + 0.3, *start[1:]])
    assert repr(future) in ("FutureResult(running)", f"FutureResult(done: {Result.Success!r})")
    assert future.get(timeout=30.0) == Result.Success
    assert repr(future) == "FutureResult(done: Result.Success (1): Finished successfully.)"
    feedback = enabled.last_motion_feedback
    assert repr(feedback) == f"MotionFeedback(readings={len(feedback)}, max_deviation={feedback.max_deviation!r})"
    assert repr(enabled.pause_async()).startswith("FutureBool(")
    assert repr(enabled).startswith(f"FanucDriver(host='{enabled.host}', robot='lrmate200id', connected=True)")


def test_triggers_and_actions_show_what_they_were_built_from():
    assert repr(Trigger.Time()) == "Trigger.Value(Time())"
    assert repr(Trigger.Time() > 1.0) == "Trigger(Time() > 1.0)"
    both = (Trigger.JointPosition(1) <= 0.5) & (Trigger.TimeToGoal() >= 2)
    assert repr(both) == "Trigger((JointPosition(1) <= 0.5) & (TimeToGoal() >= 2.0))"
    either = (Trigger.TCPPosition(2) < -0.25) | both
    assert repr(either) == f"Trigger((TCPPosition(2) < -0.25) | ({repr(both)[8:-1]}))"

    def open_valve(t: float) -> None:
        pass

    assert repr(Action(open_valve)) == f"Action({open_valve!r})"
    # Still no trigger from an equality, and other operands are refused.
    assert (Trigger.Time() == 1.0) is False
    with pytest.raises(TypeError):
        _ = (Trigger.Time() > 1.0) & 3

