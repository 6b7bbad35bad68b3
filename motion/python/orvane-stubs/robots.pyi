"""Models of real arms; each call builds a new arm."""

from orvane import RobotArm

fanuc_control_rate: float

def fanuc_lrmate200id() -> RobotArm: ...
def fanuc_crx10ial() -> RobotArm: ...
