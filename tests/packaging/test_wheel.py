"""The wheel as a user gets it: `pip wheel .` with this interpreter, then installed into a
fresh venv whose PATH has no compiler, and imported there.

Run with the interpreter under test first on PATH (scripts/qx 314|313t). The build tree is
kept under build/wheel-<tag> so that a second run only relinks what changed.
"""

import os
import pathlib
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
TAG = sys.implementation.cache_tag + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
WORK = ROOT / "build" / f"wheel-{TAG}"
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
COMPILERS = ("cc", "gcc", "g++", "c++", "clang", "clang++")


@pytest.fixture(scope="module")
def wheel() -> pathlib.Path:
    dist = WORK / "dist"
    dist.mkdir(parents=True, exist_ok=True)
    for old in dist.glob("*.whl"):
        old.unlink()
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("JOBS", "1"))
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q", "-w", str(dist),
         "--config-settings", f"build-dir={WORK / 'build'}", str(ROOT)],
        check=True, env=env, cwd=ROOT,
    )
    (found,) = dist.glob("quorix-*.whl")
    return found


@pytest.fixture(scope="module")
def bare_venv(tmp_path_factory, wheel) -> pathlib.Path:
    """A fresh venv with the wheel installed, and a PATH holding nothing but its bin."""
    venv = tmp_path_factory.mktemp("bare") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    run_bare(venv, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel))
    return venv


def run_bare(venv: pathlib.Path, *args: str) -> str:
    env = {"PATH": str(venv / "bin"), "HOME": str(venv.parent), "LANG": "C.UTF-8", "PIP_NO_INPUT": "1"}
    proc = subprocess.run([str(venv / "bin" / "python"), *args], env=env, cwd=venv.parent,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_wheel_holds_only_the_extension_and_the_stub_package(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    payload = sorted(n for n in names if ".dist-info/" not in n)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert payload == sorted([f"quorix{suffix}", "quorix-stubs/__init__.pyi", "quorix-stubs/py.typed"])
    assert wheel.name.startswith(f"quorix-{VERSION}-")


def test_wheel_installs_and_imports_without_a_compiler(bare_venv):
    out = run_bare(bare_venv, "-c", f"""
import importlib.metadata, pathlib, shutil, sys, sysconfig
print(sorted(c for c in {COMPILERS!r} if shutil.which(c)))
import quorix
print(importlib.metadata.version("quorix"))
print(pathlib.Path(quorix.__file__).is_relative_to(sys.prefix))
stubs = pathlib.Path(sysconfig.get_paths()["platlib"]) / "quorix-stubs"
print(sorted(p.name for p in stubs.iterdir() if p.name != "__pycache__"))
print(len([n for n in dir(quorix) if not n.startswith("_")]))
print(quorix.run_async(lambda x: x + 1)(41).wait(timeout_ms=60000))
# A free-threaded interpreter keeps running without the lock after the import.
print(sys._is_gil_enabled() != bool(sysconfig.get_config_var("Py_GIL_DISABLED")))
""")
    no_compiler, version, inside, stubs, count, answer, gil_as_built = out.splitlines()
    assert no_compiler == "[]"
    assert version == VERSION
    assert inside == "True"
    assert stubs == "['__init__.pyi', 'py.typed']"
    assert count == "18"
    assert answer == "42"
    assert gil_as_built == "True"


def test_type_checkers_find_the_installed_stub(bare_venv, tmp_path):
    """mypy, pointed at the bare venv, reads the types from its site-packages."""
    pytest.importorskip("mypy")
    use = tmp_path / "use.py"
    use.write_text("import quorix\nreveal_type(quorix.get_task_manager().status())\n"
                   "reveal_type(quorix.run_async(len)(b'ab'))\n")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", str(bare_venv / "bin" / "python"), "--no-incremental",
         "--strict", str(use)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )
    revealed = [line.split("Revealed type is ", 1)[1] for line in proc.stdout.splitlines() if "Revealed type" in line]
    assert revealed == [
        "\"TypedDict(quorix.TaskStatus, {'running_timers': int, 'running_tasks': int, 'stopped': int, 'total': int})\"",
        '"quorix.AsyncHandle[int]"',
    ], proc.stdout
