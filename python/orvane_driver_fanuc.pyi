"""Orvane Driver for Fanuc Robots.

Construct a `FanucDriver` with a planner of the `orvane` motion module and the
controller's address, `enable()` it, then run trajectories or move to goals.
Joint values are in radians, times in seconds, speeds are factors of the
planned timing in [0, 1]. Every motion operation returns a `Result`; its
`_async` twin returns a future of it (awaitable in a coroutine). Wherever a
list of joint values is taken, a numpy array is accepted too.

Blocking motion calls release the interpreter lock; Ctrl-C during one (or
during a future's `get`/`wait`) stops the robot and raises KeyboardInterrupt.
"""

from collections.abc import Callable, Generator, Sequence
from types import TracebackType
from typing import Any, ClassVar, Literal, NoReturn, Protocol, TypeAlias, overload, type_check_only

from orvane import CartesianWaypoint, Frame, JointLimitTable, Kelvra, Planner, Robot, RobotArm, Trajectory, Waypoint

@type_check_only
class _Array(Protocol):
    """A numpy array (anything with __array__ and a length), taken as a list of its values."""

    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...

# Joint values: a list, tuple or numpy array of floats.
_Vector: TypeAlias = Sequence[float] | _Array
_Point: TypeAlias = _Vector | Waypoint | CartesianWaypoint
# Joint positions (reached at rest), a Waypoint, a CartesianWaypoint or a
# RobotMap (a dict of points per robot name).
_Goal: TypeAlias = _Vector | Waypoint | CartesianWaypoint | dict[str, _Point]

__version__: str

def set_log_level(level: str) -> None:
    """Set the log threshold: 'Debug', 'Info', 'Warn', 'Error' or 'Off' (any letter case)."""

def get_log_level() -> str: ...
def world_frame_in_base(arm: RobotArm) -> Frame:
    """The controller's world frame (user frame 0) in the arm's base frame: on the J1 axis at the height of J2."""

def world_to_base(arm: RobotArm, pose: Frame) -> Frame:
    """A pose in the controller's world frame, in the arm's base frame (the planner's)."""

def base_to_world(arm: RobotArm, pose: Frame) -> Frame:
    """A pose in the arm's base frame (the planner's), in the controller's world frame."""

def log_to_python(enabled: bool = True) -> None:
    """Send the driver's log lines to Python's logging (logger "orvane") instead of standard output."""

class OrvaneError(RuntimeError):
    """The driver's own failures: construction, a lost link while sending, protocol violations."""

class Result:
    """The outcome of a robot operation. Compares and hashes by `code`."""

    Success: ClassVar[Result]
    Error: ClassVar[Result]
    ErrorStartPositionDeviation: ClassVar[Result]
    ErrorTrajectoryDidNotUpdate: ClassVar[Result]
    ErrorReachGoalTimeout: ClassVar[Result]
    ErrorCommandAlreadyInProgress: ClassVar[Result]
    ErrorTrajectoryAborted: ClassVar[Result]
    ErrorController: ClassVar[Result]
    ErrorControllerEStopActive: ClassVar[Result]
    ErrorControllerSafetyViolation: ClassVar[Result]
    ErrorControllerAlarmActive: ClassVar[Result]
    ErrorControllerNotInAutoMode: ClassVar[Result]
    ErrorControllerNotInRemoteMode: ClassVar[Result]
    ErrorControllerInHoldState: ClassVar[Result]
    ErrorControllerEnableMotors: ClassVar[Result]
    ErrorControllerProgramStopped: ClassVar[Result]
    ErrorControllerSendingStop: ClassVar[Result]
    ErrorControllerConnection: ClassVar[Result]
    ErrorPathDeviation: ClassVar[Result]
    ErrorSpeedIsZero: ClassVar[Result]
    @property
    def code(self) -> int: ...
    @property
    def message(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class FutureResult:
    """The Result of an asynchronous operation; `await` it in a coroutine.

    Awaiting it in an asyncio task costs no CPU until the operation ends.
    Cancelling the task (or a time-out of `asyncio.wait_for`) while a motion
    is awaited stops the robot.
    """

    def get(self, timeout: float | None = None) -> Result: ...
    def wait(self, timeout: float | None = None) -> None: ...
    def done(self) -> bool: ...
    def __await__(self) -> Generator[Any, None, Result]: ...
    def __next__(self) -> Any: ...
    def throw(self, type: Any, value: Any = None, traceback: Any = None) -> NoReturn: ...
    def close(self) -> None: ...

class FutureBool:
    """The outcome of an asynchronous pause; `await` it in a coroutine.

    Awaiting it in an asyncio task costs no CPU until the operation ends.
    Cancelling the task (or a time-out of `asyncio.wait_for`) while a motion
    is awaited stops the robot.
    """

    def get(self, timeout: float | None = None) -> bool: ...
    def wait(self, timeout: float | None = None) -> None: ...
    def done(self) -> bool: ...
    def __await__(self) -> Generator[Any, None, bool]: ...
    def __next__(self) -> Any: ...
    def throw(self, type: Any, value: Any = None, traceback: Any = None) -> NoReturn: ...
    def close(self) -> None: ...

class ControllerStatus:
    """The readiness of the robot controller. Compares and hashes by `code`."""

    ReadyToMove: ClassVar[ControllerStatus]
    EnableRequired: ClassVar[ControllerStatus]
    ManualInterventionRequired: ClassVar[ControllerStatus]
    Disconnected: ClassVar[ControllerStatus]
    Error: ClassVar[ControllerStatus]
    @property
    def code(self) -> int: ...
    @property
    def message(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class RobotState:
    position: list[float]
    velocity: list[float]
    acceleration: list[float]

class Trigger:
    """An event's condition: `Trigger.Time() > 2.0`, combined with `&` and `|`."""

    class Value:
        def __gt__(self, threshold: float) -> Trigger: ...
        def __ge__(self, threshold: float) -> Trigger: ...
        def __lt__(self, threshold: float) -> Trigger: ...
        def __le__(self, threshold: float) -> Trigger: ...

    @staticmethod
    def Time() -> Trigger.Value: ...
    @staticmethod
    def TimeToGoal() -> Trigger.Value: ...
    @staticmethod
    def JointPosition(dof: int) -> Trigger.Value: ...
    @staticmethod
    def TCPPosition(axis: int) -> Trigger.Value: ...
    def __and__(self, other: Trigger) -> Trigger: ...
    def __or__(self, other: Trigger) -> Trigger: ...

class Action:
    """An event's function, called with the playback time on the driver's thread."""

    def __init__(self, method: Callable[[float], None]) -> None: ...

class Driver:
    """A robot driver (abstract: construct a FanucDriver)."""

    @property
    def host(self) -> str: ...
    @property
    def port(self) -> int: ...
    @property
    def degrees_of_freedom(self) -> int: ...
    @property
    def delta_time(self) -> float: ...
    connect_timeout: float
    path_deviation_error_threshold: float
    monitor_path_deviation: bool
    pausing_duration: float
    @property
    def log_motions(self) -> bool: ...
    kelvra: Kelvra | None
    speed: float
    @property
    def total_motion_time(self) -> float: ...
    @property
    def current_joint_position(self) -> list[float]: ...
    @property
    def current_state(self) -> RobotState: ...
    @property
    def is_connected(self) -> bool: ...
    @property
    def controller_status(self) -> ControllerStatus: ...
    @property
    def is_running(self) -> bool: ...
    @property
    def is_paused(self) -> bool: ...
    @property
    def last_error(self) -> str:
        """Why this driver's last operation was refused or failed; empty after a success."""
    def reconnect(self) -> bool: ...
    def disconnect(self) -> bool: ...
    def enable(self) -> Result: ...
    def enable_async(self) -> FutureResult: ...
    def disable(self) -> Result: ...
    def disable_async(self) -> FutureResult: ...
    def run(self, trajectory: Trajectory) -> Result: ...
    def run_async(self, trajectory: Trajectory) -> FutureResult: ...
    def move_to(self, goal: _Goal, ignore_collisions: bool = False) -> Result: ...
    def move_to_async(self, point: _Goal, ignore_collisions: bool = False) -> FutureResult: ...
    def move_along(self, name: str, goal: _Goal | None = None, ignore_collisions: bool = False) -> Result: ...
    def move_along_async(
        self, name: str, goal: _Goal | None = None, ignore_collisions: bool = False
    ) -> FutureResult: ...
    def blend_into(self, trajectory: Trajectory, duration: float) -> Result: ...
    def blend_into_async(self, trajectory: Trajectory, duration: float) -> FutureResult: ...
    def stop(self, fast_stop: bool = True) -> Result: ...
    def stop_async(self, fast_stop: bool = True) -> FutureResult: ...
    def pause(self) -> bool: ...
    def pause_async(self) -> FutureBool: ...
    def resume(self) -> Result: ...
    def resume_async(self) -> FutureResult: ...
    def set_speed(self, speed: float, duration: float) -> None: ...
    def reset_speed(self) -> None: ...
    def set_tcp_velocity_constraint(self, max_tcp_velocity: float | None) -> None: ...
    def add_event(self, trigger: Trigger, action: Action | Callable[[float], None]) -> None: ...
    @overload
    def create_io_alias(self, name: str, address: int) -> None: ...
    @overload
    def create_io_alias(self, name: str, address_in: int, address_out: int) -> None: ...
    def get_digital_input(self, name: str) -> int | None: ...
    def set_digital_output(self, name: str, value: int) -> bool: ...
    def get_analog_input(self, name: str) -> float | None: ...
    def set_analog_output(self, name: str, value: float) -> bool: ...
    def get_group_input(self, name: str) -> int | None: ...
    def set_group_output(self, name: str, value: int) -> bool: ...
    def get_int_register(self, name: str) -> int | None: ...
    def set_int_register(self, name: str, value: int) -> bool: ...
    def get_double_register(self, name: str) -> float | None: ...
    def set_double_register(self, name: str, value: float) -> bool: ...

class MotionFeedback:
    """The joint readings of one motion, oldest first."""

    @property
    def times(self) -> list[float]: ...
    @property
    def time_tags(self) -> list[int]: ...
    @property
    def measured(self) -> list[list[float]]: ...
    @property
    def commanded(self) -> list[list[float]]: ...
    @property
    def currents(self) -> list[list[float]]: ...
    @property
    def deviations(self) -> list[float]: ...
    @property
    def max_deviation(self) -> float: ...
    def __len__(self) -> int: ...

class Blend:
    """How a controller-planned motion ends: FINE, CNT 1-100, or a corner radius [m]."""

    @staticmethod
    def fine() -> Blend: ...
    @staticmethod
    def cnt(value: int) -> Blend: ...
    @staticmethod
    def corner(radius: float) -> Blend: ...
    @property
    def kind(self) -> str: ...
    @property
    def value(self) -> float: ...
    def __eq__(self, other: object) -> bool: ...

_BlendArgument: TypeAlias = Blend | int | float | None
_MotionTarget: TypeAlias = _Vector | CartesianPose

class FanucDriver(Driver):
    """A driver for FANUC robot controllers over RMI; connects at construction."""

    def move_joint(
        self, target: _MotionTarget, speed_percent: float = 100.0, blend: _BlendArgument = None,
        relative: bool = False, no_blend: bool = False, acceleration_percent: int | None = None,
    ) -> Result:
        """Joint move planned by the controller, at speed_percent (1-100) of the joints' maximum speed."""
    def move_joint_async(
        self, target: _MotionTarget, speed_percent: float = 100.0, blend: _BlendArgument = None,
        relative: bool = False, no_blend: bool = False, acceleration_percent: int | None = None,
    ) -> FutureResult: ...
    def move_linear(
        self, target: _MotionTarget, speed: float = 0.25, blend: _BlendArgument = None, relative: bool = False,
        no_blend: bool = False, acceleration_percent: int | None = None,
    ) -> Result:
        """Straight TCP line planned by the controller, at speed [m/s]."""
    def move_linear_async(
        self, target: _MotionTarget, speed: float = 0.25, blend: _BlendArgument = None, relative: bool = False,
        no_blend: bool = False, acceleration_percent: int | None = None,
    ) -> FutureResult: ...
    def move_circular(
        self, via: CartesianPose, target: CartesianPose, speed: float = 0.25, blend: _BlendArgument = None,
        no_blend: bool = False, acceleration_percent: int | None = None,
    ) -> Result:
        """TCP arc through `via` to `target`, planned by the controller, at speed [m/s]."""
    def move_circular_async(
        self, via: CartesianPose, target: CartesianPose, speed: float = 0.25, blend: _BlendArgument = None,
        no_blend: bool = False, acceleration_percent: int | None = None,
    ) -> FutureResult: ...
    def call_program(self, name: str) -> Result: ...
    def call_program_async(self, name: str) -> FutureResult: ...
    def wait_time(self, seconds: float) -> Result: ...
    def wait_time_async(self, seconds: float) -> FutureResult: ...
    def wait_input(self, alias: str, value: int) -> Result: ...
    def wait_input_async(self, alias: str, value: int) -> FutureResult: ...

    @overload
    def __init__(
        self,
        planner: Planner,
        host: str,
        sync_with_kelvra: bool = False,
        *,
        port: int = 16001,
        connect_timeout: float = 5.0,
        stream_motion: bool = False,
        stream_motion_port: int = 60015,
    ) -> None: ...
    @overload
    def __init__(
        self,
        planner: Planner,
        robot: Robot,
        host: str,
        sync_with_kelvra: bool = False,
        *,
        port: int = 16001,
        connect_timeout: float = 5.0,
        stream_motion: bool = False,
        stream_motion_port: int = 60015,
    ) -> None: ...
    @property
    def motion_interface(self) -> Literal["stream_motion", "rmi"]: ...
    @property
    def stream_motion_limits(self) -> JointLimitTable | None: ...
    @property
    def stream_motion_period(self) -> float | None: ...
    @property
    def late_cycles(self) -> int: ...
    def set_speed_override(self, value: int) -> bool: ...
    @overload
    def set_payload(self, schedule: float) -> bool:
        """Select payload schedule 1-10 (a whole number; anything else raises ValueError)."""
    @overload
    def set_payload(self, *, weight: float) -> bool:
        """Deprecated keyword: it names a schedule number, not a mass."""
    def set_payload_value(
        self, schedule: int, mass: float, centre_of_gravity: _Vector, inertia: _Vector | None = None
    ) -> bool:
        """Set a schedule's mass [kg], centre of gravity [m] and optionally inertia [kg m^2]."""
    def to_planner_waypoint(self, pose: CartesianPose) -> CartesianWaypoint | None:
        """The planner's waypoint (faceplate in the arm's base frame) for a pose of the controller."""
    @overload
    def move_to(self, goal: CartesianPose, ignore_collisions: bool = False) -> Result:
        """Move to a pose of the controller, in its user frame with its tool."""
    @overload
    def move_to(self, goal: _Goal, ignore_collisions: bool = False) -> Result: ...
    @overload
    def move_to_async(self, point: CartesianPose, ignore_collisions: bool = False) -> FutureResult: ...
    @overload
    def move_to_async(self, point: _Goal, ignore_collisions: bool = False) -> FutureResult: ...
    def close(self) -> None: ...
    def __enter__(self) -> FanucDriver: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...
    feedback_rate: float
    path_deviation_window: float
    @property
    def last_motion_feedback(self) -> MotionFeedback: ...
    @property
    def current_cartesian_position(self) -> CartesianPose | None:
        """The TCP pose in the active user frame and tool (metres, radians), or None."""
    @property
    def tcp_speed(self) -> float | None:
        """The TCP speed in m/s, or None."""
    @property
    def active_frame_and_tool(self) -> FrameToolNumbers | None:
        """The active user frame and tool, or None."""
    def set_active_frame_and_tool(self, user_frame: int, user_tool: int) -> bool:
        """Select user frame 0-9 and tool 0-10; refused while a motion streams or is paused."""
    def get_user_frame(self, number: int) -> Frame | None:
        """Read user frame 1-9."""
    def set_user_frame(self, number: int, frame: Frame) -> bool:
        """Write user frame 1-9; refused while a motion streams or is paused."""
    def get_user_tool(self, number: int) -> Frame | None:
        """Read tool 1-10."""
    def set_user_tool(self, number: int, frame: Frame) -> bool:
        """Write tool 1-10; refused while a motion streams or is paused."""
    def get_position_register(self, number: int) -> PositionRegister | None:
        """Read PR[number]: a Cartesian pose or a joint position (radians, J3 independent of J2)."""
    @overload
    def set_position_register(self, number: int, pose: CartesianPose) -> bool:
        """Write a Cartesian pose to PR[number]."""
    @overload
    def set_position_register(self, number: int, joint_position: _Vector) -> bool:
        """Write a joint position (radians, one value per joint) to PR[number]."""
    def read_errors(self, count: int = 1) -> list[str] | None:
        """The newest 1-5 alarm texts, newest first; empty without alarms; None when unreadable."""
    def get_flag(self, name: str) -> int | None:
        """Read a flag through its alias."""
    def set_flag(self, name: str, value: int) -> bool:
        """Write a flag through its alias (any non-zero value sets it)."""
    def get_robot_input(self, name: str) -> int | None:
        """Read a robot input through its alias."""
    def set_robot_output(self, name: str, value: int) -> bool:
        """Write a robot output through its alias (any non-zero value sets it)."""

class CartesianPose:
    """A TCP pose in a user frame with a tool (metres, radians)."""

    pose: Frame
    user_frame: int
    user_tool: int
    configuration: str
    def __init__(
        self, pose: Frame, user_frame: int = 0, user_tool: int = 0, configuration: str = "N U T"
    ) -> None: ...

class FrameToolNumbers:
    """The active user frame and tool."""

    @property
    def user_frame(self) -> int: ...
    @property
    def user_tool(self) -> int: ...

class PositionRegister:
    """A position register: exactly one of the two is set."""

    @property
    def cartesian(self) -> CartesianPose | None: ...
    @property
    def joint_position(self) -> list[float] | None: ...
