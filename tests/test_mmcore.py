# The cameras inside pymmcore-plus (vexcam_mmcore): frames, sequences, faults and MDA runs
# through the framework's own core and engine, checked against the module's own frames.
import importlib.metadata
import json
import os
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

pytest.importorskip("pymmcore_plus", reason="the mmcore extra is not installed: make test installs it")
import useq
from pymmcore_plus.experimental.unicore import UniMMCore

import vexcam
import vexcam_device
import vexcam_mmcore
from conftest import M8, M16, run_python
from vexcam_sim import Control

ERROR_5 = "Operation failed with error code: 5"


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met"
        time.sleep(0.002)


def readers():
    return [t for t in threading.enumerate() if t.name == "vexcam-live" and t.is_alive()]


@pytest.fixture
def core(sim, request):
    """A VexcamCore with M8; with the parameter True, a plain UniMMCore of the user's own."""
    made = vexcam_mmcore.create_core(M8, all_cameras=False,
                                     core=UniMMCore() if getattr(request, "param", False) else None)
    yield made
    made.unloadAllDevices()


@pytest.fixture
def twin(sim):
    """`twin(id, us, binning, region, gain)`: a second handle on a camera, for expected frames."""
    sim.allow_shared_open()
    cams = []

    def open_(camera_id=M8, exposure_us=10_000, binning=1, region=None, gain=0.0):
        cams.append(cam := vexcam.Camera(camera_id))
        cam.set_bin_mode(binning, binning)
        if region is not None:
            cam.set_resolution(*(v * binning for v in region))
        cam.set_exposure(exposure_us), cam.set_gain(gain)
        return cam

    yield open_
    for cam in cams:
        cam.close()


# Live comparisons run at 10 frames/s: a reader that falls behind the stream (a loaded machine)
# gets the newest frame and the ones it missed are gone, on either side.
LIVE_RATE = 10.0


def live_frames(cam, n):
    cam.set_param(9, LIVE_RATE)
    cam.begin_live()
    frames = [cam.get_live_frame() for _ in range(n)]
    cam.stop_live()
    return frames


def test_every_camera_found_is_loaded(sim):
    core = vexcam_mmcore.create_core()
    try:
        assert core.getLoadedDevices() == (*sim.cameras(), "Core")
        m12 = {c.id: c for c in sim.DEFAULT_CAMERAS}["VXSIM-M12-003"]  # 12 bits in 16-bit samples
        core.setCameraDevice(m12.id)
        assert (core.getImageWidth(), core.getImageHeight(), core.getBytesPerPixel()) == (m12.width, m12.height, 2)
        assert core.getImageBitDepth() == m12.bits and core.getPixelSizeUm() == 1.0
    finally:
        core.unloadAllDevices()
    assert sim.open_handles() == []


def limits(control):
    return control.info.min, control.info.max


# (property, control, limits or allowed values, a value to set, a value refused)
PROPERTIES = [
    ("Gain", Control.GAIN, limits(Control.GAIN), 5, 100.5),
    ("Offset", Control.OFFSET, limits(Control.OFFSET), "20", -1),
    ("LiveFrameRate", Control.FRAME_RATE, limits(Control.FRAME_RATE), 0.1, 0.05),
    ("Cooler", Control.COOLER_ON, ("0", "1"), "1", "2"),
    ("CCDTemperatureSetPoint", Control.COOLER_TARGET, limits(Control.COOLER_TARGET), -40, 26),
    ("TestPattern", Control.TEST_PATTERN, ("0", "1", "2"), 2, 3),
]


@pytest.mark.parametrize("name, control, allowed, value, refused", PROPERTIES)
def test_control_properties(core, sim, name, control, allowed, value, refused):
    if isinstance(allowed[0], str):
        assert core.getAllowedPropertyValues(M8, name) == allowed
    else:
        assert (core.getPropertyLowerLimit(M8, name), core.getPropertyUpperLimit(M8, name)) == allowed
    seen = []
    # The core's own notices (AutoShutter, from create_core) arrive late, on pymmcore's thread.
    core.events.propertyChanged.connect(lambda *args: args[0] == M8 and seen.append(args))
    core.setProperty(M8, name, value)
    assert sim.last_args("SetVEXCAMParam") == (sim.opened_handles()[0], control, float(value))
    assert seen == [(M8, name, str(core.getProperty(M8, name)))]
    log = sim.call_log()
    with pytest.raises(ValueError):
        core.setProperty(M8, name, refused)
    assert sim.call_log() == log and float(core.getProperty(M8, name)) == float(value)


def test_exposure_in_milliseconds_is_announced(core, sim, watchdog):
    watchdog(20)
    seen = []
    # A handler that reads the device back, as GUIs do: no deadlock on the device's lock.
    core.events.exposureChanged.connect(lambda label, ms: seen.append((label, ms, core.getExposure())))
    core.setExposure(12.3456)
    assert sim.last_args("SetVEXCAMParam") == (sim.opened_handles()[0], Control.EXPOSURE, 12346.0)
    assert seen == [(M8, 12.346, 12.346)]


# (camera, exposure us, binning, region in binned pixels or None)
@pytest.mark.parametrize("camera_id, exposure, binning, region", [
    (M8, 10_000, 1, None), (M16, 3_000, 2, (16, 8, 64, 32)), (M8, 5_000, 4, (1, 2, 30, 20)),
])  # fmt: skip
def test_snap_equals_the_modules_frame(sim, twin, camera_id, exposure, binning, region):
    core = vexcam_mmcore.create_core(camera_id, all_cameras=False)
    try:
        core.setExposure(exposure / 1000)
        core.setProperty(camera_id, "Binning", binning)
        if region is not None:
            core.setROI(*region)
            assert sim.last_args("SetVEXCAMResolution")[1:] == tuple(v * binning for v in region)
            assert core.getROI() == list(region)
        core.snapImage()
        np.testing.assert_array_equal(core.getImage(), twin(camera_id, exposure, binning, region)
                                      .capture_single_frame())  # fmt: skip
    finally:
        core.unloadAllDevices()


@pytest.mark.parametrize("continuous", [False, True], ids=["finite", "continuous"])
def test_sequence_equals_the_modules_live_frames(core, sim, twin, continuous):
    core.setProperty(M8, "LiveFrameRate", LIVE_RATE)
    if continuous:
        core.startContinuousSequenceAcquisition()
        wait_until(lambda: core.getRemainingImageCount() >= 3)
        core.stopSequenceAcquisition()
    else:
        core.startSequenceAcquisition(3, 0, True)
        wait_until(lambda: not core.isSequenceRunning())
    assert sim.calls("BeginVEXCAMLive") == sim.calls("StopVEXCAMLive") == 1 and readers() == []
    for i, expected in enumerate(live_frames(twin(), 3)):
        frame, meta = core.popNextImageAndMD()
        np.testing.assert_array_equal(frame, expected)
        assert meta[vexcam_mmcore.FRAME_INDEX] == meta["ImageNumber"] == str(i)


def slow_stream(core, sim):
    """A continuous sequence whose reader waits inside the SDK: one frame per 10 s."""
    core.setProperty(M8, "LiveFrameRate", 0.1)
    core.startContinuousSequenceAcquisition()
    wait_until(lambda: sim.calls("GetVEXCAMLiveFrame") == 1)


# A plain UniMMCore tells of a stop only after the framework's own wait on the frame.
@pytest.mark.parametrize("core", [False, True], ids=["VexcamCore", "UniMMCore"], indirect=True)
def test_stop_mid_frame(core, sim, watchdog):
    watchdog(30)
    slow_stream(core, sim)
    core.stopSequenceAcquisition()
    # An acquisition thread still inside its wait would outlive the core's 2 s join.
    assert not core.isSequenceRunning() and readers() == []
    assert sim.calls("StopVEXCAMLive") == 1 and core.getRemainingImageCount() == 0
    core.snapImage()


@pytest.mark.parametrize("close", ["unloadDevice", "unloadAllDevices", "reset"])
def test_close_during_a_sequence(core, sim, watchdog, close):
    watchdog(30)
    handle = sim.last_handle()
    slow_stream(core, sim)
    getattr(core, close)(*[M8][: close == "unloadDevice"])
    assert readers() == [] and sim.close_count(handle) == 1 and sim.open_handles() == []
    log = sim.call_log()
    assert log.index("StopVEXCAMLive") < log.index("CloseVEXCAM")


def test_fault_mid_sequence_reaches_the_user(core, sim, monkeypatch, watchdog):
    watchdog(30)
    raised = []
    monkeypatch.setattr(threading, "excepthook", lambda args: raised.append(str(args.exc_value)))
    sim.fail_next("GetVEXCAMLiveFrame", 5, after=2)
    core.startContinuousSequenceAcquisition()
    wait_until(lambda: not core.isSequenceRunning())
    assert raised == [f"Error in device '{M8}' during sequence acquisition: "
                      "Failed to get frame data with return code: 5"]  # fmt: skip
    assert core.getRemainingImageCount() == 2 and sim.calls("StopVEXCAMLive") == 1
    core.startSequenceAcquisition(3, 0, True)  # the core stays usable
    wait_until(lambda: not core.isSequenceRunning())
    assert core.getRemainingImageCount() == 3


@pytest.mark.parametrize("fail, act", [
    ("SetVEXCAMParam", lambda core: core.setProperty(M8, "Gain", 1)),
    ("ExpVEXCAMSingleFrame", lambda core: core.snapImage()),
    ("BeginVEXCAMLive", lambda core: core.startContinuousSequenceAcquisition()),
    ("SetVEXCAMResolution", lambda core: core.setROI(0, 0, 8, 8)),
], ids=lambda v: v if isinstance(v, str) else "")  # fmt: skip
def test_camera_errors_raise_from_the_core(core, sim, fail, act):
    sim.fail_next(fail, 5)
    with pytest.raises(RuntimeError, match=f"^{ERROR_5}$"):
        act(core)
    assert not core.isSequenceRunning() and readers() == []
    assert core.getROI() == [0, 0, 1280, 960]  # a refused region is not kept


# After a binning change the region reported is where the frame's pixels come from, and setting
# it again moves nothing: origins off the new bin's grid, and a region the SDK refuses midway.
# (binning, region in its binned pixels, new binning, the SDK refuses the new region)
@pytest.mark.parametrize("binning, region, new, refused", [
    (1, (101, 51, 201, 101), 2, False), (2, (25, 13, 50, 30), 4, False), (1, (101, 51, 201, 101), 2, True),
])  # fmt: skip
def test_region_after_a_binning_change_describes_the_frame(core, sim, binning, region, new, refused):
    core.setProperty(M8, "TestPattern", 1)  # the ramp: sample (i, j) is x + i*bin + y + j*bin
    core.setProperty(M8, "Binning", binning)
    core.setROI(*region)
    if refused:
        sim.fail_next("SetVEXCAMResolution", 5)
        with pytest.raises(RuntimeError, match=f"^{ERROR_5}$"):
            core.setProperty(M8, "Binning", new)
    else:
        core.setProperty(M8, "Binning", new)
    b = int(core.getProperty(M8, "Binning"))
    assert b == (binning if refused else new)
    core.snapImage()
    frame = core.getImage()
    x, y, width, height = core.getROI()
    rows, columns = np.indices((height, width))
    np.testing.assert_array_equal(frame, (x * b + columns * b + y * b + rows * b) & 0xFF)  # 8 bits
    core.setROI(*core.getROI())
    core.snapImage()
    np.testing.assert_array_equal(core.getImage(), frame)


def test_a_config_of_the_users_own(sim):
    # The vendor's numbers for the same camera: no cooler or test pattern role, a narrower gain.
    config = vexcam_device.Config.parse("""
        [controls.exposure]
        number = 8
        min = 0
        max = 1000000
        integer = true
        [controls.gain]
        number = 6
        name = "Gain"
        min = 0
        max = 50
        [cameras."VXSIM-M8-001"]
        bit_depth = 7
    """)
    core = vexcam_mmcore.create_core(M8, all_cameras=False, config=config)
    try:
        names = core.getDevicePropertyNames(M8)
        assert "Cooler" not in names and "TestPattern" not in names and "Offset" not in names
        assert "Control 10" in names and "Control 40" in names  # available, but no role
        assert core.getPropertyUpperLimit(M8, "Gain") == 50 and core.getImageBitDepth() == 7
        assert core.getPropertyUpperLimit(M8, "Exposure") == 1000
        with pytest.raises(ValueError):
            core.setProperty(M8, "Gain", 60)
        core.setProperty(M8, "Control 40", 1)
        assert sim.last_args("SetVEXCAMParam")[1:] == (sim.Control.TEST_PATTERN, 1.0)
    finally:
        core.unloadAllDevices()


def test_a_camera_that_does_not_open(sim):
    sim.open_returns_null()
    with pytest.raises(RuntimeError, match=f"^Failed to open camera: {M8}$"):
        vexcam_mmcore.create_core(M8, all_cameras=False)


def test_the_frameworks_own_camera_tests_pass_on_the_adapter():
    # pymmcore-plus's tests of Python cameras, unpacked by `make test` from its source
    # distribution; mmcore_framework_plugin.py puts the adapter in place of their cameras.
    version = importlib.metadata.version("pymmcore-plus")
    tests = os.path.join(os.path.dirname(os.path.dirname(__file__)), "build", "mmcore-tests",
                         f"pymmcore_plus-{version}", "tests")  # fmt: skip
    if not os.path.isdir(tests):
        pytest.skip(f"pymmcore-plus {version}'s tests are not unpacked in build/: make test does it")
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "mmcore_framework_plugin", "-p", "no:cacheprovider",
         "-q", os.path.join(tests, "00_unicore", "test_camera.py")], capture_output=True, text=True,
        timeout=300, cwd=tests, env={**os.environ, "PYTHONPATH": os.path.dirname(__file__)},
    )  # fmt: skip
    lines = done.stdout.splitlines()
    assert done.returncode == 0, done.stdout + done.stderr
    # Each test that ran opened a camera: the adapter's, not the framework's own class.
    assert "vexcam cameras opened: 7" in lines and lines[-1].startswith("7 passed, 10 deselected")


def test_a_core_alive_at_exit_does_not_abort_the_process():
    done = run_python(f"""
        import vexcam_mmcore
        core = vexcam_mmcore.create_core({M8!r}, all_cameras=False)
        for i in range(50):  # the C++ core's callbacks still queued as the interpreter ends
            core.setAutoShutter(i % 2 == 0)
    """)
    assert done.returncode == 0, done.stderr


# An MDA through the framework's engine: 3 time points x 2 channels of their own gain and
# exposure, binning 2 and a region. "tc" snaps every frame; "ct" runs each channel's time
# points as one sequence of live frames.
CHANNELS = {"low": (0, 4.0), "high": (10, 7.0)}  # gain, exposure ms
ROI = (16, 8, 64, 32)  # binned pixels


@pytest.mark.parametrize("suffix, axes", [(".ome.tiff", "tc"), (".ome.zarr", "ct")])
def test_mda_writes_the_modules_frames(core, twin, tmp_path, suffix, axes, watchdog):
    watchdog(120)
    core.defineConfigGroup("Channel")
    for name, (gain, _) in CHANNELS.items():
        core.defineConfig("Channel", name, M8, "Gain", str(gain))
    core.setChannelGroup("Channel")
    core.setProperty(M8, "LiveFrameRate", LIVE_RATE)
    core.mda.run(useq.MDASequence(
        time_plan={"interval": 0, "loops": 3}, axis_order=axes,
        channels=[{"config": name, "exposure": ms} for name, (_, ms) in CHANNELS.items()],
        setup=useq.MDAEvent(properties=[(M8, "Binning", 2)], roi=useq.CameraROI(
            offset_x=ROI[0], offset_y=ROI[1], width=ROI[2], height=ROI[3])),
    ), output=str(path := tmp_path / f"run{suffix}"))  # fmt: skip
    expected = np.empty((3, 2, 32, 64), np.uint8)
    for c, (gain, ms) in enumerate(CHANNELS.values()):
        cam = twin(M8, round(ms * 1000), 2, ROI, gain)
        expected[:, c] = live_frames(cam, 3) if axes == "ct" else [cam.capture_single_frame()] * 3
    pixels, scale, summary = (read_tiff if suffix == ".ome.tiff" else read_zarr)(path)
    np.testing.assert_array_equal(pixels, expected)
    assert scale == 2.0  # 1 um pixels, binned 2
    assert summary["image_infos"][0]["roi"] == list(ROI)
    (camera,) = [d for d in summary["devices"] if d["label"] == M8]
    assert {p["name"]: p["value"] for p in camera["properties"]}["Binning"] == 2


def read_tiff(path):
    import tifffile

    with tifffile.TiffFile(path) as tif:
        pixels, root = tif.series[0].asarray(), ET.fromstring(tif.ome_metadata)
    ns = {"o": root.tag.split("}")[0][1:]}
    px = root.find(".//o:Pixels", ns)
    exposures = [(int(p.get("TheC")), float(p.get("ExposureTime"))) for p in px.findall("o:Plane", ns)]
    assert sorted(set(exposures)) == [(0, 0.004), (1, 0.007)]
    summary = json.loads(root.find(".//o:M[@K='summary_metadata_json']", ns).text)
    return pixels, float(px.get("PhysicalSizeX")), summary


def read_zarr(path):
    import tensorstore

    array = tensorstore.open({"driver": "zarr3", "kvstore": f"file://{path}/0"}).result()
    attributes = json.loads((path / "zarr.json").read_text())["attributes"]
    scale = attributes["ome"]["multiscales"][0]["datasets"][0]["coordinateTransformations"][0]["scale"]
    assert scale[2] == scale[3]
    return array.read().result(), scale[3], attributes["pymmcore_plus"]["summary_metadata"]
