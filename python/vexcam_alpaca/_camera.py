"""One VEXCAM camera as an Alpaca camera (interface version 4): its members and exposure states."""

from __future__ import annotations

import functools
import importlib.metadata
import math
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from vexcam_device import Device, ExposureRecord, Region

from ._protocol import (
    DRIVER_ERROR,
    INVALID_OPERATION,
    INVALID_VALUE,
    NOT_CONNECTED,
    NOT_IMPLEMENTED,
    ACTION_NOT_IMPLEMENTED,
    AlpacaError,
    image_json_value,
    image_payload,
    not_implemented,
    parse_bool,
    parse_double,
    parse_int32,
    parse_string,
)

@functools.cache
def version() -> str:
    try:
        return importlib.metadata.version("vexcam")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


IDLE, EXPOSING, READING, ERROR = 0, 2, 3, 5
ACTIONS = ("vexcam:GetParam", "vexcam:SetParam")
# A PUT member's fields, exactly as clients must spell them, with their parsers.
Field = tuple[str, Callable[[str, str], Any]]
PUT_FIELDS: dict[str, tuple[Field, ...]] = {
    "connected": (("Connected", parse_bool),),
    "connect": (),
    "disconnect": (),
    "action": (("Action", parse_string), ("Parameters", parse_string)),
    "commandblind": (),
    "commandbool": (),
    "commandstring": (),
    "binx": (("BinX", parse_int32),),
    "biny": (("BinY", parse_int32),),
    "startx": (("StartX", parse_int32),),
    "starty": (("StartY", parse_int32),),
    "numx": (("NumX", parse_int32),),
    "numy": (("NumY", parse_int32),),
    "gain": (("Gain", parse_int32),),
    "offset": (("Offset", parse_int32),),
    "readoutmode": (("ReadoutMode", parse_int32),),
    "fastreadout": (("FastReadout", parse_bool),),
    "cooleron": (("CoolerOn", parse_bool),),
    "setccdtemperature": (("SetCCDTemperature", parse_double),),
    "subexposureduration": (("SubExposureDuration", parse_double),),
    "startexposure": (("Duration", parse_double), ("Light", parse_bool)),
    "abortexposure": (),
    "stopexposure": (),
    "pulseguide": (("Direction", parse_int32), ("Duration", parse_int32)),
}
GET_MEMBERS = frozenset(
    """connected connecting description devicestate driverinfo driverversion interfaceversion name
    supportedactions bayeroffsetx bayeroffsety binx biny camerastate cameraxsize cameraysize
    canabortexposure canasymmetricbin canfastreadout cangetcoolerpower canpulseguide
    cansetccdtemperature canstopexposure ccdtemperature cooleron coolerpower electronsperadu
    exposuremax exposuremin exposureresolution fastreadout fullwellcapacity gain gainmax gainmin
    gains hasshutter heatsinktemperature imagearray imagearrayvariant imageready ispulseguiding
    lastexposureduration lastexposurestarttime maxadu maxbinx maxbiny numx numy offset offsetmax
    offsetmin offsets percentcompleted pixelsizex pixelsizey readoutmode readoutmodes sensorname
    sensortype setccdtemperature startx starty subexposureduration""".split()
)
# Members that answer whether or not the camera is connected.
UNCONNECTED_MEMBERS = frozenset(
    """connected connecting description devicestate driverinfo driverversion interfaceversion name
    supportedactions connect disconnect""".split()
)


@dataclass
class Image:
    """The last exposure, encoded once for every download that follows."""

    record: ExposureRecord
    transmission: int
    payload: memoryview
    _json: bytes | None = None
    _json_lock: threading.Lock = field(default_factory=threading.Lock)

    @classmethod
    def of(cls, record: ExposureRecord) -> Image:
        transmission, payload = image_payload(record.frame)
        return cls(record, transmission, payload)

    @property
    def size(self) -> tuple[int, int]:
        height, width = self.record.frame.shape
        return width, height

    def json_value(self) -> bytes:
        with self._json_lock:
            if self._json is None:
                self._json = image_json_value(self.record.frame)
            return self._json


@dataclass
class _Exposure:
    started: float  # time.monotonic()
    duration: float
    thread: threading.Thread | None = None
    done: bool = False


class AlpacaCamera:
    """An Alpaca camera over one `Device`, shared by every client of the server.

    Clients connect by count: the camera opens on the first connection and closes when the
    last one is given back, so one client's disconnect leaves it open for the others. An
    exposure runs on a thread of its own; the last image stays until the next StartExposure.
    """

    def __init__(self, number: int, device: Device) -> None:
        self.number = number
        self.device = device
        self._lock = threading.RLock()  # the state below
        self._opening = threading.Lock()  # serialises opening and closing the camera
        self._connections = 0
        self._connecting = 0  # Connect/Disconnect calls still running
        self._close_when_done = False
        self._exposure: _Exposure | None = None
        self._image: Image | None = None
        self._last: ExposureRecord | None = None
        self._error: str | None = None
        self._bin = [1, 1]
        self._subframe = [0, 0, 0, 0]  # StartX, StartY, NumX, NumY in binned pixels

    # --- connection ---

    @property
    def connected(self) -> bool:
        return self._connections > 0

    def connect(self) -> None:
        with self._opening:
            if not self.device.is_open:
                self.device.open()
                with self._lock:
                    self._bin = [1, 1]
                    self._subframe = [0, 0, self.device.sensor.width, self.device.sensor.height]
                    self._image = self._last = None
                    self._error = None
            with self._lock:
                self._connections += 1
                self._close_when_done = False

    def disconnect(self) -> None:
        with self._opening:
            with self._lock:
                if self._connections == 0:
                    return
                self._connections -= 1
                if self._connections:
                    return
                if self._exposing():
                    self._close_when_done = True  # the exposure's thread closes it
                    return
            self.device.close()

    def _in_background(self, work: Callable[[], None]) -> None:
        def run() -> None:
            try:
                work()
            except Exception as exc:  # noqa: BLE001 - clients see Connected stay false
                print(f"vexcam-alpaca: camera {self.number} ({self.device.id}): {exc}",
                      file=sys.stderr, flush=True)
            finally:
                with self._lock:
                    self._connecting -= 1

        with self._lock:
            self._connecting += 1
        threading.Thread(target=run, name=f"alpaca-connect-{self.number}", daemon=True).start()

    def shutdown(self) -> None:
        """Waits for a running exposure, then closes the camera."""
        with self._lock:
            exposure = self._exposure
        if exposure is not None and exposure.thread is not None:
            exposure.thread.join()
        self.device.close()

    # --- exposure ---

    def _exposing(self) -> bool:
        return self._exposure is not None and not self._exposure.done

    def exposing(self) -> bool:
        with self._lock:
            return self._exposing()

    def state(self) -> int:
        with self._lock:
            if self._exposing():
                assert self._exposure is not None
                elapsed = time.monotonic() - self._exposure.started
                return EXPOSING if elapsed < self._exposure.duration else READING
            return ERROR if self._error is not None else IDLE

    def start_exposure(self, duration: float, light: bool) -> None:
        device = self.device
        with self._lock:
            if self._exposing():
                raise AlpacaError(INVALID_OPERATION, "an exposure is already running")
            control = device.control("exposure")
            us = round(duration * 1e6)
            if duration < 0 or (control.max is not None and us > control.max):
                raise AlpacaError(INVALID_VALUE, f"Duration {duration} s is outside {self.exposure_min()} to {self.exposure_max()} s")
            bin_x, bin_y = self._bin
            if bin_x != bin_y:
                raise AlpacaError(INVALID_OPERATION, f"BinX {bin_x} and BinY {bin_y} differ: this camera bins both axes alike")
            try:
                device.check_readout(bin_x, Region(*self._subframe))
            except ValueError as exc:
                raise AlpacaError(INVALID_VALUE, f"subframe: {exc}") from None
            device.set_readout(bin_x, Region(*self._subframe))
            device.set("exposure", max(us, control.min or 0))
            self._image, self._error = None, None
            exposure = _Exposure(time.monotonic(), duration)
            exposure.thread = threading.Thread(
                target=self._expose, args=(exposure,), name=f"alpaca-exposure-{self.number}", daemon=True
            )
            self._exposure = exposure
            exposure.thread.start()

    def _expose(self, exposure: _Exposure) -> None:
        image: Image | None = None
        error: str | None = None
        try:
            image = Image.of(self.device.expose())
        except Exception as exc:  # noqa: BLE001 - reported to the clients as the camera's state
            error = str(exc) or type(exc).__name__
        with self._lock:
            exposure.done = True
            self._image, self._error = image, error
            if image is not None:
                self._last = image.record
            close = self._close_when_done and self._connections == 0
            self._close_when_done = False
        if close:
            with self._opening:
                if self._connections == 0:
                    self.device.close()

    def image(self) -> Image:
        with self._lock:
            if self._error is not None:
                raise AlpacaError(DRIVER_ERROR, self._error)
            if self._image is None or self._exposing():
                raise AlpacaError(INVALID_OPERATION, "no image is ready: start an exposure and wait for ImageReady")
            return self._image

    def last_image(self) -> Image | None:
        """The image shown on the setup page, if any."""
        return self._image

    def _last_record(self) -> ExposureRecord:
        if self._last is None:
            raise AlpacaError(INVALID_OPERATION, "no exposure has completed yet")
        return self._last

    def exposure_min(self) -> float:
        return (self.device.control("exposure").min or 0) / 1e6

    def exposure_max(self) -> float:
        limit = self.device.control("exposure").max
        return (limit if limit is not None else 2**32 - 1) / 1e6

    # --- members: get_<member>() and put_<member>(fields...) ---

    def get_connected(self) -> bool:
        return self.connected

    def put_connected(self, connected: bool) -> None:
        self.connect() if connected else self.disconnect()

    def get_connecting(self) -> bool:
        return self._connecting > 0

    def put_connect(self) -> None:
        self._in_background(self.connect)

    def put_disconnect(self) -> None:
        self._in_background(self.disconnect)

    def get_description(self) -> str:
        return f"VEXCAM camera {self.device.id}"

    def get_name(self) -> str:
        return f"VEXCAM {self.device.id}"

    def get_driverinfo(self) -> str:
        return "vexcam Alpaca camera server, over the VEXCAM camera SDK"

    def get_driverversion(self) -> str:
        return version()

    def get_interfaceversion(self) -> int:
        return 4

    def get_supportedactions(self) -> list[str]:
        return list(ACTIONS)

    def get_devicestate(self) -> list[dict[str, Any]]:
        if not self.connected:
            return []
        state: list[dict[str, Any]] = []
        readers: tuple[tuple[str, Callable[[], Any]], ...] = (
            ("CameraState", self.state),
            ("CCDTemperature", self.get_ccdtemperature),
            ("ImageReady", self.get_imageready),
            ("PercentCompleted", self.get_percentcompleted),
        )
        for name, read in readers:
            try:
                state.append({"Name": name, "Value": read()})
            except Exception:  # noqa: BLE001, S112 - best effort: an unknown value is left out
                continue
        return state

    def put_action(self, action: str, parameters: str) -> str:
        camera = self.device.camera
        words = parameters.split()
        name = action.strip().lower()
        if name not in (a.lower() for a in ACTIONS):
            raise AlpacaError(ACTION_NOT_IMPLEMENTED, f"no action {action!r}; supported: {', '.join(ACTIONS)}")
        try:
            if name == "vexcam:getparam":
                if len(words) != 1:
                    raise ValueError("vexcam:GetParam takes Parameters \"N\", a control number")
                return repr(camera.get_param(int(words[0])))
            if len(words) != 2:
                raise ValueError("vexcam:SetParam takes Parameters \"N VALUE\"")
            number, value = int(words[0]), float(words[1])
        except (ValueError, OverflowError) as exc:
            raise AlpacaError(INVALID_VALUE, str(exc)) from None
        try:
            camera.set_param(number, value)
        except (ValueError, OverflowError) as exc:
            raise AlpacaError(INVALID_VALUE, str(exc)) from None
        return ""

    def put_commandblind(self) -> None:
        raise not_implemented("CommandBlind")

    put_commandbool = put_commandstring = put_commandblind

    # sensor
    def get_cameraxsize(self) -> int:
        return self.device.sensor.width

    def get_cameraysize(self) -> int:
        return self.device.sensor.height

    def get_pixelsizex(self) -> float:
        if self.device.pixel_size_um is None:
            raise not_implemented("PixelSizeX")
        return self.device.pixel_size_um

    get_pixelsizey = get_pixelsizex

    def get_maxadu(self) -> int:
        return self.device.max_adu

    def get_maxbinx(self) -> int:
        return max(self.device.config.binnings)

    get_maxbiny = get_maxbinx

    def get_sensorname(self) -> str:
        return self.device.sensor_name

    def get_sensortype(self) -> int:
        return 0  # monochrome

    def get_bayeroffsetx(self) -> int:
        raise not_implemented("BayerOffsetX on a monochrome sensor")

    def get_bayeroffsety(self) -> int:
        raise not_implemented("BayerOffsetY on a monochrome sensor")

    def get_electronsperadu(self) -> float:
        raise not_implemented("ElectronsPerADU")

    def get_fullwellcapacity(self) -> float:
        raise not_implemented("FullWellCapacity")

    def get_heatsinktemperature(self) -> float:
        raise not_implemented("HeatSinkTemperature")

    def get_exposuremin(self) -> float:
        return self.exposure_min()

    def get_exposuremax(self) -> float:
        return self.exposure_max()

    def get_exposureresolution(self) -> float:
        return 1e-6

    def get_hasshutter(self) -> bool:
        return False

    # capabilities
    def get_canabortexposure(self) -> bool:
        return False

    get_canstopexposure = get_canasymmetricbin = get_canfastreadout = get_canabortexposure
    get_cangetcoolerpower = get_canpulseguide = get_canabortexposure

    def get_cansetccdtemperature(self) -> bool:
        return self.device.has("cooler_target")

    # binning and subframe, in binned pixels, as written; checked at StartExposure
    def _set_bin(self, axis: int, value: int) -> None:
        if value not in self.device.config.binnings:
            allowed = ", ".join(map(str, self.device.config.binnings))
            raise AlpacaError(INVALID_VALUE, f"binning {value} is not one of {allowed}")
        with self._lock:
            self._bin[axis] = value

    def get_binx(self) -> int:
        return self._bin[0]

    def get_biny(self) -> int:
        return self._bin[1]

    def put_binx(self, value: int) -> None:
        self._set_bin(0, value)

    def put_biny(self, value: int) -> None:
        self._set_bin(1, value)

    def _set_subframe(self, index: int, value: int) -> None:
        with self._lock:
            self._subframe[index] = value

    def get_startx(self) -> int:
        return self._subframe[0]

    def get_starty(self) -> int:
        return self._subframe[1]

    def get_numx(self) -> int:
        return self._subframe[2]

    def get_numy(self) -> int:
        return self._subframe[3]

    def put_startx(self, value: int) -> None:
        self._set_subframe(0, value)

    def put_starty(self, value: int) -> None:
        self._set_subframe(1, value)

    def put_numx(self, value: int) -> None:
        self._set_subframe(2, value)

    def put_numy(self, value: int) -> None:
        self._set_subframe(3, value)

    # gain and offset, value mode
    def _control_value(self, role: str) -> int:
        return round(self.device.get(role))

    def _control_limit(self, role: str, which: str) -> int:
        limit: float | None = getattr(self.device.control(role), which)
        if limit is None:
            raise not_implemented(f"{role.title()}{which.title()}")
        return round(limit)

    def get_gain(self) -> int:
        return self._control_value("gain")

    def put_gain(self, value: int) -> None:
        self.device.set("gain", value)

    def get_gainmin(self) -> int:
        return self._control_limit("gain", "min")

    def get_gainmax(self) -> int:
        return self._control_limit("gain", "max")

    def get_gains(self) -> list[str]:
        raise not_implemented("Gains (gain is in value mode: GainMin to GainMax)")

    def get_offset(self) -> int:
        return self._control_value("offset")

    def put_offset(self, value: int) -> None:
        self.device.set("offset", value)

    def get_offsetmin(self) -> int:
        return self._control_limit("offset", "min")

    def get_offsetmax(self) -> int:
        return self._control_limit("offset", "max")

    def get_offsets(self) -> list[str]:
        raise not_implemented("Offsets (offset is in value mode: OffsetMin to OffsetMax)")

    # readout
    def get_readoutmode(self) -> int:
        return 0

    def put_readoutmode(self, value: int) -> None:
        if value != 0:
            raise AlpacaError(INVALID_VALUE, f"ReadoutMode {value} is not an index of ReadoutModes")

    def get_readoutmodes(self) -> list[str]:
        return ["Normal"]

    def get_fastreadout(self) -> bool:
        raise not_implemented("FastReadout")

    def put_fastreadout(self, value: bool) -> None:
        raise not_implemented("FastReadout")

    def get_subexposureduration(self) -> float:
        raise not_implemented("SubExposureDuration")

    def put_subexposureduration(self, value: float) -> None:
        raise not_implemented("SubExposureDuration")

    # cooling
    def get_ccdtemperature(self) -> float:
        return self.device.get("sensor_temperature")

    def get_cooleron(self) -> bool:
        return self.device.get("cooler") != 0  # as the camera reports it

    def put_cooleron(self, value: bool) -> None:
        self.device.set("cooler", 1 if value else 0)

    def get_coolerpower(self) -> float:
        raise not_implemented("CoolerPower")

    def get_setccdtemperature(self) -> float:
        return self.device.get("cooler_target")

    def put_setccdtemperature(self, value: float) -> None:
        self.device.set("cooler_target", value)

    # exposure
    def get_camerastate(self) -> int:
        return self.state()

    def get_imageready(self) -> bool:
        with self._lock:
            return self._image is not None and not self._exposing()

    def get_percentcompleted(self) -> int:
        with self._lock:
            exposure = self._exposure
            if exposure is not None and not exposure.done:
                elapsed = time.monotonic() - exposure.started
                return min(99, int(100 * elapsed / exposure.duration)) if exposure.duration > 0 else 99
            return 100 if self._image is not None else 0

    def get_imagearray(self) -> Image:
        return self.image()

    def get_lastexposureduration(self) -> float:
        return self._last_record().exposure_s

    def get_lastexposurestarttime(self) -> str:
        return self._last_record().start.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]

    def put_startexposure(self, duration: float, light: bool) -> None:
        self.start_exposure(duration, light)

    def put_abortexposure(self) -> None:
        raise not_implemented("AbortExposure (the camera SDK cannot cancel an exposure)")

    def put_stopexposure(self) -> None:
        raise not_implemented("StopExposure (the camera SDK cannot cut an exposure short)")

    # guiding
    def get_ispulseguiding(self) -> bool:
        raise not_implemented("IsPulseGuiding")

    def put_pulseguide(self, direction: int, duration: int) -> None:
        raise not_implemented("PulseGuide")

    # --- dispatch ---

    def call(self, method: str, member: str, values: tuple[Any, ...]) -> Any:
        """Runs a member; maps the layer's and the module's failures to Alpaca errors."""
        if member not in UNCONNECTED_MEMBERS and not self.connected:
            raise AlpacaError(NOT_CONNECTED, f"camera {self.number} is not connected")
        handler = getattr(self, f"{method}_{member}")
        try:
            value = handler(*values)
            if isinstance(value, float) and not math.isfinite(value):
                raise AlpacaError(DRIVER_ERROR, f"the camera reported {value} for {member}")
            return value
        except AlpacaError:
            raise
        except NotImplementedError as exc:
            raise AlpacaError(NOT_IMPLEMENTED, str(exc)) from None
        except ValueError as exc:
            raise AlpacaError(INVALID_VALUE, str(exc)) from None
        except (RuntimeError, OSError, MemoryError) as exc:
            raise AlpacaError(DRIVER_ERROR, str(exc) or type(exc).__name__) from None
