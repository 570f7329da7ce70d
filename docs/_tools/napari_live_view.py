"""napari's live view of the first simulated camera, the whole window, as a PNG: napari_live_view.py OUT.

What `python -m vexcam_mmcore.gui --live` shows, four seconds into live view. Needs the gui extra
and a display; `make docs-pictures` runs it in .venv-gui under Xvfb.
"""

import sys

import napari
from napari_micromanager.main_window import MainWindow
from qtpy.QtCore import QTimer

from vexcam_mmcore import create_core

out = sys.argv[1]
core = create_core()
viewer = napari.Viewer(title=f"vexcam: {core.getCameraDevice()}")
viewer.window.add_dock_widget(MainWindow(viewer, mmcore=core), name="MicroManager", area="top")
core.startContinuousSequenceAcquisition()


def finish() -> None:
    try:
        viewer.reset_view()
        viewer.screenshot(out, canvas_only=False, flash=False)
    finally:
        core.stopSequenceAcquisition()
        viewer.close()


QTimer.singleShot(4000, finish)
napari.run()
