"""vexcam's benchmark suite: calls, frames, live streams, GIL release, start-up and memory.

    python bench/run.py [--quick] [--out build/bench/results.json]

Builds the native peers (bench/native) into build/bench/native, measures every case side by
side with its alternatives in this one process (call overhead over the do-nothing SDK, start-up
and memory in fresh interpreters), prints the tables and writes them, with the machine they ran
on, as JSON. See README.md.
"""

import argparse
import json
import os
import sys

from alpaca_case import bench_alpaca
from cases import (
    bench_calls,
    bench_calls_null_sdk,
    bench_frames,
    bench_gil,
    bench_live,
    bench_memory,
    bench_startup,
    null_sdk_child,
)
from environment import BUILD, build_native, machine_info
from indi_case import bench_indi
from mmcore_case import bench_mmcore
from report import goals, render


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    parser.add_argument("--out", default=os.path.join(BUILD, "results.json"))
    parser.add_argument(
        "--only",
        default="calls_null_sdk,calls,frames,live,gil,startup,memory,mmcore,alpaca,indi",
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
    if "live" in sections:
        print("measuring the simulator's live streams ...", file=sys.stderr)
        report["live"] = bench_live(
            mods,
            null_sdk_dir,
            module_dirs,
            rounds=3 if quick else 9,
            target_ns=1.5e8 if quick else 4e8,
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
    if "mmcore" in sections:
        print("measuring live frames through pymmcore-plus ...", file=sys.stderr)
        report["mmcore"] = bench_mmcore(
            vexcam_sim, rounds=5 if quick else 15, target_ns=5e7 if quick else 2e8
        )
    if "alpaca" in sections:
        print("measuring the Alpaca server ...", file=sys.stderr)
        report["alpaca"] = bench_alpaca(rounds=5 if quick else 15, poll_seconds=3 if quick else 10)
    if "indi" in sections:
        print("measuring FITS images through indiserver ...", file=sys.stderr)
        report["indi"] = bench_indi(3 if quick else 9, os.path.join(BUILD, "indi"))
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
