# Type information: the installed stubs against the built module, and the examples under mypy.
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vexcam

pytest.importorskip("mypy", reason="mypy is not installed: pip install 'vexcam[test]'")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "vexcam.pyi"
SITE = Path(vexcam.__file__).resolve().parent


def run_module(args, cwd):
    """Runs `python -m <args>` away from the checkout, so only installed files are seen."""
    env = {name: value for name, value in os.environ.items() if name != "MYPYPATH"}
    # Under the sanitizer run, mypy's compiled modules leave their own allocations at exit.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


@pytest.mark.parametrize(
    "installed",
    [
        pytest.param("vexcam.pyi", id="beside-module"),  # editors look here
        pytest.param("vexcam-stubs/__init__.pyi", id="stub-package"),  # mypy looks here
    ],
)
def test_installed_stub_is_the_checkout_stub(installed):
    path = SITE / installed
    assert path.is_file(), f"{path} is not installed"
    assert path.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


def test_stubs_match_the_module(tmp_path):
    done = run_module(["mypy.stubtest", "vexcam"], cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_strict_type_checking(tmp_path):
    examples = ROOT / "examples"
    done = run_module(
        ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(examples)],
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
