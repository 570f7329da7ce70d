"""The report of a benchmark run: the goals, judged from the measured figures, and the tables
printed from them."""

import alpaca_case
import indi_case
import mmcore_case

CALL_GOAL_FLOOR = 1.2  # vexcam within this factor of the floor
CALL_GOAL_PYBIND = 8.0  # vexcam at least this many times faster than the pybind11 peer
FRAME_GOAL_FLOOR_32M = 1.5
GIL_GOAL = 0.9
# Short column headers of the live-stream cases (cases.LIVE_CASES)
LIVE_HEADERS = {
    "live, noise": "live on",
    "live, no noise": "live off",
    "capture 0 µs, noise": "capture on",
    "capture 0 µs, no noise": "capture off",
    "live bin 2, noise": "bin 2 on",
    "live centre 1/4, noise": "centre on",
}


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
    live = report.get("live")
    if live:
        for cam in live["cameras"]:
            fps, target = cam["fps"], cam["goal_fps"]
            floor = cam["floor_fps"]["live"]["median"]
            for case in ("live, noise", "live, no noise", "capture 0 µs, noise"):
                v = fps[case]["median"]
                goal(
                    f"{cam['camera']} {case}: frames/s",
                    v,
                    f">= {target}",
                    v >= target,
                    f"floor {floor:.0f}" if case == "live, noise" else "",
                )
            for key, case in (("bin2_speedup", "bin 2"), ("centre_speedup", "centre 1/4")):
                v = cam[key]["median"]
                goal(
                    f"{cam['camera']} live {case}, noise: frames/s over the full sensor's",
                    v,
                    ">= 1.0",
                    v >= 1.0,
                    f"{fps['live ' + case + ', noise']['median']:.0f} frames/s",
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
    if report.get("mmcore"):
        out += mmcore_case.goals(report["mmcore"])
    if report.get("alpaca"):
        out += alpaca_case.goals(report["alpaca"])
    if report.get("indi"):
        out += indi_case.goals(report["indi"])
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
    live = report.get("live")
    if live:
        cases = list(live["cameras"][0]["fps"])
        rows = []
        for cam in live["cameras"]:
            fps = cam["fps"]
            rows.append(
                [cam["camera"], f"{cam['sensor'][0]}x{cam['sensor'][1]}", str(cam["goal_fps"])]
                + [med(fps[case], 0) for case in cases]
                + [spread(fps["live, noise"]), med(cam["floor_fps"]["live"], 0)]
                + [fmt(cam["live_noise_over_floor"], 1)]
            )
        parts += [
            "",
            "Live streams of the simulator at its full sensor: frames/s, median of "
            f"{live['rounds']} interleaved rounds\n"
            f"control 9 = {live['frame_rate']} frames/s, exposure {live['exposure_us']} µs "
            "(capture: 0 µs); goal: the frames/s a sensor of that size reads out\n"
            "on/off: sensor noise; centre: the middle quarter of the sensor; floor: "
            "get_live_frame() of a frame of\nthe same size from the do-nothing SDK, the module's "
            "own share; x floor: the noisy live frame's time over the floor's",
            table(
                ["camera", "sensor", "goal"]
                + [LIVE_HEADERS.get(c, c) for c in cases]
                + ["spread", "floor", "x floor"],
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
    if report.get("mmcore"):
        parts += mmcore_case.render(report["mmcore"], table)
    if report.get("alpaca"):
        parts += alpaca_case.render(report["alpaca"], table)
    if report.get("indi"):
        parts += indi_case.render(report["indi"], table)
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
