"""A VEXCAM camera as a Python camera device of UniMMCore, over the camera layer."""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
from pymmcore_plus import Keyword, PixelFormat
from pymmcore_plus.experimental.unicore import CameraDevice
from vexcam_device import Config, Control, Device

from ._stream import LiveStream

if TYPE_CHECKING:
    from collections.abc import Iterator, Mapping, Sequence

    from numpy.typing import DTypeLike, NDArray

# Metadata keys of each frame, beside the core's own (image number, elapsed time, ...).
FRAME_INDEX = "VexcamFrameIndex"  # frames this adapter read since live mode started
READ_TIME = "VexcamReadTime-ms"  # when the SDK's read returned, from the start of live mode
# A whole-number control with at most this many values is offered as a list of them.
_MAX_CHOICES = 16


class _Choices(tuple[int, ...]):
    """Allowed values that also admit their text and float forms: configs and GUIs send "2"."""

    def __contains__(self, value: object) -> bool:
        try:
            number = float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            return False
        return tuple.__contains__(self, number)


def _choices(control: Control) -> _Choices | None:
    low, high = control.min, control.max
    if not control.integer or low is None or high is None or high - low >= _MAX_CHOICES:
        return None
    return _Choices(range(int(low), int(high) + 1))


def _limits(control: Control, divisor: float = 1.0) -> tuple[float, float] | None:
    if control.min is None or control.max is None:
        return None
    return control.min / divisor, control.max / divisor


def _whole(value: Any, what: str) -> int:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a whole number, not {value!r}") from None
    if not number.is_integer():
        raise ValueError(f"{what} must be a whole number, not {value!r}")
    return int(number)


def _constant(value: Any) -> Callable[[VexcamCamera], Any]:
    return lambda _device: value


class VexcamCamera(CameraDevice):
    """A VEXCAM camera: opened by `initialize()`, closed by `shutdown()`.

    What the SDK cannot tell comes from the camera layer (`vexcam_device.Device`): the sensor
    and sample type probed when the camera opens, region and binning as set, and the controls
    by role with the numbers, names and ranges of `config` (default: the simulated SDK's file).
    `bit_depth` names the sensor's depth where neither the frames nor the config tell it (a
    12-bit camera delivers 16-bit samples); without either it is the width of the samples.
    """

    def __init__(
        self, camera_id: str, *, bit_depth: int | None = None, config: Config | None = None
    ) -> None:
        super().__init__()
        self._device = Device(camera_id, config, bit_depth=bit_depth)
        self._stream_mode = 0  # the SDK keeps it but cannot report it
        self._stream: LiveStream | None = None
        # Change notices wait here while the framework holds this device's lock; see __exit__.
        self._notices: deque[tuple[str, tuple[Any, ...]]] = deque()
        self.init_error: BaseException | None = None
        if (exposure := self._device.config.controls.get("exposure")) is not None:
            self.set_property_limits(Keyword.Exposure, _limits(exposure, 1000))  # µs -> ms
        self.set_property_allowed_values(Keyword.Binning, _Choices(self._device.config.binnings))

    @property
    def device(self) -> Device:
        """The camera layer's device under this adapter."""
        return self._device

    def description(self) -> str:
        return f"VEXCAM camera {self._device.id}"

    # --- opening and closing ---

    def initialize(self) -> None:
        try:
            self._device.open()
        except BaseException as exc:
            self.init_error = exc  # the framework only logs a failed initialisation
            raise
        self._stream_mode = 0
        device = self._device
        for role, control in device.controls.items():
            if role != "exposure":  # the core's own Exposure property, in milliseconds
                self._register_control(role, control)
        for number in device.other_controls:
            self._register_number(number)
        self.register_property(
            "StreamMode", getter=VexcamCamera._get_stream_mode,
            setter=VexcamCamera._set_stream_mode, allowed_values=_Choices((0, 1)), property_type=int,
        )  # fmt: skip
        bits = device.bit_depth
        fixed: tuple[tuple[str, int | str], ...] = (
            ("BitDepth", bits), ("PixelType", "GRAY8" if bits <= 8 else "GRAY16"),
            ("Firmware", device.firmware),
        )  # fmt: skip
        for name, value in fixed:
            self.register_property(name, getter=_constant(value), property_type=type(value))

    def shutdown(self) -> None:
        self.end_stream()
        self._device.close()

    # --- change notices ---

    # The core announces no change of a Python device's properties, and GUIs wait for them, so
    # the device emits them. The framework holds this device's lock, which is not re-entrant,
    # around each call into it, and a handler commonly reads the device back through the core:
    # emitted inside the call it would wait on that lock forever. So a notice waits until the
    # framework's `with device:` block ends.

    def _notify(self, signal: str, *args: Any) -> None:
        self._notices.append((signal, args))
        if not self.locked():  # called outside the framework, from the user's own code
            self._announce()

    def __exit__(self, *args: Any) -> None:
        super().__exit__(*args)
        self._announce()

    def _announce(self) -> None:
        while self._notices:
            try:
                signal, args = self._notices.popleft()
            except IndexError:  # another thread took the last one
                return
            try:
                events = self.core.events
            except AttributeError:  # unloaded: nobody left to tell
                self._notices.clear()
                return
            getattr(events, signal).emit(*args)

    def _changed(self, name: str, value: object) -> None:
        self._notify("propertyChanged", self.get_label(), name, str(value))

    # --- controls as properties ---

    def _register_control(self, role: str, control: Control) -> None:
        device, name, choices = self._device, control.name, _choices(control)

        def get(_dev: VexcamCamera) -> Any:
            value = device.get(role)
            return int(value) if control.integer else value

        def set_(dev: VexcamCamera, value: Any) -> None:
            device.set(role, float(value))
            dev._changed(name, get(dev))

        self.register_property(
            name, getter=get, setter=None if control.read_only else set_,
            limits=None if choices is not None else _limits(control),
            allowed_values=choices, property_type=int if control.integer else float,
            is_read_only=control.read_only,
        )  # fmt: skip

    def _register_number(self, number: int) -> None:
        # An available control that no role describes: the SDK's own value, unchecked.
        name = f"Control {number}"

        def get(dev: VexcamCamera) -> float:
            return dev._device.camera.get_param(number)

        def set_(dev: VexcamCamera, value: Any) -> None:
            dev._device.camera.set_param(number, float(value))
            dev._changed(name, get(dev))

        self.register_property(name, getter=get, setter=set_, property_type=float)

    def _get_stream_mode(self) -> int:
        return self._stream_mode

    def _set_stream_mode(self, value: Any) -> None:
        mode = _whole(value, "StreamMode")
        self._device.camera.set_stream_mode(mode)
        self._stream_mode = mode
        self._changed("StreamMode", mode)

    def get_exposure(self) -> float:
        return self._device.get("exposure") / 1000

    def set_exposure(self, exposure: float) -> None:
        low, high = self.get_property_info(Keyword.Exposure).limits or (-math.inf, math.inf)
        ms = float(exposure)
        if not (math.isfinite(ms) and low <= ms <= high):
            raise ValueError(f"exposure {exposure} ms is outside {low} to {high} ms")
        self._device.set("exposure", round(ms * 1000))
        now = self.get_exposure()
        self._notify("exposureChanged", self.get_label(), now)
        self._changed(Keyword.Exposure, now)

    def get_binning(self) -> int:
        return self._device.binning

    def set_binning(self, value: Any) -> None:
        self._device.set_binning(_whole(value, "Binning"))
        self._changed(Keyword.Binning, self._device.binning)

    def get_camera_id(self) -> str:
        return self._device.id

    def get_camera_name(self) -> str:
        return self.description()

    def get_pixel_format(self) -> PixelFormat:
        return PixelFormat.pick(self._device.bit_depth, 1)

    # --- image geometry: the layer's region in binned pixels, as the core counts them ---

    def shape(self) -> tuple[int, int]:
        _, _, width, height = self._device.binned_region
        return height, width

    def dtype(self) -> DTypeLike:
        return self._device.dtype

    def get_roi(self) -> tuple[int, int, int, int]:
        return self._device.binned_region

    def set_roi(self, x: int, y: int, width: int, height: int) -> None:
        values = [_whole(v, "an ROI value") for v in (x, y, width, height)]
        self._device.set_binned_region(*values)

    def clear_roi(self) -> None:
        self._device.clear_region()

    # --- frames ---

    def start_sequence(
        self, n: int | None, get_buffer: Callable[[Sequence[int], DTypeLike], NDArray[Any]]
    ) -> Iterator[Mapping[str, Any]]:
        camera = self._device.camera  # raises if the camera is not open
        self.end_stream()  # a sequence the framework left without closing it
        if n is not None and n < 1:
            return iter(())
        if n == 1:  # a snap, or a sequence of one: one exposure
            return self._single(get_buffer)
        # Live mode starts here, on the caller's thread, so that a refusal reaches the caller.
        self._stream = LiveStream(camera, n)
        return self._live(self._stream, get_buffer)

    def _single(
        self, get_buffer: Callable[[Sequence[int], DTypeLike], NDArray[Any]]
    ) -> Iterator[Mapping[str, Any]]:
        frame = self._device.expose().frame
        np.copyto(get_buffer(frame.shape, frame.dtype), frame)
        yield {Keyword.Metadata_Width: str(frame.shape[1]),
               Keyword.Metadata_Height: str(frame.shape[0])}  # fmt: skip

    def _live(
        self, stream: LiveStream, get_buffer: Callable[[Sequence[int], DTypeLike], NDArray[Any]]
    ) -> Iterator[Mapping[str, Any]]:
        # Runs on the framework's acquisition thread, which stops asking for frames on a stop
        # and then drops (closes) this generator; end_stream() wakes a wait in the middle.
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

    def end_stream(self, *_: object) -> None:
        """Ends a running live stream at once, from any thread, even inside a long frame wait.

        The framework gives a Python camera no stop call: `VexcamCore` calls this before the
        framework stops or unloads, and `load_camera` connects it to another core's
        `sequenceAcquisitionStopped` signal.
        """
        stream, self._stream = self._stream, None
        if stream is not None:
            stream.close()
