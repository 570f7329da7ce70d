"""One camera as an INDI device: the standard camera properties over the camera layer."""

from __future__ import annotations

import base64
import logging
import math
import os
import queue
import threading
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from dataclasses import dataclass, field
from importlib import metadata

from vexcam_device import CONTROL_IDS, Config, Device, Region
from vexcam_device.fits import fits_bytes

from ._properties import (
    ALERT, BUSY, IDLE, OK, Blob, Number, Refused, Switch, Text, Vector, message_xml,
    parse_number, parse_switch, timestamp,
)  # fmt: skip

log = logging.getLogger("vexcam_indi")
# The driver's writer: send(*parts), one message written whole; a part may be an iterator of pieces.
Send = Callable[..., None]

MAIN, SETTINGS, INFO, OPTIONS, CONTROLS = "Main Control", "Image Settings", "Image Info", "Options", "Controls"
GENERAL = "General Info"
FRAME_TYPES = {"FRAME_LIGHT": "Light", "FRAME_BIAS": "Bias", "FRAME_DARK": "Dark", "FRAME_FLAT": "Flat"}
CCD_INTERFACE = "2"  # DRIVER_INTERFACE's bit for a camera
POLL_S = 1.0  # how often the temperature is read while connected
TICK_S = 1.0  # how often an exposure's countdown is sent
SETPOINT_BAND = 0.5  # °C: a reading this close to the setpoint has reached it
_PIECE = 3 << 18  # bytes of FITS file per base64 piece of a BLOB
_ONE = {"Number": "oneNumber", "Switch": "oneSwitch", "Text": "oneText", "BLOB": "oneBLOB"}


def _version() -> str:
    try:
        return metadata.version("vexcam")
    except metadata.PackageNotFoundError:
        return "0"


def _whole(text: str, what: str) -> int:
    value = parse_number(text, what)
    if not value.is_integer():
        raise Refused(f"{what}: {text.strip()!r} is not a whole number")
    return int(value)


@dataclass
class _Exposure:
    """An exposure a client asked for, from the request until its frame is delivered."""

    us: int
    frame_type: str
    upload: tuple[str, str, str]  # mode, directory, prefix, as they were at the request
    started: float = 0.0  # time.monotonic() when the SDK call began; 0 while queued
    aborted: bool = False  # the client abandoned it: its frame is discarded
    done: threading.Event = field(default_factory=threading.Event)  # the SDK call returned

    def remaining(self) -> float:
        if not self.started:
            return self.us / 1e6
        return max(0.0, self.us / 1e6 - (time.monotonic() - self.started))


class _Worker:
    """Runs one camera's SDK jobs in order on a thread of its own, off the message loop.

    A daemon thread: a closed standard input ends the driver even while an exposure, which the
    SDK cannot cancel, still waits in the SDK.
    """

    def __init__(self, name: str) -> None:
        self._jobs: queue.SimpleQueue[Callable[[], None] | None] = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def submit(self, job: Callable[[], None]) -> None:
        self._jobs.put(job)

    def stop(self) -> None:
        self._jobs.put(None)

    def join(self, timeout: float) -> None:
        self._thread.join(timeout)

    def _run(self) -> None:
        while (job := self._jobs.get()) is not None:
            try:
                job()
            except Exception:  # a job reports its own failures; this is a fault of ours
                log.exception("camera job failed")


class CameraDevice:
    """One camera: its INDI properties, the handlers of clients' requests, and its worker.

    Handlers run on the message loop and make only quick SDK calls; opening, closing and
    exposing run on the worker. `_lock` guards the properties' values and the exposure in
    progress; a message is built under it and written whole by `send`.
    """

    def __init__(self, name: str, camera_id: str, config: Config, send: Send) -> None:
        self.name, self.camera_id = name, camera_id
        self.device = Device(camera_id, config)
        self._send = send
        self._lock = threading.RLock()
        self._worker = _Worker(f"indi {camera_id}")
        self._exposure: _Exposure | None = None
        self._setpoint: float | None = None
        self._stop_polling = threading.Event()
        self._poller: threading.Thread | None = None
        self._next_file: dict[str, int] = {}  # per file name pattern, the number to try first
        self._live: dict[str, Vector] = {}  # the properties defined while connected
        n = name
        self.connection = Vector(n, "CONNECTION", "Connection", MAIN, "Switch", [
            Switch("CONNECT", "Connect"), Switch("DISCONNECT", "Disconnect", True)])
        self.driver_info = Vector(n, "DRIVER_INFO", "Driver Info", GENERAL, "Text", [
            Text("DRIVER_NAME", "Name", "VEXCAM camera"), Text("DRIVER_EXEC", "Exec", "indi_vexcam_ccd"),
            Text("DRIVER_VERSION", "Version", _version()),
            Text("DRIVER_INTERFACE", "Interface", CCD_INTERFACE)], perm="ro")
        # Kept across connections, as a client set them.
        self.frame_type = Vector(n, "CCD_FRAME_TYPE", "Frame Type", SETTINGS, "Switch", [
            Switch(key, value, key == "FRAME_LIGHT") for key, value in FRAME_TYPES.items()], state=OK)
        self.upload_mode = Vector(n, "UPLOAD_MODE", "Upload", OPTIONS, "Switch", [
            Switch("UPLOAD_CLIENT", "Client", True), Switch("UPLOAD_LOCAL", "Local"),
            Switch("UPLOAD_BOTH", "Both")], state=OK)
        self.upload_settings = Vector(n, "UPLOAD_SETTINGS", "Upload Settings", OPTIONS, "Text", [
            Text("UPLOAD_DIR", "Dir", os.path.expanduser("~")), Text("UPLOAD_PREFIX", "Prefix", "IMAGE_XXX")],
            state=OK)
        self._handlers: dict[str, Callable[[Vector, dict[str, str]], None]] = {
            "CONNECTION": self._on_connection, "CCD_EXPOSURE": self._on_exposure,
            "CCD_ABORT_EXPOSURE": self._on_abort, "CCD_FRAME": self._on_frame,
            "CCD_FRAME_RESET": self._on_frame_reset, "CCD_BINNING": self._on_binning,
            "CCD_TEMPERATURE": self._on_temperature, "CCD_COOLER": self._on_cooler,
            "CCD_GAIN": self._on_gain, "CCD_OFFSET": self._on_offset,
            "CCD_FRAME_TYPE": self._on_choice, "UPLOAD_MODE": self._on_choice,
            "UPLOAD_SETTINGS": self._on_upload_settings, "VEXCAM_CONTROL": self._on_control,
        }  # fmt: skip

    # --- what clients see ---

    def vectors(self) -> list[Vector]:
        with self._lock:
            return [self.connection, self.driver_info, *self._live.values()]

    def get_properties(self, name: str | None) -> None:
        with self._lock:
            for vector in self.vectors():
                if name is None or vector.name == name:
                    self._send(vector.definition())

    def _update(self, vector: Vector, state: str | None = None, message: str | None = None) -> None:
        with self._lock:
            if state is not None:
                vector.state = state
            self._send(vector.update(message))

    def new(self, kind: str, name: str, message: ET.Element) -> None:
        """A client's new...Vector: checked, handled, answered; a failure answers with Alert."""
        with self._lock:
            vector = next((v for v in self.vectors() if v.name == name), None)
        if vector is None:
            self._send(message_xml(self.name, f"{self.name} has no property {name}"
                                   + ("" if self._live else " while disconnected")))
            return
        try:
            if kind != vector.kind:
                raise Refused(f"{name} is a {vector.kind} property, not a {kind} one")
            if vector.perm == "ro" or name not in self._handlers:
                raise Refused(f"{name} is read-only")
            values: dict[str, str] = {}
            for one in message:
                if one.tag != _ONE.get(kind) or "name" not in one.attrib:
                    continue
                if one.attrib["name"] not in vector.members:
                    raise Refused(f"{name} has no member {one.attrib['name']}")
                values[one.attrib["name"]] = one.text or ""
            self._handlers[name](vector, values)
        except (Refused, ValueError, RuntimeError, NotImplementedError, OSError) as exc:
            log.info("%s: %s refused: %s", self.name, name, exc)
            self._update(vector, ALERT, str(exc))
        except Exception as exc:
            log.exception("%s: %s", self.name, name)
            self._update(vector, ALERT, f"internal error: {exc!r}")

    def _chosen(self, vector: Vector, values: dict[str, str]) -> str:
        """The one switch a client turned on (or, of two, the one it did not turn off)."""
        on = [n for n, text in values.items() if parse_switch(text, n)]
        untouched = [n for n in vector.members if n not in values]
        if len(on) == 1:
            return on[0]
        if not on and len(untouched) == 1:
            return untouched[0]
        raise Refused(f"{vector.name}: turn exactly one of {', '.join(vector.members)} on")

    # --- connecting ---

    def _on_connection(self, vector: Vector, values: dict[str, str]) -> None:
        want = self._chosen(vector, values)
        with self._lock:
            if vector.state == BUSY or (want == "CONNECT") == bool(self._live):
                self._update(vector)  # already there, or on its way
                return
            vector.choose(want)
            message = None
            if want == "DISCONNECT" and self._exposure is not None:
                message = self._abandon(self._exposure)
            self._update(vector, BUSY, message)
        self._worker.submit(self._connect if want == "CONNECT" else self._disconnect)

    def _connect(self) -> None:
        try:
            self.device.open()
            with self._lock:
                self._live = {v.name: v for v in self._build()}
                for vector in self._live.values():
                    self._send(vector.definition())
        except Exception as exc:
            self.device.close()
            with self._lock:
                self._live = {}
                self.connection.choose("DISCONNECT")
                self._update(self.connection, ALERT, f"cannot open camera {self.camera_id}: {exc}")
            return
        d = self.device
        with self._lock:
            self.connection.choose("CONNECT")
            self._update(self.connection, OK, f"{self.camera_id}: {d.sensor.width} x {d.sensor.height}, "
                         f"{d.bit_depth}-bit samples")  # fmt: skip
        self._stop_polling.clear()
        self._poller = threading.Thread(target=self._poll, name=f"indi poll {self.camera_id}", daemon=True)
        self._poller.start()

    def _disconnect(self) -> None:
        self._stop_polling.set()
        if self._poller is not None:
            self._poller.join()
            self._poller = None
        with self._lock:
            for vector in self._live.values():
                self._send(vector.deletion())
            self._live = {}
            self._setpoint = None
        self.device.close()
        with self._lock:
            self.connection.choose("DISCONNECT")
            self._update(self.connection, IDLE)

    def _build(self) -> list[Vector]:
        """The properties of the opened camera, with its current values."""
        d, n = self.device, self.name
        width, height = d.sensor.width, d.sensor.height
        pixel = d.pixel_size_um or 0.0

        def count(name: str, label: str, value: float, low: float, high: float) -> Number:
            return Number(name, label, value, low, high, 1, "%.0f")

        out = [Vector(n, "CCD_INFO", "CCD Information", INFO, "Number", [
            count("CCD_MAX_X", "Max. Width", width, 1, width),
            count("CCD_MAX_Y", "Max. Height", height, 1, height),
            Number("CCD_PIXEL_SIZE", "Pixel size (um)", pixel, 0, 1000, 0, "%.2f"),
            Number("CCD_PIXEL_SIZE_X", "Pixel size X", pixel, 0, 1000, 0, "%.2f"),
            Number("CCD_PIXEL_SIZE_Y", "Pixel size Y", pixel, 0, 1000, 0, "%.2f"),
            count("CCD_BITSPERPIXEL", "Bits per pixel", d.dtype.itemsize * 8, 8, 16)],
            perm="ro", state=OK)]  # fmt: skip
        low, high = self._limits("exposure", 0, 3600e6)
        out.append(Vector(n, "CCD_EXPOSURE", "Expose", MAIN, "Number", [
            Number("CCD_EXPOSURE_VALUE", "Duration (s)", 1.0, low / 1e6, high / 1e6, 1, "%.3f")]))
        out.append(Vector(n, "CCD_ABORT_EXPOSURE", "Abort", MAIN, "Switch", [Switch("ABORT", "Abort")],
                          rule="AtMostOne"))  # fmt: skip
        x, y, w, h = d.region
        out.append(Vector(n, "CCD_FRAME", "Frame", SETTINGS, "Number", [
            count("X", "Left", x, 0, width - 1), count("Y", "Top", y, 0, height - 1),
            count("WIDTH", "Width", w, 1, width), count("HEIGHT", "Height", h, 1, height)], state=OK))
        out.append(Vector(n, "CCD_FRAME_RESET", "Frame Values", SETTINGS, "Switch", [Switch("RESET", "Reset")],
                          rule="AtMostOne"))  # fmt: skip
        most = max(d.config.binnings)
        out.append(Vector(n, "CCD_BINNING", "Binning", SETTINGS, "Number", [
            count("HOR_BIN", "X", d.binning, 1, most), count("VER_BIN", "Y", d.binning, 1, most)], state=OK))
        out.append(self.frame_type)
        if d.has("sensor_temperature"):
            low, high = self._limits("cooler_target", -50, 50)
            out.append(Vector(n, "CCD_TEMPERATURE", "Temperature", MAIN, "Number", [
                Number("CCD_TEMPERATURE_VALUE", "Temperature (C)", d.get("sensor_temperature"), low, high, 0.5,
                       "%.2f")], perm="rw" if d.has("cooler_target") else "ro", state=OK))  # fmt: skip
        if d.has("cooler"):
            on = d.get("cooler") != 0
            out.append(Vector(n, "CCD_COOLER", "Cooler", MAIN, "Switch", [
                Switch("COOLER_ON", "On", on), Switch("COOLER_OFF", "Off", not on)], state=OK if on else IDLE))
        for role, prop, member in (("gain", "CCD_GAIN", "GAIN"), ("offset", "CCD_OFFSET", "OFFSET")):
            if d.has(role):
                low, high = self._limits(role, 0, 1e6)
                out.append(Vector(n, prop, role.capitalize(), MAIN, "Number", [
                    Number(member, role.capitalize(), d.get(role), low, high, 1, "%.2f")], state=OK))
        out += [self.upload_mode, self.upload_settings,
                Vector(n, "CCD_FILE_PATH", "Filename", OPTIONS, "Text", [Text("FILE_PATH", "Path")], perm="ro"),
                Vector(n, "CCD1", "Image Data", INFO, "BLOB", [Blob("CCD1", "Image")], perm="ro")]  # fmt: skip
        available = self._available()
        first = available[0] if available else 0
        out.append(Vector(n, "VEXCAM_CONTROL", "SDK control", CONTROLS, "Number", [
            Number("CONTROL", "Number", first, 0, max(CONTROL_IDS), 1, "%.0f"),
            Number("VALUE", "Value", d.camera.get_param(first), -1e12, 1e12, 0, "%g")], state=OK))
        out.append(Vector(n, "VEXCAM_CONTROLS", "SDK controls", CONTROLS, "Number", [
            Number(f"CONTROL_{k}", self._control_label(k), d.camera.get_param(k), -1e12, 1e12, 0, "%g")
            for k in available], perm="ro", state=OK))  # fmt: skip
        out.append(Vector(n, "VEXCAM_INFO", "Camera", GENERAL, "Text", [
            Text("CAMERA_ID", "Camera id", self.camera_id), Text("SENSOR", "Sensor", d.sensor_name),
            Text("FIRMWARE", "Firmware", d.firmware), Text("BIT_DEPTH", "Bits per sample", str(d.bit_depth))],
            perm="ro", state=OK))  # fmt: skip
        return out

    def _limits(self, role: str, low: float, high: float) -> tuple[float, float]:
        control = self.device.controls.get(role)
        if control is None:
            return low, high
        return (low if control.min is None else control.min, high if control.max is None else control.max)

    def _available(self) -> list[int]:
        return sorted({c.number for c in self.device.controls.values()} | set(self.device.other_controls))

    def _control_label(self, number: int) -> str:
        control = self.device.config.by_number(number)
        return f"{number}: {control.name}" if control is not None else f"Control {number}"

    # --- exposing ---

    def _on_exposure(self, vector: Vector, values: dict[str, str]) -> None:
        if "CCD_EXPOSURE_VALUE" not in values:
            raise Refused("CCD_EXPOSURE_VALUE is missing")
        seconds = parse_number(values["CCD_EXPOSURE_VALUE"], "CCD_EXPOSURE_VALUE")
        member = vector["CCD_EXPOSURE_VALUE"]
        assert isinstance(member, Number)
        if not member.min <= seconds <= member.max:
            raise Refused(f"exposure {seconds:g} s is outside {member.min:g} to {member.max:g} s")
        us = round(seconds * 1e6)
        with self._lock:
            current = self._exposure
            if current is not None and not current.aborted:
                raise Refused(f"an exposure is in progress; it ends in {current.remaining():.1f} s")
            frame_type = FRAME_TYPES[self.frame_type.chosen() or "FRAME_LIGHT"]
            upload = (self.upload_mode.chosen() or "UPLOAD_CLIENT", self.upload_settings.text("UPLOAD_DIR"),
                      self.upload_settings.text("UPLOAD_PREFIX"))  # fmt: skip
            job = self._exposure = _Exposure(us, frame_type, upload)
            vector.set_numbers(CCD_EXPOSURE_VALUE=seconds)
            self._update(vector, BUSY)
        self._worker.submit(lambda: self._expose(job))

    def _expose(self, job: _Exposure) -> None:
        if job.aborted:  # abandoned before it began
            return
        ticker = threading.Thread(target=self._tick, args=(job,), name=f"indi tick {self.camera_id}", daemon=True)
        try:
            if self.device.has("exposure"):
                self.device.set("exposure", job.us)
            job.started = time.monotonic()
            ticker.start()
            try:
                record = self.device.expose()
            finally:
                job.done.set()
        except Exception as exc:
            self._finish(job, ALERT, f"exposure failed: {exc}")
            return
        with self._lock:
            if job.aborted:
                log.info("%s: the frame of an abandoned exposure was discarded", self.camera_id)
                return
            exposure = self._live["CCD_EXPOSURE"]
            exposure.set_numbers(CCD_EXPOSURE_VALUE=0)
            self._update(exposure, BUSY)  # exposed; the frame is on its way
        try:
            data = fits_bytes(record, frame_type=job.frame_type)
            path = self._deliver(job, data)
        except Exception as exc:
            self._finish(job, ALERT, f"the frame could not be delivered: {exc}")
            return
        self._finish(job, OK, None if path is None else f"saved {path}")

    def _tick(self, job: _Exposure) -> None:
        while not job.done.wait(TICK_S):
            with self._lock:
                if job.aborted or self._exposure is not job:
                    return
                exposure = self._live["CCD_EXPOSURE"]
                exposure.set_numbers(CCD_EXPOSURE_VALUE=round(job.remaining(), 3))
                self._update(exposure)

    def _finish(self, job: _Exposure, state: str, message: str | None) -> None:
        with self._lock:
            if self._exposure is job:
                self._exposure = None
                exposure = self._live.get("CCD_EXPOSURE")
                if exposure is not None:
                    self._update(exposure, state, message)

    def _deliver(self, job: _Exposure, data: bytes) -> str | None:
        mode, directory, prefix = job.upload
        if mode in ("UPLOAD_CLIENT", "UPLOAD_BOTH"):
            head = (f'<setBLOBVector device="{_attr(self.name)}" name="CCD1" state="Ok" '
                    f'timestamp="{timestamp()}">\n<oneBLOB name="CCD1" size="{len(data)}" format=".fits">')  # fmt: skip
            # Encoded piece by piece as it is written, so that indiserver reads the first pieces
            # while the later ones are encoded. Whole groups of 3 bytes: the pieces join up.
            view = memoryview(data)
            pieces = (base64.b64encode(view[i : i + _PIECE]) for i in range(0, len(data), _PIECE))
            self._send(head.encode(), pieces, b"</oneBLOB>\n</setBLOBVector>\n")
        if mode not in ("UPLOAD_LOCAL", "UPLOAD_BOTH"):
            return None
        path = self._save(os.path.expanduser(directory), prefix, data)
        with self._lock:
            vector = self._live.get("CCD_FILE_PATH")
            if vector is not None:
                vector.set_text(FILE_PATH=path)
                self._update(vector, OK)
        return path

    def _save(self, directory: str, prefix: str, data: bytes) -> str:
        """Writes a new file: XXX in the prefix becomes the first free number from 001."""
        os.makedirs(directory, exist_ok=True)
        pattern = os.path.join(directory, (prefix if "XXX" in prefix else prefix + "_XXX") + ".fits")
        number = self._next_file.get(pattern, 1)
        while True:
            path = pattern.replace("XXX", f"{number:03d}", 1)
            try:
                with open(path, "xb") as file:
                    file.write(data)
            except FileExistsError:
                number += 1
                continue
            self._next_file[pattern] = number + 1
            return path

    def _on_abort(self, vector: Vector, values: dict[str, str]) -> None:
        vector.choose("")
        if not parse_switch(values.get("ABORT", "Off"), "ABORT"):
            self._update(vector, IDLE)
            return
        with self._lock:
            job = self._exposure
            if job is None:
                self._update(vector, IDLE, "no exposure is in progress")
                return
            if job.done.is_set():
                raise Refused("the exposure has ended; its frame is being delivered")
            message = self._abandon(job)
            if not job.started:
                self._update(vector, OK, "the exposure was cancelled before it began")
                return
        raise Refused(message)

    def _abandon(self, job: _Exposure) -> str:
        """Marks the exposure abandoned, its property idle; says what the camera does now."""
        job.aborted = True
        self._exposure = None
        exposure = self._live.get("CCD_EXPOSURE")
        if exposure is not None:
            exposure.set_numbers(CCD_EXPOSURE_VALUE=0)
            self._update(exposure, IDLE)
        return (f"the camera cannot cancel an exposure: this one goes on for {job.remaining():.1f} s "
                "and its frame will be discarded")  # fmt: skip

    # --- readout ---

    def _still(self) -> None:
        if self._exposure is not None or self.device.exposing:
            raise Refused("the readout cannot change while an exposure is in progress")

    def _report_readout(self) -> None:
        with self._lock:
            frame, binning = self._live.get("CCD_FRAME"), self._live.get("CCD_BINNING")
            if frame is None or binning is None:  # disconnected meanwhile
                return
            x, y, w, h = self.device.region
            frame.set_numbers(X=x, Y=y, WIDTH=w, HEIGHT=h)
            binning.set_numbers(HOR_BIN=self.device.binning, VER_BIN=self.device.binning)
            self._update(binning, OK)
            self._update(frame, OK)

    def _on_frame(self, vector: Vector, values: dict[str, str]) -> None:
        self._still()
        x, y, w, h = (_whole(values[k], k) if k in values else int(vector.number(k))
                      for k in ("X", "Y", "WIDTH", "HEIGHT"))  # fmt: skip
        sensor = self.device.sensor
        if min(x, y) < 0 or min(w, h) < 1 or x + w > sensor.width or y + h > sensor.height:
            raise Refused(f"frame ({x}, {y}, {w}, {h}) does not fit the {sensor.width} x {sensor.height} sensor")
        self.device.set_region(x, y, w, h)
        self._report_readout()

    def _on_frame_reset(self, vector: Vector, values: dict[str, str]) -> None:
        vector.choose("")
        if not parse_switch(values.get("RESET", "Off"), "RESET"):
            self._update(vector, OK)
            return
        self._still()
        sensor = self.device.sensor
        self.device.set_readout(1, Region(0, 0, sensor.width, sensor.height))
        self._report_readout()
        self._update(vector, OK)

    def _on_binning(self, vector: Vector, values: dict[str, str]) -> None:
        self._still()
        h, v = (_whole(values[k], k) if k in values else int(vector.number(k)) for k in ("HOR_BIN", "VER_BIN"))
        if h != v:
            raise Refused(f"the camera bins alike along both axes: {h} x {v} is not possible")
        self.device.set_binning(h)
        self._report_readout()

    # --- cooling and controls ---

    def _on_temperature(self, vector: Vector, values: dict[str, str]) -> None:
        if "CCD_TEMPERATURE_VALUE" not in values:
            raise Refused("CCD_TEMPERATURE_VALUE is missing")
        target = parse_number(values["CCD_TEMPERATURE_VALUE"], "CCD_TEMPERATURE_VALUE")
        self.device.set("cooler_target", target)
        if self.device.has("cooler") and self.device.get("cooler") == 0:
            self.device.set("cooler", 1)  # a setpoint is a request to cool
            cooler = self._live.get("CCD_COOLER")
            if cooler is not None:
                cooler.choose("COOLER_ON")
                self._update(cooler, OK)
        with self._lock:
            self._setpoint = target
            vector.set_numbers(CCD_TEMPERATURE_VALUE=self.device.get("sensor_temperature"))
            self._update(vector, BUSY, f"cooling to {target:g} C")

    def _on_cooler(self, vector: Vector, values: dict[str, str]) -> None:
        on = self._chosen(vector, values) == "COOLER_ON"
        self.device.set("cooler", int(on))
        with self._lock:
            vector.choose("COOLER_ON" if on else "COOLER_OFF")
            self._update(vector, OK if on else IDLE)
            temperature = self._live.get("CCD_TEMPERATURE")
            if not on and temperature is not None:
                self._setpoint = None
                self._update(temperature, IDLE)

    def _on_gain(self, vector: Vector, values: dict[str, str]) -> None:
        self._set_role(vector, values, "gain", "GAIN")

    def _on_offset(self, vector: Vector, values: dict[str, str]) -> None:
        self._set_role(vector, values, "offset", "OFFSET")

    def _set_role(self, vector: Vector, values: dict[str, str], role: str, member: str) -> None:
        if member not in values:
            raise Refused(f"{member} is missing")
        self.device.set(role, parse_number(values[member], member))
        self._refresh_controls()

    def _on_control(self, vector: Vector, values: dict[str, str]) -> None:
        number = _whole(values["CONTROL"], "CONTROL") if "CONTROL" in values else int(vector.number("CONTROL"))
        if number not in self._available():
            raise Refused(f"control {number} is not available on this camera; it has "
                          f"{', '.join(map(str, self._available()))}")  # fmt: skip
        if "VALUE" in values:
            value = parse_number(values["VALUE"], "VALUE")
            control = self.device.config.by_number(number)
            if control is not None and control.role in self.device.controls:
                self.device.set(control.role, value)  # checked against the configured range
            else:
                self.device.camera.set_param(number, value)
        with self._lock:
            vector.set_numbers(CONTROL=number, VALUE=self.device.camera.get_param(number))
            self._update(vector, OK)
        self._refresh_controls()

    def _refresh_controls(self) -> None:
        """Reads back the controls that properties show, after one of them changed."""
        with self._lock:
            for prop, role, member in (("CCD_GAIN", "gain", "GAIN"), ("CCD_OFFSET", "offset", "OFFSET")):
                if prop in self._live:
                    self._live[prop].set_numbers(**{member: self.device.get(role)})
                    self._update(self._live[prop], OK)
            if "CCD_COOLER" in self._live:
                on = self.device.get("cooler") != 0
                self._live["CCD_COOLER"].choose("COOLER_ON" if on else "COOLER_OFF")
                self._update(self._live["CCD_COOLER"], OK if on else IDLE)
            listing = self._live.get("VEXCAM_CONTROLS")
            if listing is not None:
                listing.set_numbers(**{f"CONTROL_{k}": self.device.camera.get_param(k) for k in self._available()})
                self._update(listing, OK)

    def _on_choice(self, vector: Vector, values: dict[str, str]) -> None:
        chosen = self._chosen(vector, values)
        with self._lock:
            vector.choose(chosen)
            self._update(vector, OK)

    def _on_upload_settings(self, vector: Vector, values: dict[str, str]) -> None:
        directory = values.get("UPLOAD_DIR", vector.text("UPLOAD_DIR")).strip()
        prefix = values.get("UPLOAD_PREFIX", vector.text("UPLOAD_PREFIX")).strip()
        if not directory:
            raise Refused("UPLOAD_DIR is empty")
        if not prefix or "/" in prefix or os.sep in prefix:
            raise Refused(f"UPLOAD_PREFIX {prefix!r} must be a file name without a directory")
        with self._lock:
            vector.set_text(UPLOAD_DIR=directory, UPLOAD_PREFIX=prefix)
            self._update(vector, OK)

    def _poll(self) -> None:
        """Reports the sensor temperature while connected, and when the setpoint is reached."""
        while not self._stop_polling.wait(POLL_S):
            try:
                with self._lock:
                    vector = self._live.get("CCD_TEMPERATURE")
                    if vector is None:
                        return
                    reading = self.device.get("sensor_temperature")
                    state = vector.state
                    if self._setpoint is not None and abs(reading - self._setpoint) <= SETPOINT_BAND:
                        self._setpoint, state = None, OK
                    if math.isclose(reading, vector.number("CCD_TEMPERATURE_VALUE"), abs_tol=0.01) \
                            and state == vector.state:
                        continue
                    vector.set_numbers(CCD_TEMPERATURE_VALUE=reading)
                    self._update(vector, state)
            except Exception:
                log.exception("%s: reading the temperature", self.camera_id)

    # --- ending ---

    def shutdown(self) -> None:
        """Abandons an exposure in progress, then closes the camera on its worker."""
        with self._lock:
            if self._exposure is not None:
                self._exposure.aborted = True
                self._exposure = None
        # Queued behind a connection still being made, so that it closes too.
        self._worker.submit(lambda: self._disconnect() if self.device.is_open else None)
        self._worker.stop()

    def join(self, timeout: float) -> None:
        self._worker.join(timeout)


def _attr(text: str) -> str:
    return text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
