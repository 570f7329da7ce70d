"""Live frames through pymmcore-plus (vexcam_mmcore's camera device in a UniMMCore) against the
module's own get_live_frame() loop, with the simulator in fast mode."""

import time

import harness
import vexcam

# (label, camera, readout region or None for the whole sensor)
SIZES = [
    ("640x480 uint8", "VXSIM-M8-001", (0, 0, 640, 480)),
    ("2048x2048 uint16", "VXSIM-M16-002", None),  # 8 MiB, the largest size the goal covers
    ("4096x4096 uint16", "VXSIM-L16-004", None),  # 32 MiB: what the framework's copies cost
]
GOAL = 1.10  # framework ms/frame within this factor of the module's, up to 8 MiB frames
GOAL_MAX_BYTES = 8 * 2**20
BUFFER_MB = 1024  # the core's sequence buffer: room for a burst of the largest frames


def bench_mmcore(sim, rounds, target_ns):
    """One section: per size, ns per frame of each path, interleaved in rounds."""
    try:
        import vexcam_mmcore
    except ImportError as exc:
        return {"skipped": f"the mmcore extra is not installed ({exc})"}
    import pymmcore_plus

    sim.reset()
    sim.set_fast_frames(True)
    sim.set_exposure_cap_us(0)
    sim.allow_shared_open()  # the module's own loop opens the camera beside the core's device
    results = []
    for label, camera_id, region in SIZES:
        core = vexcam_mmcore.create_core(camera_id, all_cameras=False)
        core.setCircularBufferMemoryFootprint(BUFFER_MB)
        core.setExposure(0)
        if region is not None:
            core.setROI(*region)
        direct = vexcam.Camera(camera_id)
        direct.set_exposure(0)
        if region is not None:
            direct.set_resolution(*region)

        def module_loop(n, cam=direct):
            cam.begin_live()
            t0 = time.perf_counter_ns()
            for _ in range(n):
                cam.get_live_frame()
            elapsed = time.perf_counter_ns() - t0
            cam.stop_live()
            return elapsed / n

        def framework_loop(n, core=core):
            # As a consumer of the core would: pop what has arrived, nap when nothing has.
            t0 = time.perf_counter_ns()
            core.startSequenceAcquisition(n, 0, True)
            popped = 0
            while popped < n:
                if core.getRemainingImageCount():
                    core.popNextImage()
                    popped += 1
                elif core.isSequenceRunning():
                    time.sleep(0.0002)
                else:
                    raise RuntimeError(f"the sequence ended after {popped} of {n} frames")
            return (time.perf_counter_ns() - t0) / n

        def acquire_loop(n, core=core):
            # Only into the core's buffer: what the camera device sustains, before any consumer.
            t0 = time.perf_counter_ns()
            core.startSequenceAcquisition(n, 0, True)
            while core.isSequenceRunning():
                time.sleep(0.0002)
            elapsed = time.perf_counter_ns() - t0
            if core.getRemainingImageCount() != n:
                raise RuntimeError(f"{core.getRemainingImageCount()} of {n} frames arrived")
            core.clearCircularBuffer()
            return elapsed / n

        frame = direct.capture_single_frame()
        info = {"shape": list(frame.shape), "dtype": str(frame.dtype), "bytes": frame.nbytes}
        del frame
        candidates = {
            "module": harness.Candidate(f"{label} module", native=module_loop),
            "framework": harness.Candidate(f"{label} framework", native=framework_loop),
            "acquire": harness.Candidate(f"{label} acquire", native=acquire_loop),
        }
        harness.measure(list(candidates.values()), rounds, target_ns)
        direct.close()
        core.unloadAllDevices()
        s = {k: c.samples for k, c in candidates.items()}
        results.append(
            {
                "case": label,
                "frame": info,
                "frames_per_sample": {k: c.n for k, c in candidates.items()},
                "ms": {k: _ms(v) for k, v in s.items()},
                "fps": {k: 1e9 / harness.summary(v)["median"] for k, v in s.items()},
                "ratio": harness.ratio(s["framework"], s["module"]),
                "acquire_ratio": harness.ratio(s["acquire"], s["module"]),
                "samples_ns": s,
            }
        )
    sim.reset()
    return {
        "rounds": rounds,
        "pymmcore_plus": pymmcore_plus.__version__,
        "cases": results,
    }


def _ms(samples_ns):
    s = harness.summary(samples_ns)
    return {k: (v / 1e6 if k in ("median", "p25", "p75", "min", "max") else v) for k, v in s.items()}


def goals(section):
    """The goal rows, in the shape report.goals() gives them."""
    out = []
    for case in section.get("cases", []):
        if case["frame"]["bytes"] > GOAL_MAX_BYTES:
            continue
        v = case["ratio"]["median"]
        out.append(
            {
                "goal": f"mmcore live {case['case']}: framework/module ms per frame",
                "value": v,
                "target": f"<= {GOAL}",
                "met": v <= GOAL,
                "note": "",
            }
        )
    return out


def render(section, table):
    """The section's table, as lines for report.render()."""
    if "skipped" in section:
        return ["", f"pymmcore-plus: skipped, {section['skipped']}"]
    rows = [
        [
            c["case"],
            f"{c['frame']['bytes'] / 2**20:.2f}",
            f"{c['fps']['module']:.0f}",
            f"{c['ms']['module']['median']:.3f}",
            f"{c['fps']['framework']:.0f}",
            f"{c['ms']['framework']['median']:.3f}",
            f"{c['ms']['framework']['rel_iqr']:.2f}",
            f"{c['ratio']['median']:.2f}",
            f"{c['ms']['acquire']['median']:.3f}",
            f"{c['acquire_ratio']['median']:.2f}",
        ]
        for c in section["cases"]
    ]
    return [
        "",
        f"Live frames through pymmcore-plus {section['pymmcore_plus']} (UniMMCore, vexcam_mmcore)"
        " against the module's get_live_frame() loop,\nsimulator in fast mode; median of "
        f"{section['rounds']} interleaved rounds; framework: startSequenceAcquisition(n) and\n"
        "popNextImage() of every frame (as the MDA engine does); fw/mod: ratio of ms per frame;\n"
        "buffer: the same frames into the core's buffer only, none popped",
        table(
            ["case", "MiB", "module fps", "ms", "framework fps", "ms", "spread", "fw/mod",
             "buffer ms", "buf/mod"],
            rows,
        ),
    ]
