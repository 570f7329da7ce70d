# The cameras inside pymmcore-plus (vexcam_mmcore): devices, frames, sequences, faults and MDA
# runs through the framework's own core and engine, checked against the module's own frames.
import json
import threading
import time

import numpy as np
import pytest

pytest.importorskip("pymmcore_plus", reason="the mmcore extra is not installed: make test installs it")
import useq

import vexcam
import vexcam_mmcore
from conftest import M8, M16, run_python

M12 = "VXSIM-M12-003"


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met"
        time.sleep(0.002)


def readers():
    return [t for t in threading.enumerate() if t.name == "vexcam-live" and t.is_alive()]


@pytest.fixture
def core(sim):
    made = vexcam_mmcore.create_core(M8, all_cameras=False)
    yield made
    made.unloadAllDevices()


@pytest.fixture
def twin(sim):
    """A module Camera with its own handle on the same simulated camera, for expected frames."""
    sim.allow_shared_open()
    cams = []

    def open_(camera_id=M8, exposure_us=None, binning=1, region=None, gain=None):
        cam = vexcam.Camera(camera_id)
        cams.append(cam)
        cam.set_bin_mode(binning, binning)
        if region is not None:
            cam.set_resolution(*(v * binning for v in region))
        if exposure_us is not None:
            cam.set_exposure(exposure_us)
        if gain is not None:
            cam.set_gain(gain)
        return cam

    yield open_
    for cam in cams:
        cam.close()


def live_frames(cam, n):
    cam.begin_live()
    frames = [cam.get_live_frame() for _ in range(n)]
    cam.stop_live()
    return frames


def test_every_camera_found_is_loaded(sim):
    core = vexcam_mmcore.create_core()
    try:
        assert core.getLoadedDevices()[:-1] == tuple(sim.cameras())  # and "Core"
        assert core.getCameraDevice() == M8
        core.setCameraDevice(M12)  # 16-bit samples, 12-bit sensor (sim/README.md)
        assert (core.getImageWidth(), core.getImageHeight(), core.getBytesPerPixel()) == (1920, 1080, 2)
        assert core.getImageBitDepth() == 12 and core.getProperty(M12, "PixelFormat") == "Mono12"
        assert core.getPixelSizeUm() == 1.0  # OME-TIFF needs one
    finally:
        core.unloadAllDevices()
    assert sim.open_handles() == []


# (property, control number, (lower, upper) or allowed values, a value to set) from sim/README.md
PROPERTIES = [
    ("Gain", 6, (0.0, 100.0), 5),
    ("Offset", 7, (0.0, 255.0), "20"),
    ("LiveFrameRate", 9, (0.1, 1000.0), 0.1),
    ("Cooler", 10, ("0", "1"), "1"),
    ("CCDTemperatureSetPoint", 11, (-40.0, 25.0), -40),
    ("TestPattern", 40, ("0", "1", "2"), 2),
]


@pytest.mark.parametrize("name, control, allowed, value", PROPERTIES)
def test_control_properties(core, sim, name, control, allowed, value):
    if isinstance(allowed[0], str):
        assert core.getAllowedPropertyValues(M8, name) == allowed
    else:
        assert (core.getPropertyLowerLimit(M8, name), core.getPropertyUpperLimit(M8, name)) == allowed
    seen = []
    core.events.propertyChanged.connect(lambda *args: seen.append(args))
    core.setProperty(M8, name, value)
    assert sim.last_args("SetVEXCAMParam") == (sim.opened_handles()[0], control, float(value))
    assert seen == [(M8, name, str(core.getProperty(M8, name)))]
    assert float(core.getProperty(M8, name)) == float(value)  # read back from the camera


@pytest.mark.parametrize("name, bad", [("Gain", 100.5), ("Cooler", "2"), ("Binning", 3)])
def test_values_outside_the_limits_never_reach_the_camera(core, sim, name, bad):
    before = sim.call_log()
    with pytest.raises(ValueError):
        core.setProperty(M8, name, bad)
    assert sim.call_log() == before


@pytest.mark.parametrize("name", ["CCDTemperature", "LiveFramesDelivered", "BitDepth"])
def test_read_only(core, name):
    assert core.isPropertyReadOnly(M8, name)


def test_exposure_in_milliseconds_is_announced(core, sim, watchdog):
    watchdog(20)
    seen = []
    # A handler that reads the device back, as GUIs do: no deadlock on the device's lock.
    core.events.exposureChanged.connect(lambda label, ms: seen.append((label, ms, core.getExposure())))
    core.setExposure(12.3456)
    assert sim.last_args("SetVEXCAMParam") == (sim.opened_handles()[0], 8, 12346.0)
    assert seen == [(M8, 12.346, 12.346)]


# (camera, exposure us, binning, region in binned pixels or None)
SNAPS = [(M8, 10_000, 1, None), (M16, 3_000, 2, (16, 8, 64, 32)), (M8, 5_000, 4, (1, 2, 30, 20))]


@pytest.mark.parametrize("camera_id, exposure, binning, region", SNAPS)
def test_snap_equals_the_modules_frame(sim, twin, camera_id, exposure, binning, region):
    core = vexcam_mmcore.create_core(camera_id, all_cameras=False)
    try:
        handle = sim.last_handle()
        core.setExposure(exposure / 1000)
        core.setProperty(camera_id, "Binning", binning)
        if region is not None:
            core.setROI(*region)
            assert sim.last_args("SetVEXCAMResolution") == (handle, *(v * binning for v in region))
            assert core.getROI() == list(region)
        core.snapImage()
        expected = twin(camera_id, exposure, binning, region).capture_single_frame()
        np.testing.assert_array_equal(core.getImage(), expected)
        assert (core.getImageHeight(), core.getImageWidth()) == expected.shape
    finally:
        core.unloadAllDevices()


@pytest.mark.parametrize("continuous", [False, True], ids=["finite", "continuous"])
def test_sequence_equals_the_modules_live_frames(core, sim, twin, continuous):
    if continuous:
        core.startContinuousSequenceAcquisition()
        wait_until(lambda: core.getRemainingImageCount() >= 3)
        core.stopSequenceAcquisition()
    else:
        core.startSequenceAcquisition(3, 0, True)
        wait_until(lambda: not core.isSequenceRunning())
    assert sim.calls("BeginVEXCAMLive") == sim.calls("StopVEXCAMLive") == 1
    assert readers() == []
    expected = live_frames(twin(), 3)
    for i in range(3):
        frame, meta = core.popNextImageAndMD()
        np.testing.assert_array_equal(frame, expected[i])
        assert meta[vexcam_mmcore.FRAME_INDEX] == meta["ImageNumber"] == str(i)


def slow_stream(core):
    """A continuous sequence whose reader waits inside the SDK: one frame per 10 s."""
    core.setProperty(M8, "LiveFrameRate", 0.1)
    core.startContinuousSequenceAcquisition()


def test_stop_mid_frame(core, sim, watchdog):
    watchdog(30)
    slow_stream(core)
    wait_until(lambda: sim.calls("GetVEXCAMLiveFrame") == 1)
    core.stopSequenceAcquisition()
    # Had the acquisition thread stayed inside its wait, the core's 2 s join would have left it
    # running.
    assert not core.isSequenceRunning()
    assert readers() == [] and sim.calls("StopVEXCAMLive") == 1
    assert core.getRemainingImageCount() == 0
    core.snapImage()  # and the camera goes on


@pytest.mark.parametrize("close", [
    lambda core: core.unloadDevice(M8),
    lambda core: core.unloadAllDevices(),
    lambda core: core.reset(),
], ids=["unloadDevice", "unloadAllDevices", "reset"])
def test_close_during_a_sequence(core, sim, watchdog, close):
    watchdog(30)
    handle = sim.last_handle()
    slow_stream(core)
    wait_until(lambda: sim.calls("GetVEXCAMLiveFrame") == 1)
    close(core)
    assert readers() == [] and sim.close_count(handle) == 1 and sim.open_handles() == []
    log = sim.call_log()
    assert log.index("StopVEXCAMLive") < log.index("CloseVEXCAM")


def test_fault_mid_sequence_reaches_the_user(core, sim, monkeypatch, watchdog):
    watchdog(30)
    raised = []
    monkeypatch.setattr(threading, "excepthook", lambda args: raised.append(args.exc_value))
    sim.fail_next("GetVEXCAMLiveFrame", 5, after=2)
    core.startContinuousSequenceAcquisition()
    wait_until(lambda: not core.isSequenceRunning())
    assert [str(e) for e in raised] == [
        f"Error in device '{M8}' during sequence acquisition: "
        "Failed to get frame data with return code: 5"
    ]
    assert core.getRemainingImageCount() == 2 and sim.calls("StopVEXCAMLive") == 1
    core.startSequenceAcquisition(3, 0, True)  # the core stays usable
    wait_until(lambda: not core.isSequenceRunning())
    assert core.getRemainingImageCount() == 3


@pytest.mark.parametrize("fail, act, message", [
    ("SetVEXCAMParam", lambda core: core.setProperty(M8, "Gain", 1), "Operation failed with error code: 5"),
    ("ExpVEXCAMSingleFrame", lambda core: core.snapImage(), "Operation failed with error code: 5"),
    ("BeginVEXCAMLive", lambda core: core.startContinuousSequenceAcquisition(),
     "Operation failed with error code: 5"),
    ("SetVEXCAMResolution", lambda core: core.setROI(0, 0, 8, 8), "Operation failed with error code: 5"),
])  # fmt: skip
def test_camera_errors_raise_from_the_core(core, sim, fail, act, message):
    sim.fail_next(fail, 5)
    with pytest.raises(RuntimeError) as info:
        act(core)
    assert str(info.value) == message
    assert not core.isSequenceRunning() and readers() == []
    assert core.getROI() == [0, 0, 1280, 960]  # a refused region is not kept


def test_a_camera_that_does_not_open(sim):
    sim.open_returns_null()
    with pytest.raises(RuntimeError) as info:
        vexcam_mmcore.create_core(M8, all_cameras=False)
    assert str(info.value) == f"Failed to open camera: {M8}"


def test_a_core_alive_at_exit_does_not_abort_the_process():
    done = run_python(f"""
        import vexcam_mmcore
        core = vexcam_mmcore.create_core({M8!r}, all_cameras=False)
        for i in range(50):  # the C++ core's callbacks still queued as the interpreter ends
            core.setAutoShutter(i % 2 == 0)
    """)
    assert done.returncode == 0, done.stderr


# An MDA run through the framework's engine: 3 time points x 2 channels, each channel its own
# gain and exposure, at binning 2 and a region. "tc" snaps every frame; "ct" runs each channel's
# time points as one sequence of live frames.
CHANNELS = {"low": (0, 4.0), "high": (10, 7.0)}  # gain, exposure ms
ROI = (16, 8, 64, 32)  # binned pixels


@pytest.mark.parametrize("suffix, axes", [(".ome.tiff", "tc"), (".ome.zarr", "ct")])
def test_mda_writes_the_modules_frames(core, twin, tmp_path, suffix, axes, watchdog):
    watchdog(120)
    core.defineConfigGroup("Channel")
    for name, (gain, _) in CHANNELS.items():
        core.defineConfig("Channel", name, M8, "Gain", str(gain))
    core.setChannelGroup("Channel")
    sequence = useq.MDASequence(
        time_plan={"interval": 0, "loops": 3},
        channels=[{"config": name, "exposure": ms} for name, (_, ms) in CHANNELS.items()],
        axis_order=axes,
        setup=useq.MDAEvent(
            properties=[(M8, "Binning", 2)], roi=useq.CameraROI(offset_x=16, offset_y=8, width=64, height=32)
        ),
    )
    path = tmp_path / f"run{suffix}"
    core.mda.run(sequence, output=str(path))
    expected = np.empty((3, 2, 32, 64), np.uint8)
    for c, (gain, ms) in enumerate(CHANNELS.values()):
        cam = twin(M8, round(ms * 1000), 2, ROI, gain)
        frames = live_frames(cam, 3) if axes == "ct" else [cam.capture_single_frame()] * 3
        expected[:, c] = frames
    pixels, scale, summary, exposures = (read_tiff if suffix == ".ome.tiff" else read_zarr)(path)
    np.testing.assert_array_equal(pixels, expected)
    assert scale == 2.0  # 1 um pixels, binned 2
    (info,) = summary["image_infos"]
    assert info["roi"] == list(ROI) and info["plane_shape"] == [32, 64]
    (camera,) = [d for d in summary["devices"] if d["label"] == M8]
    assert {p["name"]: p["value"] for p in camera["properties"]}["Binning"] == 2
    if exposures is not None:
        assert exposures == [ms / 1000 for ms in (4.0, 7.0)] * 3


def read_tiff(path):
    import tifffile

    with tifffile.TiffFile(path) as tif:
        pixels = tif.series[0].asarray()
        ome = tif.ome_metadata
    import xml.etree.ElementTree as ET

    root = ET.fromstring(ome)
    ns = {"o": root.tag.split("}")[0][1:]}
    px = root.find(".//o:Pixels", ns)
    planes = sorted(px.findall("o:Plane", ns), key=lambda p: (int(p.get("TheT")), int(p.get("TheC"))))
    summary = root.find(".//o:M[@K='summary_metadata_json']", ns).text
    return pixels, float(px.get("PhysicalSizeX")), json.loads(summary), [
        float(p.get("ExposureTime")) for p in planes
    ]


def read_zarr(path):
    import tensorstore

    array = tensorstore.open({"driver": "zarr3", "kvstore": f"file://{path}/0"}).result()
    attributes = json.loads((path / "zarr.json").read_text())["attributes"]
    (scale,) = {s for s in attributes["ome"]["multiscales"][0]["datasets"][0]
                ["coordinateTransformations"][0]["scale"][2:]}
    return array.read().result(), scale, attributes["pymmcore_plus"]["summary_metadata"], None
