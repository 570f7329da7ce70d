"""Live view on a background thread while the main thread changes the gain.

get_live_frame() lets other Python threads run while it waits for the camera, so a viewer
thread can read frames continuously while the main thread adjusts settings on the same camera.

    python examples/live_gain.py [--camera ID]
"""

from __future__ import annotations

import argparse
import sys
import threading
import time

# Imported before the viewer thread starts, so that no frame read imports it: a fork() during
# that import, from any thread, would leave the child waiting on the import's lock.
import numpy as np

import vexcam

GAINS = (0.0, 10.0, 20.0, 40.0)
SECONDS_PER_GAIN = 1.0
EXPOSURE_US = 5_000
# A live read may fail at once when no frame is ready; after this long without one, give up.
STALL_S = 2.0


class LiveView(threading.Thread):
    """Reads live frames until stopped, keeping a count and the mean of the newest frame."""

    def __init__(self, cam: vexcam.Camera) -> None:
        super().__init__(name="live-view")
        self.cam = cam
        self.stopping = threading.Event()
        self.lock = threading.Lock()  # guards the three fields below
        self.frames = 0
        self.mean = float("nan")
        self.error: RuntimeError | None = None

    def run(self) -> None:
        last_frame = time.monotonic()
        while not self.stopping.is_set():
            try:
                frame = self.cam.get_live_frame()
            except RuntimeError as exc:
                if time.monotonic() - last_frame > STALL_S:
                    with self.lock:
                        self.error = exc
                    return
                time.sleep(0.002)
                continue
            last_frame = time.monotonic()
            mean = float(np.mean(frame))  # numpy work outside the lock
            with self.lock:
                self.frames += 1
                self.mean = mean

    def snapshot(self) -> tuple[int, float, RuntimeError | None]:
        with self.lock:
            return self.frames, self.mean, self.error


def sweep_gain(cam: vexcam.Camera) -> int:
    cam.init()
    cam.set_exposure(EXPOSURE_US)
    cam.begin_live()
    print(f"Live view at {EXPOSURE_US} us exposure; the main thread changes the gain")
    viewer = LiveView(cam)
    viewer.start()
    try:
        for gain in GAINS:
            cam.set_gain(gain)  # the viewer keeps reading meanwhile
            before, _, _ = viewer.snapshot()
            time.sleep(SECONDS_PER_GAIN)
            frames, mean, error = viewer.snapshot()
            if error is not None:
                print(f"Live view stopped: {error}")
                return 1
            print(
                f"gain {gain:5.1f}: {frames - before:3} frames in {SECONDS_PER_GAIN:g} s, "
                f"mean of the newest {mean:7.1f}",
                flush=True,
            )
    finally:
        # Join before stop_live() and close(): close() leaves the camera open while another
        # thread is inside a frame read on it.
        viewer.stopping.set()
        viewer.join()
        cam.stop_live()
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description="Live view while the gain changes.")
    parser.add_argument("--camera", help="id of the camera to use (default: the first found)")
    args = parser.parse_args()
    try:
        ids = vexcam.scan_cameras()
        if not ids:
            print("No camera found")
            return 1
        cam = vexcam.Camera(args.camera or ids[0])
    except RuntimeError as exc:
        print(f"Cannot open a camera: {exc}")
        return 1
    try:
        try:
            return sweep_gain(cam)
        finally:
            cam.close()
    except RuntimeError as exc:
        print(f"Camera error: {exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
