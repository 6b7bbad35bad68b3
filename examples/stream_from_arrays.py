#!/usr/bin/env python3
"""Stream a trajectory computed with numpy: a smooth swing of joints 1 and 4.

The trajectory must start where the robot is and stay within the joint limits;
it is sampled at the driver's control interval.

    python examples/stream_from_arrays.py --host 192.168.1.10
"""

import argparse
import sys

import numpy as np
from numpy.typing import NDArray

import orvane
import orvane_driver_fanuc as fanuc


Array = NDArray[np.float64]


def swing(start: Array, amplitude: Array, duration: float, dt: float) -> tuple[Array, Array, Array, Array]:
    """Out and back along a quintic-smoothed cosine: rest to rest, no jumps in acceleration."""
    t = np.arange(0.0, duration + dt / 2, dt)
    s = t / duration
    phase = 2 * np.pi * (10 * s**3 - 15 * s**4 + 6 * s**5)  # 0 .. 2 pi, smooth at both ends
    dphase = 2 * np.pi * (30 * s**2 - 60 * s**3 + 30 * s**4) / duration
    ddphase = 2 * np.pi * (60 * s - 180 * s**2 + 120 * s**3) / duration**2
    shape = (1 - np.cos(phase)) / 2
    dshape = np.sin(phase) * dphase / 2
    ddshape = (np.cos(phase) * dphase**2 + np.sin(phase) * ddphase) / 2
    positions = start + np.outer(shape, amplitude)
    velocities = np.outer(dshape, amplitude)
    accelerations = np.outer(ddshape, amplitude)
    return t, positions, velocities, accelerations


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n", 1)[0])
    parser.add_argument("--host", default="127.0.0.1", help="address of the robot controller")
    parser.add_argument("--duration", type=float, default=3.0, help="seconds for the swing out and back")
    args = parser.parse_args()

    arm = orvane.robots.fanuc_lrmate200id()
    planner = orvane.Planner(arm, 1.0 / orvane.robots.fanuc_control_rate)
    driver = fanuc.FanucDriver(planner, args.host)
    if driver.enable() != fanuc.Result.Success:
        print("could not enable the controller", file=sys.stderr)
        return 1

    start = np.array(driver.current_joint_position)
    amplitude = np.array([0.4, 0.0, 0.0, 0.6, 0.0, 0.0])  # rad
    times, positions, velocities, accelerations = swing(start, amplitude, args.duration, driver.delta_time)

    # numpy arrays go straight into the motion library's types.
    trajectory = orvane.Trajectory(times, positions, velocities, accelerations)
    print(f"streaming {len(trajectory)} samples over {trajectory.duration:.2f} s")
    result = driver.run(trajectory)
    print(f"run: {result!r}")

    end = np.array(driver.current_joint_position)
    print(f"back at the start within {np.max(np.abs(end - start)):.4f} rad")
    return 0 if result == fanuc.Result.Success else 1


if __name__ == "__main__":
    sys.exit(main())
