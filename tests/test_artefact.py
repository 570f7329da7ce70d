# The built extension file: one exported entry point, and the SDK found beside it at run time.
import os
import re
import shutil
import subprocess

import pytest

import vexcam

pytestmark = pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils not installed")


def tool(*args):
    return subprocess.run([*args, vexcam.__file__], capture_output=True, text=True, check=True).stdout


def dynamic_entries(tag):
    # readelf -d lines look like: 0x... (NEEDED)  Shared library: [libvexcam.so]
    return re.findall(rf"\({tag}\)\s+[^\[]*\[([^\]]*)\]", tool("readelf", "-d"))


def test_exports_only_the_entry_point():
    symbols = [line.split()[-1] for line in tool("nm", "-D", "--defined-only").splitlines() if line.strip()]
    assert symbols == ["PyInit_vexcam"]


def test_links_the_sdk_by_name():
    assert "libvexcam.so" in dynamic_entries("NEEDED")


def test_finds_the_sdk_relative_to_itself():
    # RUNPATH, not RPATH: LD_LIBRARY_PATH may still put another SDK build in its place.
    assert dynamic_entries("RPATH") == []
    (runpath,) = dynamic_entries("RUNPATH")
    assert any(entry.startswith("$ORIGIN") for entry in runpath.split(":"))


def test_loaded_sdk_is_the_one_installed_beside_the_module():
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if "/libvexcam.so" in line}
    assert len(loaded) == 1
    (path,) = loaded
    here = os.path.dirname(os.path.realpath(vexcam.__file__))
    assert os.path.realpath(path).startswith(here + os.sep)
