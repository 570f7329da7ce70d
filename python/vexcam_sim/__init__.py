"""Control plane of the simulated VEXCAM camera SDK.

When `vexcam` is built without the vendor's library it links a simulated SDK instead: four
virtual cameras that expose, stream and answer every call like real ones. This module drives
that simulator from Python, so that tests (and your own scripts, with no camera attached) can

* choose which cameras exist (`clear_cameras`, `add_camera`; `cameras` and `camera_table`
  list them),
* make SDK functions fail or answer something unusual (`fail_next`, `fail_always`,
  `script_param`, `script_scan`, `script_frame`, `script_mem_length`, `open_returns_null`),
* choose how real the pictures and the cameras are (`set_noise`, `set_seed`,
  `allow_shared_open`),
* see what the program asked of the SDK (`calls`, `last_args`, `call_log`, `gil_held`,
  `frame_buffer_zeroed`, `open_handles`, `close_count`, `bad_handle_calls`),
* hold a call inside the SDK to test threading (`block`, `wait_blocked`, `unblock`),
* and trade realism for speed (`set_fast_frames`, `set_exposure_cap_us`).

It also names the simulator's result codes (`Code`, each with its `meaning`), the controls it
implements (`Control`, each with its range, default and unit in `info`; all of them in
`controls()`) and every control number the SDK defines (`CONTROL_IDS`), and describes its
cameras (`DEFAULT_CAMERAS`, the ones after loading; `camera_table()`, the ones configured now:
id, sensor size, bits, firmware). The codes, controls and cameras are read from the library
itself, whose tables are the only place they are written down.

A typical test::

    import vexcam, vexcam_sim

    vexcam_sim.reset()
    vexcam_sim.fail_next("SetVEXCAMParam", 7)
    cam = vexcam.Camera("VXSIM-M8-001")
    try:
        cam.set_gain(3.0)            # RuntimeError: Operation failed with error code: 7
    except RuntimeError:
        pass
    assert vexcam_sim.last_args("SetVEXCAMParam") == (vexcam_sim.last_handle(), 6, 3.0)

Functions are named by their SDK names as strings ("SetVEXCAMParam"); an unknown name raises
ValueError. The cameras, controls, result codes and timing of the simulator are described in
sim/README.md. Everything here is thread-safe; calls that wait (`wait_blocked`) let other
Python threads run.

Importing this module imports `vexcam` and attaches to the SDK library that `vexcam` loaded.
It raises RuntimeError when that library is a real vendor SDK rather than the simulator.
"""

import ctypes
import dataclasses
import enum
import math
import os
import sys
from collections.abc import Callable, Mapping
from typing import Any, Final, TypeAlias

import vexcam

# One scalar argument of an SDK call, as `last_args` reports it.
Arg: TypeAlias = int | float | bytes | None

__all__ = [
    "Code",
    "Control",
    "CONTROL_IDS",
    "CameraInfo",
    "ControlInfo",
    "DEFAULT_CAMERAS",
    "controls",
    "reset",
    "cameras",
    "camera_table",
    "clear_cameras",
    "add_camera",
    "fail_next",
    "fail_always",
    "clear_script",
    "script_param",
    "script_scan",
    "open_returns_null",
    "allow_shared_open",
    "script_frame",
    "script_mem_length",
    "calls",
    "last_args",
    "call_log",
    "gil_held",
    "frame_buffer_zeroed",
    "open_handles",
    "opened_handles",
    "last_handle",
    "close_count",
    "bad_handle_calls",
    "block",
    "wait_blocked",
    "unblock",
    "set_fast_frames",
    "set_exposure_cap_us",
    "set_noise",
    "set_seed",
]

#: Every control number the SDK defines, implemented or not: 0 to 37, 39 to 41 and 57 to 59.
#: `vexcam` refuses any other number without asking the SDK.
CONTROL_IDS: Final[frozenset[int]] = frozenset([*range(0, 38), *range(39, 42), *range(57, 60)])

_U32_MAX: Final = 0xFFFFFFFF
_U64_MAX: Final = 0xFFFFFFFFFFFFFFFF
_ID_BUFFER: Final = 64
_FIRMWARE_BUFFER: Final = 32
_CALL_LOG_LIMIT: Final = 10_000
_MAX_ARGS: Final = 8


def _load_library() -> ctypes.CDLL:
    # The extension has already loaded the SDK through its own dependency entry; asking the
    # loader for the same name returns that very object instead of loading a second copy.
    if sys.platform == "win32":
        name, fallback_dir = "vexcam.dll", os.path.dirname(vexcam.__file__)
    else:
        name = "libvexcam.so"
        fallback_dir = os.path.join(os.path.dirname(vexcam.__file__), "vexcam.libs")
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        lib = ctypes.CDLL(os.path.join(fallback_dir, name))
    if not hasattr(lib, "vxsim_reset"):
        raise RuntimeError("the loaded camera SDK is not the simulator")
    return lib


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    c = ctypes
    i32, u32, u64 = c.c_int32, c.c_uint32, c.c_uint64
    u32p, u64p, i32p = c.POINTER(u32), c.POINTER(u64), c.POINTER(i32)
    dp, textp = c.POINTER(c.c_double), c.POINTER(c.c_char_p)
    signatures: dict[str, tuple[Any, list[Any]]] = {
        "vxsim_function_count": (i32, []),
        "vxsim_function_name": (c.c_char_p, [i32]),
        "vxsim_reset": (None, []),
        "vxsim_camera_count": (u32, []),
        "vxsim_camera_id": (u32, [u32, c.c_char_p, u32]),
        "vxsim_clear_cameras": (None, []),
        "vxsim_add_camera": (i32, [c.c_char_p, u32, u32, u32, c.c_char_p, u32]),
        "vxsim_default_camera_count": (u32, []),
        "vxsim_camera_info": (i32, [i32, u32, c.c_char_p, u32, u32p, u32p, u32p, c.c_char_p, u32]),
        "vxsim_control_count": (u32, []),
        "vxsim_control_info": (i32, [u32, u32p, dp, dp, dp, i32p, i32p, textp, textp, textp]),
        "vxsim_result_count": (u32, []),
        "vxsim_result_info": (i32, [u32, u32p, textp, textp]),
        "vxsim_fail_next": (i32, [i32, u32, u32, u32]),
        "vxsim_fail_always": (i32, [i32, u32]),
        "vxsim_clear_script": (i32, [i32]),
        "vxsim_script_param": (None, [c.c_double, u32]),
        "vxsim_script_scan": (
            i32,
            [u32, u32p, c.POINTER(c.c_char_p), u32p, u32, u32p, u32p, u32],
        ),
        "vxsim_open_returns_null": (None, [i32]),
        "vxsim_set_shared_open": (None, [i32]),
        "vxsim_script_frame": (None, [u32, u32, u32, u32, u32, c.c_char_p, c.c_int64, u32]),
        "vxsim_calls": (u64, [i32]),
        "vxsim_last_args": (
            i32,
            [i32, c.c_char_p, u64p, c.POINTER(c.c_double), u32, c.c_char_p, u32, u32p],
        ),
        "vxsim_call_log": (u32, [c.POINTER(i32), u32]),
        "vxsim_gil_held": (i32, [i32]),
        "vxsim_frame_buffer_zeroed": (i32, [i32]),
        "vxsim_open_handles": (u32, [u64p, u32]),
        "vxsim_opened_handles": (u32, [u64p, u32]),
        "vxsim_last_handle": (u64, []),
        "vxsim_close_count": (u32, [u64]),
        "vxsim_bad_handle_calls": (u64, []),
        "vxsim_block": (i32, [i32]),
        "vxsim_unblock": (i32, [i32]),
        "vxsim_wait_blocked": (i32, [i32, u32]),
        "vxsim_set_fast_frames": (None, [i32]),
        "vxsim_set_exposure_cap_us": (None, [u64]),
        "vxsim_set_noise": (None, [i32]),
        "vxsim_set_seed": (None, [u64]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


# The C functions are reached through this, typed Any: ctypes checks each call's arguments
# against the declarations above, and every result is converted before it leaves this module.
_lib: Any = _declare(_load_library())
_FUNCTIONS: Final[dict[str, int]] = {
    _lib.vxsim_function_name(i).decode("ascii"): i for i in range(_lib.vxsim_function_count())
}
_NAMES: Final[dict[int, str]] = {index: name for name, index in _FUNCTIONS.items()}


@dataclasses.dataclass(frozen=True)
class CameraInfo:
    """One simulated camera, as scanning, opening and GetVEXCAMFWVersion show it."""

    id: str
    width: int  # sensor pixels
    height: int
    bits: int  # bits per sample, 1 to 16; above 8 each sample is a 16-bit word
    firmware: bytes  # the 32 bytes GetVEXCAMFWVersion writes: the version, zero-padded


@dataclasses.dataclass(frozen=True)
class ControlInfo:
    """One control the simulated cameras implement, as SetVEXCAMParam enforces it."""

    number: int  # the SDK's control number, the value of its `Control` member
    name: str  # the name of its `Control` member
    description: str
    unit: str  # "" for none
    min: float | None  # None for a read-only control, which refuses every value
    max: float | None
    default: float  # what GetVEXCAMParam returns on a newly opened camera
    read_only: bool
    integer: bool  # only whole numbers are accepted


def _text(raw: bytes | None) -> str:
    return (raw or b"").decode("utf-8")


def _bound(value: float) -> float | None:
    return None if math.isnan(value) else value


def _read_controls() -> dict[str, ControlInfo]:
    number = ctypes.c_uint32()
    low, high, initial = ctypes.c_double(), ctypes.c_double(), ctypes.c_double()
    read_only, integer = ctypes.c_int32(), ctypes.c_int32()
    name, description, unit = ctypes.c_char_p(), ctypes.c_char_p(), ctypes.c_char_p()
    table: dict[str, ControlInfo] = {}
    for index in range(_lib.vxsim_control_count()):
        outs = (number, low, high, initial, read_only, integer, name, description, unit)
        if _lib.vxsim_control_info(index, *(ctypes.byref(o) for o in outs)) != 0:
            raise RuntimeError(f"the simulator cannot describe control {index}")
        table[_text(name.value)] = ControlInfo(
            number.value,
            _text(name.value),
            _text(description.value),
            _text(unit.value),
            _bound(low.value),
            _bound(high.value),
            initial.value,
            bool(read_only.value),
            bool(integer.value),
        )
    return table


def _read_results() -> dict[str, tuple[int, str]]:
    value = ctypes.c_uint32()
    name, meaning = ctypes.c_char_p(), ctypes.c_char_p()
    table: dict[str, tuple[int, str]] = {}
    for index in range(_lib.vxsim_result_count()):
        if _lib.vxsim_result_info(index, *(ctypes.byref(o) for o in (value, name, meaning))) != 0:
            raise RuntimeError(f"the simulator cannot describe result code {index}")
        table[_text(name.value)] = (value.value, _text(meaning.value))
    return table


def _camera_info(defaults: bool, index: int) -> CameraInfo | None:
    """None once index is past the end (the cameras may change meanwhile)."""
    id_buffer = ctypes.create_string_buffer(_ID_BUFFER)
    firmware = ctypes.create_string_buffer(_FIRMWARE_BUFFER)
    width, height, bits = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint32()
    status = _lib.vxsim_camera_info(
        1 if defaults else 0,
        index,
        id_buffer,
        _ID_BUFFER,
        ctypes.byref(width),
        ctypes.byref(height),
        ctypes.byref(bits),
        firmware,
        _FIRMWARE_BUFFER,
    )
    if status != 0:
        return None
    name = id_buffer.value.decode("utf-8", "surrogateescape")
    return CameraInfo(name, width.value, height.value, bits.value, firmware.raw)


def _camera_list(defaults: bool, count: int) -> list[CameraInfo]:
    found: list[CameraInfo] = []
    for index in range(count):
        info = _camera_info(defaults, index)
        if info is None:
            break
        found.append(info)
    return found


# The simulator's own tables. The enums below name their members so that type checkers know
# them, and take each value from these by that name; a name missing on either side fails the
# import, so the two cannot drift apart.
_RESULTS: Final = _read_results()
_CONTROLS: Final = _read_controls()


def _reported(table: Mapping[str, object], name: str, what: str) -> Any:
    try:
        return table[name]
    except KeyError:
        raise RuntimeError(f"the loaded simulator reports no {what} {name}") from None


def _check_members(members: Mapping[str, object], table: Mapping[str, object], what: str) -> None:
    unnamed = sorted(set(table) - set(members))
    if unnamed:
        raise RuntimeError(f"the loaded simulator reports {what}s this module lacks: {unnamed}")


class Code(enum.IntEnum):
    """What the simulated SDK's functions return; the values come from the library.

    `Code.OUT_OF_RANGE.meaning` says when a code is returned (sim/README.md, "Result codes").
    """

    @staticmethod
    def _generate_next_value_(name: str, start: int, count: int, last_values: list[Any]) -> int:
        value: int = _reported(_RESULTS, name, "result code")[0]
        return value

    OK = enum.auto()
    NOT_AVAILABLE = enum.auto()
    BAD_HANDLE = enum.auto()
    BAD_ARGUMENT = enum.auto()
    UNKNOWN_CONTROL = enum.auto()
    OUT_OF_RANGE = enum.auto()
    READ_ONLY = enum.auto()
    NO_FRAME = enum.auto()
    NOT_LIVE = enum.auto()
    BUFFER_TOO_SMALL = enum.auto()
    RESOURCE_NOT_HELD = enum.auto()
    INTERNAL_FAILURE = enum.auto()

    @property
    def meaning(self) -> str:
        return _RESULTS[self.name][1]


class Control(enum.IntEnum):
    """The controls the simulated cameras implement, numbered by the library.

    `Control.GAIN.info` is its `ControlInfo`: range, default, unit, whether it is read-only
    or takes whole numbers only (sim/README.md, "Controls").
    """

    @staticmethod
    def _generate_next_value_(name: str, start: int, count: int, last_values: list[Any]) -> int:
        info: ControlInfo = _reported(_CONTROLS, name, "control")
        return info.number

    TEMPERATURE = enum.auto()
    GAIN = enum.auto()
    OFFSET = enum.auto()
    EXPOSURE = enum.auto()
    FRAME_RATE = enum.auto()
    COOLER_ON = enum.auto()
    COOLER_TARGET = enum.auto()
    TEST_PATTERN = enum.auto()
    LIVE_FRAMES = enum.auto()

    @property
    def info(self) -> ControlInfo:
        return _CONTROLS[self.name]


_check_members(Code.__members__, _RESULTS, "result code")
_check_members(Control.__members__, _CONTROLS, "control")

#: The cameras after loading and after `reset()`, in scanning order.
DEFAULT_CAMERAS: Final[tuple[CameraInfo, ...]] = tuple(
    _camera_list(True, _lib.vxsim_default_camera_count())
)


def controls() -> list[ControlInfo]:
    """Returns the implemented controls (`ControlInfo`: range, default, unit), by number."""
    return sorted((member.info for member in Control), key=lambda info: info.number)

def _fn(func: str) -> int:
    try:
        return _FUNCTIONS[func]
    except (KeyError, TypeError):
        raise ValueError(f"unknown SDK function: {func!r}") from None


def _u32(value: int, what: str) -> int:
    """Accepts 0..2**32-1, and negative codes down to -2**31 as their 32-bit pattern."""
    value = int(value)
    if not -(2**31) <= value <= _U32_MAX:
        raise ValueError(f"{what} must fit in 32 bits, got {value}")
    return value & _U32_MAX


def _count(value: int, what: str) -> int:
    value = int(value)
    if not 0 <= value <= _U32_MAX:
        raise ValueError(f"{what} must be between 0 and {_U32_MAX}, got {value}")
    return value


def _times(times: int) -> int:
    return _count(times, "times")


def _as_bytes(text: object, what: str) -> bytes:
    """Checked at run time too: untyped callers may pass anything."""
    if isinstance(text, str):
        return text.encode("utf-8")
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    if isinstance(text, memoryview):
        return text.tobytes()
    raise TypeError(f"{what} must be str or bytes, not {type(text).__name__}")


def reset() -> None:
    """Puts the simulator back to its state after loading.

    Restores the default camera list; clears every script, counter, the call log and the
    recorded arguments; lifts every block (blocked calls go on); turns fast frames,
    `open_returns_null` and `allow_shared_open` off; turns sensor noise on and restarts it
    from seed 0; sets the exposure cap back to 2 s. Cameras that are still open
    stay open and usable: a `Camera` left over from an earlier test may close its handle
    later without that counting as a bad call. Handle values are never reused.
    """
    _lib.vxsim_reset()


def cameras() -> list[str]:
    """Returns the ids (list of str) of the configured cameras, in scanning order."""
    ids: list[str] = []
    buffer = ctypes.create_string_buffer(_ID_BUFFER)
    for index in range(_lib.vxsim_camera_count()):
        length: int = _lib.vxsim_camera_id(index, buffer, _ID_BUFFER)
        ids.append(buffer.raw[: min(length, _ID_BUFFER)].decode("utf-8", "surrogateescape"))
    return ids


def camera_table() -> list[CameraInfo]:
    """Returns the configured cameras (`CameraInfo`: id, sensor size, bits, firmware), in
    scanning order."""
    return _camera_list(False, _lib.vxsim_camera_count())


def clear_cameras() -> None:
    """Removes every camera: scanning finds none and OpenVEXCAM returns NULL for any id.

    Cameras already open are not affected.
    """
    _lib.vxsim_clear_cameras()


def add_camera(
    id: str | bytes,
    width: int,
    height: int,
    bits: int,
    firmware: bytes | str = b"\x01\x02\x03",
) -> None:
    """Adds a camera at the end of the scanning order.

    `id` (str or bytes) is at most 63 bytes without NUL and unique among the configured
    cameras. The sensor is `width` x `height` pixels (each at least 1, with
    width * height * 2 below 2**32) of `bits` bits per sample (1 to 16; above 8 the samples
    are 16-bit little-endian words). `firmware` (at most 32 bytes, zero-padded) is what
    GetVEXCAMFWVersion writes; the module shows its first three bytes. Raises ValueError
    for anything outside these rules.
    """
    raw = _as_bytes(id, "id")
    firmware_bytes = _as_bytes(firmware, "firmware")
    if b"\0" in raw or len(raw) >= _ID_BUFFER:
        raise ValueError("camera id must be at most 63 bytes without NUL")
    if len(firmware_bytes) > _FIRMWARE_BUFFER:
        raise ValueError("firmware must be at most 32 bytes")
    if not (1 <= width <= _U32_MAX and 1 <= height <= _U32_MAX and 1 <= bits <= 16):
        raise ValueError("width and height must be at least 1 and bits between 1 and 16")
    if width * height * 2 > _U32_MAX:
        raise ValueError("width * height * 2 must fit in 32 bits")
    status = _lib.vxsim_add_camera(
        raw, width, height, bits, firmware_bytes, len(firmware_bytes)
    )
    if status == -3:
        raise ValueError(f"a camera with id {raw!r} already exists")
    if status != 0:
        raise ValueError("invalid camera description")


def fail_next(func: str, code: int, times: int = 1, after: int = 0) -> None:
    """The next `times` calls of `func` return `code` instead of doing their work.

    With `after`, the first `after` calls go through as usual (to a `fail_always` script
    or the camera) and the `times` calls after them fail: `fail_next("GetVEXCAMLiveFrame",
    8, after=2)` fails the third frame read from now.

    `code` is the 32-bit result (negative values are taken as their 32-bit pattern, so -1
    means 4294967295). For ScanVEXCAM it is the camera count returned, for GetVEXCAMMemLength
    the length, for IsVEXCAMControlAvailable the availability answer, for GetVEXCAMParam the
    value (as a float); for OpenVEXCAM any code means NULL. CloseVEXCAM still closes the
    handle. Calls with a bad handle fail as such and do not use up the script. It is served
    before any `fail_always`. Calling `fail_next` again for the same function replaces what
    is left of the previous one (`times=0` just removes it), so a call that the program
    rightly skipped never leaves a stale answer behind.
    """
    _lib.vxsim_fail_next(_fn(func), _u32(code, "code"), _times(times), _count(after, "after"))


def fail_always(func: str, code: int) -> None:
    """Like `fail_next`, for every call until `clear_script(func)` or `reset()`."""
    _lib.vxsim_fail_always(_fn(func), _u32(code, "code"))


def clear_script(func: str) -> None:
    """Forgets every script that changes what `func` does.

    That is its `fail_next` and `fail_always` scripts, and also `script_param` for
    GetVEXCAMParam, `script_frame` for either frame function, `script_scan` for ScanVEXCAM or
    GetVEXCAMId, and `open_returns_null` for OpenVEXCAM.
    """
    _lib.vxsim_clear_script(_fn(func))


def script_param(value: float, times: int = 1) -> None:
    """The next `times` GetVEXCAMParam calls return `value` (NaN and infinities too).

    Replaces what is left of an earlier `script_param`; `fail_next` is served before it.
    """
    _lib.vxsim_script_param(float(value), _times(times))


def script_scan(
    count: int,
    ids: Mapping[int, str | bytes] | None = None,
    failing: Mapping[int, int] | None = None,
) -> None:
    """Scripts discovery until `reset()` (or `clear_script("ScanVEXCAM")`).

    ScanVEXCAM returns `count`. GetVEXCAMId(i) returns `failing[i]` without writing for the
    indexes in `failing`; copies `ids[i]` (bytes or str, at most 64 bytes, not necessarily
    UTF-8) raw into the id buffer, followed by a NUL unless it is exactly 64 bytes long; and
    writes b"SCRIPTED-<i>" for every other index. A new call replaces the previous script.
    """
    id_bytes = {int(i): _as_bytes(v, "id") for i, v in (ids or {}).items()}
    codes = {int(i): _u32(code, "code") for i, code in (failing or {}).items()}
    if any(len(v) > _ID_BUFFER for v in id_bytes.values()):
        raise ValueError("a scripted id is at most 64 bytes")
    for index in (*id_bytes, *codes):
        if not 0 <= index <= _U32_MAX:
            raise ValueError(f"index {index} does not fit in 32 bits")
    u32_array = ctypes.c_uint32 * max(len(id_bytes), len(codes), 1)
    status = _lib.vxsim_script_scan(
        _u32(count, "count"),
        u32_array(*id_bytes.keys()),
        (ctypes.c_char_p * max(len(id_bytes), 1))(*id_bytes.values()),
        u32_array(*(len(v) for v in id_bytes.values())),
        len(id_bytes),
        u32_array(*codes.keys()),
        u32_array(*codes.values()),
        len(codes),
    )
    if status != 0:
        raise ValueError("invalid scan script")


def open_returns_null(flag: bool = True) -> None:
    """While `flag` is true, OpenVEXCAM returns NULL for every id."""
    _lib.vxsim_open_returns_null(1 if flag else 0)


def allow_shared_open(flag: bool = True) -> None:
    """While `flag` is true, an id may be opened again while a handle to it is open.

    By default a camera serves one handle at a time, as hardware does: OpenVEXCAM of an id
    already open returns NULL, so a second `vexcam.Camera(id)` raises "Failed to open
    camera: ID" until the first is closed. Shared handles are independent cameras, each
    with its own settings and streams.
    """
    _lib.vxsim_set_shared_open(1 if flag else 0)


def script_frame(
    width: int | None = None,
    height: int | None = None,
    bits: int | None = None,
    channels: int | None = None,
    data: bytes | bytearray | memoryview | None = None,
    unwritten: bool = False,
    times: int = 1,
) -> None:
    """The next `times` frame reads (GetVEXCAMSingleFrame or GetVEXCAMLiveFrame) succeed.

    They need no exposure or live mode and return 0. Each out-value given is written; one
    left as None is not touched, so it keeps what the caller put there; `unwritten=True`
    writes none of the four. `data` (bytes), if given, is copied to the start of the buffer,
    at most as many bytes as GetVEXCAMMemLength last reported for that handle. A new call
    replaces what is left of the previous one; `fail_next` on a frame function is served
    before it.
    """
    values = (width, height, bits, channels)
    written = 0 if unwritten else sum(1 << i for i, v in enumerate(values) if v is not None)
    numbers = [0 if v is None else _u32(v, "frame value") for v in values]
    raw = None if data is None else bytes(data)
    _lib.vxsim_script_frame(
        written, *numbers, raw, -1 if raw is None else len(raw), _times(times)
    )


def script_mem_length(n: int, times: int = 1, after: int = 0) -> None:
    """The next `times` GetVEXCAMMemLength calls return `n` (0 is its failure value).

    The same as `fail_next("GetVEXCAMMemLength", n, times, after)`. Frame reads then write
    at most `n` bytes.
    """
    fail_next("GetVEXCAMMemLength", n, times, after)


def calls(func: str) -> int:
    """Returns how many times `func` was called since `reset()`, failed calls included."""
    return int(_lib.vxsim_calls(_fn(func)))


def last_args(func: str) -> tuple[Arg, ...]:
    """Returns the scalar arguments of the last call of `func`, in order, as a tuple.

    Handles and unsigned integers come back as int, doubles as float, OpenVEXCAM's id as
    bytes up to its NUL (None for a NULL pointer). Pointer out-arguments are left out, so
    GetVEXCAMId gives `(index,)` and GetVEXCAMSingleFrame `(handle,)`. Returns `()` if
    `func` was not called since `reset()`.
    """
    index = _fn(func)
    kinds = ctypes.create_string_buffer(_MAX_ARGS)
    integers = (ctypes.c_uint64 * _MAX_ARGS)()
    reals = (ctypes.c_double * _MAX_ARGS)()
    text_length = ctypes.c_uint32(0)
    capacity = 256
    while True:
        text = ctypes.create_string_buffer(capacity)
        count: int = _lib.vxsim_last_args(
            index, kinds, integers, reals, _MAX_ARGS, text, capacity, ctypes.byref(text_length)
        )
        if text_length.value <= capacity:
            break
        capacity = text_length.value
    if count < 0:
        return ()
    result: list[Arg] = []
    for i in range(count):
        kind = kinds.raw[i : i + 1]
        if kind == b"d":
            result.append(reals[i])
        elif kind == b"s":
            result.append(text.raw[: text_length.value])
        elif kind == b"n":
            result.append(None)
        else:
            result.append(int(integers[i]))
    return tuple(result)


def call_log() -> list[str]:
    """Returns the names of the SDK functions called since `reset()`, oldest first.

    Only the last 10000 calls are kept.
    """
    out = (ctypes.c_int32 * _CALL_LOG_LIMIT)()
    length: int = _lib.vxsim_call_log(out, _CALL_LOG_LIMIT)
    return [_NAMES[out[i]] for i in range(min(length, _CALL_LOG_LIMIT))]


def _tristate(value: int) -> bool | None:
    return None if value < 0 else bool(value)


def gil_held(func: str) -> bool | None:
    """Whether the thread of the last call of `func` held the Python GIL.

    None if `func` was not called since `reset()`, or if the library could not find the
    interpreter. Calls made through ctypes (as this module makes them) never hold it.
    """
    return _tristate(_lib.vxsim_gil_held(_fn(func)))


def frame_buffer_zeroed(func: str) -> bool | None:
    """For the last call of a frame function: were its buffer's bytes all zero on entry?

    The bytes checked are as many as GetVEXCAMMemLength last reported for that handle.
    None if not called since `reset()`, if the handle or buffer was bad, or in fast mode.
    """
    return _tristate(_lib.vxsim_frame_buffer_zeroed(_fn(func)))


def _handle_list(query: Callable[[Any, int], int]) -> list[int]:
    capacity = 64
    while True:
        out = (ctypes.c_uint64 * capacity)()
        count = int(query(out, capacity))
        if count <= capacity:
            return [int(out[i]) for i in range(count)]
        capacity = count


def open_handles() -> list[int]:
    """Returns the handles (ints) open right now, opened before `reset()` too, ascending."""
    return _handle_list(_lib.vxsim_open_handles)


def opened_handles() -> list[int]:
    """Returns every handle OpenVEXCAM returned since `reset()`, in the order returned."""
    return _handle_list(_lib.vxsim_opened_handles)


def last_handle() -> int:
    """Returns the handle that OpenVEXCAM last returned since `reset()`, or 0."""
    return int(_lib.vxsim_last_handle())


def close_count(handle: int) -> int:
    """Returns how many CloseVEXCAM calls named `handle` since `reset()`, failed ones too."""
    return int(_lib.vxsim_close_count(int(handle)))


def bad_handle_calls() -> int:
    """Returns how many calls since `reset()` named a null, unknown or closed handle.

    A call whose handle another thread closed while it waited inside the SDK counts too.
    A correct program keeps this at 0.
    """
    return int(_lib.vxsim_bad_handle_calls())


def block(func: str) -> None:
    """From now on, calls of `func` wait inside the SDK until `unblock(func)`.

    They are counted and logged before they wait, and do their work after.
    """
    _lib.vxsim_block(_fn(func))


def wait_blocked(func: str, timeout: float = 5.0) -> bool:
    """Waits until a thread waits inside `func`; returns False if `timeout` s pass first."""
    index = _fn(func)
    ms = 0 if timeout <= 0 else min(math.ceil(timeout * 1000), _U32_MAX)
    return bool(_lib.vxsim_wait_blocked(index, ms) == 1)


def unblock(func: str) -> None:
    """Lets every call waiting inside `func` go on, and stops blocking new calls."""
    _lib.vxsim_unblock(_fn(func))


def set_fast_frames(flag: bool) -> None:
    """Turns the cheap mode for benchmarks on or off.

    In fast mode exposures and live frames take no time, and frame reads copy a picture made
    once per readout setting (the same for every live frame, its noise drawn once). The rules
    stay: a single-frame read still needs an exposure before it, a live read needs live mode.
    """
    _lib.vxsim_set_fast_frames(1 if flag else 0)


def set_exposure_cap_us(us: int) -> None:
    """Sets the longest wall-clock time (µs) an exposure really waits; default 2_000_000.

    Brightness still follows the exposure time that was set; only the waiting is cut short.
    Live frames come at most this much slower than the frame rate asks.
    """
    us = int(us)
    if us < 0:
        raise ValueError("the exposure cap cannot be negative")
    _lib.vxsim_set_exposure_cap_us(us)


def set_noise(flag: bool) -> None:
    """Turns sensor noise on (the default after loading and `reset()`) or off.

    With noise, every exposure and live frame draws photon shot noise, read noise and dark
    current afresh, over a few fixed hot pixels, so two frames at the same settings differ
    and averaging N of them lowers the noise by about sqrt(N). The mean level follows
    exposure, gain and offset as without noise. Without it, the same settings give
    byte-identical single exposures: the picture a test can compare exactly.
    """
    _lib.vxsim_set_noise(1 if flag else 0)


def set_seed(seed: int) -> None:
    """Restarts the noise sequence from `seed` (0 to 2**64-1).

    The same calls after the same seed give the same frames, whichever cameras make them.
    `reset()` restarts it from seed 0.
    """
    seed = int(seed)
    if not 0 <= seed <= _U64_MAX:
        raise ValueError(f"seed must be between 0 and {_U64_MAX}, got {seed}")
    _lib.vxsim_set_seed(seed)
