"""A VEXCAM camera as a Python camera device of UniMMCore."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
import vexcam
from pymmcore_plus import Keyword, PixelFormat
from pymmcore_plus.experimental.unicore import CameraDevice

from ._controls import (
    BINNINGS,
    CONTROL_IDS,
    CONTROLS,
    EXPOSURE,
    SIMULATED_BIT_DEPTHS,
    Control,
)
from ._stream import LiveStream

if TYPE_CHECKING:
    from collections.abc import Iterator, Mapping, Sequence

    from numpy.typing import DTypeLike

# Metadata keys of each frame, beside the core's own (image number, elapsed time, ...).
FRAME_INDEX = "VexcamFrameIndex"  # frames this adapter read since live mode started
READ_TIME = "VexcamReadTime-ms"  # when the SDK's read returned, from the start of live mode
_MAX_EXPOSURE_MS = (2**32 - 1) / 1000


class _Choices(tuple[int, ...]):
    """Allowed values that also admit their text and float forms: configs and GUIs send "2"."""

    def __contains__(self, value: object) -> bool:
        try:
            number = float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            return False
        return tuple.__contains__(self, number)


def _constant(value: Any) -> Callable[[VexcamCamera], Any]:
    return lambda _device: value


def _simulator_loaded() -> bool:
    try:
        import vexcam_sim  # noqa: F401 - raises RuntimeError under a vendor's SDK
    except (ImportError, RuntimeError):
        return False
    return True


class VexcamCamera(CameraDevice):
    """A VEXCAM camera: opened by `initialize()`, closed by `shutdown()`.

    The SDK reports neither the sensor's size, its bit depth, the readout region, the binning
    nor the controls' ranges, so the device learns the sensor from one exposure when it
    opens, keeps region, binning and stream mode as it sets them, and takes control ranges
    from a table. `bit_depth` names the sensor's depth where the frames cannot tell it (a
    12-bit camera delivers 16-bit samples); by default it is the simulator's for its own
    cameras, else the width of the samples.
    """

    def __init__(self, camera_id: str, *, bit_depth: int | None = None) -> None:
        super().__init__()
        # The framework holds this lock around each call into the device; re-entrant, so that
        # a handler of the property-change signals emitted below may query the device.
        self._lock = threading.RLock()  # type: ignore[assignment]
        self._id = camera_id
        self._bit_depth_arg = bit_depth
        self._camera: vexcam.Camera | None = None
        self._sensor = (0, 0)  # height, width
        self._dtype: np.dtype[Any] = np.dtype(np.uint16)
        self._bits = 16
        self._region = (0, 0, 0, 0)  # x, y, width, height in sensor pixels
        self._binning = 1
        self._stream_mode = 0
        self._firmware = ""
        self._stream: LiveStream | None = None
        self.init_error: BaseException | None = None
        self.set_property_limits(Keyword.Exposure, (0.0, _MAX_EXPOSURE_MS))
        self.set_property_allowed_values(Keyword.Binning, _Choices(BINNINGS))

    def description(self) -> str:
        return f"VEXCAM camera {self._id}"

    # --- opening and closing ---

    def initialize(self) -> None:
        try:
            self._open()
        except BaseException as exc:
            self.init_error = exc  # the framework only logs a failed initialisation
            raise

    def _open(self) -> None:
        camera = vexcam.Camera(self._id)
        try:
            camera.init()
            camera.set_bin_mode(1, 1)
            # A camera opens reading its whole sensor: one frame gives its size and samples.
            probe = camera.capture_single_frame()
            height, width = probe.shape
            camera.set_resolution(0, 0, width, height)
            firmware = camera.get_firmware_version()
            available = [n for n in CONTROL_IDS if camera.is_control_available(n)]
        except BaseException:
            camera.close()
            raise
        bits = self._bit_depth_arg
        if bits is None and _simulator_loaded():
            bits = SIMULATED_BIT_DEPTHS.get(self._id)
        bits = bits or probe.dtype.itemsize * 8
        if (bits <= 8) != (probe.dtype == np.uint8) or not 1 <= bits <= 16:
            camera.close()
            raise ValueError(f"{self._id}: {bits}-bit samples do not fit its {probe.dtype} frames")
        self._camera, self._firmware = camera, firmware
        self._sensor, self._dtype, self._bits = (height, width), probe.dtype, bits
        self._region, self._binning, self._stream_mode = (0, 0, width, height), 1, 0
        known = {c.number: c for c in CONTROLS}
        for number in available:
            if number != EXPOSURE:
                self._register_control(known.get(number, Control(number, f"Control {number}")))
        self.register_property(
            "StreamMode", getter=VexcamCamera._get_stream_mode,
            setter=VexcamCamera._set_stream_mode, allowed_values=_Choices((0, 1)), property_type=int,
        )
        fixed: tuple[tuple[str, int | str], ...] = (
            ("BitDepth", bits), ("PixelType", "GRAY8" if bits <= 8 else "GRAY16"),
            ("Firmware", firmware),
        )
        for name, value in fixed:
            self.register_property(name, getter=_constant(value), property_type=type(value))

    def shutdown(self) -> None:
        self._end_stream()
        if self._camera is not None:
            camera, self._camera = self._camera, None
            camera.close()

    def _cam(self) -> vexcam.Camera:
        if self._camera is None:
            raise RuntimeError(f"camera {self._id} is not open: initialize the device first")
        return self._camera

    def _changed(self, name: str, value: object) -> None:
        # The core does not announce changes of a Python device's properties; GUIs wait for them.
        if self._core_proxy_ is not None:
            self.core.events.propertyChanged.emit(self.get_label(), name, str(value))

    # --- controls as properties ---

    def _register_control(self, control: Control) -> None:
        number, name, choices = control.number, control.name, control.choices

        def get(dev: VexcamCamera) -> Any:
            value = dev._cam().get_param(number)
            return value if choices is None else int(value)

        def set_(dev: VexcamCamera, value: Any) -> None:
            dev._cam().set_param(number, float(value))
            dev._changed(name, get(dev))

        self.register_property(
            name, getter=get, setter=None if control.read_only else set_,
            limits=control.limits,
            allowed_values=None if choices is None else _Choices(choices),
            property_type=float if choices is None else int, is_read_only=control.read_only,
        )

    def _get_stream_mode(self) -> int:
        return self._stream_mode

    def _set_stream_mode(self, value: Any) -> None:
        mode = int(float(value))
        self._cam().set_stream_mode(mode)
        self._stream_mode = mode
        self._changed("StreamMode", mode)

    def get_exposure(self) -> float:
        return self._cam().get_param(EXPOSURE) / 1000

    def set_exposure(self, exposure: float) -> None:
        exposure = float(exposure)
        if not 0 <= exposure <= _MAX_EXPOSURE_MS:
            raise ValueError(f"exposure {exposure} ms is outside 0 to {_MAX_EXPOSURE_MS} ms")
        self._cam().set_exposure(round(exposure * 1000))
        if self._core_proxy_ is not None:
            now = self.get_exposure()
            self.core.events.exposureChanged.emit(self.get_label(), now)
            self._changed("Exposure", now)

    def get_binning(self) -> int:
        return self._binning

    def set_binning(self, value: Any) -> None:
        binning = int(float(value))
        if binning not in BINNINGS:
            raise ValueError(f"binning {value!r} is not one of {BINNINGS}")
        self._cam().set_bin_mode(binning, binning)
        self._binning = binning
        self._changed("Binning", binning)

    def get_camera_id(self) -> str:
        return self._id

    def get_camera_name(self) -> str:
        return self.description()

    def get_pixel_format(self) -> PixelFormat:
        return PixelFormat.pick(self._bits, 1)

    # --- image geometry: the region in binned pixels, as the core counts them ---

    def shape(self) -> tuple[int, int]:
        _, _, width, height = self._region
        return height // self._binning, width // self._binning

    def dtype(self) -> DTypeLike:
        return self._dtype

    def get_roi(self) -> tuple[int, int, int, int]:
        b = self._binning
        x, y, width, height = self._region
        return x // b, y // b, width // b, height // b

    def set_roi(self, x: int, y: int, width: int, height: int) -> None:
        if min(x, y) < 0 or min(width, height) < 1:
            raise ValueError(f"invalid ROI ({x}, {y}, {width}, {height})")
        b = self._binning
        region = (int(x) * b, int(y) * b, int(width) * b, int(height) * b)
        self._cam().set_resolution(*region)
        self._region = region

    def clear_roi(self) -> None:
        height, width = self._sensor
        self._cam().set_resolution(0, 0, width, height)
        self._region = (0, 0, width, height)

    # --- frames ---

    def start_sequence(
        self, n: int | None, get_buffer: Callable[[Sequence[int], DTypeLike], np.ndarray]
    ) -> Iterator[Mapping[str, Any]]:
        camera = self._cam()
        self._end_stream()  # a sequence the framework left without closing it
        if n is not None and n < 1:
            return iter(())
        if n == 1:  # a snap, or a sequence of one: one exposure
            return self._single(camera, get_buffer)
        # Live mode starts here, on the caller's thread, so that a refusal reaches the caller.
        self._stream = LiveStream(camera, n)
        return self._live(self._stream, get_buffer)

    def _single(
        self, camera: vexcam.Camera, get_buffer: Callable[[Sequence[int], DTypeLike], np.ndarray]
    ) -> Iterator[Mapping[str, Any]]:
        frame = camera.capture_single_frame()
        np.copyto(get_buffer(frame.shape, frame.dtype), frame)
        yield {Keyword.Metadata_Width: str(frame.shape[1]),
               Keyword.Metadata_Height: str(frame.shape[0])}

    def _live(
        self, stream: LiveStream, get_buffer: Callable[[Sequence[int], DTypeLike], np.ndarray]
    ) -> Iterator[Mapping[str, Any]]:
        # Runs on the framework's acquisition thread, which gives a Python camera no call on
        # stop: its stop flag is the only sign, and the stream watches it while it waits.
        stop = getattr(threading.current_thread(), "stop_event", None)
        stream.watch(stop if isinstance(stop, threading.Event) else None)
        index = 0
        try:
            while (item := stream.next()) is not None:
                frame, read_at = item
                # The frame's own shape: a region or binning change applies from the next frame.
                np.copyto(get_buffer(frame.shape, frame.dtype), frame)
                yield {
                    Keyword.Metadata_Width: str(frame.shape[1]),
                    Keyword.Metadata_Height: str(frame.shape[0]),
                    FRAME_INDEX: str(index),
                    READ_TIME: f"{(read_at - stream.started) * 1000:.3f}",
                }
                index += 1
        finally:
            stream.close()
            if self._stream is stream:
                self._stream = None

    def _end_stream(self) -> None:
        stream, self._stream = self._stream, None
        if stream is not None:
            stream.close()
