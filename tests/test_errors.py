# Every camera-layer failure reaches Python as a plain RuntimeError with one fixed English text.
import pytest

import vexcam
from conftest import M8

CODES = [1, 7, 255, 2**31 - 1, 2**31, 0xFFFFFFFE, 0xFFFFFFFF]

# (what fails, SDK function scripted, how to trigger it, message template)
SDK_FAILURES = [
    ("init", "InitVEXCAMResource", lambda cam: vexcam.init_sdk(), "SDK initialization failed with code: {}"),
    ("scan-init", "InitVEXCAMResource", lambda cam: vexcam.scan_cameras(), "SDK initialization failed with code: {}"),
    ("camera-init", "InitVEXCAM", lambda cam: cam.init(), "Operation failed with error code: {}"),
    ("firmware", "GetVEXCAMFWVersion", lambda cam: cam.get_firmware_version(), "Operation failed with error code: {}"),
    ("close", "CloseVEXCAM", lambda cam: cam.close(), "Operation failed with error code: {}"),
    ("gain", "SetVEXCAMParam", lambda cam: cam.set_gain(1.0), "Operation failed with error code: {}"),
    ("mode", "SetVEXCAMStreamMode", lambda cam: cam.set_stream_mode(1), "Operation failed with error code: {}"),
    ("roi", "SetVEXCAMResolution", lambda cam: cam.set_resolution(0, 0, 8, 8), "Operation failed with error code: {}"),
    ("bin", "SetVEXCAMBinMode", lambda cam: cam.set_bin_mode(1, 1), "Operation failed with error code: {}"),
    ("expose", "ExpVEXCAMSingleFrame", lambda cam: cam.exp_single_frame(), "Operation failed with error code: {}"),
    ("capture", "ExpVEXCAMSingleFrame", lambda cam: cam.capture_single_frame(), "Operation failed with error code: {}"),
    ("live-on", "BeginVEXCAMLive", lambda cam: cam.begin_live(), "Operation failed with error code: {}"),
    ("live-off", "StopVEXCAMLive", lambda cam: cam.stop_live(), "Operation failed with error code: {}"),
    ("single", "GetVEXCAMSingleFrame", lambda cam: cam.get_single_frame(), "Failed to get frame data with return code: {}"),
    ("live", "GetVEXCAMLiveFrame", lambda cam: cam.get_live_frame(), "Failed to get frame data with return code: {}"),
]  # fmt: skip


@pytest.mark.parametrize("code", CODES)
@pytest.mark.parametrize(
    "function, trigger, template", [case[1:] for case in SDK_FAILURES], ids=[c[0] for c in SDK_FAILURES]
)
def test_sdk_code_in_message(camera, sim, function, trigger, template, code):
    sim.fail_next(function, code)
    with pytest.raises(RuntimeError) as info:
        trigger(camera)
    assert type(info.value) is RuntimeError
    assert info.value.args == (template.format(code),)


@pytest.mark.parametrize("camera_id", [M8, "", "Kamera-\u00fc \u2603", " spaced id "])
def test_open_failure_repeats_the_id_verbatim(sim, camera_id):
    sim.open_returns_null()
    with pytest.raises(RuntimeError) as info:
        vexcam.Camera(camera_id)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Failed to open camera: " + camera_id,)


@pytest.mark.parametrize(
    "trigger",
    [
        lambda cam: cam.init(),
        lambda cam: cam.get_firmware_version(),
        lambda cam: cam.set_exposure(1),
        lambda cam: cam.get_single_frame(),
    ],
)
def test_closed_handle_message(closed_camera, trigger):
    with pytest.raises(RuntimeError) as info:
        trigger(closed_camera)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Camera handle is null or closed",)
