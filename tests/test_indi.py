# The INDI driver in this process, fed in-memory streams: refusals, SDK faults, aborts, bad input.
import io

import pytest

from conftest import M8
from indi_client import BAD_INPUT, Messages, blob_bytes, new_vector, values

fits = pytest.importorskip("astropy.io.fits", reason="astropy is not installed: pip install 'vexcam[indi]'")
from vexcam_indi import Driver, device_name  # noqa: E402

DEV = device_name(M8)


def exposure(seconds):
    return new_vector("Number", DEV, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=seconds)


@pytest.fixture
def indi(sim, watchdog):
    watchdog(120)
    out = Messages()
    driver = Driver(out, camera_ids=[M8])
    driver.feed(new_vector("Switch", DEV, "CONNECTION", CONNECT="On"))
    out.wait("setSwitchVector", "CONNECTION", state="Ok")
    yield driver, out
    driver.shutdown()
    assert sim.open_handles() == []


@pytest.mark.parametrize("function, text", [
    ("ExpVEXCAMSingleFrame", "Operation failed with error code: 11"),
    ("GetVEXCAMSingleFrame", "Failed to get frame data with return code: 11"),
])  # fmt: skip
def test_sdk_fault_during_an_exposure_alerts_and_the_next_one_works(indi, sim, function, text):
    driver, out = indi
    sim.fail_next(function, sim.Code.INTERNAL_FAILURE)
    since = out.mark()
    driver.feed(exposure(0.001))
    alert = out.wait("setNumberVector", "CCD_EXPOSURE", since, state="Alert")
    assert alert.get("message") == f"exposure failed: {text}"  # the module's own message
    since = out.mark()
    driver.feed(exposure(0.001))
    out.wait("setNumberVector", "CCD_EXPOSURE", since, state="Ok")
    with fits.open(io.BytesIO(blob_bytes(out.wait("setBLOBVector", "CCD1", since)))) as hdul:
        assert hdul[0].header["EXPTIME"] == 0.001


def test_requests_are_answered_while_exposing_and_abort_discards_the_frame(indi, sim):
    driver, out = indi
    sim.block("ExpVEXCAMSingleFrame")
    driver.feed(exposure(600))
    assert sim.wait_blocked("ExpVEXCAMSingleFrame")
    since = out.mark()
    driver.feed(new_vector("Number", DEV, "CCD_GAIN", GAIN=30) + exposure(1))
    assert values(out.wait("setNumberVector", "CCD_GAIN", since, state="Ok")) == {"GAIN": "30"}
    busy = out.wait("setNumberVector", "CCD_EXPOSURE", since, state="Alert")
    assert busy.get("message").startswith("an exposure is in progress; it ends in ")
    driver.feed(new_vector("Switch", DEV, "CCD_ABORT_EXPOSURE", ABORT="On"))
    alert = out.wait("setSwitchVector", "CCD_ABORT_EXPOSURE", since, state="Alert")
    assert alert.get("message").startswith("the camera cannot cancel an exposure: this one goes on for ")
    out.wait("setNumberVector", "CCD_EXPOSURE", since, state="Idle")
    driver.feed(exposure(0.002))  # queued behind the abandoned one
    sim.unblock("ExpVEXCAMSingleFrame")
    out.wait("setNumberVector", "CCD_EXPOSURE", since, state="Ok")
    blobs = [m for m in out.received[since:] if m.tag == "setBLOBVector"]
    assert len(blobs) == 1
    with fits.open(io.BytesIO(blob_bytes(blobs[0]))) as hdul:
        assert (hdul[0].header["EXPTIME"], hdul[0].header["GAIN"]) == (0.002, 30)


@pytest.mark.parametrize("kind, name, members, message", [
    ("Number", "CCD_GAIN", {"GAIN": 101}, "Gain 101.0 is outside 0 to 100"),
    ("Number", "CCD_BINNING", {"HOR_BIN": 3, "VER_BIN": 3}, "binning 3 is not one of 1, 2, 4"),
    ("Number", "CCD_BINNING", {"HOR_BIN": 2}, "the camera bins alike along both axes: 2 x 1 is not possible"),
    ("Number", "CCD_FRAME", {"X": 1000, "WIDTH": 281},
     "frame (1000, 0, 281, 960) does not fit the 1280 x 960 sensor"),
    ("Number", "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": -1}, "exposure -1 s is outside 0 to 4294.97 s"),
    ("Number", "CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE": "cold"},
     "CCD_TEMPERATURE_VALUE: 'cold' is not a number"),
    ("Number", "CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE": "nan"},
     "CCD_TEMPERATURE_VALUE: 'nan' is not a finite number"),
    ("Number", "VEXCAM_CONTROL", {"CONTROL": 0, "VALUE": 3}, "CCDTemperature is read-only"),
    ("Number", "VEXCAM_CONTROL", {"CONTROL": 12},
     "control 12 is not available on this camera; it has 0, 6, 7, 8, 9, 10, 11, 40, 58"),
    ("Number", "CCD_INFO", {"CCD_MAX_X": 1}, "CCD_INFO is read-only"),
    ("Number", "CCD_GAIN", {"GAINS": 1}, "CCD_GAIN has no member GAINS"),
    ("Switch", "CCD_GAIN", {"GAIN": "On"}, "CCD_GAIN is a Number property, not a Switch one"),
    ("Switch", "CCD_COOLER", {"COOLER_ON": "Maybe"}, "COOLER_ON: 'Maybe' is neither On nor Off"),
    ("Switch", "CCD_FRAME_TYPE", {"FRAME_DARK": "On", "FRAME_FLAT": "On"},
     "CCD_FRAME_TYPE: turn exactly one of FRAME_LIGHT, FRAME_BIAS, FRAME_DARK, FRAME_FLAT on"),
    ("Text", "UPLOAD_SETTINGS", {"UPLOAD_PREFIX": "../up"},
     "UPLOAD_PREFIX '../up' must be a file name without a directory"),
])  # fmt: skip
def test_refused_requests_alert_and_change_nothing(indi, kind, name, members, message):
    driver, out = indi
    since = out.mark()
    driver.feed(f'<getProperties device="{DEV}" name="{name}"/>'.encode())
    defined = out.wait(None, name, since)
    since = out.mark()
    driver.feed(new_vector(kind, DEV, name, **members))
    alert = out.wait("set" + defined.tag[3:], name, since, state="Alert")
    assert alert.get("message") == message
    assert values(alert) == values(defined)


@pytest.mark.parametrize("bad", BAD_INPUT, ids=range(len(BAD_INPUT)))
def test_bad_input_loses_neither_what_came_before_nor_after(indi, bad):
    driver, out = indi
    stream = (new_vector("Number", DEV, "CCD_GAIN", GAIN=20) + bad
              + f'<getProperties device="{DEV}" name="CCD_OFFSET"/>'.encode())  # fmt: skip
    since = out.mark()
    for start in range(0, len(stream), 5):  # as a pipe may cut it
        driver.feed(stream[start : start + 5])
    assert values(out.wait("setNumberVector", "CCD_GAIN", since, state="Ok")) == {"GAIN": "20"}
    out.wait("defNumberVector", "CCD_OFFSET", since)


def test_unknown_property_is_answered_with_a_message(indi):
    driver, out = indi
    since = out.mark()
    driver.feed(new_vector("Number", DEV, "FOO", A=1))
    assert out.wait("message", since=since).get("message") == f"{DEV} has no property FOO"


def test_a_stream_ending_inside_a_message_closes_the_cameras(sim, watchdog):
    watchdog(60)
    out = Messages()
    driver = Driver(out, camera_ids=[M8])
    connect = new_vector("Switch", DEV, "CONNECTION", CONNECT="On")
    driver.run(io.BytesIO(connect + b'<newNumberVector device="' + DEV.encode()))
    out.wait("setSwitchVector", "CONNECTION", state="Ok")
    assert sim.open_handles() == [] and sim.close_count(sim.last_handle()) == 1
