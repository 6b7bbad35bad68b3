"""The example programs and the demo, each run as a user would run it,
against the bundled simulator."""

import csv
import importlib.util
import json
import math
import os
import subprocess
import sys

import orvane
import pytest

from conftest import DEADLINE, ROOT, SIMULATOR, Simulator, wait_until

EXAMPLES = ROOT / "examples"


def run(script, *arguments, timeout=DEADLINE * 4):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *arguments], capture_output=True, text=True,
                            timeout=timeout, env=os.environ.copy())  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.fixture
def part_present():
    """A simulator whose part sensor (digital input 7) reports a part."""
    sim = Simulator("--din", "7=1")
    yield sim
    sim.stop()


def test_connect_and_status(simulator):
    out = run("connect_and_status.py", "--host", simulator.address)
    assert f"connected to {simulator.address}: True" in out
    assert "enable: Result.Success" in out
    assert "status after enabling: ControllerStatus.ReadyToMove" in out
    assert "joint position [deg]: 0.00, 0.00, 0.00, 0.00, 0.00, 0.00" in out


def test_stream_from_arrays_swings_out_and_back(simulator):
    out = run("stream_from_arrays.py", "--host", simulator.address, "--duration", "1.5")
    assert "run: Result.Success" in out
    error = float(out.split("back at the start within ")[1].split()[0])
    assert error < 1e-3
    assert simulator.status()["queued"] == 0


def test_pick_and_place_with_io(part_present):
    out = run("pick_and_place_io.py", "--host", part_present.address)
    assert "part present: 1" in out
    for step in ["move above the part", "move down to the part", "close gripper", "lift", "release", "home"]:
        assert f"{step}: Result.Success" in out
    # Ends at home.
    joints = part_present.status()["joints"]
    assert joints[:4] == pytest.approx([0.0] * 4, abs=0.01)


def test_pick_and_place_refuses_without_a_part(simulator):
    result = subprocess.run([sys.executable, str(EXAMPLES / "pick_and_place_io.py"), "--host", simulator.address],
                            capture_output=True, text=True, timeout=DEADLINE * 2)  # fmt: skip
    assert result.returncode == 1
    assert "no part to pick" in result.stderr
    assert simulator.status()["joints"] == pytest.approx([0.0] * 9)  # nothing moved


def test_asyncio_motion(simulator):
    out = run("asyncio_motion.py", "--host", simulator.address)
    assert "run_async: Result.Success" in out
    assert out.count("move_to_async") == 2 and "move_to_async [0, 0, 0, 0, -29, 0]: Result.Success" in out
    ticks = int(out.split("the progress task ran ")[1].split()[0])
    assert ticks >= 1  # it ran while the robot moved


def test_demo_drives_the_simulator_and_draws_the_paths(tmp_path):
    out = run("demo.py", "--simulator", str(SIMULATOR), "--output", str(tmp_path), timeout=DEADLINE * 10)
    assert "<- unexpected" not in out and "did not succeed" not in out, out
    table = out[out.index("  operation"):]
    for operation in ["enable", "move_to Cartesian goal", "blend_into", "speed 1 -> 0.4 -> 1", "pause", "resume",
                      "event", "read part_present", "close gripper", "speed override 50 %", "stop", "disable"]:  # fmt: skip
        assert operation in table, operation
    picture = tmp_path / "joint_paths.png"
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with open(tmp_path / "record_path.csv", newline="") as file:
        assert sum(1 for _ in csv.DictReader(file)) > 100
    deviation = float(out.split("largest deviation ")[-1].split("°")[0])
    assert deviation < 10.0  # planned and executed lie on top of each other


def test_stream_motion_session_moves_over_stream_motion_and_comes_back(simulator):
    # A host that stalls past the controller's period ends the example's motion
    # (it says so, with its count of late cycles): that says nothing of the
    # driver, so the example runs again; only if every attempt fell behind is
    # nothing learnt. Any other failure fails at once.
    def fell_behind(result):
        err = result.stderr
        return result.returncode != 0 and "late cycles" in err and "late cycles of this host: 0)" not in err

    attempts = []
    for _ in range(4):
        result = subprocess.run([sys.executable, str(EXAMPLES / "stream_motion_session.py"), "--host", simulator.address],
                                capture_output=True, text=True, timeout=DEADLINE * 4)  # fmt: skip
        if not fell_behind(result):
            break
        attempts.append(result.stderr.strip())
    else:
        pytest.skip("this host fell behind the controller's period in every attempt: " + " | ".join(attempts))
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "moving the arm over: stream_motion" in out
    assert "controller period: 8 ms" in out
    assert "move_to goal: Result.Success" in out
    assert "paused on the way: True" in out and "resume to the start: Result.Success" in out
    assert "disable: Result.Success" in out
    back = float(out.split("back at the start within ")[1].split()[0])
    assert back < 1e-3
    statuses = int(out.split("statuses recorded in the last motion: ")[1].split(",")[0])
    assert statuses > 10  # a status every period, not a reading every 40 ms


def test_demo_over_stream_motion_runs_the_same_program(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--simulator", str(SIMULATOR), "--output",
                             str(tmp_path), "--stream-motion"], capture_output=True, text=True, timeout=DEADLINE * 10)  # fmt: skip
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    assert "<- unexpected" not in out and "did not succeed" not in out, out
    assert "moving over stream_motion" in out
    table = out[out.index("  operation"):]
    for operation in ["enable", "plan within the controller's limits", "blend_into", "speed 1 -> 0.4 -> 1", "pause",
                      "resume", "event", "stop", "disable"]:  # fmt: skip
        assert operation in table, operation
    assert (tmp_path / "joint_paths.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_starts_the_build_trees_simulator_else_the_installed_command(tmp_path, monkeypatch, capsys):
    spec = importlib.util.spec_from_file_location("demo", EXAMPLES / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)

    def executable(path):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("#!/bin/sh\n")
        path.chmod(0o755)
        return path

    build, bin_dir = tmp_path / "build", tmp_path / "bin"
    monkeypatch.setenv("ORVANE_BUILD_DIR", str(build))
    monkeypatch.setenv("PATH", str(bin_dir))
    assert demo.find_simulator() is None
    installed = executable(bin_dir / "fanuc-rmi-sim")
    assert demo.find_simulator() == installed
    built = executable(build / "sim" / "fanuc-rmi-sim")
    assert demo.find_simulator() == built

    # Neither: a sentence saying what to do, and nothing started.
    monkeypatch.setenv("ORVANE_BUILD_DIR", str(tmp_path / "no-build"))
    monkeypatch.setenv("PATH", str(tmp_path / "no-bin"))
    monkeypatch.setattr(sys, "argv", ["demo.py", "--output", str(tmp_path / "out")])
    assert demo.main() == 1
    assert "No simulator found" in capsys.readouterr().err


def test_demo_asks_before_driving_a_real_controller():
    result = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--host", "127.0.0.1"], input="",
                            capture_output=True, text=True, timeout=DEADLINE)  # fmt: skip
    assert result.returncode == 1
    assert "REAL robot" in result.stdout and "not moving" in result.stderr


# --- the README's commands -------------------------------------------------------------------------

README_BLOCK_START = "<!-- examples: the tests run these commands as written -->"


def readme_commands():
    """The command lines of the README's example block (comments stripped)."""
    text = (ROOT / "README.md").read_text()
    block = text[text.index(README_BLOCK_START):].split("```bash\n", 1)[1].split("```", 1)[0]
    commands = [line.split("#", 1)[0].strip() for line in block.splitlines()]
    return [command for command in commands if command]


def test_the_readme_commands_run_each_example_as_written(tmp_path):
    # As written, except the loopback address: each test takes one of its own
    # (the simulator and the examples otherwise both default to 127.0.0.1).
    commands = readme_commands()
    assert commands[0].startswith("pip install")  # what a pip user runs first; the tests use the build
    simulator_line = commands[1].split()
    assert simulator_line[0] == "fanuc-rmi-sim" and simulator_line[-1] == "&", commands[1]
    examples = commands[2:]
    assert sorted(line.split()[1] for line in examples) == sorted(
        f"examples/{path.name}" for path in EXAMPLES.glob("*.py") if path.name != "demo.py"
    ), "every Python example has its command"
    sim = Simulator(*simulator_line[1:-1])
    try:
        for command in examples:
            words = command.split()
            assert words[0] == "python", command
            result = subprocess.run([sys.executable, *words[1:], "--host", sim.address], cwd=ROOT,
                                    capture_output=True, text=True, timeout=DEADLINE * 4)  # fmt: skip
            assert result.returncode == 0, command + "\n" + result.stdout + result.stderr
            assert "Result.Success" in result.stdout, command + "\n" + result.stdout
    finally:
        sim.stop()


def pose_numbers(line):
    """x y z in mm and w p r in degrees from a line the example prints."""
    fields = line.split(": ", 1)[1].split()
    return [float(field.split("=")[1]) for field in fields[:12:2]]


def test_registers_and_frames_hands_a_job_to_the_program_and_reads_the_pose():
    sim = Simulator("--verbose")
    try:
        example = subprocess.Popen([sys.executable, str(EXAMPLES / "registers_and_frames.py"), "--host", sim.address,
                                    "--job", "42"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)  # fmt: skip

        def sent(command, **members):
            """Whether the simulator received `command` with these members."""
            for line in list(sim.lines):
                if command not in line or "{" not in line:
                    continue
                packet = json.loads(line[line.index("{"):])
                if packet.get("Command") == command and all(packet.get(k) == v for k, v in members.items()):
                    return True
            return False

        # The program's part: it waits for the request, reads the job and reports done.
        assert wait_until(lambda: sent("FRC_WriteIOPort", PortType="FLAG", PortNumber=1, PortValue=1))
        assert sent("FRC_WriteRegister", RegisterNumber=5, RegisterValue=42)
        sim.console("port FLAG 2 1")
        out, err = example.communicate(timeout=DEADLINE * 4)
        assert example.returncode == 0, out + err
        assert "job 42 done" in out and "move: Result.Success" in out
        assert sent("FRC_WriteIOPort", PortType="FLAG", PortNumber=1, PortValue=0)  # the request is withdrawn

        # The pose is the arm's forward kinematics of the joints it moved to, in
        # the controller's world frame: 330 mm above the LR Mate 200iD's base.
        measured = pose_numbers(next(line for line in out.splitlines() if line.startswith("tool centre point after")))
        spec = importlib.util.spec_from_file_location("registers_and_frames", EXAMPLES / "registers_and_frames.py")
        example_module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(example_module)
        x, y, z, w, p, r = orvane.robots.fanuc_lrmate200id().calculate_tcp(example_module.LOOK_POSE).to_euler()
        assert measured[:3] == pytest.approx([x * 1000, y * 1000, z * 1000 - 330.0], abs=0.1)  # mm
        assert measured[3:] == pytest.approx([math.degrees(a) for a in (w, p, r)], abs=0.01)  # degrees
    finally:
        sim.stop()


def test_registers_and_frames_gives_up_when_no_program_answers(simulator):
    result = subprocess.run([sys.executable, str(EXAMPLES / "registers_and_frames.py"), "--host", simulator.address,
                             "--timeout", "1"], capture_output=True, text=True, timeout=DEADLINE * 2)  # fmt: skip
    assert result.returncode == 1
    assert "no program answered within 1 s" in result.stderr


def test_controller_motions_pick_and_place(simulator):
    out = run("controller_motions.py", "--host", simulator.address)
    for step in ["approach the part", "lift", "through the via point", "lower the part", "retreat", "back home"]:
        assert f"{step}: Result.Success" in out
    assert simulator.status()["queued"] == 0
