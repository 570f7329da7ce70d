# Leaks: every callable, on its success path and on each of its failure paths, called many
# times over. References to arguments and types, the objects handed out, the Python heap, the
# native heap and the resident set all stay flat.
#
# VEXCAM_LEAK_SCALE multiplies every loop (for example 10 for a soak run, 0.05 under valgrind).
import ctypes
import gc
import os
import sys
import tracemalloc
import weakref
from typing import Any, Callable, NamedTuple

import numpy as np
import pytest

import vexcam
from conftest import EXPOSURE_CAP_US, M8, M16, MEM, METHODS
from memory_use import mapped_bytes, resident_bytes

SCALE = float(os.environ.get("VEXCAM_LEAK_SCALE", "1"))
ROUNDS = max(20, int(2000 * SCALE))
WARM_UP = 20  # caches, interned strings, free lists and first-use type objects settle first
# Bytes per round that may move for other reasons. No leaked Python object is smaller than
# 16 bytes and no leaked malloc block smaller than 32, so any leak of one per call shows.
PYTHON_SLACK_PER_ROUND = 8
NATIVE_SLACK_PER_ROUND = 16
MAPPED_SLACK = 256 * 1024 * 1024  # one leaked 8 MiB frame per round would far exceed this

# Small sensors keep frame cases as cheap as settings calls. The ids are longer than any
# in-place string buffer, so a leaked copy of one is a heap block of its own.
SMALL8 = "LEAK-SMALL8-0001-WITH-A-LONG-ID"
SMALL16 = "LEAK-SMALL16-0002-WITH-A-LONG-ID"
UNKNOWN = "LEAK-NO-SUCH-CAMERA-WITH-A-LONG-ID"


# --- Argument objects. None of them is immortal: a reference kept by the module shows. ---


class Int(int):
    """Not an exact int, so conversion goes through __index__ and makes an int of its own."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """Every numeric conversion raises `error`, chained to `cause` when one is given.

    The exception's traceback holds this object, so an exception the module keeps shows up in
    the object's reference count; `cause` shows a kept cause the same way.
    """

    def __init__(self, error, cause=None):
        self.error = error
        self.cause = cause

    def _fail(self):
        raise self.error("conversion refused") from self.cause

    def __index__(self):
        self._fail()

    def __float__(self):
        self._fail()


class Text(str):
    pass


def big(n):
    assert not -5 <= n <= 256, "small ints are immortal"
    return int(str(n))  # built at run time, not a constant of the code object


def real(x):
    return float(str(x))


def text(s):
    return "".join(list(s))  # a new object, not the interned literal


def watched_objects(args):
    """The arguments and the objects they hand to the module on conversion."""
    found = []
    for arg in args:
        found.append(arg)
        for name in ("value", "cause"):
            inner = getattr(arg, name, None)
            if inner is not None and not isinstance(inner, bool):
                found.append(inner)
    return found


# --- The table: callable/path -> how to call it, and what it should raise. ---


class Case(NamedTuple):
    on: str  # "module": no camera; "open" / "open16": an opened small camera; "closed"
    call: Callable[[Any, tuple], Any]  # (camera, arguments) -> result
    args: Callable[[], tuple] = tuple  # fresh argument objects, made once per test
    raises: type[BaseException] | None = None
    # (sim, camera): scripts the simulator or readies the camera; run again after a reset.
    setup: Callable[[Any, Any], Any] | None = None


def steps(*setups):
    def run(sim, camera):
        for setup in setups:
            if setup is not None:
                setup(sim, camera)

    return run


def always(function, code):
    return lambda sim, camera: sim.fail_always(function, code)


def zero_sized_frames(sim, camera):
    sim.script_frame(width=0, height=4, bits=8, channels=1, times=0xFFFFFFFF)


def exposed(sim, camera):
    camera.exp_single_frame()


def live(sim, camera):
    camera.begin_live()


def unreadable_ids(sim, camera):
    sim.script_scan(4, ids={2: b"\xff\xfeNOT-UTF-8-AT-ALL"}, failing={1: 5})


def method(name):
    """Calls the camera's method `name` with the arguments by position."""
    return lambda camera, args: getattr(camera, name)(*args)


def function(fn):
    return lambda camera, args: fn(*args)


def fresh(value):
    """A registry argument as an object of its own, where it can be one."""
    if isinstance(value, float):
        return real(value)
    if isinstance(value, int) and not -5 <= value <= 256:
        return big(value)
    return value


# Arguments of this file's choosing: well-formed, and of the wrong type, for the first parameter.
GOOD = {
    "set_exposure": lambda: (big(3_000_000_123),),
    "set_gain": lambda: (real(12.5),),
    "set_offset": lambda: (real(20.25),),
    "set_stream_mode": lambda: (Index(1),),
}
WRONG_TYPE = {
    "set_exposure": lambda: (text("5us"),),
    "set_gain": lambda: (text("high"),),
    "set_offset": lambda: (bytes([50, 48]),),
    "set_stream_mode": lambda: (real(1.0),),
}
READY = {"exposed": exposed, "live": live}


def registry_cases():
    """Every method of the registry: success, the SDK failing, a closed camera, and an argument
    of the wrong type or one too many. The hand-written cases below replace some of them."""
    cases = {}
    for c in METHODS:
        setup = READY.get(c.ready)
        good = GOOD.get(c.name, lambda c=c: tuple(fresh(a) for a in c.args))
        cases[f"{c.name}/ok"] = Case("open", method(c.name), good, setup=setup)
        # A failed buffer size is a case of its own (no-size): a huge one would be allocated.
        failing = [f for f in c.sdk if f != MEM]
        if failing:
            code = 7 if c.params else 0xFFFFFFFF
            raises = None if c.returns in (bool, float) else RuntimeError  # answers, not statuses
            fails = steps(setup, always(failing[0], code))
            cases[f"{c.name}/sdk-fails"] = Case("open", method(c.name), good, raises, fails)
        on_closed = RuntimeError if c.closed == "raises" else None
        cases[f"{c.name}/closed"] = Case("closed", method(c.name), good, on_closed)
        if c.params:
            wrong = WRONG_TYPE.get(c.name, lambda: (text("wrong"),))
            wrong_type = lambda wrong=wrong, good=good: wrong() + good()[1:]  # noqa: E731
            cases[f"{c.name}/wrong-type"] = Case("open", method(c.name), wrong_type, TypeError)
        else:
            given = lambda: (real(1.5),)  # noqa: E731
            cases[f"{c.name}/argument-given"] = Case("open", method(c.name), given, TypeError)
    return cases


def frame_failure_cases():
    """The reads' own failures: no frame to read, no buffer size, a frame of zero size."""
    cases = {}
    for name, setup in [
        ("get_single_frame", None),
        ("capture_single_frame", always("GetVEXCAMSingleFrame", 9)),
        ("get_live_frame", None),
    ]:
        if setup is not None:
            cases[f"{name}/read-fails"] = Case("open", method(name), tuple, RuntimeError, setup)
        cases[f"{name}/no-size"] = Case(
            "open", method(name), raises=RuntimeError, setup=always("GetVEXCAMMemLength", 0)
        )
        cases[f"{name}/zero-size"] = Case(
            "open", method(name), raises=ValueError, setup=zero_sized_frames
        )
    cases["get_single_frame/no-exposure"] = Case(
        "open", method("get_single_frame"), raises=RuntimeError
    )
    cases["get_live_frame/not-live"] = Case("open", method("get_live_frame"), raises=RuntimeError)
    cases["get_single_frame/ok-16bit"] = Case("open16", method("get_single_frame"), setup=exposed)
    cases["capture_single_frame/ok-16bit"] = Case("open16", method("capture_single_frame"))
    cases["get_live_frame/ok-16bit"] = Case("open16", method("get_live_frame"), setup=live)
    return cases


def camera_id():
    return (text(SMALL8),)


CASES: dict[str, Case] = {
    **registry_cases(),
    # Discovery.
    "init_sdk/ok": Case("module", function(vexcam.init_sdk)),
    "init_sdk/sdk-fails": Case(
        "module", function(vexcam.init_sdk), raises=RuntimeError,
        setup=always("InitVEXCAMResource", 5),
    ),
    "init_sdk/argument-given": Case("module", function(vexcam.init_sdk), camera_id, TypeError),
    "scan_cameras/ok": Case("module", function(vexcam.scan_cameras)),
    "scan_cameras/some-ids-unreadable": Case(
        "module", function(vexcam.scan_cameras), setup=unreadable_ids
    ),
    "scan_cameras/init-fails": Case(
        "module", function(vexcam.scan_cameras), raises=RuntimeError,
        setup=always("InitVEXCAMResource", 0xFFFFFFFF),
    ),
    "scan_cameras/scan-fails": Case(
        "module", function(vexcam.scan_cameras), raises=RuntimeError,
        setup=lambda sim, camera: sim.script_scan(0xFFFFFFFF),
    ),
    "scan_cameras/keyword-given": Case(
        "module", lambda c, a: vexcam.scan_cameras(all=a[0]),  # type: ignore[call-arg]
        camera_id, TypeError,
    ),
    # Construction; each success also drops the camera, which closes it.
    "Camera/ok": Case("module", function(vexcam.Camera), camera_id),
    "Camera/ok-keyword": Case("module", lambda c, a: vexcam.Camera(id=a[0]), camera_id),
    "Camera/ok-str-subclass": Case("module", function(vexcam.Camera), lambda: (Text(SMALL8),)),
    "Camera/open-fails": Case(
        "module", function(vexcam.Camera), lambda: (text(UNKNOWN),), RuntimeError
    ),
    "Camera/open-returns-null": Case(
        "module", function(vexcam.Camera), camera_id, RuntimeError,
        lambda sim, camera: sim.open_returns_null(),
    ),
    "Camera/nul-in-id": Case(
        "module", function(vexcam.Camera), lambda: (text(SMALL8 + "\0tail"),), RuntimeError
    ),
    "Camera/not-utf8": Case(
        "module", function(vexcam.Camera), lambda: (text("LEAK-\ud800-SURROGATE"),),
        UnicodeEncodeError,
    ),
    "Camera/wrong-type": Case(
        "module", function(vexcam.Camera), lambda: (SMALL8.encode(),), TypeError
    ),
    "Camera/missing": Case("module", function(vexcam.Camera), raises=TypeError),
    "Camera/too-many": Case(
        "module", function(vexcam.Camera), lambda: (text(SMALL8), text(SMALL16)), TypeError
    ),
    "Camera/unknown-keyword": Case(
        "module", lambda c, a: vexcam.Camera(ident=a[0]),  # type: ignore[call-arg]
        camera_id, TypeError,
    ),
    "Camera/given-twice": Case(
        "module", lambda c, a: vexcam.Camera(a[0], id=a[1]),  # type: ignore[misc]
        lambda: (text(SMALL8), text(SMALL8)), TypeError,
    ),
    # Handle lifecycle.
    "close/ok": Case("module", lambda c, a: vexcam.Camera(*a).close(), camera_id),
    "close/sdk-fails": Case(
        "module", lambda c, a: vexcam.Camera(*a).close(), camera_id, RuntimeError,
        always("CloseVEXCAM", 7),
    ),
    "open/keyword-given": Case("open", lambda c, a: c.open(id=a[0]), camera_id, TypeError),
    # Frame reads' own failures.
    **frame_failure_cases(),
    "set_exposure/ok-int-subclass": Case("open", method("set_exposure"), lambda: (Int(250),)),
    "set_exposure/ok-index": Case(
        "open", lambda c, a: c.set_exposure(us=a[0]), lambda: (Index(big(3_000_000_123)),)
    ),
    "set_exposure/too-large": Case(
        "open", method("set_exposure"), lambda: (big(2**40 + 17),), OverflowError
    ),
    "set_exposure/too-large-index": Case(
        "open", method("set_exposure"), lambda: (Index(big(2**40 + 17)),), OverflowError
    ),
    "set_exposure/negative": Case(
        "open", method("set_exposure"), lambda: (big(-3_000_000_123),), OverflowError
    ),
    "set_exposure/index-not-int": Case(
        "open", method("set_exposure"), lambda: (Index(real(2.5)),), TypeError
    ),
    "set_exposure/index-raises": Case(
        "open", method("set_exposure"), lambda: (Raising(ArithmeticError),), ArithmeticError
    ),
    "set_exposure/index-raises-chained-type-error": Case(
        "open", method("set_exposure"), lambda: (Raising(TypeError, KeyError(text("why"))),),
        TypeError,
    ),
    "set_gain/ok-float-like": Case("open", method("set_gain"), lambda: (Real(real(3.75)),)),
    "set_gain/ok-int": Case("open", lambda c, a: c.set_gain(gain=a[0]), lambda: (Int(40),)),
    # Converts through __index__, then the simulator refuses the value.
    "set_gain/index-beyond-range": Case(
        "open", method("set_gain"), lambda: (Index(big(1 << 70)),), RuntimeError
    ),
    "set_gain/float-raises": Case(
        "open", method("set_gain"), lambda: (Raising(TypeError, ValueError()),), TypeError
    ),
    "set_gain/float-not-float": Case(
        "open", method("set_gain"), lambda: (Real(text("1.0")),), TypeError
    ),
    "set_gain/int-too-large": Case(
        "open", method("set_gain"), lambda: (big(10**400),), OverflowError
    ),
    "set_offset/ok-keyword": Case(
        "open", lambda c, a: c.set_offset(offset=a[0]), lambda: (real(7.5),)
    ),
    "set_offset/float-raises": Case(
        "open", method("set_offset"), lambda: (Raising(ZeroDivisionError),), ZeroDivisionError
    ),
    "set_stream_mode/ok-keyword": Case(
        "open", lambda c, a: c.set_stream_mode(mode=a[0]), lambda: (Int(0),)
    ),
    "set_stream_mode/too-large": Case(
        "open", method("set_stream_mode"), lambda: (big(300),), OverflowError
    ),
    "set_stream_mode/negative": Case(
        "open", method("set_stream_mode"), lambda: (Index(big(-300)),), OverflowError
    ),
    "set_stream_mode/index-raises": Case(
        "open", method("set_stream_mode"), lambda: (Raising(TypeError),), TypeError
    ),
    # Settings with several numbers: every one is converted before the SDK call.
    "set_resolution/ok": Case(
        "open", method("set_resolution"), lambda: (Int(0), Int(0), Int(64), Int(32))
    ),
    "set_resolution/ok-keywords": Case(
        "open", lambda c, a: c.set_resolution(height=a[3], width=a[2], y=a[1], x=a[0]),
        lambda: (Index(8), Int(4), Int(48), Int(32)),
    ),
    "set_resolution/last-too-large": Case(
        "open", method("set_resolution"), lambda: (Int(0), Int(0), Int(64), big(2**33)),
        OverflowError,
    ),
    "set_resolution/last-wrong-type": Case(
        "open", method("set_resolution"), lambda: (Int(0), Int(0), Int(64), real(32.0)),
        TypeError,
    ),
    "set_resolution/missing": Case(
        "open", method("set_resolution"), lambda: (Int(0), Int(0)), TypeError
    ),
    "set_resolution/too-many": Case(
        "open", method("set_resolution"), lambda: (Int(0), Int(0), Int(8), Int(8), Int(8)),
        TypeError,
    ),
    "set_resolution/given-twice": Case(
        "open", lambda c, a: c.set_resolution(a[0], a[1], a[2], a[3], x=a[0]),
        lambda: (Int(0), Int(0), Int(8), Int(8)), TypeError,
    ),
    "set_resolution/sdk-refuses": Case(
        "open", method("set_resolution"), lambda: (Int(0), Int(0), big(100_000), Int(8)),
        RuntimeError,
    ),
    "set_bin_mode/ok": Case("open", method("set_bin_mode"), lambda: (Int(2), Index(2))),
    "set_bin_mode/second-wrong-type": Case(
        "open", method("set_bin_mode"), lambda: (Int(2), text("2x")), TypeError
    ),
    "set_bin_mode/unknown-keyword": Case(
        "open", lambda c, a: c.set_bin_mode(bin_x=a[0], bin_z=a[1]), lambda: (Int(2), Int(2)),
        TypeError,
    ),
    "set_bin_mode/sdk-fails": Case(
        "open", method("set_bin_mode"), lambda: (Int(2), Int(2)), RuntimeError,
        always("SetVEXCAMBinMode", 0xFFFFFFFF),
    ),
    # Controls by number.
    "is_control_available/ok": Case("open", method("is_control_available"), lambda: (Int(6),)),
    "is_control_available/unavailable": Case(
        "open", lambda c, a: c.is_control_available(control_id=a[0]), lambda: (Index(12),)
    ),
    "is_control_available/invalid-number": Case(
        "open", method("is_control_available"), lambda: (big(4_000_000_000),)
    ),
    "is_control_available/too-large": Case(
        "open", method("is_control_available"), lambda: (big(2**32),), OverflowError
    ),
    "is_control_available/wrong-type": Case(
        "open", method("is_control_available"), lambda: (real(6.0),), TypeError
    ),
    "set_param/ok": Case("open", method("set_param"), lambda: (Int(9), real(12.5))),
    "set_param/ok-keywords": Case(
        "open", lambda c, a: c.set_param(value=a[1], control_id=a[0]),
        lambda: (Index(11), Real(real(-10.5))),
    ),
    "set_param/invalid-number": Case(
        "open", method("set_param"), lambda: (big(1000), real(1.0)), ValueError
    ),
    "set_param/read-only": Case(
        "open", method("set_param"), lambda: (Int(58), real(1.0)), RuntimeError
    ),
    "set_param/sdk-fails": Case(
        "open", method("set_param"), lambda: (Int(6), real(1.0)), RuntimeError,
        always("SetVEXCAMParam", 0xFFFFFFFF),
    ),
    "set_param/value-wrong-type": Case(
        "open", method("set_param"), lambda: (Int(6), text("1.0")), TypeError
    ),
    "set_param/number-raises": Case(
        "open", method("set_param"), lambda: (Raising(LookupError), real(1.0)), LookupError
    ),
    "set_param/missing-value": Case(
        "open", lambda c, a: c.set_param(control_id=a[0]), lambda: (Int(6),), TypeError
    ),
    "get_param/ok": Case("open", method("get_param"), lambda: (Int(8),)),
    "get_param/ok-keyword": Case(
        "open", lambda c, a: c.get_param(control_id=a[0]), lambda: (Index(9),)
    ),
    "get_param/invalid-number": Case(
        "open", method("get_param"), lambda: (big(2**31),), ValueError
    ),
    "get_param/wrong-type": Case("open", method("get_param"), lambda: (text("8"),), TypeError),
    "get_param/index-raises": Case(
        "open", method("get_param"), lambda: (Raising(OverflowError),), OverflowError
    ),
}


# --- Measuring. ---


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd",
            "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost",
        )
    ]


# glibc's heap statistics; other C libraries keep theirs out of reach.
_mallinfo2 = None if sys.platform == "win32" else getattr(ctypes.CDLL(None), "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2
    _mallinfo2.argtypes = []


def native_heap_bytes():
    """Bytes the C heap has handed out and not had back, mapped blocks included."""
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def foreign_allocator():
    """The name of a memory checker whose allocator replaced the C library's, if one did."""
    if sys.platform == "win32":
        return None  # the checkers run on Linux only
    with open("/proc/self/maps") as maps:
        text = maps.read()
    return next((name for name in ("libasan", "libtsan", "vgpreload") if name in text), None)


def native_heap_visible():
    # A checker's allocator keeps its own books, which mallinfo2 does not see.
    return _mallinfo2 is not None and foreign_allocator() is None


def traced_growth(operation, rounds=ROUNDS):
    for _ in range(WARM_UP):
        operation()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            operation()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def swallow(call, *errors):
    def operation():
        try:
            call()
        except errors:
            pass

    return operation


def container_type():
    """The type of a frame's base, made by the first frame ever converted."""
    camera = vexcam.Camera(SMALL8)
    try:
        camera.exp_single_frame()
        return type(camera.get_single_frame().base)
    finally:
        camera.close()


def add_small_cameras(sim):
    sim.add_camera(SMALL8, 96, 64, 8, b"\x0a\x1b\x2c")
    sim.add_camera(SMALL16, 96, 64, 16, b"\xff\x00\x01")


def ready(sim):
    """The simulator as every table case starts it; again after each reset."""
    sim.set_exposure_cap_us(EXPOSURE_CAP_US)
    sim.set_fast_frames(True)
    add_small_cameras(sim)


@pytest.fixture
def target(sim):
    """Opens the camera a case runs on, and closes it afterwards."""
    opened = []

    def open_for(on):
        if on == "module":
            return None
        camera = vexcam.Camera(SMALL16 if on == "open16" else SMALL8)
        opened.append(camera)
        if on == "closed":
            camera.close()
        return camera

    ready(sim)
    yield open_for
    for camera in opened:
        camera.close()


def check_handed_out(produce, frame_base_type):
    """The one object a successful call hands out is referenced by its caller alone."""
    # Counted outside the asserts: their rewriting holds extra references to what they show.
    result = produce()
    if result is None or isinstance(result, bool):
        return  # immortal
    refs = sys.getrefcount(result)
    assert refs == 2
    if isinstance(result, list):
        assert all(isinstance(item, str) for item in result)
        item_refs = [sys.getrefcount(result[i]) for i in range(len(result))]
        assert item_refs == [2] * len(result)
    if isinstance(result, np.ndarray):
        assert type(result.base) is frame_base_type
        base_refs = sys.getrefcount(result.base)
        assert base_refs == 2  # the array alone holds its base
        containers = sys.getrefcount(frame_base_type)  # every container holds its type
        view = result[1:, ::2]
        gone = weakref.ref(result)
        del result
        assert gone() is not None  # the view keeps the frame, and so its samples
        del view
        assert gone() is None
        left = sys.getrefcount(frame_base_type)
        assert left == containers - 1


def check_raised(call, error):
    """The exception a failing call raises is freed once it has been handled."""
    caught = None
    try:
        call()
    except error as exc:
        caught = exc
    assert caught is not None, f"no {error.__name__}"
    assert sys.getrefcount(caught) == 2


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_leave_nothing_behind(sim, target, name):
    case = CASES[name]
    frame_base_type = container_type()
    camera = target(case.on)
    if case.setup:
        case.setup(sim, camera)
    args = case.args()
    once = lambda: case.call(camera, args)  # noqa: E731
    operation = swallow(once, case.raises) if case.raises else once
    for _ in range(WARM_UP):
        operation()

    # References: the arguments, what the conversions return, the camera, and the types whose
    # instances hold them (so a leaked Camera, frame base or argument object counts too).
    watched = watched_objects(args) + ([camera] if camera is not None else [])
    types = {type(obj) for obj in watched} | {vexcam.Camera, frame_base_type}
    watched += sorted(types, key=id)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]  # outside the assert, which keeps values
    assert after == before, [repr(obj)[:60] for obj, b, a in zip(watched, before, after) if a != b]

    if case.raises:
        check_raised(once, case.raises)
    else:
        check_handed_out(once, frame_base_type)

    growth = traced_growth(operation)
    assert growth < ROUNDS * PYTHON_SLACK_PER_ROUND, f"Python heap grew by {growth} bytes"
    assert sim.bad_handle_calls() == 0

    # Native heap. The simulator's own records (call log, handles opened) grow with the calls,
    # so it is reset, and scripted again, on both sides of the measured loop.
    if not native_heap_visible():
        return

    def settle():
        sim.reset()
        ready(sim)
        if case.setup:
            case.setup(sim, camera)
        gc.collect()

    settle()
    start = native_heap_bytes()
    for _ in range(ROUNDS):
        operation()
    settle()
    growth = native_heap_bytes() - start
    assert growth < ROUNDS * NATIVE_SLACK_PER_ROUND, f"native heap grew by {growth} bytes"


# --- Large frames: memory the C heap hands out in megabytes. ---


@pytest.mark.parametrize(
    "plan, rounds",
    [
        ([(M8, "capture_single_frame")], 3000),
        ([(M16, "get_live_frame")], 2000),
        # Blocks of three sizes take turns in the pool's three slots, so blocks are evicted all along.
        ([(M8, "capture_single_frame"), (M16, "capture_single_frame")], 1000),
    ],
    ids=["single-8bit", "live-16bit", "two-sizes-in-turn"],
)
def test_resident_set_stays_flat_over_many_frames(sim, plan, rounds):
    checker = foreign_allocator()
    if checker:
        # Its quarantine keeps freed blocks resident for a while, so the resident set follows
        # the checker's allocator, not the module (which the checker watches itself).
        pytest.skip(f"{checker} allocates the memory")
    sim.set_fast_frames(True)
    sim.set_exposure_cap_us(1_000)
    cameras = [vexcam.Camera(camera_id) for camera_id, _ in plan]
    try:
        readers = [getattr(camera, method) for camera, (_, method) in zip(cameras, plan)]
        for camera, (_, method) in zip(cameras, plan):
            if method == "get_live_frame":
                camera.begin_live()

        def read_all():
            sizes = []
            for read in readers:
                frame = read()
                frame[-1, -1] += 1  # the samples are real memory, written to
                sizes.append(frame.nbytes)
            return min(sizes)  # where two sizes take turns, the smaller is the bound

        for _ in range(WARM_UP):  # the pool's blocks and the allocator's arenas settle first
            read_all()
        gc.collect()
        before = resident_bytes()
        frame_bytes = min(read_all() for _ in range(max(1, int(rounds * SCALE))))
        gc.collect()
        growth = resident_bytes() - before
    finally:
        for camera in cameras:
            camera.close()
    assert growth < frame_bytes, f"resident set grew by {growth} bytes"


def test_frames_release_their_buffers(camera16, sim):
    # 8 MiB of samples per frame, filled for real, so every leaked buffer is mapped memory.
    sim.set_fast_frames(True)
    camera16.capture_single_frame()
    base_type = type(camera16.get_single_frame().base)
    gc.collect()
    type_refs, before = sys.getrefcount(base_type), mapped_bytes()
    for _ in range(60):
        frame = camera16.capture_single_frame()
        view = frame[::2]
        del frame, view
    gc.collect()
    type_refs_after = sys.getrefcount(base_type)
    assert mapped_bytes() - before < MAPPED_SLACK
    assert type_refs_after == type_refs


@pytest.mark.parametrize("case", ["zero-size", "frame-error", "mem-zero"])
def test_failed_reads_release_their_buffers(camera, sim, case):
    size = 32 * 1024 * 1024
    before = mapped_bytes()
    for _ in range(40):
        if case == "zero-size":
            sim.script_mem_length(size)
            sim.script_frame(width=0, height=4, bits=8, data=b"\xaa" * 4096)
            expected = ValueError
        elif case == "frame-error":
            sim.script_mem_length(size)
            sim.fail_next("GetVEXCAMSingleFrame", 5)
            expected = RuntimeError
        else:
            sim.script_mem_length(0)
            expected = RuntimeError
        with pytest.raises(expected):
            camera.get_single_frame()
    gc.collect()
    assert mapped_bytes() - before < MAPPED_SLACK
