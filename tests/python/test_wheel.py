"""What a pip user gets: scripts/wheel's sdist and manylinux wheel, the wheel
installed into a fresh venv outside the source tree. The sdist holds sources
only; the wheel's libraries lie in a package folder and every binary finds
what it loads without a path into site-packages; the installed simulator runs
from the venv and from a `pip install --target` folder, and the demo drives
it; type checkers find the stubs (mypy --strict on a typed example, stubtest
against the installed modules). Slow (it builds the wheel): one test."""

import os
import pathlib
import platform
import re
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import venv
import zipfile

from conftest import ROOT

ALLOWLIST = ROOT / "tests" / "python" / "stubtest_allowlist.txt"
LIBS = "orvane_driver_fanuc.libs"


def run(*command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, **options)
    assert result.returncode == 0, " ".join(map(str, command)) + "\n" + result.stdout + result.stderr
    return result.stdout


def dynamic_section(path):
    """NEEDED libraries and RUNPATH/RPATH entries of an ELF file."""
    out = run("readelf", "-d", path)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out)
    paths = [entry for found in re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*?)\]", out)
             for entry in found.split(":") if entry]  # fmt: skip
    return needed, paths


def tracked_files():
    """The repository's files as git knows them; None outside a checkout."""
    try:
        out = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return set(out.stdout.split("\0")) - {""}


def check_sdist(sdist):
    with tarfile.open(sdist) as archive:
        names = [member.name for member in archive.getmembers() if member.isfile()]
    top = names[0].split("/", 1)[0]
    files = {name.split("/", 1)[1] for name in names}
    assert {"pyproject.toml", "CMakeLists.txt", "python/module.cpp", "sim/app/main.cpp", "PKG-INFO"} <= files
    built = [name for name in files if name.split("/", 1)[0] in ("build", "dist", ".venv", "out", "Testing")
             or name.startswith("build-") or name.endswith((".whl", ".so", ".o", ".pyc", ".gch"))]  # fmt: skip
    assert not built, f"build output in {top}: {built[:10]}"
    tracked = tracked_files()
    if tracked is not None:
        assert not files - tracked - {"PKG-INFO"}, f"untracked files in the sdist: {sorted(files - tracked)[:10]}"


def check_wheel(wheel, unpacked):
    tag = wheel.name.removesuffix(".whl").split("-")[-1]
    glibc = [tuple(map(int, found)) for found in re.findall(r"manylinux_(\d+)_(\d+)_x86_64", tag)]
    assert glibc, f"not a manylinux wheel: {wheel.name}"
    if tuple(map(int, platform.libc_ver()[1].split(".")[:2])) <= (2, 36):
        assert max(glibc) <= (2, 35), wheel.name  # Debian 12's toolchain needs no newer C library

    names = [name for name in zipfile.ZipFile(wheel).namelist() if not name.endswith("/")]  # files, not folders
    zipfile.ZipFile(wheel).extractall(unpacked)
    modules = sorted(name for name in names if name.endswith(".so") and "/" not in name)
    assert [name.split(".")[0] for name in modules] == ["orvane", "orvane_driver_fanuc"], names
    libraries = sorted(name for name in names if name.startswith(LIBS + "/"))
    assert libraries == [f"{LIBS}/liborvane-fanuc-driver.so.1", f"{LIBS}/liborvane-motion.so.1"], names
    others = [name for name in names if ".so" in name and name not in modules and name not in libraries]
    assert not others, f"shared libraries outside the package folder: {others}"
    assert {"orvane-stubs/__init__.pyi", "orvane-stubs/robots.pyi", "orvane_driver_fanuc-stubs/__init__.pyi"} <= set(names)
    assert not any(name.endswith(".pyi") and "/" not in name for name in names), "stubs where checkers do not look"
    (simulator,) = [name for name in names if name.endswith(".data/scripts/fanuc-rmi-sim")]

    # Every binary finds what it loads through $ORIGIN, never through a path
    # into site-packages (which differs between a venv, --user and --target).
    for name in [*modules, *libraries, simulator]:
        needed, paths = dynamic_section(unpacked / name)
        assert all(path.startswith("$ORIGIN") and "site-packages" not in path for path in paths), (name, paths)
        if name == simulator:
            assert not paths and not [lib for lib in needed if "orvane" in lib], (name, needed, paths)
    return simulator


def test_the_installed_wheel_is_typed_complete_and_runnable(tmp_path):
    dist = tmp_path / "dist"
    run(ROOT / "scripts" / "wheel", dist, timeout=3600)
    (sdist,) = dist.glob("orvane_driver_fanuc-*.tar.gz")
    (wheel,) = dist.glob("orvane_driver_fanuc-*.whl")
    check_sdist(sdist)
    check_wheel(wheel, tmp_path / "unpacked")

    # A fresh venv outside the source tree. pip and mypy come from the project
    # venv (appended to the fresh one's path, after its own site-packages, so
    # the wheel's modules win; nothing is downloaded).
    fresh = tmp_path / "venv"
    venv.create(fresh, with_pip=False)
    python = fresh / "bin" / "python"
    site = pathlib.Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip())
    (site / "dev_tools.pth").write_text(sysconfig.get_paths()["purelib"] + "\n")
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", wheel)
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "MYPYPATH", "ORVANE_BUILD_DIR")}
    env["PATH"] = f"{fresh / 'bin'}:{env.get('PATH', '')}"

    # The modules load from site-packages, each library found in the package folder.
    out = run(python, "-c", "import orvane_driver_fanuc as f; print(f.__version__, f.__file__)", env=env, cwd=tmp_path)
    assert out.startswith("1.1.9 " + str(site))
    assert "listening" in run(fresh / "bin" / "fanuc-rmi-sim", "--help", env=env)

    # The demo, with no build tree to take a simulator from, starts the
    # installed command and drives it.
    out = run(python, ROOT / "examples" / "demo.py", "--output", tmp_path / "demo", timeout=600, cwd=tmp_path,
              env={**env, "ORVANE_BUILD_DIR": str(tmp_path / "no-build")})  # fmt: skip
    assert "Started the bundled controller simulator" in out, out
    assert "<- unexpected" not in out and "did not succeed" not in out, out

    # pip install --target: the command runs and the modules import from there.
    target = tmp_path / "target"
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", "--target", target, wheel)
    assert "listening" in run(target / "bin" / "fanuc-rmi-sim", "--help", env=env)
    out = run(sys.executable, "-c", "import orvane, orvane_driver_fanuc as f; print(f.__file__)",
              env={**env, "PYTHONPATH": str(target)}, cwd=tmp_path)  # fmt: skip
    assert out.startswith(str(target))

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
