"""Plots of `make bench` results for the site: bench_plots.py RESULTS.json OUT_DIR.

bench-live.png: frames per second of each simulated camera's full-sensor live stream (with and
without noise, binned, cropped) beside the goal and the module alone over the do-nothing SDK.
bench-calls.png: the cost of each call through vexcam and its peers against the floor, a call
of a built-in function, over the simulator. Medians over the rounds; the whiskers span the
middle half of them.
"""

import json
import sys
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

LIVE_CASES = ["live, noise", "live, no noise", "live bin 2, noise", "live centre 1/4, noise"]
CALL_PEERS = [("floor", "floor"), ("vexcam", "vexcam"), ("handwritten", "hand-written C"),
              ("pybind11", "pybind11"), ("ctypes", "ctypes")]


def _errors(summaries):
    """Whiskers from the median to the quartiles."""
    return np.array([[s["median"] - s["p25"] for s in summaries],
                     [s["p75"] - s["median"] for s in summaries]])


def _caption(machine):
    load = machine.get("load_average_start") or machine.get("load_average")
    parts = [machine.get("commit", ""), machine.get("cpu", ""), f"{machine.get('cpus', '?')} CPUs"]
    if load:
        parts.append(f"load {load[0]:.1f}")
    return "  ·  ".join(str(p) for p in parts if p)


def live_plot(report, out):
    cameras = report["live"]["cameras"]
    figure = Figure(figsize=(9, 4.6), layout="constrained")
    axes = figure.subplots()
    x = np.arange(len(cameras))
    width = 0.8 / (len(LIVE_CASES) + 1)
    for n, case in enumerate(LIVE_CASES):
        summaries = [c["fps"][case] for c in cameras]
        axes.bar(x + n * width, [s["median"] for s in summaries], width, label=case,
                 yerr=_errors(summaries), capsize=2)
    floors = [c["floor_fps"]["live"] for c in cameras]
    axes.bar(x + len(LIVE_CASES) * width, [s["median"] for s in floors], width, yerr=_errors(floors),
             capsize=2, label="module alone (do-nothing SDK)", color="0.6")
    for n, camera in enumerate(cameras):
        axes.hlines(camera["goal_fps"], n - width / 2, n + 0.8 - width / 2, colors="k",
                    linestyles="dashed", label="goal" if n == 0 else None)
    axes.set_xticks(x + 0.4 - width / 2,
                    [f"{c['camera']}\n{c['sensor'][0]}x{c['sensor'][1]}" for c in cameras])
    axes.set_yscale("log")
    axes.set_ylabel("frames per second (log scale)")
    axes.set_title(f"Live streams at a {report['live']['exposure_us']} µs exposure\n"
                   + _caption(report["machine"]), fontsize=10)
    axes.legend(fontsize=8, ncols=2)
    figure.savefig(out, dpi=110)


def calls_plot(report, out):
    cases = report["calls"]["cases"]
    peers = [(key, label) for key, label in CALL_PEERS if all(key in c["ns"] for c in cases)]
    figure = Figure(figsize=(9, 4.6), layout="constrained")
    axes = figure.subplots()
    y = np.arange(len(cases))
    height = 0.8 / len(peers)
    for n, (key, label) in enumerate(peers):
        summaries = [c["ns"][key] for c in cases]
        axes.barh(y + n * height, [s["median"] for s in summaries], height, label=label,
                  xerr=_errors(summaries), capsize=2, color="0.6" if key == "floor" else None)
    axes.set_yticks(y + 0.4 - height / 2, [c["case"] for c in cases], fontsize=8)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlabel("ns per call over the simulated SDK, net of the empty loop (log scale)")
    axes.set_title("The cost of a call against the floor\n" + _caption(report["machine"]), fontsize=10)
    axes.legend(fontsize=8)
    figure.savefig(out, dpi=110)


def main():
    results, out_dir = Path(sys.argv[1]), Path(sys.argv[2])
    report = json.loads(results.read_text())
    for section in ("live", "calls"):
        if section not in report:
            sys.exit(f"{results} has no {section} section: run bench/run.py --only calls,live")
    live_plot(report, out_dir / "bench-live.png")
    calls_plot(report, out_dir / "bench-calls.png")


if __name__ == "__main__":
    main()
