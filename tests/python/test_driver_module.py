"""The module `orvane_driver_fanuc` without a controller: value types, the
trigger algebra's building rules, the stubs, and loading."""

import ast
import pathlib
import re
import subprocess
import sys

import pytest

import orvane_driver_fanuc as fanuc
from orvane_driver_fanuc import ControllerStatus, Result, Trigger

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "orvane_driver_fanuc.pyi"

RESULT_NAMES = [
    "Success", "Error", "ErrorStartPositionDeviation", "ErrorTrajectoryDidNotUpdate", "ErrorReachGoalTimeout",
    "ErrorCommandAlreadyInProgress", "ErrorTrajectoryAborted", "ErrorController", "ErrorControllerEStopActive",
    "ErrorControllerSafetyViolation", "ErrorControllerAlarmActive", "ErrorControllerNotInAutoMode",
    "ErrorControllerNotInRemoteMode", "ErrorControllerInHoldState", "ErrorControllerEnableMotors",
    "ErrorControllerProgramStopped", "ErrorControllerSendingStop", "ErrorControllerConnection", "ErrorPathDeviation", "ErrorSpeedIsZero",
]  # fmt: skip
STATUS_NAMES = ["ReadyToMove", "EnableRequired", "ManualInterventionRequired", "Disconnected", "Error"]


def test_module_identity_and_registration_order():
    assert fanuc.__version__ == "1.1.9"
    assert fanuc.__doc__ == "Orvane Driver for Fanuc Robots."
    order = ["Result", "FutureResult", "FutureBool", "ControllerStatus", "RobotState", "Trigger", "Action", "Driver",
             "FanucDriver"]  # fmt: skip
    registered = [name for name in vars(fanuc) if name in order]
    assert registered == order
    assert fanuc.Trigger.Value.__qualname__.endswith("Value")
    assert issubclass(fanuc.FanucDriver, fanuc.Driver)
    assert issubclass(fanuc.OrvaneError, RuntimeError)


# --- Result and ControllerStatus -------------------------------------------------------------


@pytest.mark.parametrize("cls, names", [(Result, RESULT_NAMES), (ControllerStatus, STATUS_NAMES)])
def test_constants_compare_and_hash_by_code(cls, names):
    constants = [getattr(cls, name) for name in names]
    codes = [c.code for c in constants]
    assert len(set(codes)) == len(codes), "every constant has a code of its own"
    for name, constant in zip(names, constants):
        again = getattr(cls, name)
        assert constant == again and not constant != again and hash(constant) == hash(again)
        assert repr(constant) == f"{cls.__name__}.{name} ({constant.code}): {constant.message}"
        assert constant.message
    for a in constants:
        for b in constants:
            assert (a == b) == (a.code == b.code)
            assert (a != b) == (a.code != b.code)
    assert len(set(constants)) == len(constants)
    assert {constant: name for name, constant in zip(names, constants)}[getattr(cls, names[0])] == names[0]


def test_known_codes_and_messages():
    assert (Result.Success.code, Result.Success.message) == (1, "Finished successfully.")
    assert Result.ErrorTrajectoryAborted.code == -104
    assert Result.ErrorControllerConnection.code == -210
    assert repr(Result.Success) == "Result.Success (1): Finished successfully."
    assert (ControllerStatus.ReadyToMove.code, ControllerStatus.Disconnected.code) == (1, -3)


def test_result_never_equals_a_status_of_the_same_code():
    assert Result.Success.code == ControllerStatus.ReadyToMove.code
    assert Result.Success != ControllerStatus.ReadyToMove
    assert not Result.Success == ControllerStatus.ReadyToMove
    assert Result.Success != 1 and Result.Success != "Success" and Result.Success is not None


@pytest.mark.parametrize("cls, name", [(Result, "Success"), (ControllerStatus, "ReadyToMove")])
def test_constants_and_their_fields_are_read_only(cls, name):
    constant = getattr(cls, name)
    with pytest.raises(AttributeError):
        setattr(cls, name, constant)
    with pytest.raises(AttributeError):
        constant.code = 5
    with pytest.raises(AttributeError):
        constant.message = "changed"
    assert getattr(cls, name) == constant and constant.code == getattr(cls, name).code
    with pytest.raises(TypeError):
        cls()


# --- triggers and actions -----------------------------------------------------------------------


def test_comparisons_of_values_build_triggers():
    for value in [Trigger.Time(), Trigger.TimeToGoal(), Trigger.JointPosition(1), Trigger.TCPPosition(2)]:
        assert isinstance(value, Trigger.Value)
        for trigger in [value > 1.0, value >= 1.0, value < 1.0, value <= 1.0, value > 1, 2.0 < value]:
            assert isinstance(trigger, Trigger)
    a, b = Trigger.Time() > 1.0, Trigger.JointPosition(0) < 0.5
    assert isinstance(a & b, Trigger) and isinstance(a | b, Trigger) and isinstance((a & b) | a, Trigger)


def test_equality_builds_no_trigger_and_bad_operands_are_refused():
    value = Trigger.Time()
    assert (value == 1.0) is False  # identity comparison
    assert value == value
    with pytest.raises(TypeError):
        value > "1.0"
    with pytest.raises(TypeError):
        (value > 1.0) & 1
    with pytest.raises(TypeError):
        Trigger.JointPosition(-1)


def test_triggers_values_and_results_cannot_be_made_from_python():
    for cls in [Trigger, Trigger.Value, Result, ControllerStatus, fanuc.RobotState, fanuc.FutureResult,
                fanuc.FutureBool, fanuc.Driver]:  # fmt: skip
        with pytest.raises(TypeError):
            cls()


def test_action_wraps_callables_only():
    assert isinstance(fanuc.Action(lambda t: None), fanuc.Action)
    assert isinstance(fanuc.Action(method=print), fanuc.Action)
    with pytest.raises(TypeError):
        fanuc.Action(3)


# --- stubs ----------------------------------------------------------------------------------------


def stub_names(body):
    """Public names a stub body declares, with the bodies of its classes and the
    parameter lists of its functions (one per overload)."""
    names, classes, functions = set(), {}, {}
    for node in body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
            classes[node.name] = node
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
            args = node.args
            # "*" before keyword-only parameters, as pybind11's signatures show it.
            params = [a.arg for a in args.posonlyargs + args.args] + (["*"] if args.kwonlyargs else [])
            params += [a.arg for a in args.kwonlyargs]
            functions.setdefault(node.name, []).append(params)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return {n for n in names if not n.startswith("_")}, classes, functions


def split_top_level(text):
    parts, depth, current = [], 0, ""
    for char in text:
        depth += char in "[(" and 1 or char in "])" and -1 or 0
        if char == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += char
    return [p.strip() for p in parts + [current] if p.strip()]


def bound_signatures(name, function):
    """Parameter lists of a pybind11 function, read from its docstring signatures."""
    doc = function.__doc__ or ""
    pattern = re.compile(rf"^(?:\d+\. )?{re.escape(name)}\((.*)\) -> ", re.MULTILINE)
    return [[p.split(":")[0].split("=")[0].strip() for p in split_top_level(m.group(1))] for m in pattern.finditer(doc)]


def test_stub_matches_the_module():
    # (The stub of `orvane` is checked with that module's tests.)
    names, classes, _ = stub_names(ast.parse(STUB.read_text()).body)
    assert names == {n for n in dir(fanuc) if not n.startswith("_")}

    def compare(stub_class, obj, path):
        declared, nested, functions = stub_names(stub_class.body)
        public = {n for n in vars(obj) if not n.startswith("_")}
        assert not public - declared, f"{path}: not in the stub: {sorted(public - declared)}"
        for name in declared:
            assert hasattr(obj, name), f"{path}.{name} is in the stub but not in the module"
        # Keyword names are part of the interface: the stub's must be the module's.
        for name, overloads in functions.items():
            bound = bound_signatures(name, getattr(obj, name))
            if bound:
                assert sorted(bound) == sorted(overloads), f"{path}.{name}: stub {overloads}, module {bound}"
        for name, node in nested.items():
            compare(node, getattr(obj, name), f"{path}.{name}")

    for name, node in classes.items():
        if not name.startswith("_") and name != "OrvaneError":
            compare(node, getattr(fanuc, name), name)
    # Every bound method of the classes has parameter lists to compare.
    assert bound_signatures("move_to", fanuc.Driver.move_to) == [["self", "goal", "ignore_collisions"]]


def test_import_refuses_other_interpreters():
    assert fanuc._interpreter_error("cpython", 3, 12) is None
    for implementation, major, minor in [("cpython", 3, 13), ("cpython", 3, 11), ("pypy", 3, 12)]:
        message = fanuc._interpreter_error(implementation, major, minor)
        assert f"{implementation} {major}.{minor}" in message and "CPython 3.12" in message
    # Checked at import, against what the interpreter reports (after `orvane`, which checks too).
    code = "import orvane, sys; sys.version_info = (3, 13, 0, 'final', 0); import orvane_driver_fanuc"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode != 0
    assert "ImportError" in result.stderr and "orvane_driver_fanuc" in result.stderr
