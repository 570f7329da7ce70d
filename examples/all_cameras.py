"""Opens every connected camera, lists what each offers, and takes a frame from all at once.

capture_single_frame() lets other threads run while the camera exposes and transfers the
frame, so one thread per camera takes all the frames at the same time.

    python examples/all_cameras.py [--exposure-us 10000]
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import numpy.typing as npt

import vexcam

Frame = npt.NDArray[np.uint8] | npt.NDArray[np.uint16]

# Every control number the module accepts; which of them a camera has is up to the camera.
CONTROL_IDS = [*range(0, 38), *range(39, 42), *range(57, 60)]


def describe(cam: vexcam.Camera) -> str:
    cam.init()
    controls = [c for c in CONTROL_IDS if cam.is_control_available(c)]
    return f"firmware {cam.get_firmware_version()}, controls {controls}"


def capture(cam: vexcam.Camera) -> tuple[Frame, float]:
    start = time.monotonic()
    frame = cam.capture_single_frame()
    return frame, time.monotonic() - start


def survey(ids: list[str], exposure_us: int) -> int:
    with contextlib.ExitStack() as closing:  # closes every camera opened, whatever happens
        cameras: dict[str, vexcam.Camera] = {}
        for camera_id in ids:
            try:
                cam = closing.enter_context(contextlib.closing(vexcam.Camera(camera_id)))
                print(f"  {camera_id}: {describe(cam)}")
                cam.set_exposure(exposure_us)
                cameras[camera_id] = cam
            except RuntimeError as exc:
                print(f"  {camera_id}: skipped, {exc}")
        if not cameras:
            return 1

        print(f"Exposing {len(cameras)} camera(s) at once, {exposure_us} us each")
        start = time.monotonic()
        busy = 0.0
        with ThreadPoolExecutor(max_workers=len(cameras)) as pool:
            futures = {camera_id: pool.submit(capture, cam) for camera_id, cam in cameras.items()}
        for camera_id, future in futures.items():
            try:
                frame, seconds = future.result()
            except RuntimeError as exc:
                print(f"  {camera_id}: no frame, {exc}")
                continue
            height, width = frame.shape
            print(
                f"  {camera_id}: {width}x{height} {frame.dtype}, mean {frame.mean():8.1f}, "
                f"max {frame.max():5}, {seconds:.2f} s"
            )
            busy += seconds
        elapsed = time.monotonic() - start
        print(f"All frames in {elapsed:.2f} s; the captures took {busy:.2f} s added up")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description="Every camera, one frame each, in parallel.")
    parser.add_argument("--exposure-us", type=int, default=10_000, help="exposure time")
    args = parser.parse_args()

    try:
        ids = vexcam.scan_cameras()
    except RuntimeError as exc:
        print(f"Cannot list the cameras: {exc}")
        return 1
    print(f"{len(ids)} camera(s) found")

    try:
        return survey(ids, args.exposure_us)
    except RuntimeError as exc:  # for instance a camera that fails to close
        print(f"Camera error: {exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
