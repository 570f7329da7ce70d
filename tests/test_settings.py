# Settings and controls: one SDK call each, values passed through unchanged, nothing cached.
import math
import struct

import pytest

from vexcam_sim import CONTROL_IDS, Control

CLOSED = "Camera handle is null or closed"
CONTROLS = list(range(0, 61)) + [61, 100, 255, 256, 2**31, 4294967294, 4294967295]


def bits(value):
    return struct.pack("<d", value)


def from_bits(raw):
    return struct.unpack("<d", raw)[0]


# (call, SDK function, SDK arguments after the handle)
PASS_THROUGH = [
    (lambda c: c.set_exposure(500), "SetVEXCAMParam", (8, 500.0)),
    (lambda c: c.set_exposure(0), "SetVEXCAMParam", (8, 0.0)),
    (lambda c: c.set_exposure(4294967295), "SetVEXCAMParam", (8, 4294967295.0)),
    (lambda c: c.set_exposure(us=16777217), "SetVEXCAMParam", (8, 16777217.0)),
    (lambda c: c.set_gain(10), "SetVEXCAMParam", (6, 10.0)),
    (lambda c: c.set_gain(gain=-3.5), "SetVEXCAMParam", (6, -3.5)),
    (lambda c: c.set_offset(2.5), "SetVEXCAMParam", (7, 2.5)),
    (lambda c: c.set_param(8, 1.5), "SetVEXCAMParam", (8, 1.5)),
    (lambda c: c.set_param(0, -1.0), "SetVEXCAMParam", (0, -1.0)),
    (lambda c: c.set_param(59, 1e300), "SetVEXCAMParam", (59, 1e300)),
    (lambda c: c.set_stream_mode(1), "SetVEXCAMStreamMode", (1,)),
    (lambda c: c.set_stream_mode(0), "SetVEXCAMStreamMode", (0,)),
    (lambda c: c.set_stream_mode(2), "SetVEXCAMStreamMode", (0,)),
    (lambda c: c.set_stream_mode(255), "SetVEXCAMStreamMode", (0,)),
    (lambda c: c.set_resolution(0, 0, 640, 480), "SetVEXCAMResolution", (0, 0, 640, 480)),
    (lambda c: c.set_resolution(width=640, height=480, x=0, y=0), "SetVEXCAMResolution", (0, 0, 640, 480)),
    (lambda c: c.set_resolution(1, 2, 3, 4), "SetVEXCAMResolution", (1, 2, 3, 4)),
    (lambda c: c.set_resolution(4294967295, 0, 0, 4294967295), "SetVEXCAMResolution", (4294967295, 0, 0, 4294967295)),
    (lambda c: c.set_bin_mode(2, 3), "SetVEXCAMBinMode", (2, 3)),
    (lambda c: c.set_bin_mode(bin_y=3, bin_x=2), "SetVEXCAMBinMode", (2, 3)),
    (lambda c: c.set_bin_mode(0, 4294967295), "SetVEXCAMBinMode", (0, 4294967295)),
]  # fmt: skip

SETTERS = [
    (lambda c: c.set_stream_mode(1), "SetVEXCAMStreamMode"),
    (lambda c: c.set_exposure(100), "SetVEXCAMParam"),
    (lambda c: c.set_gain(1.0), "SetVEXCAMParam"),
    (lambda c: c.set_offset(1.0), "SetVEXCAMParam"),
    (lambda c: c.set_resolution(0, 0, 64, 64), "SetVEXCAMResolution"),
    (lambda c: c.set_bin_mode(1, 1), "SetVEXCAMBinMode"),
    (lambda c: c.set_param(6, 1.0), "SetVEXCAMParam"),
]
SETTER_IDS = ["mode", "exposure", "gain", "offset", "resolution", "bin", "param"]


@pytest.mark.parametrize("call, function, args", PASS_THROUGH)
def test_values_reach_the_sdk_unchanged(camera, handle, sim, sdk_calls, call, function, args):
    sim.fail_next(function, 0)  # accepted whatever the simulated camera would say
    with sdk_calls() as made:
        assert call(camera) is None
    assert made == [function]
    assert sim.last_args(function) == (handle, *args)


@pytest.mark.parametrize(
    "value",
    [
        math.inf,
        -math.inf,
        -0.0,
        5e-324,
        1.7976931348623157e308,
        math.nan,
        from_bits(b"\x01\x00\x00\x00\x00\x00\xf8\x7f"),  # NaN with a payload
        from_bits(b"\x00\x00\x00\x00\x00\x00\xf8\xff"),  # negative NaN
    ],
)
@pytest.mark.parametrize(
    "call, control",
    [
        (lambda c, v: c.set_gain(v), 6),
        (lambda c, v: c.set_offset(v), 7),
        (lambda c, v: c.set_param(21, v), 21),
    ],
)
def test_doubles_pass_bit_for_bit(camera, handle, sim, call, control, value):
    sim.fail_next("SetVEXCAMParam", 0)
    call(camera, value)
    sent_handle, sent_control, sent = sim.last_args("SetVEXCAMParam")
    assert (sent_handle, sent_control) == (handle, control)
    assert bits(sent) == bits(value)


@pytest.mark.parametrize("code", [1, 0x80000000, 0xFFFFFFFF])
@pytest.mark.parametrize("call, function", SETTERS, ids=SETTER_IDS)
def test_setter_failure(camera, sim, call, function, code):
    sim.fail_next(function, code)
    with pytest.raises(RuntimeError) as info:
        call(camera)
    assert type(info.value) is RuntimeError
    assert str(info.value) == f"Operation failed with error code: {code}"
    assert sim.calls(function) == 1
    # The camera stays usable after a refused setting.
    sim.fail_next(function, 0)
    assert call(camera) is None


@pytest.mark.parametrize("call, function", SETTERS, ids=SETTER_IDS)
def test_setter_on_closed_camera(closed_camera, sdk_calls, call, function):
    with sdk_calls() as made, pytest.raises(RuntimeError) as info:
        call(closed_camera)
    assert str(info.value) == CLOSED
    assert made == []


@pytest.mark.parametrize("control", CONTROLS)
def test_get_param_control_validation(camera, handle, sim, sdk_calls, control):
    with sdk_calls() as made:
        if control in CONTROL_IDS:
            sim.script_param(0.25)
            assert camera.get_param(control) == 0.25
        else:
            with pytest.raises(ValueError) as info:
                camera.get_param(control)
            assert type(info.value) is ValueError
            assert info.value.args == (f"Invalid control ID: {control}",)
    if control in CONTROL_IDS:
        assert made == ["GetVEXCAMParam"]
        assert sim.last_args("GetVEXCAMParam") == (handle, control)
    else:
        assert made == []


@pytest.mark.parametrize("control", CONTROLS)
def test_set_param_control_validation(camera, handle, sim, sdk_calls, control):
    sim.fail_next("SetVEXCAMParam", 0)
    with sdk_calls() as made:
        if control in CONTROL_IDS:
            assert camera.set_param(control, 0.5) is None
        else:
            with pytest.raises(ValueError) as info:
                camera.set_param(control_id=control, value=0.5)
            assert info.value.args == (f"Invalid control ID: {control}",)
    if control in CONTROL_IDS:
        assert made == ["SetVEXCAMParam"]
        assert sim.last_args("SetVEXCAMParam") == (handle, control, 0.5)
    else:
        assert made == []


@pytest.mark.parametrize("control", CONTROLS)
def test_is_control_available_validation(camera, handle, sim, sdk_calls, control):
    sim.fail_next("IsVEXCAMControlAvailable", 0)
    with sdk_calls() as made:
        answer = camera.is_control_available(control)
    if control in CONTROL_IDS:
        assert answer is True
        assert made == ["IsVEXCAMControlAvailable"]
        assert sim.last_args("IsVEXCAMControlAvailable") == (handle, control)
    else:
        assert answer is False
        assert made == []


@pytest.mark.parametrize("result, answer", [(0, True), (1, False), (2, False), (0x80000000, False), (0xFFFFFFFF, False)])
def test_is_control_available_reads_only_zero_as_yes(camera, sim, result, answer):
    sim.fail_next("IsVEXCAMControlAvailable", result)
    assert camera.is_control_available(6) is answer


@pytest.mark.parametrize("control", [-1, 4294967296, 2**64])
@pytest.mark.parametrize("method", ["get_param", "is_control_available"])
def test_out_of_range_control_is_overflow_not_invalid(camera, method, control):
    with pytest.raises(OverflowError):
        getattr(camera, method)(control)


def test_set_param_converts_both_arguments_before_validating(camera):
    with pytest.raises(TypeError) as info:
        camera.set_param(38, "x")
    assert str(info.value) == "argument 'value': must be real number, not str"


@pytest.mark.parametrize(
    "value",
    [0.0, -0.0, 1.5, -1.0, 1e308, 5e-324, math.inf, -math.inf, math.nan, from_bits(b"\x01\x00\x00\x00\x00\x00\xf8\x7f")],
)
def test_get_param_returns_the_sdks_double(camera, sim, value):
    sim.script_param(value)
    got = camera.get_param(6)
    assert type(got) is float
    assert bits(got) == bits(value)


def test_nothing_is_remembered(camera, sim):
    sim.fail_next("SetVEXCAMParam", 0)
    camera.set_gain(3.0)
    sim.script_param(7.25)
    assert camera.get_param(6) == 7.25
    sim.script_param(-2.0)
    assert camera.get_param(6) == -2.0
    assert sim.calls("GetVEXCAMParam") == 2


@pytest.mark.parametrize("control", [0, 6, 37, 39, 59])
def test_closed_camera_queries_answer_without_the_sdk(closed_camera, sdk_calls, control):
    with sdk_calls() as made:
        value = closed_camera.get_param(control)
        available = closed_camera.is_control_available(control)
    assert type(value) is float and value == 0.0 and bits(value) == bits(0.0)
    assert available is False
    assert made == []


@pytest.mark.parametrize("control", [38, 42, 56, 60, 4294967295])
def test_invalid_control_on_closed_camera(closed_camera, sdk_calls, control):
    message = f"Invalid control ID: {control}"
    with sdk_calls() as made:
        with pytest.raises(ValueError) as info:
            closed_camera.set_param(control, 1.0)
        assert str(info.value) == message
        with pytest.raises(ValueError) as info:
            closed_camera.get_param(control)
        assert str(info.value) == message
        assert closed_camera.is_control_available(control) is False
    assert made == []


def test_real_camera_round_trip(camera, sim):
    # Against the simulated camera itself, without scripting: it accepts an ordinary setup.
    camera.init()
    camera.set_exposure(1000)
    assert camera.get_param(Control.EXPOSURE) == 1000.0
    assert camera.is_control_available(Control.EXPOSURE) is True
