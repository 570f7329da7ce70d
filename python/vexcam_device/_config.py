"""The camera facts that the SDK cannot report, read from a small TOML file."""

from __future__ import annotations

import math
import tomllib
from dataclasses import dataclass, field
from importlib import resources
from os import PathLike
from typing import Any

# The roles a control may play; adapters look controls up by role, never by number.
ROLES = (
    "exposure",  # µs, set through Camera.set_exposure
    "gain",  # set through Camera.set_gain
    "offset",  # set through Camera.set_offset
    "sensor_temperature",  # °C
    "cooler",  # 0 off, 1 on
    "cooler_target",  # °C
    "frame_rate",  # live frames per second
    "test_pattern",
    "frames_delivered",  # live frames since the stream began
)
# The numbers the module accepts as control ids.
CONTROL_IDS = (*range(0, 38), *range(39, 42), *range(57, 60))
DEFAULT_FILE = "simulator.toml"
_KINDS = {int: "a whole number", float: "a number", str: "text", bool: "true or false", list: "a list"}


class ConfigError(ValueError):
    """A configuration file that cannot be used; the message names the file and the entry."""


@dataclass(frozen=True)
class Control:
    """One SDK control: its role, number, range and how adapters show it."""

    role: str
    number: int
    name: str
    unit: str = ""
    min: float | None = None
    max: float | None = None
    integer: bool = False
    read_only: bool = False

    def check(self, value: float) -> float:
        """`value` as a float if it may be set, else ValueError saying why."""
        if self.read_only:
            raise ValueError(f"{self.name} is read-only")
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"{self.name} must be a finite number, not {value!r}")
        if self.integer and not number.is_integer():
            raise ValueError(f"{self.name} must be a whole number, not {value!r}")
        if (self.min is not None and number < self.min) or (
            self.max is not None and number > self.max
        ):
            raise ValueError(f"{self.name} {value!r} is outside {self.range_text()}")
        return number

    def range_text(self) -> str:
        low = "-inf" if self.min is None else f"{self.min:g}"
        high = "inf" if self.max is None else f"{self.max:g}"
        return f"{low} to {high}"


@dataclass(frozen=True)
class CameraInfo:
    """What one camera model's frames and SDK do not tell."""

    bit_depth: int | None = None
    pixel_size_um: float | None = None
    sensor_name: str = ""


@dataclass(frozen=True)
class Config:
    """Controls by role, the binning factors, and per-camera facts by camera id."""

    controls: dict[str, Control]
    binnings: tuple[int, ...] = (1, 2, 4)
    pixel_size_um: float | None = None
    cameras: dict[str, CameraInfo] = field(default_factory=dict)
    source: str = DEFAULT_FILE

    @classmethod
    def load(cls, path: str | PathLike[str] | None = None) -> Config:
        """The file at `path`; without one, the simulated SDK's, which is the default."""
        if path is None:
            text = resources.files(__package__).joinpath(DEFAULT_FILE).read_text("utf-8")
            return cls.parse(text, DEFAULT_FILE)
        try:
            with open(path, encoding="utf-8") as file:
                text = file.read()
        except OSError as exc:
            raise ConfigError(f"{path}: cannot read the file: {exc.strerror}") from None
        return cls.parse(text, str(path))

    @classmethod
    def parse(cls, text: str, source: str = "<config>") -> Config:
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as exc:
            raise ConfigError(f"{source}: {exc}") from None
        reader = _Reader(source)
        controls: dict[str, Control] = {}
        for role, entry in reader.table(data, "controls").items():
            if role not in ROLES:
                raise ConfigError(f"{source}: [controls.{role}]: unknown role; roles: {', '.join(ROLES)}")
            controls[role] = reader.control(role, reader.table(data["controls"], role, f"controls.{role}"))
        numbers = [c.number for c in controls.values()]
        if len(set(numbers)) != len(numbers):
            raise ConfigError(f"{source}: two roles share one control number")
        sensor = reader.table(data, "sensor")
        binnings = tuple(reader.get(sensor, "binnings", list, "sensor", [1, 2, 4]))
        if not binnings or not all(type(b) is int and 1 <= b <= 64 for b in binnings):
            raise ConfigError(f"{source}: [sensor] binnings must be whole numbers from 1 to 64")
        cameras = {
            camera_id: CameraInfo(
                bit_depth=reader.bits(entry, f'cameras."{camera_id}"'),
                pixel_size_um=reader.size(entry, f'cameras."{camera_id}"'),
                sensor_name=reader.get(entry, "sensor_name", str, f'cameras."{camera_id}"', ""),
            )
            for camera_id, entry in reader.table(data, "cameras").items()
            if reader.is_table(entry, f'cameras."{camera_id}"')
        }
        return cls(controls, tuple(sorted(set(binnings))), reader.size(sensor, "sensor"), cameras, source)

    def camera(self, camera_id: str) -> CameraInfo:
        """The facts for `camera_id`, with the sensor-wide pixel size where it has none."""
        info = self.cameras.get(camera_id, CameraInfo())
        if info.pixel_size_um is None:
            return CameraInfo(info.bit_depth, self.pixel_size_um, info.sensor_name)
        return info

    def by_number(self, number: int) -> Control | None:
        return next((c for c in self.controls.values() if c.number == number), None)


class _Reader:
    """Typed look-ups in the parsed file, each failure naming the file and the entry."""

    def __init__(self, source: str) -> None:
        self.source = source

    def fail(self, where: str, what: str) -> ConfigError:
        return ConfigError(f"{self.source}: [{where}] {what}")

    def is_table(self, value: object, where: str) -> bool:
        if not isinstance(value, dict):
            raise self.fail(where, "must be a table")
        return True

    def table(self, data: dict[str, Any], key: str, where: str | None = None) -> dict[str, Any]:
        value = data.get(key, {})
        self.is_table(value, where or key)
        return dict(value)

    def get(self, entry: dict[str, Any], key: str, kind: type, where: str, default: Any) -> Any:
        value = entry.get(key, default)
        if kind is float and type(value) is int:
            value = float(value)
        if not isinstance(value, kind) or (kind is not bool and type(value) is bool):
            raise self.fail(where, f"{key} must be {_KINDS.get(kind, kind.__name__)}, not {value!r}")
        return value

    def optional(self, entry: dict[str, Any], key: str, where: str) -> float | None:
        return None if key not in entry else self.get(entry, key, float, where, None)

    def control(self, role: str, entry: dict[str, Any]) -> Control:
        where = f"controls.{role}"
        unknown = set(entry) - {"number", "name", "unit", "min", "max", "integer", "read_only"}
        if unknown:
            raise self.fail(where, f"unknown key {sorted(unknown)[0]!r}")
        if "number" not in entry:
            raise self.fail(where, "number is missing")
        number = self.get(entry, "number", int, where, None)
        if number not in CONTROL_IDS:
            raise self.fail(where, f"number {number} is not a control number the SDK defines")
        low, high = self.optional(entry, "min", where), self.optional(entry, "max", where)
        if low is not None and high is not None and low > high:
            raise self.fail(where, f"min {low:g} is above max {high:g}")
        return Control(
            role,
            number,
            self.get(entry, "name", str, where, role),
            self.get(entry, "unit", str, where, ""),
            low,
            high,
            self.get(entry, "integer", bool, where, False),
            self.get(entry, "read_only", bool, where, False),
        )

    def bits(self, entry: dict[str, Any], where: str) -> int | None:
        if "bit_depth" not in entry:
            return None
        bits = self.get(entry, "bit_depth", int, where, None)
        if not 1 <= bits <= 16:
            raise self.fail(where, f"bit_depth {bits} is outside 1 to 16")
        return int(bits)

    def size(self, entry: dict[str, Any], where: str) -> float | None:
        size = self.optional(entry, "pixel_size_um", where)
        if size is not None and not (math.isfinite(size) and size > 0):
            raise self.fail(where, f"pixel_size_um must be above 0, not {size:g}")
        return size
