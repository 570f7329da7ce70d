"""Set-up of a benchmark run: the native peers built against the installed SDK, and the
machine, versions and commit the figures were taken on."""

import os
import platform
import shutil
import subprocess
import sys
from datetime import datetime, timezone

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "bench")

# ---------------------------------------------------------------------------------------
# Set-up


def cmake_build(source_options, build_dir):
    env = dict(os.environ)
    env["PATH"] = os.path.join(sys.prefix, "bin") + os.pathsep + env.get("PATH", "")
    cmake = shutil.which("cmake", path=env["PATH"])
    if cmake is None:
        raise SystemExit("cmake not found: pip install cmake (make bench does)")
    configure = [
        cmake,
        "-S",
        os.path.join(HERE, "native"),
        "-B",
        build_dir,
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_EXECUTABLE={sys.executable}",
        *source_options,
    ]
    for cmd in (configure, [cmake, "--build", build_dir, "-j", "2"]):
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stdout + done.stderr)
            raise SystemExit(f"building the native peers failed: {' '.join(cmd)}")
    return os.path.join(build_dir, "modules")


def build_native(lib_dir):
    """Builds bench/native into build/bench/; returns the module directories to import from
    and the directory of the do-nothing SDK's libvexcam.so.

    The current pybind11 (installed in this environment) gives _bench_pybind; pybind11 2.13,
    unpacked into build/bench/pybind11-2.13 by make bench, gives _bench_pybind2: the older
    generation, whose slower dispatch is what many published comparisons measured.
    """
    import pybind11

    dirs = [
        cmake_build(
            [f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DVEXCAM_LIB_DIR={lib_dir}"],
            os.path.join(BUILD, "native"),
        )
    ]
    legacy = os.path.join(BUILD, "pybind11-2.13", "pybind11", "share", "cmake", "pybind11")
    if os.path.isdir(legacy):
        dirs.append(
            cmake_build(
                [
                    f"-Dpybind11_DIR={legacy}",
                    f"-DVEXCAM_LIB_DIR={lib_dir}",
                    "-DBENCH_HANDWRITTEN=OFF",
                    "-DBENCH_NULL_SDK=OFF",
                    "-DBENCH_PYBIND_MODULE=_bench_pybind2",
                ],
                os.path.join(BUILD, "native-pybind11-2.13"),
            )
        )
    else:
        print(f"note: {legacy} is missing, so the pybind11 2.13 peer is left out", file=sys.stderr)
    null_sdk_dir = os.path.join(BUILD, "native", "null-sdk")
    if not os.path.isfile(os.path.join(null_sdk_dir, "libvexcam.so")):
        raise SystemExit(f"the do-nothing SDK was not built into {null_sdk_dir}")
    return dirs, null_sdk_dir


def read_first(path, default=None):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return default


def machine_info():
    cpu = None
    for line in (read_first("/proc/cpuinfo") or "").splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = None
    for line in (read_first("/proc/meminfo") or "").splitlines():
        if line.startswith("MemTotal"):
            mem = int(line.split()[1]) * 1024
            break
    import numpy
    import pybind11

    commit = subprocess.run(
        ["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True, text=True
    ).stdout.strip()
    return {
        "date": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "memory_bytes": mem,
        "kernel": platform.release(),
        "platform": platform.platform(),
        "python": sys.version.split()[0],
        "numpy": numpy.__version__,
        "pybind11": pybind11.__version__,
        "transparent_hugepage": read_first("/sys/kernel/mm/transparent_hugepage/enabled"),
        "load_average_start": os.getloadavg(),
        "commit": commit or None,
    }
