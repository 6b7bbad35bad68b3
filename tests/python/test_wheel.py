"""What a pip user gets: the wheel built from this tree, installed into a
fresh venv. Type checkers find the stubs (mypy --strict on a typed example,
stubtest against the installed modules), each shared library is there once,
and the simulator is a command. Slow (it builds the wheel): one test."""

import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap
import venv
import zipfile

from conftest import ROOT

ALLOWLIST = ROOT / "tests" / "python" / "stubtest_allowlist.txt"


def run(*command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, **options)
    assert result.returncode == 0, " ".join(map(str, command)) + "\n" + result.stdout + result.stderr
    return result.stdout


def test_the_installed_wheel_is_typed_complete_and_runnable(tmp_path):
    # The build backend comes from the project venv (no download): the same
    # pinned versions pyproject.toml asks for.
    run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation", "-w", tmp_path / "dist",
        timeout=3600, cwd=ROOT)  # fmt: skip
    (wheel,) = (tmp_path / "dist").glob("orvane_driver_fanuc-*.whl")

    names = zipfile.ZipFile(wheel).namelist()
    libraries = sorted(name for name in names if name.startswith("lib") and ".so" in name)
    assert libraries == ["liborvane-fanuc-driver.so.1", "liborvane-motion.so.1"], libraries
    assert {"orvane-stubs/__init__.pyi", "orvane-stubs/robots.pyi", "orvane_driver_fanuc-stubs/__init__.pyi"} <= set(names)
    assert not any(name.endswith(".pyi") and "/" not in name for name in names), "stubs where checkers do not look"
    assert any(name.endswith(".data/scripts/fanuc-rmi-sim") for name in names), names

    fresh = tmp_path / "venv"
    venv.create(fresh, with_pip=False)
    python = fresh / "bin" / "python"
    site = pathlib.Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip())
    # pip and mypy come from the project venv (appended to the fresh one's
    # path, after its own site-packages, so the wheel's modules win).
    (site / "dev_tools.pth").write_text(sysconfig.get_paths()["purelib"] + "\n")
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", wheel)
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "MYPYPATH")}

    # The modules load from site-packages, each library found beside them.
    out = run(python, "-c", "import orvane_driver_fanuc as f; print(f.__version__, f.__file__)", env=env, cwd=tmp_path)
    assert out.startswith("1.1.9 " + str(site))
    assert "listening" in run(fresh / "bin" / "fanuc-rmi-sim", "--help", env=env)

    typed_user = tmp_path / "typed_user.py"
    typed_user.write_text(textwrap.dedent(
        """
        import numpy as np
        import orvane
        import orvane_driver_fanuc as fanuc

        def move(host: str) -> str:
            planner = orvane.Planner(orvane.robots.fanuc_lrmate200id(), 0.024)
            with fanuc.FanucDriver(planner, host) as driver:
                future: fanuc.FutureResult = driver.move_to_async([0.1] * 6)
                result: fanuc.Result = future.get(timeout=10.0)
                driver.move_to(np.array([0.1] * 6))
                pose = driver.current_cartesian_position
                if pose is not None:
                    driver.move_to(pose)
                driver.set_payload(schedule=2)
                fanuc.set_log_level("Warn")
                return f"{result.code} {driver.last_error} {future.done()}"
        """
    ))  # fmt: skip
    scripts = (typed_user, ROOT / "examples" / "asyncio_motion.py", ROOT / "examples" / "stream_from_arrays.py")
    for script in scripts:
        run(python, "-m", "mypy", "--strict", "--no-incremental", script, env=env, cwd=tmp_path)
    # pyright asks the fresh venv's interpreter where the packages are.
    run(python, "-m", "pyright", "--pythonpath", python, *scripts, env=env, cwd=tmp_path)
    run(python, "-m", "mypy.stubtest", "orvane", "orvane_driver_fanuc", "--allowlist", ALLOWLIST, env=env,
        cwd=tmp_path)  # fmt: skip
