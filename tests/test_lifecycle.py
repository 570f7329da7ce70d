# A Camera's handle: opened at construction, closed once by close() or by the last reference.
import gc
import sys

import pytest

import vexcam
from conftest import M8, M16

CLOSED = "Camera handle is null or closed"


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def test_construction_opens_with_the_utf8_id(sim):
    cam = vexcam.Camera(M8)
    handle = sim.last_handle()
    assert handle != 0 and sim.open_handles() == [handle]
    assert sim.call_log() == ["OpenVEXCAM"]
    assert sim.last_args("OpenVEXCAM") == (M8.encode(),)
    cam.close()


def test_non_ascii_id_reaches_the_sdk_as_utf8(sim):
    camera_id = "Kamera-\u00fc-\u2603"
    sim.add_camera(camera_id, 8, 8, 8)
    cam = vexcam.Camera(camera_id)
    assert sim.last_args("OpenVEXCAM") == (camera_id.encode(),)
    cam.close()


@pytest.mark.parametrize("camera_id", ["\0", "VXSIM\0M8-001", M8 + "\0", "\0" + M8])
def test_nul_in_id_is_refused_before_the_sdk(sim, camera_id):
    with pytest.raises(RuntimeError) as info:
        vexcam.Camera(camera_id)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("String conversion error",)
    assert sim.call_log() == []


def test_empty_id_is_passed_to_the_sdk(sim):
    sim.open_returns_null()
    with pytest.raises(RuntimeError) as info:
        vexcam.Camera("")
    assert str(info.value) == "Failed to open camera: "
    assert sim.call_log() == ["OpenVEXCAM"]
    assert sim.last_args("OpenVEXCAM") == (b"",)


def test_null_from_open_creates_nothing(sim):
    sim.open_returns_null()
    with pytest.raises(RuntimeError) as info:
        vexcam.Camera(M8)
    assert str(info.value) == f"Failed to open camera: {M8}"
    assert sim.open_handles() == []
    sim.open_returns_null(False)
    vexcam.Camera(M8).close()


def test_unknown_id_is_the_sdks_refusal(sim):
    with pytest.raises(RuntimeError) as info:
        vexcam.Camera("VXSIM-NONE-999")
    assert str(info.value) == "Failed to open camera: VXSIM-NONE-999"
    assert sim.calls("OpenVEXCAM") == 1


@pytest.mark.parametrize("closed_by", ["close", "last reference"])
def test_an_open_camera_cannot_be_opened_again_until_closed(sim, closed_by):
    first = vexcam.Camera(M8)
    with pytest.raises(RuntimeError) as info:
        vexcam.Camera(M8)
    assert str(info.value) == f"Failed to open camera: {M8}"
    vexcam.Camera(M16).close()  # other cameras are free
    if closed_by == "close":
        first.close()
    else:
        del first
    vexcam.Camera(M8).close()
    sim.allow_shared_open()
    both = [vexcam.Camera(M8), vexcam.Camera(M8)]
    assert len(set(sim.open_handles())) == 2
    for cam in both:
        cam.close()


def test_close_twice_closes_once(sim):
    cam = vexcam.Camera(M8)
    handle = sim.last_handle()
    assert cam.close() is None
    assert cam.close() is None
    del cam
    gc.collect()
    assert sim.close_count(handle) == 1
    assert sim.call_log() == ["OpenVEXCAM", "CloseVEXCAM"]
    assert sim.last_args("CloseVEXCAM") == (handle,)


def test_dealloc_closes_exactly_once(sim, unraisable):
    cam = vexcam.Camera(M8)
    handle = sim.last_handle()
    del cam
    assert sim.close_count(handle) == 1
    assert sim.open_handles() == []
    gc.collect()
    assert sim.close_count(handle) == 1
    assert unraisable == []


def test_dealloc_ignores_a_failing_close(sim, unraisable, capfd):
    cam = vexcam.Camera(M8)
    handle = sim.last_handle()
    sim.fail_next("CloseVEXCAM", 7)
    del cam
    gc.collect()
    assert sim.close_count(handle) == 1
    assert unraisable == []
    assert capfd.readouterr().err == ""


def test_failing_close_still_forgets_the_handle(sim):
    cam = vexcam.Camera(M8)
    handle = sim.last_handle()
    sim.fail_next("CloseVEXCAM", 7)
    with pytest.raises(RuntimeError) as info:
        cam.close()
    assert str(info.value) == "Operation failed with error code: 7"
    assert cam.close() is None
    with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
        cam.init()
    del cam
    gc.collect()
    assert sim.close_count(handle) == 1


def test_closed_camera_refuses_handle_methods(closed_camera, sdk_calls):
    with sdk_calls() as made:
        for method in (closed_camera.init, closed_camera.get_firmware_version):
            with pytest.raises(RuntimeError) as info:
                method()
            assert type(info.value) is RuntimeError and str(info.value) == CLOSED
        assert closed_camera.open() is None
    assert made == []


def test_open_is_a_no_op(camera, sdk_calls):
    with sdk_calls() as made:
        assert camera.open() is None
        assert camera.open() is None
    assert made == []


def test_init_calls_the_sdk_every_time(camera, handle, sim):
    assert camera.init() is None
    assert camera.init() is None
    assert sim.calls("InitVEXCAM") == 2
    assert sim.last_args("InitVEXCAM") == (handle,)


def test_cameras_are_independent(sim, camera, handle, camera16):
    other = sim.last_handle()
    assert other != handle
    camera16.close()
    assert sim.open_handles() == [handle]
    assert camera.get_firmware_version() == "010203"


@pytest.mark.parametrize(
    "firmware, text",
    [
        (b"\x01\x02\x03", "010203"),
        (b"\x01\x2a\xff\x99\x77", "012AFF"),
        (b"\x00\x00\x00", "000000"),
        (b"\xab\xcd\xef", "ABCDEF"),
        (b"\x0a", "0A0000"),
        (b"\x10\x00\x01" + bytes(range(29)), "100001"),
    ],
)
def test_firmware_version_text(sim, firmware, text):
    sim.add_camera("FW-CAM", 8, 8, 8, firmware=firmware)
    cam = vexcam.Camera("FW-CAM")
    handle = sim.last_handle()
    version = cam.get_firmware_version()
    assert type(version) is str and version == text
    assert sim.last_args("GetVEXCAMFWVersion") == (handle,)
    cam.close()


def test_work_without_init_sdk(sim, camera):
    camera.init()
    camera.get_firmware_version()
    assert sim.calls("InitVEXCAMResource") == 0
