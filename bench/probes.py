"""Measurements that need a fresh interpreter; run.py starts one per measurement.

    python probes.py import vexcam|ctypes|pybind11 LIB_DIR MODULES_DIR
    python probes.py memory vexcam|ctypes LIB_DIR FRAMES

Each prints one JSON object on standard output.
"""

import json
import sys
import time

M12 = "VXSIM-M12-003"  # 1920 x 1080, 12-bit: uint16 frames of 4147200 bytes


def probe_import(which, lib_dir, modules_dir):
    sys.path.insert(0, modules_dir)
    start = time.perf_counter_ns()
    if which == "vexcam":
        import vexcam  # noqa: F401
    elif which == "ctypes":
        import numpy  # noqa: F401 - the peer needs it for every frame

        import peers

        peers.load_sdk(lib_dir)
    elif which == "pybind11":
        import _bench_pybind  # noqa: F401
    else:
        raise SystemExit(f"unknown import probe {which}")
    elapsed = time.perf_counter_ns() - start
    return {"ms": elapsed / 1e6, "numpy_imported": "numpy" in sys.modules}


def status_bytes(field):
    # VmHWM, not ru_maxrss: the latter starts from the parent's peak after fork and exec.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def rss_bytes():
    return status_bytes("VmRSS")


def peak_rss_bytes():
    return status_bytes("VmHWM")


def probe_memory(which, lib_dir, frames):
    import vexcam
    import vexcam_sim

    vexcam_sim.reset()
    vexcam_sim.set_fast_frames(True)
    vexcam_sim.set_exposure_cap_us(0)
    if which == "vexcam":
        cam = vexcam.Camera(M12)
    else:
        import peers

        cam = peers.CtypesCamera(peers.load_sdk(lib_dir), M12)
    cam.set_exposure(0)
    before_first = peak_rss_bytes()
    frame = cam.capture_single_frame()
    after_first = peak_rss_bytes()
    for _ in range(10):  # steady state: the allocator has seen this size come and go
        frame = cam.capture_single_frame()
    baseline = peak_rss_bytes()
    current = []
    start = time.perf_counter()
    for i in range(frames):
        frame = cam.capture_single_frame()
        if i % 100 == 0:
            current.append(rss_bytes())
    elapsed = time.perf_counter() - start
    peak = peak_rss_bytes()
    return {
        "frames": frames,
        "frame_bytes": frame.nbytes,
        "shape": list(frame.shape),
        "dtype": str(frame.dtype),
        "peak_before_first_capture": before_first,
        "peak_after_first_capture": after_first,
        "peak_baseline": baseline,
        "peak_end": peak,
        "growth_bytes": peak - baseline,
        "growth_frames": (peak - baseline) / frame.nbytes,
        "rss_min": min(current),
        "rss_max": max(current),
        "ms_per_frame": elapsed * 1e3 / frames,
    }


def main(argv):
    kind, which, lib_dir, extra = argv[1], argv[2], argv[3], argv[4]
    if kind == "import":
        result = probe_import(which, lib_dir, extra)
    elif kind == "memory":
        result = probe_memory(which, lib_dir, int(extra))
    else:
        raise SystemExit(f"unknown probe {kind}")
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv)
