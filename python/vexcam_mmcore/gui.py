"""Live view: napari with napari-micromanager on a core carrying the VEXCAM cameras.

    python -m vexcam_mmcore.gui [--camera ID] [--exposure MS] [--live] [--config FILE]

Needs the `gui` extra (`pip install "vexcam[gui]"`) and a display. The window's toolbar has
snap, live and the exposure; its MDA panel runs multi-dimensional acquisitions into napari.
`--screenshot PATH` (with `--quit-after`) saves the canvas and the preview layer's data
beside it, as PATH and PATH.npy, then quits: that is how the tests look at the window.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from vexcam_device import Config, ConfigError

from ._core import create_core

if TYPE_CHECKING:
    from collections.abc import Sequence

    import napari
    from pymmcore_plus import CMMCorePlus


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m vexcam_mmcore.gui", description=__doc__.split("\n")[0])
    parser.add_argument("--camera", help="camera id to show first (default: the first found)")
    parser.add_argument("--exposure", type=float, help="exposure time in milliseconds")
    parser.add_argument("--live", action="store_true", help="start live view at once")
    parser.add_argument("--config", metavar="FILE",
                        help="control numbers and camera facts (default: the simulated SDK's)")
    parser.add_argument("--screenshot", metavar="PATH", help="save the canvas as PNG before quitting")
    parser.add_argument("--quit-after", type=float, metavar="S", help="quit after S seconds")
    return parser


def _save(viewer: napari.Viewer, core: CMMCorePlus, path: str) -> None:
    import numpy as np

    core.stopSequenceAcquisition()  # the picture and the layer then hold the same frame
    layer = viewer.layers["preview"]
    viewer.reset_view()
    viewer.screenshot(path, canvas_only=True, flash=False)
    np.save(path + ".npy", np.asarray(layer.data))


def main(argv: Sequence[str] | None = None) -> None:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        config = None if args.config is None else Config.load(args.config)
    except ConfigError as exc:
        parser.error(str(exc))
    import napari
    from napari_micromanager.main_window import MainWindow
    from qtpy.QtCore import QTimer

    core = create_core(args.camera, config=config)
    if args.exposure is not None:
        core.setExposure(args.exposure)
    viewer = napari.Viewer(title=f"vexcam: {core.getCameraDevice()}")
    window = MainWindow(viewer, mmcore=core)
    viewer.window.add_dock_widget(window, name="MicroManager", area="top")
    if args.live:
        core.startContinuousSequenceAcquisition()
    if args.quit_after is not None:

        def finish() -> None:
            try:
                if args.screenshot:
                    _save(viewer, core, args.screenshot)
            finally:
                viewer.close()

        QTimer.singleShot(round(args.quit_after * 1000), finish)
    napari.run()


if __name__ == "__main__":
    main()
