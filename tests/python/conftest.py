"""Fixtures of the driver module's tests: the bundled controller simulator on
a loopback address of its own, and drivers connected to it.

The build folder comes from ORVANE_BUILD_DIR (scripts/test sets it), else
<repository>/build; its python/ folder must be on PYTHONPATH.
"""

import os
import pathlib
import random
import signal
import subprocess
import threading
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = pathlib.Path(os.environ.get("ORVANE_BUILD_DIR", ROOT / "build"))
if not BUILD_DIR.is_absolute():
    BUILD_DIR = ROOT / BUILD_DIR
SIMULATOR = BUILD_DIR / "sim" / "fanuc-rmi-sim"
DEADLINE = 30.0  # seconds; generous, the machine is small and shared


class Simulator:
    """One fanuc-rmi-sim process, driven through its console."""

    def __init__(self, *options, record_prefix=None, binary=SIMULATOR):
        self.lines = []
        self.changed = threading.Condition()
        for _ in range(20):
            # Control port 16001 is fixed: each simulator takes an address of its own.
            self.address = f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"
            # Aborts answer at once (the simulator's default is a realistic 1.5 s); options may say otherwise.
            command = [str(binary), "--address", self.address, "--data-port", "0", "--console",
                       "--abort-duration", "0", *options]
            if record_prefix is not None:
                command += ["--record-csv", str(record_prefix)]
            self.process = subprocess.Popen(
                command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
            )
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()
            if self._wait(lambda: any("listening on" in line for line in self.lines) or self.process.poll() is not None):
                if self.process.poll() is None:
                    return
            self.process.kill()
            self.process.wait()
            self.lines = []
        raise RuntimeError("the simulator did not start: " + " | ".join(self.lines))

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def _wait(self, predicate, timeout=DEADLINE):
        with self.changed:
            return self.changed.wait_for(predicate, timeout=timeout)

    def console(self, command, answer="ok", refused=False):
        """Sends a console command; returns the first new line that starts with
        `answer`, or with "error" when the command must be `refused`."""
        with self.changed:
            seen = len(self.lines)
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        found = []

        def answered():
            found[:] = [line for line in self.lines[seen:] if line.startswith(answer) or line.startswith("error")]
            return bool(found)

        assert self._wait(answered), f"no answer to {command!r}"
        assert found[0].startswith("error") == refused, found[0]
        return found[0]

    def status(self):
        """The controller's state: flags and numbers as ints, joints as a list of degrees."""
        fields = dict(item.split("=", 1) for item in self.console("status", "client=").split())
        joints = [float(value) for value in fields.pop("joints").split(",")]
        return {**{key: int(value) for key, value in fields.items()}, "joints": joints}

    def stop(self):
        """Ends the process (writing its records, if asked to); returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.reader.join(timeout=DEADLINE)
        return code


def pytest_collection_modifyitems(items):
    """The slowest test (it builds and installs the wheel) first, so that the
    parallel workers share out the rest while it runs instead of after."""
    items.sort(key=lambda item: item.path.name != "test_wheel.py")


def wait_until(predicate, timeout=DEADLINE, interval=0.02):
    """Polls `predicate` until it holds; False when the deadline passes first."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


@pytest.fixture
def simulator():
    if not SIMULATOR.exists():
        pytest.fail(f"{SIMULATOR} is missing: build the project (scripts/setup) or set ORVANE_BUILD_DIR")
    sim = Simulator()
    yield sim
    sim.stop()


@pytest.fixture
def arm():
    import orvane

    return orvane.robots.fanuc_lrmate200id()


@pytest.fixture
def planner(arm):
    import orvane

    return orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)


@pytest.fixture
def driver(simulator, planner):
    """A FanucDriver connected to the simulator, not enabled."""
    import orvane_driver_fanuc as fanuc

    driver = fanuc.FanucDriver(planner, simulator.address)
    yield driver
    # Leave nothing streaming into the next test's teardown.
    if driver.is_running:
        driver.stop()


@pytest.fixture
def enabled(driver):
    import orvane_driver_fanuc as fanuc

    assert driver.enable() == fanuc.Result.Success
    return driver


def long_trajectory(start, goal, duration=6.0, dt=0.024):
    """A rest-to-rest quintic move from `start` to `goal` taking `duration`
    seconds: slower than the planner's, so that there is time to act on it
    while it runs."""
    import numpy as np

    import orvane

    start, goal = np.asarray(start, dtype=float), np.asarray(goal, dtype=float)
    t = np.arange(0.0, duration + dt / 2, dt)
    s = t / duration
    shape = 10 * s**3 - 15 * s**4 + 6 * s**5
    dshape = (30 * s**2 - 60 * s**3 + 30 * s**4) / duration
    ddshape = (60 * s - 180 * s**2 + 120 * s**3) / duration**2
    delta = goal - start
    return orvane.Trajectory(t, start + np.outer(shape, delta), np.outer(dshape, delta), np.outer(ddshape, delta))
