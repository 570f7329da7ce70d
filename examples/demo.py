"""A tour of vexcam on one camera, from opening it to a picture on disk.

Lists the cameras and opens the first, applies a readout region, binning, gain, offset and
exposure, takes a single frame, finds an exposure that gives a target brightness, streams
live frames for a few seconds, and saves the last frame as a PNG with a histogram beside it.

    python examples/demo.py                      # first camera, 3 s of live view, into out/
    python examples/demo.py --camera VXSIM-M12-003 --seconds 5 --out /tmp/pictures

Needs Pillow and matplotlib besides vexcam (pip install ".[examples]" in the checkout).
Works the same on the simulated SDK and on a real camera; adapt the settings below to yours.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn


def interrupted() -> NoReturn:
    """Ctrl-C at any step: one line, and the shell's status for an interrupted program."""
    print("Interrupted", flush=True)
    sys.exit(130)


try:  # the imports take a moment, so Ctrl-C may come during them too
    import numpy as np
    import numpy.typing as npt
    from matplotlib.figure import Figure
    from PIL import Image

    import vexcam
except KeyboardInterrupt:
    interrupted()

Frame = npt.NDArray[np.uint8] | npt.NDArray[np.uint16]

# Control numbers of the three settings that have their own setter; get_param reads them back.
GAIN, OFFSET, EXPOSURE = 6, 7, 8

# Readout region in unbinned sensor pixels (x, y, width, height), then the binning: the frame
# is 512 x 384. The region fits every simulated camera; change it for yours.
REGION = (128, 96, 1024, 768)
BINNING = 2
START_GAIN = 10.0
START_OFFSET = 10.0
START_EXPOSURE_US = 5_000

# Automatic exposure: aim at half of full scale, give up after a few tries.
TARGET_FRACTION = 0.5
TOLERANCE = 0.03
MAX_TRIES = 8
MIN_EXPOSURE_US = 10
MAX_EXPOSURE_US = 2_000_000

# A live read may fail at once when the camera has no frame ready; after this long, give up.
LIVE_STALL_S = 2.0


def say(text: str = "") -> None:
    """Prints at once, so that progress shows even when the output goes to a pipe or a log."""
    print(text, flush=True)


def stats(frame: Frame) -> str:
    return (
        f"shape {frame.shape}, dtype {frame.dtype}, "
        f"min {frame.min()}, mean {frame.mean():.1f}, max {frame.max()}"
    )


def bit_depth(frame: Frame) -> int:
    """Bits per sample: 8 for uint8, else the smallest usual depth that holds the brightest sample.

    The module hands over the samples as the camera wrote them, so a 12-bit camera gives values
    up to 4095 in a uint16 array. A frame with a saturated star tells the depth reliably.
    """
    if frame.dtype == np.uint8:
        return 8
    brightest = int(frame.max())
    return next(bits for bits in (10, 12, 14, 16) if brightest < 1 << bits)


def apply_settings(cam: vexcam.Camera) -> None:
    """Applies each setting on its own, so that one the camera refuses does not stop the others."""
    x, y, width, height = REGION
    steps: list[tuple[str, Callable[[], None]]] = [
        (f"readout region {width}x{height} at ({x}, {y})", lambda: cam.set_resolution(*REGION)),
        (f"binning {BINNING}x{BINNING}", lambda: cam.set_bin_mode(BINNING, BINNING)),
        (f"gain {START_GAIN}", lambda: cam.set_gain(START_GAIN)),
        (f"offset {START_OFFSET}", lambda: cam.set_offset(START_OFFSET)),
        (f"exposure {START_EXPOSURE_US} us", lambda: cam.set_exposure(START_EXPOSURE_US)),
    ]
    for what, apply in steps:
        try:
            apply()
            say(f"   set {what}")
        except RuntimeError as exc:
            say(f"   could not set {what}: {exc}")
    # The module keeps no copy of any setting: get_param asks the camera.
    for name, control in (("gain", GAIN), ("offset", OFFSET), ("exposure (us)", EXPOSURE)):
        say(f"   camera reports {name}: {cam.get_param(control):g}")


def auto_expose(cam: vexcam.Camera, exposure_us: int, target: float) -> tuple[int, Frame]:
    """Adjusts the exposure until the mean of a frame is within TOLERANCE of target."""
    for attempt in range(1, MAX_TRIES + 1):
        cam.set_exposure(exposure_us)
        frame = cam.capture_single_frame()
        mean = float(frame.mean())
        say(f"   try {attempt}: exposure {exposure_us:>7} us -> mean {mean:.1f}")
        if abs(mean - target) <= TOLERANCE * target:
            say(f"   settled on {exposure_us} us")
            return exposure_us, frame
        # Brightness grows about in proportion to the exposure time. Limit each step to a
        # factor of 4, so that a black or saturated frame does not send the exposure astray.
        factor = min(max(target / max(mean, 1.0), 0.25), 4.0)
        exposure_us = round(min(max(exposure_us * factor, MIN_EXPOSURE_US), MAX_EXPOSURE_US))
    say(f"   not settled after {MAX_TRIES} tries; keeping {exposure_us} us")
    cam.set_exposure(exposure_us)
    return exposure_us, frame


def stream(cam: vexcam.Camera, seconds: float) -> Frame | None:
    """Reads live frames for `seconds`, printing the frame rate once a second; returns the last."""
    last: Frame | None = None
    cam.begin_live()
    try:
        start = report_at = last_ok = time.monotonic()
        total = since_report = 0
        while (now := time.monotonic()) - start < seconds:
            try:
                last = cam.get_live_frame()  # other threads run while this waits
            except RuntimeError:
                if now - last_ok > LIVE_STALL_S:
                    raise
                time.sleep(0.002)  # no frame ready yet on this camera: try again shortly
                continue
            total += 1
            since_report += 1
            last_ok = time.monotonic()
            if last_ok - report_at >= 1.0:
                fps = since_report / (last_ok - report_at)
                say(
                    f"   {last_ok - start:4.1f} s: {total:4} frames, {fps:5.1f} fps, "
                    f"mean {last.mean():.1f}"
                )
                report_at, since_report = last_ok, 0
        elapsed = time.monotonic() - start
        say(f"   {total} frames in {elapsed:.1f} s: {total / elapsed:.1f} fps on average")
    except BaseException:
        with contextlib.suppress(RuntimeError):  # quietly: the failure is what gets reported
            cam.stop_live()
        raise
    try:
        cam.stop_live()
        say("   live mode stopped")
    except RuntimeError as exc:
        say(f"   could not stop live mode: {exc}")
    return last


def save_png(frame: Frame, bits: int, path: Path) -> None:
    """Saves an 8-bit greyscale PNG: 16-bit samples are scaled from their bit depth to 0..255."""
    if frame.dtype == np.uint8:
        pixels = frame
    else:
        full_scale = (1 << bits) - 1
        pixels = (frame.astype(np.float64) * (255 / full_scale)).round().astype(np.uint8)
    Image.fromarray(pixels).save(path)


def save_histogram(frame: Frame, bits: int, title: str, path: Path) -> None:
    full_scale = (1 << bits) - 1
    figure = Figure(figsize=(8, 4.5), layout="constrained")  # no display or pyplot needed
    axes = figure.add_subplot()
    axes.hist(frame.ravel(), bins=256, range=(0, full_scale + 1), color="tab:blue")
    mean = float(frame.mean())
    axes.axvline(mean, color="tab:red", linestyle="--", label=f"mean {mean:.1f}")
    axes.set_yscale("log")
    axes.set_xlim(0, full_scale + 1)
    axes.set_xlabel(f"sample value ({bits}-bit)")
    axes.set_ylabel("pixels")
    axes.set_title(title)
    axes.legend()
    figure.savefig(path, dpi=100)


def session(cam: vexcam.Camera, camera_id: str, args: argparse.Namespace) -> int:
    """Everything done with the opened camera; returns the exit status."""
    step = "initialising the camera"
    try:
        cam.init()
        say(f"   firmware version {cam.get_firmware_version()}")

        say("2. Settings")
        apply_settings(cam)

        step = "taking a single frame"
        say("3. Single frame")
        frame = cam.capture_single_frame()
        say(f"   {stats(frame)}")
        bits = args.bits or bit_depth(frame)
        full_scale = (1 << bits) - 1

        step = "adjusting the exposure"
        target = TARGET_FRACTION * full_scale
        say(f"4. Automatic exposure: mean {target:.0f} of {full_scale} ({bits}-bit samples)")
        exposure_us, frame = auto_expose(cam, START_EXPOSURE_US, target)

        step = "streaming live frames"
        say(f"5. Live view for {args.seconds:g} s")
        live = stream(cam, args.seconds)
        if live is not None:
            frame = live

        step = "saving the pictures"
        say("6. Pictures of the last frame")
        args.out.mkdir(parents=True, exist_ok=True)
        png = args.out / "frame.png"
        save_png(frame, bits, png)
        say(f"   {png.name}: {frame.shape[1]}x{frame.shape[0]} greyscale")
        histogram = args.out / "histogram.png"
        title = f"{camera_id}: exposure {exposure_us} us, gain {cam.get_param(GAIN):g}"
        save_histogram(frame, bits, title, histogram)
        say(f"   {histogram.name}: histogram of the sample values")
    except (RuntimeError, OSError) as exc:  # the camera's, or the disk's when saving
        say(f"Error while {step}: {exc}")
        return 1
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--camera", help="id of the camera to use (default: the first found)")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of the live view")
    parser.add_argument("--out", type=Path, default=Path("out"), help="output folder")
    parser.add_argument("--bits", type=int, help="bits per sample (default: from the frame)")
    args = parser.parse_args()

    say("1. Cameras")
    try:
        ids = vexcam.scan_cameras()
    except RuntimeError as exc:
        say(f"Error while listing the cameras: {exc}")
        return 1
    for index, found in enumerate(ids):
        say(f"   [{index}] {found}")
    if not ids:
        say("   no camera found")
        return 1
    camera_id = args.camera or ids[0]

    try:
        cam = vexcam.Camera(camera_id)
    except RuntimeError as exc:
        say(f"Error while opening {camera_id}: {exc}")
        return 1
    say(f"   opened {camera_id}")
    try:
        status = session(cam, camera_id, args)
    except BaseException:
        with contextlib.suppress(RuntimeError):
            cam.close()
        raise
    try:
        cam.close()
        say(f"7. Closed {camera_id}")
    except RuntimeError as exc:
        say(f"Error while closing {camera_id}: {exc}")
    if status == 0:
        say(f"Output folder: {args.out.resolve()}")
    return status


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        interrupted()
