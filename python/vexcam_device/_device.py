"""One opened camera with what the SDK cannot tell about it: sensor, depth, readout, controls."""

from __future__ import annotations

import threading
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray
import vexcam

from ._config import CONTROL_IDS, Config, Control

if TYPE_CHECKING:
    from types import TracebackType


class Region(NamedTuple):
    """A readout region: origin and size, in sensor pixels or in binned pixels as stated."""

    x: int
    y: int
    width: int
    height: int


@dataclass(frozen=True)
class ExposureRecord:
    """One exposure: the frame and the settings it was taken with.

    `start` is the host's clock (UTC) when the exposure was asked of the SDK, which reports no
    time of its own; `region` is in sensor pixels. Values the camera lacks are None.
    """

    frame: NDArray[Any]
    camera_id: str
    start: datetime
    exposure_us: int
    binning: int
    region: Region
    bit_depth: int
    gain: float | None
    offset: float | None
    sensor_temperature: float | None
    cooler_on: bool | None
    cooler_target: float | None
    pixel_size_um: float | None
    sensor_name: str
    firmware: str

    @property
    def exposure_s(self) -> float:
        return self.exposure_us / 1e6

    @property
    def binned_region(self) -> Region:
        return binned(self.region, self.binning)


def binned(region: Region, binning: int) -> Region:
    """`region` (sensor pixels) in pixels of `binning`: the frame's own size and origin."""
    x, y, width, height = region
    return Region(x // binning, y // binning, width // binning, height // binning)


class Device:
    """A VEXCAM camera with its sensor, depth, readout region, binning and controls.

    `open()` opens the camera, reads one frame at binning 1 for the sensor's size and sample
    type, and sets the whole sensor as the region. The region and binning are kept here as set,
    since the SDK cannot report them, and always describe the next frame's pixels exactly: a
    binning change moves the region's origin and size onto the new bin grid. Controls are
    reached by role (`get`, `set`), with the numbers and ranges of the configuration.

    Thread-safe: settings change under one lock, and one exposure runs at a time; reads of
    controls and of the kept settings may run while an exposure waits.
    """

    def __init__(self, camera_id: str, config: Config | None = None, *, bit_depth: int | None = None) -> None:
        self.id = camera_id
        self.config = config if config is not None else Config.load()
        self._bit_depth_arg = bit_depth
        self._lock = threading.RLock()
        self._exposing = threading.Lock()
        self._camera: vexcam.Camera | None = None
        self.sensor = Region(0, 0, 0, 0)
        self.dtype: np.dtype[Any] = np.dtype(np.uint16)
        self.bit_depth = 16
        self.firmware = ""
        info = self.config.camera(camera_id)
        self.pixel_size_um, self.sensor_name = info.pixel_size_um, info.sensor_name
        self._binning = 1
        self._region = Region(0, 0, 0, 0)
        self.controls: dict[str, Control] = {}  # the configured roles the camera has
        self.other_controls: tuple[int, ...] = ()  # available numbers no role describes

    # --- opening and closing ---

    def open(self) -> None:
        """Opens the camera and learns its sensor; raises what the module raised, leaving it closed."""
        with self._lock:
            if self._camera is not None:
                return
            camera = vexcam.Camera(self.id)
            try:
                camera.init()
                camera.set_bin_mode(1, 1)
                probe = camera.capture_single_frame()  # a camera opens reading its whole sensor
                height, width = probe.shape
                camera.set_resolution(0, 0, width, height)
                firmware = camera.get_firmware_version()
                available = [n for n in CONTROL_IDS if camera.is_control_available(n)]
                bits = self._bit_depth_arg or self.config.camera(self.id).bit_depth
                bits = bits or probe.dtype.itemsize * 8
                if (bits <= 8) != (probe.dtype == np.uint8) or not 1 <= bits <= 16:
                    raise ValueError(f"{self.id}: {bits}-bit samples do not fit its {probe.dtype} frames")
            except BaseException:
                camera.close()
                raise
            self.sensor = Region(0, 0, width, height)
            self.dtype, self.bit_depth, self.firmware = probe.dtype, bits, firmware
            self._binning, self._region = 1, self.sensor
            roles = {c.number: c for c in self.config.controls.values()}
            self.controls = {roles[n].role: roles[n] for n in available if n in roles}
            self.other_controls = tuple(n for n in available if n not in roles)
            self._camera = camera

    def close(self) -> None:
        """Closes the camera; idempotent."""
        with self._lock:
            camera, self._camera = self._camera, None
        if camera is not None:
            camera.close()

    def __enter__(self) -> Device:
        self.open()
        return self

    def __exit__(self, *exc: tuple[type[BaseException], BaseException, TracebackType] | None) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        return self._camera is not None

    @property
    def camera(self) -> vexcam.Camera:
        """The module's camera, for what this layer does not wrap (live streams)."""
        camera = self._camera
        if camera is None:
            raise RuntimeError(f"camera {self.id} is not open")
        return camera

    @property
    def max_adu(self) -> int:
        return (1 << self.bit_depth) - 1

    # --- readout region and binning ---

    @property
    def binning(self) -> int:
        return self._binning

    @property
    def region(self) -> Region:
        """The readout region in sensor pixels."""
        return self._region

    @property
    def binned_region(self) -> Region:
        """The readout region in binned pixels: the next frame's origin and (width, height)."""
        with self._lock:
            return binned(self._region, self._binning)

    def set_binning(self, binning: int) -> None:
        """Sets the binning; the region keeps its place on the sensor, origin and size rounded
        down onto the new grid, so that it describes the next frame's pixels exactly."""
        with self._lock:
            self.check_readout(binning, Region(0, 0, 1, 1))  # before dividing by it
            self._apply(binning, binned(self._region, binning))

    def set_region(self, x: int, y: int, width: int, height: int) -> None:
        """Sets the region in sensor pixels, origin and size rounded down to the binning's grid."""
        with self._lock:
            self._apply(self._binning, binned(Region(x, y, width, height), self._binning))

    def set_binned_region(self, x: int, y: int, width: int, height: int) -> None:
        """Sets the region in binned pixels: the next frame's origin and size."""
        with self._lock:
            self._apply(self._binning, Region(x, y, width, height))

    def set_readout(self, binning: int, region: Region) -> None:
        """Sets binning and region (in pixels of that binning) together."""
        with self._lock:
            self._apply(binning, region)

    def clear_region(self) -> None:
        """The whole sensor, as many binned pixels as fit."""
        with self._lock:
            b = self._binning
            self._apply(b, Region(0, 0, self.sensor.width // b, self.sensor.height // b))

    def check_readout(self, binning: int, region: Region) -> None:
        """ValueError unless `binning` is one of the SDK's and `region` (binned) fits the sensor."""
        if binning not in self.config.binnings:
            raise ValueError(f"binning {binning} is not one of {', '.join(map(str, self.config.binnings))}")
        x, y, width, height = region
        columns, rows = self.sensor.width // binning, self.sensor.height // binning
        if min(x, y) < 0 or min(width, height) < 1 or x + width > columns or y + height > rows:
            raise ValueError(
                f"region ({x}, {y}, {width}, {height}) does not fit the {columns} x {rows} "
                f"pixels of the sensor at binning {binning}"
            )

    def _apply(self, binning: int, region: Region) -> None:
        self.check_readout(binning, region)
        camera = self.camera
        sensor = Region(*(v * binning for v in region))
        previous = self._binning
        if binning != previous:
            # The SDK refuses a bin larger than the region in force: a narrow region first
            # widens to the bin's size at its origin, before the bin changes.
            if min(self._region.width, self._region.height) < binning:
                camera.set_resolution(sensor.x, sensor.y, binning, binning)
                self._region = Region(sensor.x, sensor.y, binning, binning)
            camera.set_bin_mode(binning, binning)
            self._binning = binning
        if sensor != self._region:
            try:
                camera.set_resolution(*sensor)
            except BaseException:
                if binning != previous:
                    # The kept region may lie off the new bin's grid: the old bin, which that
                    # region allowed, comes back, so that the kept state describes the frames.
                    camera.set_bin_mode(previous, previous)
                    self._binning = previous
                raise
            self._region = sensor

    # --- controls ---

    def has(self, role: str) -> bool:
        return role in self.controls

    def control(self, role: str) -> Control:
        control = self.controls.get(role)
        if control is None:
            raise NotImplementedError(f"camera {self.id} has no {role.replace('_', ' ')} control")
        return control

    def get(self, role: str) -> float:
        """The control's value as the camera reports it."""
        return self.camera.get_param(self.control(role).number)

    def set(self, role: str, value: float) -> None:
        """Sets a control, after checking the value against the configured range."""
        control = self.control(role)
        number = control.check(value)
        camera = self.camera
        with self._lock:
            if role == "exposure":
                camera.set_exposure(int(number))
            elif role == "gain":
                camera.set_gain(number)
            elif role == "offset":
                camera.set_offset(number)
            else:
                camera.set_param(control.number, number)

    def maybe(self, role: str) -> float | None:
        """The control's value, or None where the camera lacks it."""
        return self.get(role) if role in self.controls else None

    # --- exposures ---

    @property
    def exposing(self) -> bool:
        return self._exposing.locked()

    def expose(self) -> ExposureRecord:
        """Takes one exposure with the settings in force; one at a time, the GIL released."""
        with self._exposing:
            camera = self.camera
            with self._lock:
                binning, region = self._binning, self._region
                exposure_us = round(self.maybe("exposure") or 0)
                gain, offset = self.maybe("gain"), self.maybe("offset")
                temperature, cooler = self.maybe("sensor_temperature"), self.maybe("cooler")
                target = self.maybe("cooler_target")
            # Outside the settings lock: an exposure may last minutes, and other threads may
            # change settings meanwhile, which apply from the next exposure on.
            start = datetime.now(UTC)
            camera.exp_single_frame()
            frame = camera.get_single_frame()
        return ExposureRecord(
            frame, self.id, start, exposure_us, binning, region, self.bit_depth, gain, offset,
            temperature, None if cooler is None else cooler != 0, target, self.pixel_size_um,
            self.sensor_name, self.firmware,
        )
