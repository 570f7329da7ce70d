# Hostile arguments for every callable: only the documented exceptions come out, the SDK never
# sees a dead handle, and the camera keeps working afterwards.
#
# VEXCAM_FUZZ_EXAMPLES=N runs N times the default number of examples (N may be fractional).
import ctypes
import decimal
import math
import os
import re
import warnings
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import vexcam
import vexcam_sim
from vexcam_sim import CONTROL_IDS
from conftest import CALLABLES, FRAME, M8, M16, METHODS

SCALE = float(os.environ.get("VEXCAM_FUZZ_EXAMPLES", "1"))
U32_MAX = 2**32 - 1
# Seconds one example may take before the run is ended with a traceback: a hang, not slowness.
WATCHDOG_S = 120


def fuzz(examples):
    return settings(
        max_examples=max(1, round(examples * SCALE)),
        deadline=None,
        database=None,  # nothing written into the checkout; failures print their reproducer
        suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
    )


# Every method's parameters in signature order, and the native kind each converts to.
PARAMS = {c.name: c.param_names for c in METHODS}
KIND = {name: kind for c in CALLABLES for name, kind in c.params}
RETURNS = {c.name: c.returns for c in METHODS}
ANSWERS_WHEN_CLOSED = {c.name for c in METHODS if c.closed == "answers"}
# What a well-formed call of a method with a parameter this file knows nothing of passes.
WELL_FORMED = {name: value for c in METHODS for name, value in zip(c.param_names, c.args)}
# Small sensors keep every frame cheap; set up anew for each example. Id -> (sensor, bits,
# firmware bytes, frame dtype, firmware text).
CAMERAS = {
    "FUZZ-M8": ((160, 120), 8, b"\x01\x02\x03", np.uint8, "010203"),
    "FUZZ-M12": ((96, 72), 12, b"\x0a\xff\x00", np.uint16, "0AFF00"),
}

CLOSED = "Camera handle is null or closed"
RUNTIME_MESSAGE = re.compile(
    r"Camera handle is null or closed|String conversion error|Failed to open camera: .*"
    r"|(SDK initialization failed with code|SDK scan cameras failed with code"
    r"|Operation failed with error code|Failed to get frame data with return code): [0-9]+",
    re.DOTALL,
)


# --- Hostile objects ---------------------------------------------------------------------------


class Boom(Exception):
    """Raised by this file's conversion hooks; must reach the caller as it is."""


class BoomType(TypeError):
    """A TypeError subclass: passed on unchanged, unlike a plain TypeError."""


class BoomBase(BaseException):
    """Not even an Exception: still nothing for the module to catch."""


@dataclass
class Stage:
    """What the current example has done behind the call's back."""

    camera: object = None
    closed_by_hook: bool = False
    hook_calls: int = 0
    raised: list = field(default_factory=list)


STAGE = Stage()


class Hook:
    """Answers one conversion slot with `result`, or raises it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def answer(self):
        STAGE.hook_calls += 1
        if isinstance(self.result, BaseException):
            STAGE.raised.append(self.result)
            raise self.result
        return self.result

    def __repr__(self):
        return f"{type(self).__name__}({self.result!r})"


class Index(Hook):
    def __index__(self):
        return self.answer()


class Real(Hook):
    def __float__(self):
        return self.answer()


class IntOnly(Hook):
    # Neither integer nor float conversion may fall back to __int__.
    def __int__(self):
        return self.answer()


class Closer:
    """Closes the camera under test from inside the argument conversion, then gives 6."""

    def close_now(self):
        STAGE.hook_calls += 1
        if STAGE.camera is not None:
            STAGE.camera.close()
            STAGE.closed_by_hook = True
        return 6

    __index__ = close_now

    def __float__(self):
        return float(self.close_now())

    def __repr__(self):
        return "Closer()"


class Text(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


EDGE_INTS = [
    0, 1, 6, 8, 37, 38, 42, 56, 59, 60, 255, 256, 2**31 - 1, 2**31, U32_MAX, 2**32,
    2**63 - 1, 2**63, 2**64 - 1, 2**64, 10**400, -1, -256, -(2**31) - 1, -(2**63), -(2**64),
]  # fmt: skip
EDGE_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.5, 1e308, -1e308, 2.0**32]
NUMPY_VALUES = [
    np.uint8(255), np.int8(-1), np.int64(-1), np.uint32(U32_MAX), np.uint64(2**64 - 1),
    np.float32(1.5), np.float64("nan"), np.float16("inf"), np.bool_(True), np.array(7),
    np.array(7.5), np.array([1, 2]), np.array([], dtype=np.int64), np.array([[3]]),
]  # fmt: skip
# Surrogates and NUL are rare in hypothesis' own alphabet; ask for them outright.
CHARS = st.one_of(
    st.characters(exclude_categories=()),
    st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
    st.just("\0"),
)
TEXT = st.text(CHARS, max_size=8)


@st.composite
def weighted(draw, *choices):
    """Like one_of, which picks its branches evenly, but with (weight, strategy) pairs."""
    return draw(draw(st.sampled_from([s for weight, s in choices for _ in range(weight)])))


INTS = st.one_of(st.sampled_from(EDGE_INTS), st.integers())
FLOATS = st.one_of(st.sampled_from(EDGE_FLOATS), st.floats())
NUMBERS = st.one_of(
    INTS,
    FLOATS,
    st.booleans(),
    st.builds(Int, INTS),
    st.builds(Float, FLOATS),
    st.complex_numbers(),
    st.decimals(),
    st.fractions(),
    st.sampled_from(NUMPY_VALUES + [decimal.Decimal("sNaN")]),
)
STRINGS = st.one_of(
    TEXT, st.builds(Text, TEXT), st.binary(max_size=8), st.binary(max_size=4).map(bytearray)
)
ODDITIES = st.sampled_from([None, Ellipsis, NotImplemented, object(), int, vexcam, print])
ATOMS = st.one_of(NUMBERS, STRINGS, ODDITIES)
FAILURES = st.sampled_from([Boom, BoomType, TypeError, OverflowError, BoomBase]).map(
    lambda cls: cls("from a hook")
)
HOOK_RESULTS = weighted((3, FAILURES), (2, INTS), (1, FLOATS), (1, st.one_of(STRINGS, ODDITIES)))
HOOKS = weighted(
    (4, st.builds(Index, HOOK_RESULTS)),
    (2, st.builds(Real, HOOK_RESULTS)),
    (1, st.builds(IntOnly, HOOK_RESULTS)),
    (1, st.just(Closer())),
)
CONTAINERS = st.one_of(
    st.lists(ATOMS, max_size=3),
    st.tuples(ATOMS),
    st.dictionaries(TEXT, ATOMS, max_size=2),
    st.frozensets(st.integers(), max_size=2),
)
HOSTILE = weighted((3, NUMBERS), (5, HOOKS), (2, STRINGS), (1, ODDITIES), (1, CONTAINERS))
# Keyword names: nothing that names a parameter of the method (filtered by the caller).
STRAY_NAMES = st.one_of(
    TEXT,
    st.sampled_from(["self", "args", "kwargs", "Gain", "controlid", "id", "us\0", "x "]),
    st.builds(Text, TEXT),
    st.integers(),
    st.binary(max_size=4),
    st.none(),
    st.floats(),
    st.tuples(st.integers()),
)
# Values that the camera may accept, so that calls really reach the simulated SDK.
PLAUSIBLE = {
    "mode": st.sampled_from([0, 1, 2, 255, True]),
    "us": st.one_of(st.integers(0, 20_000), st.just(U32_MAX)),
    "gain": st.one_of(st.floats(0, 100), st.integers(0, 100)),
    "offset": st.floats(-1, 256),
    "x": st.integers(0, 40),
    "y": st.integers(0, 40),
    "width": st.integers(1, 90) | st.integers(1, 90) | st.sampled_from([0, 96, 160, 1280]),
    "height": st.integers(1, 60) | st.integers(1, 60) | st.sampled_from([0, 72, 120, 960]),
    "bin_x": st.sampled_from([0, 1, 2, 3, 4]),
    "bin_y": st.sampled_from([0, 1, 2, 3, 4]),
    "control_id": st.one_of(st.sampled_from([0, 6, 7, 8, 9, 10, 11, 40, 58]), st.integers(0, 61)),
    "value": st.one_of(st.sampled_from([0.0, 1.0, 0.1, 25.0, 1000.0]), st.floats(-50, 1100)),
}


def plausible(param):
    return PLAUSIBLE.get(param, st.just(WELL_FORMED[param]))


# --- Calls ------------------------------------------------------------------------------------


@dataclass
class Call:
    name: str
    positional: list
    keywords: list  # (name, value) pairs; names need not be str
    via: str = "python"  # or "vectorcall": straight through the C API, names unchecked

    def binds(self, params):
        if len(self.positional) > len(params):
            return False
        free = params[len(self.positional) :]
        names = [key for key, _ in self.keywords]
        if not all(isinstance(key, str) and key in free for key in names):
            return False
        return sorted(names) == sorted(free)

    def bound(self, params):
        values = dict(zip(params, self.positional))
        values.update(self.keywords)
        return [(name, values[name]) for name in params]


@st.composite
def calls(draw, names):
    # Methods with parameters come up three times as often: they have more to get wrong.
    name = draw(st.sampled_from([n for n in names for _ in range(3 if PARAMS[n] else 1)]))
    params = PARAMS[name]
    # Two in three plausible per parameter, so that whole calls often reach the SDK.
    values = [
        draw(HOSTILE if draw(st.integers(0, 2)) == 0 else plausible(param)) for param in params
    ]
    split = draw(st.integers(0, len(params)))
    if draw(st.integers(0, 2)):  # binds: some by position, the rest by keyword
        positional, keywords = values[:split], list(zip(params[split:], values[split:]))
    else:
        extra = draw(st.lists(HOSTILE, max_size=2))
        positional = values[:split] + (extra if split == len(params) else [])
        keywords = [pair for pair in zip(params[split:], values[split:]) if draw(st.booleans())]
        again = draw(st.lists(st.sampled_from(params[:split]), max_size=2)) if split else []
        keywords += [(param, draw(HOSTILE)) for param in again]
        strays = st.tuples(STRAY_NAMES.filter(lambda k: k not in params), HOSTILE)
        keywords += draw(st.lists(strays, max_size=2))
        keywords = list(dict(draw(st.permutations(keywords))).items())
    return Call(name, positional, keywords, draw(st.sampled_from(["python", "vectorcall"])))


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
# kwnames travels as a raw pointer: NULL when there are no keywords, never Py_None.
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def invoke(function, call):
    STAGE.raised.clear()
    with warnings.catch_warnings():
        # Hooks returning int or float subclasses and numpy's array conversions warn.
        warnings.simplefilter("ignore")
        if call.via == "python":
            return function(*call.positional, **dict(call.keywords))
        values = call.positional + [value for _, value in call.keywords]
        vector = (ctypes.py_object * max(1, len(values)))(*values)
        names = tuple(key for key, _ in call.keywords)  # kept alive until the call returns
        kwnames = id(names) if names else None
        return _vectorcall(function, ctypes.addressof(vector), len(call.positional), kwnames)


def fits_double(value):
    try:
        float(value)
    except OverflowError:
        return False
    return True


def predict(params, call):
    """The exception class that argument binding or conversion must raise, None when the
    arguments are all good, and ... when this file cannot tell (hooks, numpy, subclasses)."""
    if not call.binds(params):
        return TypeError
    for param, value in call.bound(params):
        kind = KIND[param]
        if type(value) in (int, bool):
            top = 255 if kind == "u8" else U32_MAX
            if kind == "f64" and not fits_double(value):
                return OverflowError
            if kind != "f64" and not 0 <= value <= top:
                return OverflowError
        elif type(value) is float:
            if kind != "f64":
                return TypeError
        elif type(value) in (str, bytes, bytearray, type(None), list, tuple, dict, complex):
            return TypeError
        else:
            return ...
    return None


def check_exception(exc, name, expected):
    """Only the documented classes, or the very exception a hook of this file raised."""
    assert "PanicException" not in type(exc).__name__, f"{name}: internal fault {exc!r}"
    if STAGE.raised:
        # Conversion stops at the first failure, so the last hook that raised decides. A plain
        # TypeError comes back renamed after its parameter; anything else as it was raised.
        raised = STAGE.raised[-1]
        event(f"hook raised {type(raised).__name__}")
        if type(raised) is TypeError:
            renamed = re.fullmatch(r"argument '\w+': from a hook", str(exc))
            assert type(exc) is TypeError and renamed, f"{name}: hook's TypeError became {exc!r}"
        else:
            assert exc is raised, f"{name} raised {exc!r} instead of the hook's {raised!r}"
        return
    assert type(exc) in (TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError), (
        f"{name} raised {type(exc).__name__}: {exc}"
    )
    assert str(exc) != "PyObject is NULL", f"{name} returned NULL without an exception"
    if type(exc) is RuntimeError:
        assert RUNTIME_MESSAGE.fullmatch(str(exc)), f"{name}: undocumented message {exc}"
    if expected not in (None, ...):
        assert type(exc) is expected, f"{name}: {type(exc).__name__} ({exc}), not {expected}"


def check_result(name, result, camera_id):
    if RETURNS[name] == FRAME:
        assert type(result) is np.ndarray and result.ndim == 2 and result.size > 0
        assert result.dtype == CAMERAS[camera_id][3] and result.flags.c_contiguous
    elif name == "get_firmware_version":
        assert result == CAMERAS[camera_id][4]
    else:
        assert type(result) is RETURNS[name]


def run_method(camera, camera_id, call, closed):
    """Makes one call and checks its outcome; returns whether the camera is closed after it."""
    params = PARAMS[call.name]
    expected = predict(params, call)
    values = dict(call.bound(params)) if expected is None else {}
    control = values.get("control_id")
    invalid_control = control is not None and control not in CONTROL_IDS
    sdk_before, hooks_before = len(vexcam_sim.call_log()), STAGE.hook_calls
    try:
        result = invoke(getattr(camera, call.name), call)
    except BaseException as exc:  # noqa: BLE001 - judged below, PanicException included
        check_exception(exc, call.name, expected)
        if expected is None:
            if call.name in ("set_param", "get_param") and invalid_control:
                assert type(exc) is ValueError and str(exc) == f"Invalid control ID: {control}"
            else:
                assert type(exc) is RuntimeError, f"{call.name}: {exc!r}"
                if closed:
                    assert str(exc) == CLOSED
        outcome = "failed"
        event(f"{call.name}: {type(exc).__name__}")
    else:
        assert expected in (None, ...), f"{call.name} accepted arguments it must refuse"
        assert not STAGE.raised, f"{call.name} swallowed {STAGE.raised[-1]!r} from a hook"
        if expected is None and (closed or invalid_control):
            refusing = {"set_param", "get_param"} if invalid_control else set()
            if closed:
                refusing |= set(PARAMS) - ANSWERS_WHEN_CLOSED
            assert call.name not in refusing, f"{call.name} returned {result!r}"
        check_result(call.name, result, camera_id)
        if expected is None and call.name == "is_control_available" and (closed or invalid_control):
            assert result is False
        if expected is None and call.name == "get_param" and closed:
            assert result == 0.0
        outcome = "returned"
        event(f"{call.name}: returned")
    if expected is TypeError and not call.binds(params):
        assert STAGE.hook_calls == hooks_before, "arguments converted before binding was checked"
    if expected is not ... and (expected is not None or closed or invalid_control):
        assert len(vexcam_sim.call_log()) == sdk_before, f"{call.name} {outcome} after SDK calls"
    assert vexcam_sim.bad_handle_calls() == 0, f"{call.name} used a null or closed handle"
    return closed or STAGE.closed_by_hook or (call.name == "close" and outcome == "returned")


# --- Fixtures and set-up ----------------------------------------------------------------------


@pytest.fixture
def fresh(watchdog):
    """Call at the start of every example: simulator reset for speed, watchdog wound up."""

    def start():
        watchdog(WATCHDOG_S)
        STAGE.camera, STAGE.closed_by_hook = None, False
        vexcam_sim.reset()
        vexcam_sim.set_fast_frames(True)  # frames and exposures without waiting
        vexcam_sim.set_exposure_cap_us(1_000)
        for camera_id, ((width, height), bits, firmware, *_) in CAMERAS.items():
            vexcam_sim.add_camera(camera_id, width, height, bits, firmware)

    yield start
    STAGE.camera = None


# --- Properties -------------------------------------------------------------------------------


@fuzz(300)
@given(data=st.data())
def test_module_functions(fresh, data):
    fresh()
    name = data.draw(st.sampled_from(["init_sdk", "scan_cameras"]))
    call = data.draw(
        st.one_of(
            st.just(Call(name, [], [])),
            st.builds(
                Call,
                st.just(name),
                st.lists(HOSTILE, max_size=2),
                st.lists(st.tuples(STRAY_NAMES, HOSTILE), max_size=2),
                st.sampled_from(["python", "vectorcall"]),
            ),
        )
    )
    try:
        result = invoke(getattr(vexcam, name), call)
    except BaseException as exc:  # noqa: BLE001
        check_exception(exc, name, TypeError if call.positional or call.keywords else None)
        assert vexcam_sim.call_log() == []
    else:
        assert not call.positional and not call.keywords
        if name == "init_sdk":
            assert result is None
        else:
            assert type(result) is list and all(type(item) is str for item in result)
            assert result == vexcam_sim.cameras()


IDS_SET = {M8, M16, "VXSIM-M12-003", "VXSIM-L16-004"}
KNOWN_IDS = st.sampled_from(sorted(IDS_SET | set(CAMERAS)))
IDS = st.one_of(
    KNOWN_IDS,
    KNOWN_IDS.map(Text),
    st.tuples(KNOWN_IDS, TEXT).map("".join),
    st.tuples(KNOWN_IDS, st.integers(0, 12)).map(lambda p: p[0][: p[1]] + "\0" + p[0][p[1] :]),
    TEXT,
    st.text(max_size=80),
    HOSTILE,
)


@fuzz(1500)
@given(
    positional=st.lists(IDS, max_size=2),
    keywords=st.dictionaries(st.one_of(st.just("id"), STRAY_NAMES), IDS, max_size=2),
)
def test_constructor(fresh, positional, keywords):
    fresh()
    call = Call("Camera", positional, list(keywords.items()))
    opened = vexcam_sim.open_handles()
    try:
        camera = invoke(vexcam.Camera, call)
    except BaseException as exc:  # noqa: BLE001
        if not call.binds(("id",)):
            expected = TypeError
        else:
            (_, cid), = call.bound(("id",))
            if not isinstance(cid, str):
                expected = TypeError
                assert str(exc).startswith("argument 'id': "), str(exc)
            elif re.search("[\ud800-\udfff]", cid):
                expected = UnicodeEncodeError
            elif "\0" in cid:
                expected = RuntimeError
                assert str(exc) == "String conversion error"
            else:
                expected = RuntimeError
                assert cid not in IDS_SET and cid not in CAMERAS
                assert str(exc) == f"Failed to open camera: {cid}"
        check_exception(exc, "Camera", expected)
        assert vexcam_sim.open_handles() == opened, "a failed construction left a camera open"
    else:
        (_, cid), = call.bound(("id",))
        assert type(camera) is vexcam.Camera and (cid in IDS_SET or cid in CAMERAS)
        handle = vexcam_sim.last_handle()
        assert re.fullmatch("[0-9A-F]{6}", camera.get_firmware_version())
        camera.close()
        assert vexcam_sim.close_count(handle) == 1
    assert vexcam_sim.bad_handle_calls() == 0


@fuzz(3000)
@given(
    camera_id=st.sampled_from(sorted(CAMERAS)),
    start=st.sampled_from(["closed", "new", "exposed", "live", "exposed and live"]),
    sequence=st.lists(calls(sorted(PARAMS)), min_size=1, max_size=6),
)
def test_camera_methods(fresh, camera_id, start, sequence):
    fresh()
    camera = STAGE.camera = vexcam.Camera(camera_id)
    handle = vexcam_sim.last_handle()
    closed = start == "closed"
    # A frame to read and a running stream, so that frame reads can succeed too.
    steps = {"closed": camera.close, "exposed": camera.exp_single_frame, "live": camera.begin_live}
    for step, method in steps.items():
        if step in start:
            assert method() is None
    for call in sequence:
        closed = run_method(camera, camera_id, call, closed)

    # Whatever came before, the camera still answers well-formed calls.
    if closed:
        with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
            camera.init()
        assert camera.get_param(6) == 0.0
    else:
        assert camera.stop_live() is None
        assert camera.set_gain(1.5) is None and camera.get_param(6) == 1.5
        check_result("capture_single_frame", camera.capture_single_frame(), camera_id)
    assert camera.close() is None
    assert vexcam_sim.close_count(handle) == 1
    assert vexcam_sim.bad_handle_calls() == 0
