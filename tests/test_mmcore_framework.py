# pymmcore-plus's own tests of Python camera devices, run against the adapter (through
# mmcore_framework_plugin.py) in a child pytest: `make test` unpacks them into build/.
import importlib.metadata
import os
import subprocess
import sys

import pytest

pytest.importorskip("pymmcore_plus", reason="the mmcore extra is not installed: make test installs it")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_the_frameworks_camera_tests_pass_on_the_adapter():
    version = importlib.metadata.version("pymmcore-plus")
    tests = os.path.join(ROOT, "build", "mmcore-tests", f"pymmcore_plus-{version}", "tests")
    if not os.path.isdir(tests):
        pytest.skip(f"pymmcore-plus {version}'s tests are not unpacked in build/: make test does it")
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.abspath(__file__))}
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "mmcore_framework_plugin", "-p", "no:cacheprovider",
         "-q", os.path.join(tests, "00_unicore", "test_camera.py")],
        capture_output=True, text=True, timeout=300, env=env, cwd=tests,
    )  # fmt: skip
    lines = done.stdout.splitlines()
    assert done.returncode == 0, done.stdout + done.stderr
    # Every test that ran opened one camera at least: the adapter's, not the framework's class.
    assert "vexcam cameras opened: 7" in lines and lines[-1].startswith("7 passed, 10 deselected")
