# What pip installed and where it installs: the distribution's files and version range, and the
# build's refusals at configure time.
import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest
from packaging.specifiers import SpecifierSet

import vexcam
import vexcam_sim
from conftest import loaded_sdk_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUBS = os.path.join(os.path.dirname(vexcam.__file__), "vexcam-stubs", "__init__.pyi")


# Not from the source tree or a build directory on some path: the wheel run relies on this.
@pytest.mark.parametrize("locate", [lambda: vexcam.__file__, lambda: vexcam_sim.__file__,
                                    loaded_sdk_path, lambda: STUBS],
                         ids=["extension", "vexcam_sim", "sdk", "stubs"])
def test_runs_from_the_installed_distribution(locate):
    recorded = {os.path.realpath(f.locate()) for f in importlib.metadata.files("vexcam")}
    assert os.path.realpath(locate()) in recorded


@pytest.mark.parametrize("version, admitted", [("3.11", False), ("3.12", True), ("3.14", True)])
def test_installs_on(version, admitted):
    requires = importlib.metadata.metadata("vexcam")["Requires-Python"]
    assert (version in SpecifierSet(requires)) is admitted


def free_threaded_headers(tmp_path):
    include = tmp_path / "include"  # this interpreter's headers, as a free-threaded build has them
    shutil.copytree(sysconfig.get_paths()["include"], include)
    with open(include / "pyconfig.h", "a") as config:
        config.write("\n#define Py_GIL_DISABLED 1\n")
    return f"-DPython_INCLUDE_DIR={include}"


@pytest.mark.parametrize("define, message", [
    (lambda tmp: "-DVEXCAM_SDK_LIBRARY=/nonexistent/libvexcam.so",
     "VEXCAM_SDK_LIBRARY: no such file: /nonexistent/libvexcam.so"),
    (free_threaded_headers, "vexcam does not support free-threaded CPython"),
], ids=["sdk-path", "free-threaded"])
def test_configure_refuses(tmp_path, define, message):
    cmake = shutil.which("cmake")
    if cmake is None or subprocess.run([cmake, "--version"], capture_output=True).returncode:
        pytest.skip("no working cmake on PATH")
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    done = subprocess.run([cmake, "-S", ROOT, "-B", str(tmp_path / "build"),
                           f"-DPython_EXECUTABLE={sys.executable}", define(tmp_path)],
                          capture_output=True, text=True, env=env)
    assert done.returncode != 0 and message in " ".join(done.stderr.split())
