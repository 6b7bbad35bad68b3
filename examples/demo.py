#!/usr/bin/env python3
"""The driver at work, end to end, the way a user's program drives a robot.

Without --host it starts the bundled controller simulator on a loopback
address and drives it: plans with the motion library for a FANUC LR Mate
200iD, enables, moves to joint and Cartesian goals, runs and blends
trajectories, changes the speed during a motion, pauses and resumes, fires an
event, reads and writes digital I/O through aliases, sets the speed override
and stops. One live line per motion shows progress; a table of every
operation's result and time follows, and a picture (PNG) of the measured
against the commanded joint paths and of the path deviation against its
threshold is drawn from what the driver read during each motion
(last_motion_feedback), so the picture is the same on a real robot.

With --host ADDRESS it drives a real controller instead, after you confirm.
With --stream-motion the same program moves the arm over Stream Motion (a
command every interpolation period of the controller) instead of RMI.
"""

import argparse
import math
import os
import pathlib
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import orvane
import orvane_driver_fanuc as fanuc

ROOT = pathlib.Path(__file__).resolve().parents[1]
HOME = [0.0, 0.0, 0.0, 0.0, -0.5, 0.0]
POSE_A = [0.9, 0.35, -0.25, 0.8, -0.6, 1.6]
POSE_B = [-0.9, 0.2, -0.1, -0.8, -0.9, -1.6]
POSE_C = [1.2, 0.1, 0.0, 0.4, -0.5, 0.8]
POSE_D = [0.3, 0.5, -0.3, 1.0, -1.1, 2.4]
LEFT = [-2.4, 0.3, -0.2, -1.5, -0.8, -3.0]
RIGHT = [2.4, 0.4, -0.3, 1.5, -0.6, 3.0]
PART_SENSOR, GRIPPER = 7, 1  # digital input and output addresses
DEADLINE = 30.0


# --- the simulator -----------------------------------------------------------------------------


def find_simulator():
    """The simulator of the build tree this example lies in, else the
    command an installed wheel brings; None when there is neither."""
    built = pathlib.Path(os.environ.get("ORVANE_BUILD_DIR", ROOT / "build")) / "sim" / "fanuc-rmi-sim"
    if built.is_file() and os.access(built, os.X_OK):
        return built
    installed = shutil.which("fanuc-rmi-sim")
    return pathlib.Path(installed) if installed else None


class Simulator:
    """The bundled fanuc-rmi-sim on a loopback address of its own (the RMI
    control port 16001 is fixed, so each simulator needs its own address)."""

    def __init__(self, binary, record_prefix):
        self.lines = []
        self.ready = threading.Event()
        for _ in range(20):
            self.address = f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"
            command = [str(binary), "--address", self.address, "--data-port", "0",
                       "--din", f"{PART_SENSOR}=1", "--record-csv", str(record_prefix)]  # fmt: skip
            self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            threading.Thread(target=self._read, daemon=True).start()
            self.ready.wait(DEADLINE)
            if self.process.poll() is None and self.ready.is_set():
                return
            self.process.kill()
            self.process.wait()
        raise RuntimeError("the simulator did not start: " + " | ".join(self.lines))

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip())
            if "listening on" in line:
                self.ready.set()
        self.ready.set()

    def stop(self):
        """Ends the simulator; it writes its records on the way out."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


# --- progress and the report -----------------------------------------------------------------------


class FeedbackLog:
    """The driver's record of each motion's joint readings, collected after
    every motion on one time axis (seconds since the first motion started).

    A record lasts until the next motion starts and grows while a motion goes
    on (a blend, a resume), so a record seen again replaces its earlier copy."""

    def __init__(self):
        self.motions = {}  # the first reading (time, TimeTag) -> [host time the motion started, record]

    def collect(self, driver, started):
        record = driver.last_motion_feedback
        if len(record) == 0:
            return
        key = (record.times[0], record.time_tags[0])
        if key in self.motions:
            self.motions[key][1] = record
        else:
            self.motions[key] = [started, record]

    def series(self):
        """Times, measured and commanded joint vectors and deviations of every
        reading, oldest first; a row of NaN between motions, so that the lines
        do not bridge the time without readings."""
        times, measured, commanded, deviations = [], [], [], []
        motions = sorted(self.motions.values(), key=lambda motion: motion[0])
        if not motions:
            return times, measured, commanded, deviations
        origin = motions[0][0]
        for started, record in motions:
            if times:
                gap = [math.nan] * len(record.measured[0])
                times.append(times[-1])
                measured.append(gap)
                commanded.append(gap)
                deviations.append(math.nan)
            times.extend(started - origin + t for t in record.times)
            measured.extend(record.measured)
            commanded.extend(record.commanded)
            deviations.extend(record.deviations)
        return times, measured, commanded, deviations

    def largest_deviation(self):
        return max((record.max_deviation for _, record in self.motions.values()), default=None)


class Report:
    def __init__(self, live, feedback=None):
        self.rows = []
        self.live = live
        self.feedback = feedback

    def add(self, operation, outcome, seconds, ok=True):
        self.rows.append((operation, outcome, seconds, ok))

    def call(self, operation, function, describe=None, ok=None):
        """Times a quick, non-motion call and records its outcome."""
        start = time.monotonic()
        value = function()
        seconds = time.monotonic() - start
        good = ok(value) if ok else value is not False and value != fanuc.Result.Error
        self.add(operation, describe(value) if describe else short(value), seconds, good)
        print(f"  {operation:<40} {self.rows[-1][1]}")
        return value

    def follow(self, operation, future, driver, during=None, expect=fanuc.Result.Success):
        """Waits for a motion's future, showing one live line, and records its result.

        `during(elapsed)` is called at every refresh, for what the demo does in
        the middle of a motion (change the speed, pause, stop, ...)."""
        start = time.monotonic()
        shown = -1.0
        while True:
            try:
                future.__next__()  # the await protocol's poll: None while the motion runs
            except StopIteration as done:
                result = done.value
                break
            elapsed = time.monotonic() - start
            if during:
                during(elapsed)
            if self.live and elapsed >= shown + 0.1:
                shown = elapsed
                joints = driver.current_joint_position
                state = "paused" if driver.is_paused else ("moving" if driver.is_running else "waiting")
                sys.stdout.write(
                    f"\r  {operation:<40} {spinner(elapsed)} {elapsed:5.1f} s  {state:<7} speed {driver.speed:4.2f}"
                    f"  J1 {math.degrees(joints[0]):7.2f}°  J2 {math.degrees(joints[1]):7.2f}°\033[K"
                )
                sys.stdout.flush()
            time.sleep(0.02)
        seconds = time.monotonic() - start
        if self.feedback is not None:
            self.feedback.collect(driver, start)
        self.add(operation, short(result), seconds, result == expect)
        line = f"  {operation:<40} {short(result):<38} {seconds:6.2f} s"
        print(f"\r{line}\033[K" if self.live else line)
        if result != expect and result not in (fanuc.Result.Success, fanuc.Result.ErrorTrajectoryAborted):
            # A failed motion leaves the driver disabled (last_error says why); a
            # program that goes on enables it again (a no-op when still enabled).
            print(f"  {'':<40} {driver.last_error}")
            self.call("enable again after the failure", driver.enable, ok=lambda r: r == fanuc.Result.Success)
        return result

    def table(self):
        width = max(len(row[0]) for row in self.rows)
        result_width = max(len(row[1]) for row in self.rows)
        print()
        print(f"  {'operation':<{width}}  {'result':<{result_width}}  {'time':>8}")
        print(f"  {'-' * width}  {'-' * result_width}  {'-' * 8}")
        for operation, outcome, seconds, ok in self.rows:
            mark = "" if ok else "  <- unexpected"
            print(f"  {operation:<{width}}  {outcome:<{result_width}}  {seconds:7.2f}s{mark}")


def spinner(elapsed):
    return "|/-\\"[int(elapsed * 10) % 4]


def short(value):
    if isinstance(value, (fanuc.Result, fanuc.ControllerStatus)):
        return repr(value).split(":")[0]  # "Result.Success (1)"
    return str(value)


# --- the program ---------------------------------------------------------------------------------


def plan(planner, arm, start, goal):
    return planner.plan(orvane.Motion(robot=arm), start=start, goal=goal)


def drive(driver, planner, arm, report, full_override=100):
    """`full_override`: the controller's speed override in percent for the motions (lower on a real robot)."""
    Result = fanuc.Result
    half_override = max(full_override // 2, 1)

    print("Enabling and reading the controller")
    report.call("enable", driver.enable, ok=lambda r: r == Result.Success)
    if driver.motion_interface == "stream_motion":
        # The controller refuses commands beyond its tables: plans keep within them.
        report.call("plan within the controller's limits", lambda: planner.set_limit_table(driver.stream_motion_limits, arm),
                    describe=lambda _: f"period {driver.stream_motion_period * 1000:.0f} ms")  # fmt: skip
    report.call("controller status", lambda: driver.controller_status,
                ok=lambda s: s == fanuc.ControllerStatus.ReadyToMove)  # fmt: skip
    report.call(f"speed override {full_override} %", lambda: driver.set_speed_override(full_override))

    print("\nMoving")
    report.follow("move_to home (joint goal)", driver.move_to_async(HOME), driver)
    report.follow("move_to joint goal A", driver.move_to_async(POSE_A), driver)

    x, y, z, a, b, c = arm.calculate_tcp(POSE_A).to_euler()
    cartesian = orvane.CartesianWaypoint(orvane.Frame.from_euler(x - 0.05, y - 0.15, z + 0.05, a, b, c))
    report.follow("move_to Cartesian goal (-15 cm in y)", driver.move_to_async(cartesian), driver)

    here = driver.current_joint_position
    report.follow("run a planned trajectory to B", driver.run_async(plan(planner, arm, here, POSE_B)), driver)

    # Blend: start towards C, then join a trajectory towards D on the way.
    to_c = plan(planner, arm, POSE_B, POSE_C)
    to_d = plan(planner, arm, POSE_C, POSE_D)
    blended = {}

    def blend_midway(elapsed):
        if not blended and elapsed > 0.4 * to_c.duration:
            blended["future"] = driver.blend_into_async(to_d, 0.5)

    # The replaced run ends as aborted; the blend carries the motion on.
    report.follow("run towards C, replaced by a blend", driver.run_async(to_c), driver, during=blend_midway,
                  expect=Result.ErrorTrajectoryAborted)  # fmt: skip
    if blended:
        report.follow("blend_into the trajectory towards D", blended["future"], driver)

    # An event: a Python function called by the driver at a point of the motion.
    here = driver.current_joint_position
    to_a = plan(planner, arm, here, POSE_A)
    fired = []
    halfway, last_tenth = 0.5 * to_a.duration, 0.1 * to_a.duration
    driver.add_event(fanuc.Trigger.Time() > halfway, lambda t: fired.append((f"time > {halfway:.2f} s", t)))
    driver.add_event(fanuc.Trigger.TimeToGoal() < last_tenth,
                     lambda t: fired.append((f"time to goal < {last_tenth:.2f} s", t)))  # fmt: skip
    report.follow("run to A with two events", driver.run_async(to_a), driver)
    for name, t in fired:
        report.add(f"event '{name}' fired", f"at t = {t:.3f} s", 0.0)
        print(f"  {'event ' + repr(name) + ' fired':<40} at t = {t:.3f} s")
    if len(fired) != 2:
        report.add("events", f"{len(fired)} of 2 fired", 0.0, ok=False)

    # Speed: slow down to 40 % during the motion, then back to full speed.
    to_left = plan(planner, arm, POSE_A, LEFT)
    changes = []

    def change_speed(elapsed):
        if not changes and elapsed > 0.15 * to_left.duration:
            driver.set_speed(0.4, 0.2)
            changes.append(elapsed)
        elif len(changes) == 1 and elapsed > changes[0] + 1.0:
            driver.set_speed(1.0, 0.2)
            changes.append(elapsed)

    report.follow("run to the left, speed 1 -> 0.4 -> 1", driver.run_async(to_left), driver, during=change_speed)
    driver.set_speed(1.0, 0.2)  # at once when the motion ended before the second change

    # Pause along the trajectory, stay, resume it.
    to_right = plan(planner, arm, LEFT, RIGHT)
    driver.pausing_duration = 0.3
    pause_state = {}

    def pause_early(elapsed):
        if "paused" not in pause_state and elapsed > 0.2 * to_right.duration:
            pause_state["paused"] = driver.pause_async()

    # A pause that brings the speed to 0 ends the run (aborted); resume plays the rest.
    report.follow("sweep to the right, ended by a pause", driver.run_async(to_right), driver, during=pause_early,
                  expect=Result.ErrorTrajectoryAborted)  # fmt: skip
    if "paused" in pause_state:
        report.follow("pause (ramp to speed 0)", pause_state["paused"], driver, expect=True)
        held = driver.current_joint_position
        time.sleep(1.0)
        drift = max(abs(a - b) for a, b in zip(held, driver.current_joint_position))
        still = drift < 1e-3  # rad: a real controller's reading may wobble a little
        report.add("stay paused for 1 s", "still" if still else f"MOVED {math.degrees(drift):.2f}°", 1.0, still)
        report.follow("resume the paused sweep", driver.resume_async(), driver)

    print("\nDigital I/O through aliases")
    driver.create_io_alias("part_present", PART_SENSOR)
    driver.create_io_alias("gripper", GRIPPER)
    report.call(f"read part_present (DI {PART_SENSOR})", lambda: driver.get_digital_input("part_present"),
                ok=lambda v: v is not None)  # fmt: skip
    report.call(f"close gripper (DO {GRIPPER} = 1)", lambda: driver.set_digital_output("gripper", 1))
    report.call(f"open gripper (DO {GRIPPER} = 0)", lambda: driver.set_digital_output("gripper", 0))
    report.call(f"speed override {half_override} %", lambda: driver.set_speed_override(half_override))

    print("\nStopping a motion")
    here = driver.current_joint_position
    sweep = plan(planner, arm, here, LEFT)
    stopped = {}

    def stop_midway(elapsed):
        if not stopped and elapsed > 0.4 * sweep.duration:
            stopped["future"] = driver.stop_async()

    report.follow("sweep to the left, stopped midway", driver.run_async(sweep), driver, during=stop_midway,
                  expect=Result.ErrorTrajectoryAborted)  # fmt: skip
    if stopped:
        report.follow("stop", stopped["future"], driver)
    report.call(f"speed override {full_override} %", lambda: driver.set_speed_override(full_override))
    report.follow("move_to home", driver.move_to_async(HOME), driver)
    report.call("disable", driver.disable, ok=lambda r: r == Result.Success)


# --- the picture --------------------------------------------------------------------------------------


def draw(feedback, threshold, picture, robot):
    """The measured joint paths against the commanded ones and the deviation
    against `threshold` (rad), from the driver's records; returns the largest
    deviation in degrees, or None when nothing was read."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    times, measured, commanded, deviations = feedback.series()
    if not times:
        print("the driver read no joint positions during the motions: no picture")
        return None
    times = np.asarray(times)
    measured, commanded = np.degrees(np.asarray(measured)), np.degrees(np.asarray(commanded))
    deviations = np.degrees(np.asarray(deviations))
    largest = math.degrees(feedback.largest_deviation())

    figure = plt.figure(figsize=(14, 12))
    grid = figure.add_gridspec(4, 2, height_ratios=[1, 1, 1, 0.9])
    first = None
    for j in range(6):
        axis = figure.add_subplot(grid[j // 2, j % 2], sharex=first)
        first = first or axis
        axis.plot(times, measured[:, j], color="tab:blue", linewidth=1.6, label="measured")
        axis.plot(times, commanded[:, j], color="tab:orange", linewidth=1.0, linestyle="--", label="commanded")
        axis.set_title(f"J{j + 1}", loc="left")
        axis.set_ylabel("degrees")
        axis.grid(alpha=0.3)
        if j == 0:
            axis.legend(loc="best")
    axis = figure.add_subplot(grid[3, :], sharex=first)
    axis.plot(times, deviations, color="tab:green", linewidth=1.2, label="deviation (largest over the joints)")
    axis.axhline(math.degrees(threshold), color="tab:red", linewidth=1.2, linestyle=":", label="threshold")
    axis.set_ylim(bottom=0.0)
    axis.set_ylabel("degrees")
    axis.set_xlabel("time since the first motion started [s]")
    axis.grid(alpha=0.3)
    axis.legend(loc="upper right")
    figure.suptitle(
        f"{robot}: measured against commanded joint paths, as the driver read them during the motions\n"
        f"{len(feedback.motions)} motions, {np.count_nonzero(~np.isnan(deviations))} readings, largest deviation "
        f"{largest:.2f}° (threshold {math.degrees(threshold):.2f}°); commanded: the nearest commanded value within "
        "the driver's window"
    )
    figure.tight_layout()
    figure.savefig(picture, dpi=110)
    plt.close(figure)
    return largest


# --- main ----------------------------------------------------------------------------------------------


def confirm(host):
    print(f"This drives the REAL robot at {host}: it will move to several poses near its zero position,")
    print("at the speed override given with --override. Keep the area clear and the E-stop at hand.")
    if not sys.stdin.isatty():
        print("No terminal to confirm on: not moving.", file=sys.stderr)
        return False
    return input(f"Type 'yes' to move the robot at {host}: ").strip() == "yes"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", help="drive the real controller at this address (asks for confirmation)")
    parser.add_argument("--override", type=int, default=10, help="speed override in %% on a real controller")
    parser.add_argument("--simulator", type=pathlib.Path, default=None,
                        help="the simulator executable (default: the build tree's, else fanuc-rmi-sim on PATH)")  # fmt: skip
    parser.add_argument("--output", type=pathlib.Path, default=ROOT / "out" / "demo",
                        help="folder for the simulator's record and the picture")  # fmt: skip
    parser.add_argument("--stream-motion", action="store_true",
                        help="move the arm over Stream Motion (controller options J519 and R912 or S636)")  # fmt: skip
    args = parser.parse_args()

    simulator = None
    if args.host:
        if not confirm(args.host):
            return 1
        host = args.host
        args.output.mkdir(parents=True, exist_ok=True)
    else:
        args.output.mkdir(parents=True, exist_ok=True)
        prefix = args.output / "record"
        binary = args.simulator or find_simulator()
        if binary is None:
            print("No simulator found: build the project (scripts/setup) or install the wheel, "
                  "which brings the command fanuc-rmi-sim.", file=sys.stderr)  # fmt: skip
            return 1
        simulator = Simulator(binary, prefix)
        host = simulator.address
        print(f"Started the bundled controller simulator on {host}")

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    feedback = FeedbackLog()
    report = Report(live=sys.stdout.isatty(), feedback=feedback)
    driver = None
    threshold = None
    status = 0
    try:
        driver = report.call("connect (FanucDriver)", lambda: fanuc.FanucDriver(planner, host, stream_motion=args.stream_motion),
                             describe=lambda d: f"connected to {d.host}, moving over {d.motion_interface}")  # fmt: skip
        threshold = driver.path_deviation_error_threshold
        drive(driver, planner, arm, report, full_override=args.override if args.host else 100)
    except KeyboardInterrupt:
        print("\nInterrupted: stopping the robot")
        status = 130
    except Exception as error:  # the table and the picture are still worth having
        print(f"\nFailed: {error!r}", file=sys.stderr)
        status = 1
    finally:
        if driver is not None and driver.is_running:
            driver.stop()
        if driver is not None and driver.motion_interface == "stream_motion":
            # A host too busy to keep the controller's period ends its motions.
            print(f"Late cycles of this host: {driver.late_cycles}")
        del driver
        if simulator is not None:
            simulator.stop()

    if report.rows:
        report.table()
    if threshold is not None:
        picture = args.output / "joint_paths.png"
        robot = "FANUC LR Mate 200iD " + ("at " + host if simulator is None else "on the bundled simulator")
        deviation = draw(feedback, threshold, picture, robot)
        if deviation is not None:
            print(f"\nMeasured against commanded joint paths: {picture} (largest deviation {deviation:.2f}°)")
    if simulator is not None:
        print(f"Simulator record: {prefix}_path.csv, {prefix}_received.csv")
    failed = [row[0] for row in report.rows if not row[3]]
    if failed and status == 0:
        print(f"\n{len(failed)} operation(s) did not succeed: {', '.join(failed)}")
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
