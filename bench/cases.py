"""The measured cases: call overhead (over the simulator and over the do-nothing SDK), the
frame path, GIL release, start-up and memory. Each bench_* function returns its section of the
report as plain data; the tables and the goals are report.py's."""

import ctypes
import gc
import json
import math
import os
import resource
import statistics
import subprocess
import sys
import threading
import time

import harness
from harness import Candidate

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RUN = os.path.join(HERE, "run.py")  # the null-SDK calls run in a child started through it

M8 = "VXSIM-M8-001"  # 1280 x 960, 8-bit
M12 = "VXSIM-M12-003"  # 1920 x 1080, 12-bit
L16 = "VXSIM-L16-004"  # 4096 x 4096, 16-bit

GIL_EXPOSURE_US = 200_000


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
    return run_null_sdk_child(null_sdk_dir, module_dirs, "calls", rounds, target_ns)


def run_null_sdk_child(null_sdk_dir, module_dirs, what, rounds, target_ns):
    """Runs `what` ("calls" or "live") in a fresh interpreter over the do-nothing SDK."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = os.pathsep.join(
        p for p in (null_sdk_dir, env.get("LD_LIBRARY_PATH")) if p
    )
    job = {
        "what": what,
        "sdk_dir": null_sdk_dir,
        "module_dirs": module_dirs,
        "rounds": rounds,
        "target_ns": target_ns,
    }
    done = subprocess.run(
        [sys.executable, RUN, "--null-sdk-child", json.dumps(job)],
        env=env,
        capture_output=True,
        text=True,
        cwd=HERE,
    )
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        raise SystemExit(f"the {what} benchmark over the do-nothing SDK failed")
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
    """Runs in the child interpreter: the call cases (or the live floor), printed as one JSON
    line."""
    sys.path[:0] = job["module_dirs"]
    if job.get("what") == "live":
        print(json.dumps(live_floor_child(job)))
        return
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
# Live streams at a sensor's speed

LIVE_CAMERAS = [
    # (camera, frames/s goal with noise on, the same frame's geometry on the do-nothing SDK)
    ("VXSIM-M8-001", 100, "NULL-1280x960-8"),
    ("VXSIM-M16-002", 100, "NULL-2048x2048-16"),
    ("VXSIM-M12-003", 100, "NULL-1920x1080-12"),
    ("VXSIM-L16-004", 25, "NULL-4096x4096-16"),
]
LIVE_RATE = 1000  # control 9, frames/s: the frame period is then the exposure's
LIVE_EXPOSURE_US = 1000
LIVE_CASES = [
    # (case, method, noise, readout: None for the full sensor, "bin2", or "centre" for the
    # middle quarter of the sensor)
    ("live, noise", "live", True, None),
    ("live, no noise", "live", False, None),
    ("capture 0 µs, noise", "capture", True, None),
    ("capture 0 µs, no noise", "capture", False, None),
    ("live bin 2, noise", "live", True, "bin2"),
    ("live centre 1/4, noise", "live", True, "centre"),
]


def set_readout(cam, sensor, readout):
    width, height = sensor
    if readout == "centre":
        cam.set_bin_mode(1, 1)
        cam.set_resolution(width // 4, height // 4, width // 2, height // 2)
    else:
        cam.set_resolution(0, 0, width, height)
        cam.set_bin_mode(*((2, 2) if readout == "bin2" else (1, 1)))


def frame_loop(read, before=None):
    """A native candidate: `before()` (the case's settings), one frame to let them apply,
    then n frames timed; returns ns per frame."""

    def run(n):
        if before is not None:
            before()
        frame = read()
        start = time.perf_counter_ns()
        for _ in range(n):
            frame = read()
        elapsed = time.perf_counter_ns() - start
        del frame
        return elapsed / n

    return run


def bench_live(mods, null_sdk_dir, module_dirs, rounds, target_ns):
    """Frames per second of every camera's live stream at its full sensor, with and without
    sensor noise, of capture_single_frame() at 0 µs, and of a binned and a cropped live stream,
    all interleaved in rounds; then the same full-sensor frames from the do-nothing SDK.

    Each readout has a handle of its own (allow_shared_open), so that no case pays for the
    buffers that a change of frame size makes the simulator and the module fetch afresh."""
    vexcam, sim = mods["vexcam"], mods["sim"]
    sim.reset()
    sim.allow_shared_open()
    cams, sensors, reads = {}, {}, {}
    candidates = {}
    for camera_id, _, _ in LIVE_CAMERAS:
        for case, method, noise, readout in LIVE_CASES:
            if (camera_id, readout) not in cams:
                cam = vexcam.Camera(camera_id)
                cam.set_param(9, LIVE_RATE)
                sensors.setdefault(camera_id, tuple(reversed(cam.capture_single_frame().shape)))
                set_readout(cam, sensors[camera_id], readout)
                cam.begin_live()
                cams[(camera_id, readout)] = cam
                reads[(camera_id, readout)] = 0
            cam = cams[(camera_id, readout)]
            key = (camera_id, readout)

            def before(cam=cam, method=method, noise=noise):
                sim.set_noise(noise)
                cam.set_exposure(LIVE_EXPOSURE_US if method == "live" else 0)

            if method == "live":

                def read(cam=cam, key=key):
                    reads[key] += 1
                    return cam.get_live_frame()

            else:
                read = cam.capture_single_frame
            candidates[(camera_id, case)] = Candidate(
                f"{camera_id} {case}", native=frame_loop(read, before)
            )
    harness.measure(list(candidates.values()), rounds, target_ns)
    for key, cam in cams.items():
        # Control 58 counts the live frames delivered since begin_live: every read made.
        delivered = cam.get_param(58)
        if delivered != reads[key]:
            raise SystemExit(f"{key}: control 58 reads {delivered} after {reads[key]} reads")
        cam.stop_live()
        cam.close()
    sim.reset()
    floor = run_null_sdk_child(null_sdk_dir, module_dirs, "live", rounds, target_ns)

    results = []
    for camera_id, goal, null_id in LIVE_CAMERAS:
        s = {case: candidates[(camera_id, case)].samples for case, *_ in LIVE_CASES}
        floor_ns = floor["ns"][null_id]
        full = s["live, noise"]
        results.append(
            {
                "camera": camera_id,
                "sensor": list(sensors[camera_id]),
                "goal_fps": goal,
                "fps": {case: fps_summary(v) for case, v in s.items()},
                "floor_id": null_id,
                "floor_fps": {m: fps_summary(v) for m, v in floor_ns.items()},
                # the simulator's live frame with noise against the module's own share of it
                "live_noise_over_floor": statistics.median(full)
                / statistics.median(floor_ns["live"]),
                # > 1: the binned or cropped stream delivers frames faster than the full one
                "bin2_speedup": harness.ratio(full, s["live bin 2, noise"]),
                "centre_speedup": harness.ratio(full, s["live centre 1/4, noise"]),
                "samples_ns": s,
                "floor_samples_ns": floor_ns,
            }
        )
    return {
        "rounds": rounds,
        "frame_rate": LIVE_RATE,
        "exposure_us": LIVE_EXPOSURE_US,
        "floor_sdk_library": floor["sdk_library"],
        "cameras": results,
    }


def live_floor_child(job):
    """In the child over the do-nothing SDK: get_live_frame() and capture_single_frame() of
    frames the size of each camera's, ns per frame. The do-nothing SDK has one camera, whose
    frame size is the one named by its last open, so the sizes run one after the other."""
    import vexcam

    import peers

    lib = peers.load_sdk(job["sdk_dir"])
    library = check_null_sdk(job["sdk_dir"], lib)
    ns = {}
    for _, _, null_id in LIVE_CAMERAS:
        cam = vexcam.Camera(null_id)
        cam.begin_live()
        width, height = (int(n) for n in null_id.split("-")[1].split("x"))
        if cam.get_live_frame().shape != (height, width):
            raise SystemExit(f"{null_id}: the do-nothing SDK gave another frame size")
        candidates = {
            "live": Candidate(f"{null_id} live", native=frame_loop(cam.get_live_frame)),
            "capture": Candidate(f"{null_id} capture", native=frame_loop(cam.capture_single_frame)),
        }
        harness.measure(list(candidates.values()), job["rounds"], job["target_ns"])
        cam.close()
        ns[null_id] = {method: c.samples for method, c in candidates.items()}
    check_null_sdk(job["sdk_dir"], lib)
    return {"sdk_library": os.path.relpath(library, ROOT), "ns": ns}


def fps_summary(samples_ns):
    return harness.summary([1e9 / v for v in samples_ns if v > 0])


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
