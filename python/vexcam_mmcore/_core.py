"""A ready UniMMCore with VEXCAM cameras loaded."""

from __future__ import annotations

import atexit
import os
import weakref
from typing import TYPE_CHECKING, Any

import pymmcore
import vexcam
from pymmcore_plus import DeviceInitializationState, find_micromanager
from pymmcore_plus.experimental.unicore import UniMMCore
from vexcam_device import Config

from ._camera import VexcamCamera

if TYPE_CHECKING:
    from pymmcore_plus.experimental.unicore import Device

# The pixel-size preset that create_core() defines. It is keyed on the core's AutoShutter
# property, which create_core() turns off: a preset keyed on a Python device's property never
# becomes current.
PIXEL_SIZE_PRESET = "vexcam"


class VexcamCore(UniMMCore):
    """UniMMCore that reports a VEXCAM camera's bit depth (12, say) instead of its sample width,
    and stops a camera's live stream at once.

    The core's own answer comes from the frames' dtype; its metadata (the pixel format) and
    viewers' contrast ranges follow getImageBitDepth(). The core stops a Python camera's
    sequence by waiting, at most 2 s, for the camera to deliver its next frame, and gives the
    camera no call on stop: this core ends the stream of its VEXCAM cameras first, which wakes
    a frame wait of any length.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._vexcam_cameras: weakref.WeakSet[VexcamCamera] = weakref.WeakSet()
        super().__init__(*args, **kwargs)
        # pymmcore delivers the C++ core's callbacks on a thread of its own. A core still alive
        # when the interpreter finalises has that thread stopped inside its catch-all, and the
        # process aborts ("FATAL: exception not rethrown"); detached at exit, it ends first.
        ref = weakref.ref(self)

        def detach() -> None:
            if (core := ref()) is not None:
                pymmcore.CMMCore.registerCallback(core, None)

        atexit.register(detach)

    def loadPyDevice(self, label: str, device: Device) -> None:
        super().loadPyDevice(label, device)
        if isinstance(device, VexcamCamera):
            self._vexcam_cameras.add(device)

    load_py_device = loadPyDevice

    def _end_streams(self, label: str | None = None) -> None:
        for camera in list(self._vexcam_cameras):
            if label is None or camera.get_label() == label:
                camera.end_stream()

    def stopSequenceAcquisition(self, cameraLabel: str | None = None) -> None:
        # The core has one acquisition thread, and stops it whatever the label.
        self._end_streams()
        super().stopSequenceAcquisition(cameraLabel)

    def unloadDevice(self, label: str) -> None:
        self._end_streams(label)
        super().unloadDevice(label)

    def unloadAllDevices(self) -> None:
        self._end_streams()
        super().unloadAllDevices()

    def reset(self) -> None:
        self._end_streams()
        super().reset()

    def _is_vexcam(self, label: str) -> bool:
        return bool(label) and self.isPyDevice(label) and self.hasProperty(label, "BitDepth")

    def getImageBitDepth(self) -> int:
        label = self.getCameraDevice()
        if self._is_vexcam(label):
            return int(self.getProperty(label, "BitDepth"))
        return super().getImageBitDepth()

    def getPropertyFromCache(self, deviceLabel: str, propName: str) -> Any:
        # The core caches a Python device's values only as they pass through setProperty and
        # getProperty, so the summary of an MDA run would lack the exposure, gain and the rest.
        # A camera's values are read back from it instead; that is what the cache would hold.
        if self._is_vexcam(deviceLabel):
            return self.getProperty(deviceLabel, propName)
        return super().getPropertyFromCache(deviceLabel, propName)


def new_core() -> VexcamCore:
    """An empty VexcamCore, using a Micro-Manager installation's device adapters if there is one."""
    found = find_micromanager(return_first=False)
    # Without an installation the core would log an error about its device adapters, which
    # Python devices do not need: point it at a folder without any instead.
    return VexcamCore(mm_path=found[0] if found else os.path.dirname(__file__))


def load_camera(
    core: UniMMCore,
    camera_id: str,
    label: str | None = None,
    *,
    bit_depth: int | None = None,
    config: Config | None = None,
) -> VexcamCamera:
    """Loads and initialises the camera `camera_id` in `core`, under `label` (default: the id).

    `config` gives the control numbers and ranges and the camera facts the SDK cannot tell
    (default: the simulated SDK's, `vexcam_device.Config.load()`). Raises what opening the
    camera raised (the core itself only logs it), leaving nothing loaded.
    """
    label = label or camera_id
    device = VexcamCamera(camera_id, bit_depth=bit_depth, config=config)
    core.loadPyDevice(label, device)
    core.initializeDevice(label)
    if core.getDeviceInitializationState(label) != DeviceInitializationState.InitializedSuccessfully:
        core.unloadDevice(label)
        raise device.init_error or RuntimeError(f"camera {camera_id} did not initialise")
    if not isinstance(core, VexcamCore):
        # Another core tells of a stop only after waiting up to 2 s on the frame (held weakly).
        core.events.sequenceAcquisitionStopped.connect(device.end_stream)
    return device


def create_core(
    camera_id: str | None = None,
    *,
    all_cameras: bool = True,
    pixel_size_um: float = 1.0,
    core: UniMMCore | None = None,
    config: Config | None = None,
) -> UniMMCore:
    """A core with VEXCAM cameras loaded, initialised and ready for snaps, live and MDA runs.

    Loads every camera that `vexcam.scan_cameras()` finds (only `camera_id` with
    `all_cameras=False`), each labelled by its id, and makes `camera_id` (default: the first
    found) the current camera. With no shutter device the core's automatic shutter is turned
    off, and a pixel size of `pixel_size_um` (at binning 1) is made current, which OME-TIFF
    output needs. Pass `core` to load into a core of your own, and `config` for the vendor's
    control numbers and camera facts (`vexcam_device.Config.load(path)`).
    """
    ids = vexcam.scan_cameras()
    if not ids:
        raise RuntimeError("no VEXCAM camera found")
    current = camera_id or ids[0]
    if current not in ids:
        raise ValueError(f"no camera {current!r}; found {ids}")
    core = core if core is not None else new_core()
    config = config if config is not None else Config.load()
    for camera in ids if all_cameras else [current]:
        load_camera(core, camera, config=config)
    core.setCameraDevice(current)
    core.setAutoShutter(False)
    if pixel_size_um > 0:
        core.definePixelSizeConfig(PIXEL_SIZE_PRESET, "Core", "AutoShutter", "0")
        core.setPixelSizeUm(PIXEL_SIZE_PRESET, pixel_size_um)
        core.setPixelSizeConfig(PIXEL_SIZE_PRESET)
    return core
