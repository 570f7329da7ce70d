"""Runs every callable's success and failure paths in a loop, for a memory checker to watch.

    PYTHONMALLOC=malloc valgrind --leak-check=full --num-callers=40 \\
        .venv/bin/python tools/memcheck_loop.py [ROUNDS]

The cases are the leak tests' table (tests/test_leaks.py): init_sdk, scan_cameras, Camera(...)
and every Camera method, each with good arguments, wrong types, values out of range, SDK
failures scripted in the simulator, a closed camera and failed opens. Each case runs ROUNDS
times (default 200) on small simulated sensors; then full-size frames of two sizes are read
in turn, so the pool of large frame blocks takes, recycles and evicts blocks. Every frame's
samples are read, so a read of memory that was never written shows.

PYTHONMALLOC=malloc lets the checker see Python's own allocations; without it, Python's small
object allocator produces a stream of false reports. Exits 1 if a case ends other than the
table says, or if the module handed the simulator a null or closed handle.
"""

import gc
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import vexcam  # noqa: E402
import vexcam_sim  # noqa: E402
from test_leaks import CASES, SMALL8, SMALL16, ready  # noqa: E402

LARGE_FRAME_ROUNDS = 12
LARGE_CAMERAS = ("VXSIM-M8-001", "VXSIM-M16-002")  # four block sizes between them


def open_for(on):
    if on == "module":
        return None
    camera = vexcam.Camera(SMALL16 if on == "open16" else SMALL8)
    if on == "closed":
        camera.close()
    return camera


def touch(result):
    """Reads what a call handed out, so the checker sees every byte of a frame used."""
    if isinstance(result, np.ndarray):
        return int(np.count_nonzero(result)) + int(np.count_nonzero(result[1:, ::2]))
    if isinstance(result, (str, list)):
        return len(result)
    return 0


def run_case(name, case, rounds):
    vexcam_sim.reset()
    ready(vexcam_sim)
    camera = open_for(case.on)
    problems = []
    try:
        if case.setup:
            case.setup(vexcam_sim, camera)
        args = case.args()
        expected = case.raises or ()
        for _ in range(rounds):
            try:
                touch(case.call(camera, args))
            except expected:
                continue
            if case.raises:
                problems.append(f"{name}: no {case.raises.__name__}")
                break
    finally:
        if camera is not None:
            camera.close()
        del camera
        gc.collect()
    if vexcam_sim.bad_handle_calls():
        problems.append(f"{name}: an SDK function got a null or closed handle")
    return problems


def run_large_frames(rounds):
    vexcam_sim.reset()
    vexcam_sim.set_fast_frames(True)
    vexcam_sim.set_exposure_cap_us(1_000)
    cameras = [vexcam.Camera(camera_id) for camera_id in LARGE_CAMERAS]
    try:
        cameras[1].begin_live()
        for _ in range(rounds):
            kept = cameras[0].capture_single_frame()  # outlives the next read
            touch(cameras[1].get_live_frame())
            touch(kept)
            del kept
    finally:
        for camera in cameras:
            camera.close()


def main(argv):
    rounds = int(argv[1]) if len(argv) > 1 else 200
    problems = []
    for name, case in CASES.items():
        problems += run_case(name, case, rounds)
    run_large_frames(LARGE_FRAME_ROUNDS)
    vexcam_sim.reset()
    gc.collect()
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"memcheck_loop: {len(CASES)} cases x {rounds} rounds, "
          f"{LARGE_FRAME_ROUNDS} rounds of large frames, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
