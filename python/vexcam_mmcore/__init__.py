"""VEXCAM cameras inside pymmcore-plus: Python camera devices for its UniMMCore.

    import vexcam_mmcore

    core = vexcam_mmcore.create_core()      # every camera found, the first one current
    core.setExposure(20)                    # milliseconds
    core.snapImage()
    frame = core.getImage()

`VexcamCamera(camera_id)` is the device itself, for a core of your own
(`core.loadPyDevice(label, VexcamCamera(id))`, then `core.initializeDevice(label)`). Needs the
`mmcore` extra: `pip install "vexcam[mmcore]"`.
"""

from ._camera import FRAME_INDEX, READ_TIME, VexcamCamera
from ._core import PIXEL_SIZE_PRESET, VexcamCore, create_core, load_camera, new_core

__all__ = [
    "FRAME_INDEX",
    "PIXEL_SIZE_PRESET",
    "READ_TIME",
    "VexcamCamera",
    "VexcamCore",
    "create_core",
    "load_camera",
    "new_core",
]
