# Type information: the installed stubs against the built module, the examples under mypy, and
# the simulator's helper and the documentation's example test under mypy and pyright, both strict.
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vexcam

pytest.importorskip("mypy", reason="mypy is not installed: pip install 'vexcam[test]'")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "vexcam.pyi"
README = ROOT / "README.md"
# The simulator's page of the documentation, with its example test file.
SIMULATOR_PAGE = ROOT / "docs" / "simulator.md"
SITE = Path(vexcam.__file__).resolve().parent


def run_module(args, cwd):
    """Runs `python -m <args>` away from the checkout, so only installed files are seen."""
    env = {name: value for name, value in os.environ.items() if name != "MYPYPATH"}
    # pyright finds the environment to check through the first python on PATH.
    env["PATH"] = os.pathsep.join([os.path.dirname(sys.executable), env.get("PATH", "")])
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


def test_the_mmcore_adapter_is_strictly_typed(tmp_path):
    pytest.importorskip("pymmcore_plus", reason="the mmcore extra is not installed: make test installs it")
    # Its modules but the live view, whose napari comes with the gui extra only.
    modules = ["vexcam_mmcore", "vexcam_mmcore._camera", "vexcam_mmcore._core", "vexcam_mmcore._stream"]
    args = [arg for module in modules for arg in ("-m", module)]
    done = run_module(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *args], cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture
def docs_example_test(tmp_path):
    """The documentation's example test file, written out under the name it gives itself."""
    text = SIMULATOR_PAGE.read_text(encoding="utf-8")
    start = text.index("```python\n# test_brightness.py\n") + len("```python\n")
    path = tmp_path / "test_brightness.py"
    path.write_text(text[start : text.index("```", start)], encoding="utf-8")
    return path


def test_the_documented_example_test_is_strictly_typed_and_passes(docs_example_test, tmp_path):
    # The installed helper itself too: mypy reports nothing inside an installed package it
    # only follows an import into.
    for target in (["-p", "vexcam_sim"], [str(docs_example_test)]):
        checked = run_module(
            ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *target], cwd=tmp_path
        )
        assert checked.returncode == 0, checked.stdout + checked.stderr
    ran = run_module(["pytest", "-q", "-p", "no:cacheprovider", str(docs_example_test)], cwd=tmp_path)
    assert ran.returncode == 0, ran.stdout + ran.stderr


def test_pyright_strict_sees_complete_types(docs_example_test, tmp_path):
    if run_module(["pyright", "--version"], cwd=tmp_path).returncode != 0:
        pytest.skip("pyright cannot start here (it needs node)")
    config = {"typeCheckingMode": "strict", "pythonPath": sys.executable}
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config), encoding="utf-8")
    checked = run_module(["pyright", str(docs_example_test)], cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    # Every public name of the helper has a known type, as py.typed promises.
    complete = run_module(["pyright", "--verifytypes", "vexcam_sim", "--ignoreexternal"], cwd=tmp_path)
    assert complete.returncode == 0, complete.stdout + complete.stderr


@pytest.mark.parametrize("package", ["vexcam_device", "vexcam_alpaca", "vexcam_indi"])
def test_the_installed_camera_layer_and_adapters_are_strictly_typed(package, tmp_path):
    checked = run_module(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", package], cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
