# Argument binding and conversion: every Python call is checked before any SDK function runs.
import ctypes

import pytest

import vexcam
from conftest import M8, METHODS, c_api_error

RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"
LONG_BITS = 8 * ctypes.sizeof(ctypes.c_long)
NOT_INT = c_api_error("PyNumber_Index", ctypes.py_object, 1.5)[1]
NEGATIVE = c_api_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, -1)
TOO_BIG_U64 = c_api_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, 2**64)
NOT_REAL = c_api_error("PyFloat_AsDouble", ctypes.c_double, "3")[1]
TOO_BIG_FLOAT = c_api_error("PyFloat_AsDouble", ctypes.c_double, 10**400)
LONE_SURROGATE = c_api_error("PyUnicode_AsUTF8String", ctypes.py_object, "\udc80")

# Methods with parameters: name -> (parameter names, native kinds).
SIGNATURES = {c.name: (c.param_names, [k for _, k in c.params]) for c in METHODS if c.params}
NO_ARGUMENT_METHODS = [c.name for c in METHODS if not c.params]
INTEGER = ("u32", "u8")
PARAMETERS = [
    (method, position, name, kinds[position])
    for method, (names, kinds) in SIGNATURES.items()
    for position, name in enumerate(names)
]


def valid_args(method):
    # Control 6 is valid, so only the argument under test can make a call fail.
    return [6 if kind in INTEGER else 1.0 for kind in SIGNATURES[method][1]]


class Index:
    def __init__(self, value, log=None):
        self.value, self.log = value, log

    def __index__(self):
        if self.log is not None:
            self.log.append(self.value)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.fixture(autouse=True)
def forget_tracebacks(request):
    # Exceptions given as parameters outlive the test; once raised, their tracebacks would keep
    # the test's frames, and the camera in them, alive until the interpreter exits.
    yield
    callspec = getattr(request.node, "callspec", None)
    for param in callspec.params.values() if callspec else ():
        exc = getattr(param, "value", param)
        if isinstance(exc, BaseException):
            exc.__traceback__ = exc.__context__ = exc.__cause__ = None


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Text(str):
    pass


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("set_gain", (1.0, 2.0), {}, "Camera.set_gain() takes 1 positional arguments but 2 were given"),
        ("set_gain", (1.0, 2.0), {"gain": 3.0}, "Camera.set_gain() takes 1 positional arguments but 2 were given"),
        ("set_param", (6, 1.0, 2), {}, "Camera.set_param() takes 2 positional arguments but 3 were given"),
        ("set_resolution", (0, 0, 1, 1, 1, 1), {}, "Camera.set_resolution() takes 4 positional arguments but 6 were given"),
        ("set_resolution", (), {}, "Camera.set_resolution() missing 4 required positional arguments: 'x', 'y', 'width', and 'height'"),
        ("set_resolution", (0,), {}, "Camera.set_resolution() missing 3 required positional arguments: 'y', 'width', and 'height'"),
        ("set_resolution", (0, 0), {}, "Camera.set_resolution() missing 2 required positional arguments: 'width' and 'height'"),
        ("set_resolution", (0, 0, 1), {}, "Camera.set_resolution() missing 1 required positional argument: 'height'"),
        ("set_resolution", (0,), {"width": 1}, "Camera.set_resolution() missing 2 required positional arguments: 'y' and 'height'"),
        ("set_bin_mode", (), {}, "Camera.set_bin_mode() missing 2 required positional arguments: 'bin_x' and 'bin_y'"),
        ("set_param", (), {"value": 1.0}, "Camera.set_param() missing 1 required positional argument: 'control_id'"),
        ("set_stream_mode", (), {}, "Camera.set_stream_mode() missing 1 required positional argument: 'mode'"),
        ("get_param", (), {"controlid": 6}, "Camera.get_param() got an unexpected keyword argument 'controlid'"),
        ("set_gain", (), {"Gain": 1.0}, "Camera.set_gain() got an unexpected keyword argument 'Gain'"),
        ("set_resolution", (), {"q": 1}, "Camera.set_resolution() got an unexpected keyword argument 'q'"),
        ("set_param", (6,), {"control_id": 7}, "Camera.set_param() got multiple values for argument 'control_id'"),
        ("set_gain", (1.0,), {"gain": 2.0, "bogus": 3}, "Camera.set_gain() got multiple values for argument 'gain'"),
        ("set_gain", (1.0,), {"bogus": 3, "gain": 2.0}, "Camera.set_gain() got an unexpected keyword argument 'bogus'"),
        ("set_param", (), {"value": "not converted", "bogus": 1}, "Camera.set_param() got an unexpected keyword argument 'bogus'"),
        ("set_exposure", (), {"\udcff": 1}, "Camera.set_exposure() got an unexpected keyword argument '\udcff'"),
    ],
)  # fmt: skip
def test_binding_errors(camera, sdk_calls, method, args, kwargs, message):
    with sdk_calls() as made, pytest.raises(TypeError) as info:
        getattr(camera, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert made == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Camera.__new__() missing 1 required positional argument: 'id'"),
        (("a", "b"), {}, "Camera.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"id": "b"}, "Camera.__new__() got multiple values for argument 'id'"),
        ((), {"name": M8}, "Camera.__new__() got an unexpected keyword argument 'name'"),
        ((), {"b": 1, "a": 2}, "Camera.__new__() got an unexpected keyword argument 'b'"),
        ((), {"id": M8, "\udcff": 1}, "Camera.__new__() got an unexpected keyword argument '\udcff'"),
        ((b"cam0",), {}, "argument 'id': 'bytes' object cannot be converted to 'PyString'"),
        ((5,), {}, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ((), {"id": None}, "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_argument_errors(sdk_calls, args, kwargs, message):
    with sdk_calls() as made, pytest.raises(TypeError) as info:
        vexcam.Camera(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert made == []


@pytest.mark.parametrize("make_id", [lambda: M8, lambda: Text(M8)], ids=["str", "str-subclass"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_constructor_accepts_text_by_position_or_keyword(sim, make_id, by_keyword):
    cam = vexcam.Camera(id=make_id()) if by_keyword else vexcam.Camera(make_id())
    try:
        assert sim.last_args("OpenVEXCAM") == (M8.encode(),)
    finally:
        cam.close()


def test_constructor_lone_surrogate_is_the_interpreters_error(sdk_calls):
    with sdk_calls() as made, pytest.raises(UnicodeEncodeError) as info:
        vexcam.Camera("\udc80")
    assert (type(info.value), str(info.value)) == LONE_SURROGATE
    assert made == []


@pytest.mark.parametrize(
    "call",
    [
        lambda cam: cam.set_param(control_id=6, value=1.5),
        lambda cam: cam.set_param(6, value=1.5),
        lambda cam: cam.set_param(value=1.5, control_id=6),
        lambda cam: cam.set_param(6, 1.5),
        lambda cam: cam.set_param(**{Text("control_id"): 6, Text("value"): 1.5}),
    ],
)
def test_keyword_binding_is_equivalent(camera, handle, sim, call):
    sim.fail_next("SetVEXCAMParam", 0)  # succeed whatever the simulator thinks of the value
    assert call(camera) is None
    assert sim.last_args("SetVEXCAMParam") == (handle, 6, 1.5)


@pytest.mark.parametrize("method", NO_ARGUMENT_METHODS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_no_argument_methods_refuse_arguments(camera, sim, sdk_calls, method, args, kwargs):
    with sdk_calls() as made, pytest.raises(TypeError):
        getattr(camera, method)(*args, **kwargs)
    assert made == []
    assert sim.last_handle() in sim.open_handles()


@pytest.mark.parametrize("function", ["init_sdk", "scan_cameras"])
def test_module_functions_refuse_arguments(sdk_calls, function):
    with sdk_calls() as made, pytest.raises(TypeError):
        getattr(vexcam, function)(1)
    assert made == []


@pytest.mark.parametrize(
    "value, passed",
    [
        (0, 0),
        (True, 1),
        (False, 0),
        (4294967295, 4294967295),
        (Index(7), 7),
        (Index(2**32 - 2), 2**32 - 2),
    ],
)
def test_u32_accepts(camera, handle, sim, value, passed):
    sim.fail_next("SetVEXCAMParam", 0)
    camera.set_exposure(value)
    assert sim.last_args("SetVEXCAMParam") == (handle, 8, float(passed))


@pytest.mark.parametrize(
    "value, error",
    [
        (4294967296, (OverflowError, RANGE)),
        (2**64 - 1, (OverflowError, RANGE)),
        (Index(2**40), (OverflowError, RANGE)),
        (2**64, TOO_BIG_U64),
        (-1, NEGATIVE),
        (Index(-1), NEGATIVE),
        (1.5, (TypeError, f"argument 'us': {NOT_INT}")),
        ("5", (TypeError, "argument 'us': 'str' object cannot be interpreted as an integer")),
        (None, (TypeError, "argument 'us': 'NoneType' object cannot be interpreted as an integer")),
        (Index("7"), (TypeError, "argument 'us': __index__ returned non-int (type str)")),
    ],
)
def test_u32_refuses(camera, sdk_calls, value, error):
    with sdk_calls() as made, pytest.raises(error[0]) as info:
        camera.set_exposure(value)
    assert (type(info.value), str(info.value)) == error
    assert made == []


@pytest.mark.parametrize("mode, passed", [(0, 0), (1, 1), (True, 1), (2, 0), (255, 0), (Index(1), 1)])
def test_u8_accepts(camera, handle, sim, mode, passed):
    sim.fail_next("SetVEXCAMStreamMode", 0)
    camera.set_stream_mode(mode)
    assert sim.last_args("SetVEXCAMStreamMode") == (handle, passed)


@pytest.mark.parametrize(
    "mode, message",
    [
        (256, RANGE),
        (-1, RANGE),
        (-255, RANGE),
        # The mode goes through a C long: 32 bits on Windows, 64 on Linux. Past it, the
        # interpreter's own message; within it, the range check's.
        (2**31 - 1, RANGE),
        (2**31, RANGE if LONG_BITS == 64 else TOO_LARGE),
        (-(2**31) - 1, RANGE if LONG_BITS == 64 else TOO_LARGE),
        (2**63 - 1, RANGE if LONG_BITS == 64 else TOO_LARGE),
        (2**63, TOO_LARGE),
        (-(2**63) - 1, TOO_LARGE),
    ],
)
def test_u8_refuses(camera, sdk_calls, mode, message):
    with sdk_calls() as made, pytest.raises(OverflowError) as info:
        camera.set_stream_mode(mode)
    assert (type(info.value), str(info.value)) == (OverflowError, message)
    assert made == []


@pytest.mark.parametrize(
    "value, passed",
    [
        (3, 3.0),
        (True, 1.0),
        (2**53 + 1, float(2**53 + 1)),
        (Real(2.5), 2.5),
        (Index(4), 4.0),
        (type("F", (float,), {})(1.25), 1.25),
    ],
)
def test_double_accepts(camera, handle, sim, value, passed):
    sim.fail_next("SetVEXCAMParam", 0)
    camera.set_gain(value)
    assert sim.last_args("SetVEXCAMParam") == (handle, 6, passed)


@pytest.mark.parametrize(
    "value, error",
    [
        (10**400, TOO_BIG_FLOAT),
        ("3", (TypeError, f"argument 'gain': {NOT_REAL}")),
        (None, (TypeError, "argument 'gain': must be real number, not NoneType")),
        (Real(3), (TypeError, "argument 'gain': Real.__float__ returned non-float (type int)")),
        (Real(TypeError("no float")), (TypeError, "argument 'gain': no float")),
    ],
)
def test_double_refuses(camera, sdk_calls, value, error):
    with sdk_calls() as made, pytest.raises(error[0]) as info:
        camera.set_gain(value)
    assert (type(info.value), str(info.value)) == error
    assert made == []


@pytest.mark.parametrize("method, position, name, kind", PARAMETERS)
def test_type_errors_name_the_parameter(camera, sdk_calls, method, position, name, kind):
    args = valid_args(method)
    args[position] = object()
    expected = (
        "'object' object cannot be interpreted as an integer"
        if kind in INTEGER
        else "must be real number, not object"
    )
    with sdk_calls() as made, pytest.raises(TypeError) as info:
        getattr(camera, method)(*args)
    assert str(info.value) == f"argument '{name}': {expected}"
    assert made == []


@pytest.mark.parametrize("raised", [ValueError("boom"), type("Sub", (TypeError,), {})("sub")])
def test_other_conversion_errors_pass_unchanged(camera, raised):
    with pytest.raises(type(raised)) as info:
        camera.set_exposure(Index(raised))
    assert info.value is raised
    with pytest.raises(type(raised)) as info:
        camera.set_offset(Real(raised))
    assert info.value is raised


def test_type_error_cause_is_carried_over(camera):
    cause = KeyError("k")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        camera.set_bin_mode(1, Index(inner))
    assert info.value is not inner
    assert info.value.args == ("argument 'bin_y': inner",)
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        camera.set_bin_mode(1, Index(TypeError("plain")))
    assert info.value.__cause__ is None


def test_conversion_stops_at_the_first_failure(camera, sdk_calls):
    converted = []
    with sdk_calls() as made, pytest.raises(TypeError) as info:
        camera.set_resolution(Index(1, converted), Index(2, converted), 1.5, Index(4, converted))
    assert str(info.value) == f"argument 'width': {NOT_INT}"
    assert converted == [1, 2]
    assert made == []


@pytest.mark.parametrize(
    "args, error",
    [
        ((1.5, -1, 0, 0), TypeError),
        ((0, -1, 1.5, 0), OverflowError),
        ((0, 0, 2**32, 1.5), OverflowError),
    ],
)
def test_conversion_order_follows_the_signature(camera, args, error):
    with pytest.raises(error):
        camera.set_resolution(*args)


def test_binding_comes_before_conversion(camera):
    # `value` would fail to convert, but the surplus positional argument is found first.
    with pytest.raises(TypeError) as info:
        camera.set_param("x", "y", "z")
    assert str(info.value) == "Camera.set_param() takes 2 positional arguments but 3 were given"
