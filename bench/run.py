"""vexcam's benchmark suite: call overhead, frame path, GIL release, start-up and memory.

    python bench/run.py [--quick] [--out build/bench/results.json]

Builds the native peers (bench/native) into build/bench/native, measures every case side by
side with its alternatives in this one process (call overhead over the do-nothing SDK, start-up
and memory in fresh interpreters), prints the tables and writes them, with the machine they ran
on, as JSON. See README.md.
"""

import argparse
import ctypes
import gc
import json
import math
import os
import platform
import resource
import shutil
import subprocess
import sys
import threading
import time
from datetime import datetime, timezone

import harness
from harness import Candidate

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "bench")

M8 = "VXSIM-M8-001"  # 1280 x 960, 8-bit
M12 = "VXSIM-M12-003"  # 1920 x 1080, 12-bit
L16 = "VXSIM-L16-004"  # 4096 x 4096, 16-bit

CALL_GOAL_FLOOR = 1.2  # vexcam within this factor of the floor
CALL_GOAL_PYBIND = 8.0  # vexcam at least this many times faster than the pybind11 peer
FRAME_GOAL_FLOOR_32M = 1.5
GIL_GOAL = 0.9
GIL_EXPOSURE_US = 200_000


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


# ---------------------------------------------------------------------------------------
# Call overhead

CALL_CASES = [
    # (case, floor statement); the case text is also the call made on each peer
    ("set_gain(10.0)", "math.fabs(1.0)"),
    ("set_gain(gain=10.0)", "math.fabs(1.0)"),
    ("set_exposure(500)", "math.fabs(1.0)"),
    ("set_resolution(0, 0, 640, 480)", "math.fabs(1.0)"),
    ("get_param(6)", "math.fabs(1.0)"),
    ("is_control_available(6)", "math.fabs(1.0)"),
    ("init()", "gc.isenabled()"),  # a builtin without arguments, for a method without any
]
# (peer, variable in the timed statement); pybind11_2 only when that peer was built
CALL_PEERS = [
    ("vexcam", "cam"),
    ("handwritten", "hand"),
    ("pybind11", "pb"),
    ("pybind11_2", "pb2"),
    ("ctypes", "ct"),
]
NET_PEERS = ("vexcam", "pybind11", "pybind11_2", "ctypes")


def bench_calls(mods, rounds, target_ns, sdk_work=True):
    """Every call case on every peer, interleaved. With `sdk_work` the SDK does real work per
    call (the simulator) and the ratios net of it are added."""
    cams = {
        "cam": mods["vexcam"].Camera(M8),
        "hand": mods["hw"].Camera(M8),
        "pb": mods["pb"].Camera(M8),
        "ct": mods["peers"].CtypesCamera(mods["lib"], M8),
    }
    if mods["pb2"] is not None:
        cams["pb2"] = mods["pb2"].Camera(M8)
    namespace = dict(cams, math=math, gc=gc)
    candidates = {}

    def candidate(stmt):
        if stmt not in candidates:
            candidates[stmt] = Candidate(stmt, stmt=stmt, namespace=namespace, unroll=10)
        return stmt

    rows = []
    for case, floor_stmt in CALL_CASES:
        keys = {"floor": candidate(floor_stmt)}
        for peer, name in CALL_PEERS:
            if name in cams:
                keys[peer] = candidate(f"{name}.{case}")
        rows.append((case, floor_stmt, keys))
    empty = harness.measure(list(candidates.values()), rounds, target_ns)
    for cam in cams.values():
        cam.close()

    results = []
    for case, floor_stmt, keys in rows:
        s = {peer: candidates[key].samples for peer, key in keys.items()}
        # The simulated SDK does real work per call (a lock, recorded arguments, a call log),
        # so the hand-written method costs more than the floor by about that work. Taking it
        # out of every peer shows what each binding itself adds. Over the do-nothing SDK the
        # same difference is what the hand-written method and its call into the SDK add.
        sdk = harness.difference(s["handwritten"], s["floor"])
        ratios = {
            "vexcam/floor": harness.ratio(s["vexcam"], s["floor"]),
            "vexcam/handwritten": harness.ratio(s["vexcam"], s["handwritten"]),
            "handwritten/floor": harness.ratio(s["handwritten"], s["floor"]),
        }
        for p in ("pybind11", "pybind11_2", "ctypes"):
            if p in s:
                ratios[f"{p}/vexcam"] = harness.ratio(s[p], s["vexcam"])
        if sdk_work:
            net = {p: harness.difference(s[p], sdk) for p in NET_PEERS if p in s}
            ratios["net vexcam/floor"] = harness.ratio(net["vexcam"], s["floor"])
            for p in ("pybind11", "pybind11_2", "ctypes"):
                if p in s:
                    ratios[f"net {p}/vexcam"] = harness.ratio(net[p], net["vexcam"])
        results.append(
            {
                "case": case,
                "floor": floor_stmt,
                "ns": {peer: harness.summary(v) for peer, v in s.items()},
                ("sdk_ns" if sdk_work else "handwritten_minus_floor_ns"): harness.summary(sdk),
                "ratios": ratios,
                "samples_ns": s,
            }
        )
    return {
        "rounds": rounds,
        "unroll": 10,
        "empty_loop_ns": harness.summary(empty.samples),
        "cases": results,
    }


# ---------------------------------------------------------------------------------------
# Call overhead over the do-nothing SDK (in a child interpreter)


def bench_calls_null_sdk(null_sdk_dir, module_dirs, rounds, target_ns):
    """The call cases again, in a fresh interpreter whose loader finds the do-nothing
    libvexcam.so first, so that vexcam and every peer call into it instead of the simulator."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = os.pathsep.join(
        p for p in (null_sdk_dir, env.get("LD_LIBRARY_PATH")) if p
    )
    job = {
        "sdk_dir": null_sdk_dir,
        "module_dirs": module_dirs,
        "rounds": rounds,
        "target_ns": target_ns,
    }
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--null-sdk-child", json.dumps(job)],
        env=env,
        capture_output=True,
        text=True,
        cwd=HERE,
    )
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        raise SystemExit("the call benchmark over the do-nothing SDK failed")
    return json.loads(done.stdout.strip().splitlines()[-1])


def mapped_sdk_libraries():
    """Real paths of every libvexcam.so mapped into this process."""
    found = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6:
                path = fields[5].strip()
                if os.path.basename(path) == "libvexcam.so":
                    found.add(os.path.realpath(path))
    return found


def check_null_sdk(sdk_dir, lib):
    """Fails unless the do-nothing SDK is the one libvexcam.so in this process."""
    expected = os.path.realpath(os.path.join(sdk_dir, "libvexcam.so"))
    mapped = mapped_sdk_libraries()
    if mapped != {expected}:
        raise SystemExit(
            f"expected only the do-nothing SDK {expected} to be loaded, found: "
            + (", ".join(sorted(mapped)) or "no libvexcam.so")
        )
    by_name = ctypes.CDLL("libvexcam.so")  # what the loader hands out for the name
    for loaded in (lib, by_name):
        if hasattr(loaded, "vxsim_reset"):
            raise SystemExit(f"{loaded._name} exports the simulator's control plane")
    return expected


def null_sdk_child(job):
    """Runs in the child interpreter: the call cases, printed as one JSON line."""
    sys.path[:0] = job["module_dirs"]
    import _bench_handwritten
    import _bench_pybind
    import vexcam

    import peers

    try:
        import _bench_pybind2
    except ImportError:
        _bench_pybind2 = None
    lib = peers.load_sdk(job["sdk_dir"])
    mods = {
        "vexcam": vexcam,
        "hw": _bench_handwritten,
        "pb": _bench_pybind,
        "pb2": _bench_pybind2,
        "peers": peers,
        "lib": lib,
    }
    library = check_null_sdk(job["sdk_dir"], lib)
    result = bench_calls(mods, job["rounds"], job["target_ns"], sdk_work=False)
    check_null_sdk(job["sdk_dir"], lib)
    result["sdk_library"] = os.path.relpath(library, ROOT)
    print(json.dumps(result))


# ---------------------------------------------------------------------------------------
# Frame path

FRAME_SIZES = [
    # (label, camera, region or None for the whole sensor)
    ("640x480 uint8", M8, (0, 0, 640, 480)),
    ("1920x1080 uint16", M12, None),
    ("4096x4096 uint16", L16, None),
]


def bench_frames(mods, rounds, target_ns):
    vexcam, hw, peers, sim = mods["vexcam"], mods["hw"], mods["peers"], mods["sim"]
    sim.reset()
    sim.set_fast_frames(True)
    sim.set_exposure_cap_us(0)
    sim.allow_shared_open()  # the peers open the same camera side by side
    results = []
    # One size at a time, smallest first: the C allocator adapts to the sizes it has seen,
    # as it would in a program that drives one camera.
    for label, camera_id, region in FRAME_SIZES:
        cams = {
            "cam": vexcam.Camera(camera_id),
            "ct": peers.CtypesCamera(mods["lib"], camera_id),
            "hand": hw.Camera(camera_id),
        }
        for cam in cams.values():
            if region is not None:
                cam.set_resolution(*region)
            cam.set_exposure(0)
        cams["cam"].exp_single_frame()
        cams["ct"].exp_single_frame()
        cams["hand"].capture_floor()
        probe = cams["cam"].get_single_frame()
        frame_info = {"shape": list(probe.shape), "dtype": str(probe.dtype), "bytes": probe.nbytes}
        sdk_bytes = cams["ct"].mem_length()
        del probe
        plan = {
            ("get_single_frame()", "vexcam"): "frame = cam.get_single_frame()",
            ("get_single_frame()", "ctypes"): "frame = ct.get_single_frame()",
            ("get_single_frame()", "floor"): "frame = hand.read_floor()",
            ("capture_single_frame()", "vexcam"): "frame = cam.capture_single_frame()",
            ("capture_single_frame()", "ctypes"): "frame = ct.capture_single_frame()",
            ("capture_single_frame()", "floor"): "frame = hand.capture_floor()",
        }
        candidates = {
            k: Candidate(f"{label} {k[0]} {k[1]}", stmt=v, namespace=cams) for k, v in plan.items()
        }
        harness.measure(list(candidates.values()), rounds, target_ns)
        costs = {k: fault_profile(c) for k, c in candidates.items()}
        for cam in cams.values():
            cam.close()
        for method in ("get_single_frame()", "capture_single_frame()"):
            s = {peer: candidates[(method, peer)].samples for peer in ("vexcam", "ctypes", "floor")}
            results.append(
                {
                    "case": f"{method} {label}",
                    "size": label,
                    "method": method,
                    "frame": frame_info,
                    "sdk_buffer_bytes": sdk_bytes,
                    "us": {peer: summary_us(v) for peer, v in s.items()},
                    "per_frame": {peer: costs[(method, peer)] for peer in s},
                    "samples_ns": s,
                    "ratios": {
                        "vexcam/floor": harness.ratio(s["vexcam"], s["floor"]),
                        "vexcam/ctypes": harness.ratio(s["vexcam"], s["ctypes"]),
                        "ctypes/floor": harness.ratio(s["ctypes"], s["floor"]),
                    },
                }
            )
    sim.reset()
    return {"rounds": rounds, "cases": results}


def fault_profile(candidate, frames=8):
    """Page faults and kernel share per frame, from getrusage around a few more frames."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    candidate.run(frames)
    after = resource.getrusage(resource.RUSAGE_SELF)
    user = after.ru_utime - before.ru_utime
    system = after.ru_stime - before.ru_stime
    return {
        "page_faults": (after.ru_minflt - before.ru_minflt) / frames,
        "system_share": system / (user + system) if user + system > 0 else None,
    }


def summary_us(samples_ns):
    s = harness.summary(samples_ns)
    return {
        k: (v / 1e3 if k in ("median", "p25", "p75", "min", "max") else v) for k, v in s.items()
    }


# ---------------------------------------------------------------------------------------
# GIL release


def count_for(seconds):
    """A pure-Python counting loop; returns increments per second."""
    n = 0
    start = time.perf_counter()
    stop = start + seconds
    while True:
        for _ in range(1000):
            n += 1
        now = time.perf_counter()
        if now >= stop:
            return n / (now - start)


def counting_window(seconds, worker=None):
    """Runs the counter in its own thread, with `worker` looping in another meanwhile."""
    stop = threading.Event()
    rate = []
    runner = None
    if worker is not None:
        runner = threading.Thread(target=worker, args=(stop,), daemon=True)
        runner.start()
        time.sleep(0.05)  # let the worker get inside its first call
    counter = threading.Thread(target=lambda: rate.append(count_for(seconds)))
    counter.start()
    counter.join()
    stop.set()
    if runner is not None:
        runner.join()
    return rate[0]


def bench_gil(mods, repeats, window):
    vexcam, hw, sim = mods["vexcam"], mods["hw"], mods["sim"]
    sim.reset()
    sim.set_exposure_cap_us(2 * GIL_EXPOSURE_US)
    cam = vexcam.Camera(M8)
    cam.set_resolution(0, 0, 640, 480)
    cam.set_exposure(GIL_EXPOSURE_US)
    calls = {"capture": 0, "hold": 0}

    def capturing(stop):
        while not stop.is_set():
            cam.capture_single_frame()
            calls["capture"] += 1

    def holding(stop):
        # begin_live keeps the GIL; the simulator holds the call inside the SDK for as long as
        # one exposure, and a native thread lifts the hold since no Python can run meanwhile.
        while not stop.is_set():
            hw.hold_call("BeginVEXCAMLive", GIL_EXPOSURE_US // 1000)
            cam.begin_live()
            calls["hold"] += 1

    rows = {"free": [], "capture_single_frame()": [], "begin_live() held in the SDK": []}
    for _ in range(repeats):
        rows["free"].append(counting_window(window))
        rows["capture_single_frame()"].append(counting_window(window, capturing))
        rows["begin_live() held in the SDK"].append(counting_window(window, holding))
    cam.stop_live()
    cam.close()
    sim.reset()
    free = rows["free"]
    return {
        "exposure_us": GIL_EXPOSURE_US,
        "window_s": window,
        "repeats": repeats,
        "calls_made": calls,
        "rate_per_s": {k: harness.summary(v) for k, v in rows.items()},
        "kept": {k: harness.ratio(v, free) for k, v in rows.items() if k != "free"},
    }


# ---------------------------------------------------------------------------------------
# Start-up and memory (fresh interpreters)


def run_probe(args):
    done = subprocess.run(
        [sys.executable, os.path.join(HERE, "probes.py"), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=HERE,
    )
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"probe failed: {args}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def bench_startup(lib_dir, modules_dir, repeats):
    which = ["vexcam", "ctypes", "pybind11"]
    runs = {w: [] for w in which}
    numpy_imported = {w: False for w in which}
    for _ in range(repeats):
        for w in which:
            r = run_probe(["import", w, lib_dir, modules_dir])
            runs[w].append(r["ms"])
            numpy_imported[w] |= r["numpy_imported"]
    return {
        "repeats": repeats,
        "import_ms": {w: harness.summary(v) for w, v in runs.items()},
        "numpy_imported": numpy_imported,
    }


def bench_memory(lib_dir, frames):
    return {w: run_probe(["memory", w, lib_dir, frames]) for w in ("vexcam", "ctypes")}


# ---------------------------------------------------------------------------------------
# Report


def goals(report):
    out = []

    def goal(name, value, target, met, note=""):
        out.append({"goal": name, "value": value, "target": target, "met": bool(met), "note": note})

    # The call goals are read over the do-nothing SDK; the simulator's figures go in the notes.
    calls = report.get("calls_null_sdk")
    if calls:
        simulated = {c["case"]: c["ratios"] for c in (report.get("calls") or {}).get("cases", [])}
        for case in calls["cases"]:
            r = case["ratios"]
            sim = simulated.get(case["case"])
            v = r["vexcam/floor"]["median"]
            note = f"C/floor {r['handwritten/floor']['median']:.2f}"
            if sim:
                note += (
                    f"; simulator: {sim['vexcam/floor']['median']:.2f}, "
                    f"net of its work {sim['net vexcam/floor']['median']:.2f}"
                )
            goal(
                f"call {case['case']}: vexcam/floor",
                v,
                f"<= {CALL_GOAL_FLOOR}",
                v <= CALL_GOAL_FLOOR,
                note,
            )
            v = r["pybind11/vexcam"]["median"]
            note = ""
            if "pybind11_2/vexcam" in r:
                note = f"pybind11 2.13: {r['pybind11_2/vexcam']['median']:.2f}"
            if sim:
                note += (
                    ("; " if note else "")
                    + f"simulator: {sim['pybind11/vexcam']['median']:.2f}, "
                    f"net {sim['net pybind11/vexcam']['median']:.2f}"
                )
            goal(
                f"call {case['case']}: pybind11/vexcam",
                v,
                f">= {CALL_GOAL_PYBIND}",
                v >= CALL_GOAL_PYBIND,
                note,
            )
    frames = report.get("frames")
    if frames:
        for case in frames["cases"]:
            v = case["ratios"]["vexcam/ctypes"]["median"]
            goal(f"frame {case['case']}: vexcam/ctypes", v, "<= 1.0", v <= 1.0)
            if case["size"].startswith("4096x4096"):
                v = case["ratios"]["vexcam/floor"]["median"]
                faults = case["per_frame"]["vexcam"]["page_faults"]
                goal(
                    f"frame {case['case']}: vexcam/floor",
                    v,
                    f"<= {FRAME_GOAL_FLOOR_32M}",
                    v <= FRAME_GOAL_FLOOR_32M,
                    f"{faults:.0f} page faults per frame",
                )
    gil = report.get("gil")
    if gil:
        v = gil["kept"]["capture_single_frame()"]["median"]
        goal(
            "GIL: counting rate kept during capture_single_frame()",
            v,
            f">= {GIL_GOAL}",
            v >= GIL_GOAL,
        )
    startup = report.get("startup")
    if startup:
        imported = startup["numpy_imported"]["vexcam"]
        goal(
            "import vexcam leaves NumPy unimported",
            not imported,
            "True",
            not imported,
            f"import vexcam: {startup['import_ms']['vexcam']['median']:.2f} ms",
        )
    memory = report.get("memory")
    if memory:
        v = memory["vexcam"]["growth_frames"]
        goal(
            f"peak RSS growth over {memory['vexcam']['frames']} captures, in frames",
            v,
            "< 2",
            v < 2,
        )
    return out


def fmt(x, digits=1):
    if x is None:
        return "-"
    if isinstance(x, bool):
        return str(x)
    return f"{x:.{digits}f}"


def med(summary, digits=1):
    return fmt(summary["median"], digits) if summary else "-"


def spread(summary):
    # Half the interquartile range, relative to the median.
    return f"±{summary['rel_iqr'] * 50:.0f}%" if summary and summary["rel_iqr"] is not None else "-"


def table(headers, rows):
    cells = [list(map(str, headers))] + [list(map(str, r)) for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]

    def line(r):
        return "  ".join(
            c.ljust(w) if i == 0 else c.rjust(w)
            for i, (c, w) in enumerate(zip(r, widths, strict=True))
        )

    out = [line(cells[0]), "-" * len(line(cells[0]))]
    out += [line(r) for r in cells[1:]]
    return "\n".join(out)


# Ratio columns shared by both call sections: (header, key in a case's "ratios").
RATIO_COLUMNS = [
    ("pb/vx", "pybind11/vexcam"),
    ("pb2.13/vx", "pybind11_2/vexcam"),
    ("ct/vx", "ctypes/vexcam"),
]


def call_tables(calls, title, extra_ns, ratio_title, ratio_columns):
    """The ns table and the ratio table of one call section; [] when it did not run."""
    if not calls:
        return []
    rows, ratio_rows = [], []
    for c in calls["cases"]:
        ns = c["ns"]
        rows.append(
            [c["case"], med(ns["floor"]), med(ns["vexcam"]), spread(ns["vexcam"])]
            + [med(ns.get(k)) for k in ("handwritten", "pybind11", "pybind11_2", "ctypes")]
            + [med(get(c)) for _, get in extra_ns]
        )
        ratio_rows.append([c["case"]] + [med(c["ratios"].get(k), 2) for _, k in ratio_columns])
    headers = ["case", "floor", "vexcam", "spread", "C", "pybind11", "pb 2.13", "ctypes"]
    return [
        "",
        title.format(
            sdk_library=calls.get("sdk_library"),
            empty=fmt(calls["empty_loop_ns"]["median"]),
            rounds=calls["rounds"],
        ),
        table(headers + [h for h, _ in extra_ns], rows),
        "",
        ratio_title,
        table(["case"] + [h for h, _ in ratio_columns], ratio_rows),
    ]


def render(report):
    m = report["machine"]
    parts = [
        f"vexcam benchmarks, {m['date']}, commit {m['commit']}",
        f"machine: {m['cpu']}, {m['cpus']} CPUs, {m['memory_bytes'] / 2**30:.0f} GiB, "
        f"Linux {m['kernel']}, transparent huge pages: {m['transparent_hugepage']}",
        f"Python {m['python']}, NumPy {m['numpy']}, pybind11 {m['pybind11']}"
        + (" and 2.13" if m.get("pybind11_2") else "")
        + f"; load average {m['load_average_start'][0]:.2f} at start, "
        f"{m['load_average_end'][0]:.2f} at end",
    ]
    parts += call_tables(
        report.get("calls_null_sdk"),
        "Call overhead over the do-nothing SDK (every peer calls into {sdk_library}): ns per call\n"
        "net of the empty loop ({empty} ns per iteration), median of {rounds} interleaved rounds\n"
        "floor: math.fabs(1.0), gc.isenabled() for init(); C: hand-written METH_FASTCALL method",
        [],
        "Call ratios over the do-nothing SDK (median of per-round ratios)",
        [("vx/floor", "vexcam/floor"), ("C/floor", "handwritten/floor"),
         ("vx/C", "vexcam/handwritten")] + RATIO_COLUMNS,
    )
    parts += call_tables(
        report.get("calls"),
        "Call overhead over the simulator: ns per call net of the empty loop "
        "({empty} ns per iteration), median of {rounds} interleaved rounds\n"
        "floor: math.fabs(1.0), gc.isenabled() for init(); C: hand-written METH_FASTCALL method\n"
        "over the same SDK call; sdk: C minus floor, the simulated SDK's own work",
        [("sdk", lambda c: c["sdk_ns"])],
        "Call ratios over the simulator (median of per-round ratios); "
        "net: the SDK's own work taken out of both sides",
        [("vx/floor", "vexcam/floor"), ("vx/C", "vexcam/handwritten")]
        + RATIO_COLUMNS
        + [("net " + h, "net " + k) for h, k in [("vx/floor", "vexcam/floor")] + RATIO_COLUMNS],
    )
    frames = report.get("frames")
    if frames:
        rows = []
        for c in frames["cases"]:
            us, r, pf = c["us"], c["ratios"], c["per_frame"]
            rows.append(
                [
                    c["case"],
                    med(us["floor"]),
                    med(us["vexcam"]),
                    spread(us["vexcam"]),
                    med(us["ctypes"]),
                    med(r["vexcam/floor"], 2),
                    med(r["vexcam/ctypes"], 2),
                    med(r["ctypes/floor"], 2),
                    f"{pf['vexcam']['page_faults']:.0f}",
                    f"{pf['ctypes']['page_faults']:.0f}",
                ]
            )
        parts += [
            "",
            "Frame path, simulator in fast mode: µs per frame, "
            f"median of {frames['rounds']} interleaved rounds\n"
            "floor: the same SDK calls filling a touched buffer + one memcpy into another;\n"
            "ctypes: zeroed ctypes buffer + np.frombuffer(...).copy(); "
            "faults: page faults per frame",
            table(
                [
                    "case",
                    "floor",
                    "vexcam",
                    "spread",
                    "ctypes",
                    "vx/floor",
                    "vx/ct",
                    "ct/floor",
                    "faults vx",
                    "faults ct",
                ],
                rows,
            ),
        ]
    gil = report.get("gil")
    if gil:
        rows = []
        for k, v in gil["rate_per_s"].items():
            kept = gil["kept"].get(k)
            rows.append([k, f"{v['median'] / 1e6:.2f}", med(kept, 3) if kept else "1.000"])
        parts += [
            "",
            "GIL: a pure-Python counting thread while another thread spends "
            f"{gil['exposure_us'] // 1000} ms per call in the SDK\n"
            f"({gil['repeats']} windows of {gil['window_s']} s each)",
            table(["other thread", "M counts/s", "kept"], rows),
        ]
    startup = report.get("startup")
    if startup:
        rows = [
            [w, med(v, 2), fmt(v["p25"], 2), fmt(v["p75"], 2), str(startup["numpy_imported"][w])]
            for w, v in startup["import_ms"].items()
        ]
        parts += [
            "",
            f"Start-up: import in a fresh interpreter, ms over {startup['repeats']} runs "
            "(ctypes: ctypes + numpy + loading the library with its signatures)",
            table(["import", "median", "p25", "p75", "numpy imported"], rows),
        ]
    memory = report.get("memory")
    if memory:
        rows = []
        for w, v in memory.items():
            rows.append(
                [
                    w,
                    f"{v['frame_bytes'] / 2**20:.2f}",
                    f"{v['peak_baseline'] / 2**20:.1f}",
                    f"{v['peak_end'] / 2**20:.1f}",
                    f"{v['growth_bytes'] / 2**20:.2f}",
                    fmt(v["growth_frames"], 2),
                    fmt(v["ms_per_frame"], 3),
                ]
            )
        first = next(iter(memory.values()))
        parts += [
            "",
            f"Memory: peak RSS (MiB) around {first['frames']} captures of "
            f"{first['shape'][1]}x{first['shape'][0]} {first['dtype']} frames, "
            "after 11 warm-up captures",
            table(
                ["peer", "frame", "peak before", "peak after", "growth", "in frames", "ms/frame"],
                rows,
            ),
        ]
    gl = report.get("goals", [])
    if gl:
        rows = [
            [
                g["goal"],
                fmt(g["value"], 2) if not isinstance(g["value"], bool) else str(g["value"]),
                g["target"],
                "met" if g["met"] else "MISSED",
                g["note"],
            ]
            for g in gl
        ]
        parts += ["", "Goals", table(["goal", "value", "target", "", "note"], rows)]
    return "\n".join(parts)


# ---------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    parser.add_argument("--out", default=os.path.join(BUILD, "results.json"))
    parser.add_argument(
        "--only",
        default="calls_null_sdk,calls,frames,gil,startup,memory",
        help="comma-separated sections",
    )
    parser.add_argument("--null-sdk-child", metavar="JOB", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.null_sdk_child:
        null_sdk_child(json.loads(args.null_sdk_child))
        return
    sections = set(args.only.split(","))

    import vexcam

    lib_dir = os.path.join(os.path.dirname(vexcam.__file__), "vexcam.libs")
    module_dirs, null_sdk_dir = build_native(lib_dir)
    sys.path[:0] = module_dirs
    import _bench_handwritten
    import _bench_pybind
    import vexcam_sim

    import peers

    try:
        import _bench_pybind2
    except ImportError:
        _bench_pybind2 = None
    mods = {
        "vexcam": vexcam,
        "sim": vexcam_sim,
        "hw": _bench_handwritten,
        "pb": _bench_pybind,
        "pb2": _bench_pybind2,
        "peers": peers,
        "lib": peers.load_sdk(lib_dir),
    }
    vexcam_sim.reset()
    vexcam_sim.allow_shared_open()  # the call peers open the same camera side by side
    report = {"machine": machine_info()}
    report["machine"]["pybind11_2"] = _bench_pybind2 is not None
    quick = args.quick
    call_rounds, call_target_ns = (7, 2e6) if quick else (30, 4e6)
    if "calls_null_sdk" in sections:
        print("measuring call overhead over the do-nothing SDK ...", file=sys.stderr)
        report["calls_null_sdk"] = bench_calls_null_sdk(
            null_sdk_dir, module_dirs, rounds=call_rounds, target_ns=call_target_ns
        )
    if "calls" in sections:
        print("measuring call overhead over the simulator ...", file=sys.stderr)
        report["calls"] = bench_calls(mods, rounds=call_rounds, target_ns=call_target_ns)
    if "frames" in sections:
        print("measuring the frame path ...", file=sys.stderr)
        report["frames"] = bench_frames(
            mods, rounds=5 if quick else 21, target_ns=1e7 if quick else 3e7
        )
    if "gil" in sections:
        print("measuring GIL release ...", file=sys.stderr)
        report["gil"] = bench_gil(mods, repeats=1 if quick else 3, window=1.0)
    if "startup" in sections:
        print("measuring start-up ...", file=sys.stderr)
        report["startup"] = bench_startup(lib_dir, module_dirs[0], repeats=3 if quick else 15)
    if "memory" in sections:
        print("measuring memory ...", file=sys.stderr)
        report["memory"] = bench_memory(lib_dir, 200 if quick else 2000)
    report["machine"]["load_average_end"] = os.getloadavg()
    report["goals"] = goals(report)
    print(render(report))
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(report, f, indent=1)
    print(f"\nresults written to {os.path.relpath(args.out)}")


if __name__ == "__main__":
    # NumPy's BLAS threads would only compete for the two cores; no case uses BLAS.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    main()
