# The simulated SDK's own model and control plane, driven through ctypes so that a fault in
# the simulator cannot hide behind (or be blamed on) the extension.
import ctypes
import hashlib
import math
import sys
import threading
import time

import numpy as np
import pytest

import vexcam_sim
from vexcam_sim import CONTROL_IDS, Code, Control

M8, M16, M12 = "VXSIM-M8-001", "VXSIM-M16-002", "VXSIM-M12-003"
U32 = ctypes.c_uint32
OUTS = [ctypes.POINTER(U32)] * 4
SIGNATURES = {
    "ScanVEXCAM": (U32, []),
    "InitVEXCAM": (U32, [ctypes.c_void_p]),
    "GetVEXCAMId": (U32, [U32, ctypes.c_char_p]),
    "OpenVEXCAM": (ctypes.c_void_p, [ctypes.c_char_p]),
    "CloseVEXCAM": (U32, [ctypes.c_void_p]),
    "GetVEXCAMFWVersion": (U32, [ctypes.c_void_p, ctypes.c_char_p]),
    "IsVEXCAMControlAvailable": (U32, [ctypes.c_void_p, U32]),
    "GetVEXCAMParam": (ctypes.c_double, [ctypes.c_void_p, U32]),
    "SetVEXCAMParam": (U32, [ctypes.c_void_p, U32, ctypes.c_double]),
    "SetVEXCAMStreamMode": (U32, [ctypes.c_void_p, ctypes.c_uint8]),
    "SetVEXCAMResolution": (U32, [ctypes.c_void_p, U32, U32, U32, U32]),
    "SetVEXCAMBinMode": (U32, [ctypes.c_void_p, U32, U32]),
    "GetVEXCAMMemLength": (U32, [ctypes.c_void_p]),
    "ExpVEXCAMSingleFrame": (U32, [ctypes.c_void_p]),
    "GetVEXCAMSingleFrame": (U32, [ctypes.c_void_p, *OUTS, ctypes.c_char_p]),
    "BeginVEXCAMLive": (U32, [ctypes.c_void_p]),
    "GetVEXCAMLiveFrame": (U32, [ctypes.c_void_p, *OUTS, ctypes.c_char_p]),
    "StopVEXCAMLive": (U32, [ctypes.c_void_p]),
    "InitVEXCAMResource": (U32, []),
    "ReleaseVEXCAMResource": (U32, []),
}


def _bind(lib):
    for name, (restype, argtypes) in SIGNATURES.items():
        getattr(lib, name).restype = restype
        getattr(lib, name).argtypes = argtypes
    return lib


# The library vexcam loaded, reached by its name; PyDLL calls keep the GIL, CDLL calls drop it.
SDK_NAME = "vexcam.dll" if sys.platform == "win32" else "libvexcam.so"
SDK = _bind(ctypes.CDLL(SDK_NAME))
SDK_WITH_GIL = _bind(ctypes.PyDLL(SDK_NAME))


def read(handle, live=False, buffer=None):
    """One frame read as the module makes it: (result, width, height, bits, channels, bytes)."""
    if buffer is None:
        buffer = ctypes.create_string_buffer(SDK.GetVEXCAMMemLength(handle))
    outs = [U32() for _ in range(4)]
    reader = SDK.GetVEXCAMLiveFrame if live else SDK.GetVEXCAMSingleFrame
    rc = reader(handle, *(ctypes.byref(o) for o in outs), buffer)
    width, height, bits, channels = (o.value for o in outs)
    return rc, width, height, bits, channels, buffer.raw


def samples(data, width, height, bits):
    view = memoryview(data)
    view = view[: width * height * 2].cast("H") if bits > 8 else view[: width * height]
    return list(view)


def capture(handle):
    assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
    rc, width, height, bits, _, data = read(handle)
    assert rc == Code.OK
    return samples(data, width, height, bits)


def mean(values):
    return sum(values) / len(values)


@pytest.fixture
def open_camera():
    """Opens cameras by id and closes whatever is still open at the end."""
    handles = []

    def opener(camera_id=M8):
        handle = SDK.OpenVEXCAM(camera_id.encode())
        assert handle
        handles.append(handle)
        return handle

    yield opener
    for handle in handles:
        if handle in vexcam_sim.open_handles():
            SDK.CloseVEXCAM(handle)


def test_cameras_scan_open_and_read_as_the_library_reports_them(open_camera):
    ids = []
    buffer = ctypes.create_string_buffer(64)
    for index in range(SDK.ScanVEXCAM()):
        assert SDK.GetVEXCAMId(index, buffer) == Code.OK
        ids.append(buffer.value.decode())
    assert ids == vexcam_sim.cameras() == [M8, M16, M12, "VXSIM-L16-004"]
    assert vexcam_sim.camera_table() == list(vexcam_sim.DEFAULT_CAMERAS)
    assert SDK.GetVEXCAMId(4, buffer) == Code.OUT_OF_RANGE
    for camera in vexcam_sim.DEFAULT_CAMERAS:
        handle = open_camera(camera.id)
        assert SDK.GetVEXCAMMemLength(handle) == camera.width * camera.height * 2
        version = ctypes.create_string_buffer(32)
        assert SDK.GetVEXCAMFWVersion(handle, version) == Code.OK
        assert version.raw == camera.firmware
        SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 0)
        assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
        assert read(handle)[1:5] == (camera.width, camera.height, camera.bits, 1)
    assert SDK.OpenVEXCAM(b"VXSIM-NOPE") is None


@pytest.mark.parametrize(
    "region, expected",
    [
        ((0, 0, 1280, 960), Code.OK),
        ((1279, 959, 1, 1), Code.OK),
        ((0, 0, 0, 10), Code.OUT_OF_RANGE),
        ((0, 0, 10, 0), Code.OUT_OF_RANGE),
        ((0, 0, 1281, 960), Code.OUT_OF_RANGE),
        ((1, 0, 1280, 960), Code.OUT_OF_RANGE),
        ((0, 900, 10, 61), Code.OUT_OF_RANGE),
        ((0xFFFFFFFF, 0, 2, 2), Code.OUT_OF_RANGE),  # x + width wraps in 32 bits
    ],
)
def test_region_must_lie_inside_the_sensor(open_camera, region, expected):
    handle = open_camera(M8)
    assert SDK.SetVEXCAMResolution(handle, *region) == expected


@pytest.mark.parametrize(
    "region, binning, code, frame",
    [
        ((0, 0, 1280, 960), (2, 2), Code.OK, (640, 480)),
        ((10, 10, 101, 51), (4, 4), Code.OK, (25, 12)),  # remainders are not read
        ((0, 0, 7, 5), (1, 1), Code.OK, (7, 5)),
        ((0, 0, 64, 64), (3, 3), Code.OUT_OF_RANGE, (64, 64)),
        ((0, 0, 64, 64), (2, 4), Code.OUT_OF_RANGE, (64, 64)),
        ((0, 0, 3, 64), (4, 4), Code.OUT_OF_RANGE, (3, 64)),  # would leave no column
    ],
)
def test_binning_divides_the_region(open_camera, region, binning, code, frame):
    handle = open_camera(M8)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 0)
    assert SDK.SetVEXCAMResolution(handle, *region) == Code.OK
    assert SDK.SetVEXCAMBinMode(handle, *binning) == code
    assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
    assert read(handle)[1:3] == frame


def test_region_smaller_than_the_binning_is_refused(open_camera):
    handle = open_camera(M8)
    assert SDK.SetVEXCAMBinMode(handle, 4, 4) == Code.OK
    assert SDK.SetVEXCAMResolution(handle, 0, 0, 3, 100) == Code.OUT_OF_RANGE


@pytest.mark.parametrize(
    "control, value, code",
    [
        (Control.GAIN, 50.0, Code.OK),
        (Control.GAIN, 100.5, Code.OUT_OF_RANGE),
        (Control.GAIN, math.nan, Code.OUT_OF_RANGE),
        (Control.OFFSET, -1.0, Code.OUT_OF_RANGE),
        (Control.EXPOSURE, 4294967295.0, Code.OK),
        (Control.EXPOSURE, math.inf, Code.OUT_OF_RANGE),
        (Control.FRAME_RATE, 0.0, Code.OUT_OF_RANGE),
        (Control.COOLER_ON, 0.5, Code.OUT_OF_RANGE),  # on/off controls take whole numbers
        (Control.TEMPERATURE, 20.0, Code.READ_ONLY),
        (Control.LIVE_FRAMES, 1.0, Code.READ_ONLY),
        (1, 1.0, Code.UNKNOWN_CONTROL),
        (59, 1.0, Code.UNKNOWN_CONTROL),
    ],
)
def test_set_param_checks_control_and_range(open_camera, control, value, code):
    handle = open_camera()
    before = SDK.GetVEXCAMParam(handle, control)
    assert SDK.SetVEXCAMParam(handle, control, value) == code
    after = SDK.GetVEXCAMParam(handle, control)
    if code == Code.OK:
        assert after == value
    else:
        assert after == before or (math.isnan(after) and math.isnan(before))


def test_controls_available_and_defaults(open_camera):
    handle = open_camera()
    implemented = {info.number: info.default for info in vexcam_sim.controls()}
    for control in sorted(CONTROL_IDS):
        available = SDK.IsVEXCAMControlAvailable(handle, control)
        assert available == (Code.OK if control in implemented else Code.NOT_AVAILABLE)
        value = SDK.GetVEXCAMParam(handle, control)
        assert value == implemented[control] if control in implemented else math.isnan(value)
    assert SDK.SetVEXCAMParam(handle, Control.COOLER_TARGET, -20.0) == Code.OK
    assert SDK.SetVEXCAMParam(handle, Control.COOLER_ON, 1.0) == Code.OK
    assert SDK.GetVEXCAMParam(handle, Control.TEMPERATURE) == -20.0  # the cooler holds its target
    assert [SDK.SetVEXCAMStreamMode(handle, m) for m in (0, 1, 2)] == [Code.OK, Code.OK, Code.OUT_OF_RANGE]


@pytest.mark.parametrize("control", list(Control), ids=lambda control: control.name)
def test_reported_ranges_are_what_set_param_enforces(open_camera, control):
    info, handle = control.info, open_camera()
    if info.read_only:
        assert SDK.SetVEXCAMParam(handle, control, info.default) == Code.READ_ONLY
        return
    values = [info.min, info.max, math.nextafter(info.min, -math.inf), math.nextafter(info.max, math.inf)]
    codes = [SDK.SetVEXCAMParam(handle, control, value) for value in values]
    assert codes == [Code.OK, Code.OK, Code.OUT_OF_RANGE, Code.OUT_OF_RANGE]
    fraction = Code.OUT_OF_RANGE if info.integer else Code.OK
    assert SDK.SetVEXCAMParam(handle, control, info.min + 0.5) == fraction


def test_table_queries_refuse_an_index_past_the_end_null_pointers_and_short_buffers():
    u32, real, flag, text = U32(), ctypes.c_double(), ctypes.c_int32(), ctypes.c_char_p()
    ident, firmware, ref = ctypes.create_string_buffer(64), ctypes.create_string_buffer(32), ctypes.byref

    def camera(index, id_capacity=64, firmware_capacity=32, defaults=1):
        sizes = (ref(u32), ref(u32), ref(u32))
        return SDK.vxsim_camera_info(defaults, index, ident, id_capacity, *sizes, firmware, firmware_capacity)

    last = len(vexcam_sim.DEFAULT_CAMERAS) - 1
    assert [camera(last), camera(last + 1), camera(0, 63), camera(0, 64, 31)] == [0, -2, -2, -2]
    vexcam_sim.clear_cameras()
    assert camera(0, defaults=0) == -2
    outs = [ref(o) for o in (u32, real, real, real, flag, flag, text, text, text)]
    assert [SDK.vxsim_control_info(i, *outs) for i in (len(Control) - 1, len(Control))] == [0, -2]
    assert SDK.vxsim_control_info(0, *outs[:-1], None) == -2
    assert [SDK.vxsim_result_info(i, ref(u32), ref(text), ref(text)) for i in (len(Code) - 1, len(Code))] == [0, -2]
    assert SDK.vxsim_result_info(0, None, ref(text), ref(text)) == -2


def test_null_pointers_and_an_unheld_resource_are_refused(open_camera):
    handle = open_camera()
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 0)
    assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
    outs = [ctypes.byref(U32()) for _ in range(3)]
    buffer = ctypes.create_string_buffer(SDK.GetVEXCAMMemLength(handle))
    assert SDK.GetVEXCAMId(0, None) == Code.BAD_ARGUMENT
    assert SDK.GetVEXCAMFWVersion(handle, None) == Code.BAD_ARGUMENT
    assert SDK.GetVEXCAMSingleFrame(handle, None, *outs, buffer) == Code.BAD_ARGUMENT
    assert SDK.GetVEXCAMSingleFrame(handle, *outs, ctypes.byref(U32()), None) == Code.BAD_ARGUMENT
    assert SDK.ReleaseVEXCAMResource() == Code.RESOURCE_NOT_HELD
    assert [SDK.InitVEXCAMResource(), SDK.ReleaseVEXCAMResource()] == [Code.OK, Code.OK]


def test_brightness_follows_exposure_gain_and_offset(open_camera):
    handle = open_camera(M8)
    SDK.SetVEXCAMResolution(handle, 100, 300, 64, 64)  # plain background, no star

    def level(exposure, gain=0.0, offset=10.0):
        SDK.SetVEXCAMParam(handle, Control.EXPOSURE, exposure)
        SDK.SetVEXCAMParam(handle, Control.GAIN, gain)
        SDK.SetVEXCAMParam(handle, Control.OFFSET, offset)
        return mean(capture(handle))

    assert level(0, offset=40) == pytest.approx(40, abs=0.5)
    base = level(5_000) - 10
    assert level(10_000) - 10 == pytest.approx(2 * base, rel=0.02)
    assert level(5_000, gain=10) - 10 == pytest.approx(2 * base, rel=0.02)
    assert level(10**9) == 255  # clipped, not wrapped


def test_deep_sensors_write_little_endian_words_clipped_to_their_depth(open_camera):
    handle = open_camera(M12)
    SDK.SetVEXCAMParam(handle, Control.TEST_PATTERN, 1)  # ramp: sample = (x + y) masked to the bit depth
    SDK.SetVEXCAMResolution(handle, 0, 1000, 1920, 2)
    SDK.SetVEXCAMBinMode(handle, 2, 2)
    assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
    rc, width, height, bits, _, data = read(handle)
    assert (rc, width, height, bits) == (Code.OK, 960, 1, 12)
    assert data[:4] == bytes([1000 & 0xFF, 1000 >> 8, 1002 & 0xFF, 1002 >> 8])
    assert samples(data, width, height, bits)[-1] == (1918 + 1000) & 0xFFF
    SDK.SetVEXCAMParam(handle, Control.TEST_PATTERN, 0)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 1e9)
    assert max(capture(handle)) == 4095


def test_pictures_are_deterministic_and_live_frames_vary(open_camera):
    handle = open_camera(M8)
    SDK.SetVEXCAMResolution(handle, 0, 0, 640, 480)
    assert capture(handle) == capture(handle)
    SDK.SetVEXCAMParam(handle, Control.FRAME_RATE, 1000)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 0)
    assert SDK.BeginVEXCAMLive(handle) == Code.OK
    first, second = read(handle, live=True), read(handle, live=True)
    assert first[0] == second[0] == Code.OK and first[5] != second[5]
    assert SDK.GetVEXCAMParam(handle, Control.LIVE_FRAMES) == 2


# Noise-free single exposures, pinned by the SHA-256 of their bytes as the simulator drew them
# before it drew them faster: camera, region, binning, (exposure, gain, offset, test pattern).
# The regions of M12 and L16 hold the moving spot, which single exposures show at angle 0; the
# second M16 one, rows 2048 samples wide, a star across sample 1280.
PINNED_PICTURES = [
    (M8, None, 1, (10_000, 0.0, 10.0, 0), "656ed37810f9157bfefb9362e6e6ffbe"),
    (M16, (0, 1250, 2048, 40), 1, (2_000, 0.0, 10.0, 0), "8191453de67d11293b5dc983396444987"),
    (M12, (1100, 400, 401, 283), 2, (2_500, 3.5, 20.0, 0), "6f600857591cba9511ed593ad70be5e9"),
    (M16, (4, 8, 202, 101), 4, (3_000, 0.0, 10.0, 2), "638cd6991f5366d6ff49e1e858a67567"),
    ("VXSIM-L16-004", (3200, 1990, 157, 121), 4, (1_000, 50.0, 0.0, 0), "0b9d49ce6042d28e"),
]


@pytest.mark.parametrize("camera, region, binning, settings, digest", PINNED_PICTURES)
def test_noise_free_pictures_stay_byte_for_byte(
    open_camera, camera, region, binning, settings, digest
):
    handle = open_camera(camera)
    if region is not None:
        SDK.SetVEXCAMResolution(handle, *region)
    SDK.SetVEXCAMBinMode(handle, binning, binning)
    for control, value in zip((Control.EXPOSURE, Control.GAIN, Control.OFFSET, Control.TEST_PATTERN), settings, strict=True):
        SDK.SetVEXCAMParam(handle, control, value)
    assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
    rc, width, height, bits, _, data = read(handle)
    size = width * height * (2 if bits > 8 else 1)
    assert rc == Code.OK and hashlib.sha256(data[:size]).hexdigest().startswith(digest)


def test_an_exposure_survives_the_live_frames_after_it(open_camera):
    # Live frames reuse the buffers of pictures no longer in use; the kept exposure is in use.
    handle = open_camera(M8)
    SDK.SetVEXCAMResolution(handle, 0, 0, 64, 48)
    SDK.SetVEXCAMParam(handle, Control.FRAME_RATE, 1000)
    exposed = capture(handle)
    SDK.BeginVEXCAMLive(handle)
    assert all(read(handle, live=True)[0] == Code.OK for _ in range(5))
    rc, width, height, bits, _, data = read(handle)
    assert rc == Code.OK and samples(data, width, height, bits) == exposed


@pytest.fixture
def noisy(open_camera):
    """An evenly lit 16-bit camera with sensor noise: `noisy(exposure_us, gain)` is one frame."""
    vexcam_sim.set_noise(True)
    handle = open_camera(M16)
    SDK.SetVEXCAMParam(handle, Control.TEST_PATTERN, 2)
    SDK.SetVEXCAMResolution(handle, 0, 0, 128, 128)

    def frame(exposure_us=2_000, gain=0.0):
        SDK.SetVEXCAMParam(handle, Control.EXPOSURE, exposure_us)
        SDK.SetVEXCAMParam(handle, Control.GAIN, gain)
        return np.array(capture(handle), dtype=float)

    return frame


def test_noise_is_shot_noise_over_the_noise_free_mean(noisy):
    vexcam_sim.set_noise(False)
    clean = {(e, g): noisy(e, g).mean() for e, g in [(1_000, 0.0), (2_000, 0.0), (1_000, 10.0)]}
    vexcam_sim.set_noise(True)
    bias = 10 * 256

    def variance(e, g):
        first, second = noisy(e, g), noisy(e, g)
        assert first.mean() == pytest.approx(clean[e, g], rel=0.005)  # the mean is unchanged
        return (first - second).var() / 2  # the fixed pattern cancels in the difference

    base = variance(1_000, 0.0)
    # Variance in counts grows with the signal in electrons, and with the square of the gain.
    assert variance(2_000, 0.0) / base == pytest.approx(2.0, rel=0.15)
    assert variance(1_000, 10.0) / base == pytest.approx(4.0, rel=0.15)
    assert base == pytest.approx((clean[1_000, 0.0] - bias) * 65535 / 32000, rel=0.15)


def test_shot_noise_below_20_electrons_is_poisson_with_its_mean(noisy):
    # A flat quarter of full scale at 5.625 us is 4.5 e- per pixel (32000 e- full well at 16
    # bits), below the 20 e- where the simulator draws shot noise exactly: Poisson mean and
    # variance 4.5 e-, plus 3 e- of read noise, at 65535 / 32000 counts per electron.
    counts_per_electron = 65535 / 32000
    first, second = noisy(5.625), noisy(5.625)
    assert first.mean() == pytest.approx(10 * 256 + 4.5 * counts_per_electron, abs=0.3)
    variance = (first - second).var() / 2
    assert variance == pytest.approx((4.5 + 3**2) * counts_per_electron**2, rel=0.1)


def test_averaging_lowers_the_noise_and_a_seed_repeats_it(noisy):
    single = noisy()
    stack = np.mean([noisy() for _ in range(16)], axis=0)
    assert stack.std() / single.std() == pytest.approx(0.25, rel=0.15)
    vexcam_sim.set_seed(7)
    first = noisy()
    vexcam_sim.set_seed(7)
    assert np.array_equal(noisy(), first) and not np.array_equal(noisy(), first)


def test_hot_pixels_stay_in_place(open_camera):
    vexcam_sim.set_noise(True)
    handle = open_camera(M8)
    SDK.SetVEXCAMParam(handle, Control.TEST_PATTERN, 2)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 5_000)
    frames = [np.array(capture(handle)) for _ in range(2)]
    hottest = [np.argsort(f)[-3:] for f in frames]
    assert set(hottest[0]) == set(hottest[1]) and frames[0].max() > np.median(frames[0]) + 50


# Timed with perf_counter: on Windows monotonic() moves in steps of about 15.6 ms.
def test_frame_reads_need_an_exposure_or_live_mode(open_camera):
    handle = open_camera()
    assert read(handle)[0] == Code.NO_FRAME
    started = time.perf_counter()
    assert read(handle, live=True)[0] == Code.NOT_LIVE
    assert time.perf_counter() - started < 0.5
    SDK.BeginVEXCAMLive(handle)
    SDK.StopVEXCAMLive(handle)
    assert read(handle, live=True)[0] == Code.NOT_LIVE


def test_exposure_waits_its_time_up_to_the_cap(open_camera):
    handle = open_camera()
    SDK.SetVEXCAMResolution(handle, 0, 0, 16, 16)
    vexcam_sim.set_exposure_cap_us(1_000_000)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 60_000)
    started = time.perf_counter()
    SDK.ExpVEXCAMSingleFrame(handle)
    assert time.perf_counter() - started >= 0.06
    vexcam_sim.set_exposure_cap_us(10_000)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 60_000_000)
    started = time.perf_counter()
    SDK.ExpVEXCAMSingleFrame(handle)
    assert time.perf_counter() - started < 1.0


@pytest.mark.parametrize(
    "frame_rate, exposure_us, period_s",
    [(50, 1_000, 0.02), (1000, 25_000, 0.025)],  # the exposure limits the rate
)
def test_live_frames_come_at_the_frame_period(open_camera, frame_rate, exposure_us, period_s):
    handle = open_camera()
    vexcam_sim.set_exposure_cap_us(1_000_000)
    SDK.SetVEXCAMResolution(handle, 0, 0, 32, 32)
    SDK.SetVEXCAMParam(handle, Control.FRAME_RATE, frame_rate)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, exposure_us)
    started = time.perf_counter()
    SDK.BeginVEXCAMLive(handle)
    assert all(read(handle, live=True)[0] == Code.OK for _ in range(4))
    assert 4 * period_s <= time.perf_counter() - started < 4 * period_s + 0.5


def test_a_longer_exposure_slows_a_running_stream(open_camera):
    handle = open_camera()
    vexcam_sim.set_exposure_cap_us(1_000_000)
    SDK.SetVEXCAMResolution(handle, 0, 0, 32, 32)
    SDK.SetVEXCAMParam(handle, Control.FRAME_RATE, 1000)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 1_000)
    SDK.BeginVEXCAMLive(handle)
    assert read(handle, live=True)[0] == Code.OK
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 50_000)
    started = time.perf_counter()
    assert all(read(handle, live=True)[0] == Code.OK for _ in range(3))
    # The first of them is due 50 ms after the frame before `started`; the next two a full
    # 50 ms each after it (at the old exposure, all three took 3 ms).
    assert time.perf_counter() - started >= 0.1


def test_stop_wakes_a_waiting_live_reader(open_camera):
    handle = open_camera()
    SDK.SetVEXCAMParam(handle, Control.FRAME_RATE, 0.1)  # ten seconds to the first frame
    SDK.BeginVEXCAMLive(handle)
    result = []
    reader = threading.Thread(target=lambda: result.append(read(handle, live=True)[0]))
    reader.start()
    time.sleep(0.05)
    SDK.StopVEXCAMLive(handle)
    reader.join(2)
    assert result == [Code.NOT_LIVE]


def test_fast_frames_take_no_time(open_camera):
    handle = open_camera(M16)
    vexcam_sim.set_fast_frames(True)
    vexcam_sim.set_exposure_cap_us(5_000_000)
    SDK.SetVEXCAMParam(handle, Control.EXPOSURE, 5_000_000)
    SDK.BeginVEXCAMLive(handle)
    started = time.perf_counter()
    assert SDK.ExpVEXCAMSingleFrame(handle) == Code.OK
    frames = [read(handle), read(handle, live=True), read(handle, live=True)]
    # One exposure's wait would take 5 s; the margin is for a loaded or instrumented machine.
    assert time.perf_counter() - started < 2.5
    assert {f[0] for f in frames} == {Code.OK} and frames[1][5] == frames[2][5]


def test_bad_handles_are_counted_and_refused(open_camera):
    handle = open_camera()
    assert SDK.CloseVEXCAM(handle) == Code.OK
    vexcam_sim.fail_next("InitVEXCAM", 5)
    for bad in (None, handle, 0x1234):
        assert SDK.InitVEXCAM(bad) == Code.BAD_HANDLE  # and leaves the script for a good handle
        assert SDK.CloseVEXCAM(bad) == Code.BAD_HANDLE
        assert math.isnan(SDK.GetVEXCAMParam(bad, Control.GAIN))
        assert SDK.GetVEXCAMMemLength(bad) == 0
        assert read(bad, buffer=ctypes.create_string_buffer(4))[0] == Code.BAD_HANDLE
    assert vexcam_sim.bad_handle_calls() == 15
    assert vexcam_sim.close_count(handle) == 2
    assert SDK.InitVEXCAM(open_camera()) == 5
    vexcam_sim.reset()  # the suite's own check expects a clean count


def test_handles_are_unique_and_survive_reset(open_camera):
    first = open_camera()
    SDK.CloseVEXCAM(first)
    second = open_camera()
    assert second != first and vexcam_sim.last_handle() == second
    assert vexcam_sim.opened_handles() == [first, second]
    vexcam_sim.reset()
    assert vexcam_sim.last_handle() == 0 and second in vexcam_sim.open_handles()
    assert vexcam_sim.opened_handles() == []
    assert SDK.CloseVEXCAM(second) == Code.OK and vexcam_sim.bad_handle_calls() == 0


def test_result_scripts_replace_and_persist(open_camera):
    handle = open_camera()
    vexcam_sim.fail_next("SetVEXCAMParam", 5, times=3)
    vexcam_sim.fail_next("SetVEXCAMParam", -1, times=2)  # replaces the unused one
    vexcam_sim.fail_always("SetVEXCAMParam", 9)
    results = [SDK.SetVEXCAMParam(handle, Control.GAIN, 1.0) for _ in range(4)]
    assert results == [0xFFFFFFFF, 0xFFFFFFFF, 9, 9]
    vexcam_sim.clear_script("SetVEXCAMParam")
    assert SDK.SetVEXCAMParam(handle, Control.GAIN, 1.0) == Code.OK
    assert vexcam_sim.calls("SetVEXCAMParam") == 5
    assert vexcam_sim.last_args("SetVEXCAMParam") == (handle, 6, 1.0)
    vexcam_sim.fail_next("CloseVEXCAM", 7)
    assert SDK.CloseVEXCAM(handle) == 7 and handle not in vexcam_sim.open_handles()


@pytest.mark.parametrize(
    "times, after, always, results",
    [
        (1, 0, None, [5, Code.OK, Code.OK, Code.OK]),
        (1, 2, None, [Code.OK, Code.OK, 5, Code.OK]),
        (2, 1, None, [Code.OK, 5, 5, Code.OK]),
        (1, 1, 9, [9, 5, 9, 9]),  # the calls let through meet fail_always
    ],
)
def test_fail_next_after_lets_calls_through_first(open_camera, times, after, always, results):
    handle = open_camera()
    vexcam_sim.fail_next("SetVEXCAMParam", 5, times=times, after=after)
    if always is not None:
        vexcam_sim.fail_always("SetVEXCAMParam", always)
    assert SDK.SetVEXCAMParam(None, Control.GAIN, 1.0) == Code.BAD_HANDLE  # uses up nothing
    assert [SDK.SetVEXCAMParam(handle, Control.GAIN, 1.0) for _ in results] == results
    vexcam_sim.reset()  # the suite's own check expects a clean count


def test_scripted_values_replace_the_camera(open_camera):
    handle = open_camera()
    vexcam_sim.script_param(math.inf)
    vexcam_sim.fail_next("IsVEXCAMControlAvailable", 3)
    vexcam_sim.fail_next("ScanVEXCAM", 0xFFFFFFFF)
    assert SDK.GetVEXCAMParam(handle, Control.GAIN) == math.inf
    assert SDK.GetVEXCAMParam(handle, Control.GAIN) == 0.0
    assert SDK.IsVEXCAMControlAvailable(handle, 6) == 3
    assert SDK.ScanVEXCAM() == 0xFFFFFFFF
    vexcam_sim.open_returns_null()
    assert SDK.OpenVEXCAM(M8.encode()) is None
    assert vexcam_sim.last_args("OpenVEXCAM") == (M8.encode(),)


def test_scan_script(open_camera):
    vexcam_sim.script_scan(4, ids={0: b"\xff" * 64, 2: "short"}, failing={1: 6})
    assert SDK.ScanVEXCAM() == 4
    buffers = [ctypes.create_string_buffer(b"\x01" * 65, 65) for _ in range(4)]
    results = [SDK.GetVEXCAMId(i, buffers[i]) for i in range(4)]
    assert results == [Code.OK, 6, Code.OK, Code.OK]
    assert buffers[0].raw == b"\xff" * 64 + b"\x01"  # exactly 64 bytes: no NUL written
    assert buffers[1].raw == b"\x01" * 65
    assert buffers[2].raw[:6] == b"short\0"
    assert buffers[3].value == b"SCRIPTED-3"


def test_script_frame_writes_only_what_it_is_given(open_camera):
    handle = open_camera()
    vexcam_sim.script_mem_length(4)
    vexcam_sim.script_frame(width=9, height=9)  # never read: must not linger
    vexcam_sim.script_frame(width=2, bits=8, data=b"\x07" * 10)
    assert SDK.GetVEXCAMMemLength(handle) == 4
    buffer = ctypes.create_string_buffer(8)
    outs = [U32(99) for _ in range(4)]
    assert SDK.GetVEXCAMLiveFrame(handle, *(ctypes.byref(o) for o in outs), buffer) == Code.OK
    assert [o.value for o in outs] == [2, 99, 8, 99]
    assert buffer.raw == b"\x07" * 4 + b"\0" * 4  # bounded by the reported length
    assert vexcam_sim.frame_buffer_zeroed("GetVEXCAMLiveFrame") is True
    assert read(handle)[0] == Code.NO_FRAME
    vexcam_sim.script_frame(unwritten=True, width=5)
    assert read(handle)[:5] == (Code.OK, 0, 0, 0, 0)


@pytest.mark.parametrize("live", [False, True])
def test_frame_bigger_than_the_reported_buffer_is_refused(open_camera, live):
    handle = open_camera()
    SDK.SetVEXCAMParam(handle, 9, 1000)
    SDK.ExpVEXCAMSingleFrame(handle)
    SDK.BeginVEXCAMLive(handle)
    vexcam_sim.script_mem_length(100)
    rc, *_, data = read(handle, live=live)
    assert rc == Code.BUFFER_TOO_SMALL and data == bytes(100)  # nothing written


def test_buffer_zeroed_and_gil_are_observed(open_camera):
    handle = open_camera()
    SDK.SetVEXCAMResolution(handle, 0, 0, 8, 8)
    SDK.ExpVEXCAMSingleFrame(handle)
    dirty = ctypes.create_string_buffer(b"\x01" * SDK.GetVEXCAMMemLength(handle))
    read(handle, buffer=dirty)
    assert vexcam_sim.frame_buffer_zeroed("GetVEXCAMSingleFrame") is False
    assert vexcam_sim.gil_held("GetVEXCAMSingleFrame") is False
    SDK_WITH_GIL.GetVEXCAMMemLength(handle)
    assert vexcam_sim.gil_held("GetVEXCAMMemLength") is True
    assert vexcam_sim.gil_held("StopVEXCAMLive") is None


def test_block_holds_a_call_until_unblocked(open_camera):
    handle = open_camera()
    vexcam_sim.block("ExpVEXCAMSingleFrame")
    assert vexcam_sim.wait_blocked("ExpVEXCAMSingleFrame", timeout=0.05) is False
    done = []
    worker = threading.Thread(target=lambda: done.append(SDK.ExpVEXCAMSingleFrame(handle)))
    worker.start()
    assert vexcam_sim.wait_blocked("ExpVEXCAMSingleFrame")
    assert vexcam_sim.calls("ExpVEXCAMSingleFrame") == 1 and not done
    assert SDK.GetVEXCAMParam(handle, Control.GAIN) == 0.0  # other functions are not held up
    vexcam_sim.unblock("ExpVEXCAMSingleFrame")
    worker.join(2)
    assert done == [Code.OK]


def test_reset_releases_blocked_calls(open_camera):
    handle = open_camera()
    vexcam_sim.block("InitVEXCAM")
    worker = threading.Thread(target=SDK.InitVEXCAM, args=(handle,))
    worker.start()
    assert vexcam_sim.wait_blocked("InitVEXCAM")
    vexcam_sim.reset()
    worker.join(2)
    assert not worker.is_alive()


def test_call_log_keeps_the_last_ten_thousand():
    for _ in range(10_001):
        SDK.ScanVEXCAM()
    SDK.GetVEXCAMId(0, ctypes.create_string_buffer(64))
    log = vexcam_sim.call_log()
    assert len(log) == 10_000 and log[-1] == "GetVEXCAMId" and log[0] == "ScanVEXCAM"
    assert vexcam_sim.calls("ScanVEXCAM") == 10_001


def test_added_cameras_replace_the_catalog(open_camera):
    vexcam_sim.clear_cameras()
    assert SDK.ScanVEXCAM() == 0
    vexcam_sim.add_camera(b"TINY", 3, 2, 10, firmware=b"\xab\xcd\xef\x01")
    assert vexcam_sim.camera_table() == [vexcam_sim.CameraInfo("TINY", 3, 2, 10, b"\xab\xcd\xef\x01" + bytes(28))]
    handle = open_camera("TINY")
    assert SDK.GetVEXCAMMemLength(handle) == 12
    SDK.SetVEXCAMParam(handle, Control.TEST_PATTERN, 1)
    assert capture(handle) == [0, 1, 2, 1, 2, 3]
    with pytest.raises(ValueError):
        vexcam_sim.add_camera("TINY", 1, 1, 8)
    vexcam_sim.reset()
    assert vexcam_sim.cameras()[0] == M8


@pytest.mark.parametrize("call", [vexcam_sim.calls, vexcam_sim.block, vexcam_sim.last_args])
def test_unknown_function_names_are_refused(call):
    with pytest.raises(ValueError):
        call("SetVexcamParam")
