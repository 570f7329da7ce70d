# SDK resource handling and camera discovery: init_sdk() and scan_cameras().
import pytest

import vexcam

INIT, RELEASE, SCAN, GET_ID = "InitVEXCAMResource", "ReleaseVEXCAMResource", "ScanVEXCAM", "GetVEXCAMId"


def test_init_sdk_takes_and_gives_back_each_time(sim):
    assert vexcam.init_sdk() is None
    assert vexcam.init_sdk() is None
    assert sim.call_log() == [INIT, RELEASE, INIT, RELEASE]


def test_failed_init_is_not_released_and_not_remembered(sim):
    sim.fail_next(INIT, 5)
    with pytest.raises(RuntimeError) as info:
        vexcam.init_sdk()
    assert str(info.value) == "SDK initialization failed with code: 5"
    assert sim.call_log() == [INIT]
    assert vexcam.init_sdk() is None
    assert sim.call_log() == [INIT, INIT, RELEASE]


def test_scan_default_catalog(sim):
    ids = vexcam.scan_cameras()
    assert type(ids) is list and all(type(i) is str for i in ids)
    assert ids == sim.cameras()
    assert sim.call_log() == [INIT, SCAN] + [GET_ID] * len(ids) + [RELEASE]
    assert sim.last_args(GET_ID) == (len(ids) - 1,)


def test_scan_needs_no_earlier_init(sim):
    assert vexcam.scan_cameras() == sim.cameras()
    vexcam.init_sdk()
    assert vexcam.scan_cameras() == sim.cameras()
    assert sim.calls(INIT) == sim.calls(RELEASE) == 3


def test_each_scan_builds_a_new_list():
    first = vexcam.scan_cameras()
    first.append("mine")
    assert "mine" not in vexcam.scan_cameras()


def test_scan_of_no_cameras(sim):
    sim.script_scan(0)
    assert vexcam.scan_cameras() == []
    assert sim.call_log() == [INIT, SCAN, RELEASE]


def test_configured_catalog_is_scanned_in_order(sim):
    sim.clear_cameras()
    sim.add_camera("B-2", 16, 8, 8)
    sim.add_camera("A-1", 16, 8, 16)
    assert vexcam.scan_cameras() == ["B-2", "A-1"]


@pytest.mark.parametrize("code", [5, 0xFFFFFFFF])
def test_scan_when_init_fails(sim, code):
    sim.fail_next(INIT, code)
    with pytest.raises(RuntimeError) as info:
        vexcam.scan_cameras()
    assert str(info.value) == f"SDK initialization failed with code: {code}"
    assert sim.call_log() == [INIT]


def test_scan_failure_releases_first(sim):
    sim.script_scan(0xFFFFFFFF)
    with pytest.raises(RuntimeError) as info:
        vexcam.scan_cameras()
    assert type(info.value) is RuntimeError
    assert info.value.args == ("SDK scan cameras failed with code: 4294967295",)
    assert sim.call_log() == [INIT, SCAN, RELEASE]
    # The resource was given back, so the next user takes it anew.
    vexcam.init_sdk()
    assert sim.call_log()[3:] == [INIT, RELEASE]


def test_unreadable_index_is_skipped(sim):
    sim.script_scan(3, failing={1: 9})
    assert vexcam.scan_cameras() == ["SCRIPTED-0", "SCRIPTED-2"]
    assert sim.call_log() == [INIT, SCAN, GET_ID, GET_ID, GET_ID, RELEASE]


def test_all_indexes_unreadable(sim):
    sim.script_scan(4, failing={0: 1, 1: 0xFFFFFFFF, 2: 2, 3: 3})
    assert vexcam.scan_cameras() == []
    assert sim.calls(GET_ID) == 4 and sim.calls(RELEASE) == 1


@pytest.mark.parametrize(
    "raw",
    [
        b"\xff\xfe",
        b"cam-\xc0\x80",  # overlong NUL
        b"cam-\xed\xa0\x80",  # UTF-8-encoded surrogate
        b"cam-\xe2\x82",  # truncated sequence
        b"cam-\xf4\x90\x80\x80",  # beyond U+10FFFF
        b"cam-\x80",  # lone continuation byte
        b"B" * 63 + b"\xe2",  # cut inside a character at the end of the buffer
    ],
)
def test_id_that_is_not_utf8_is_skipped(sim, raw):
    sim.script_scan(3, ids={1: raw})
    assert vexcam.scan_cameras() == ["SCRIPTED-0", "SCRIPTED-2"]


@pytest.mark.parametrize(
    "raw, expected",
    [
        (b"A" * 63, "A" * 63),
        (b"", ""),
        (b"AB\0CD", "AB"),
        ("Kamera-\u00fc-\U0001f4f7".encode(), "Kamera-\u00fc-\U0001f4f7"),
        # An SDK that fills all 64 bytes without a NUL: we keep those 64 bytes as the id (it is
        # never read beyond the buffer) rather than skip the camera.
        (b"C" * 64, "C" * 64),
        ("\u00e9".encode() * 32, "\u00e9" * 32),
    ],
)
def test_id_text(sim, raw, expected):
    sim.script_scan(2, ids={0: raw})
    assert vexcam.scan_cameras() == [expected, "SCRIPTED-1"]


def test_opening_needs_no_discovery(sim):
    cam = vexcam.Camera("VXSIM-M16-002")
    cam.close()
    assert sim.call_log() == ["OpenVEXCAM", "CloseVEXCAM"]
